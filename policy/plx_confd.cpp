// Policy configuration readers.
#include "policy/plx_confd.h"

#include "common/plx_log.h"

namespace {

// Logs the element a reader was given; the model operations come with the readers themselves.
int plx_config_note(const char *reader, const SubscriptionPoint *point, int operation,
                    uint8_t key_count, uint16_t value_count) {
    PLX_TRACE(PLX_DEBUG_CONFIG, "%s: %s oper:%d keys:%u values:%u", reader,
              point ? point->path : "", operation, key_count, value_count);
    return 0;
}

}  // namespace

PLX_SUBSCRIPTION_READER(plx_config_class) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_local_pfx_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_local_pfx_list_ip) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list_app) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list_app_family) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_sla_class) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_vpn_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_vpn_id) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_pfx_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_pfx_list_ip) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_app_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_app_list_app) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_app_list_app_family) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_policy_policer) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_local_policer) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_data_policy) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_data_policy_vpn_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_data_policy_seq_tloc_pref_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_data_policy_seq) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_app_route_policy) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_app_route_policy_vpn_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_app_route_policy_seq) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_mirror) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_mirror_interface) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_mirror_remote_dest) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}
