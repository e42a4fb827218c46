// The policy configuration readers: one SubscriptionReader per subscribed path of the policy
// model. Each turns one changed element into operations on the policy model and marks what
// changed; the processing of the marked objects runs once the whole change set has been read.
#pragma once

#include "qconfd/qconfd_api.h"

#define PLX_SUBSCRIPTION_READER(name)                                                         \
    int name(SubscriptionPoint *point, int operation, uint8_t key_count, confd_value_t *keys, \
             uint16_t value_count, confd_tag_value_t *values)

// policy/class-map/class
PLX_SUBSCRIPTION_READER(plx_config_class);
// policy (the policy-wide switches)
PLX_SUBSCRIPTION_READER(plx_config_policy);
// policy/lists/...: the device's own prefix and app lists
PLX_SUBSCRIPTION_READER(plx_config_policy_local_pfx_list);
PLX_SUBSCRIPTION_READER(plx_config_policy_local_pfx_list_ip);
PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list);
PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list_app);
PLX_SUBSCRIPTION_READER(plx_config_policy_local_app_list_app_family);
// policy-from-qctrl/...: lists and classes from the controller
PLX_SUBSCRIPTION_READER(plx_config_policy_sla_class);
PLX_SUBSCRIPTION_READER(plx_config_policy_vpn_list);
PLX_SUBSCRIPTION_READER(plx_config_policy_vpn_id);
PLX_SUBSCRIPTION_READER(plx_config_policy_pfx_list);
PLX_SUBSCRIPTION_READER(plx_config_policy_pfx_list_ip);
PLX_SUBSCRIPTION_READER(plx_config_policy_app_list);
PLX_SUBSCRIPTION_READER(plx_config_policy_app_list_app);
PLX_SUBSCRIPTION_READER(plx_config_policy_app_list_app_family);
// Policers: from the controller (owner type 2) and the device's own (owner type 1)
PLX_SUBSCRIPTION_READER(plx_config_policy_policer);
PLX_SUBSCRIPTION_READER(plx_config_local_policer);
// Data policies (type 1) and app-route policies (type 2), their VPN lists and sequences
PLX_SUBSCRIPTION_READER(plx_config_data_policy);
PLX_SUBSCRIPTION_READER(plx_config_data_policy_vpn_list);
PLX_SUBSCRIPTION_READER(plx_config_data_policy_seq_tloc_pref_list);
PLX_SUBSCRIPTION_READER(plx_config_data_policy_seq);
PLX_SUBSCRIPTION_READER(plx_config_app_route_policy);
PLX_SUBSCRIPTION_READER(plx_config_app_route_policy_vpn_list);
PLX_SUBSCRIPTION_READER(plx_config_app_route_policy_seq);
// policy/mirror
PLX_SUBSCRIPTION_READER(plx_config_mirror);
PLX_SUBSCRIPTION_READER(plx_config_mirror_interface);
PLX_SUBSCRIPTION_READER(plx_config_mirror_remote_dest);
