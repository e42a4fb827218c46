// The shared objects of the policy model: VPN lists, prefix lists, app lists, TLOCs and TLOC
// lists, SLA classes, policers and mirrors.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "common/plx_log.h"
#include "policy/plx_config.h"
#include "policy/plx_config_int.h"

namespace plx::cfg {

using namespace detail;

// ---------------------------------------------------------------------------------------------
// VPN lists

vpn_list *plx_config_vpn_list_find(plx_policy_db *db, std::string_view name) {
    return db ? db->vpn_lists.find(plx_name_cut(name)) : nullptr;
}

int plx_config_vpn_list_add(plx_policy_db *db, std::string_view name) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    return add_record(db->vpn_lists, plx_name_cut(name), [&](vpn_list &l) { l.name.assign(name); });
}

int plx_config_vpn_list_delete(plx_policy_db *db, std::string_view name) {
    if (!db)
        return PLX_EBADMSG;
    vpn_list *l = plx_config_vpn_list_find(db, name);
    if (!l)
        return PLX_ENOENT;
    if (!l->users.empty())
        return PLX_EINVAL;
    l->ranges.walk([&](vpn_range &r) {
        if (db->hooks.vpn_range_removing)
            db->hooks.vpn_range_removing(*l, r);
        l->ranges.erase(r);
    });
    db->vpn_lists.erase(*l);
    return PLX_OK;
}

int plx_config_vpn_range_add(plx_policy_db *db, std::string_view name, uint64_t low,
                             uint64_t high) {
    if (!db)
        return PLX_EBADMSG;
    if (low > high)
        return PLX_EINVAL;
    vpn_list *l = plx_config_vpn_list_find(db, name);
    if (!l)
        return PLX_ENOENT;
    vpn_range *added = nullptr;
    auto fill = [&](vpn_range &r) {
        r.low = low;
        r.high = high;
    };
    if (int err = add_record(l->ranges, {low, high}, fill, &added))
        return err;
    if (db->hooks.vpn_range_added)
        db->hooks.vpn_range_added(*l, *added);
    return PLX_OK;
}

