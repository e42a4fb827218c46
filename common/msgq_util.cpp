#include "common/msgq_util.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/util.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/msgq_access.h"
#include "common/plx_listen_guard.h"
#include "common/plx_log.h"
#include "common/plx_paths.h"
#include "common/plx_ratelimit.h"
#include "common/plx_status.h"
#include "common/qrv_util.h"
#include "common/timer.h"

namespace {

msgq_instance *g_inst = nullptr;
msgq_log_hook_fn g_log_hook = nullptr;

constexpr const char *kStatNames[MSGQ_STAT_COUNT] = {
    "tx_msg",
    "tx_fail",
    "rx_msg",
    "rx_fail",
    "tx_resched",
    "tx_write_cb",
    "rx_register",
    "tx_register",
    "conn_up",
    "conn_down",
    "conn_close",
    "conn_exist",
    "msg_allocs",
    "msg_frees",
    "alloc_failed",
    "tx_queued",
    "tx_dequeued",
    "tx_queue_failed",
    "rx_read_helper_cb",
    "rx_read_helper_scheduled",
};

// Results of the start routines; msgq_init() returns the handle whatever they say.
constexpr int kStartFailed = 1;
constexpr int kServerListening = 6;

// A read pass stops once more than this much wall time went by, so that other events get a turn.
constexpr int64_t kReadPassMs = 1000;

// Time-out of a TCP connect in progress.
constexpr int kTcpConnectTimeoutSec = 5;

// An accepted connection must register within this time, and at most this many may be waiting
// to register at once: idle or slow connections cannot hold the daemon's descriptors.
constexpr int kRegisterTimeoutSec = 5;
constexpr unsigned kMaxUnregistered = 64;

// Unsent bytes a handle may queue for a peer that does not read.
constexpr uint32_t kMaxQueuedBytes = 16u << 20;

plx_ratelimit g_err_limit;

__attribute__((format(printf, 3, 4))) void msgq_log_err(const char *func, int line, const char *fmt,
                                                        ...) {
    // A burst of the same error (a peer that keeps failing) is a few lines and a count.
    uint32_t held_back = 0;
    if (!g_err_limit.allow(func, line, &held_back))
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    char full[1200];
    if (held_back)
        snprintf(full, sizeof(full), "[MSG-ERR] %s[%d]: %s (%u more like this held back)", func,
                 line, text, held_back);
    else
        snprintf(full, sizeof(full), "[MSG-ERR] %s[%d]: %s", func, line, text);
    int facility = g_inst ? static_cast<int>(g_inst->syslog_facility) : LOG_LOCAL7;
    syslog(facility | LOG_DEBUG, "%s", full);
    if (plx_debug_flags & PLX_DEBUG_CONSOLE) {
        std::printf("%s\n", full);
        std::fflush(stdout);
    }
    if (g_log_hook)
        g_log_hook(full);
}

#define MSGQ_ERR(...) msgq_log_err(__func__, __LINE__, __VA_ARGS__)

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void *default_alloc(size_t size) {
    return std::calloc(1, size);
}
void default_free(void *p) {
    std::free(p);
}

const char *yes_no(bool b) {
    return b ? "TRUE" : "FALSE";
}

// --- Lists ------------------------------------------------------------------------------------

void unreg_insert(msgq_handle *msgq_p) {
    PLX_ASSERT((msgq_p->in_reg_list == false) && (msgq_p->in_tmp_list == false));
    PLX_ASSERT(!msgq_p->in_unreg_list);
    TAILQ_INSERT_TAIL(&g_inst->unreg_msgq_listhead, msgq_p, unreg_link);
    msgq_p->in_unreg_list = 1;
}

void unreg_remove(msgq_handle *msgq_p) {
    PLX_ASSERT(msgq_p->in_unreg_list);
    TAILQ_REMOVE(&g_inst->unreg_msgq_listhead, msgq_p, unreg_link);
    msgq_p->in_unreg_list = 0;
}

void reg_insert(msgq_handle *msgq_p) {
    PLX_ASSERT(!msgq_p->in_reg_list && !msgq_p->in_unreg_list && !msgq_p->in_tmp_list);
    TAILQ_INSERT_TAIL(&g_inst->reg_msgq_listhead, msgq_p, reg_link);
    msgq_p->in_reg_list = 1;
}

void reg_remove(msgq_handle *msgq_p) {
    PLX_ASSERT(msgq_p->in_reg_list);
    TAILQ_REMOVE(&g_inst->reg_msgq_listhead, msgq_p, reg_link);
    msgq_p->in_reg_list = 0;
}

void tmp_insert(msgq_handle *msgq_p) {
    PLX_ASSERT(!msgq_p->in_reg_list && !msgq_p->in_unreg_list && !msgq_p->in_tmp_list);
    TAILQ_INSERT_TAIL(&g_inst->tmp_msgq_listhead, msgq_p, tmp_link);
    msgq_p->in_tmp_list = 1;
}

void tmp_remove(msgq_handle *msgq_p) {
    PLX_ASSERT(msgq_p->in_tmp_list);
    TAILQ_REMOVE(&g_inst->tmp_msgq_listhead, msgq_p, tmp_link);
    msgq_p->in_tmp_list = 0;
}

// Keeps a handle's memory alive while transport code that called into user callbacks is still
// on the stack; msgq_deinit() inside a callback only marks the handle.
class CallbackGuard {
  public:
    explicit CallbackGuard(msgq_handle *msgq_p) : msgq_p_(msgq_p) { ++msgq_p_->cb_depth; }
    ~CallbackGuard() {
        if (--msgq_p_->cb_depth == 0 && msgq_p_->free_pending)
            std::free(msgq_p_);
    }
    CallbackGuard(const CallbackGuard &) = delete;
    CallbackGuard &operator=(const CallbackGuard &) = delete;

