#include "qconfd/plx_program_status.h"

#include <netinet/in.h>

#include <cstring>

namespace {

void set_str(confd_tag_value_t *tv, uint32_t tag, const char *s) {
    confd_value_t v{};
    CONFD_SET_STR(&v, s ? s : "");
    CONFD_SET_TAG_VALUE(tv, tag, &v);
}

// Values common to both notifications: open, severity, user, address.
int build_head(confd_tag_value_t *values, uint32_t notification, const PlxNotifOrigin &origin) {
    CONFD_SET_TAG_XMLBEGIN(&values[0], notification, PLX_NOTIF_NS);
    confd_value_t v{};
    CONFD_SET_ENUM_VALUE(&v, PLX_NOTIF_SEVERITY_MAJOR);
    CONFD_SET_TAG_VALUE(&values[1], PLX_NOTIF_SEVERITY, &v);
    set_str(&values[2], PLX_NOTIF_USER, origin.user && *origin.user ? origin.user : "default");
    if (origin.address.family == 2) {
        in_addr a{};
        std::memcpy(&a, origin.address.addr, sizeof a);  // kept in network order
        CONFD_SET_IPV4(&v, a);
    } else {
        in6_addr a{};
        std::memcpy(&a, origin.address.addr, sizeof a);
        CONFD_SET_IPV6(&v, a);
    }
    CONFD_SET_TAG_VALUE(&values[3], PLX_NOTIF_USER_ADDRESS, &v);
    return 4;
}

const char *status_text(bool success) {
    return success ? "Success" : "Failed";
}

}  // namespace

PlxNotifOrigin plx_notif_origin() {
    PlxNotifOrigin origin{qconfd_shared_user(), {}};
    qconfd_shared_address(&origin.address);
    return origin;
}

int plx_build_data_policy_status(confd_tag_value_t *values, const PlxNotifOrigin &origin,
                                 const char *vpn_list, const char *policy, bool success) {
    int n = build_head(values, PLX_NOTIF_DATA_POLICY_STATUS, origin);
    set_str(&values[n++], PLX_NOTIF_VPN_LIST_NAME, vpn_list);
    set_str(&values[n++], PLX_NOTIF_POLICY_NAME, policy);
    set_str(&values[n++], PLX_NOTIF_STATUS, status_text(success));
    CONFD_SET_TAG_XMLEND(&values[n], PLX_NOTIF_DATA_POLICY_STATUS, PLX_NOTIF_NS);
    return n + 1;
}

int plx_build_access_list_status(confd_tag_value_t *values, const PlxNotifOrigin &origin,
                                 const char *access_list, bool success) {
    int n = build_head(values, PLX_NOTIF_ACCESS_LIST_STATUS, origin);
    set_str(&values[n++], PLX_NOTIF_ACCESS_LIST_NAME, access_list);
    set_str(&values[n++], PLX_NOTIF_STATUS, status_text(success));
    CONFD_SET_TAG_XMLEND(&values[n], PLX_NOTIF_ACCESS_LIST_STATUS, PLX_NOTIF_NS);
    return n + 1;
}

qconfd_result plx_send_data_policy_status(QconfdContext *ctx, const char *vpn_list,
                                          const char *policy, bool success) {
    confd_tag_value_t values[PLX_PROGRAM_STATUS_VALUES];
    int n = plx_build_data_policy_status(values, plx_notif_origin(), vpn_list, policy, success);
    return qconfd_event_send_notification(ctx, values, n);
}

qconfd_result plx_send_access_list_status(QconfdContext *ctx, const char *access_list,
                                          bool success) {
    confd_tag_value_t values[PLX_PROGRAM_STATUS_VALUES];
    int n = plx_build_access_list_status(values, plx_notif_origin(), access_list, success);
    return qconfd_event_send_notification(ctx, values, n);
}
