#include "common/sysmgr_client.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "common/timer.h"

namespace {

int64_t wall_ms() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void send_hello(app_sysmgr_client *client) {
    uint8_t *buf = msgq_alloc(client->msgq, sizeof(sysmgr_hello_msg));
    if (!buf)
        return;
    sysmgr_hello_msg hello{};
    hello.version = SYSMGR_MSG_VERSION;
    hello.type = SYSMGR_MSG_TYPE_HELLO;
    hello.length = sizeof(sysmgr_hello_msg);
    hello.pid = static_cast<uint32_t>(client->pid);
    std::memcpy(buf, &hello, sizeof(hello));
    if (msgq_write(client->msgq, buf, sizeof(hello)) != 0) {
        msgq_free(client->msgq, buf);
        return;
    }
    client->hellos_sent++;
    client->last_hello_ms = wall_ms();
}

void hello_timer_cb(timer *, void *arg1, void *, void *, void *) {
    send_hello(static_cast<app_sysmgr_client *>(arg1));
}

void sysmgr_up(msgq_handle *, void *arg) {
    auto *client = static_cast<app_sysmgr_client *>(arg);
    send_hello(client);
    timer_enable(client->hello_timer);
}

void sysmgr_down(msgq_handle *, void *arg) {
    timer_disable(static_cast<app_sysmgr_client *>(arg)->hello_timer);
}

void sysmgr_unused(msgq_handle *, void *) {}

void sysmgr_recv(msgq_handle *msgq_p, uint8_t *payload, uint32_t len, void *arg) {
    auto *client = static_cast<app_sysmgr_client *>(arg);
    if (len >= 2 && payload[1] == SYSMGR_MSG_TYPE_NOTIFY && client->msg_cb)
        client->msg_cb(client->user_ctx, payload, len);
    msgq_free(msgq_p, payload);
}

}  // namespace

app_sysmgr_client *app_sysmgr_connect(event_base *evbase, timer_mgr *tmr_mgr, void *cb_arg,
                                      uint32_t own_module, void *user_ctx,
                                      app_sysmgr_msg_fn msg_cb) {
    auto *client = static_cast<app_sysmgr_client *>(std::calloc(1, sizeof(app_sysmgr_client)));
    if (!client)
        return nullptr;
    client->pid = getpid();
    client->user_ctx = user_ctx;
    client->msg_cb = msg_cb;
    client->cb_arg = cb_arg;

    client->hello_timer =
        timer_util_create(tmr_mgr, TIMER_PRI_HIGH, TIMER_CYCLIC, SYSMGR_HELLO_INTERVAL_MS,
                          hello_timer_cb, client, nullptr, nullptr, nullptr, "sysmgr-hello");
    if (!client->hello_timer) {
        std::free(client);
        return nullptr;
    }

    msgq_params params = msgq_local_params(evbase, tmr_mgr);
    msgq_callbacks callbacks{};
    callbacks.up = sysmgr_up;
    callbacks.down = sysmgr_down;
    callbacks.reserved = sysmgr_unused;
    callbacks.recv = sysmgr_recv;
    client->msgq =
        msgq_init(own_module, QRV_MOD_SYSMGR, MSGQ_HANDLE_TYPE_CLIENT, &params, &callbacks, client);
    if (!client->msgq) {
        PLX_LOG("Module %s .. msgq_init FAILED", own_module <= QRV_MOD_MAX
                                                     ? qrv_daemon_name(static_cast<int>(own_module))
                                                     : "unknown");
        timer_util_delete(client->hello_timer);
        std::free(client);
        return nullptr;
    }
    return client;
}

void app_sysmgr_close(app_sysmgr_client *client) {
    if (!client)
        return;
    msgq_deinit(client->msgq);
    client->msgq = nullptr;
    timer_util_delete(client->hello_timer);
    client->hello_timer = nullptr;
    std::free(client);
}

int64_t app_sysmgr_last_hello_ms(const app_sysmgr_client *client) {
    return client ? client->last_hello_ms : 0;
}
