// Policy configuration readers for the shared objects: forwarding classes, the policy-wide
// switches, VPN, prefix and application lists, SLA classes, policers and mirrors.
//
// A reader returns 0 when the model took the change and 1 when a model operation failed; the
// subscription layer treats a failure as fatal, so every change that a valid commit can deliver
// must succeed here. Deletes are delivered children after parents within one priority (a list
// before its entries), so the delete of an entry whose list is already gone changes nothing.
#include "policy/plx_confd.h"

#include <string>

#include "daemon/plx_ctx.h"
#include "fplink/fp_common.h"
#include "policy/plx_class.h"
#include "policy/plx_confd_util.h"
#include "policy/plx_config.h"

using namespace plx::cfg;
using namespace plx::confd;

namespace {

// Rounds down to a power of two (0 stays 0).
uint32_t pow2_floor(uint32_t v) {
    uint32_t p = 1;
    if (v == 0)
        return 0;
    while (p <= v / 2)
        p <<= 1;
    return p;
}

// The name of an application or family key, through the policy namespace's enumerations.
std::string app_key_name(const confd_value_t *p_key, bool family) {
    if (p_key->type == C_BUF || p_key->type == C_STR)
        return std::string(buf_view(p_key));
    PLX_ASSERT((p_key)->type == C_ENUM_VALUE);
    if (confd_type *t =
            confd_find_ns_type(PLX_POLICY_NS, family ? "app-family-enum" : "app-enum")) {
        char buf[128];
        if (confd_val2str(t, p_key, buf, sizeof buf) > 0)
            return buf;
    }
    return std::to_string(CONFD_GET_ENUM_VALUE(p_key));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Forwarding classes

PLX_SUBSCRIPTION_READER(plx_config_class) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    int rc = 0;
    switch (operation) {
        case MOP_DELETED:
            rc = plx_class_delete(db, name);
            break;
        case MOP_CREATED:
        case MOP_MODIFIED: {
            // A removed queue selects the default queue.
            uint32_t queue = 0;
            const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::QUEUE);
            if (p_curr_val && p_curr_val->v.type != C_NOEXISTS) {
                PLX_ASSERT((&p_curr_val->v)->type == C_UINT8);
                queue = CONFD_GET_UINT8(&p_curr_val->v);
            }
            plx_class_cfg cfg{name, queue};
            rc = operation == MOP_CREATED ? plx_class_add(db, &cfg) : plx_class_modify(db, &cfg);
            break;
        }
        default:
            return 0;
    }
    if (rc != 0) {
        PLX_LOG("Failed to %s class %s, err(%d)\n", operation == MOP_DELETED ? "delete" : "set",
                name.c_str(), rc);
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Policy-wide switches

PLX_SUBSCRIPTION_READER(plx_config_policy) {
    (void)keys;
    (void)key_count;
    plx_policy_db *db = reader_policy(point);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Fwding Policy: policy, oper:%d, num_values:%u", operation,
              value_count);
    auto flag = [&](uint32_t t, auto &&set) {
        const confd_tag_value_t *p_curr_val = find_value(values, value_count, t);
        if (!p_curr_val)
            return;  // not part of this change
        bool on = false;
        if (p_curr_val->v.type != C_NOEXISTS) {
            PLX_ASSERT((&p_curr_val->v)->type == C_BOOL);
            on = CONFD_GET_BOOL(&p_curr_val->v) != 0;
        }
        set(db, on);
    };
    flag(tag::APP_VISIBILITY, plx_config_set_app_visibility);
    flag(tag::FLOW_VISIBILITY, plx_config_set_flow_visibility);
    if (const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::LOG_FREQUENCY)) {
        int32_t freq = 1000;
        if (p_curr_val->v.type != C_NOEXISTS) {
            PLX_ASSERT((&p_curr_val->v)->type == C_INT32);
            freq = CONFD_GET_INT32(&p_curr_val->v);
        }
        uint32_t value = pow2_floor(freq < 0 ? 0 : static_cast<uint32_t>(freq));
        db->log_frequency = value;
        if (auto *area = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_FILTER_LOG_CFG)))
            area[0] = value;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Prefix lists

namespace {

int pfx_list_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                    const confd_value_t *keys, uint32_t type) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    switch (operation) {
        case MOP_CREATED:
            if (int rc = plx_config_pfx_list_add(db, name, type)) {
                PLX_LOG("Failed to add Fwding Pfx list %s, err(%d)\n", name.c_str(), rc);
                return 1;
            }
            return 0;
        case MOP_MODIFIED:
            if (int rc = plx_config_pfx_list_change(db, name, type)) {
                PLX_LOG("Failed to change Fwding Pfx list %s, err(%d)\n", name.c_str(), rc);
                return 1;
            }
            return 0;
        case MOP_DELETED:
            if (int rc = plx_config_pfx_list_delete(db, name, type)) {
                PLX_LOG("Failed to delete Fwding Pfx list %s, err(%d)\n", name.c_str(), rc);
                return 1;
            }
            return 0;
        default:
            return 0;
    }
}