  private:
    msgq_handle *msgq_p_;
};

// --- Instance and servers ---------------------------------------------------------------------

void instance_create(const msgq_params *params) {
    PLX_ASSERT(params != nullptr && params->evbase != nullptr);
    g_inst = static_cast<msgq_instance *>(std::calloc(1, sizeof(msgq_instance)));
    PLX_ASSERT(g_inst != nullptr);
    TAILQ_INIT(&g_inst->reg_msgq_listhead);
    TAILQ_INIT(&g_inst->unreg_msgq_listhead);
    TAILQ_INIT(&g_inst->tmp_msgq_listhead);
    TAILQ_INIT(&g_inst->server_listhead);
    g_inst->evbase = params->evbase;
    g_inst->tmr_mgr = params->tmr_mgr;
    g_inst->syslog_facility = params->syslog_facility;
}

void tmp_handle_free(msgq_handle *tmp_p) {
    tmp_remove(tmp_p);
    if (tmp_p->read_ev)
        event_free(tmp_p->read_ev);
    if (tmp_p->sock_fd >= 0)
        close(tmp_p->sock_fd);
    std::free(tmp_p);
}

void instance_free_if_unused() {
    if (!g_inst)
        return;
    if (!(TAILQ_EMPTY(&g_inst->reg_msgq_listhead) && TAILQ_EMPTY(&g_inst->unreg_msgq_listhead)))
        return;
    while (msgq_handle *tmp_p = TAILQ_FIRST(&g_inst->tmp_msgq_listhead))
        tmp_handle_free(tmp_p);
    PLX_ASSERT(TAILQ_EMPTY(&g_inst->server_listhead));
    std::free(g_inst);
    g_inst = nullptr;
}

msgq_server *server_find(const char *path) {
    msgq_server *server_p;
    TAILQ_FOREACH(server_p, &g_inst->server_listhead, link) {
        if (std::strncmp(server_p->path, path, MSGQ_PATH_LEN) == 0)
            return server_p;
    }
    return nullptr;
}

void server_release(msgq_handle *msgq_p) {
    msgq_server *server_p = msgq_p->server;
    if (!server_p)
        return;
    msgq_p->server = nullptr;
    if (server_p->apphead_msgq_handle_p == msgq_p)
        server_p->apphead_msgq_handle_p = nullptr;
    PLX_ASSERT(server_p->refcnt > 0);
    if (--server_p->refcnt > 0)
        return;
    TAILQ_REMOVE(&g_inst->server_listhead, server_p, link);
    plx_listen_guard_free(server_p->guard);
    server_p->guard = nullptr;
    if (server_p->listener) {
        evconnlistener_free(server_p->listener);
        unlink(server_p->path);
    }
    std::free(server_p);
}

// --- Connections ------------------------------------------------------------------------------

void msgq_read_cb(evutil_socket_t fd, short what, void *arg);
void msgq_write_cb(evutil_socket_t fd, short what, void *arg);
void msgq_read_helper_cb(evutil_socket_t fd, short what, void *arg);

void free_events(msgq_handle *msgq_p) {
    if (msgq_p->read_ev) {
        event_free(msgq_p->read_ev);
        msgq_p->read_ev = nullptr;
    }
    for (int i = 0; i < 2; ++i) {
        if (msgq_p->write_ev[i]) {
            event_free(msgq_p->write_ev[i]);
            msgq_p->write_ev[i] = nullptr;
        }
        msgq_p->write_pending[i] = 0;
        if (msgq_p->read_helper_ev[i]) {
            event_free(msgq_p->read_helper_ev[i]);
            msgq_p->read_helper_ev[i] = nullptr;
        }
        msgq_p->read_helper_pending[i] = 0;
    }
    msgq_p->write_idx = 0;
    msgq_p->read_helper_idx = 0;
}

// Closes the connection of a handle. A registered handle goes back to the unregistered list and
// reports down; with restart, a client tries again 500 ms later.
void msgq_close_conn(msgq_handle *msgq_p, bool restart) {
    PLX_ASSERT(!msgq_p->in_tmp_list);
    msgq_p->stats[MSGQ_STAT_CONN_CLOSE]++;
    msgq_p->tx_error = 0;
    free_events(msgq_p);
    while (msgq_txq_entry *entry = msgq_p->txq_head) {
        msgq_p->txq_head = entry->next;
        msgq_p->cbs.free(entry->buf);
        msgq_p->stats[MSGQ_STAT_MSG_FREES]++;
        msgq_p->cbs.free(entry);
    }
    msgq_p->txq_tail = nullptr;
    msgq_p->txq_bytes = 0;
    msgq_p->stats[MSGQ_STAT_TX_QUEUED] = 0;
    msgq_p->stats[MSGQ_STAT_TX_DEQUEUED] = 0;
    if (msgq_p->rx_msg) {
        msgq_p->cbs.free(msgq_p->rx_msg);
        msgq_p->stats[MSGQ_STAT_MSG_FREES]++;
        msgq_p->rx_msg = nullptr;
    }
    msgq_p->rx_bytes = 0;
    msgq_p->rx_expected = 0;
    if (msgq_p->sock_fd >= 0) {
        shutdown(msgq_p->sock_fd, SHUT_RDWR);
        close(msgq_p->sock_fd);
        msgq_p->sock_fd = -1;
    }
    if (msgq_p->in_reg_list) {
        reg_remove(msgq_p);
        unreg_insert(msgq_p);
        msgq_p->stats[MSGQ_STAT_CONN_DOWN]++;
        if (msgq_p->cbs.down) {
            bool deinit_called;
            {
                CallbackGuard guard(msgq_p);
                msgq_p->cbs.down(msgq_p, msgq_p->user_arg);
                deinit_called = msgq_p->free_pending;
            }
            // Any caller that can get here with a deinit pending holds a guard of its own, so
            // the record is still valid; it must only not be restarted.
            if (deinit_called)
                return;
        }
    }
    if (restart && msgq_p->type == MSGQ_HANDLE_TYPE_CLIENT && msgq_p->connect_timer)
        timer_enable(msgq_p->connect_timer);
}

// Creates the events of a freshly connected socket. Returns false when they cannot all be had.
bool setup_conn_events(msgq_handle *msgq_p) {
    event_base *base = g_inst->evbase;
    for (int i = 0; i < 2; ++i) {
        msgq_p->write_ev[i] = event_new(base, msgq_p->sock_fd, EV_WRITE, msgq_write_cb, msgq_p);
        if (!msgq_p->write_ev[i])
            return false;
    }
    for (int i = 0; i < 2; ++i) {
        msgq_p->read_helper_ev[i] =
            event_new(base, -1, EV_READ | EV_PERSIST, msgq_read_helper_cb, msgq_p);
        if (!msgq_p->read_helper_ev[i] || event_add(msgq_p->read_helper_ev[i], nullptr) != 0) {
            MSGQ_ERR("Failed to create read helper events");
            return false;
        }
    }
    if (!msgq_p->blocking) {
        msgq_p->read_ev =
            event_new(base, msgq_p->sock_fd, EV_READ | EV_PERSIST, msgq_read_cb, msgq_p);
        if (!msgq_p->read_ev || event_add(msgq_p->read_ev, nullptr) != 0)
            return false;
    }
    return true;
}

// The handle's connection is set up and registered: report it.
void conn_up(msgq_handle *msgq_p) {
    unreg_remove(msgq_p);
    reg_insert(msgq_p);
    msgq_p->stats[MSGQ_STAT_CONN_UP]++;
    if (msgq_p->cbs.up) {
        CallbackGuard guard(msgq_p);
        msgq_p->cbs.up(msgq_p, msgq_p->user_arg);
    }
}

// One connection attempt of a client. Returns 0 when connected, 1 when not (try again later),
// -1 when no socket can be had at all.
int msgq_connect(msgq_handle *msgq_p, bool from_timer) {
    PLX_ASSERT(msgq_p->sock_fd == -1);
    sockaddr_storage ss{};
    socklen_t sslen;
    if (msgq_p->sock_type == MSGQ_SOCK_TYPE_LOCAL) {
        auto *sun = reinterpret_cast<sockaddr_un *>(&ss);
        sun->sun_family = AF_UNIX;
        std::memcpy(sun->sun_path, msgq_p->path, sizeof(sun->sun_path));
        sslen = sizeof(sockaddr_un);
    } else {
        auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(static_cast<uint16_t>(msgq_p->port));
        sin->sin_addr.s_addr = inet_addr(msgq_p->address);
        sslen = sizeof(sockaddr_in);
    }

    int fd = socket(static_cast<int>(msgq_p->sock_type), SOCK_STREAM, 0);
    if (fd < 0) {
        MSGQ_ERR("Socket init failed %d", errno);
        return -1;
    }
    if (!msgq_p->blocking)
        evutil_make_socket_nonblocking(fd);
    evutil_make_socket_closeonexec(fd);

    bool connected = connect(fd, reinterpret_cast<sockaddr *>(&ss), sslen) == 0;
    if (!connected && msgq_p->sock_type == MSGQ_SOCK_TYPE_TCP && errno == EINPROGRESS) {
        for (;;) {
            fd_set wfds;
            FD_ZERO(&wfds);
            FD_SET(fd, &wfds);
            timeval tv{kTcpConnectTimeoutSec, 0};
            int rc = select(fd + 1, nullptr, &wfds, nullptr, &tv);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc < 0) {
                MSGQ_ERR("Failed to connect for fd: %d, error: %d", fd, errno);
            } else if (rc == 0) {
                MSGQ_ERR("Timeout in select");
            } else {
                int soerr = 0;
                socklen_t len = sizeof(soerr);
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) < 0) {
                    MSGQ_ERR("ERROR in getsockopt: %d - %s", errno, std::strerror(errno));
                } else {
                    connected = soerr == 0;
                }
            }
            break;
        }
    }
    if (!connected) {
        close(fd);
        if (from_timer && msgq_p->connect_timer) {
            timer_disable(msgq_p->connect_timer);
            timer_enable(msgq_p->connect_timer);
        }
        return 1;
    }

    if (msgq_p->connect_timer)
        timer_disable(msgq_p->connect_timer);
    msgq_p->sock_fd = fd;
    if (!setup_conn_events(msgq_p)) {
        msgq_close_conn(msgq_p, true);
        return 1;
    }
    if (!msgq_p->no_register) {
        msgq_hdr reg{MAGIC1,
                     static_cast<uint16_t>(MSGQ_HDR_LEN),
                     static_cast<uint8_t>(msgq_p->source),
                     static_cast<uint8_t>(msgq_p->target),
                     MSGQ_MSG_TYPE_REGISTER,
                     MAGIC2};
        if (send(fd, &reg, sizeof(reg), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(reg))) {
            msgq_close_conn(msgq_p, true);
            return 1;
        }
        msgq_p->stats[MSGQ_STAT_TX_REGISTER]++;
    }
    conn_up(msgq_p);
    return 0;
}

