#include "peers/cdbd/cdbd_diff.h"

#include <cstring>
#include <unordered_map>

namespace cdbd {

namespace {

using Groups = std::unordered_map<const lysc_node *, std::vector<const lyd_node *>>;

Groups group(const lyd_node *first) {
    Groups g;
    for (const lyd_node *n = first; n; n = n->next) {
        if (!n->schema)
            continue;
        if ((n->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) && is_default(n))
            continue;
        g[n->schema].push_back(n);
    }
    return g;
}

const std::vector<const lyd_node *> &get(const Groups &g, const lysc_node *s) {
    static const std::vector<const lyd_node *> empty;
    auto it = g.find(s);
    return it == g.end() ? empty : it->second;
}

const lyd_node *child_of(const lyd_node *n) {
    return n ? lyd_child(n) : nullptr;
}

void diff_level(const SchemaDb &db, const lyd_node *old_first, const lyd_node *new_first,
                const lysc_node *parent_schema, std::vector<Change> &out);

Change make(const lysc_node *s, const lyd_node *o, const lyd_node *n, int op) {
    Change c;
    c.schema = s;
    c.oldn = o;
    c.newn = n;
    c.op = op;
    return c;
}

void handle(const SchemaDb &db, const lysc_node *sc, const Groups &og, const Groups &ng,
            const lyd_node *old_first, const lyd_node *new_first, std::vector<Change> &out) {
    const auto &os = get(og, sc);
    const auto &ns = get(ng, sc);
    if (os.empty() && ns.empty())
        return;
    switch (sc->nodetype) {
        case LYS_LEAF: {
            const lyd_node *o = os.empty() ? nullptr : os[0];
            const lyd_node *n = ns.empty() ? nullptr : ns[0];
            if (o && n) {
                if (strcmp(lyd_get_value(o), lyd_get_value(n)) != 0)
                    out.push_back(make(sc, o, n, MOP_VALUE_SET));
            } else if (n) {
                out.push_back(make(sc, nullptr, n, MOP_VALUE_SET));
            } else {
                out.push_back(make(sc, o, nullptr, MOP_DELETED));
            }
            break;
        }
        case LYS_LEAFLIST: {
            bool same = os.size() == ns.size();
            for (size_t i = 0; same && i < os.size(); ++i)
                same = strcmp(lyd_get_value(os[i]), lyd_get_value(ns[i])) == 0;
            if (same)
                break;
            const lyd_node *o = os.empty() ? nullptr : os[0];
            const lyd_node *n = ns.empty() ? nullptr : ns[0];
            out.push_back(make(sc, o, n, n ? MOP_VALUE_SET : MOP_DELETED));
            break;
        }
        case LYS_CONTAINER: {
            const lyd_node *o = os.empty() ? nullptr : os[0];
            const lyd_node *n = ns.empty() ? nullptr : ns[0];
            if (same_subtree(o, n))
                break;
            Change c = make(sc, o, n, MOP_MODIFIED);
            diff_level(db, child_of(o), child_of(n), sc, c.children);
            if (sc->flags & LYS_PRESENCE) {
                if (!o)
                    c.op = MOP_CREATED;
                else if (!n)
                    c.op = MOP_DELETED;
            }
            if (c.op != MOP_MODIFIED || !c.children.empty())
                out.push_back(std::move(c));
            break;
        }
        case LYS_LIST: {
            for (const lyd_node *n : ns) {
                lyd_node *m = nullptr;
                if (!os.empty())
                    lyd_find_sibling_first(old_first, n, &m);
                if (same_subtree(m, n))
                    continue;
                Change c = make(sc, m, n, m ? MOP_MODIFIED : MOP_CREATED);
                diff_level(db, child_of(m), child_of(n), sc, c.children);
                if (c.op == MOP_CREATED || !c.children.empty())
                    out.push_back(std::move(c));
            }
            for (const lyd_node *o : os) {
                lyd_node *m = nullptr;
                if (!ns.empty())
                    lyd_find_sibling_first(new_first, o, &m);
                if (m)
                    continue;
                Change c = make(sc, o, nullptr, MOP_DELETED);
                diff_level(db, child_of(o), nullptr, sc, c.children);
                out.push_back(std::move(c));
            }
            break;
        }
        default:
            break;
    }
}

void diff_level(const SchemaDb &db, const lyd_node *old_first, const lyd_node *new_first,
                const lysc_node *parent_schema, std::vector<Change> &out) {
    if (!old_first && !new_first)
        return;
    const Groups og = group(old_first);
    const Groups ng = group(new_first);
    if (parent_schema) {
        const lysc_node *sc = nullptr;
        while ((sc = lys_getnext(sc, parent_schema, nullptr, 0)))
            handle(db, sc, og, ng, old_first, new_first, out);
        return;
    }
    for (const lys_module *m : db.modules()) {
        if (!m->compiled)
            continue;
        const lysc_node *sc = nullptr;
        while ((sc = lys_getnext(sc, nullptr, m->compiled, 0)))
            handle(db, sc, og, ng, old_first, new_first, out);
    }
}

void find_matches(const std::vector<Change> &changes, const lysc_node *schema,
                  std::vector<const Change *> &out) {
    for (const Change &c : changes) {
        if (c.schema == schema)
            out.push_back(&c);
        else
            find_matches(c.children, schema, out);
    }
}

confd_tag_value_t bracket(const SchemaDb &db, const lysc_node *s, confd_vtype type) {
    confd_tag_value_t tv{};
    tv.tag.tag = db.tag(s);
    tv.tag.ns = db.ns(s->module);
    tv.v.type = type;
    tv.v.val.xmltag = tv.tag;
    return tv;
}

void mods_children(const SchemaDb &db, const Change &c, std::vector<confd_tag_value_t> &out) {
    for (const Change &ch : c.children) {
        const lysc_node *sc = ch.schema;
        switch (sc->nodetype) {
            case LYS_LEAF:
            case LYS_LEAFLIST: {
                if (lysc_is_key(sc))
                    break;
                confd_tag_value_t tv = bracket(db, sc, C_NOEXISTS);
                std::memset(&tv.v, 0, sizeof tv.v);
                tv.v.type = C_NOEXISTS;
                if (ch.op != MOP_DELETED && ch.newn && !db.to_value(ch.newn, tv.v))
                    break;
                out.push_back(tv);
                break;
            }
            case LYS_CONTAINER: {
                if (ch.op == MOP_DELETED) {
                    confd_tag_value_t tv = bracket(db, sc, C_NOEXISTS);
                    std::memset(&tv.v, 0, sizeof tv.v);
                    tv.v.type = C_NOEXISTS;
                    out.push_back(tv);
                    break;
                }
                std::vector<confd_tag_value_t> sub;
                mods_children(db, ch, sub);
                if (sub.empty() && ch.op != MOP_CREATED)
                    break;
                out.push_back(bracket(db, sc, C_XMLBEGIN));
                out.insert(out.end(), sub.begin(), sub.end());
                out.push_back(bracket(db, sc, C_XMLEND));
                break;
            }
            default:
                break;
        }
    }
}

void write_value_of(const SchemaDb &db, confd_wire::WireWriter &w, const Change &c,
                    const lyd_node *n) {
    confd_value_t v{};
    v.type = C_NOEXISTS;
    if (n && (c.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) && !db.to_value(n, v))
        v.type = C_NOEXISTS;
    if (!w.value(v)) {
        confd_value_t none{};
        none.type = C_NOEXISTS;
        w.value(none);
    }
    confd_free_value(&v);
}

void write_event(const SchemaDb &db, confd_wire::WireWriter &w, const Change &c, uint32_t depth,
                 uint32_t &count, NotifyCache &cache) {
    w.u32(depth);
    const std::vector<uint8_t> &ev = cache.event(db, c);
    w.bytes(ev.data(), ev.size());
    ++count;
    for (const Change &ch : c.children)
        write_event(db, w, ch, depth + 1, count, cache);
}

}  // namespace

bool same_subtree(const lyd_node *o, const lyd_node *n) {
    return o && n &&
           lyd_compare_single(o, n, LYD_COMPARE_FULL_RECURSION | LYD_COMPARE_DEFAULTS) ==
               LY_SUCCESS;
}

std::vector<Change> diff_trees(const SchemaDb &db, const lyd_node *old_root,
                               const lyd_node *new_root) {
    std::vector<Change> out;
    diff_level(db, old_root ? lyd_first_sibling(old_root) : nullptr,
               new_root ? lyd_first_sibling(new_root) : nullptr, nullptr, out);
    return out;
}

bool fires(const std::vector<Change> &changes, const lysc_node *schema) {
    for (const Change &c : changes)
        if (c.schema == schema || fires(c.children, schema))
            return true;
    return false;
}

std::vector<confd_tag_value_t> modifications(const SchemaDb &db, const Change &c) {
    std::vector<confd_tag_value_t> out;
    if (c.op == MOP_DELETED)
        return out;
    mods_children(db, c, out);
    if (c.op == MOP_CREATED && out.empty()) {
        out.push_back(bracket(db, c.schema, C_XMLBEGIN));
        out.push_back(bracket(db, c.schema, C_XMLEND));
    }
    return out;
}

NotifyCache::~NotifyCache() {
    for (auto &[c, tvs] : mods_)
        free_tvs(tvs);
}

const std::vector<confd_tag_value_t> &NotifyCache::mods(const SchemaDb &db, const Change &c) {
    auto [it, fresh] = mods_.try_emplace(&c);
    if (fresh)
        it->second = modifications(db, c);
    return it->second;
}

const std::vector<uint8_t> &NotifyCache::event(const SchemaDb &db, const Change &c) {
    auto [it, fresh] = events_.try_emplace(&c);
    if (!fresh)
        return it->second;
    confd_wire::WireWriter w(confd_wire::Op::Notify);
    w.u8(static_cast<uint8_t>(c.op));
    confd_hkeypath_t kp{};
    if (db.keypath(c.newn ? c.newn : c.oldn, kp)) {
        w.keypath(kp);
        confd_wire::free_keypath(kp);
    } else {
        w.u32(0);
    }
    write_value_of(db, w, c, c.oldn);
    write_value_of(db, w, c, c.newn);
    if (c.schema->nodetype & (LYS_LIST | LYS_CONTAINER))
        w.tagged_list(mods(db, c));
    else
        w.tagged_list({});
    const auto &frame = w.finish();
    it->second.assign(frame.begin() + confd_wire::kHeaderSize, frame.end());
    return it->second;
}

void free_tvs(std::vector<confd_tag_value_t> &tvs) {
    for (auto &tv : tvs)
        confd_free_value(&tv.v);
    tvs.clear();
}

const std::vector<uint8_t> &NotifyCache::point(const SchemaDb &db, const lysc_node *schema,
                                               const std::vector<Change> &changes) {
    auto [it, fresh] = points_.try_emplace(schema);
    if (!fresh)
        return it->second;
    std::vector<const Change *> matches;
    if (schema)
        find_matches(changes, schema, matches);
    const bool list_point = schema && schema->nodetype == LYS_LIST;
    confd_wire::WireWriter w(confd_wire::Op::Notify);
    w.u8(list_point ? 1 : 0);
    // The event count is known only after writing: write the events into a frame of their own
    // and copy its payload.
    confd_wire::WireWriter ev(confd_wire::Op::Notify);
    uint32_t count = 0;
    for (const Change *m : matches) {
        if (schema->nodetype == LYS_CONTAINER) {
            for (const Change &ch : m->children)
                write_event(db, ev, ch, 0, count, *this);
        } else {
            write_event(db, ev, *m, 0, count, *this);
        }
    }
    w.u32(count);
    const auto &evs = ev.finish();
    w.bytes(evs.data() + confd_wire::kHeaderSize, evs.size() - confd_wire::kHeaderSize);
    // The point's array: the values belong to the cache (brackets own nothing).
    std::vector<confd_tag_value_t> pm;
    std::vector<confd_tag_value_t> leaf_mods;
    for (const Change *m : matches) {
        if (list_point) {
            pm.push_back(bracket(db, schema, m->op == MOP_DELETED ? C_XMLBEGINDEL : C_XMLBEGIN));
            const auto &sub = mods(db, *m);
            pm.insert(pm.end(), sub.begin(), sub.end());
            pm.push_back(bracket(db, schema, C_XMLEND));
        } else if (schema->nodetype == LYS_CONTAINER) {
            const auto &sub = mods(db, *m);
            pm.insert(pm.end(), sub.begin(), sub.end());
        } else {
            Change parent;
            parent.op = MOP_MODIFIED;
            parent.children.push_back(*m);
            auto sub = modifications(db, parent);
            pm.insert(pm.end(), sub.begin(), sub.end());
            leaf_mods.insert(leaf_mods.end(), sub.begin(), sub.end());
        }
    }
    w.tagged_list(pm);
    free_tvs(leaf_mods);
    const auto &frame = w.finish();
    it->second.assign(frame.begin() + confd_wire::kHeaderSize, frame.end());
    return it->second;
}

void write_point(const SchemaDb &db, confd_wire::WireWriter &w, int id, const lysc_node *schema,
                 const std::vector<Change> &changes, NotifyCache &cache) {
    w.i32(id);
    const std::vector<uint8_t> &body = cache.point(db, schema, changes);
    w.bytes(body.data(), body.size());
}

}  // namespace cdbd