int pfx_entry_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                     const confd_value_t *keys, uint32_t type) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 2);
    std::string name = key_name(keys, 0);
    PLX_READER_KEY(p_key, keys, 1, C_IPV4PREFIX);
    std::array<uint8_t, 4> addr{};
    std::memcpy(addr.data(), &CONFD_GET_IPV4PREFIX(p_key).ip, 4);
    uint8_t len = CONFD_GET_IPV4PREFIX(p_key).len;
    int rc = 0;
    if (operation == MOP_CREATED) {
        rc = plx_config_pfx_add(db, name, type, addr, len);
    } else if (operation == MOP_DELETED) {
        if (!plx_config_pfx_list_find(db, name, type))
            return 0;  // the list went first, with its prefixes
        rc = plx_config_pfx_delete(db, name, type, addr, len);
    } else {
        return 0;
    }
    if (rc == 0)
        rc = plx_config_pfx_list_change(db, name, type);
    if (rc != 0) {
        PLX_LOG("Failed to change Fwding Pfx list %s, err(%d)\n", name.c_str(), rc);
        return 1;
    }
    return 0;
}

}  // namespace

PLX_SUBSCRIPTION_READER(plx_config_policy_local_pfx_list) {
    (void)values;
    (void)value_count;
    return pfx_list_reader(point, operation, key_count, keys, PLX_POLICY_PFX_LIST_TYPE_LOCAL);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_pfx_list) {
    (void)values;
    (void)value_count;
    return pfx_list_reader(point, operation, key_count, keys, PLX_POLICY_PFX_LIST_TYPE_QCTRL);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_local_pfx_list_ip) {
    (void)values;
    (void)value_count;
    return pfx_entry_reader(point, operation, key_count, keys, PLX_POLICY_PFX_LIST_TYPE_LOCAL);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_pfx_list_ip) {
    (void)values;
    (void)value_count;
    return pfx_entry_reader(point, operation, key_count, keys, PLX_POLICY_PFX_LIST_TYPE_QCTRL);
}

// ---------------------------------------------------------------------------------------------
// App lists

namespace {

int app_list_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                    const confd_value_t *keys, uint32_t location) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    int rc = 0;
    switch (operation) {
        case MOP_CREATED:
            if ((rc = plx_config_app_list_add(db, name, location)))
                PLX_LOG("Failed to add App List %s, err(%d)\n", name.c_str(), rc);
            break;
        case MOP_DELETED:
            if ((rc = plx_config_app_list_delete(db, name, location)))
                PLX_LOG("Failed to delete App list %s, err(%d)\n", name.c_str(), rc);
            break;
        case MOP_MODIFIED:
            if (location == PLX_APP_LIST_LOC_LOCAL &&
                (rc = plx_config_app_list_change(db, name, location)))
                PLX_LOG("Failed to change App List %s, err(%d)\n", name.c_str(), rc);
            break;
        default:
            break;
    }
    return rc ? 1 : 0;
}

int app_entry_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                     const confd_value_t *keys, uint32_t location, uint32_t kind) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 2);
    std::string name = key_name(keys, 0);
    const bool family = kind == PLX_APP_LIST_KIND_FAMILY;
    std::string app = app_key_name(&keys[1], family);
    if (operation != MOP_CREATED && operation != MOP_DELETED)
        return 0;
    if (operation == MOP_DELETED && !plx_config_app_list_find(db, name, location))
        return 0;  // the list went first, with its entries
    if (int rc = plx_config_app_list_change(db, name, location)) {
        PLX_LOG("Failed to change app list %s, err(%d)\n", name.c_str(), rc);
        return 1;
    }
    if (operation == MOP_CREATED) {
        int rc = plx_config_app_list_add_app(db, name, location, kind, app);
        // Two names that the engine knows by one id hold one entry.
        if (rc != 0 && rc != PLX_EEXIST) {
            PLX_LOG(family ? "Failed to add app-family %s in app-list %s, err(%d)"
                           : "Failed to add app %s in app-list %s, err(%d)",
                    app.c_str(), name.c_str(), rc);
            return 1;
        }
        return 0;
    }
    int rc = plx_config_app_list_delete_app(db, name, location, kind, app);
    if (rc != 0) {
        PLX_LOG(family ? "Failed to delete app-family %s app list %s, err(%d)\n"
                       : "Failed to delete app %s in app list %s, err(%d)\n",
                app.c_str(), name.c_str(), rc);
        return 1;
    }
    return 0;
}

}  // namespace