void msgq_connect_timer(timer *, void *arg1, void *, void *, void *) {
    auto *msgq_p = static_cast<msgq_handle *>(arg1);
    CallbackGuard guard(msgq_p);
    msgq_connect(msgq_p, true);
}

int msgq_init_start_client(msgq_handle *msgq_p) {
    if (msgq_p->blocking) {
        while (msgq_p->sock_fd < 0 && !msgq_p->free_pending) {
            if (msgq_connect(msgq_p, false) < 0)
                return kStartFailed;
            if (msgq_p->sock_fd < 0)
                usleep(MSGQ_CONNECT_INTERVAL_MS * 1000);
        }
        return 0;
    }
    msgq_p->connect_timer = timer_util_create(g_inst->tmr_mgr, TIMER_PRI_NORMAL, TIMER_ONE_SHOT,
                                              MSGQ_CONNECT_INTERVAL_MS, msgq_connect_timer, msgq_p,
                                              nullptr, nullptr, nullptr, "msgq-timer");
    if (!msgq_p->connect_timer) {
        MSGQ_ERR("Failed to init connect timer for %p", static_cast<void *>(msgq_p));
        return kStartFailed;
    }
    timer_enable(msgq_p->connect_timer);
    return 0;
}

// --- Server side ------------------------------------------------------------------------------

// Hands a connected socket to a server handle, replacing a live connection.
void server_attach(msgq_handle *msgq_p, int fd) {
    PLX_ASSERT(msgq_p->type == MSGQ_HANDLE_TYPE_SERVER);
    CallbackGuard guard(msgq_p);
    if (msgq_p->in_reg_list && msgq_link_alive(msgq_p->sock_fd)) {
        // The peer is connected and registered: a newcomer claiming to be it is turned away
        // (a restarted peer's old link is dead by the time it registers again).
        MSGQ_ERR("Registration from %d to %d on fd %d refused: the link is up on fd %d",
                 static_cast<int>(msgq_p->target), static_cast<int>(msgq_p->source), fd,
                 msgq_p->sock_fd);
        close(fd);
        return;
    }
    if (msgq_p->in_reg_list) {
        msgq_p->stats[MSGQ_STAT_CONN_EXIST]++;
        msgq_close_conn(msgq_p, false);
        if (msgq_p->free_pending) {
            close(fd);
            return;
        }
    }
    PLX_ASSERT(msgq_p->sock_fd == -1);
    msgq_p->sock_fd = fd;
    if (!setup_conn_events(msgq_p)) {
        msgq_close_conn(msgq_p, false);
        return;
    }
    conn_up(msgq_p);
}

// A handle of this type between these modules on this socket path.
bool same_handle(const msgq_handle *h, uint32_t type, uint32_t source, uint32_t target,
                 const char *path) {
    return h->type == type && h->source == source && h->target == target &&
           std::strncmp(h->path, path, MSGQ_PATH_LEN) == 0;
}

msgq_handle *find_server_handle(msgq_handle_list *list, bool reg, uint32_t source, uint32_t target,
                                const char *path) {
    msgq_handle *msgq_p;
    if (reg) {
        TAILQ_FOREACH(msgq_p, list, reg_link) {
            if (same_handle(msgq_p, MSGQ_HANDLE_TYPE_SERVER, source, target, path))
                return msgq_p;
        }
    } else {
        TAILQ_FOREACH(msgq_p, list, unreg_link) {
            if (same_handle(msgq_p, MSGQ_HANDLE_TYPE_SERVER, source, target, path))
                return msgq_p;
        }
    }
    return nullptr;
}

