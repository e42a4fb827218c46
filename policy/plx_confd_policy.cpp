// Policy configuration readers for data policies and app-route policies: the policies, the VPN
// lists they are applied to, their sequences and the preferred-TLOC lists of data-policy
// sequences.
//
// A sequence keeps the leaves configured for it. Each change is applied to those leaves and the
// rule is rebuilt from the whole, so that the parts of one action that a change does not carry
// keep their values, actions that exclude one another never coexist, and a rule read in many
// steps equals the same rule read at once.
#include <string>

#include "daemon/plx_ctx.h"
#include "policy/plx_confd.h"
#include "policy/plx_confd_rule.h"

using namespace plx::cfg;
using namespace plx::confd;

namespace {

// Direction of a data policy: from-site 1, from-overlay 2, all (or absent) 3.
uint32_t plx_config_fwding_policy_get_direction(const confd_tag_value_t *values,
                                                uint16_t value_count, bool *given = nullptr) {
    const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::DIRECTION);
    if (given)
        *given = p_curr_val != nullptr;
    int32_t e = 2;
    if (p_curr_val && p_curr_val->v.type != C_NOEXISTS) {
        PLX_ASSERT((&p_curr_val->v)->type == C_ENUM_VALUE);
        e = CONFD_GET_ENUM_VALUE(&p_curr_val->v);
    }
    uint32_t dir = e == 1 ? 1 : (e == 0 ? 2 : 3);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Fwding Policy: direction: %u", dir);
    return dir;
}

int plx_config_fwding_policy(const SubscriptionPoint *point, int operation, uint8_t key_count,
                             const confd_value_t *keys, uint16_t value_count,
                             const confd_tag_value_t *values, uint32_t type) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Fwding Policy: %s, oper:%d, num_values:%u", name.c_str(),
              operation, value_count);
    switch (operation) {
        case MOP_CREATED: {
            uint32_t dir = type == PLX_POLICY_TYPE_DATA
                               ? plx_config_fwding_policy_get_direction(values, value_count)
                               : 0;
            if (int rc = plx_config_policy_add(db, type, name, dir)) {
                PLX_LOG("Failed to add Fwding Policy %s (type: %d), err(%d)\n", name.c_str(), type,
                        rc);
                return 1;
            }
            return 0;
        }
        case MOP_MODIFIED: {
            if (type != PLX_POLICY_TYPE_DATA)
                return 0;
            bool given = false;
            uint32_t dir = plx_config_fwding_policy_get_direction(values, value_count, &given);
            if (!given)
                return 0;
            policy *p = plx_config_policy_find(db, type, name);
            if (!p) {
                PLX_LOG("Failed to find Fwding Policy %s (type %d), err(%d)\n", name.c_str(), type,
                        PLX_ENOENT);
                return 1;
            }
            if (int rc = plx_config_policy_direction_update(db, p, dir)) {
                PLX_LOG("Failed to update direction on Fwding Policy %s (type %d), err(%d)\n",
                        name.c_str(), type, rc);
                return 1;
            }
            return 0;
        }
        case MOP_DELETED:
            if (int rc = plx_config_policy_delete(db, type, name)) {
                PLX_LOG("Failed to delete Fwding Policy %s (type %d), err(%d)\n", name.c_str(),
                        type, rc);
                return 1;
            }
            return 0;
        default:
            return 0;
    }
}

