// Operational values, notifications and the shared region (placeholders until the throttler and
// the write chain are in place: notifications are dropped, writes refused).
#include "qconfd/qconfd_util.h"

int qconfd_set_cdb_oper_value(QconfdContext *, const confd_value_t *, const char *, int, int) {
    return 1;
}

int qconfd_event_send_notification(QconfdContext *, confd_tag_value_t *, int) {
    return 0;
}