PLX_SUBSCRIPTION_READER(plx_config_policy_app_list) {
    (void)values;
    (void)value_count;
    return app_list_reader(point, operation, key_count, keys, PLX_APP_LIST_LOC_QCTRL);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list) {
    (void)values;
    (void)value_count;
    return app_list_reader(point, operation, key_count, keys, PLX_APP_LIST_LOC_LOCAL);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_app_list_app) {
    (void)values;
    (void)value_count;
    return app_entry_reader(point, operation, key_count, keys, PLX_APP_LIST_LOC_QCTRL,
                            PLX_APP_LIST_KIND_APP);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_app_list_app_family) {
    (void)values;
    (void)value_count;
    return app_entry_reader(point, operation, key_count, keys, PLX_APP_LIST_LOC_QCTRL,
                            PLX_APP_LIST_KIND_FAMILY);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list_app) {
    (void)values;
    (void)value_count;
    return app_entry_reader(point, operation, key_count, keys, PLX_APP_LIST_LOC_LOCAL,
                            PLX_APP_LIST_KIND_APP);
}
PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list_app_family) {
    (void)values;
    (void)value_count;
    return app_entry_reader(point, operation, key_count, keys, PLX_APP_LIST_LOC_LOCAL,
                            PLX_APP_LIST_KIND_FAMILY);
}

// ---------------------------------------------------------------------------------------------
// SLA classes

PLX_SUBSCRIPTION_READER(plx_config_policy_sla_class) {
    (void)values;
    (void)value_count;
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    if (operation == MOP_CREATED) {
        if (int rc = plx_sla_class_add(db, name)) {
            PLX_LOG("Failed to add sla class '%s', err(%d)\n", name.c_str(), rc);
            return 1;
        }
    } else if (operation == MOP_DELETED) {
        if (int rc = plx_sla_class_delete(db, name)) {
            PLX_LOG("Failed to delete SLA class %s, err(%d)\n", name.c_str(), rc);
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// VPN lists

PLX_SUBSCRIPTION_READER(plx_config_policy_vpn_list) {
    (void)values;
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Fwding Policy: vpn-list: %s, oper:%d, num_values:%u", name.c_str(),
              operation, value_count);
    if (operation == MOP_CREATED) {
        if (int rc = plx_config_vpn_list_add(db, name)) {
            PLX_LOG("Failed to add vpn-list %s err(%d)\n", name.c_str(), rc);
            return 1;
        }
    } else if (operation == MOP_DELETED) {
        if (int rc = plx_config_vpn_list_delete(db, name)) {
            PLX_LOG("Failed to delete vpn-list %s err(%d)\n", name.c_str(), rc);
            return 1;
        }
    }
    return 0;
}

PLX_SUBSCRIPTION_READER(plx_config_policy_vpn_id) {
    (void)values;
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 2);
    std::string name = key_name(keys, 0);
    std::string vpn = key_name(keys, 1);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Fwding Policy: vpn-list: %s, vpn: %s, oper:%d, num_values:%u",
              name.c_str(), vpn.c_str(), operation, value_count);
    uint64_t low = 0, high = 0;
    if (!parse_range(vpn, low, high)) {
        PLX_LOG("Invalid vpn list range %s in list %s", vpn.c_str(), name.c_str());
        return -1;
    }
    if (operation == MOP_CREATED) {
        if (int rc = plx_config_vpn_range_add(db, name, low, high)) {
            PLX_LOG("Failed to add vpn (%s, %lu-%lu) err(%d)\n", name.c_str(), low, high, rc);
            return 1;
        }
    } else if (operation == MOP_DELETED) {
        if (!plx_config_vpn_list_find(db, name))
            return 0;  // the list went first, with its ranges
        if (int rc = plx_config_vpn_range_delete(db, name, low, high)) {
            PLX_LOG("Failed to delete vpn (%s, %lu-%lu) err(%d)\n", name.c_str(), low, high, rc);
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Policers

namespace {

int policer_reader(const SubscriptionPoint *point, int operation, uint8_t key_count,
                   const confd_value_t *keys, uint16_t value_count, const confd_tag_value_t *values,
                   uint32_t owner_type) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    if (operation == MOP_DELETED) {
        if (int rc = plx_config_policer_delete(db, name, owner_type)) {
            PLX_LOG("Failed to delete policer %s, err(%d)\n", name.c_str(), rc);
            return 1;
        }
        return 0;
    }
    if (operation != MOP_CREATED && operation != MOP_MODIFIED)
        return 0;
    // A removed leaf counts as given with its default, 0.
    policer_params params;
    uint32_t mask = 0;
    for (uint16_t i = 0; i < value_count; ++i) {
        const confd_tag_value_t *p_curr_val = &values[i];
        const bool gone = p_curr_val->v.type == C_NOEXISTS;
        switch (p_curr_val->tag.tag) {
            case tag::RATE:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_UINT64);
                params.rate = gone ? 0 : CONFD_GET_UINT64(&p_curr_val->v);
                mask |= PLX_POLICER_RATE;
                break;
            case tag::BURST:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_UINT32);
                params.burst = gone ? 0 : CONFD_GET_UINT32(&p_curr_val->v);
                mask |= PLX_POLICER_BURST;
                break;
            case tag::EXCEED:
                PLX_ASSERT(gone || (&p_curr_val->v)->type == C_ENUM_VALUE);
                params.exceed = gone ? 0 : CONFD_GET_ENUM_VALUE(&p_curr_val->v);
                mask |= PLX_POLICER_EXCEED;
                break;
            default:
                break;
        }
    }
    int rc = operation == MOP_CREATED
                 ? plx_config_policer_add(db, name, owner_type, params)
                 : plx_config_policer_update(db, name, owner_type, params, mask);
    if (rc != 0) {
        PLX_LOG("Failed to %s policer %s, err(%d)\n", operation == MOP_CREATED ? "add" : "change",
                name.c_str(), rc);
        return 1;
    }
    return 0;
}

}  // namespace

