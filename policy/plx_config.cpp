// Policies, their VPN lists, rules, match conditions and actions.
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
// Names and keys

const char *plx_match_type_name(uint32_t type) {
    static const char *const names[] = {"MIN",          "PROTOCOL",      "SRC_PORT",
                                        "DST_PORT",     "SRC_ADDR",      "DST_ADDR",
                                        "SRC_PFX_LIST", "DST_PFX_LIST",  "DSCP",
                                        "FC",           "TCP",           "PKT_LEN",
                                        "APP",          "APP_FAMILY",    "APP_LIST",
                                        "MATCH_ANY",    "TRAFFIC_CLASS", "NEXT_HEADER",
                                        "PLP",          "DNS_APP",       "DNS_APP_FAMILY",
                                        "DNS_APP_LIST", "DNS",           "MAX"};
    return type < std::size(names) ? names[type] : "--";
}

const char *plx_action_type_name(uint32_t type) {
    const char *name = qrv_action_name(type);
    return name ? name : "-";
}

tloc_key tloc_key_v4(uint32_t addr_net, uint8_t color, uint8_t encap) {
    tloc_key k;
    k.family = PLX_AF_INET;
    std::memcpy(k.addr, &addr_net, 4);
    k.color = color;
    k.encap = encap;
    return k;
}

int tloc_key_cmp(const tloc_key &a, const tloc_key &b) {
    if (int c = avl_cmp(a.family, b.family))
        return c;
    // Bytewise over network-order bytes: an IPv4 address compares as its number.
    size_t n = a.family == PLX_AF_INET ? 4 : 16;
    if (int c = std::memcmp(a.addr, b.addr, n))
        return c < 0 ? -1 : 1;
    if (int c = avl_cmp(a.color, b.color))
        return c;
    return avl_cmp(a.encap, b.encap);
}

std::string tloc_key_str(const tloc_key &k) {
    plx_ip_addr ip{};
    std::memcpy(ip.addr, k.addr, 16);
    ip.family = k.family == PLX_AF_INET ? PLX_AF_IPV4 : PLX_AF_IPV6;
    char buf[192];
    std::snprintf(buf, sizeof buf, "%s : %s : %s", plx_ip_to_str(&ip), qrv_color_name(k.color),
                  qrv_encap_name(k.encap));
    return buf;
}

std::array<uint8_t, 4> match_cond::addr() const {
    std::array<uint8_t, 4> a;
    std::memcpy(a.data(), &low, 4);
    return a;
}

// ---------------------------------------------------------------------------------------------
// Allocation failures for tests

namespace {
int g_alloc_fail_after = -1;
}

void plx_policy_fail_alloc_after(int n) {
    g_alloc_fail_after = n;
}

