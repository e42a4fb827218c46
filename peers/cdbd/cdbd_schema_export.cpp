// The schema table sent to clients: modules, namespaces, tags and the types of leaves.
#include "peers/cdbd/cdbd_schema.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <libyang/plugins_types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_wire.h"

#include "peers/cdbd/cdbd_schema_types.h"

namespace cdbd {

std::vector<uint8_t> SchemaDb::export_schema() const {
    confd_wire::WireWriter w(confd_wire::Op::GetSchema);
    w.u32(static_cast<uint32_t>(modules_.size()));
    for (const lys_module *m : modules_) {
        w.u32(ns(m));
        w.str(m->ns ? m->ns : "");
        w.str(m->prefix ? m->prefix : "");
        w.str(m->name);
        w.str(m->revision ? m->revision : "");
    }
    w.u32(static_cast<uint32_t>(name_tag_.size()));
    for (const auto &[name, t] : name_tag_) {
        w.u32(t);
        w.str(name);
    }
    // Types: one per distinct compiled type of a leaf, then the named ones.
    struct TypeEntry {
        uint8_t kind;
        confd_vtype shallow;
        std::vector<std::pair<int64_t, std::string>> items;
    };
    std::vector<TypeEntry> types;
    std::map<const lysc_type *, int32_t> type_idx;
    auto add_type = [&](const lysc_type *t) -> int32_t {
        auto it = type_idx.find(t);
        if (it != type_idx.end())
            return it->second;
        TypeEntry e{0, vtype_of(t), {}};
        if (const lysc_type *en = find_member(t, LY_TYPE_ENUM)) {
            auto *et = reinterpret_cast<const lysc_type_enum *>(en);
            e.kind = 1;
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(et->enums, i) {
                e.items.emplace_back(et->enums[i].value, et->enums[i].name);
            }
        } else if (const lysc_type *bt = find_member(t, LY_TYPE_BITS)) {
            auto *b = reinterpret_cast<const lysc_type_bits *>(bt);
            e.kind = 2;
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(b->bits, i) {
                e.items.emplace_back(b->bits[i].position, b->bits[i].name);
            }
        }
        types.push_back(std::move(e));
        return type_idx[t] = static_cast<int32_t>(types.size() - 1);
    };
    struct NodeEntry {
        int32_t parent;
        const lysc_node *node;
        uint32_t flags;
        int32_t type;
    };
    std::vector<NodeEntry> nodes;
    std::function<void(const lysc_node *, int32_t, uint32_t)> emit = [&](const lysc_node *n,
                                                                         int32_t parent,
                                                                         uint32_t extra) {
        uint32_t flags = extra;
        int32_t t = -1;
        switch (n->nodetype) {
            case LYS_CONTAINER:
                flags |= CS_NODE_IS_CONTAINER;
                break;
            case LYS_LIST:
                flags |= CS_NODE_IS_LIST;
                break;
            case LYS_LEAFLIST:
                flags |= CS_NODE_IS_LEAF_LIST;
                break;
            case LYS_RPC:
            case LYS_ACTION:
                flags |= CS_NODE_IS_ACTION;
                break;
            case LYS_NOTIF:
                flags |= CS_NODE_IS_NOTIF;
                break;
            default:
                break;
        }
        if (n->flags & LYS_CONFIG_W)
            flags |= CS_NODE_IS_WRITE | CS_NODE_IS_CDB;
        if (const lysc_type *lt = leaf_type(n)) {
            t = add_type(lt);
            if (resolve_type(lt) && resolve_type(lt)->basetype == LY_TYPE_LEAFREF)
                flags |= CS_NODE_IS_LEAFREF;
        }
        nodes.push_back({parent, n, flags, t});
        const auto me = static_cast<int32_t>(nodes.size() - 1);
        const uint32_t child_extra = (n->nodetype & (LYS_RPC | LYS_ACTION)) ? CS_NODE_IS_PARAM : 0;
        const lysc_node *c = nullptr;
        while ((c = lys_getnext(c, n, nullptr, 0)))
            emit(c, me, child_extra);
        for (const lysc_node_action *a = lysc_node_actions(n); a;
             a = reinterpret_cast<const lysc_node_action *>(a->next))
            emit(&a->node, me, 0);
        for (const lysc_node_notif *no = lysc_node_notifs(n); no;
             no = reinterpret_cast<const lysc_node_notif *>(no->next))
            emit(&no->node, me, 0);
    };
    for (const lys_module *m : modules_) {
        if (!m->compiled)
            continue;
        const lysc_node *n = nullptr;
        while ((n = lys_getnext(n, nullptr, m->compiled, 0)))
            emit(n, -1, 0);
        for (const lysc_node_action *a = m->compiled->rpcs; a;
             a = reinterpret_cast<const lysc_node_action *>(a->next))
            emit(&a->node, -1, 0);
        for (const lysc_node_notif *no = m->compiled->notifs; no;
             no = reinterpret_cast<const lysc_node_notif *>(no->next))
            emit(&no->node, -1, 0);
    }
    // Named types (typedefs) of each module and its submodules.
    struct Named {
        uint32_t ns;
        std::string name;
        int32_t idx;
    };
    std::vector<Named> named;
    for (const lys_module *m : modules_) {
        if (!m->parsed)
            continue;
        std::vector<const lysp_tpdf *> tpdfs;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(m->parsed->typedefs, i) {
            tpdfs.push_back(&m->parsed->typedefs[i]);
        }
        LY_ARRAY_FOR(m->parsed->includes, i) {
            const lysp_submodule *sm = m->parsed->includes[i].submodule;
            LY_ARRAY_COUNT_TYPE j;
            if (sm)
                LY_ARRAY_FOR(sm->typedefs, j) {
                    tpdfs.push_back(&sm->typedefs[j]);
                }
        }
        std::function<const lysp_type *(const lysp_type *, int)> base =
            [&](const lysp_type *t, int depth) -> const lysp_type * {
            if (t->enums || t->bits || depth > 8)
                return t;
            std::string tn = t->name;
            tn = tn.substr(tn.find(':') == std::string::npos ? 0 : tn.find(':') + 1);
            for (const lysp_tpdf *td : tpdfs)
                if (tn == td->name)
                    return base(&td->type, depth + 1);
            return t;
        };
        for (const lysp_tpdf *td : tpdfs) {
            const lysp_type *bt = base(&td->type, 0);
            TypeEntry e{0, C_BUF, {}};
            // Enum values and bit positions: as written, else one after the previous.
            auto take_items = [&e](const lysp_type_enum *items) {
                int64_t next = 0;
                LY_ARRAY_COUNT_TYPE i;
                LY_ARRAY_FOR(items, i) {
                    const int64_t v = (items[i].flags & LYS_SET_VALUE) ? items[i].value : next;
                    e.items.emplace_back(v, items[i].name);
                    next = v + 1;
                }
            };
            if (bt->enums) {
                e.kind = 1;
                e.shallow = C_ENUM_VALUE;
                take_items(bt->enums);
            } else if (bt->bits) {
                e.kind = 2;
                take_items(bt->bits);
                const bool wide = std::any_of(e.items.begin(), e.items.end(),
                                              [](const auto &it) { return it.first >= 32; });
                e.shallow = wide ? C_BIT64 : C_BIT32;
            } else if (bt->compiled) {
                e.shallow = vtype_of(bt->compiled);
            }
            types.push_back(std::move(e));
            named.push_back({ns(m), td->name, static_cast<int32_t>(types.size() - 1)});
        }
    }
    w.u32(static_cast<uint32_t>(types.size()));
    for (const auto &t : types) {
        w.u8(t.kind);
        w.u8(static_cast<uint8_t>(t.shallow));
        w.u32(static_cast<uint32_t>(t.items.size()));
        for (const auto &[v, label] : t.items) {
            w.u64(static_cast<uint64_t>(v));
            w.str(label);
        }
    }
    w.u32(static_cast<uint32_t>(named.size()));
    for (const auto &n : named) {
        w.u32(n.ns);
        w.str(n.name);
        w.u32(static_cast<uint32_t>(n.idx));
    }
    w.u32(static_cast<uint32_t>(nodes.size()));
    for (const auto &e : nodes) {
        const lysc_node *n = e.node;
        w.i32(e.parent);
        w.u32(tag(n));
        w.u32(ns(n->module));
        w.u32(e.flags);
        const lysc_type *lt = leaf_type(n);
        w.u8(static_cast<uint8_t>(lt ? vtype_of(lt) : C_NOEXISTS));
        w.i32(e.type);
        w.i32((n->flags & LYS_MAND_TRUE) ? 1 : 0);
        w.i32((n->nodetype & (LYS_LIST | LYS_LEAFLIST)) ? -1 : 1);
        if (n->nodetype == LYS_LIST) {
            auto keys = list_keys(n);
            w.u32(static_cast<uint32_t>(keys.size()));
            for (const lysc_node *k : keys)
                w.u32(tag(k));
        } else {
            w.u32(0);
        }
        confd_value_t dv{};
        const lyd_value *dflt =
            n->nodetype == LYS_LEAF ? reinterpret_cast<const lysc_node_leaf *>(n)->dflt : nullptr;
        if (dflt && value_from(*this, n, *dflt, dv)) {
            w.u8(1);
            w.value(dv);
            confd_free_value(&dv);
        } else {
            w.u8(0);
        }
    }
    // Callpoints (kind 0) and action points (kind 1) by node index.
    std::vector<std::tuple<uint32_t, uint8_t, std::string>> points;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const lysc_node *n = nodes[i].node;
        std::string cp = plx_ext_arg(n, "callpoint");
        if (!cp.empty())
            points.emplace_back(static_cast<uint32_t>(i), 0, cp);
        std::string ap = plx_ext_arg(n, "actionpoint");
        if (!ap.empty())
            points.emplace_back(static_cast<uint32_t>(i), 1, ap);
    }
    w.u32(static_cast<uint32_t>(points.size()));
    for (const auto &[idx, kind, name] : points) {
        w.u32(idx);
        w.u8(kind);
        w.str(name);
    }
    auto frame = w.finish();
    return frame;
}

}  // namespace cdbd
