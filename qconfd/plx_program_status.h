// The policy manager's programming notifications: after each compile of a data policy for a
// VPN list, or of an access list, whose result an operator must hear of, the result goes out on
// the notification stream (and, through the trap groups, as an SNMP trap), carrying the user
// and address of the management session from the shared region.
#pragma once

#include "platform/confd/confd_lib.h"
#include "qconfd/qconfd_util.h"

struct QconfdContext;

// Tags and namespace of the two notifications.
inline constexpr uint32_t PLX_NOTIF_NS = 627311236;
inline constexpr uint32_t PLX_NOTIF_DATA_POLICY_STATUS = 1944655528;
inline constexpr uint32_t PLX_NOTIF_ACCESS_LIST_STATUS = 40743124;
inline constexpr uint32_t PLX_NOTIF_SEVERITY = 418582328;
inline constexpr uint32_t PLX_NOTIF_USER = 1476961893;
inline constexpr uint32_t PLX_NOTIF_USER_ADDRESS = 1583300392;
inline constexpr uint32_t PLX_NOTIF_ACCESS_LIST_NAME = 337693690;
inline constexpr uint32_t PLX_NOTIF_VPN_LIST_NAME = 1644036174;
inline constexpr uint32_t PLX_NOTIF_POLICY_NAME = 248830179;
inline constexpr uint32_t PLX_NOTIF_STATUS = 1950810920;
// Severity value both notifications carry.
inline constexpr int32_t PLX_NOTIF_SEVERITY_MAJOR = 2;
// Values of the longer (data-policy) notification.
inline constexpr int PLX_PROGRAM_STATUS_VALUES = 8;

// The session's user ("default" when the shared region names none) and address.
struct PlxNotifOrigin {
    const char *user;
    qconfd_shared_addr address;
};
// The origin as the shared region tells it now.
PlxNotifOrigin plx_notif_origin();

// Fill values (room for PLX_PROGRAM_STATUS_VALUES) and return how many were used. The values
// point at the given strings, which must live until the notification has been handed over.
int plx_build_data_policy_status(confd_tag_value_t *values, const PlxNotifOrigin &origin,
                                 const char *vpn_list, const char *policy, bool success);
int plx_build_access_list_status(confd_tag_value_t *values, const PlxNotifOrigin &origin,
                                 const char *access_list, bool success);

// Build and hand to qconfd_event_send_notification, whose result they return.
qconfd_result plx_send_data_policy_status(QconfdContext *ctx, const char *vpn_list,
                                          const char *policy, bool success);
qconfd_result plx_send_access_list_status(QconfdContext *ctx, const char *access_list,
                                          bool success);
