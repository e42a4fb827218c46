#include "peers/cdbd/cdbd_validate.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <unordered_set>
#include <utility>

#include "peers/cdbd/cdbd_diff.h"

namespace cdbd {

namespace {

// Is n root or below it?
bool within(const lysc_node *n, const lysc_node *root) {
    for (; n; n = n->parent) {
        if (n == root)
            return true;
    }
    return false;
}

// One constraint: the node it is evaluated at and the schema nodes its expression reads.
struct Constraint {
    const lysc_node *at;
    std::vector<const lysc_node *> atoms;
};

class ConstraintReader {
  public:
    std::vector<Constraint> all;
    bool unreadable = false;

    void node(const lysc_node *n) {
        LY_ARRAY_COUNT_TYPE u;
        const lysc_must *musts = lysc_node_musts(n);
        LY_ARRAY_FOR(musts, u) expr(n, n->module, musts[u].cond, musts[u].prefixes);
        lysc_when **whens = lysc_node_when(n);
        LY_ARRAY_FOR(whens, u) {
            expr(whens[u]->context ? whens[u]->context : n, n->module, whens[u]->cond,
                 whens[u]->prefixes);
        }
        if (n->nodetype & LYD_NODE_TERM)
            type(n, reinterpret_cast<const lysc_node_leaf *>(n)->type);
    }

  private:
    void expr(const lysc_node *at, const lys_module *mod, const lyxp_expr *e,
              const lysc_prefix *prefixes) {
        ly_set *set = nullptr;
        if (lys_find_expr_atoms(at, mod, e, prefixes, 0, &set) != LY_SUCCESS) {
            unreadable = true;
            return;
        }
        all.push_back({at, {set->snodes, set->snodes + set->count}});
        ly_set_free(set, nullptr);
    }

