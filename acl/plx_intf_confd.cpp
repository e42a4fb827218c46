// Access-list configuration readers: IPv4 and IPv6 access lists, their sequences, and their
// bindings to the interfaces of VPN instances.
//
// These readers log their failures and return 0: a failed access-list change leaves the list as
// the model had it and never stops the daemon.
#include "acl/plx_intf_confd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "acl/plx_intf_config.h"
#include "daemon/plx_ctx.h"
#include "platform/confd/confd_cdb.h"
#include "policy/plx_confd_rule.h"

using namespace plx::cfg;
using namespace plx::confd;

namespace {

plx_acl_model *model_of(const SubscriptionPoint *point) {
    plx_acl_model *m = reader_ctx(point)->acl;
    PLX_ASSERT(m != nullptr);
    return m;
}

int access_list_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                       const confd_value_t *keys, uint16_t value_count,
                       const confd_tag_value_t *values, uint32_t family) {
    plx_acl_model *m = model_of(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Fwding Policy: %s, oper:%d, num_values:%u", name.c_str(),
              operation, value_count);
    if (operation == MOP_DELETED) {
        if (int rc = plx_intf_config_acl_delete(m, name, family))
            PLX_LOG("Failed to delete access list %s, err(%d)\n", name.c_str(), rc);
        return 0;
    }
    if (operation != MOP_CREATED && operation != MOP_MODIFIED)
        return 0;
    uint32_t def = 0;
    if (const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::DEFAULT_ACTION);
        p_curr_val && p_curr_val->v.type != C_NOEXISTS)
        def = verb_of(&p_curr_val->v);
    int rc = operation == MOP_CREATED ? plx_intf_config_acl_add(m, name, family, def)
                                      : plx_intf_config_acl_modify(m, name, family, def);
    if (rc != 0)
        PLX_LOG("Failed to add access list %s, err(%d)\n", name.c_str(), rc);
    return 0;
}

// Rebuilds an access-list sequence from its configured leaves.
int build_acl_rule(plx_acl_model *m, rule &r, uint32_t family, const cfg_leaves &cfg) {
    if (int err = plx_intf_config_rule_reset(m, r))
        return err;
    uint32_t failed = 0;
    if (int err = add_matches(
            m->db, r, cfg, family == PLX_ACL_FAMILY_IPV6 ? match_flavour::acl6 : match_flavour::acl,
            &failed))
        return err;
    for (const auto *kv :
         cfg.in_order(family == PLX_ACL_FAMILY_IPV6 ? "policy/ipv6/access-list/sequence"
                                                    : "policy/access-list/sequence")) {
        const auto &[path, v] = *kv;
        const uint32_t leaf = path.back();
        const bool in_set = cfg_leaves::inside(path, tag::SET);
        action_value a;
        switch (leaf) {
            case tag::BASE_ACTION:
                a.verb = verb_of(&v.v);
                break;
            case tag::COUNT:
            case tag::POLICER:
            case tag::MIRROR:
                PLX_ASSERT((&v.v)->type == C_BUF);
                a.name = v.str();
                break;
            case tag::LOG:
                break;
            case tag::CLASS:
                if (!in_set)
                    continue;
                PLX_ASSERT((&v.v)->type == C_BUF);
                a.name = v.str();
                break;
            case tag::DSCP:
            case tag::TRAFFIC_CLASS:
                if (!in_set)
                    continue;
                PLX_ASSERT((&v.v)->type == C_UINT8);
                a.number = CONFD_GET_UINT8(&v.v);
                break;
            case tag::NEXT_HOP: {
                bool ok = value_to_ip(v, a.ip);
                PLX_ASSERT(ok);
                break;
            }
            default:
                continue;
        }
        if (int err = plx_intf_config_action_add(m, r, leaf, a))
            return err;
    }
    return PLX_OK;
}

