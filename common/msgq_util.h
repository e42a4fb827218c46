// Message-queue transport: point-to-point message links between the router's daemons over local
// stream sockets (clients may also use IPv4 TCP), driven by one libevent base and the process's
// timer manager.
//
// A queue handle is a pair (own module id, peer module id) with a role. A server handle shares a
// listening socket ("/var/run/.<own daemon>") with the other server handles of that path and is
// matched to an incoming connection by the registration message the peer sends first. A client
// handle connects to "/var/run/.<peer daemon>" and retries every 500 ms after every loss.
//
// Only the daemon's own user, root and the router's group reach a server (common/msgq_access.h);
// an accepted connection must register within 5 s, at most 64 wait to register at once, and a
// registration for a link that is up is refused (the live link is never taken over), and at most
// 16 MiB wait in a handle's send queue (msgq_write returns PLX_MSGQ_QUEUE_FULL beyond). A failing
// accept() pauses the listener for a second; error lines are rate-limited per source line.
//
// Every message carries an 8-byte transport header in front of its payload. Buffers come from
// msgq_alloc() so that the header room sits in front of the payload. Ownership:
//   - msgq_write() returning PLX_OK takes the buffer: the queue frees it once sent (or dropped
//     when the connection is lost). On any other result the caller still owns it and frees it
//     with msgq_free().
//   - The receive callback gets a payload that it must release with msgq_free().
//
// Writes never block a non-blocking handle: messages are queued and drained on writability by two
// alternating one-shot write events. Sends use MSG_NOSIGNAL, so a peer that went away makes them
// fail with EPIPE instead of raising SIGPIPE.
//
// App-header mode: the peer speaks its own framing (a header of app_hdr_len bytes with a
// big-endian 16-bit total size at size_offset); there is no transport header and no
// registration, and the receive callback gets whole messages including the peer's header.
//
// Single-threaded: every call and callback runs on the event-loop thread.
#pragma once

#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct event;
struct event_base;
struct evconnlistener;
struct plx_listen_guard;
struct timer;
struct timer_mgr;

// --- Wire format ------------------------------------------------------------------------------

inline constexpr uint16_t MAGIC1 = 0xBEAF;
inline constexpr uint8_t MAGIC2 = 0x0C;

inline constexpr uint8_t MSGQ_MSG_TYPE_REGISTER = 1;
inline constexpr uint8_t MSGQ_MSG_TYPE_DATA = 2;

// Transport header, host byte order, in front of every message.
struct msgq_hdr {
    uint16_t magic1;  // MAGIC1
    uint16_t size;    // header + payload in bytes
    uint8_t source;   // module id of the sender
    uint8_t target;   // module id of the receiver
    uint8_t type;     // MSGQ_MSG_TYPE_*
    uint8_t magic2;   // MAGIC2
};
static_assert(sizeof(msgq_hdr) == 8);
static_assert(offsetof(msgq_hdr, magic1) == 0 && offsetof(msgq_hdr, size) == 2 &&
              offsetof(msgq_hdr, source) == 4 && offsetof(msgq_hdr, target) == 5 &&
              offsetof(msgq_hdr, type) == 6 && offsetof(msgq_hdr, magic2) == 7);

inline constexpr uint32_t MSGQ_HDR_LEN = sizeof(msgq_hdr);
inline constexpr uint32_t MSGQ_MAX_MSG_SIZE = 65535;  // header included
inline constexpr uint32_t MSGQ_MAX_PAYLOAD = MSGQ_MAX_MSG_SIZE - MSGQ_HDR_LEN;
inline constexpr uint32_t MSGQ_MAX_APP_HDR_LEN = 64;

// --- Parameters and callbacks -----------------------------------------------------------------

inline constexpr uint32_t MSGQ_HANDLE_TYPE_SERVER = 1;
inline constexpr uint32_t MSGQ_HANDLE_TYPE_CLIENT = 2;

