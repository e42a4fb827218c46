// The configuration database's schema: YANG modules loaded with libyang, the 32-bit tags of
// schema nodes and namespace hashes of modules, client paths, and the conversion between
// libyang data and client values.
#pragma once

#include <libyang/libyang.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/confd/confd_lib.h"

namespace cdbd {

// Owns a libyang data forest (null when empty).
struct DataTree {
    lyd_node *root = nullptr;
    DataTree() = default;
    explicit DataTree(lyd_node *r) : root(r) {}
    DataTree(const DataTree &) = delete;
    DataTree &operator=(const DataTree &) = delete;
    DataTree(DataTree &&o) noexcept : root(o.root) { o.root = nullptr; }
    DataTree &operator=(DataTree &&o) noexcept;
    ~DataTree();
    // A deep copy; false when libyang failed.
    bool dup_from(const lyd_node *src);
    void reset(lyd_node *r = nullptr);
};

// A client path translated for libyang.
struct ResolvedPath {
    std::string xpath;
    const lysc_node *schema = nullptr;
    bool has_all_keys = true;  // every list on the way has its keys
};

class SchemaDb {
  public:
    SchemaDb() = default;
    SchemaDb(const SchemaDb &) = delete;
    SchemaDb &operator=(const SchemaDb &) = delete;
    ~SchemaDb();

    // Loads every *.yang file of dir (and what they import from there). Also computes the tags
    // and namespaces; a name given two different tags, or two names with one tag, is refused.
    bool load(const std::string &dir, std::string &err);

    ly_ctx *ctx() const { return ctx_; }
    uint32_t tag(const lysc_node *node) const;
    uint32_t ns(const lys_module *mod) const;
    const std::vector<const lys_module *> &modules() const { return modules_; }

    // Translates "/policy/lists/vpn-list{corp}/vpn{10}" (keys in braces, optional prefixes,
    // optional leading slash) into an XPath with predicates. Errors name the bad element.
    bool resolve(std::string_view path, ResolvedPath &out, std::string &err) const;

    // The value of a leaf (or, for a leaf-list, all instances from first on) as a client value
    // owning its memory. Leaf-lists give C_LIST.
    bool to_value(const lyd_node *node, confd_value_t &out) const;
    bool to_leaflist_value(const lysc_node *schema, const lyd_node *first,
                           confd_value_t &out) const;
    // Text of a client value for a leaf of the given schema, as libyang parses it.
    bool to_text(const lysc_node *leaf, const confd_value_t &v, std::string &out,
                 std::string &err) const;
    // The key path of a data node.
    bool keypath(const lyd_node *node, confd_hkeypath_t &kp) const;
    // The schema table sent to clients (see the client's confd_load_schemas).
    std::vector<uint8_t> export_schema() const;

  private:
    bool compute_tags(std::string &err);
    ly_ctx *ctx_ = nullptr;
    std::vector<const lys_module *> modules_;
    std::unordered_map<const lysc_node *, uint32_t> tags_;
    std::unordered_map<const lys_module *, uint32_t> ns_;
    std::unordered_map<std::string, uint32_t> name_tag_;
};

// Is the node a leaf or leaf-list whose value is only a schema default?
inline bool is_default(const lyd_node *n) {
    return n->flags & LYD_DEFAULT;
}

// The argument of a plx-ext extension (callpoint, actionpoint) written in the node, or "".
std::string plx_ext_arg(const lysc_node *node, const char *ext_name);

// The last libyang error of the context as "message (path)".
std::string ly_error_text(const ly_ctx *ctx);

// The keys of a list in their schema order.
std::vector<const lysc_node *> list_keys(const lysc_node *list);

}  // namespace cdbd
