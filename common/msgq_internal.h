// Inside the message-queue transport: the records behind the opaque queue handle and the routines
// the transport's files share. Only the transport and its tests include this header; everybody
// else goes through common/msgq_util.h.
//
// The transport's files, by responsibility:
//   msgq_handle.cpp   the process's instance, handle lists, msgq_init/msgq_deinit, connection
//                     set-up and teardown, accessors
//   msgq_client.cpp   connecting a client (local or TCP), the 500 ms retry timer
//   msgq_server.cpp   shared listeners, accepting, registration of accepted connections
//   msgq_rx.cpp       receive framing (transport header or the peer's own header)
//   msgq_tx.cpp       transmit framing, the write events, blocking sends
//   msgq_buffers.cpp  message buffers with header room, the send queue
//   msgq_diag.cpp     error lines, statistic names, the dump
#pragma once

#include <event2/util.h>
#include <sys/queue.h>

#include <cstdint>
#include <cstdlib>

#include "common/msgq_util.h"

struct msgq_instance;
struct msgq_server;

// One queued outgoing message. buf is the whole message (header included).
struct msgq_txq_entry {
    msgq_txq_entry *next;
    uint16_t sent;  // bytes already sent
    uint16_t size;  // bytes of the message
    uint8_t *buf;
};

// A queue handle.
struct msgq_handle {
    uint32_t source;
    uint32_t target;
    uint32_t type;  // MSGQ_HANDLE_TYPE_*
    msgq_instance *instance;
    msgq_server *server;  // server handles: the shared listener record
    int sock_fd;          // connected socket, -1 when not connected
    TAILQ_ENTRY(msgq_handle) reg_link;
    TAILQ_ENTRY(msgq_handle) unreg_link;
    TAILQ_ENTRY(msgq_handle) tmp_link;
    timer *connect_timer;  // clients: the 500 ms "msgq-timer"
    msgq_callbacks cbs;
    uint8_t no_register : 1;
    uint8_t in_reg_list : 1;
    uint8_t in_unreg_list : 1;
    uint8_t in_tmp_list : 1;
    uint8_t use_app_header : 1;
    uint8_t blocking : 1;
    uint8_t tx_error : 1;  // the connection is to be closed
    uint8_t : 1;
    uint8_t size_offset;
    uint8_t app_hdr_len;
    event *read_ev;
    // Receive state: the header (transport or peer), bytes of the current message received so
    // far, its expected size and its buffer once the header is complete.
    uint8_t rx_hdr[MSGQ_MAX_APP_HDR_LEN];
    uint16_t rx_bytes;
    uint16_t rx_expected;
    uint8_t *rx_msg;
    event *write_ev[2];
    uint8_t write_pending[2];
    uint8_t write_idx;
    event *read_helper_ev[2];
    uint8_t read_helper_pending[2];
    uint8_t read_helper_idx;
    void *user_arg;
    uint32_t sock_type;
    uint32_t port;
    char address[MSGQ_ADDR_LEN];
    char path[MSGQ_PATH_LEN];
    msgq_txq_entry *txq_head;
    msgq_txq_entry *txq_tail;
    uint32_t txq_bytes;  // bytes of the queued messages (at most 16 MiB)
    uint32_t stats[MSGQ_STAT_COUNT];
    // Re-entrancy guard: callbacks may deinit the handle; its memory is released only once the
    // transport's own frames have unwound.
    uint16_t cb_depth;
    uint8_t free_pending;
};

TAILQ_HEAD(msgq_handle_list, msgq_handle);

// A listening socket shared by the server handles of one path.
struct msgq_server {
    msgq_instance *instance;
    uint32_t source;
    uint8_t listener_apphdr;  // app-header mode
    char path[MSGQ_PATH_LEN];
    evconnlistener *listener;
    plx_listen_guard *guard;             // pauses the listener when accept() fails
    msgq_handle *apphead_msgq_handle_p;  // the one handle of an app-header server
    uint32_t refcnt;                     // server handles sharing the path
    TAILQ_ENTRY(msgq_server) link;
};

TAILQ_HEAD(msgq_server_list, msgq_server);

