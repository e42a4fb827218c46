// Client side of the message-queue transport: connecting to the peer's local socket (or an IPv4
// TCP address), sending the registration, and retrying every 500 ms until the peer listens.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/msgq_internal.h"
#include "common/plx_log.h"
#include "common/timer.h"

namespace msgq_detail {
namespace {

// Time-out of a TCP connect in progress.
constexpr int kTcpConnectTimeoutSec = 5;

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

}  // namespace

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

}  // namespace msgq_detail
