// The configuration-database layer: one module's connection to the configuration database, its
// subscriptions and the reading of configuration changes. Any daemon of the router can link it;
// the daemon hands over one QconfdModuleSpec and gets back a QconfdContext.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/confd/confd_lib.h"

struct QconfdContext;
struct SubscriptionPoint;

// Called once per changed object under a subscribed path. `keys` are the object's list keys from
// the outermost inwards; `values` the changed leaves below it in document order (C_XMLBEGIN /
// C_XMLEND around nested containers and list entries, C_NOEXISTS for a deleted leaf). For a
// delete, value_count is 0 and values null; for a path without keys the operation is always
// MOP_MODIFIED and keys is null. Returns 0 on success. The layer frees keys and values after the
// call. The reader reaches its daemon as point->owner->spec.app_ctx.
using SubscriptionReader = int (*)(SubscriptionPoint *point, int operation, uint8_t key_count,
                                   confd_value_t *keys, uint16_t value_count,
                                   confd_tag_value_t *values);

// Flag bits of a subscription row.
// The row is operational data: subscribed with cdb_oper_subscribe (no priority) and triggered
// with the operational trigger. Such a row is read like a keyless one.
inline constexpr uint8_t QCONFD_SUB_FLAG_OPER = 1u << 0;
inline constexpr uint8_t QCONFD_SUB_FLAG_INITIALISED = 1u << 6;  // has seen its triggered read
inline constexpr uint8_t QCONFD_SUB_FLAG_FAILED = 1u << 7;       // last reader call failed
inline constexpr uint8_t QCONFD_SUB_READ_TRIGGERED = 1u << 0;    // read flag: triggered delivery
// Read flags: the row's next triggered read at its add (delete) point is the whole read after a
// reconnection, compared with what the readers were handed.
inline constexpr uint8_t QCONFD_SUB_READ_RESYNC_ADD = 1u << 1;
inline constexpr uint8_t QCONFD_SUB_READ_RESYNC_DEL = 1u << 2;

// One row of a subscription table; a row with an empty path ends the table.
// A row written with designated initializers leaves out what it does not set.
struct SubscriptionPoint {
    QconfdContext *owner = nullptr;       // set by the layer when it subscribes the row
    char path[128] = {};                  // relative to the root, no leading slash
    SubscriptionReader reader = nullptr;  // called for every changed object under the path
    void *bulk_list = nullptr;            // always null here
    uint32_t ns = 0;                      // namespace hash of the path's data model
    int add_point = 0;                    // point id of the main subscription
    int delete_point = 0;                 // point id of the delete-only subscription
    uint8_t key_count = 0;                // list keys from the root to the path
    uint8_t priorities = 0;  // low 4 bits: main priority; high 4 bits: delete priority or 0
    uint8_t flags = 0;       // QCONFD_SUB_FLAG_*
    uint8_t read_flags = 0;  // QCONFD_SUB_READ_*
    time_t read_started = 0;
    time_t read_ended = 0;
};

// Packs a row's two priorities.
constexpr uint8_t qconfd_priorities(uint8_t add, uint8_t del) {
    return static_cast<uint8_t>((add & 0x0F) | ((del & 0x0F) << 4));
}
// A row's main priority (creates and changes), and its delete priority (0: deletes arrive at the
// main point, there is no delete-only point).
constexpr uint8_t qconfd_add_priority(const SubscriptionPoint &row) {
    return row.priorities & 0x0F;
}
constexpr uint8_t qconfd_delete_priority(const SubscriptionPoint &row) {
    return row.priorities >> 4;
}

struct event;
struct event_base;
struct timer_mgr;
struct timer;
struct confd_daemon_ctx;
struct confd_notification_ctx;
struct confd_valpoint_cb;
struct confd_action_cbs;
struct confd_notification;

// Optional subscription to the configuration database's own notifications.
struct QconfdNotifSubscription {
    uint32_t event_mask;
    uint32_t heartbeat_interval;  // health-check interval in ms, 0 for none
    void (*handler)(QconfdContext *ctx, struct confd_notification *n);
};

