// What the readers were last handed, per subscription row, and the difference between that and
// the database's whole configuration read again after a reconnection.
//
// Every object a row's reader receives (a list entry by its key path, or the row's container for
// a row without keys) is kept as the set of its leaves and containers with their values, updated
// by every delivered change. After a reconnection the rows are read as a whole once more; each
// object read is compared with the kept one, so the readers are handed only what changed while
// the connection was down: the objects created and deleted, and for the others the leaves set or
// changed and the leaves removed (as C_NOEXISTS), exactly as a commit would have delivered them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/confd/confd_lib.h"

struct SubscriptionPoint;

// One object as the database holds it now (borrowed arrays, as the iteration hands them).
struct QconfdFreshObject {
    std::string kpath;          // the printed key path; "" for a row without keys
    const confd_value_t *keys;  // the row's key_count keys, outermost first
    const confd_tag_value_t *values;
    int count;
    uint32_t own_tag;  // the tag of the object's own node (0 for none)
};

// One change to hand to a reader; owns its keys and values.
struct QconfdResyncChange {
    int op = 0;  // MOP_CREATED, MOP_MODIFIED or MOP_DELETED
    std::string kpath;
    std::vector<confd_value_t> keys;
    std::vector<confd_tag_value_t> values;
    uint32_t own_tag = 0;

    QconfdResyncChange() = default;
    QconfdResyncChange(QconfdResyncChange &&other) noexcept;
    QconfdResyncChange &operator=(QconfdResyncChange &&) = delete;
    ~QconfdResyncChange();
};

// Keeps a change as handed to the row's reader (op as for the reader; values the delivered
// array, whole for a created object).
void qconfd_snapshot_record(const SubscriptionPoint *row, const std::string &kpath, int op,
                            uint8_t key_count, const confd_value_t *keys,
                            const confd_tag_value_t *values, size_t count, uint32_t own_tag);
// Forgets a row's objects: its next whole read fills them again.
void qconfd_snapshot_clear_row(const SubscriptionPoint *row);
// Forgets every row (the module stops).
void qconfd_snapshot_forget_all();

// The changes from what the row's reader was handed to `fresh` (every object the row holds
// now): deletes first, then creates and modifications in the order of `fresh`. A row without
// keys never has its object deleted.
std::vector<QconfdResyncChange> qconfd_resync_changes(const SubscriptionPoint *row,
                                                      const std::vector<QconfdFreshObject> &fresh);
