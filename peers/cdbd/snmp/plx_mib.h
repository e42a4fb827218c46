// Object identifiers of the router's notifications and notification variables (PLX-MIB.txt).
//
// 1.3.6.1.4.1.99417 is the router's own private enterprise subtree. Under it each trap module
// of the trap-group configuration owns the arc of its value (policy = 10); a module's arc 0
// holds its notifications, numbered by trap index, and its arc 1 the variables they carry.
// Arc 1 of the enterprise holds the two variables every trap carries first (eventTime and
// netconfNotificationSeverity).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace cdbd {

inline constexpr uint32_t PLX_ENTERPRISE_NUMBER = 99417;

// Standard objects every SNMPv2 trap starts with.
inline constexpr uint32_t SNMP_SYS_UPTIME_OID[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
inline constexpr uint32_t SNMP_TRAP_OID_OID[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

inline constexpr uint32_t PLX_MIB_ROOT[] = {1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER};

// Variables carried by every trap.
inline constexpr uint32_t PLX_MIB_EVENT_TIME[] = {1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, 1, 1};
inline constexpr uint32_t PLX_MIB_NOTIFICATION_SEVERITY[] = {
    1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, 1, 2};

// Trap module of the policy manager's notifications.
inline constexpr uint32_t PLX_MIB_MODULE_POLICY = 10;

// Policy notifications (last arc = trap index) and their variables.
inline constexpr uint32_t PLX_MIB_DATA_POLICY_ASSOCIATION_STATUS[] = {
    1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, PLX_MIB_MODULE_POLICY, 0, 84};
inline constexpr uint32_t PLX_MIB_ACCESS_LIST_ASSOCIATION_STATUS[] = {
    1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, PLX_MIB_MODULE_POLICY, 0, 85};
inline constexpr uint32_t PLX_MIB_POLICY_NAME[] = {
    1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, PLX_MIB_MODULE_POLICY, 1, 1};
inline constexpr uint32_t PLX_MIB_POLICY_VPN_LIST_NAME[] = {
    1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, PLX_MIB_MODULE_POLICY, 1, 2};
inline constexpr uint32_t PLX_MIB_POLICY_ACCESS_LIST_NAME[] = {
    1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, PLX_MIB_MODULE_POLICY, 1, 3};
inline constexpr uint32_t PLX_MIB_POLICY_STATUS[] = {
    1, 3, 6, 1, 4, 1, PLX_ENTERPRISE_NUMBER, PLX_MIB_MODULE_POLICY, 1, 4};

// One named object of the MIB. trap_index is 1-100 for a notification, 0 for a variable.
struct PlxMibObject {
    std::string_view name;
    std::span<const uint32_t> oid;
    uint32_t trap_index;
};

// Every object of PLX-MIB by the name the daemons give it (the notification's or variable
// binding's MIB name, e.g. "quorvelPolicyName", "eventTime").
std::span<const PlxMibObject> plx_mib_objects();

// The object identifier of a MIB name; nullopt for a name the MIB does not define.
std::optional<std::vector<uint32_t>> plx_mib_oid(std::string_view name);

}  // namespace cdbd