// Socket types; the value is used as the socket domain.
inline constexpr uint32_t MSGQ_SOCK_TYPE_LOCAL = 1;  // AF_UNIX
inline constexpr uint32_t MSGQ_SOCK_TYPE_TCP = 2;    // AF_INET, clients only

inline constexpr uint32_t MSGQ_CONNECT_INTERVAL_MS = 500;
inline constexpr size_t MSGQ_ADDR_LEN = 128;
// Socket paths hold a whole sun_path, so that redirected roots (PLX_ROOT) still fit.
inline constexpr size_t MSGQ_PATH_LEN = sizeof(sockaddr_un::sun_path);

// Handed to msgq_init(): zero it, then fill it.
struct msgq_params {
    event_base *evbase;      // required
    timer_mgr *tmr_mgr;      // required for clients
    uint8_t no_register;     // the client sends no registration message
    uint8_t use_app_header;  // app-header mode (implies no registration)
    uint8_t app_hdr_len;     // app-header mode: bytes of the peer's header (1..64)
    uint8_t size_offset;     // app-header mode: offset of the big-endian u16 size in it
    uint32_t limit_flag;     // when set, limit must lie in 1..64
    uint32_t limit;
    uint32_t syslog_facility;     // facility of the error lines (plxd: LOG_LOCAL7)
    uint32_t sock_type;           // MSGQ_SOCK_TYPE_*
    uint32_t port;                // TCP clients: port
    char address[MSGQ_ADDR_LEN];  // TCP clients: dotted IPv4 address
    char path[MSGQ_PATH_LEN];     // empty: "/var/run/.<daemon>" (redirected by PLX_ROOT)
    // Clients only: msgq_init() connects synchronously (retrying every 500 ms until the peer
    // listens), and msgq_write() sends synchronously and then waits for one reply message, which
    // it delivers to the receive callback before returning. A blocking handle is not reconnected
    // after a loss.
    uint8_t blocking;
};

// Parameters of a queue over local stream sockets on this event base and timer manager, with
// its error lines at LOG_LOCAL7 (what the router's daemons use); everything else zero.
msgq_params msgq_local_params(event_base *evbase, timer_mgr *tmr_mgr);

// A queue handle: opaque, owned by the transport, read through the functions below.
struct msgq_handle;
// The process's transport instance (opaque).
struct msgq_instance;

using msgq_conn_fn = void (*)(msgq_handle *msgq_p, void *user_arg);
using msgq_recv_fn = void (*)(msgq_handle *msgq_p, uint8_t *payload, uint32_t len, void *user_arg);
using msgq_alloc_fn = void *(*)(size_t size);
using msgq_free_fn = void (*)(void *p);

// Six callbacks, in this order. up, down, alloc and free may be null (alloc/free default to
// zeroing calloc and free). `reserved` must be given but is never called.
struct msgq_callbacks {
    msgq_conn_fn up;        // connection up (registered)
    msgq_conn_fn down;      // connection lost
    msgq_conn_fn reserved;  // required, never called
    msgq_recv_fn recv;      // message received; release the payload with msgq_free()
    msgq_alloc_fn alloc;    // every message buffer and queue entry of the handle
    msgq_free_fn free;
};

// --- Statistics -------------------------------------------------------------------------------

enum msgq_stat : uint32_t {
    MSGQ_STAT_TX_MSG,
    MSGQ_STAT_TX_FAIL,
    MSGQ_STAT_RX_MSG,
    MSGQ_STAT_RX_FAIL,
    MSGQ_STAT_TX_RESCHED,
    MSGQ_STAT_TX_WRITE_CB,
    MSGQ_STAT_RX_REGISTER,
    MSGQ_STAT_TX_REGISTER,
    MSGQ_STAT_CONN_UP,
    MSGQ_STAT_CONN_DOWN,
    MSGQ_STAT_CONN_CLOSE,
    MSGQ_STAT_CONN_EXIST,
    MSGQ_STAT_MSG_ALLOCS,
    MSGQ_STAT_MSG_FREES,
    MSGQ_STAT_ALLOC_FAILED,
    MSGQ_STAT_TX_QUEUED,
    MSGQ_STAT_TX_DEQUEUED,
    MSGQ_STAT_TX_QUEUE_FAILED,
    MSGQ_STAT_RX_READ_HELPER_CB,
    MSGQ_STAT_RX_READ_HELPER_SCHEDULED,
    MSGQ_STAT_COUNT
};