int access_list_seq_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                           const confd_value_t *keys, uint16_t value_count,
                           const confd_tag_value_t *values, uint32_t family) {
    plx_acl_model *m = model_of(point);
    PLX_READER_KEYS(key_count, 2);
    std::string name = key_name(keys, 0);
    PLX_READER_KEY(p_key, keys, 1, C_UINT16);
    const uint32_t seq = CONFD_GET_UINT16(p_key);
    if (std::string bad = bad_next_hop(values, value_count); !bad.empty()) {
        PLX_LOG("Invalid next-hop %s in rule (%s - %d, %d): the rule stays as it was\n",
                bad.c_str(), name.c_str(), family, seq);
        return 1;
    }
    rule *r = nullptr;
    switch (operation) {
        case MOP_DELETED:
            if (!plx_intf_config_acl_find(m, name, family))
                return 0;  // the list went first, with its sequences
            if (int rc = plx_intf_config_rule_delete(m, name, family, seq))
                PLX_LOG("Failed to delete rule (%s - %d, %d) err(%d)\n", name.c_str(), family, seq,
                        rc);
            return 0;
        case MOP_CREATED:
            if (int rc = plx_intf_config_rule_add(m, name, family, seq, &r)) {
                PLX_LOG("Failed to add rule (%s - %d, %d) err(%d)\n", name.c_str(), family, seq,
                        rc);
                return 0;
            }
            break;
        case MOP_MODIFIED:
            r = plx_intf_config_rule_find(m, name, family, seq);
            if (!r) {
                PLX_LOG("Failed to change rule (%s - %d, %d) err(%d)\n", name.c_str(), family, seq,
                        PLX_ENOENT);
                return 0;
            }
            break;
        default:
            return 0;
    }
    cfg_leaves &cfg = rule_leaves(*r);
    cfg.apply(values, value_count);
    if (int rc = build_acl_rule(m, *r, family, cfg))
        PLX_LOG("Failed to %s rule (%s - %d, %d) err(%d)\n",
                operation == MOP_CREATED ? "add" : "change", name.c_str(), family, seq, rc);
    return 0;
}

uint8_t direction_of(const confd_value_t *keys) {
    const confd_value_t *p_curr_key = &keys[2];
    PLX_ASSERT((p_curr_key)->type == C_ENUM_VALUE);
    return CONFD_GET_ENUM_VALUE(p_curr_key) == 0 ? PLX_ACL_DIR_IN : PLX_ACL_DIR_OUT;
}

int intf_access_list_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                            const confd_value_t *keys, uint16_t value_count,
                            const confd_tag_value_t *values, uint32_t family) {
    plx_acl_model *m = model_of(point);
    PLX_READER_KEYS(key_count, 3);
    const confd_value_t *p_curr_key = &keys[0];
    PLX_ASSERT((p_curr_key)->type == C_UINT64);
    const uint64_t vpn = CONFD_GET_UINT64(p_curr_key);
    std::string intf = key_name(keys, 1);
    const uint8_t dir = direction_of(keys);
    if (operation != MOP_CREATED && operation != MOP_MODIFIED && operation != MOP_DELETED)
        return 0;
    if (operation != MOP_CREATED) {
        char old_name[33] = {};
        if (plx_config_get_pre_commit_access_list(vpn, intf, dir, family, old_name)) {
            int rc = plx_intf_config_unbind(m, old_name, family, intf, dir);
            if (rc != 0 && rc != PLX_ENOENT)
                PLX_LOG("Failed to unbind acl : %s", old_name);
        }
    }
    if (operation == MOP_DELETED)
        return 0;
    const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::ACL_NAME);
    if (!p_curr_val || p_curr_val->v.type == C_NOEXISTS)
        return 0;
    PLX_ASSERT((&p_curr_val->v)->type == C_BUF);
    std::string name(buf_view(&p_curr_val->v));
    if (plx_intf_config_bind(m, name, family, intf, dir, vpn) != 0)
        PLX_LOG("Failed to bind acl: %s", name.c_str());
    return 0;
}

}  // namespace