PLX_SUBSCRIPTION_READER(plx_config_policy_policer) {
    return policer_reader(point, operation, key_count, keys, value_count, values,
                          PLX_POLICER_OWNER_QCTRL);
}
PLX_SUBSCRIPTION_READER(plx_config_local_policer) {
    return policer_reader(point, operation, key_count, keys, value_count, values,
                          PLX_POLICER_OWNER_LOCAL);
}

// ---------------------------------------------------------------------------------------------
// Mirrors

PLX_SUBSCRIPTION_READER(plx_config_mirror) {
    (void)values;
    (void)value_count;
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 1);
    std::string name = key_name(keys, 0);
    int rc = 0;
    if (operation == MOP_CREATED)
        rc = plx_config_mirror_add(db, name);
    else if (operation == MOP_DELETED)
        rc = plx_config_mirror_delete(db, name);
    if (rc != 0) {
        PLX_LOG("Failed to %s mirror %s, err(%d)\n", operation == MOP_CREATED ? "add" : "delete",
                name.c_str(), rc);
        return 1;
    }
    return 0;
}

PLX_SUBSCRIPTION_READER(plx_config_mirror_interface) {
    (void)values;
    (void)value_count;
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 2);
    std::string name = key_name(keys, 0);
    std::string intf = key_name(keys, 1);
    int rc = 0;
    if (operation == MOP_CREATED) {
        rc = plx_config_mirror_interface_add(db, name, intf);
    } else if (operation == MOP_DELETED) {
        if (!plx_config_mirror_find(db, name))
            return 0;  // the mirror went first, with its interfaces
        rc = plx_config_mirror_interface_delete(db, name, intf);
    }
    if (rc != 0) {
        PLX_LOG("Failed to change mirror %s interface %s, err(%d)\n", name.c_str(), intf.c_str(),
                rc);
        return 1;
    }
    return 0;
}

PLX_SUBSCRIPTION_READER(plx_config_mirror_remote_dest) {
    plx_policy_db *db = reader_policy(point);
    PLX_READER_KEYS(key_count, 2);
    std::string name = key_name(keys, 0);
    const confd_value_t *p_key = &keys[1];
    PLX_ASSERT((p_key)->type == C_IPV4 || (p_key)->type == C_IPV6);
    plx_ip_addr dest{};
    value_to_ip(*p_key, dest);
    plx_ip_addr source{};
    if (const confd_tag_value_t *p_curr_val = find_value(values, value_count, tag::SOURCE);
        p_curr_val && p_curr_val->v.type != C_NOEXISTS) {
        PLX_ASSERT((&p_curr_val->v)->type == C_IPV4 || (&p_curr_val->v)->type == C_IPV6);
        value_to_ip(p_curr_val->v, source);
    }
    int rc = 0;
    switch (operation) {
        case MOP_CREATED:
            rc = plx_config_mirror_remote_dest_add(db, name, dest, source);
            break;
        case MOP_MODIFIED:
            rc = plx_config_mirror_remote_dest_modify(db, name, dest, source);
            break;
        case MOP_DELETED:
            if (!plx_config_mirror_find(db, name))
                return 0;  // the mirror went first, with its destinations
            rc = plx_config_mirror_remote_dest_delete(db, name, dest);
            break;
        default:
            return 0;
    }
    if (rc != 0) {
        PLX_LOG("Failed to change mirror %s remote destination %s, err(%d)\n", name.c_str(),
                plx_ip_to_str(&dest), rc);
        return 1;
    }
    return 0;
}
