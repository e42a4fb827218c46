// Actions of rules and the references they hold.
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

}  // namespace plx::cfg