// A registration arrived on a temporary handle: give its socket to the matching local handle.
void msgq_handle_register_msg(msgq_handle *tmp_p, const msgq_hdr &hdr) {
    PLX_ASSERT(tmp_p->in_tmp_list == true);
    msgq_handle *msgq_p = find_server_handle(&g_inst->unreg_msgq_listhead, false, hdr.target,
                                             hdr.source, tmp_p->path);
    if (!msgq_p)
        msgq_p = find_server_handle(&g_inst->reg_msgq_listhead, true, hdr.target, hdr.source,
                                    tmp_p->path);
    if (!msgq_p) {
        MSGQ_ERR("No queue for registration from %d to %d on fd %d, dropping the connection",
                 hdr.source, hdr.target, tmp_p->sock_fd);
        tmp_handle_free(tmp_p);
        return;
    }
    int fd = tmp_p->sock_fd;
    tmp_p->sock_fd = -1;
    tmp_handle_free(tmp_p);
    server_attach(msgq_p, fd);
}

void msgq_handle_msghdr_accept(msgq_server *server_p, int fd) {
    auto *tmp_p = static_cast<msgq_handle *>(std::calloc(1, sizeof(msgq_handle)));
    if (!tmp_p) {
        MSGQ_ERR("Alloc failed");
        close(fd);
        return;
    }
    tmp_p->type = MSGQ_HANDLE_TYPE_SERVER;
    tmp_p->instance = g_inst;
    tmp_p->source = server_p->source;
    tmp_p->sock_fd = fd;
    tmp_p->sock_type = MSGQ_SOCK_TYPE_LOCAL;
    tmp_p->cbs.alloc = default_alloc;
    tmp_p->cbs.free = default_free;
    std::memcpy(tmp_p->path, server_p->path, MSGQ_PATH_LEN);
    tmp_insert(tmp_p);
    // The read event's time-out ends a connection that does not register in time.
    const timeval tv{kRegisterTimeoutSec, 0};
    tmp_p->read_ev = event_new(g_inst->evbase, fd, EV_READ | EV_PERSIST, msgq_read_cb, tmp_p);
    if (!tmp_p->read_ev || event_add(tmp_p->read_ev, &tv) != 0) {
        MSGQ_ERR("Alloc failed");
        tmp_handle_free(tmp_p);
    }
}

void msgq_handle_apphdr_accept(msgq_server *server_p, int fd) {
    msgq_handle *msgq_p = server_p->apphead_msgq_handle_p;
    if (!msgq_p) {
        close(fd);
        return;
    }
    server_attach(msgq_p, fd);
}

unsigned unregistered_count() {
    unsigned n = 0;
    msgq_handle *h;
    TAILQ_FOREACH(h, &g_inst->tmp_msgq_listhead, tmp_link) {
        ++n;
    }
    return n;
}

void msgq_accept_cb(evconnlistener *, evutil_socket_t fd, sockaddr *, int, void *arg) {
    auto *server_p = static_cast<msgq_server *>(arg);
    char why[128];
    if (!msgq_peer_allowed(fd, why, sizeof why)) {
        MSGQ_ERR("Connection to %s from %s refused", server_p->path, why);
        close(fd);
        return;
    }
    if (!server_p->listener_apphdr && unregistered_count() >= kMaxUnregistered) {
        MSGQ_ERR("Connection to %s refused: %u connections wait to register", server_p->path,
                 kMaxUnregistered);
        close(fd);
        return;
    }
    if (server_p->listener_apphdr)
        msgq_handle_apphdr_accept(server_p, fd);
    else
        msgq_handle_msghdr_accept(server_p, fd);
}

void listen_log(const char *line) {
    MSGQ_ERR("%s", line);
}

int msgq_init_start_server(msgq_handle *msgq_p) {
    msgq_server *server_p = server_find(msgq_p->path);
    if (!server_p) {
        server_p = static_cast<msgq_server *>(std::calloc(1, sizeof(msgq_server)));
        if (!server_p) {
            MSGQ_ERR("Failed to allocate memory for server at %s", msgq_p->path);
            return kStartFailed;
        }
        server_p->instance = g_inst;
        server_p->source = msgq_p->source;
        server_p->listener_apphdr = msgq_p->use_app_header;
        std::memcpy(server_p->path, msgq_p->path, MSGQ_PATH_LEN);
        TAILQ_INSERT_TAIL(&g_inst->server_listhead, server_p, link);
    }
    PLX_ASSERT((msgq_p->use_app_header && server_p->listener_apphdr) ||
               (!msgq_p->use_app_header && !server_p->listener_apphdr));
    if (msgq_p->use_app_header) {
        PLX_ASSERT(server_p->apphead_msgq_handle_p == nullptr);
        server_p->apphead_msgq_handle_p = msgq_p;
    }
    server_p->refcnt++;
    msgq_p->server = server_p;
    if (server_p->listener)
        return kServerListening;

    if (unlink(server_p->path) != 0 && errno != ENOENT) {
        MSGQ_ERR("Path %s exists, failed to remove", server_p->path);
        return kServerListening;
    }
    plx_make_parent_dirs(server_p->path);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::memcpy(sun.sun_path, server_p->path, sizeof(sun.sun_path));
    server_p->listener =
        evconnlistener_new_bind(g_inst->evbase, msgq_accept_cb, server_p,
                                LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE,
                                -1, reinterpret_cast<sockaddr *>(&sun), sizeof(sun));
    if (!server_p->listener) {
        MSGQ_ERR("Failed to start listener for %s", server_p->path);
        return kStartFailed;
    }
    server_p->guard = plx_listen_guard_attach(server_p->listener, g_inst->evbase, msgq_accept_cb,
                                              server_p, server_p->path, listen_log);
    if (msgq_socket_secure(server_p->path) != 0)
        MSGQ_ERR("Failed to change permission for %s", server_p->path);
    return 0;
}

// --- Receive ----------------------------------------------------------------------------------

// recv() returned n < 1: EAGAIN/EINTR end the pass; anything else closes the connection.
void read_error(msgq_handle *msgq_p, ssize_t n, int err) {
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
        return;
    if (msgq_p->in_tmp_list) {
        tmp_handle_free(msgq_p);
        return;
    }
    msgq_p->stats[MSGQ_STAT_RX_FAIL]++;
    msgq_close_conn(msgq_p, true);
}

// A peer broke the framing: the stream cannot be resynchronised, so the connection goes.
void drop_connection(msgq_handle *msgq_p) {
    if (msgq_p->in_tmp_list) {
        tmp_handle_free(msgq_p);
        return;
    }
    msgq_p->stats[MSGQ_STAT_RX_FAIL]++;
    msgq_close_conn(msgq_p, true);
}

