// Operational values, notifications and the shared region of the configuration-database layer.
// Operational writes run in short-lived threads chained so that they complete in order;
// notifications are queued by severity and sent by a throttler thread, one every 200 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/confd/confd_lib.h"
#include "qconfd/qconfd_api.h"

struct QconfdContext;

// Operations of an operational write.
inline constexpr int QCONFD_OPER_CREATE = 1;
inline constexpr int QCONFD_OPER_SET = 2;
inline constexpr int QCONFD_OPER_DELETE = 3;

// Starts an ordered, non-blocking operational write: QCONFD_OK (started), QCONFD_NO_MEMORY or
// QCONFD_FAILED (no thread). Creating what exists and deleting what does not count as success;
// other failures are only logged by the write's thread.
qconfd_result qconfd_set_cdb_oper_value(QconfdContext *ctx, const confd_value_t *value,
                                        const char *path, int operation, int lock);
// One synchronous operational write: QCONFD_OK, ConfD's error number (the write failed),
// QCONFD_FAILED (no socket) or QCONFD_NO_SESSION.
int qconfd_vset_cdb_oper_value(QconfdContext *ctx, const confd_value_t *value, int operation,
                               int lock, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
// Waits until every write requested on ctx so far has been done (daemon stop).
void qconfd_oper_writes_join(QconfdContext *ctx);

// Queues (or sends) one notification of at most 19 values on the stream "quorvel". Values:
// C_XMLBEGIN of the notification, its severity (C_ENUM_VALUE: 1 queue 0, 2 queue 1, other
// queue 2), the leaves, C_XMLEND. QCONFD_OK when queued, dropped or sent directly; QCONFD_FAILED
// when the database's phase could not be read or the direct send failed.
qconfd_result qconfd_event_send_notification(QconfdContext *ctx, confd_tag_value_t *values,
                                             int count);
// Results of queueing a notification.
enum qconfd_queue_result : int {
    QCONFD_QUEUED = 0,
    QCONFD_NOT_QUEUED = -1,  // the caller may send it directly
    QCONFD_DROPPED = -2,     // its queue is full, or the throttler has ended
};
qconfd_queue_result qconfd_enqueue_notification(confd_tag_value_t *values, int count);

// The throttler: started (or given the new connection's contexts) at every initialisation,
// told at every teardown that the contexts are gone (queued notifications wait), stopped
// with the daemon (queued notifications are dropped).
void qconfd_notification_throttler_init(QconfdContext *ctx);
void qconfd_notification_throttler_connection_reset();
void qconfd_notification_throttler_free();
// Items waiting in queue 0, 1 or 2.
uint32_t qconfd_notification_queue_count(int queue);

// The syslog copy of a sent notification, and its text ("<notification> leaf:value ...").
void qconfd_add_to_syslog(const confd_datetime *time, const confd_tag_value_t *values, int count);
std::string qconfd_notification_text(const confd_tag_value_t *values, int count);

// The read-only region "qconfd_shared_region" (operator address and user name), filled by
// another component of the router.
struct qconfd_shared_region {
    uint32_t family;  // 2 IPv4, otherwise IPv6
    uint32_t reserved;
    uint8_t addr[16];  // IPv4 in the first 4 bytes
    char user[256];    // NUL-terminated
};
static_assert(sizeof(qconfd_shared_region) == 280);
static_assert(offsetof(qconfd_shared_region, addr) == 8);
static_assert(offsetof(qconfd_shared_region, user) == 24);
inline constexpr const char *QCONFD_SHM_NAME = "qconfd_shared_region";

// Maps the region (creating it when nobody has); true once it is mapped.
bool qconfd_setup_shm();
void qconfd_free_shm();
const char *qconfd_shared_user();
struct qconfd_shared_addr {
    uint32_t family;  // 2 IPv4, otherwise IPv6
    uint8_t addr[16];
};
void qconfd_shared_address(qconfd_shared_addr *out);