int plx_config_fwding_policy_vpn_list(const SubscriptionPoint *point, int operation,
                                      uint8_t key_count, const confd_value_t *keys,
                                      uint16_t value_count, const confd_tag_value_t *values,
                                      uint32_t type) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 2);
    std::string policy_name = key_name(keys, 0);
    std::string vpn_list = key_name(keys, 1);
    PLX_TRACE(PLX_DEBUG_CONFIG,
              "Fwding Policy: %s (type: %d), vpn-list: %s, oper:%d, num_values:%u",
              policy_name.c_str(), type, vpn_list.c_str(), operation, value_count);
    if (operation == MOP_DELETED) {
        if (int rc = plx_config_policy_vpn_list_delete(db, type, policy_name, vpn_list)) {
            PLX_LOG("Failed to delete vpn-list (%s, %s) err(%d)\n", policy_name.c_str(),
                    vpn_list.c_str(), rc);
            return 1;
        }
        return 0;
    }
    if (operation != MOP_CREATED && operation != MOP_MODIFIED)
        return 0;
    uint32_t verb = PLX_ACTION_VERB_ACCEPT;
    std::string sla;
    if (type == PLX_POLICY_TYPE_DATA) {
        const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::DEFAULT_ACTION);
        if (p_curr_val && p_curr_val->v.type != C_NOEXISTS)
            verb = verb_of(&p_curr_val->v);
        PLX_ASSERT(!find_value(values, value_count, tag::SLA_CLASS) || type == PLX_POLICY_TYPE_PFR);
    } else {
        sla = PLX_SLA_ALL_TUNNELS;
        const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::SLA_CLASS);
        if (p_curr_val && p_curr_val->v.type != C_NOEXISTS) {
            PLX_ASSERT((&p_curr_val->v)->type == C_BUF);
            sla = buf_view(&p_curr_val->v);
        }
    }
    int rc = operation == MOP_CREATED
                 ? plx_config_policy_vpn_list_add(db, type, policy_name, vpn_list, verb, sla)
                 : plx_config_policy_vpn_list_modify(db, type, policy_name, vpn_list, verb, sla);
    if (rc != 0) {
        PLX_LOG("Failed to add/modify vpn-list (%s, %s) err(%d)\n", policy_name.c_str(),
                vpn_list.c_str(), rc);
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Sequences

// The parts of the actions that are put together from several leaves.
struct collected {
    bool sla = false;
    std::string sla_name;
    uint8_t strict = 0;
    uint32_t pref_colors = 0;

    bool tloc = false;
    uint32_t tloc_addr = 0;  // network order
    uint8_t tloc_color = 0;
    uint8_t tloc_encap = 2;
    uint32_t label = 0;

    bool tloc_list = false;
    bool svc_local = false;
    bool svc_type = false;
    uint32_t svc_type_value = 0;

    bool tce = false;
    uint32_t tce_colors = 0, tce_encaps = 0;

    bool ltl = false;
    uint32_t ltl_colors = 0, ltl_encaps = 0;
    uint8_t ltl_restrict = 0;
};

uint8_t enum_u8(const cfg_value &v) {
    PLX_ASSERT((&v.v)->type == C_ENUM_VALUE);
    return static_cast<uint8_t>(CONFD_GET_ENUM_VALUE(&v.v));
}

std::string_view text_of(const cfg_value &v) {
    PLX_ASSERT((&v.v)->type == C_BUF);
    return v.str();
}

// The action of one leaf that maps to one action, or the leaf's part of a collected action.
// *v_out is filled and true returned when the leaf is an action of its own.
bool direct_action(const cfg_leaves::path &path, const cfg_value &v, collected &c,
                   action_value &a) {
    const uint32_t leaf = path.back();
    const bool in_set = cfg_leaves::inside(path, tag::SET);
    const bool in_tce = cfg_leaves::inside(path, tag::TLOC_COLOR_ENCAP);
    const bool in_ltl = cfg_leaves::inside(path, tag::LOCAL_TLOC_LIST);
    switch (leaf) {
        case tag::BASE_ACTION:
            a.action_type = PLX_ACTION_BASE;
            a.verb = verb_of(&v.v);
            return true;
        case tag::DSCP:
            if (!in_set)
                return false;
            PLX_ASSERT((&v.v)->type == C_UINT8);
            a.action_type = PLX_ACTION_SET_DSCP;
            a.number = CONFD_GET_UINT8(&v.v);
            return true;
        case tag::COUNT:
            a.action_type = PLX_ACTION_COUNT;
            a.name = text_of(v);
            return true;
        case tag::POLICER:
            a.action_type = PLX_ACTION_POLICE;
            a.name = text_of(v);
            return true;
        case tag::MIRROR:
            a.action_type = PLX_ACTION_MIRROR;
            a.name = text_of(v);
            return true;
        case tag::FORWARDING_CLASS:
            a.action_type = PLX_ACTION_SET_FC;
            a.name = text_of(v);
            return true;
        case tag::NEXT_HOP:
        case tag::REDIRECT_DNS: {
            a.action_type =
                leaf == tag::NEXT_HOP ? PLX_ACTION_SET_NEXT_HOP : PLX_ACTION_REDIRECT_DNS;
            bool ok = value_to_ip(v, a.ip);
            PLX_ASSERT(ok);
            return true;
        }
        case tag::NAT_POOL:
        case tag::NAT_USE_VPN:
            PLX_ASSERT((&v.v)->type == C_UINT32);
            a.action_type =
                leaf == tag::NAT_POOL ? PLX_ACTION_SET_NAT_POOL : PLX_ACTION_SET_NAT_USE_VPN;
            a.number = CONFD_GET_UINT32(&v.v);
            return true;
        case tag::BACKUP_PREFERRED_COLOR:
            a.action_type = PLX_ACTION_SET_BACKUP_PREF_COLOR;
            a.color_bits = color_bits(v);
            return true;
        case tag::LOG:
            a.action_type = PLX_ACTION_LOG;
            return true;
        case tag::FALLBACK:
            a.action_type = PLX_ACTION_FALLBACK;
            return true;
        case tag::TCP_OPTIMIZATION:
            a.action_type = PLX_ACTION_TCP_OPTIMIZATION;
            return true;
        case tag::CFLOWD:
            a.action_type = PLX_ACTION_CFLOWD;
            return true;
        case tag::RESTRICT:
            if (in_ltl) {
                c.ltl = true;
                c.ltl_restrict = 1;
                return false;
            }
            a.action_type = PLX_ACTION_SET_SVC_LOCAL_STRICT;
            return true;
        // Collected parts.
        case tag::SLA_CLASS:
            c.sla_name = text_of(v);
            return false;
        case tag::STRICT:
            PLX_ASSERT((&v.v)->type == C_BOOL);
            c.strict = CONFD_GET_BOOL(&v.v) ? 1 : 0;
            return false;
        case tag::PREFERRED_COLOR:
            c.pref_colors = color_bits(v);
            return false;
        case tag::TLOC_IP:
            PLX_ASSERT((&v.v)->type == C_IPV4);
            c.tloc = true;
            std::memcpy(&c.tloc_addr, &v.v.val.ip, 4);
            return false;
        case tag::COLOR:
        case tag::ENCAP:
            if (in_tce) {
                c.tce = true;
                (leaf == tag::COLOR ? c.tce_colors : c.tce_encaps) |=
                    leaf == tag::COLOR ? color_bits(v) : encap_bits(v);
            } else if (in_ltl) {
                c.ltl = true;
                (leaf == tag::COLOR ? c.ltl_colors : c.ltl_encaps) |=
                    leaf == tag::COLOR ? color_bits(v) : encap_bits(v);
            } else {
                c.tloc = true;
                uint8_t e = enum_u8(v);
                if (leaf == tag::COLOR)
                    c.tloc_color = e;
                else
                    c.tloc_encap = e == 1 ? 1 : 2;
            }
            return false;
        case tag::LABEL:
            PLX_ASSERT((&v.v)->type == C_UINT32);
            c.tloc = true;
            c.label = CONFD_GET_UINT32(&v.v);
            return false;
        case tag::TLOC_LIST:
            c.tloc_list = true;
            return false;
        case tag::SERVICE_LOCAL:
            c.svc_local = true;
            return false;
        case tag::SERVICE_TYPE:
            c.svc_type = true;
            c.svc_type_value = enum_u8(v);
            return false;
        default:
            return false;
    }
}

// Rebuilds a policy rule from its configured leaves. On failure *what names the part.
int build_policy_rule(plx_policy_db *db, rule &r, uint32_t type, const cfg_leaves &cfg,
                      const char **what) {
    *what = "match";
    if (int err = reset_policy_rule(db, r))
        return err;
    if (int err = add_matches(db, r, cfg, match_flavour::policy))
        return err;
    *what = "action";
    collected c;
    c.sla = type == PLX_POLICY_TYPE_PFR;
    const char *schema = type == PLX_POLICY_TYPE_PFR
                             ? "policy-from-qctrl/app-route-policy/vpn-list/sequence"
                             : "policy-from-qctrl/data-policy/vpn-list/sequence";
    for (const auto *leaf : cfg.in_order(schema)) {
        const auto &[path, v] = *leaf;
        action_value a;
        if (!direct_action(path, v, c, a))
            continue;
        if (int err = plx_config_rule_action_add(db, &r, path.back(), a))
            return err;
    }
    auto add = [&](uint32_t source_tag, action_value a) {
        return plx_config_rule_action_add(db, &r, source_tag, a);
    };
    if (c.sla) {
        action_value a;
        a.action_type = PLX_ACTION_SLA_CLASS;
        a.name = c.sla_name.empty() ? PLX_SLA_ALL_TUNNELS : std::string_view(c.sla_name);
        a.strict = c.sla_name.empty() ? 0 : c.strict;
        a.color_bits = c.pref_colors;
        if (int err = add(tag::SLA, a))
            return err;
    }
    if (c.tloc) {
        action_value a;
        a.action_type = PLX_ACTION_SET_TLOC;
        a.tloc = tloc_key_v4(c.tloc_addr, c.tloc_color, c.tloc_encap);
        a.label = c.label;
        if (int err = add(tag::TLOC, a))
            return err;
    }
    if (c.tloc_list) {
        action_value a;
        a.action_type = PLX_ACTION_TLOC_LIST;
        if (int err = add(tag::TLOC_LIST, a))
            return err;
    }
    if (c.svc_local) {
        action_value a;
        a.action_type = PLX_ACTION_SET_SVC_LOCAL;
        if (int err = add(tag::SERVICE_LOCAL, a))
            return err;
    }
    if (c.svc_type) {
        action_value a;
        a.action_type = PLX_ACTION_SET_SVC_TYPE;
        a.number = c.svc_type_value;
        if (int err = add(tag::SERVICE_TYPE, a))
            return err;
        // A service is reached through a TLOC: without one of its own, the sequence's list.
        if (!c.svc_local && !c.tloc && !c.tloc_list) {
            action_value l;
            l.action_type = PLX_ACTION_TLOC_LIST;
            if (int err = add(tag::TLOC_LIST, l))
                return err;
        }
    }
    if (c.tce) {
        action_value a;
        a.action_type = PLX_ACTION_SET_TLOC_COLOR_ENCAP;
        a.color_bits = c.tce_colors;
        a.encap_bits = c.tce_encaps;
        if (int err = add(tag::TLOC_COLOR_ENCAP, a))
            return err;
    }
    if (c.ltl) {
        action_value a;
        a.action_type = PLX_ACTION_SET_LOCAL_TLOC_LIST;
        a.color_bits = c.ltl_colors;
        a.encap_bits = c.ltl_encaps;
        a.restrict_flag = c.ltl_restrict;
        if (int err = add(tag::LOCAL_TLOC_LIST, a))
            return err;
    }
    return PLX_OK;
}

int plx_config_fwding_policy_seq(const SubscriptionPoint *point, int operation, uint8_t key_count,
                                 const confd_value_t *keys, uint16_t value_count,
                                 const confd_tag_value_t *values, uint32_t type) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 3);
    std::string policy_name = key_name(keys, 0);
    std::string vpn_list = key_name(keys, 1);
    PLX_READER_KEY(p_key, keys, 2, C_UINT16);
    uint32_t seq = CONFD_GET_UINT16(p_key);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Fwding Policy: %s (type: %d), vpn-list: %s, seq: %u, oper:%d",
              policy_name.c_str(), type, vpn_list.c_str(), seq, operation);
    if (std::string bad = bad_next_hop(values, value_count); !bad.empty()) {
        PLX_LOG("Invalid next-hop %s in rule (%s, %d): the rule stays as it was\n", bad.c_str(),
                vpn_list.c_str(), seq);
        return 1;
    }
    rule *r = nullptr;
    switch (operation) {
        case MOP_DELETED:
            // A rule that was refused when it was created has nothing to delete.
            if (int rc = plx_config_rule_delete(db, type, policy_name, vpn_list, seq);
                rc != 0 && rc != PLX_ENOENT) {
                PLX_LOG("Failed to delete rule (%s, %d) err(%d)\n", vpn_list.c_str(), seq, rc);
                return 1;
            }
            return 0;
        case MOP_CREATED:
            if (int rc = plx_config_rule_add(db, type, policy_name, vpn_list, seq, &r)) {
                PLX_LOG("Failed to add rule (%s, %d) err(%d)\n", vpn_list.c_str(), seq, rc);
                return 1;
            }
            break;
        case MOP_MODIFIED:
            r = plx_config_rule_find(db, type, policy_name, vpn_list, seq);
            if (!r) {
                PLX_LOG("Failed to change rule (%s, %d) err(%d)\n", vpn_list.c_str(), seq,
                        PLX_ENOENT);
                return 1;
            }
            break;
        default:
            return 0;
    }
    cfg_leaves &cfg = rule_leaves(*r);
    cfg.apply(values, value_count);
    const char *what = "";
    if (int rc = build_policy_rule(db, *r, type, cfg, &what)) {
        PLX_LOG("Failed to %s rule (%s, %d) err(%d): %s\n",
                operation == MOP_CREATED ? "add" : "change", vpn_list.c_str(), seq, rc, what);
        return 1;
    }
    return 0;
}

}  // namespace