// Delivers the completed message; returns false when the handle's connection is gone or the
// handle is being freed.
bool deliver(msgq_handle *msgq_p, uint8_t *payload, uint32_t len) {
    int fd = msgq_p->sock_fd;
    msgq_p->stats[MSGQ_STAT_RX_MSG]++;
    msgq_p->cbs.recv(msgq_p, payload, len, msgq_p->user_arg);
    return !msgq_p->free_pending && msgq_p->sock_fd == fd && msgq_p->sock_fd >= 0;
}

void msgq_read_msghdr_cb(msgq_handle *msgq_p) {
    const int flags = msgq_p->blocking ? MSG_WAITALL : MSG_DONTWAIT;
    const int64_t start = mono_ms();
    for (;;) {
        if (msgq_p->rx_bytes < MSGQ_HDR_LEN) {
            ssize_t n = recv(msgq_p->sock_fd, msgq_p->rx_hdr + msgq_p->rx_bytes,
                             MSGQ_HDR_LEN - msgq_p->rx_bytes, flags);
            if (n < 1) {
                read_error(msgq_p, n, errno);
                return;
            }
            msgq_p->rx_bytes += static_cast<uint16_t>(n);
            if (msgq_p->rx_bytes < MSGQ_HDR_LEN)
                return;

            msgq_hdr hdr;
            std::memcpy(&hdr, msgq_p->rx_hdr, sizeof(hdr));
            if (hdr.magic1 != MAGIC1 || hdr.magic2 != MAGIC2) {
                MSGQ_ERR("Bad magic (%#x/%#x) on fd '%d', closing the connection", hdr.magic1,
                         hdr.magic2, msgq_p->sock_fd);
                drop_connection(msgq_p);
                return;
            }
            if (msgq_p->in_tmp_list) {
                if (hdr.type == MSGQ_MSG_TYPE_REGISTER && hdr.size == MSGQ_HDR_LEN) {
                    msgq_p->stats[MSGQ_STAT_RX_REGISTER]++;
                    msgq_handle_register_msg(msgq_p, hdr);
                } else {
                    MSGQ_ERR(
                        "Message type %d of size %d before registration on fd '%d', "
                        "closing the connection",
                        hdr.type, hdr.size, msgq_p->sock_fd);
                    tmp_handle_free(msgq_p);
                }
                return;
            }
            if (hdr.type != MSGQ_MSG_TYPE_DATA) {
                MSGQ_ERR("Unexpected message type %d from %d on fd '%d', closing the connection",
                         hdr.type, hdr.source, msgq_p->sock_fd);
                drop_connection(msgq_p);
                return;
            }
            if (hdr.size <= MSGQ_HDR_LEN) {
                MSGQ_ERR(
                    "Bad message size (%d). Must be more than (%d). Magic1 (%d)Dropping the "
                    "message on fd '%d'",
                    hdr.size, MSGQ_HDR_LEN, hdr.magic1, msgq_p->sock_fd);
                msgq_p->rx_bytes = 0;
                return;
            }
            msgq_p->rx_msg = static_cast<uint8_t *>(msgq_p->cbs.alloc(hdr.size));
            if (!msgq_p->rx_msg)
                msgq_p->stats[MSGQ_STAT_ALLOC_FAILED]++;
            PLX_ASSERT(msgq_p->rx_msg != nullptr);
            std::memcpy(msgq_p->rx_msg, msgq_p->rx_hdr, MSGQ_HDR_LEN);
            msgq_p->stats[MSGQ_STAT_MSG_ALLOCS]++;
            msgq_p->rx_expected = hdr.size;
        }

        ssize_t n = recv(msgq_p->sock_fd, msgq_p->rx_msg + msgq_p->rx_bytes,
                         msgq_p->rx_expected - msgq_p->rx_bytes, flags);
        if (n < 1) {
            read_error(msgq_p, n, errno);
            return;
        }
        msgq_p->rx_bytes += static_cast<uint16_t>(n);
        if (msgq_p->rx_bytes < msgq_p->rx_expected)
            return;

        uint8_t *msg = msgq_p->rx_msg;
        uint32_t size = msgq_p->rx_expected;
        msgq_p->rx_msg = nullptr;
        msgq_p->rx_bytes = 0;
        msgq_p->rx_expected = 0;
        if (!deliver(msgq_p, msg + MSGQ_HDR_LEN, size - MSGQ_HDR_LEN))
            return;
        if (msgq_p->blocking)
            return;
        if (mono_ms() - start > kReadPassMs)
            return;
    }
}

void msgq_read_apphdr_cb(msgq_handle *msgq_p) {
    const int flags = msgq_p->blocking ? MSG_WAITALL : MSG_DONTWAIT;
    const uint32_t hdr_len = msgq_p->app_hdr_len;
    const int64_t start = mono_ms();
    for (;;) {
        if (msgq_p->rx_bytes < hdr_len) {
            int want = static_cast<int>(hdr_len - msgq_p->rx_bytes);
            ssize_t n = recv(msgq_p->sock_fd, msgq_p->rx_hdr + msgq_p->rx_bytes, want, flags);
            if (n < 1) {
                int err = errno;
                if (!(n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)))
                    MSGQ_ERR("Failed to peek %d bytes, errno: %d, read_bytes: %d", want,
                             n < 0 ? err : 0, static_cast<int>(n));
                read_error(msgq_p, n, err);
                return;
            }
            msgq_p->rx_bytes += static_cast<uint16_t>(n);
            if (msgq_p->rx_bytes < hdr_len)
                return;

            uint32_t size = (static_cast<uint32_t>(msgq_p->rx_hdr[msgq_p->size_offset]) << 8) |
                            msgq_p->rx_hdr[msgq_p->size_offset + 1];
            if (size <= hdr_len) {
                MSGQ_ERR(
                    "Bad message size (%u). Must be more than (%u). Closing the connection "
                    "on fd '%d'",
                    size, hdr_len, msgq_p->sock_fd);
                drop_connection(msgq_p);
                return;
            }
            msgq_p->rx_msg = static_cast<uint8_t *>(msgq_p->cbs.alloc(size));
            if (!msgq_p->rx_msg)
                msgq_p->stats[MSGQ_STAT_ALLOC_FAILED]++;
            PLX_ASSERT(msgq_p->rx_msg != nullptr);
            std::memcpy(msgq_p->rx_msg, msgq_p->rx_hdr, hdr_len);
            msgq_p->stats[MSGQ_STAT_MSG_ALLOCS]++;
            msgq_p->rx_expected = static_cast<uint16_t>(size);
        }

        int want = msgq_p->rx_expected - msgq_p->rx_bytes;
        ssize_t n = recv(msgq_p->sock_fd, msgq_p->rx_msg + msgq_p->rx_bytes, want, flags);
        if (n < 1) {
            int err = errno;
            if (!(n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)))
                MSGQ_ERR("Failed to read %d bytes, errno: %d, read_bytes: %d", want,
                         n < 0 ? err : 0, static_cast<int>(n));
            read_error(msgq_p, n, err);
            return;
        }
        msgq_p->rx_bytes += static_cast<uint16_t>(n);
        if (msgq_p->rx_bytes < msgq_p->rx_expected)
            return;

        uint8_t *msg = msgq_p->rx_msg;
        uint32_t size = msgq_p->rx_expected;
        msgq_p->rx_msg = nullptr;
        msgq_p->rx_bytes = 0;
        msgq_p->rx_expected = 0;
        if (!deliver(msgq_p, msg, size))
            return;
        if (msgq_p->blocking)
            return;
        if (mono_ms() - start > kReadPassMs)
            return;
    }
}

