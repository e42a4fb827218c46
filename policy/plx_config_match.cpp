// Match conditions of rules and the list references their expansion holds.
#include "policy/plx_config.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "policy/plx_config_int.h"

namespace plx::cfg {

using namespace detail;

// ---------------------------------------------------------------------------------------------
// List references of conditions

bool detail::is_list_type(uint32_t t) {
    return t == PLX_MATCH_SRC_PFX_LIST || t == PLX_MATCH_DST_PFX_LIST || t == PLX_MATCH_APP_LIST ||
           t == PLX_MATCH_DNS_APP_LIST;
}

bool detail::is_app_list_type(uint32_t t) {
    return t == PLX_MATCH_APP_LIST || t == PLX_MATCH_DNS_APP_LIST;
}

namespace {

// A rule's owner refers to each prefix list and app list its rules expand: a policy VPN list
// by a user record in the list and a record of the list in its own tree (pfx_refs, app_refs),
// an access list by an access-list user record in the list. Each record counts the expanded
// conditions (prefix lists) or list conditions (app lists) that hold it. The two kinds of list
// differ only in these types and trees.
struct pfx_ref_kind {
    using list_type = pfx_list;
    using user_type = pfx_list_vpn_list;
    using own_type = vpn_list_pfx_list;
    static constexpr auto user_count = &pfx_list_vpn_list::ref_count;
    static constexpr auto own_count = &vpn_list_pfx_list::ref_count;
    static auto &own_refs(policy_vpn_list &v) { return v.pfx_refs; }
    static vpn_list_pfx_list_order::key_type own_key(const pfx_list &l) {
        return {l.pfx_list_type, l.name.view()};
    }
    static void own_fill(vpn_list_pfx_list &m, const pfx_list &l) {
        m.pfx_list_name = l.name;
        m.pfx_list_type = l.pfx_list_type;
    }
};
struct app_ref_kind {
    using list_type = app_list;
    using user_type = app_list_user;
    using own_type = dpi_app_ctx;
    static constexpr auto user_count = &app_list_user::count;
    static constexpr auto own_count = &dpi_app_ctx::count;
    static auto &own_refs(policy_vpn_list &v) { return v.app_refs; }
    static dpi_app_ctx_order::key_type own_key(const app_list &l) {
        return {l.name.view(), l.location};
    }
    static void own_fill(dpi_app_ctx &c, const app_list &l) {
        c.app_list_name = l.name;
        c.location = l.location;
    }
};

policy_user_key user_key(const policy_vpn_list &v) {
    return {v.name.view(), v.p_policy->name.view(), v.p_policy->type};
}
list_acl_user_order::key_type acl_user_key(const rule &r) {
    return {r.acl_name.view(), r.acl_family};
}

// Reference records allocated beforehand, so that taking a reference cannot fail half-way.
template <class K>
struct list_ref_prep {
    std::unique_ptr<typename K::user_type> user;
    std::unique_ptr<typename K::own_type> own;
    std::unique_ptr<list_acl_user> acl_user;
};

template <class K>
int list_ref_prepare(const rule &r, typename K::list_type &l, list_ref_prep<K> &prep) {
    if (r.p_vpn_list) {
        policy_vpn_list &v = *r.p_vpn_list;
        if (!l.users.find(user_key(v)) && !(prep.user = make<typename K::user_type>()))
            return PLX_ENOMEM;
        if (!K::own_refs(v).find(K::own_key(l)) && !(prep.own = make<typename K::own_type>()))
            return PLX_ENOMEM;
    } else if (!l.acl_users.find(acl_user_key(r)) && !(prep.acl_user = make<list_acl_user>())) {
        return PLX_ENOMEM;
    }
    return PLX_OK;
}

// Adds n references of the rule's owner to the list (records prepared beforehand).
template <class K>
void list_ref_commit(const rule &r, typename K::list_type &l, list_ref_prep<K> &prep, uint32_t n) {
    if (r.p_vpn_list) {
        policy_vpn_list &v = *r.p_vpn_list;
        typename K::user_type *u = l.users.find(user_key(v));
        if (!u) {
            prep.user->vpn_list_name = v.name;
            prep.user->policy_name = v.p_policy->name;
            prep.user->policy_type = v.p_policy->type;
            u = l.users.insert(std::move(prep.user));
        }
        typename K::own_type *o = K::own_refs(v).find(K::own_key(l));
        if (!o) {
            K::own_fill(*prep.own, l);
            o = K::own_refs(v).insert(std::move(prep.own));
        }
        u->*K::user_count += n;
        o->*K::own_count += n;
    } else {
        list_acl_user *u = l.acl_users.find(acl_user_key(r));
        if (!u) {
            prep.acl_user->p_acl = r.p_acl;
            prep.acl_user->acl_name = r.acl_name;
            prep.acl_user->family = r.acl_family;
            u = l.acl_users.insert(std::move(prep.acl_user));
        }
        u->ref_count += n;
    }
}

// Drops one reference of the rule's owner to the list. An access list's reference may already be
// gone: deleting a list unlinks its access-list users, whose rules drop their conditions later.
template <class K>
bool list_ref_release(const rule &r, typename K::list_type &l) {
    if (r.p_vpn_list) {
        policy_vpn_list &v = *r.p_vpn_list;
        typename K::user_type *u = l.users.find(user_key(v));
        typename K::own_type *o = K::own_refs(v).find(K::own_key(l));
        PLX_ASSERT(u != nullptr && u->*K::user_count > 0);
        PLX_ASSERT(o != nullptr && o->*K::own_count > 0);
        if (--(u->*K::user_count) == 0)
            l.users.erase(*u);
        if (--(o->*K::own_count) == 0)
            K::own_refs(v).erase(*o);
        return true;
    }
    list_acl_user *u = l.acl_users.find(acl_user_key(r));
    if (!u)
        return false;
    PLX_ASSERT(u->ref_count > 0);
    if (--u->ref_count == 0)
        l.acl_users.erase(*u);
    return true;
}

// Drops one reference of an expanded prefix condition.
void pfx_ref_release(plx_policy_db *db, rule &r, std::string_view list_name) {
    pfx_list *l = db->pfx_lists.find({rule_pfx_list_type(r), list_name});
    PLX_ASSERT(l != nullptr || r.p_vpn_list == nullptr);  // policies keep their lists alive
    if (l)
        list_ref_release<pfx_ref_kind>(r, *l);
}

// Drops the reference of an app-list condition.
}  // namespace

void detail::app_ref_release(plx_policy_db *db, rule &r, std::string_view list_name) {
    app_list *l = db->app_lists.find({list_name, rule_app_list_location(r)});
    PLX_ASSERT(l != nullptr || r.p_vpn_list == nullptr);  // policies keep their lists alive
    if (!l || !list_ref_release<app_ref_kind>(r, *l))
        return;  // the list's deletion already dropped this access list's references
    PLX_ASSERT(db->dpi_ref_count > 0);
    --db->dpi_ref_count;
}

namespace {

// Removes a condition, dropping the prefix-list reference of an expanded one.
}  // namespace

void detail::match_erase(plx_policy_db *db, rule &r, match_cond &c) {
    if (c.origin_type == PLX_MATCH_SRC_PFX_LIST || c.origin_type == PLX_MATCH_DST_PFX_LIST)
        pfx_ref_release(db, r, c.list_name.view());
    r.matches.erase(c);
}

namespace {

// Expands a prefix list into address conditions (6 -> 4, 7 -> 5).
int pfx_list_fields(plx_policy_db *db, rule &r, plx_match_type list_type, std::string_view name) {
    pfx_list *l = db->pfx_lists.find({rule_pfx_list_type(r), plx_name_cut(name)});
    if (!l)
        return PLX_ENOENT;
    const plx_match_type field =
        list_type == PLX_MATCH_SRC_PFX_LIST ? PLX_MATCH_SRC_ADDR : PLX_MATCH_DST_ADDR;
    dl_list<match_cond, &match_cond::link> conds;
    for (const pfx_entry &e : l->prefixes) {
        auto c = make<match_cond>();
        if (!c)
            return PLX_ENOMEM;
        c->field_type = field;
        c->origin_type = list_type;
        c->list_name = l->name;
        std::memcpy(&c->low, e.addr.data(), 4);
        c->high = e.len;
        conds.push_back(std::move(c));
    }
    if (conds.empty())
        PLX_LOG("Prefix list %s is empty: sequence %u matches no packet", l->name.c_str(),
                r.seq_id);
    list_ref_prep<pfx_ref_kind> prep;
    if (!conds.empty())
        if (int err = list_ref_prepare(r, *l, prep))
            return err;
    try {
        r.list_refs.push_back({list_type, l->name});
    } catch (const std::bad_alloc &) {
        return PLX_ENOMEM;
    }
    uint32_t n = static_cast<uint32_t>(conds.count());
    if (n)
        list_ref_commit(r, *l, prep, n);
    conds.walk([&](match_cond &c) { r.matches.push_back(conds.remove(c)); });
    return PLX_OK;
}

}  // namespace

int plx_config_app_list_fields(plx_policy_db *db, rule *r, uint32_t field_type,
                               std::string_view app_list_name) {
    if (!db || !r)
        return PLX_EBADMSG;
    if (!is_app_list_type(field_type))
        return PLX_EINVAL;
    const auto list_type = static_cast<plx_match_type>(field_type);
    bool dns = list_type == PLX_MATCH_DNS_APP_LIST;
    app_list *l = db->app_lists.find({plx_name_cut(app_list_name), rule_app_list_location(*r)});
    if (!l) {
        PLX_LOG("Error in populating app list fields, dns: %d", dns ? 1 : 0);
        return PLX_ENOENT;
    }
    plx_match_type field;
    if (l->kind == PLX_APP_LIST_KIND_FAMILY)
        field = dns ? PLX_MATCH_DNS_APP_FAMILY : PLX_MATCH_APP_FAMILY;
    else
        field = dns ? PLX_MATCH_DNS_APP : PLX_MATCH_APP;
    dl_list<match_cond, &match_cond::link> conds;
    for (const app_entry &e : l->entries) {
        auto c = make<match_cond>();
        if (!c) {
            PLX_LOG("Error in populating app list fields, dns: %d", dns ? 1 : 0);
            return PLX_ENOMEM;
        }
        c->field_type = field;
        c->origin_type = list_type;
        c->list_name = l->name;
        c->low = c->high = e.id;
        conds.push_back(std::move(c));
    }
    if (conds.empty())
        PLX_LOG(
            "App list %s holds no application the recognition engine knows: sequence %u "
            "matches no packet",
            l->name.c_str(), r->seq_id);
    list_ref_prep<app_ref_kind> prep;
    if (int err = list_ref_prepare(*r, *l, prep))
        return err;
    try {
        r->list_refs.push_back({list_type, l->name});
    } catch (const std::bad_alloc &) {
        return PLX_ENOMEM;
    }
    list_ref_commit(*r, *l, prep, 1);
    ++db->dpi_ref_count;
    conds.walk([&](match_cond &c) { r->matches.push_back(conds.remove(c)); });
    plx_config_mark_rule_owner(db, *r);
    return PLX_OK;
}

int plx_config_match_add(plx_policy_db *db, rule *r, uint32_t field_type, const match_value &v) {
    if (!db || !r)
        return PLX_EBADMSG;
    switch (field_type) {
        case PLX_MATCH_SRC_PFX_LIST:
        case PLX_MATCH_DST_PFX_LIST: {
            if (v.name.empty())
                return PLX_EBADMSG;
            int err = pfx_list_fields(db, *r, static_cast<plx_match_type>(field_type), v.name);
            if (!err)
                plx_config_mark_rule_owner(db, *r);
            return err;
        }
        case PLX_MATCH_APP_LIST:
        case PLX_MATCH_DNS_APP_LIST:
            if (v.name.empty())
                return PLX_EBADMSG;
            return plx_config_app_list_fields(db, r, field_type, v.name);
        default:
            break;
    }

    uint32_t low = 0, high = 0;
    switch (field_type) {
        case PLX_MATCH_PROTOCOL:
        case PLX_MATCH_DSCP:
        case PLX_MATCH_TCP:
        case PLX_MATCH_TRAFFIC_CLASS:
        case PLX_MATCH_NEXT_HEADER:
            low = high = v.value;
            break;
        case PLX_MATCH_PLP:
            low = high = v.value == 0 ? 0 : 1;
            break;
        case PLX_MATCH_DNS:
            low = high = v.value == 2 ? 2 : 1;
            break;
        case PLX_MATCH_SRC_PORT:
        case PLX_MATCH_DST_PORT:
        case PLX_MATCH_PKT_LEN:
            if (v.low > v.high)
                return PLX_EINVAL;
            low = v.low;
            high = v.high;
            break;
        case PLX_MATCH_SRC_ADDR:
        case PLX_MATCH_DST_ADDR:
            if (v.prefix_len > 32)
                return PLX_EINVAL;
            std::memcpy(&low, v.addr.data(), 4);
            high = v.prefix_len;
            break;
        case PLX_MATCH_FC: {
            plx_fwd_class *c = plx_class_find(db, v.name);
            if (!c)
                return PLX_EINVAL;
            low = high = c->class_id;
            break;
        }
        case PLX_MATCH_ANY:
            low = high = 1;
            break;
        default:
            return PLX_EINVAL;
    }
    auto c = make<match_cond>();
    if (!c)
        return PLX_ENOMEM;
    // Every type that reaches here is one of the switch's cases.
    c->field_type = c->origin_type = static_cast<plx_match_type>(field_type);
    c->low = low;
    c->high = high;
    r->matches.push_back(std::move(c));
    plx_config_mark_rule_owner(db, *r);
    return PLX_OK;
}

int plx_config_match_delete_by_type(plx_policy_db *db, rule *r, uint32_t field_type) {
    if (!db || !r)
        return PLX_EBADMSG;
    if (field_type == PLX_MATCH_MIN || field_type >= PLX_MATCH_MAX)
        return PLX_EINVAL;
    r->matches.walk([&](match_cond &c) {
        if (c.origin_type == field_type)
            match_erase(db, *r, c);
    });
    if (is_list_type(field_type)) {
        std::erase_if(r->list_refs, [&](const rule_list_ref &lr) {
            if (lr.origin_type != field_type)
                return false;
            if (is_app_list_type(lr.origin_type))
                app_ref_release(db, *r, lr.name.view());
            return true;
        });
    }
    plx_config_mark_rule_owner(db, *r);
    return PLX_OK;
}

bool plx_config_rule_matches_nothing(const rule &r) {
    for (const rule_list_ref &ref : r.list_refs) {
        const bool expanded =
            std::any_of(r.matches.begin(), r.matches.end(), [&](const match_cond &c) {
                return c.origin_type == ref.origin_type && c.list_name.view() == ref.name.view();
            });
        if (!expanded)
            return true;
    }
    return false;
}

}  // namespace plx::cfg