bool detail::alloc_should_fail() {
    if (g_alloc_fail_after < 0)
        return false;
    if (g_alloc_fail_after == 0) {
        g_alloc_fail_after = -1;
        return true;
    }
    --g_alloc_fail_after;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Start-up and teardown

plx_policy_db::~plx_policy_db() {
    plx_policy_teardown(this);
    plx_sla_class_teardown(this);
    plx_control_fc_teardown(this);
}

int plx_policy_init(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    plx_policy_teardown(db);
    return PLX_OK;
}

int plx_policy_teardown(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    // Policer instances belong to the policy VPN lists; unlink them from the policers first.
    for (policer &p : db->policers)
        p.instances.destroy_all();
    db->policers.destroy_all();
    db->policies.destroy_all();
    db->tloc_lists.destroy_all();
    db->mirrors.destroy_all();
    db->app_lists.destroy_all();
    db->pfx_lists.destroy_all();
    db->vpn_lists.destroy_all();
    db->tlocs.destroy_all();
    db->app_visibility = db->dpi_ref_count = 0;
    db->flow_visibility = db->flow_ref_count = 0;
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Change marks

void plx_config_mark_changed(policy_vpn_list &pvl) {
    pvl.changed = 1;
    if (pvl.p_policy)
        pvl.p_policy->changed = 1;
}

void plx_config_mark_rule_owner(plx_policy_db *db, rule &r) {
    if (r.p_vpn_list)
        plx_config_mark_changed(*r.p_vpn_list);
    if (r.p_acl && db->hooks.access_list_changed)
        db->hooks.access_list_changed(r.p_acl);
}

policy_vpn_list *detail::find_pvl(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                                  std::string_view vpn_list_name) {
    policy *p = plx_config_policy_find(db, type, policy_name);
    return p ? p->vpn_lists.find(plx_name_cut(vpn_list_name)) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Policies

policy *plx_config_policy_find(plx_policy_db *db, uint32_t type, std::string_view name) {
    if (!db)
        return nullptr;
    return db->policies.find({type, plx_name_cut(name)});
}

int plx_config_policy_add(plx_policy_db *db, uint32_t type, std::string_view name,
                          uint32_t direction) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    if (!is_policy_type(type) || direction > 3)
        return PLX_EINVAL;
    return add_record(db->policies, {type, plx_name_cut(name)}, [&](policy &p) {
        p.name.assign(name);
        p.type = type;
        p.direction = p.old_direction = direction;
        p.added = 1;
    });
}

namespace {

// Deletes one policy VPN list: compiled state, rules, its place among the vpn_list's users.
void pvl_destroy(plx_policy_db *db, policy &p, policy_vpn_list &pvl) {
    if (db->hooks.vpn_list_releasing)
        db->hooks.vpn_list_releasing(p, pvl);
    pvl.rules.walk([&](rule &r) {
        plx_config_rule_release(db, r);
        if (p.type == PLX_POLICY_TYPE_DATA)
            if (tloc_list *tl = plx_config_tloc_list_find(db, static_cast<uint16_t>(r.seq_id),
                                                          p.type, p.name.view(), pvl.name.view()))
                db->tloc_lists.erase(*tl);
        pvl.rule_tree.remove(r);
        pvl.rules.erase(r);
    });
    PLX_ASSERT(pvl.pfx_refs.empty());
    PLX_ASSERT(pvl.app_refs.empty());
    PLX_ASSERT(pvl.policers.empty());
    if (vpn_list *vl = db->vpn_lists.find(pvl.name.view()))
        if (vpn_list_policy *u = vl->users.find({p.name.view(), p.type}))
            vl->users.erase(*u);
    p.vpn_lists.erase(pvl);
}

}  // namespace

int plx_config_policy_delete(plx_policy_db *db, uint32_t type, std::string_view name) {
    if (!db)
        return PLX_EBADMSG;
    policy *p = plx_config_policy_find(db, type, name);
    if (!p)
        return PLX_ENOENT;
    p->vpn_lists.walk([&](policy_vpn_list &v) { pvl_destroy(db, *p, v); });
    db->policies.erase(*p);
    return PLX_OK;
}

int plx_config_policy_direction_update(plx_policy_db *db, policy *p, uint32_t direction) {
    if (!db || !p)
        return PLX_EBADMSG;
    if (direction > 3)
        return PLX_EINVAL;
    if (p->direction == direction)
        return PLX_OK;
    p->old_direction = p->direction;
    p->direction = direction;
    for (policy_vpn_list &v : p->vpn_lists) {
        v.direction = direction;
        if (db->hooks.direction_changed)
            db->hooks.direction_changed(*p, v);
    }
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Policy VPN lists

namespace {

void set_default_action(plx_policy_db *db, config_action &a, uint32_t verb,
                        std::string_view sla_name) {
    a = config_action{};
    a.value = verb;
    if (!sla_name.empty()) {
        a.action_type = PLX_ACTION_SLA_CLASS;
        a.sla.name.assign(sla_name);
        sla_class *s = plx_sla_class_find(db, sla_name);
        a.sla.id = s ? s->id : 0;
    } else {
        a.action_type = PLX_ACTION_BASE;
    }
}

bool valid_default_verb(uint32_t verb) {
    return verb == 0 || verb == PLX_ACTION_VERB_REJECT || verb == PLX_ACTION_VERB_ACCEPT;
}

}  // namespace

policy_vpn_list *plx_config_policy_vpn_list_find(plx_policy_db *db, uint32_t type,
                                                 std::string_view policy_name,
                                                 std::string_view vpn_list_name) {
    if (!db)
        return nullptr;
    return find_pvl(db, type, policy_name, vpn_list_name);
}

int plx_config_policy_vpn_list_add(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                                   std::string_view vpn_list_name, uint32_t default_verb,
                                   std::string_view sla_name) {
    if (!db || vpn_list_name.empty())
        return PLX_EBADMSG;
    if (!valid_default_verb(default_verb))
        return PLX_EINVAL;
    policy *p = plx_config_policy_find(db, type, policy_name);
    if (!p)
        return PLX_ENOENT;
    decltype(p->vpn_lists)::where_type where;
    if (p->vpn_lists.find(plx_name_cut(vpn_list_name), where))
        return PLX_EEXIST;
    vpn_list *vl = db->vpn_lists.find(plx_name_cut(vpn_list_name));
    if (!vl)
        return PLX_ENOENT;
    PLX_ASSERT(vl->users.find({p->name.view(), p->type}) == nullptr);

    auto pvl = make<policy_vpn_list>();
    auto user = make<vpn_list_policy>();
    if (!pvl || !user)
        return PLX_ENOMEM;
    pvl->name.assign(vpn_list_name);
    pvl->p_policy = p;
    pvl->direction = p->direction;
    set_default_action(db, pvl->default_action, default_verb, sla_name);
    user->policy_name = p->name;
    user->policy_type = p->type;
    user->count = 1;

    policy_vpn_list *v = p->vpn_lists.insert(std::move(pvl), where);
    vl->users.insert(std::move(user));
    plx_config_mark_changed(*v);
    return PLX_OK;
}

int plx_config_policy_vpn_list_modify(plx_policy_db *db, uint32_t type,
                                      std::string_view policy_name, std::string_view vpn_list_name,
                                      uint32_t default_verb, std::string_view sla_name) {
    if (!db)
        return PLX_EBADMSG;
    if (!valid_default_verb(default_verb))
        return PLX_EINVAL;
    policy_vpn_list *v = find_pvl(db, type, policy_name, vpn_list_name);
    if (!v)
        return PLX_ENOENT;
    set_default_action(db, v->default_action, default_verb, sla_name);
    plx_config_mark_changed(*v);
    return PLX_OK;
}

int plx_config_policy_vpn_list_delete(plx_policy_db *db, uint32_t type,
                                      std::string_view policy_name,
                                      std::string_view vpn_list_name) {
    if (!db)
        return PLX_EBADMSG;
    policy_vpn_list *v = find_pvl(db, type, policy_name, vpn_list_name);
    if (!v)
        return PLX_ENOENT;
    pvl_destroy(db, *v->p_policy, *v);
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Rules

rule *plx_config_rule_find(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                           std::string_view vpn_list_name, uint32_t seq_id) {
    if (!db)
        return nullptr;
    policy_vpn_list *v = find_pvl(db, type, policy_name, vpn_list_name);
    return v ? v->rule_tree.find(seq_id) : nullptr;
}

int plx_config_rule_add(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                        std::string_view vpn_list_name, uint32_t seq_id, rule **out) {
    if (!db)
        return PLX_EBADMSG;
    policy_vpn_list *v = find_pvl(db, type, policy_name, vpn_list_name);
    if (!v)
        return PLX_ENOENT;
    if (v->rule_tree.find(seq_id))
        return PLX_EEXIST;
    auto nr = make<rule>();
    if (!nr)
        return PLX_ENOMEM;
    nr->seq_id = seq_id;
    nr->vpn_list_name = v->name;
    nr->p_policy = v->p_policy;
    nr->p_vpn_list = v;
    // Held in ascending sequence order: before the first rule with a greater id.
    rule *r = v->rules.insert_before(v->rule_tree.find_next(seq_id), std::move(nr));
    v->rule_tree.insert(*r);
    plx_config_mark_changed(*v);
    if (int err = plx_config_match_add(db, r, PLX_MATCH_ANY, match_value::number(1)))
        PLX_LOG("Failed to add match any rule (%s, %d) err(%d)\n", v->name.c_str(), seq_id, err);
    if (out)
        *out = r;
    return PLX_OK;
}

int plx_config_rule_delete(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                           std::string_view vpn_list_name, uint32_t seq_id) {
    if (!db)
        return PLX_EBADMSG;
    policy_vpn_list *v = find_pvl(db, type, policy_name, vpn_list_name);
    rule *r = v ? v->rule_tree.find(seq_id) : nullptr;
    if (!r)
        return PLX_ENOENT;
    plx_config_rule_release(db, *r);
    if (type == PLX_POLICY_TYPE_DATA)
        if (tloc_list *tl = plx_config_tloc_list_find(db, static_cast<uint16_t>(seq_id), type,
                                                      policy_name, vpn_list_name))
            db->tloc_lists.erase(*tl);
    v->rule_tree.remove(*r);
    v->rules.erase(*r);
    plx_config_mark_changed(*v);
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// List references of conditions

namespace {

bool is_list_type(uint32_t t) {
    return t == PLX_MATCH_SRC_PFX_LIST || t == PLX_MATCH_DST_PFX_LIST || t == PLX_MATCH_APP_LIST ||
           t == PLX_MATCH_DNS_APP_LIST;
}

bool is_app_list_type(uint32_t t) {
    return t == PLX_MATCH_APP_LIST || t == PLX_MATCH_DNS_APP_LIST;
}

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
void app_ref_release(plx_policy_db *db, rule &r, std::string_view list_name) {
    app_list *l = db->app_lists.find({list_name, rule_app_list_location(r)});
    PLX_ASSERT(l != nullptr || r.p_vpn_list == nullptr);  // policies keep their lists alive
    if (!l || !list_ref_release<app_ref_kind>(r, *l))
        return;  // the list's deletion already dropped this access list's references
    PLX_ASSERT(db->dpi_ref_count > 0);
    --db->dpi_ref_count;
}

// Removes a condition, dropping the prefix-list reference of an expanded one.
void match_erase(plx_policy_db *db, rule &r, match_cond &c) {
    if (c.origin_type == PLX_MATCH_SRC_PFX_LIST || c.origin_type == PLX_MATCH_DST_PFX_LIST)
        pfx_ref_release(db, r, c.list_name.view());
    r.matches.erase(c);
}

// Expands a prefix list into address conditions (6 -> 4, 7 -> 5).
int pfx_list_fields(plx_policy_db *db, rule &r, uint32_t list_type, std::string_view name) {
    pfx_list *l = db->pfx_lists.find({rule_pfx_list_type(r), plx_name_cut(name)});
    if (!l)
        return PLX_ENOENT;
    uint32_t field = list_type == PLX_MATCH_SRC_PFX_LIST ? PLX_MATCH_SRC_ADDR : PLX_MATCH_DST_ADDR;
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
    bool dns = field_type == PLX_MATCH_DNS_APP_LIST;
    app_list *l = db->app_lists.find({plx_name_cut(app_list_name), rule_app_list_location(*r)});
    if (!l) {
        PLX_LOG("Error in populating app list fields, dns: %d", dns ? 1 : 0);
        return PLX_ENOENT;
    }
    uint32_t field;
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
        c->origin_type = field_type;
        c->list_name = l->name;
        c->low = c->high = e.id;
        conds.push_back(std::move(c));
    }
    list_ref_prep<app_ref_kind> prep;
    if (int err = list_ref_prepare(*r, *l, prep))
        return err;
    try {
        r->list_refs.push_back({field_type, l->name});
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
            int err = pfx_list_fields(db, *r, field_type, v.name);
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
    c->field_type = c->origin_type = field_type;
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

// ---------------------------------------------------------------------------------------------
// Actions

namespace {

bool valid_action_type(uint32_t t) {
    return t < PLX_ACTION_TYPE_COUNT && t != 1 && t != 2;
}

int counter_acquire(policy_vpn_list &v, std::string_view name) {
    if (counter_ctx *c = v.counters.find(plx_name_cut(name))) {
        ++c->ref_count;
        return PLX_OK;
    }
    auto c = make<counter_ctx>();
    if (!c)
        return PLX_ENOMEM;
    c->name.assign(name);
    c->ref_count = 1;
    v.counters.insert(std::move(c));
    return PLX_OK;
}

void counter_release(policy_vpn_list &v, std::string_view name) {
    // A counter whose context could not be allocated has none to release.
    if (counter_ctx *c = v.counters.find(name)) {
        PLX_ASSERT(c->ref_count > 0);
        if (--c->ref_count == 0)
            v.counters.erase(*c);
    }
}

// Key of the rule's owner in a mirror's user tree.
mirror_user_order::key_type mirror_user_key(const rule &r) {
    if (r.p_vpn_list)
        return {PLX_OWNER_KIND_POLICY, r.p_vpn_list->p_policy->name.view(),
                r.p_vpn_list->name.view()};
    return {PLX_OWNER_KIND_ACL, r.acl_name.view(), std::string_view{}};
}

void mirror_user_release(plx_policy_db *db, rule &r, std::string_view mirror_name) {
    mirror *m = db->mirrors.find(mirror_name);
    mirror_user *u = m ? m->users.find(mirror_user_key(r)) : nullptr;
    // Policies keep their mirrors alive; deleting a mirror unlinks its access-list users.
    PLX_ASSERT(u != nullptr || r.p_vpn_list == nullptr);
    if (!u)
        return;
    PLX_ASSERT(u->count > 0);
    if (--u->count == 0)
        m->users.erase(*u);
}

// Fills the type-specific data of a new action and takes its references. On failure nothing
// is held.
int action_fill(plx_policy_db *db, rule &r, config_action &a, const action_value &v) {
    switch (a.action_type) {
        case PLX_ACTION_BASE:
            if (v.verb != PLX_ACTION_VERB_REJECT && v.verb != PLX_ACTION_VERB_ACCEPT)
                return PLX_EINVAL;
            a.value = v.verb;
            return PLX_OK;
        case PLX_ACTION_SET_TLOC:
            a.set_tloc.label = v.label;
            return tloc_ref_acquire(db, r, v.tloc, &a.set_tloc.p_tloc);
        case PLX_ACTION_SET_TLOC_COLOR_ENCAP:
        case PLX_ACTION_SET_BACKUP_PREF_COLOR:
        case PLX_ACTION_SET_LOCAL_TLOC_LIST:
            a.colors.color_bits = v.color_bits;
            a.colors.encap_bits = v.encap_bits;
            a.colors.restrict_flag = v.restrict_flag;
            return PLX_OK;
        case PLX_ACTION_MIRROR: {
            mirror *m = db->mirrors.find(plx_name_cut(v.name));
            if (!m)
                return PLX_EINVAL;
            mirror_user *u = m->users.find(mirror_user_key(r));
            std::unique_ptr<mirror_user> nu;
            if (!u && !(nu = make<mirror_user>()))
                return PLX_ENOMEM;
            try {
                a.mirror = m->data;
            } catch (const std::bad_alloc &) {
                return PLX_ENOMEM;
            }
            if (!u) {
                auto [kind, owner, vpn] = mirror_user_key(r);
                nu->owner_kind = kind;
                nu->owner_name.assign(owner);
                nu->vpn_list_name.assign(vpn);
                nu->p_acl = r.p_acl;
                u = m->users.insert(std::move(nu));
            }
            ++u->count;
            return PLX_OK;
        }
        case PLX_ACTION_CFLOWD:
            ++db->flow_ref_count;
            return PLX_OK;
        case PLX_ACTION_POLICE: {
            // Policies use the controller's policers; only they create instances here.
            if (!r.p_vpn_list)
                return PLX_EINVAL;
            policer *pol = plx_config_policer_find(db, v.name, PLX_POLICER_OWNER_QCTRL);
            if (!pol)
                return PLX_EINVAL;
            policy_vpn_list &pvl = *r.p_vpn_list;
            if (pvl.policers.find({r.seq_id, pol->name.view()}))
                return PLX_EEXIST;
            auto inst = make<policer_instance>();
            if (!inst)
                return PLX_ENOMEM;
            char iname[2 * PLX_NAME_LEN + 2];
            std::snprintf(iname, sizeof iname, "%s_%s", pvl.name.c_str(),
                          pvl.p_policy->name.c_str());
            inst->policer_name = pol->name;
            inst->policer_owner_type = pol->owner_type;
            inst->seq_id = r.seq_id;
            inst->instance_name.assign(iname);
            inst->owner_kind = PLX_OWNER_KIND_POLICY;
            inst->owner_name = pvl.p_policy->name;
            inst->owner_name2 = pvl.name;
            a.police.name = pol->name;
            a.police.owner_type = PLX_POLICER_OWNER_QCTRL;
            a.police.params = pol->params;
            a.police.instance_name = inst->instance_name;
            a.police.seq_id = r.seq_id;
            pol->instances.insert(*pvl.policers.insert(std::move(inst)));
            return PLX_OK;
        }
        case PLX_ACTION_COUNT:
            a.counter_name.assign(v.name);
            if (r.p_vpn_list && counter_acquire(*r.p_vpn_list, v.name) != PLX_OK)
                PLX_LOG("Failed to allocate memory for counter context!");
            return PLX_OK;
        case PLX_ACTION_SET_FC: {
            a.fc.name.assign(v.name);
            if (plx_fwd_class *c = plx_class_find(db, v.name))
                a.fc.class_id = c->class_id;
            else
                a.fc.unresolved = 1;
            return PLX_OK;
        }
        case PLX_ACTION_SET_NEXT_HOP:
        case PLX_ACTION_REDIRECT_DNS:
            a.ip = v.ip;
            return PLX_OK;
        case PLX_ACTION_SET_NAT_USE_VPN:
            a.vrf_id = static_cast<uint16_t>(v.number);
            return PLX_OK;
        case PLX_ACTION_SLA_CLASS: {
            a.sla.name.assign(v.name.empty() ? PLX_SLA_ALL_TUNNELS : v.name);
            a.sla.strict = v.strict;
            a.sla.pref_color = v.color_bits;
            sla_class *s = plx_sla_class_find(db, a.sla.name.view());
            a.sla.id = s ? s->id : 0;
            return PLX_OK;
        }
        case PLX_ACTION_TLOC_LIST:
            return tloc_list_action_load(db, r, a);
        case PLX_ACTION_SET_DSCP:
        case PLX_ACTION_SET_SVC_TYPE:
        case PLX_ACTION_SET_TRAFFIC_CLASS:
            a.u8_value = static_cast<uint8_t>(v.number);
            return PLX_OK;
        case PLX_ACTION_SET_NAT_POOL:
            a.u32_value = v.number;
            return PLX_OK;
        default:  // log, svc-local, svc-local-strict, tcp optimization, fallback
            return PLX_OK;
    }
}

// Drops the references that an action holds.
void action_release(plx_policy_db *db, rule &r, config_action &a) {
    switch (a.action_type) {
        case PLX_ACTION_SET_TLOC:
            if (a.set_tloc.p_tloc)
                tloc_ref_release(db, r, a.set_tloc.p_tloc);
            a.set_tloc.p_tloc = nullptr;
            break;
        case PLX_ACTION_MIRROR:
            mirror_user_release(db, r, a.mirror.name.view());
            break;
        case PLX_ACTION_CFLOWD:
            PLX_ASSERT(db->flow_ref_count > 0);
            --db->flow_ref_count;
            break;
        case PLX_ACTION_POLICE:
            if (r.p_vpn_list) {
                policy_vpn_list &pvl = *r.p_vpn_list;
                policer_instance *inst = pvl.policers.find({r.seq_id, a.police.name.view()});
                PLX_ASSERT(inst != nullptr);
                policer *pol =
                    plx_config_policer_find(db, a.police.name.view(), inst->policer_owner_type);
                PLX_ASSERT(pol != nullptr);  // a policer is not deleted while instances exist
                pol->instances.remove(*inst);
                pvl.policers.erase(*inst);
            }
            break;
        case PLX_ACTION_COUNT:
            if (r.p_vpn_list)
                counter_release(*r.p_vpn_list, a.counter_name.view());
            break;
        case PLX_ACTION_TLOC_LIST:
            tloc_list_action_release(db, r, a);
            break;
        default:
            break;
    }
}

}  // namespace

int plx_config_rule_action_add(plx_policy_db *db, rule *r, uint32_t source_tag,
                               const action_value &v, config_action **out) {
    if (!db || !r)
        return PLX_EBADMSG;
    if (!valid_action_type(v.action_type))
        return PLX_EINVAL;
    auto a = make<config_action>();
    if (!a)
        return PLX_ENOMEM;
    a->action_type = v.action_type;
    a->source_tag = source_tag;
    if (int err = action_fill(db, *r, *a, v))
        return err;
    config_action *p = a->action_type == PLX_ACTION_BASE ? r->actions.push_front(std::move(a))
                                                         : r->actions.push_back(std::move(a));
    plx_config_mark_rule_owner(db, *r);
    if (out)
        *out = p;
    return PLX_OK;
}

int plx_config_action_add(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                          std::string_view vpn_list_name, uint32_t seq_id, uint32_t source_tag,
                          const action_value &v, config_action **out) {
    if (!db)
        return PLX_EBADMSG;
    rule *r = plx_config_rule_find(db, type, policy_name, vpn_list_name, seq_id);
    if (!r)
        return PLX_ENOENT;
    return plx_config_rule_action_add(db, r, source_tag, v, out);
}

config_action *plx_config_action_find(plx_policy_db *db, uint32_t type,
                                      std::string_view policy_name, std::string_view vpn_list_name,
                                      uint32_t seq_id, uint32_t source_tag) {
    rule *r = plx_config_rule_find(db, type, policy_name, vpn_list_name, seq_id);
    if (!r)
        return nullptr;
    for (config_action &a : r->actions)
        if (a.source_tag == source_tag)
            return &a;
    return nullptr;
}

void plx_config_rule_action_delete(plx_policy_db *db, rule *r, config_action *a) {
    action_release(db, *r, *a);
    r->actions.erase(*a);
    plx_config_mark_rule_owner(db, *r);
}

int plx_config_action_delete(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                             std::string_view vpn_list_name, uint32_t seq_id, uint32_t source_tag) {
    if (!db)
        return PLX_EBADMSG;
    rule *r = plx_config_rule_find(db, type, policy_name, vpn_list_name, seq_id);
    if (!r)
        return PLX_ENOENT;
    config_action *a =
        plx_config_action_find(db, type, policy_name, vpn_list_name, seq_id, source_tag);
    if (!a)
        return PLX_ENOENT;
    plx_config_rule_action_delete(db, r, a);
    return PLX_OK;
}

void plx_config_rule_release(plx_policy_db *db, rule &r) {
    r.matches.walk([&](match_cond &c) { match_erase(db, r, c); });
    for (const rule_list_ref &lr : r.list_refs)
        if (is_app_list_type(lr.origin_type))
            app_ref_release(db, r, lr.name.view());
    r.list_refs.clear();
    r.actions.walk([&](config_action &a) {
        action_release(db, r, a);
        r.actions.erase(a);
    });
    PLX_ASSERT(r.tloc_refs.empty());
}

// ---------------------------------------------------------------------------------------------
// Refresh before a rebuild

int plx_config_policy_vpn_list_refresh(plx_policy_db *db, policy_vpn_list *pvl) {
    if (!db || !pvl)
        return PLX_EBADMSG;
    config_action &def = pvl->default_action;
    // The default action follows its class like rule actions do: a deleted class gives 0, so
    // the result does not depend on whether the class went before or after the VPN list came.
    if (def.action_type == PLX_ACTION_SLA_CLASS) {
        sla_class *s = plx_sla_class_find(db, def.sla.name.view());
        def.sla.id = s ? s->id : 0;
    }

    int result = PLX_OK;
    for (rule &r : pvl->rules) {
        // Expand every list condition anew from the current lists.
        std::vector<rule_list_ref> refs;
        refs.swap(r.list_refs);
        r.matches.walk([&](match_cond &c) {
            if (is_list_type(c.origin_type))
                match_erase(db, r, c);
        });
        for (const rule_list_ref &lr : refs)
            if (is_app_list_type(lr.origin_type))
                app_ref_release(db, r, lr.name.view());
        for (const rule_list_ref &lr : refs) {
            int err =
                plx_config_match_add(db, &r, lr.origin_type, match_value::named(lr.name.view()));
            if (err == PLX_ENOMEM)
                result = err;
            else if (err && is_app_list_type(lr.origin_type))
                PLX_LOG(lr.origin_type == PLX_MATCH_APP_LIST
                            ? "Could not add app list %s to policy %s"
                            : "Could not add DNS app list %s to policy %s",
                        lr.name.c_str(), pvl->p_policy->name.c_str());
        }

        // Actions take the current state of what they name.
        for (config_action &a : r.actions) {
            switch (a.action_type) {
                case PLX_ACTION_MIRROR: {
                    mirror *m = db->mirrors.find(a.mirror.name.view());
                    PLX_ASSERT(m != nullptr);
                    try {
                        a.mirror = m->data;
                    } catch (const std::bad_alloc &) {
                        result = PLX_ENOMEM;
                    }
                    break;
                }
                case PLX_ACTION_TLOC_LIST:
                    tloc_list_action_release(db, r, a);
                    if (tloc_list_action_load(db, r, a) != PLX_OK)
                        result = PLX_ENOMEM;
                    break;
                case PLX_ACTION_SET_FC:
                    if (plx_fwd_class *c = plx_class_find(db, a.fc.name.view())) {
                        a.fc.class_id = c->class_id;
                        a.fc.unresolved = 0;
                    } else {
                        a.fc.unresolved = 1;
                    }
                    break;
                case PLX_ACTION_SLA_CLASS: {
                    sla_class *s = plx_sla_class_find(db, a.sla.name.view());
                    a.sla.id = s ? s->id : 0;
                    break;
                }
                default:
                    break;
            }
        }
    }
    return result;
}

}  // namespace plx::cfg