void msgq_read(msgq_handle *msgq_p) {
    if (msgq_p->in_tmp_list) {
        msgq_read_msghdr_cb(msgq_p);  // frees or hands over the temporary handle
        return;
    }
    CallbackGuard guard(msgq_p);
    if (msgq_p->use_app_header)
        msgq_read_apphdr_cb(msgq_p);
    else
        msgq_read_msghdr_cb(msgq_p);
}

void msgq_read_cb(evutil_socket_t, short what, void *arg) {
    auto *msgq_p = static_cast<msgq_handle *>(arg);
    if (what & EV_TIMEOUT) {
        if (msgq_p->in_tmp_list) {
            MSGQ_ERR("No registration on fd %d within %d s, closing the connection",
                     msgq_p->sock_fd, kRegisterTimeoutSec);
            tmp_handle_free(msgq_p);
        }
        return;
    }
    msgq_read(msgq_p);
}

void msgq_read_helper_cb(evutil_socket_t, short, void *arg) {
    auto *msgq_p = static_cast<msgq_handle *>(arg);
    msgq_p->read_helper_pending[msgq_p->read_helper_idx] = 0;
    msgq_p->read_helper_idx ^= 1;
    msgq_p->stats[MSGQ_STAT_RX_READ_HELPER_CB]++;
    if (msgq_p->sock_fd >= 0)
        msgq_read(msgq_p);
}

// --- Transmit ---------------------------------------------------------------------------------

void log_send_error(msgq_handle *msgq_p, int err, uint32_t size) {
    if (msgq_p->sock_type != MSGQ_SOCK_TYPE_TCP)
        return;
    MSGQ_ERR("Error in sending message to %d, err %d, msg_size is %d",
             static_cast<int>(msgq_p->target), err, static_cast<int>(size));
    if (err == EPIPE)
        MSGQ_ERR("BROKEN PIPE");
}

void msgq_flush(msgq_handle *msgq_p) {
    while (msgq_txq_entry *entry = msgq_p->txq_head) {
        size_t left = entry->size - entry->sent;
        ssize_t n =
            send(msgq_p->sock_fd, entry->buf + entry->sent, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(left)) {
            msgq_p->stats[MSGQ_STAT_TX_MSG]++;
            msgq_p->stats[MSGQ_STAT_TX_DEQUEUED]++;
            msgq_p->txq_bytes -= entry->size;
            msgq_p->txq_head = entry->next;
            if (!msgq_p->txq_head)
                msgq_p->txq_tail = nullptr;
            msgq_p->cbs.free(entry->buf);
            msgq_p->stats[MSGQ_STAT_MSG_FREES]++;
            msgq_p->cbs.free(entry);
            continue;
        }
        if (n >= 0) {
            entry->sent += static_cast<uint16_t>(n);
            msgq_p->stats[MSGQ_STAT_TX_RESCHED]++;
            break;
        }
        int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            msgq_p->stats[MSGQ_STAT_TX_RESCHED]++;
            break;
        }
        log_send_error(msgq_p, err, entry->size);
        msgq_p->stats[MSGQ_STAT_TX_FAIL]++;
        msgq_p->tx_error = 1;
        break;
    }
    if (msgq_p->txq_head) {
        uint8_t i = msgq_p->write_idx;
        if (!msgq_p->write_pending[i]) {
            event_add(msgq_p->write_ev[i], nullptr);
            msgq_p->write_pending[i] = 1;
        }
    }
}

void msgq_write_cb(evutil_socket_t, short, void *arg) {
    auto *msgq_p = static_cast<msgq_handle *>(arg);
    CallbackGuard guard(msgq_p);
    msgq_p->write_pending[msgq_p->write_idx] = 0;
    msgq_p->write_idx ^= 1;
    msgq_p->stats[MSGQ_STAT_TX_WRITE_CB]++;
    if (msgq_p->tx_error)
        msgq_close_conn(msgq_p, true);
    else
        msgq_flush(msgq_p);
}

int msgq_send_blocking(msgq_handle *msgq_p, uint8_t *buf, uint32_t size) {
    uint32_t sent = 0;
    while (sent < size) {
        ssize_t n = send(msgq_p->sock_fd, buf + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            PLX_ASSERT(err != EAGAIN);
            log_send_error(msgq_p, err, size);
            msgq_p->stats[MSGQ_STAT_TX_FAIL]++;
            // A blocking handle has no read event that would notice the loss: close here, so
            // that later writes report "not connected". The caller keeps the buffer.
            msgq_close_conn(msgq_p, true);
            return PLX_EAGAIN;
        }
        sent += static_cast<uint32_t>(n);
    }
    msgq_p->stats[MSGQ_STAT_TX_MSG]++;
    msgq_p->cbs.free(buf);
    msgq_p->stats[MSGQ_STAT_MSG_FREES]++;
    msgq_read(msgq_p);
    return 0;
}

// --- Dump -------------------------------------------------------------------------------------

