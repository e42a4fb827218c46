// The connection of one module to the configuration database: its sockets, the registration of
// its callbacks, the events that tie the sockets to the module's event loop, the pipe through
// which the layer's threads talk to the loop, and the reconnection every 2000 ms after any
// socket is lost.
#include <arpa/inet.h>
#include <event2/event.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/plx_paths.h"
#include "common/qrv_util.h"
#include "common/timer.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_dp.h"
#include "platform/confd/confd_maapi.h"
#include "qconfd/qconfd_int.h"
#include "qconfd/qconfd_resync.h"
#include "qconfd/qconfd_trap.h"
#include "qconfd/qconfd_util.h"

namespace {

constexpr char IPC_SECRET_FILE[] = "/etc/confd/confd_ipc_secret";
constexpr char NOTIF_STREAM[] = "quorvel";
constexpr char SNMP_NOTIFICATION[] = "quorvel_snmpv2_trap";
constexpr char RETRY_TIMER_NAME[] = "qconfd_timer";
// How long the stop waits for the layer's threads to end.
constexpr int STOP_WAIT_MS = 1000;

const char *errtext() {
    return std::strerror(errno);
}

// A TCP socket towards the database that is not inherited by child processes.
int open_socket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

QconfdContext *context_of(confd_daemon_ctx *dx) {
    return dx ? static_cast<QconfdContext *>(dx->d_opaque) : nullptr;
}

// ---- callbacks that ConfD calls through the control and worker sockets ----

int trans_init(confd_trans_ctx *tctx) {
    QconfdContext *ctx = context_of(tctx->dx);
    return confd_trans_set_fd(tctx, ctx->worker_sock);
}

// A transaction that the database validates: the MAAPI socket is attached to it for the
// duration, so that validation code may read the configuration being committed.
int validate_init(confd_trans_ctx *tctx) {
    QconfdContext *ctx = context_of(tctx->dx);
    confd_trans_set_fd(tctx, ctx->worker_sock);
    if (maapi_attach(ctx->maapi_sock, 0, tctx) != CONFD_OK) {
        PLX_LOG("Failed to do maapi attach for init validation (%u)%s (%d) : %s",
                static_cast<unsigned>(tctx->thandle), confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
        return CONFD_ERR;
    }
    return CONFD_OK;
}

int validate_stop(confd_trans_ctx *tctx) {
    QconfdContext *ctx = context_of(tctx->dx);
    if (maapi_detach(ctx->maapi_sock, tctx) != CONFD_OK) {
        PLX_LOG("Failed to do maapi detach for stop validation (%u)%s (%d) : %s",
                static_cast<unsigned>(tctx->thandle), confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
        return CONFD_ERR;
    }
    return CONFD_OK;
}

int action_init(confd_user_info *uinfo) {
    QconfdContext *ctx = context_of(uinfo->actx.dx);
    return confd_action_set_fd(uinfo, ctx->worker_sock);
}

// ---- socket events ----

void control_cb(evutil_socket_t fd, short, void *arg) {
    auto *ctx = static_cast<QconfdContext *>(arg);
    int rc = confd_fd_ready(ctx->dctx, fd);
    if (rc == CONFD_EOF) {
        PLX_LOG("Control socket closed");
        qconfd_retry_connect(ctx);
    } else if (rc != CONFD_OK && confd_errno != CONFD_ERR_EXTERNAL) {
        PLX_LOG("Error on control socket request: %s (%d): %s", confd_strerror(confd_errno),
                confd_errno, confd_lasterr());
    }
}

void worker_cb(evutil_socket_t fd, short, void *arg) {
    auto *ctx = static_cast<QconfdContext *>(arg);
    int rc = confd_fd_ready(ctx->dctx, fd);
    if (rc == CONFD_EOF) {
        QCONFD_TRACE("Worker socket closed");
        qconfd_retry_connect(ctx);
    } else if (rc != CONFD_OK && confd_errno != CONFD_ERR_EXTERNAL) {
        QCONFD_TRACE("Error on worker socket request: %s (%d): %s", confd_strerror(confd_errno),
                     confd_errno, confd_lasterr());
    }
}

// The layer's threads write one byte: "1" asks for a reconnection, "2" says that the
// registration thread stored every point id, so the subscription socket may now be read.
void pipe_cb(evutil_socket_t fd, short, void *arg) {
    auto *ctx = static_cast<QconfdContext *>(arg);
    char byte = 0;
    if (read(fd, &byte, 1) <= 0) {
        PLX_LOG("Failed to read from the pipe");
        return;
    }
    if (byte == QCONFD_PIPE_RETRY) {
        QCONFD_TRACE("Thread notification for retry");
        qconfd_retry_connect(ctx);
    } else if (byte == QCONFD_PIPE_SUBSCRIBED && ctx->sub_ev) {
        event_add(ctx->sub_ev, nullptr);
    }
}

void retry_cb(timer *, void *arg1, void *, void *, void *) {
    auto *ctx = static_cast<QconfdContext *>(arg1);
    if (qconfd_module_init(nullptr, ctx, nullptr) != QCONFD_INIT_OK)
        QCONFD_TRACE("qconfd retry: Failed to init qconfd");
}

// ---- teardown ----

void free_event(event *&ev) {
    if (ev)
        event_free(ev);
    ev = nullptr;
}

void close_fd(int &fd, int (*closer)(int)) {
    if (fd > 0)
        closer(fd);
    fd = -1;
}

int plain_close(int fd) {
    return close(fd);
}

// Closes every socket, event and pipe end and releases the daemon context. The events go
// first, so that no descriptor number is closed while the loop still watches it. The daemon
// context is released before its control and worker sockets are closed: the library forgets
// the sockets by number, and a number closed first could already belong to a socket that
// another thread of the layer has just opened.
void teardown(QconfdContext *ctx) {
    if (ctx->sub_sock > 0) {
        qconfd_notification_throttler_connection_reset();
        qconfd_trap_clear();
    }
    for (event **ev :
         {&ctx->control_ev, &ctx->worker_ev, &ctx->sub_ev, &ctx->notif_ev, &ctx->pipe_ev})
        free_event(*ev);
    if (ctx->dctx)
        confd_release_daemon(ctx->dctx);
    ctx->dctx = nullptr;
    close_fd(ctx->sub_sock, cdb_close);
    close_fd(ctx->control_sock, plain_close);
    close_fd(ctx->worker_sock, plain_close);
    close_fd(ctx->data_sock, cdb_close);
    close_fd(ctx->maapi_sock, maapi_close);
    close_fd(ctx->notif_sock, plain_close);
    close_fd(ctx->pipe_rd, plain_close);
    close_fd(ctx->pipe_wr, plain_close);
}

// ---- initialisation steps ----

// Logs the failure of a step, schedules the retry and gives the result of a failed step.
#define STEP_FAILED(ctx, ...)      \
    do {                           \
        PLX_LOG(__VA_ARGS__);      \
        qconfd_retry_connect(ctx); \
        return QCONFD_INIT_RETRY;  \
    } while (0)

void set_env() {
    const std::string secret = plx_path(IPC_SECRET_FILE);
    setenv("CONFD_IPC_ACCESS_FILE", secret.c_str(), 1);
    setenv("NCS_IPC_ACCESS_FILE", secret.c_str(), 1);
}

bool spec_complete(const QconfdModuleSpec *spec) {
    return spec && spec->app_ctx && spec->subscriptions && spec->validations && spec->actions &&
           spec->register_data_cb && spec->evbase && spec->tmr_mgr;
}

// Steps 1-2 of the first call: a new context from the module's record.
int create_context(QconfdModuleSpec *spec, QconfdContext **created) {
    if (!spec_complete(spec))
        QCONFD_STOP("Invalid qconfd registration: NULL Parameters");
    confd_init_vsn_sz(qrv_daemon_name(spec->module_id), stderr, CONFD_SILENT, CONFD_LIB_API_VSN,
                      MAXDEPTH, MAXKEYLEN);
    auto *ctx = new (std::nothrow) QconfdContext{};
    if (!ctx) {
        PLX_LOG("Failed to allocate memory for qconfd context");
        return QCONFD_INIT_NOMEM;
    }
    ctx->spec = *spec;
    ctx->pipe_rd = ctx->pipe_wr = -1;
    ctx->control_sock = ctx->sub_sock = ctx->worker_sock = -1;
    ctx->data_sock = ctx->maapi_sock = ctx->notif_sock = -1;
    *created = ctx;
    qconfd_log_set_module(spec->module_id);
    return QCONFD_INIT_OK;
}

int open_sockets(QconfdContext *ctx) {
    const char *name = qconfd_module_name();
    if ((ctx->control_sock = open_socket()) < 0)
        STEP_FAILED(ctx, "Failed to open control socket (%s)", errtext());
    if ((ctx->worker_sock = open_socket()) < 0)
        STEP_FAILED(ctx, "Failed to open worker socket (%s)", errtext());
    if ((ctx->data_sock = open_socket()) < 0)
        STEP_FAILED(ctx, "Failed to open data socket (%s)", errtext());
    if ((ctx->sub_sock = open_socket()) < 0)
        STEP_FAILED(ctx, "Failed to open subscription socket (%s)", errtext());
    if ((ctx->maapi_sock = open_socket()) < 0)
        STEP_FAILED(ctx, "Failed to open maapi socket (%s)", errtext());
    ctx->notif_sock = 0;
    if (ctx->spec.notif_sub && (ctx->notif_sock = open_socket()) < 0)
        STEP_FAILED(ctx, "Failed to open confd notification socket (%s)", errtext());

    if (confd_connect(ctx->dctx, ctx->control_sock, CONTROL_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK) {
        qconfd_retry_connect(ctx);
        return QCONFD_INIT_RETRY;
    }
    if (confd_connect(ctx->dctx, ctx->worker_sock, WORKER_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK)
        STEP_FAILED(ctx, "Failed to connect worker socket to confd (%s - %d)", name, confd_errno);
    if (cdb_connect(ctx->data_sock, CDB_DATA_SOCKET, CONFD_LOCAL_ADDR) != CONFD_OK)
        STEP_FAILED(ctx, "Failed to connect data socket to confd (%s - %d)", name, confd_errno);
    if (maapi_connect(ctx->maapi_sock, CONFD_LOCAL_ADDR) != CONFD_OK)
        STEP_FAILED(ctx, "Failed to do maapi_connect (%s - %d)", name, confd_errno);
    // The client library has no stream of the database's own notifications.
    if (ctx->spec.notif_sub)
        STEP_FAILED(ctx, "Failed to connect to confd notifications(%s - %d)", name,
                    CONFD_ERR_UNAVAILABLE);
    return QCONFD_INIT_OK;
}

int create_events(QconfdContext *ctx) {
    const char *name = qconfd_module_name();
    event_base *base = ctx->spec.evbase;
    ctx->control_ev = event_new(base, ctx->control_sock, EV_READ | EV_PERSIST, control_cb, ctx);
    if (!ctx->control_ev)
        STEP_FAILED(ctx, "Failed to create control event for module %s", name);
    ctx->worker_ev = event_new(base, ctx->worker_sock, EV_READ | EV_PERSIST, worker_cb, ctx);
    if (!ctx->worker_ev)
        STEP_FAILED(ctx, "Failed to create worker event for module %s", name);
    ctx->sub_ev = event_new(base, ctx->sub_sock, EV_READ | EV_PERSIST, qconfd_sub_cb, ctx);
    if (!ctx->sub_ev)
        STEP_FAILED(ctx, "Failed to create subscription event for module %s", name);
    event_add(ctx->control_ev, nullptr);
    event_add(ctx->worker_ev, nullptr);
    // The subscription event is added once the registration thread has stored every point id.
    return QCONFD_INIT_OK;
}

int register_callbacks(QconfdContext *ctx) {
    const char *name = qconfd_module_name();
    static const confd_trans_validate_cbs validate_cbs = {validate_init, validate_stop};
    if (confd_register_trans_validate_cb(ctx->dctx, &validate_cbs) != CONFD_OK)
        STEP_FAILED(ctx, "Failed to register validation callbacks (%s - %d)", name, confd_errno);
    static const confd_trans_cbs trans_cbs = [] {
        confd_trans_cbs cbs{};
        cbs.init = trans_init;
        return cbs;
    }();
    if (confd_register_trans_cb(ctx->dctx, &trans_cbs) != CONFD_OK)
        STEP_FAILED(ctx, "Failed to register transaction callbacks (%s - %d)", name, confd_errno);

    for (confd_action_cbs *a = ctx->spec.actions; a->actionpoint[0]; ++a) {
        a->init = action_init;
        if (confd_register_action_cbs(ctx->dctx, a) != CONFD_OK)
            STEP_FAILED(ctx, "Failed to register %s action call back (%s - %d)", a->actionpoint,
                        name, confd_errno);
    }
    for (confd_valpoint_cb *v = ctx->spec.validations; v->valpoint[0]; ++v) {
        if (confd_register_valpoint_cb(ctx->dctx, v) != CONFD_OK)
            STEP_FAILED(ctx, "Failed to register %s validation call back (%s - %d)", v->valpoint,
                        name, confd_errno);
    }
    if (ctx->spec.register_data_cb(ctx) != 0)
        STEP_FAILED(ctx, "Failed to register data call backs");

    confd_notification_stream_cbs stream{};
    std::snprintf(stream.streamname, sizeof(stream.streamname), "%s", NOTIF_STREAM);
    stream.fd = ctx->worker_sock;
    confd_notification_ctx *nctx = nullptr;
    if (confd_register_notification_stream(ctx->dctx, &stream, &nctx) != CONFD_OK)
        STEP_FAILED(ctx, "confd_register_notification_stream() failed (%s - %d)", name,
                    confd_errno);
    if (ctx->spec.notif_ctx)
        *ctx->spec.notif_ctx = nctx;
    confd_notification_ctx *snmp = nullptr;
    if (confd_register_snmp_notification(ctx->dctx, ctx->worker_sock, SNMP_NOTIFICATION, "",
                                         &snmp) != CONFD_OK)
        STEP_FAILED(ctx, "confd_register_snmp_notification() failed (%s - %d)", name, confd_errno);
    if (ctx->spec.snmp_ctx)
        *ctx->spec.snmp_ctx = snmp;
    if (confd_register_done(ctx->dctx) != CONFD_OK)
        STEP_FAILED(ctx, "confd_register_done() failed (%s - %d)", name, confd_errno);
    return QCONFD_INIT_OK;
}

int create_pipe(QconfdContext *ctx) {
    int fds[2];
    if (pipe(fds) != 0)
        STEP_FAILED(ctx, "Failed to setup pipe");
    ctx->pipe_rd = fds[0];
    ctx->pipe_wr = fds[1];
    for (int fd : fds) {
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            STEP_FAILED(ctx, "Failed to set fd flags");
    }
    ctx->pipe_ev = event_new(ctx->spec.evbase, ctx->pipe_rd, EV_READ | EV_PERSIST, pipe_cb, ctx);
    if (!ctx->pipe_ev)
        STEP_FAILED(ctx, "Failed to create event for pipe");
    if (event_add(ctx->pipe_ev, nullptr) != 0)
        STEP_FAILED(ctx, "Failed to add event for pipe");
    return QCONFD_INIT_OK;
}

}  // namespace

const char *qconfd_module_name() {
    return qrv_daemon_name(qconfd_log_module());
}

void qconfd_stop_daemon(const char *func, int line, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    plx_log_line(func, line, "%s", text);
    std::fprintf(stderr, "%s:%d: %s\n", func, line, text);
    std::fflush(stderr);
    std::abort();
}

int qconfd_module_init(QconfdModuleSpec *spec, QconfdContext *context, QconfdContext **out) {
    set_env();
    qconfd_trap_init();

    QconfdContext *ctx = context;
    if (!ctx) {
        if (!out)
            QCONFD_STOP("NULL qconfd context pointer");
        if (int rc = create_context(spec, &ctx); rc != QCONFD_INIT_OK)
            return rc;
        *out = ctx;
    }

    ctx->dctx = confd_init_daemon(qconfd_module_name());
    if (!ctx->dctx)
        STEP_FAILED(ctx, "Failed to initialize confdlib (%s)", qconfd_module_name());
    ctx->dctx->d_opaque = ctx;

    for (int (*step)(QconfdContext *) :
         {open_sockets, create_events, register_callbacks, create_pipe}) {
        if (int rc = step(ctx); rc != QCONFD_INIT_OK)
            return rc;
    }
    if (qconfd_has_subscriptions(ctx) && !qconfd_start_registration(ctx))
        STEP_FAILED(ctx, "Failed to start the subscription thread (%s)", qconfd_module_name());

    if (ctx->retry_timer) {
        timer_util_delete(ctx->retry_timer);
        ctx->retry_timer = nullptr;
    }
    if (ctx->spec.post_init)
        ctx->spec.post_init(ctx);
    qconfd_setup_shm();
    qconfd_notification_throttler_init(ctx);
    return QCONFD_INIT_OK;
}

void qconfd_retry_connect(QconfdContext *ctx) {
    if (!ctx)
        QCONFD_STOP("NULL qconfd context pointer");
    teardown(ctx);
    if (ctx->retry_timer)
        return;
    ctx->retry_timer =
        timer_util_create(ctx->spec.tmr_mgr, TIMER_PRI_HIGH, TIMER_CYCLIC, QCONFD_RETRY_INTERVAL_MS,
                          retry_cb, ctx, nullptr, nullptr, nullptr, RETRY_TIMER_NAME);
    if (!ctx->retry_timer)
        QCONFD_STOP("Failed to create qconfd retry timer");
    timer_enable(ctx->retry_timer);
}

void qconfd_module_stop(QconfdContext *ctx) {
    if (!ctx)
        return;
    qconfd_oper_writes_join(ctx);
    qconfd_snapshot_forget_all();
    qconfd_notification_throttler_free();
    qconfd_free_shm();
    teardown(ctx);
    if (ctx->retry_timer)
        timer_util_delete(ctx->retry_timer);
    ctx->retry_timer = nullptr;
    // The threads end soon once their sockets fail; one that does not keeps the context, which
    // then lives until the process ends.
    for (int waited = 0; qconfd_running_threads() > 0 && waited < STOP_WAIT_MS; waited += 10)
        usleep(10 * 1000);
    if (int running = qconfd_running_threads(); running > 0) {
        PLX_LOG("Leaving the qconfd context to %d running thread(s)", running);
        return;
    }
    delete ctx;
}
