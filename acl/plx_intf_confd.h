// The access-list configuration readers: IPv4 and IPv6 access lists, their sequences, and their
// bindings to the interfaces of VPN instances.
#pragma once

#include <cstdint>
#include <string_view>

#include "policy/plx_confd.h"

// policy/access-list and policy/ipv6/access-list
PLX_SUBSCRIPTION_READER(plx_config_access_list);
PLX_SUBSCRIPTION_READER(plx_config_access_list_seq);
PLX_SUBSCRIPTION_READER(plx_config_access_list6);
PLX_SUBSCRIPTION_READER(plx_config_access_list6_seq);
// vpn/vpn-instance, its interfaces and their access-list bindings
PLX_SUBSCRIPTION_READER(plx_config_vpn_instance);
PLX_SUBSCRIPTION_READER(plx_config_vpn_interface);
PLX_SUBSCRIPTION_READER(plx_config_intf_access_list);
PLX_SUBSCRIPTION_READER(plx_config_intf_access_list6);

// The list that an interface binding named before the transaction being read, through a
// connection of its own to the pre-commit running datastore. True with the name in `name`.
bool plx_config_get_pre_commit_access_list(uint64_t vpn, std::string_view intf, uint8_t direction,
                                           uint32_t family, char name[33]);