struct Printer {
    msgq_print_fn print;
    void *arg;
    __attribute__((format(printf, 2, 3))) void operator()(const char *fmt, ...) const {
        char text[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(text, sizeof(text), fmt, ap);
        va_end(ap);
        print(arg, text);
    }
};

void dump_handle(const Printer &out, const msgq_handle *msgq_p) {
    out("\n  msgq_p: %p", static_cast<const void *>(msgq_p));
    out("\n    Src: %s, Tgt: %s", qrv_daemon_name(static_cast<int>(msgq_p->source)),
        qrv_daemon_name(static_cast<int>(msgq_p->target)));
    out("\n    type: %s, path:%s server_p: %p",
        msgq_p->type == MSGQ_HANDLE_TYPE_SERVER ? "SERVER" : "CLIENT", msgq_p->path,
        static_cast<const void *>(msgq_p->server));
    out("\n    register: %s, user_arg: %p, down-pending: %d", yes_no(!msgq_p->no_register),
        msgq_p->user_arg, 0);
    out("\n    fd: %d, Rd ev: %p, Wr ev[0]: %p, Wr ev[1]: %p", msgq_p->sock_fd,
        static_cast<void *>(msgq_p->read_ev), static_cast<void *>(msgq_p->write_ev[0]),
        static_cast<void *>(msgq_p->write_ev[1]));
    out("\n    Read Helper ev[0]: %p (%s), Read helper ev[1]: %p (%s), index:%d",
        static_cast<void *>(msgq_p->read_helper_ev[0]), yes_no(msgq_p->read_helper_pending[0]),
        static_cast<void *>(msgq_p->read_helper_ev[1]), yes_no(msgq_p->read_helper_pending[1]),
        msgq_p->read_helper_idx);
    out("\n    List: In Reg: %s, In Unreg: %s, In Tmp: %s", yes_no(msgq_p->in_reg_list),
        yes_no(msgq_p->in_unreg_list), yes_no(msgq_p->in_tmp_list));
    out("\n STATS:");
    for (uint32_t i = 0; i < MSGQ_STAT_COUNT; ++i)
        out("\n    %-30s %-10d", kStatNames[i], static_cast<int>(msgq_p->stats[i]));
}

void file_print(void *arg, const char *text) {
    std::fputs(text, static_cast<FILE *>(arg));
}

}  // namespace

// --- Public operations --------------------------------------------------------------------------

const char *msgq_stat_name(uint32_t stat) {
    return stat < MSGQ_STAT_COUNT ? kStatNames[stat] : "unknown";
}

msgq_instance *msgq_get_instance() {
    return g_inst;
}

msgq_log_hook_fn msgq_set_log_hook(msgq_log_hook_fn hook) {
    msgq_log_hook_fn old = g_log_hook;
    g_log_hook = hook;
    return old;
}

msgq_params msgq_local_params(event_base *evbase, timer_mgr *tmr_mgr) {
    msgq_params params{};
    params.evbase = evbase;
    params.tmr_mgr = tmr_mgr;
    params.syslog_facility = LOG_LOCAL7;
    params.sock_type = MSGQ_SOCK_TYPE_LOCAL;
    return params;
}

msgq_handle *msgq_init(uint32_t source, uint32_t target, uint32_t type, const msgq_params *params,
                       const msgq_callbacks *callbacks, void *user_arg) {
    if (source < 1 || source > QRV_MOD_MAX || target < 1 || target > QRV_MOD_MAX)
        return nullptr;
    if (!g_inst)
        instance_create(params);

    bool valid = params != nullptr && callbacks != nullptr && params->evbase != nullptr &&
                 params->evbase == g_inst->evbase &&
                 (type == MSGQ_HANDLE_TYPE_SERVER || type == MSGQ_HANDLE_TYPE_CLIENT) &&
                 (type != MSGQ_HANDLE_TYPE_CLIENT || params->tmr_mgr != nullptr) &&
                 callbacks->recv != nullptr && callbacks->reserved != nullptr &&
                 (!params->limit_flag || (params->limit >= 1 && params->limit <= 64)) &&
                 (!params->use_app_header ||
                  (params->app_hdr_len >= 1 && params->app_hdr_len <= MSGQ_MAX_APP_HDR_LEN &&
                   params->size_offset + 2u <= params->app_hdr_len));
    if (!valid) {
        MSGQ_ERR("Validation of parameters failed");
        PLX_ASSERT(valid);
    }
    if (!g_inst->tmr_mgr)
        g_inst->tmr_mgr = params->tmr_mgr;

    const bool tcp = params->sock_type == MSGQ_SOCK_TYPE_TCP;
    if (!(params->sock_type == MSGQ_SOCK_TYPE_LOCAL || (tcp && type == MSGQ_HANDLE_TYPE_CLIENT))) {
        MSGQ_ERR("Unsupported socket type");
        PLX_ASSERT(params->sock_type == MSGQ_SOCK_TYPE_LOCAL ||
                   (tcp && type == MSGQ_HANDLE_TYPE_CLIENT));
    }

    std::string path;
    if (params->path[0] != '\0') {
        path.assign(params->path, strnlen(params->path, sizeof(params->path)));
    } else {
        uint32_t named = type == MSGQ_HANDLE_TYPE_SERVER ? source : target;
        path = plx_path(std::string("/var/run/.") + qrv_daemon_name(static_cast<int>(named)));
    }
    if (path.size() >= MSGQ_PATH_LEN) {
        MSGQ_ERR("Socket path too long: %s", path.c_str());
        return nullptr;
    }

    const msgq_handle_list *lists[] = {&g_inst->reg_msgq_listhead, &g_inst->unreg_msgq_listhead,
                                       &g_inst->tmp_msgq_listhead};
    bool duplicate = false;
    msgq_handle *other;
    TAILQ_FOREACH(other, lists[0], reg_link) {
        duplicate |= same_handle(other, type, source, target, path.c_str());
    }
    TAILQ_FOREACH(other, lists[1], unreg_link) {
        duplicate |= same_handle(other, type, source, target, path.c_str());
    }
    TAILQ_FOREACH(other, lists[2], tmp_link) {
        duplicate |= same_handle(other, type, source, target, path.c_str());
    }
    if (duplicate) {
        MSGQ_ERR("Duplicate msgq_handle found");
        PLX_ASSERT(!duplicate);
    }

    auto *msgq_p = static_cast<msgq_handle *>(std::calloc(1, sizeof(msgq_handle)));
    if (!msgq_p)
        return nullptr;
    msgq_p->source = source;
    msgq_p->target = target;
    msgq_p->type = type;
    msgq_p->instance = g_inst;
    msgq_p->user_arg = user_arg;
    msgq_p->sock_fd = -1;
    msgq_p->use_app_header = params->use_app_header ? 1 : 0;
    msgq_p->no_register = (params->no_register || params->use_app_header) ? 1 : 0;
    msgq_p->blocking = (type == MSGQ_HANDLE_TYPE_CLIENT && params->blocking) ? 1 : 0;
    msgq_p->app_hdr_len = params->app_hdr_len;
    msgq_p->size_offset = params->size_offset;
    msgq_p->sock_type = params->sock_type;
    if (tcp) {
        msgq_p->port = params->port;
        std::memcpy(msgq_p->address, params->address, MSGQ_ADDR_LEN);
        msgq_p->address[MSGQ_ADDR_LEN - 1] = '\0';
    }
    std::memcpy(msgq_p->path, path.c_str(), path.size() + 1);
    msgq_p->cbs = *callbacks;
    if (!msgq_p->cbs.alloc || !msgq_p->cbs.free) {
        msgq_p->cbs.alloc = default_alloc;
        msgq_p->cbs.free = default_free;
    }
    unreg_insert(msgq_p);

    bool deinit_called;
    {
        CallbackGuard guard(msgq_p);  // a blocking client reports up before we return
        if (type == MSGQ_HANDLE_TYPE_CLIENT)
            msgq_init_start_client(msgq_p);
        else
            msgq_init_start_server(msgq_p);
        deinit_called = msgq_p->free_pending;
    }
    return deinit_called ? nullptr : msgq_p;
}

