// Operational values, notifications and the shared region of the configuration-database layer.
// Operational writes run in short-lived threads chained so that they complete in order;
// notifications are queued by severity and sent by a throttler thread, one every 200 ms.
#pragma once

#include <cstdint>

#include "platform/confd/confd_lib.h"

struct QconfdContext;

// Returns key_count keys of the list element under list_tag in keypath (into buffer, or into a
// new array that the caller frees when buffer is null), or null.
confd_value_t *qconfd_keypath_get_keys(const confd_hkeypath_t *keypath, confd_value_t *buffer,
                                       int key_count, uint32_t list_tag);

// Operations of an operational write.
inline constexpr int QCONFD_OPER_CREATE = 1;
inline constexpr int QCONFD_OPER_SET = 2;
inline constexpr int QCONFD_OPER_DELETE = 3;

// Starts an ordered, non-blocking operational write: 0 started, 2 out of memory, 1 no thread.
int qconfd_set_cdb_oper_value(QconfdContext *ctx, const confd_value_t *value, const char *path,
                              int operation, int lock);
// One synchronous operational write: 0, ConfD's error number, 1 (no socket) or -1 (no session).
int qconfd_vset_cdb_oper_value(QconfdContext *ctx, const confd_value_t *value, int operation,
                               int lock, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Queues (or sends) one notification of at most 19 values on the stream "quorvel".
int qconfd_event_send_notification(QconfdContext *ctx, confd_tag_value_t *values, int count);
// 0 queued, -1 not queued (send directly), -2 dropped.
int qconfd_enqueue_notification(confd_tag_value_t *values, int count);

void qconfd_notification_throttler_init(QconfdContext *ctx);
void qconfd_notification_throttler_connection_reset();
void qconfd_notification_throttler_free();

// The read-only region "qconfd_shared_region" (operator address and user name).
int qconfd_setup_shm();
void qconfd_free_shm();
const char *qconfd_shared_user();
struct qconfd_shared_addr {
    uint32_t family;  // 2 IPv4, otherwise IPv6
    uint8_t addr[16];
};
void qconfd_shared_address(qconfd_shared_addr *out);
