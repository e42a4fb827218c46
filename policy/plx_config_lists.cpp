// VPN lists, prefix lists and app lists.
#include "policy/plx_config.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "common/plx_log.h"
#include "common/qrv_util.h"
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
        if (db->hooks.vpn_range_removed)
            db->hooks.vpn_range_removed(*l);
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
    if (db->hooks.vpn_range_removed)
        db->hooks.vpn_range_removed(*l);
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

namespace {
// The list and the id of the entry that a change of an app list names: 0 with *l and *id set
// (an id of 0 for a name that is not supported), or the status that refuses the change.
int app_entry_of(plx_policy_db *db, std::string_view name, uint32_t location, uint32_t kind,
                 std::string_view app_name, app_list **l, uint32_t *id) {
    if (!db || app_name.empty())
        return PLX_EBADMSG;
    if (!valid_kind(kind))
        return PLX_EINVAL;
    if (!(*l = plx_config_app_list_find(db, name, location)))
        return PLX_ENOENT;
    *id = resolve_app(db, app_name, kind);
    return PLX_OK;
}
}  // namespace

int plx_config_app_list_add_app(plx_policy_db *db, std::string_view name, uint32_t location,
                                uint32_t kind, std::string_view app_name) {
    app_list *l = nullptr;
    uint32_t id = 0;
    if (int rc = app_entry_of(db, name, location, kind, app_name, &l, &id))
        return rc;
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
    app_list *l = nullptr;
    uint32_t id = 0;
    if (int rc = app_entry_of(db, name, location, kind, app_name, &l, &id))
        return rc;
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

}  // namespace plx::cfg