    void type(const lysc_node *n, const lysc_type *t) {
        switch (t->basetype) {
            case LY_TYPE_LEAFREF: {
                const auto *l = reinterpret_cast<const lysc_type_leafref *>(t);
                expr(n, n->module, l->path, l->prefixes);
                break;
            }
            case LY_TYPE_INST:
                unreadable = true;  // its target can be any node
                break;
            case LY_TYPE_UNION: {
                const auto *un = reinterpret_cast<const lysc_type_union *>(t);
                LY_ARRAY_COUNT_TYPE u;
                LY_ARRAY_FOR(un->types, u) type(n, un->types[u]);
                break;
            }
            default:
                break;
        }
    }
};

// Can entries of this list be judged alone? No lower count limit or uniqueness across entries,
// and nothing around it (when, choice) that validation could delete it by. An upper limit is
// checked on the whole count before entries leave.
bool list_stands_alone(const lysc_node *list) {
    for (const lysc_node *n = list; n; n = n->parent) {
        if (n->nodetype & (LYS_CHOICE | LYS_CASE))
            return false;
        if (lysc_node_when(n))
            return false;
        if (n->nodetype == LYS_LIST && reinterpret_cast<const lysc_node_list *>(n)->uniques)
            return false;
    }
    const auto *l = reinterpret_cast<const lysc_node_list *>(list);
    return l->min == 0;
}

void add_once(std::vector<const lysc_node *> &v, const lysc_node *n) {
    if (std::find(v.begin(), v.end(), n) == v.end())
        v.push_back(n);
}

// The entry of a user-ordered list (or leaf-list) before n, or null when n comes first.
const lyd_node *previous_entry(const lyd_node *n) {
    const lyd_node *p = n->prev;
    return p->next && p->schema == n->schema ? p : nullptr;
}

// Did n change its place among the entries of its user-ordered list, from o's?
bool moved(const lyd_node *o, const lyd_node *n) {
    if (!lysc_is_userordered(n->schema))
        return false;
    const lyd_node *po = previous_entry(o), *pn = previous_entry(n);
    if (!po || !pn)
        return po != pn;
    return lyd_compare_single(po, pn, 0) != LY_SUCCESS;
}

}  // namespace

CommitValidator::CommitValidator(const ly_ctx *ctx) : ctx_(ctx) {
    ConstraintReader reader;
    std::vector<const lysc_node *> lists;
    uint32_t idx = 0;
    while (const lys_module *mod = ly_ctx_get_module_iter(ctx, &idx)) {
        if (!mod->implemented || !mod->compiled)
            continue;
        for (const lysc_node *top = mod->compiled->data; top; top = top->next) {
            const lysc_node *n;
            LYSC_TREE_DFS_BEGIN(top, n) {
                if (n->flags & LYS_CONFIG_W) {
                    reader.node(n);
                    if (n->nodetype == LYS_LIST && list_stands_alone(n))
                        lists.push_back(n);
                }
                LYSC_TREE_DFS_END(top, n);
            }
        }
    }
    if (reader.unreadable) {
        whole_ = true;
        return;
    }
    for (const lysc_node *list : lists) {
        Unit u;
        bool alone = true;
        for (const Constraint &c : reader.all) {
            auto inside = [list](const lysc_node *a) { return within(a, list); };
            const bool from_inside = within(c.at, list);
            if (!from_inside) {
                // Something outside reads into the list: its entries must stay in the tree.
                if (std::any_of(c.atoms.begin(), c.atoms.end(), inside)) {
                    alone = false;
                    break;
                }
                continue;
            }
            bool reads_outside = false, reads_inside = false;
            for (const lysc_node *a : c.atoms) {
                if (inside(a)) {
                    reads_inside = true;
                    continue;
                }
                reads_outside = true;
                // A node with another node of the expression below it is a step of a path;
                // what is read is at the end of the path.
                const bool step = std::any_of(c.atoms.begin(), c.atoms.end(),
                                              [a](auto *b) { return b != a && within(b, a); });
                add_once(step ? u.steps : u.values, a);
            }
            // A path that leaves the entry and comes back into the list may read other entries.
            if (reads_outside && reads_inside)
                add_once(u.values, list);
        }
        if (alone)
            units_.emplace(list, std::move(u));
    }
    for (auto &[list, u] : units_) {
        for (const lysc_node *n = list->parent; n; n = n->parent) {
            leads_to_unit_[n] = true;
            if (units_.count(n))
                units_.at(n).has_unit_below = true;
        }
        leads_to_unit_[list] = true;
    }
}

std::vector<const lysc_node *> CommitValidator::units() const {
    std::vector<const lysc_node *> v;
    for (const auto &[list, u] : units_)
        v.push_back(list);
    return v;
}

// One walk over the new tree beside the old one: which schema nodes have an instance created,
// deleted, changed in value or moved, and which unit entries are as they were.
struct CommitValidator::Scan {
    const CommitValidator &v;
    std::vector<const lysc_node *> changed;
    std::vector<lyd_node *> unchanged;
    bool opaque = false;

    bool leads(const lysc_node *s) const { return v.leads_to_unit_.count(s) != 0; }
    bool unit(const lysc_node *s) const { return v.units_.count(s) != 0; }

    // The unit entries of a subtree known to be unchanged (outermost ones only).
    void collect(lyd_node *first) {
        for (lyd_node *n = first; n; n = n->next) {
            if (!n->schema || !leads(n->schema))
                continue;
            if (unit(n->schema))
                unchanged.push_back(n);
            else
                collect(lyd_child(n));
        }
    }

    void compare(const lyd_node *old_first, lyd_node *new_first) {
        for (lyd_node *n = new_first; n; n = n->next) {
            if (!n->schema) {
                opaque = true;
                continue;
            }
            lyd_node *o = nullptr;
            if (!old_first || lyd_find_sibling_first(old_first, n, &o) != LY_SUCCESS) {
                changed.push_back(n->schema);
                continue;
            }
            if (moved(o, n))
                changed.push_back(n->schema);
            if (n->schema->nodetype & LYD_NODE_TERM) {
                if (lyd_compare_single(o, n, LYD_COMPARE_DEFAULTS) != LY_SUCCESS)
                    changed.push_back(n->schema);
                continue;
            }
            // Below a node that leads to units, unchanged entries are found one by one;
            // elsewhere one comparison settles a whole subtree.
            const bool is_unit = unit(n->schema);
            if ((is_unit || !leads(n->schema)) && same_subtree(o, n)) {
                if (is_unit)
                    unchanged.push_back(n);
                continue;
            }
            compare(lyd_child(o), lyd_child(n));
        }
        for (const lyd_node *o = old_first; o; o = o->next) {
            if (o->schema &&
                (!new_first || lyd_find_sibling_first(new_first, o, nullptr) != LY_SUCCESS))
                changed.push_back(o->schema);
        }
    }

