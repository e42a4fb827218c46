// Queue handles of the message-queue transport: the process's instance and its handle lists
// (registered, unregistered, and temporary handles of accepted connections that have not
// registered), creating and freeing handles, and setting up and tearing down a handle's
// connection.
#include <event2/event.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/msgq_internal.h"
#include "common/plx_log.h"
#include "common/plx_paths.h"
#include "common/qrv_util.h"
#include "common/timer.h"

namespace msgq_detail {

msgq_instance *g_inst = nullptr;

// Adding a handle to, and taking it off, one of the instance's lists (registered, unregistered,
// temporary): a handle is on one list at a time.
#define MSGQ_LIST_OPS(list)                                                                 \
    void list##_insert(msgq_handle *msgq_p) {                                               \
        PLX_ASSERT(!msgq_p->in_reg_list && !msgq_p->in_unreg_list && !msgq_p->in_tmp_list); \
        TAILQ_INSERT_TAIL(&g_inst->list##_msgq_listhead, msgq_p, list##_link);              \
        msgq_p->in_##list##_list = 1;                                                       \
    }                                                                                       \
    void list##_remove(msgq_handle *msgq_p) {                                               \
        PLX_ASSERT(msgq_p->in_##list##_list);                                               \
        TAILQ_REMOVE(&g_inst->list##_msgq_listhead, msgq_p, list##_link);                   \
        msgq_p->in_##list##_list = 0;                                                       \
    }
MSGQ_LIST_OPS(reg)
MSGQ_LIST_OPS(unreg)
MSGQ_LIST_OPS(tmp)
#undef MSGQ_LIST_OPS

namespace {

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

// A handle of this type between these modules on this socket path exists already.
bool handle_exists(uint32_t type, uint32_t source, uint32_t target, const char *path) {
    msgq_handle *other;
    TAILQ_FOREACH(other, &g_inst->reg_msgq_listhead, reg_link) {
        if (same_handle(other, type, source, target, path))
            return true;
    }
    TAILQ_FOREACH(other, &g_inst->unreg_msgq_listhead, unreg_link) {
        if (same_handle(other, type, source, target, path))
            return true;
    }
    TAILQ_FOREACH(other, &g_inst->tmp_msgq_listhead, tmp_link) {
        if (same_handle(other, type, source, target, path))
            return true;
    }
    return false;
}

}  // namespace

void tmp_handle_free(msgq_handle *tmp_p) {
    tmp_remove(tmp_p);
    if (tmp_p->read_ev)
        event_free(tmp_p->read_ev);
    if (tmp_p->sock_fd >= 0)
        close(tmp_p->sock_fd);
    std::free(tmp_p);
}

void msgq_close_conn(msgq_handle *msgq_p, bool restart) {
    PLX_ASSERT(!msgq_p->in_tmp_list);
    msgq_p->stats[MSGQ_STAT_CONN_CLOSE]++;
    msgq_p->tx_error = 0;
    free_events(msgq_p);
    drop_buffers(msgq_p);
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

void conn_up(msgq_handle *msgq_p) {
    unreg_remove(msgq_p);
    reg_insert(msgq_p);
    msgq_p->stats[MSGQ_STAT_CONN_UP]++;
    if (msgq_p->cbs.up) {
        CallbackGuard guard(msgq_p);
        msgq_p->cbs.up(msgq_p, msgq_p->user_arg);
    }
}

bool same_handle(const msgq_handle *h, uint32_t type, uint32_t source, uint32_t target,
                 const char *path) {
    return h->type == type && h->source == source && h->target == target &&
           std::strncmp(h->path, path, MSGQ_PATH_LEN) == 0;
}

}  // namespace msgq_detail

using namespace msgq_detail;

msgq_instance *msgq_get_instance() {
    return g_inst;
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

    const bool duplicate = handle_exists(type, source, target, path.c_str());
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

bool msgq_is_ready(const msgq_handle *msgq_p) {
    return msgq_p && msgq_p->sock_fd >= 0 && msgq_p->in_reg_list && !msgq_p->tx_error;
}

uint32_t msgq_get_stat(const msgq_handle *msgq_p, msgq_stat stat) {
    return msgq_p->stats[stat];
}

uint32_t msgq_source(const msgq_handle *msgq_p) {
    return msgq_p->source;
}

uint32_t msgq_target(const msgq_handle *msgq_p) {
    return msgq_p->target;
}

bool msgq_is_connected(const msgq_handle *msgq_p) {
    return msgq_p->sock_fd >= 0;
}

bool msgq_is_listening(const msgq_handle *msgq_p) {
    return msgq_p->server != nullptr && msgq_p->server->listener != nullptr;
}

uint32_t msgq_queued_bytes(const msgq_handle *msgq_p) {
    return msgq_p->txq_bytes;
}

unsigned msgq_unregistered_count() {
    unsigned n = 0;
    if (!g_inst)
        return 0;
    msgq_handle *h;
    TAILQ_FOREACH(h, &g_inst->tmp_msgq_listhead, tmp_link) {
        ++n;
    }
    return n;
}