PLX_SUBSCRIPTION_READER(plx_config_data_policy) {
    return plx_config_fwding_policy(point, operation, key_count, keys, value_count, values,
                                    PLX_POLICY_TYPE_DATA);
}
PLX_SUBSCRIPTION_READER(plx_config_app_route_policy) {
    return plx_config_fwding_policy(point, operation, key_count, keys, value_count, values,
                                    PLX_POLICY_TYPE_PFR);
}
PLX_SUBSCRIPTION_READER(plx_config_data_policy_vpn_list) {
    return plx_config_fwding_policy_vpn_list(point, operation, key_count, keys, value_count, values,
                                             PLX_POLICY_TYPE_DATA);
}
PLX_SUBSCRIPTION_READER(plx_config_app_route_policy_vpn_list) {
    return plx_config_fwding_policy_vpn_list(point, operation, key_count, keys, value_count, values,
                                             PLX_POLICY_TYPE_PFR);
}
PLX_SUBSCRIPTION_READER(plx_config_data_policy_seq) {
    return plx_config_fwding_policy_seq(point, operation, key_count, keys, value_count, values,
                                        PLX_POLICY_TYPE_DATA);
}
PLX_SUBSCRIPTION_READER(plx_config_app_route_policy_seq) {
    return plx_config_fwding_policy_seq(point, operation, key_count, keys, value_count, values,
                                        PLX_POLICY_TYPE_PFR);
}