int plx_config_vpn_range_delete(plx_policy_db *db, std::string_view name, uint64_t low,
                                uint64_t high) {
    if (!db)
        return PLX_EBADMSG;
    vpn_list *l = plx_config_vpn_list_find(db, name);
    vpn_range *r = l ? l->ranges.find({low, high}) : nullptr;
    if (!r)
        return PLX_ENOENT;
    if (db->hooks.vpn_range_removing)
        db->hooks.vpn_range_removing(*l, *r);
    l->ranges.erase(*r);
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Prefix lists and app lists: what they share

namespace {

// Marks every user of a prefix list or app list changed: the policy VPN lists and access lists
// whose rules expand it.
template <class List>
void mark_list_users(plx_policy_db *db, List &l) {
    for (auto &u : l.users)
        if (policy_vpn_list *v =
                find_pvl(db, u.policy_type, u.policy_name.view(), u.vpn_list_name.view()))
            plx_config_mark_changed(*v);
    if (db->hooks.access_list_changed)
        for (list_acl_user &u : l.acl_users)
            db->hooks.access_list_changed(u.p_acl);
    // A rule that names an empty prefix list holds no reference to it, but must see it fill.
    constexpr bool pfx = std::is_same_v<List, pfx_list>;
    bool device;
    if constexpr (pfx)
        device = l.pfx_list_type == PLX_POLICY_PFX_LIST_TYPE_LOCAL;
    else
        device = l.location == PLX_APP_LIST_LOC_LOCAL;
    if (device) {
        if (db->hooks.access_list_list_changed)
            db->hooks.access_list_list_changed(pfx, l.name.view());
        return;
    }
    for_each_pvl(db, [&](policy &, policy_vpn_list &v) {
        for (const rule &r : v.rules)
            for (const rule_list_ref &ref : r.list_refs) {
                bool is_pfx = ref.origin_type == PLX_MATCH_SRC_PFX_LIST ||
                              ref.origin_type == PLX_MATCH_DST_PFX_LIST;
                if (is_pfx == pfx && ref.name.view() == l.name.view())
                    plx_config_mark_changed(v);
            }
    });
}

// Deletes a prefix list or app list; 22 while a policy VPN list expands it (policies drop their
// conditions before their lists go). Access lists that still expand it are marked changed and
// unlinked: the same change set repoints or drops their conditions, and their processing
// expands only lists that still exist. Returns the number of access-list references dropped.
template <class Tree>
int list_delete(plx_policy_db *db, Tree &lists, typename Tree::value_type *l,
                uint32_t *acl_refs = nullptr) {
    if (!l)
        return PLX_ENOENT;
    if (!l->users.empty())
        return PLX_EINVAL;
    uint32_t refs = 0;
    for (list_acl_user &u : l->acl_users) {
        refs += u.ref_count;
        if (db->hooks.access_list_changed)
            db->hooks.access_list_changed(u.p_acl);
    }
    if (acl_refs)
        *acl_refs = refs;
    lists.erase(*l);
    return PLX_OK;
}

template <class List>
int list_change(plx_policy_db *db, List *l) {
    if (!l)
        return PLX_ENOENT;
    mark_list_users(db, *l);
    return PLX_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Prefix lists

namespace {
bool valid_pfx_list_type(uint32_t t) {
    return t == PLX_POLICY_PFX_LIST_TYPE_LOCAL || t == PLX_POLICY_PFX_LIST_TYPE_QCTRL;
}
}  // namespace

pfx_list *plx_config_pfx_list_find(plx_policy_db *db, std::string_view name,
                                   uint32_t pfx_list_type) {
    return db ? db->pfx_lists.find({pfx_list_type, plx_name_cut(name)}) : nullptr;
}

int plx_config_pfx_list_add(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    if (!valid_pfx_list_type(pfx_list_type))
        return PLX_EINVAL;
    return add_record(db->pfx_lists, {pfx_list_type, plx_name_cut(name)}, [&](pfx_list &l) {
        l.name.assign(name);
        l.pfx_list_type = pfx_list_type;
    });
}

int plx_config_pfx_list_delete(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type) {
    if (!db)
        return PLX_EBADMSG;
    return list_delete(db, db->pfx_lists, plx_config_pfx_list_find(db, name, pfx_list_type));
}

int plx_config_pfx_list_change(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type) {
    if (!db)
        return PLX_EBADMSG;
    return list_change(db, plx_config_pfx_list_find(db, name, pfx_list_type));
}

int plx_config_pfx_add(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type,
                       std::array<uint8_t, 4> addr, uint8_t len) {
    if (!db)
        return PLX_EBADMSG;
    if (len > 32)
        return PLX_EINVAL;
    pfx_list *l = plx_config_pfx_list_find(db, name, pfx_list_type);
    if (!l)
        return PLX_ENOENT;
    return add_record(l->prefixes, {len, addr}, [&](pfx_entry &e) {
        e.addr = addr;
        e.len = len;
    });
}

int plx_config_pfx_delete(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type,
                          std::array<uint8_t, 4> addr, uint8_t len) {
    if (!db)
        return PLX_EBADMSG;
    pfx_list *l = plx_config_pfx_list_find(db, name, pfx_list_type);
    pfx_entry *e = l ? l->prefixes.find({len, addr}) : nullptr;
    if (!e)
        return PLX_ENOENT;
    l->prefixes.erase(*e);
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// App lists

namespace {
bool valid_location(uint32_t loc) {
    return loc == PLX_APP_LIST_LOC_LOCAL || loc == PLX_APP_LIST_LOC_QCTRL;
}
bool valid_kind(uint32_t kind) {
    return kind == PLX_APP_LIST_KIND_APP || kind == PLX_APP_LIST_KIND_FAMILY;
}
uint32_t resolve_app(plx_policy_db *db, std::string_view app_name, uint32_t kind) {
    return db->resolve_app_id ? db->resolve_app_id(app_name, kind) : 0;
}
}  // namespace

app_list *plx_config_app_list_find(plx_policy_db *db, std::string_view name, uint32_t location) {
    return db ? db->app_lists.find({plx_name_cut(name), location}) : nullptr;
}

int plx_config_app_list_add(plx_policy_db *db, std::string_view name, uint32_t location) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    if (!valid_location(location))
        return PLX_EINVAL;
    return add_record(db->app_lists, {plx_name_cut(name), location}, [&](app_list &l) {
        l.name.assign(name);
        l.location = location;
    });
}

int plx_config_app_list_delete(plx_policy_db *db, std::string_view name, uint32_t location) {
    if (!db)
        return PLX_EBADMSG;
    // Each access-list reference to an app list counts as a user of application recognition.
    uint32_t refs = 0;
    int err = list_delete(db, db->app_lists, plx_config_app_list_find(db, name, location), &refs);
    if (err == PLX_OK) {
        PLX_ASSERT(db->dpi_ref_count >= refs);
        db->dpi_ref_count -= refs;
    }
    return err;
}

int plx_config_app_list_change(plx_policy_db *db, std::string_view name, uint32_t location) {
    if (!db)
        return PLX_EBADMSG;
    return list_change(db, plx_config_app_list_find(db, name, location));
}

int plx_config_app_list_add_app(plx_policy_db *db, std::string_view name, uint32_t location,
                                uint32_t kind, std::string_view app_name) {
    if (!db || app_name.empty())
        return PLX_EBADMSG;
    if (!valid_kind(kind))
        return PLX_EINVAL;
    app_list *l = plx_config_app_list_find(db, name, location);
    if (!l)
        return PLX_ENOENT;
    uint32_t id = resolve_app(db, app_name, kind);
    if (id == 0) {
        std::string n(app_name);
        PLX_LOG("Skipping the app%s - %s. Not supported.",
                kind == PLX_APP_LIST_KIND_FAMILY ? " family" : "", n.c_str());
        return PLX_OK;
    }
    bool switch_kind = l->kind != kind;
    if (!switch_kind && l->entries.find(id))
        return PLX_EEXIST;
    auto e = make<app_entry>();
    if (!e)
        return PLX_ENOMEM;
    e->id = id;
    e->name.assign(app_name);
    // A list holds one kind only: applications replace families and the other way round.
    if (switch_kind) {
        l->entries.destroy_all();
        l->kind = kind;
    }
    l->entries.insert(std::move(e));
    return PLX_OK;
}

int plx_config_app_list_delete_app(plx_policy_db *db, std::string_view name, uint32_t location,
                                   uint32_t kind, std::string_view app_name) {
    if (!db || app_name.empty())
        return PLX_EBADMSG;
    if (!valid_kind(kind))
        return PLX_EINVAL;
    app_list *l = plx_config_app_list_find(db, name, location);
    if (!l)
        return PLX_ENOENT;
    uint32_t id = resolve_app(db, app_name, kind);
    if (id == 0)
        return PLX_OK;  // was skipped when added
    // Switching a list to the other kind emptied it when the first entry of the new kind came;
    // the old kind's entries leave afterwards and find nothing to remove.
    if (l->kind != kind)
        return PLX_OK;
    app_entry *e = l->entries.find(id);
    if (!e)
        return PLX_ENOENT;
    l->entries.erase(*e);
    return PLX_OK;
}

void plx_config_set_app_visibility(plx_policy_db *db, bool on) {
    if (!db || db->app_visibility == static_cast<uint32_t>(on))
        return;
    db->app_visibility = on;
    if (on)
        ++db->dpi_ref_count;
    else if (db->dpi_ref_count > 0)
        --db->dpi_ref_count;
}

void plx_config_set_flow_visibility(plx_policy_db *db, bool on) {
    if (!db || db->flow_visibility == static_cast<uint32_t>(on))
        return;
    db->flow_visibility = on;
    if (on)
        ++db->flow_ref_count;
    else if (db->flow_ref_count > 0)
        --db->flow_ref_count;
}

// ---------------------------------------------------------------------------------------------
// TLOCs

tloc *plx_config_tloc_find(plx_policy_db *db, const tloc_key &key) {
    return db ? db->tlocs.find(&key) : nullptr;
}

int plx_config_tloc_get(plx_policy_db *db, const tloc_key &key, uint8_t resolved, tloc **out) {
    if (!db || !out)
        return PLX_EBADMSG;
    bool added;
    auto fill = [&](tloc &t) {
        t.key = key;
        t.resolved = resolved;
    };
    return get_record(db->tlocs, &key, fill, *out, added);
}

int plx_config_tloc_delete(plx_policy_db *db, tloc *t) {
    if (!db || !t)
        return PLX_EBADMSG;
    if (!t->refs.empty())
        return PLX_EINVAL;
    db->tlocs.erase(*t);
    return PLX_OK;
}

void plx_config_tloc_mark_users(plx_policy_db *db, tloc *t) {
    if (!db || !t)
        return;
    for (tloc_ref &ref : t->refs)
        plx_config_mark_rule_owner(db, *ref.p_rule);
}

int detail::tloc_ref_acquire(plx_policy_db *db, rule &r, const tloc_key &key, tloc **out) {
    tloc *t = db->tlocs.find(&key);
    std::unique_ptr<tloc> created;
    if (!t) {
        // A TLOC named by a policy before the messaging daemon announced it: unresolved.
        if (!(created = make<tloc>()))
            return PLX_ENOMEM;
        created->key = key;
        t = created.get();
    }
    tloc_ref *in_tloc = t->refs.find(&r);
    tloc_ref *in_rule = r.tloc_refs.find(&t->key);
    std::unique_ptr<tloc_ref> new_in_tloc, new_in_rule;
    if (!in_tloc && !(new_in_tloc = make<tloc_ref>()))
        return PLX_ENOMEM;
    if (!in_rule && !(new_in_rule = make<tloc_ref>()))
        return PLX_ENOMEM;
    if (created)
        db->tlocs.insert(std::move(created));
    if (!in_tloc) {
        new_in_tloc->p_rule = &r;
        new_in_tloc->p_tloc = t;
        in_tloc = t->refs.insert(std::move(new_in_tloc));
    }
    if (!in_rule) {
        new_in_rule->p_rule = &r;
        new_in_rule->p_tloc = t;
        in_rule = r.tloc_refs.insert(std::move(new_in_rule));
    }
    ++in_tloc->count;
    ++in_rule->count;
    *out = t;
    return PLX_OK;
}

void detail::tloc_ref_release(plx_policy_db *db, rule &r, tloc *t) {
    tloc_ref *in_tloc = t->refs.find(&r);
    tloc_ref *in_rule = r.tloc_refs.find(&t->key);
    PLX_ASSERT(in_tloc != nullptr && in_tloc->count > 0);
    PLX_ASSERT(in_rule != nullptr && in_rule->count > 0);
    if (--in_tloc->count == 0)
        t->refs.erase(*in_tloc);
    if (--in_rule->count == 0)
        r.tloc_refs.erase(*in_rule);
    if (!t->resolved && t->refs.empty())
        db->tlocs.erase(*t);
}

// ---------------------------------------------------------------------------------------------
// TLOC lists

tloc_list *plx_config_tloc_list_find(plx_policy_db *db, uint16_t seq_id, uint32_t policy_type,
                                     std::string_view policy_name, std::string_view vpn_list_name) {
    if (!db)
        return nullptr;
    return db->tloc_lists.find(
        {seq_id, policy_type, plx_name_cut(policy_name), plx_name_cut(vpn_list_name)});
}

int plx_config_tloc_list_get(plx_policy_db *db, uint16_t seq_id, uint32_t policy_type,
                             std::string_view policy_name, std::string_view vpn_list_name,
                             tloc_list **out) {
    if (!db || !out)
        return PLX_EBADMSG;
    bool added;
    auto fill = [&](tloc_list &l) {
        l.seq_id = seq_id;
        l.policy_type = policy_type;
        l.policy_name.assign(policy_name);
        l.vpn_list_name.assign(vpn_list_name);
    };
    return get_record(db->tloc_lists,
                      {seq_id, policy_type, plx_name_cut(policy_name), plx_name_cut(vpn_list_name)},
                      fill, *out, added);
}

namespace {
// The rule whose TLOC-list action reads this list has to be rebuilt.
void mark_tloc_list_user(plx_policy_db *db, const tloc_list &l) {
    if (policy_vpn_list *v =
            find_pvl(db, l.policy_type, l.policy_name.view(), l.vpn_list_name.view()))
        plx_config_mark_changed(*v);
}

void tloc_pref_set(tloc_pref &e, const tloc_pref_value &v) {
    e.key = v.key;
    e.label = v.label;
    e.preference = v.preference;
}

}  // namespace

int plx_config_tloc_pref_add(plx_policy_db *db, tloc_list *l, uint32_t entry_index,
                             const tloc_pref_value &v) {
    if (!db || !l)
        return PLX_EBADMSG;
    auto fill = [&](tloc_pref &e) {
        e.entry_index = entry_index;
        tloc_pref_set(e, v);
    };
    if (int err = add_record(l->entries, entry_index, fill))
        return err;
    mark_tloc_list_user(db, *l);
    return PLX_OK;
}

int plx_config_tloc_pref_modify(plx_policy_db *db, tloc_list *l, uint32_t entry_index,
                                const tloc_pref_value &v) {
    if (!db || !l)
        return PLX_EBADMSG;
    tloc_pref *e = l->entries.find(entry_index);
    if (!e)
        return PLX_ENOENT;
    tloc_pref_set(*e, v);
    mark_tloc_list_user(db, *l);
    return PLX_OK;
}

int plx_config_tloc_pref_delete(plx_policy_db *db, tloc_list *l, uint32_t entry_index) {
    if (!db || !l)
        return PLX_EBADMSG;
    tloc_pref *e = l->entries.find(entry_index);
    if (!e)
        return PLX_ENOENT;
    l->entries.erase(*e);
    mark_tloc_list_user(db, *l);
    if (l->entries.empty())
        db->tloc_lists.erase(*l);
    return PLX_OK;
}

int detail::tloc_list_action_load(plx_policy_db *db, rule &r, config_action &a) {
    a.tloc_list.count = 0;
    a.tloc_list.entries = {};
    if (!r.p_vpn_list)
        return PLX_OK;
    policy &p = *r.p_vpn_list->p_policy;
    tloc_list *l = plx_config_tloc_list_find(db, static_cast<uint16_t>(r.seq_id), p.type,
                                             p.name.view(), r.p_vpn_list->name.view());
    if (!l)
        return PLX_OK;
    // The first 16 entries in entry-index order.
    for (tloc_pref &e : l->entries) {
        if (a.tloc_list.count == PLX_TLOC_LIST_MAX)
            break;
        tloc_list_action_entry &slot = a.tloc_list.entries[a.tloc_list.count];
        if (int err = tloc_ref_acquire(db, r, e.key, &slot.p_tloc)) {
            slot = {};
            tloc_list_action_release(db, r, a);
            return err;
        }
        slot.label = e.label;
        slot.preference = e.preference;
        ++a.tloc_list.count;
    }
    // Highest preference first; equal preferences keep entry-index order.
    std::stable_sort(a.tloc_list.entries.begin(), a.tloc_list.entries.begin() + a.tloc_list.count,
                     [](const tloc_list_action_entry &x, const tloc_list_action_entry &y) {
                         return x.preference > y.preference;
                     });
    return PLX_OK;
}

void detail::tloc_list_action_release(plx_policy_db *db, rule &r, config_action &a) {
    for (uint32_t i = 0; i < a.tloc_list.count; ++i)
        tloc_ref_release(db, r, a.tloc_list.entries[i].p_tloc);
    a.tloc_list.count = 0;
    a.tloc_list.entries = {};
}

// ---------------------------------------------------------------------------------------------
// SLA classes

sla_class *plx_sla_class_find(plx_policy_db *db, std::string_view name) {
    return db ? db->sla_classes.find(plx_name_cut(name, PLX_SHORT_NAME_LEN)) : nullptr;
}

void detail::sla_class_propagate(plx_policy_db *db, std::string_view name, uint8_t id) {
    name = plx_name_cut(name, PLX_SHORT_NAME_LEN);
    for_each_pvl(db, [&](policy &p, policy_vpn_list &v) {
        if (p.type != PLX_POLICY_TYPE_PFR)
            return;
        auto names_it = [&](config_action &a) {
            return a.action_type == PLX_ACTION_SLA_CLASS && a.sla.name.view() == name;
        };
        bool hit = false;
        if (names_it(v.default_action)) {
            v.default_action.sla.id = id;
            hit = true;
        }
        for (rule &r : v.rules)
            for (config_action &a : r.actions)
                if (names_it(a)) {
                    a.sla.id = id;
                    hit = true;
                }
        if (hit)
            plx_config_mark_changed(v);
    });
}

int plx_sla_class_add(plx_policy_db *db, std::string_view name) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    decltype(db->sla_classes)::where_type where;
    if (db->sla_classes.find(plx_name_cut(name, PLX_SHORT_NAME_LEN), where))
        return PLX_EEXIST;
    if (db->sla_id_map == 0xFF)
        return PLX_ENOMEM;
    auto s = make<sla_class>();
    if (!s)
        return PLX_ENOMEM;
    uint8_t id = 0;
    while (db->sla_id_map & (1u << id))
        ++id;
    s->name.assign(name);
    s->id = id;
    db->sla_id_map |= static_cast<uint8_t>(1u << id);
    sla_class *added = db->sla_classes.insert(std::move(s), where);
    sla_class_propagate(db, added->name.view(), id);
    return PLX_OK;
}

int plx_sla_class_delete(plx_policy_db *db, std::string_view name) {
    if (!db)
        return PLX_EBADMSG;
    sla_class *s = plx_sla_class_find(db, name);
    if (!s)
        return PLX_ENOENT;
    std::unique_ptr<sla_class> gone = db->sla_classes.remove(*s);
    db->sla_id_map &= static_cast<uint8_t>(~(1u << gone->id));
    // The actions keep the id; their users are rebuilt, which sets rule SLA actions to 0.
    sla_class_propagate(db, gone->name.view(), gone->id);
    return PLX_OK;
}

int plx_sla_class_init(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    plx_sla_class_teardown(db);
    if (int err = plx_sla_class_add(db, PLX_SLA_ALL_TUNNELS))
        PLX_LOG("Failed to add 'all tunnels' sla class, err(%d)\n", err);
    return PLX_OK;
}

int plx_sla_class_teardown(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    db->sla_classes.destroy_all();
    db->sla_id_map = 0;
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Policers

policer *plx_config_policer_find(plx_policy_db *db, std::string_view name, uint32_t owner_type) {
    return db ? db->policers.find({plx_name_cut(name), owner_type}) : nullptr;
}

int plx_config_policer_add(plx_policy_db *db, std::string_view name, uint32_t owner_type,
                           const policer_params &params) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    if (owner_type != PLX_POLICER_OWNER_LOCAL && owner_type != PLX_POLICER_OWNER_QCTRL)
        return PLX_EINVAL;
    return add_record(db->policers, {plx_name_cut(name), owner_type}, [&](policer &p) {
        p.name.assign(name);
        p.owner_type = owner_type;
        p.params = params;
    });
}

int plx_config_policer_update(plx_policy_db *db, std::string_view name, uint32_t owner_type,
                              const policer_params &params, uint32_t mask) {
    if (!db)
        return PLX_EBADMSG;
    policer *p = plx_config_policer_find(db, name, owner_type);
    if (!p)
        return PLX_ENOENT;
    if (mask & PLX_POLICER_RATE)
        p->params.rate = params.rate;
    if (mask & PLX_POLICER_BURST)
        p->params.burst = params.burst;
    if (mask & PLX_POLICER_EXCEED)
        p->params.exceed = params.exceed;
    if (db->hooks.policer_modified)
        db->hooks.policer_modified(*p);
    return PLX_OK;
}

int plx_config_policer_delete(plx_policy_db *db, std::string_view name, uint32_t owner_type) {
    if (!db)
        return PLX_EBADMSG;
    policer *p = plx_config_policer_find(db, name, owner_type);
    if (!p)
        return PLX_ENOENT;
    // Policies drop their police actions before the policer goes. Instances of access lists
    // stay with their lists, which are marked changed and drop them with the action.
    for (const policer_instance &i : p->instances)
        if (i.owner_kind != PLX_OWNER_KIND_ACL)
            return PLX_EINVAL;
    p->instances.walk([&](policer_instance &i) {
        p->instances.remove(i);
        if (db->hooks.access_list_instance_orphaned)
            db->hooks.access_list_instance_orphaned(i);
    });
    db->policers.erase(*p);
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Mirrors

namespace {

void mirror_update_kind(mirror &m) {
    m.data.kind = (m.data.interfaces.empty() ? 0 : 1) | (m.data.remote_dests.empty() ? 0 : 2);
}

void mark_mirror_users(plx_policy_db *db, mirror &m) {
    for (mirror_user &u : m.users) {
        if (u.owner_kind == PLX_OWNER_KIND_POLICY) {
            if (policy_vpn_list *v =
                    find_pvl(db, PLX_POLICY_TYPE_DATA, u.owner_name.view(), u.vpn_list_name.view()))
                plx_config_mark_changed(*v);
        } else if (db->hooks.access_list_changed) {
            db->hooks.access_list_changed(u.p_acl);
        }
    }
}

bool same_addr(const plx_ip_addr &a, const plx_ip_addr &b) {
    return a.family == b.family && std::memcmp(a.addr, b.addr, sizeof a.addr) == 0;
}

// Finds or creates a mirror; `created` holds a new one until the caller commits it.
mirror *mirror_get(plx_policy_db *db, std::string_view name, std::unique_ptr<mirror> &created) {
    if (mirror *m = db->mirrors.find(plx_name_cut(name)))
        return m;
    if (!(created = make<mirror>()))
        return nullptr;
    created->data.name.assign(name);
    return created.get();
}

}  // namespace

mirror *plx_config_mirror_find(plx_policy_db *db, std::string_view name) {
    return db ? db->mirrors.find(plx_name_cut(name)) : nullptr;
}

int plx_config_mirror_add(plx_policy_db *db, std::string_view name) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    std::unique_ptr<mirror> created;
    if (!mirror_get(db, name, created))
        return PLX_ENOMEM;
    if (created)
        db->mirrors.insert(std::move(created));
    return PLX_OK;
}

int plx_config_mirror_delete(plx_policy_db *db, std::string_view name) {
    if (!db)
        return PLX_EBADMSG;
    mirror *m = plx_config_mirror_find(db, name);
    if (!m)
        return PLX_ENOENT;
    // Policies drop their mirror actions before the mirror goes; access lists that still use
    // it are marked changed and drop theirs with the same change set.
    for (const mirror_user &u : m->users)
        if (u.owner_kind != PLX_OWNER_KIND_ACL)
            return PLX_EINVAL;
    mark_mirror_users(db, *m);
    db->mirrors.erase(*m);
    return PLX_OK;
}

int plx_config_mirror_interface_add(plx_policy_db *db, std::string_view name,
                                    std::string_view intf) {
    if (!db || name.empty() || intf.empty())
        return PLX_EBADMSG;
    std::unique_ptr<mirror> created;
    mirror *m = mirror_get(db, name, created);
    if (!m)
        return PLX_ENOMEM;
    auto &ifs = m->data.interfaces;
    if (std::any_of(ifs.begin(), ifs.end(), [&](const plx_name &n) { return n == intf; }))
        return PLX_EEXIST;
    try {
        ifs.emplace_back(intf);
    } catch (const std::bad_alloc &) {
        return PLX_ENOMEM;
    }
    if (created)
        db->mirrors.insert(std::move(created));
    mirror_update_kind(*m);
    mark_mirror_users(db, *m);
    return PLX_OK;
}

int plx_config_mirror_interface_delete(plx_policy_db *db, std::string_view name,
                                       std::string_view intf) {
    if (!db)
        return PLX_EBADMSG;
    mirror *m = plx_config_mirror_find(db, name);
    if (!m)
        return PLX_ENOENT;
    auto &ifs = m->data.interfaces;
    auto it = std::find_if(ifs.begin(), ifs.end(), [&](const plx_name &n) { return n == intf; });
    if (it == ifs.end())
        return PLX_ENOENT;
    ifs.erase(it);
    mirror_update_kind(*m);
    return PLX_OK;
}

int plx_config_mirror_remote_dest_add(plx_policy_db *db, std::string_view name,
                                      const plx_ip_addr &dest, const plx_ip_addr &source) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    std::unique_ptr<mirror> created;
    mirror *m = mirror_get(db, name, created);
    if (!m)
        return PLX_ENOMEM;
    auto &rds = m->data.remote_dests;
    if (std::any_of(rds.begin(), rds.end(),
                    [&](const mirror_remote_dest &r) { return same_addr(r.destination, dest); }))
        return PLX_EEXIST;
    try {
        rds.push_back({source, dest});
    } catch (const std::bad_alloc &) {
        return PLX_ENOMEM;
    }
    if (created)
        db->mirrors.insert(std::move(created));
    mirror_update_kind(*m);
    mark_mirror_users(db, *m);
    return PLX_OK;
}

int plx_config_mirror_remote_dest_modify(plx_policy_db *db, std::string_view name,
                                         const plx_ip_addr &dest, const plx_ip_addr &source) {
    if (!db)
        return PLX_EBADMSG;
    mirror *m = plx_config_mirror_find(db, name);
    if (!m)
        return PLX_ENOENT;
    for (mirror_remote_dest &r : m->data.remote_dests)
        if (same_addr(r.destination, dest)) {
            r.source = source;
            return PLX_OK;
        }
    return PLX_ENOENT;
}

int plx_config_mirror_remote_dest_delete(plx_policy_db *db, std::string_view name,
                                         const plx_ip_addr &dest) {
    if (!db)
        return PLX_EBADMSG;
    mirror *m = plx_config_mirror_find(db, name);
    if (!m)
        return PLX_ENOENT;
    auto &rds = m->data.remote_dests;
    auto it = std::find_if(rds.begin(), rds.end(), [&](const mirror_remote_dest &r) {
        return same_addr(r.destination, dest);
    });
    if (it == rds.end())
        return PLX_ENOENT;
    rds.erase(it);
    mirror_update_kind(*m);
    return PLX_OK;
}

}  // namespace plx::cfg
