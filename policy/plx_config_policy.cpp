// Policies, the VPN lists they are applied to, their rules, and the refresh of a policy VPN list
// before it is rebuilt.
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
                case PLX_ACTION_POLICE:
                    if (policer *p =
                            plx_config_policer_find(db, a.police.name.view(), a.police.owner_type))
                        a.police.params = p->params;
                    break;
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
