// Server side of the message-queue transport: one listening socket per path, shared by the
// server handles of that path. An accepted connection waits on a temporary handle until its
// registration names the local handle it belongs to (at most 5 s, at most 64 at once); in
// app-header mode the one handle of the listener takes every connection at once.
#include <event2/event.h>
#include <event2/listener.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/msgq_access.h"
#include "common/msgq_internal.h"
#include "common/plx_listen_guard.h"
#include "common/plx_log.h"
#include "common/plx_paths.h"

namespace msgq_detail {
namespace {

msgq_server *server_find(const char *path) {
    msgq_server *server_p;
    TAILQ_FOREACH(server_p, &g_inst->server_listhead, link) {
        if (std::strncmp(server_p->path, path, MSGQ_PATH_LEN) == 0)
            return server_p;
    }
    return nullptr;
}

// Hands a connected socket to a server handle, replacing a dead connection.
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

void msgq_accept_cb(evconnlistener *, evutil_socket_t fd, sockaddr *, int, void *arg) {
    auto *server_p = static_cast<msgq_server *>(arg);
    char why[128];
    if (!msgq_peer_allowed(fd, why, sizeof why)) {
        MSGQ_ERR("Connection to %s from %s refused", server_p->path, why);
        close(fd);
        return;
    }
    if (!server_p->listener_apphdr && msgq_unregistered_count() >= kMaxUnregistered) {
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

}  // namespace

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
    if (!msgq_socket_secure(server_p->path))
        MSGQ_ERR("Failed to change permission for %s", server_p->path);
    return 0;
}

}  // namespace msgq_detail