// One per process, created by the first msgq_init() and freed with the last handle.
struct msgq_instance {
    msgq_handle_list reg_msgq_listhead;
    msgq_handle_list unreg_msgq_listhead;
    msgq_handle_list tmp_msgq_listhead;
    msgq_server_list server_listhead;
    event_base *evbase;
    timer_mgr *tmr_mgr;
    uint32_t syslog_facility;
};

namespace msgq_detail {

// The process's instance (null while no handle exists).
extern msgq_instance *g_inst;

// Results of the start routines; msgq_init() returns the handle whatever they say.
inline constexpr int kStartFailed = 1;
inline constexpr int kServerListening = 6;

// An accepted connection must register within this time, and at most this many may be waiting
// to register at once: idle or slow connections cannot hold the daemon's descriptors.
inline constexpr int kRegisterTimeoutSec = 5;
inline constexpr unsigned kMaxUnregistered = 64;

// Unsent bytes a handle may queue for a peer that does not read.
inline constexpr uint32_t kMaxQueuedBytes = 16u << 20;

// --- Diagnostics (msgq_diag.cpp) ---

// "[MSG-ERR] <func>[<line>]: text" to syslog, the console (debug flag) and the log hook,
// rate-limited per source line.
__attribute__((format(printf, 3, 4))) void msgq_log_err(const char *func, int line, const char *fmt,
                                                        ...);
#define MSGQ_ERR(...) msgq_detail::msgq_log_err(__func__, __LINE__, __VA_ARGS__)

// --- Handles and connections (msgq_handle.cpp) ---

void unreg_insert(msgq_handle *msgq_p);
void unreg_remove(msgq_handle *msgq_p);
void tmp_insert(msgq_handle *msgq_p);
// Frees a temporary handle (an accepted connection that has not registered) and its socket.
void tmp_handle_free(msgq_handle *tmp_p);

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

// Closes the connection of a handle. A registered handle goes back to the unregistered list and
// reports down; with restart, a client tries again 500 ms later.
void msgq_close_conn(msgq_handle *msgq_p, bool restart);
// Creates the events of a freshly connected socket. Returns false when they cannot all be had.
bool setup_conn_events(msgq_handle *msgq_p);
// The handle's connection is set up and registered: report it.
void conn_up(msgq_handle *msgq_p);
// A handle of this type between these modules on this socket path.
bool same_handle(const msgq_handle *h, uint32_t type, uint32_t source, uint32_t target,
                 const char *path);

// --- Client side (msgq_client.cpp) ---

// Starts connecting: synchronously for a blocking client, else through the retry timer.
int msgq_init_start_client(msgq_handle *msgq_p);

// --- Server side (msgq_server.cpp) ---

// Joins (or opens) the listener of the handle's path.
int msgq_init_start_server(msgq_handle *msgq_p);
// Leaves the handle's listener; the last handle closes it and removes the socket file.
void server_release(msgq_handle *msgq_p);
// A registration arrived on a temporary handle: give its socket to the matching local handle.
void msgq_handle_register_msg(msgq_handle *tmp_p, const msgq_hdr &hdr);

// --- Receive (msgq_rx.cpp) ---

// Reads what the socket has (one message for a blocking handle).
void msgq_read(msgq_handle *msgq_p);
void msgq_read_cb(evutil_socket_t fd, short what, void *arg);
void msgq_read_helper_cb(evutil_socket_t fd, short what, void *arg);

// --- Transmit (msgq_tx.cpp) ---

void msgq_write_cb(evutil_socket_t fd, short what, void *arg);

// --- Buffers and the send queue (msgq_buffers.cpp) ---

void *default_alloc(size_t size);
void default_free(void *p);
// Appends a whole message (header included) to the send queue. False, with the caller still
// owning buf, when the queue is at its limit or the entry cannot be allocated.
bool txq_append(msgq_handle *msgq_p, uint8_t *buf, uint32_t size);
// Frees the head entry and its message once sent.
void txq_pop(msgq_handle *msgq_p);
// Drops every queued message and a partly received one.
void drop_buffers(msgq_handle *msgq_p);

}  // namespace msgq_detail