// The registration record a daemon hands to qconfd_module_init.
struct QconfdModuleSpec {
    void *app_ctx;                              // the daemon's own context
    SubscriptionPoint *subscriptions;           // ended by a row with an empty path
    struct confd_valpoint_cb *validations;      // ended by an empty name
    struct confd_action_cbs *actions;           // ended by an empty action-point name
    struct confd_notification_ctx **notif_ctx;  // out: the stream "quorvel"
    QconfdNotifSubscription *notif_sub;         // null: none
    struct confd_notification_ctx **snmp_ctx;   // out: the SNMP notification context
    int (*register_data_cb)(QconfdContext *ctx);
    void (*sub_done)(QconfdContext *ctx, int trigger);
    void (*post_init)(QconfdContext *ctx);
    event_base *evbase;
    timer_mgr *tmr_mgr;
    uint8_t module_id;
    uint32_t priority_point;  // filled by the layer
};

// The connection context: the module's record, then the connection state. Sockets that are not
// open hold -1 (or 0 before first use).
struct QconfdContext {
    QconfdModuleSpec spec;
    struct confd_daemon_ctx *dctx;  // its user-data slot points back here
    QconfdContext *parent;          // always null here
    QconfdContext *secondary;       // always null here
    event *control_ev;
    event *worker_ev;
    event *sub_ev;
    event *notif_ev;
    event *pipe_ev;
    timer *retry_timer;  // null when no retry runs
    int pipe_rd;
    int pipe_wr;
    int control_sock;
    int sub_sock;
    int worker_sock;
    int data_sock;
    int maapi_sock;
    int notif_sock;
    uint32_t initial_read_done;      // 0 or 1; written by the trigger thread, read by the loop
    unsigned long last_oper_thread;  // the most recent operational-value write thread, 0 if none
};

// Results of the layer's calls; every failure has been logged.
enum qconfd_result : int {
    QCONFD_OK = 0,
    QCONFD_FAILED = 1,       // a database request, a socket or a thread failed
    QCONFD_NO_MEMORY = 2,    // memory ran out
    QCONFD_NO_SESSION = -1,  // the database refused the connection or the session
};

// Results of qconfd_module_init.
inline constexpr int QCONFD_INIT_OK = 0;
inline constexpr int QCONFD_INIT_NOMEM = 2;  // the context could not be allocated; no retry
inline constexpr int QCONFD_INIT_RETRY = 3;  // a step failed; a retry runs every 2000 ms

// Namespace and path of the initial-read order leaf; one bit per module that reads before the
// others (chmgrd: 1, ifmgrd: 2, fibd: 4). Every other module waits for all three.
inline constexpr uint32_t QCONFD_NS = 1480636862;
inline constexpr char QCONFD_INITIAL_READ_PATH[] = "/qconfd-initial-read-priority";
inline constexpr uint32_t QCONFD_RETRY_INTERVAL_MS = 2000;

// First call: spec and out_context given, context null: allocates a context, stores it in
// *out_context, connects and registers. Retry call: spec and out_context null, context given.
// Returns QCONFD_INIT_OK, QCONFD_INIT_NOMEM or QCONFD_INIT_RETRY (the caller treats it as success).
int qconfd_module_init(QconfdModuleSpec *spec, QconfdContext *context, QconfdContext **out_context);
// Stops the throttler, unmaps the shared region, closes every socket and event, releases the
// daemon context, deletes a running retry timer and frees the context. Null does nothing.
void qconfd_module_stop(QconfdContext *ctx);

// The layer's common rows (the trap groups), walked after every daemon's own table.
SubscriptionPoint *qconfd_common_subscriptions();

// Initial read: true when this module may start it (the modules before it have set their bits
// and it has not run yet).
bool qconfd_can_read_initial_config(QconfdContext *ctx);
// Sets this module's bit in the initial-read order leaf (nothing for a module that no other
// waits for): QCONFD_OK, or QCONFD_FAILED.
qconfd_result qconfd_set_initial_config_read_done(QconfdContext *ctx);
// Starts the trigger thread on every row's main point: QCONFD_OK, or QCONFD_NO_MEMORY.
qconfd_result qconfd_read_sub_config_all(QconfdContext *ctx);
