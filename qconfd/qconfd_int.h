// Shared between the connection (qconfd_api.cpp) and the subscription side (registration,
// initial read and the reading of changes) of the configuration-database layer.
#pragma once

#include <event2/util.h>
#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <vector>

#include "common/plx_log.h"
#include "qconfd/qconfd_api.h"
#include "qconfd/qconfd_log.h"

// The layer's trace lines: written while its debug switch is on, or no module has registered.
#define QCONFD_TRACE(...) QCONFD_DEBUG(__VA_ARGS__)

// Stops the daemon: writes the line to the log and to standard error and ends the process
// abnormally. The process manager restarts the daemon, which then reads its whole configuration
// again.
[[noreturn]] void qconfd_stop_daemon(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
#define QCONFD_STOP(...) qconfd_stop_daemon(__func__, __LINE__, __VA_ARGS__)

// Name of the registered module (the router's daemon name) for log lines.
const char *qconfd_module_name();

// Bytes a thread writes to the pipe towards the event loop.
inline constexpr char QCONFD_PIPE_RETRY = '1';       // tear down and reconnect
inline constexpr char QCONFD_PIPE_SUBSCRIBED = '2';  // every point is stored: read the socket

// Tears everything down and makes sure the retry timer runs.
void qconfd_retry_connect(QconfdContext *ctx);

// The subscription event's handler (on the event loop).
void qconfd_sub_cb(evutil_socket_t fd, short what, void *arg);

// The rows of the daemon's table and then the layer's common rows, as one walk; fn returns false
// to stop it.
template <class Fn>
void qconfd_for_each_row(QconfdContext *ctx, Fn fn) {
    for (SubscriptionPoint *table : {ctx->spec.subscriptions, qconfd_common_subscriptions()}) {
        for (SubscriptionPoint *row = table; row && row->path[0]; ++row) {
            if (!fn(row))
                return;
        }
    }
}

// True when the daemon's table or the common table has a row.
bool qconfd_has_subscriptions(const QconfdContext *ctx);
// Starts the detached registration thread; it reports to the loop through a copy of the pipe's
// write end. False when the thread cannot be started.
bool qconfd_start_registration(QconfdContext *ctx);

// Starts a detached thread counted by qconfd_running_threads; false when it cannot be started.
bool qconfd_start_thread(std::function<void()> fn);
// Registration and trigger threads that have not ended yet. They use the context, so it is
// freed only once they are gone.
int qconfd_running_threads();

// The initial-read-done flag, shared by the trigger thread and the event loop.
inline bool qconfd_initial_read_done(const QconfdContext *ctx) {
    return std::atomic_ref(const_cast<uint32_t &>(ctx->initial_read_done)).load() != 0;
}

// Marks the initial read done (once) and sets this module's bit in the order leaf.
void qconfd_initial_read_complete(QconfdContext *ctx);

// Splits one change set between a row's two points: in delete mode the deleted leaves
// (C_NOEXISTS) with the brackets around them, in add mode everything else. Returns the
// applicable entries (shallow copies of `values`), or an empty vector when nothing applies.
std::vector<confd_tag_value_t> qconfd_filter_modifications(const confd_tag_value_t *values,
                                                           int count, bool delete_mode);
