// Placeholders for the throttler and the shared region until their implementation joins this
// branch: the throttler sends nothing and no region is mapped. Remove this file (and its line in
// CMakeLists.txt) together with the real definitions arriving.
#include "qconfd/qconfd_util.h"

void qconfd_notification_throttler_init(QconfdContext *) {}
void qconfd_notification_throttler_connection_reset() {}
void qconfd_notification_throttler_free() {}

int qconfd_setup_shm() {
    return 0;
}
void qconfd_free_shm() {}