    // Could a change have made an entry of this unit invalid?
    bool affected(const Unit &u) const {
        for (const lysc_node *s : changed) {
            for (const lysc_node *a : u.values) {
                if (within(s, a) || within(a, s))
                    return true;
            }
            for (const lysc_node *a : u.steps) {
                if (within(a, s))
                    return true;
            }
        }
        return false;
    }
};

LY_ERR CommitValidator::validate(const lyd_node *running, lyd_node **next, size_t *skipped) const {
    if (skipped)
        *skipped = 0;
    if (whole_ || units_.empty() || !running)
        return lyd_validate_all(next, ctx_, LYD_VALIDATE_NO_STATE, nullptr);
    Scan scan{*this, {}, {}};
    scan.compare(running, *next);
    if (scan.opaque)
        return lyd_validate_all(next, ctx_, LYD_VALIDATE_NO_STATE, nullptr);

    // Unchanged entries of affected units are looked into for unaffected units below.
    std::vector<lyd_node *> out;
    std::map<const lysc_node *, bool> affected;
    for (size_t i = 0; i < scan.unchanged.size(); ++i) {
        lyd_node *n = scan.unchanged[i];
        const Unit &u = units_.at(n->schema);
        auto [it, fresh] = affected.try_emplace(n->schema, false);
        if (fresh)
            it->second = scan.affected(u);
        if (!it->second)
            out.push_back(n);
        else if (u.has_unit_below)
            scan.collect(lyd_child(n));
    }
    if (out.empty())
        return lyd_validate_all(next, ctx_, LYD_VALIDATE_NO_STATE, nullptr);

    // Each list whose entries leave keeps its order of entries; putting them back appends them
    // after the entries still there, so every entry of such a list is put back in order.
    struct Siblings {
        lyd_node *parent;
        std::vector<lyd_node *> order;
    };
    std::map<std::pair<const lyd_node *, const lysc_node *>, Siblings> lists;
    for (lyd_node *n : out) {
        auto [it, fresh] = lists.try_emplace({lyd_parent(n), n->schema});
        if (!fresh)
            continue;
        it->second.parent = lyd_parent(n);
        for (lyd_node *s = lyd_first_sibling(n); s; s = s->next) {
            if (s->schema == n->schema)
                it->second.order.push_back(s);
        }
    }
    // Too many entries: libyang says so, in its words.
    for (const auto &[key, sib] : lists) {
        if (sib.order.size() > reinterpret_cast<const lysc_node_list *>(key.second)->max)
            return lyd_validate_all(next, ctx_, LYD_VALIDATE_NO_STATE, nullptr);
    }
    auto unlink = [next](lyd_node *n) {
        if (*next == n)
            *next = n->next;
        lyd_unlink_tree(n);
    };
    for (lyd_node *n : out)
        unlink(n);
    const LY_ERR rc = lyd_validate_all(next, ctx_, LYD_VALIDATE_NO_STATE, nullptr);
    const std::unordered_set<const lyd_node *> away(out.begin(), out.end());
    for (auto &[key, sib] : lists) {
        for (lyd_node *n : sib.order) {
            if (!away.count(n))
                unlink(n);
        }
        for (lyd_node *n : sib.order) {
            if (sib.parent)
                lyd_insert_child(sib.parent, n);
            else
                lyd_insert_sibling(*next, n, next);
        }
    }
    if (skipped)
        *skipped = out.size();
    return rc;
}

}  // namespace cdbd