void msgq_deinit(msgq_handle *msgq_p) {
    if (!msgq_p || msgq_p->free_pending)
        return;
    PLX_ASSERT(!msgq_p->in_tmp_list);
    msgq_p->free_pending = 1;
    {
        CallbackGuard guard(msgq_p);  // a down callback must not free the record under us
        msgq_close_conn(msgq_p, false);
        unreg_remove(msgq_p);
        if (msgq_p->connect_timer) {
            timer_util_delete(msgq_p->connect_timer);
            msgq_p->connect_timer = nullptr;
        }
        server_release(msgq_p);
    }  // the guard frees the record unless an outer frame still uses it
    instance_free_if_unused();
}

uint8_t *msgq_alloc(msgq_handle *msgq_p, uint32_t len) {
    if (!msgq_p)
        return nullptr;
    const uint32_t room = msgq_p->use_app_header ? 0 : MSGQ_HDR_LEN;
    if (len > MSGQ_MAX_MSG_SIZE - room) {
        MSGQ_ERR("Message of %u bytes is larger than a message can be", len);
        msgq_p->stats[MSGQ_STAT_ALLOC_FAILED]++;
        return nullptr;
    }
    auto *buf = static_cast<uint8_t *>(msgq_p->cbs.alloc(len + room));
    if (!buf) {
        msgq_p->stats[MSGQ_STAT_ALLOC_FAILED]++;
        return nullptr;
    }
    msgq_p->stats[MSGQ_STAT_MSG_ALLOCS]++;
    if (room == 0)
        return buf;
    msgq_hdr hdr{};
    hdr.magic1 = MAGIC1;
    hdr.magic2 = MAGIC2;
    hdr.size = static_cast<uint16_t>(len + MSGQ_HDR_LEN);
    std::memcpy(buf, &hdr, sizeof(hdr));
    return buf + MSGQ_HDR_LEN;
}

void msgq_free(msgq_handle *msgq_p, uint8_t *payload) {
    if (!payload)
        return;
    PLX_ASSERT(msgq_p != nullptr);
    msgq_p->cbs.free(msgq_p->use_app_header ? payload : payload - MSGQ_HDR_LEN);
    msgq_p->stats[MSGQ_STAT_MSG_FREES]++;
}

static uint32_t msgq_size_msg_to_app(const msgq_handle *, uint32_t size) {
    return size - MSGQ_HDR_LEN;
}

int msgq_write(msgq_handle *msgq_p, uint8_t *payload, uint32_t len) {
    if (!msgq_p || !payload)
        return PLX_ECHILD;
    const uint32_t app_size = len;
    uint8_t *buf;
    uint32_t size;
    if (msgq_p->use_app_header) {
        PLX_ASSERT(len <= MSGQ_MAX_MSG_SIZE);
        buf = payload;
        size = len;
    } else {
        buf = payload - MSGQ_HDR_LEN;
        msgq_hdr hdr;
        std::memcpy(&hdr, buf, sizeof(hdr));
        auto *hdr_p = &hdr;
        PLX_ASSERT((hdr_p->magic1 == MAGIC1) && (hdr_p->magic2 == MAGIC2));
        PLX_ASSERT(hdr_p->size >= MSGQ_HDR_LEN);
        PLX_ASSERT(app_size <= msgq_size_msg_to_app(msgq_p, hdr_p->size));
        hdr.source = static_cast<uint8_t>(msgq_p->source);
        hdr.target = static_cast<uint8_t>(msgq_p->target);
        hdr.type = MSGQ_MSG_TYPE_DATA;
        hdr.size = static_cast<uint16_t>(len + MSGQ_HDR_LEN);
        std::memcpy(buf, &hdr, sizeof(hdr));
        size = len + MSGQ_HDR_LEN;
    }
    if (!msgq_is_ready(msgq_p))
        return PLX_EFAULT;
    if (msgq_p->blocking) {
        CallbackGuard guard(msgq_p);
        return msgq_send_blocking(msgq_p, buf, size);
    }
    // A peer that stops reading does not grow the daemon without bound: past the limit the
    // writer is told to try again, as when memory runs out.
    auto *entry = msgq_p->txq_bytes + size <= kMaxQueuedBytes
                      ? static_cast<msgq_txq_entry *>(msgq_p->cbs.alloc(sizeof(msgq_txq_entry)))
                      : nullptr;
    if (!entry) {
        msgq_p->stats[MSGQ_STAT_TX_QUEUE_FAILED]++;
        return PLX_EAGAIN;
    }
    entry->next = nullptr;
    entry->sent = 0;
    entry->size = static_cast<uint16_t>(size);
    entry->buf = buf;
    msgq_p->stats[MSGQ_STAT_TX_QUEUED]++;
    msgq_p->txq_bytes += size;
    if (msgq_p->txq_tail)
        msgq_p->txq_tail->next = entry;
    else
        msgq_p->txq_head = entry;
    msgq_p->txq_tail = entry;
    msgq_flush(msgq_p);
    return 0;
}

bool msgq_is_ready(const msgq_handle *msgq_p) {
    return msgq_p && msgq_p->sock_fd >= 0 && msgq_p->in_reg_list && !msgq_p->tx_error;
}

void msgq_dump_all(msgq_print_fn print, void *print_arg) {
    const Printer out{print, print_arg};
    out("\n   =============");
    out("\n   DUMPING MSGQs");
    out("\n  inst: %p", static_cast<void *>(g_inst));
    if (!g_inst)
        return;
    out("\n  event base: %p, timer: %p", static_cast<void *>(g_inst->evbase),
        static_cast<void *>(g_inst->tmr_mgr));
    msgq_handle *msgq_p;
    out("\n In Reg. list");
    TAILQ_FOREACH(msgq_p, &g_inst->reg_msgq_listhead, reg_link) dump_handle(out, msgq_p);
    out("\n In Unreg. list");
    TAILQ_FOREACH(msgq_p, &g_inst->unreg_msgq_listhead, unreg_link) dump_handle(out, msgq_p);
    out("\n In tmp list");
    TAILQ_FOREACH(msgq_p, &g_inst->tmp_msgq_listhead, tmp_link) dump_handle(out, msgq_p);
}

void msgq_dump_all(void *, FILE *out) {
    msgq_dump_all(file_print, out);
}