// "tx_msg", "tx_fail", ... (the names printed by msgq_dump_all).
const char *msgq_stat_name(uint32_t stat);

// --- Operations -------------------------------------------------------------------------------

// Creates a handle (source and target in 1..164) and starts it: a client begins connecting
// (first attempt after 500 ms, or at once and synchronously when blocking), a server listens.
// Returns null for identifiers out of range or when out of memory. Bad parameters and duplicate
// handles are programming errors and stop the process.
msgq_handle *msgq_init(uint32_t source, uint32_t target, uint32_t type, const msgq_params *params,
                       const msgq_callbacks *callbacks, void *user_arg);

// Closes the connection (no down callback is lost: a registered handle reports down) and frees
// the handle. Safe inside the handle's own callbacks.
void msgq_deinit(msgq_handle *msgq_p);

// Payload buffer of len bytes with room for the header in front; null when out of memory or
// when len exceeds what a header can describe.
uint8_t *msgq_alloc(msgq_handle *msgq_p, uint32_t len);

// Releases a payload from msgq_alloc() or from the receive callback.
void msgq_free(msgq_handle *msgq_p, uint8_t *payload);

// Sends len bytes of payload. PLX_OK: the queue owns the buffer. Otherwise the caller keeps it:
// PLX_MSGQ_BAD_ARGS (no handle or no buffer), PLX_MSGQ_NOT_CONNECTED (the link is down, or a
// transmit error is closing it), PLX_MSGQ_QUEUE_FULL (16 MiB already wait, or no queue entry
// could be had; for a blocking handle: the send failed and the link was dropped). See
// common/plx_status.h.
int msgq_write(msgq_handle *msgq_p, uint8_t *payload, uint32_t len);

// Connected and no transmit error pending.
bool msgq_is_ready(const msgq_handle *msgq_p);

// Statistic counter of a handle.
uint32_t msgq_get_stat(const msgq_handle *msgq_p, msgq_stat stat);

// Module ids of the handle's own end and of its peer.
uint32_t msgq_source(const msgq_handle *msgq_p);
uint32_t msgq_target(const msgq_handle *msgq_p);

// The handle has a connected socket (registered or not, transmit error or not).
bool msgq_is_connected(const msgq_handle *msgq_p);

// A server handle whose listening socket is open (false for clients).
bool msgq_is_listening(const msgq_handle *msgq_p);

// Bytes waiting in the handle's send queue (0 once everything written was sent).
uint32_t msgq_queued_bytes(const msgq_handle *msgq_p);

// Accepted connections of this process that have not registered yet.
unsigned msgq_unregistered_count();

// The process's instance (null before the first msgq_init and after the last msgq_deinit).
msgq_instance *msgq_get_instance();

// Admin-tech dump of every handle: the text goes to print (one chunk at a time, each starting
// with its "\n"), or to a stream.
using msgq_print_fn = void (*)(void *print_arg, const char *text);
void msgq_dump_all(msgq_print_fn print, void *print_arg);
void msgq_dump_all(void *cli_user, FILE *out);

// Error lines ("[MSG-ERR] <function>[<line>]: text") go to syslog at the instance's facility,
// priority LOG_DEBUG. A hook, when set, receives every such line as well (tests, peers that log
// to their console). Returns the previous hook.
using msgq_log_hook_fn = void (*)(const char *line);
msgq_log_hook_fn msgq_set_log_hook(msgq_log_hook_fn hook);