bool plx_config_get_pre_commit_access_list(uint64_t vpn, std::string_view intf, uint8_t direction,
                                           uint32_t family, char name[33]) {
    name[0] = '\0';
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        PLX_LOG("Cannot open data socket to confd : %d", errno);
        return false;
    }
    bool found = false;
    if (cdb_connect(sock, CDB_DATA_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        PLX_LOG("Cannot connect to CDB (%d) %s (%d) : %s", sock, confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
        close(sock);
        return false;
    }
    if (cdb_start_session2(sock, CDB_PRE_COMMIT_RUNNING, CDB_LOCK_SESSION | CDB_LOCK_PARTIAL) !=
        CONFD_OK) {
        PLX_LOG("Failed to start cdb session %s (%d) : %s", confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
    } else {
        std::string i(intf);
        const char *d = direction == PLX_ACL_DIR_IN ? "in" : "out";
        int got = family == PLX_ACL_FAMILY_IPV6
                      ? cdb_get_str(sock, name, 33,
                                    "/vpn/vpn-instance{%lu}/interface{%s}/ipv6/access-list{%s}/"
                                    "acl-name",
                                    static_cast<unsigned long>(vpn), i.c_str(), d)
                      : cdb_get_str(sock, name, 33,
                                    "/vpn/vpn-instance{%lu}/interface{%s}/access-list{%s}/acl-name",
                                    static_cast<unsigned long>(vpn), i.c_str(), d);
        if (got != CONFD_OK)
            PLX_LOG("Failed to get access-list name %s (%d) : %s", confd_strerror(confd_errno),
                    confd_errno, confd_lasterr());
        else
            found = true;
        cdb_end_session(sock);
    }
    cdb_close(sock);
    return found;
}

PLX_SUBSCRIPTION_READER(plx_config_access_list) {
    return access_list_reader(point, operation, key_count, keys, value_count, values,
                              PLX_ACL_FAMILY_IPV4);
}
PLX_SUBSCRIPTION_READER(plx_config_access_list6) {
    return access_list_reader(point, operation, key_count, keys, value_count, values,
                              PLX_ACL_FAMILY_IPV6);
}
PLX_SUBSCRIPTION_READER(plx_config_access_list_seq) {
    return access_list_seq_reader(point, operation, key_count, keys, value_count, values,
                                  PLX_ACL_FAMILY_IPV4);
}
PLX_SUBSCRIPTION_READER(plx_config_access_list6_seq) {
    return access_list_seq_reader(point, operation, key_count, keys, value_count, values,
                                  PLX_ACL_FAMILY_IPV6);
}
PLX_SUBSCRIPTION_READER(plx_config_intf_access_list) {
    return intf_access_list_reader(point, operation, key_count, keys, value_count, values,
                                   PLX_ACL_FAMILY_IPV4);
}
PLX_SUBSCRIPTION_READER(plx_config_intf_access_list6) {
    return intf_access_list_reader(point, operation, key_count, keys, value_count, values,
                                   PLX_ACL_FAMILY_IPV6);
}

// A deleted VPN instance takes every binding in it along; a configured one has the policies
// bound to it announced again.
PLX_SUBSCRIPTION_READER(plx_config_vpn_instance) {
    (void)values;
    (void)value_count;
    PLX_READER_KEYS(key_count, 1);
    const confd_value_t *p_curr_key = &keys[0];
    PLX_ASSERT((p_curr_key)->type == C_UINT64);
    if (operation == MOP_DELETED)
        plx_intf_config_vpn_removed(model_of(point), CONFD_GET_UINT64(p_curr_key));
    else if (plx_ctx *ctx = reader_ctx(point); ctx->policy && ctx->policy->hooks.vpn_configured)
        ctx->policy->hooks.vpn_configured(CONFD_GET_UINT64(p_curr_key));
    return 0;
}

// A deleted interface loses its bindings in both directions, in both families.
PLX_SUBSCRIPTION_READER(plx_config_vpn_interface) {
    (void)values;
    (void)value_count;
    PLX_READER_KEYS(key_count, 2);
    std::string intf = key_name(keys, 1);
    if (operation == MOP_DELETED)
        plx_intf_config_intf_removed(model_of(point), intf);
    return 0;
}
