// Link to the system-manager daemon (module 7): a client message queue over which a daemon sends
// a hello every second while connected, so that the system manager knows it is alive.
//
// On every connection a hello goes out at once and the cyclic 1000 ms high-priority timer
// "sysmgr-hello" is enabled; when the connection is lost the timer is disabled until the next
// connection. Messages of type 4 from the system manager are handed to the optional message
// callback.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct event_base;
struct msgq_handle;
struct timer;
struct timer_mgr;

inline constexpr uint8_t SYSMGR_MSG_VERSION = 1;
inline constexpr uint8_t SYSMGR_MSG_TYPE_HELLO = 1;
inline constexpr uint8_t SYSMGR_MSG_TYPE_NOTIFY = 4;  // system manager -> daemon
inline constexpr uint32_t SYSMGR_HELLO_INTERVAL_MS = 1000;

// Hello payload (after the transport header), host byte order. All other bytes are zero.
struct sysmgr_hello_msg {
    uint8_t version;  // SYSMGR_MSG_VERSION
    uint8_t type;     // SYSMGR_MSG_TYPE_HELLO
    uint16_t length;  // sizeof(sysmgr_hello_msg) = 32
    uint32_t reserved;
    uint32_t pid;  // process id of the sender
    uint8_t pad[20];
};
static_assert(sizeof(sysmgr_hello_msg) == 32);
static_assert(offsetof(sysmgr_hello_msg, version) == 0 && offsetof(sysmgr_hello_msg, type) == 1 &&
              offsetof(sysmgr_hello_msg, length) == 2 && offsetof(sysmgr_hello_msg, pid) == 8);

// Called with the user context and a message of type 4 (payload and its length); the message
// is released after the call returns.
using app_sysmgr_msg_fn = void (*)(void *user_ctx, const uint8_t *msg, uint32_t len);

struct app_sysmgr_client {
    msgq_handle *msgq;
    timer *hello_timer;
    pid_t pid;
    void *user_ctx;
    app_sysmgr_msg_fn msg_cb;
    void *cb_arg;
    int64_t last_hello_ms;  // wall-clock time of the last hello sent (ms since the epoch), 0: none
    uint32_t hellos_sent;
};

// Connects the daemon with module id own_module to the system manager. Returns the client, or
// null when the hello timer or the queue cannot be created (logs "Module %s .. msgq_init FAILED").
app_sysmgr_client *app_sysmgr_connect(event_base *evbase, timer_mgr *tmr_mgr, void *cb_arg,
                                      uint32_t own_module, void *user_ctx,
                                      app_sysmgr_msg_fn msg_cb);

// Closes the queue, deletes the hello timer and frees the client. Accepts null.
void app_sysmgr_close(app_sysmgr_client *client);

// Wall-clock time of the last hello (ms since the epoch), 0 when none was sent yet.
int64_t app_sysmgr_last_hello_ms(const app_sysmgr_client *client);