// ---------------------------------------------------------------------------------------------
// Preferred-TLOC lists of data-policy sequences

PLX_SUBSCRIPTION_READER(plx_config_data_policy_seq_tloc_pref_list) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 4);
    std::string policy_name = key_name(keys, 0);
    std::string vpn_list = key_name(keys, 1);
    PLX_READER_KEY(p_key, keys, 2, C_UINT16);
    const uint16_t seq = CONFD_GET_UINT16(p_key);
    PLX_READER_KEY(p_index, keys, 3, C_UINT32);
    const uint32_t index = CONFD_GET_UINT32(p_index);
    const uint32_t type = PLX_POLICY_TYPE_DATA;

    if (operation == MOP_DELETED) {
        // The sequence or its VPN list may have gone first and taken the list with it.
        tloc_list *l = plx_config_tloc_list_find(db, seq, type, policy_name, vpn_list);
        if (!l || !l->entries.find(index))
            return 0;
        if (int rc = plx_config_tloc_pref_delete(db, l, index)) {
            PLX_LOG("Failed to change rule (%s, %d) err(%d)\n", vpn_list.c_str(), seq, rc);
            return 1;
        }
        return 0;
    }
    if (operation != MOP_CREATED && operation != MOP_MODIFIED)
        return 0;
    if (!plx_config_policy_vpn_list_find(db, type, policy_name, vpn_list)) {
        PLX_LOG("Failed to change rule (%s, %d) err(%d)\n", vpn_list.c_str(), seq, PLX_ENOENT);
        return 1;
    }
    tloc_list *l = nullptr;
    if (int rc = plx_config_tloc_list_get(db, seq, type, policy_name, vpn_list, &l)) {
        PLX_LOG("Failed to change rule (%s, %d) err(%d)\n", vpn_list.c_str(), seq, rc);
        return 1;
    }
    // A modification carries only what changed; the rest keeps its value.
    tloc_pref_value v;
    if (const tloc_pref *e = l->entries.find(index)) {
        v.key = e->key;
        v.label = e->label;
        v.preference = e->preference;
    } else {
        v.key = tloc_key_v4(0, 0, 2);
    }
    for (uint16_t i = 0; i < value_count; ++i) {
        const confd_tag_value_t *p_curr_val = &values[i];
        const bool gone = p_curr_val->v.type == C_NOEXISTS;
        switch (p_curr_val->tag.tag) {
            case tag::PREF_ADDRESS:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_IPV4);
                v.key.family = PLX_AF_INET;
                std::memset(v.key.addr, 0, sizeof v.key.addr);
                if (!gone)
                    std::memcpy(v.key.addr, &p_curr_val->v.val.ip, 4);
                break;
            case tag::PREF_COLOR:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_ENUM_VALUE);
                v.key.color = gone ? 0 : static_cast<uint8_t>(CONFD_GET_ENUM_VALUE(&p_curr_val->v));
                break;
            case tag::PREF_ENCAP:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_ENUM_VALUE);
                v.key.encap = !gone && CONFD_GET_ENUM_VALUE(&p_curr_val->v) == 1 ? 1 : 2;
                break;
            case tag::PREF_LABEL:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_UINT32);
                v.label = gone ? 0 : CONFD_GET_UINT32(&p_curr_val->v);
                break;
            case tag::PREFERENCE:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_UINT32);
                v.preference = gone ? 0 : CONFD_GET_UINT32(&p_curr_val->v);
                break;
            default:
                break;
        }
    }
    int rc = l->entries.find(index) ? plx_config_tloc_pref_modify(db, l, index, v)
                                    : plx_config_tloc_pref_add(db, l, index, v);
    if (rc != 0) {
        PLX_LOG("Failed to change rule (%s, %d) err(%d)\n", vpn_list.c_str(), seq, rc);
        return 1;
    }
    return 0;
}
