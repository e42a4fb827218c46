// Changes between two data trees, as subscribers see them: a tree of changed instances in
// schema order, the events of one subscription point and the modification arrays (the rules
// are those documented in platform/confd/confd_cdb.h).
#pragma once

#include <unordered_map>
#include <vector>

#include "peers/cdbd/cdbd_schema.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_wire.h"

namespace cdbd {

struct Change {
    const lysc_node *schema = nullptr;
    const lyd_node *oldn = nullptr;  // the old instance (a leaf-list: its first element)
    const lyd_node *newn = nullptr;  // the new instance
    int op = 0;                      // MOP_CREATED, MOP_DELETED, MOP_MODIFIED, MOP_VALUE_SET
    std::vector<Change> children;
};

// The changes from the forest old_root to new_root (either may be null).
std::vector<Change> diff_trees(const SchemaDb &db, const lyd_node *old_root,
                               const lyd_node *new_root);

// Are o and n the same down to every leaf below them, default flags included? Then nothing
// below them changed (a commit leaves most of the configuration as it was, and this comparison
// costs far less than the diff).
bool same_subtree(const lyd_node *o, const lyd_node *n);

// Does any change concern an instance of schema or something below one?
bool fires(const std::vector<Change> &changes, const lysc_node *schema);

// What the notifications of one change set share: each change's encoded event (all but its
// depth) and its modification array, built once and reused by every point and priority level
// that carries the change. Keyed by the changes' addresses: valid while the change set is.
class NotifyCache {
  public:
    NotifyCache() = default;
    NotifyCache(const NotifyCache &) = delete;
    NotifyCache &operator=(const NotifyCache &) = delete;
    ~NotifyCache();

    // The modification array of c (owned by the cache).
    const std::vector<confd_tag_value_t> &mods(const SchemaDb &db, const Change &c);
    // The bytes of c's event after its depth: op, key path, old and new value, modifications.
    const std::vector<uint8_t> &event(const SchemaDb &db, const Change &c);
    // The bytes of a point of the given schema node after its id: list flag, events and the
    // point's array (the same for every point of that node).
    const std::vector<uint8_t> &point(const SchemaDb &db, const lysc_node *schema,
                                      const std::vector<Change> &changes);

  private:
    std::unordered_map<const Change *, std::vector<confd_tag_value_t>> mods_;
    std::unordered_map<const Change *, std::vector<uint8_t>> events_;
    std::unordered_map<const lysc_node *, std::vector<uint8_t>> points_;
};

// Writes one point of a Notify frame: id, list flag, events and the point's array.
void write_point(const SchemaDb &db, confd_wire::WireWriter &w, int id, const lysc_node *schema,
                 const std::vector<Change> &changes, NotifyCache &cache);

// The modification array of one changed instance (rules in confd_cdb.h).
std::vector<confd_tag_value_t> modifications(const SchemaDb &db, const Change &c);
void free_tvs(std::vector<confd_tag_value_t> &tvs);

}  // namespace cdbd
