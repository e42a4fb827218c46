// Receive side of the message-queue transport: reassembles messages from the stream, framed by
// the transport header (checked: magic, type, size) or, in app-header mode, by the peer's own
// header with its big-endian size. A registration on an accepted connection goes to the server
// side; anything else a peer sends before registering, or a broken frame, ends its connection.
#include <event2/event.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "common/msgq_internal.h"
#include "common/plx_log.h"

namespace msgq_detail {
namespace {

// A read pass stops once more than this much wall time went by, so that other events get a turn.
constexpr int64_t kReadPassMs = 1000;

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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

bool would_block(ssize_t n, int err) {
    return n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR);
}

// recv() returned n < 1: EAGAIN/EINTR end the pass; anything else closes the connection.
void read_error(msgq_handle *msgq_p, ssize_t n, int err) {
    if (!would_block(n, err))
        drop_connection(msgq_p);
}

// The same for a peer with its own framing, which also gets a line ("peek" of the header or
// "read" of the body).
void apphdr_read_error(msgq_handle *msgq_p, ssize_t n, int err, const char *what, int want) {
    if (!would_block(n, err))
        MSGQ_ERR("Failed to %s %d bytes, errno: %d, read_bytes: %d", what, want, n < 0 ? err : 0,
                 static_cast<int>(n));
    read_error(msgq_p, n, err);
}

// Delivers the completed message; returns false when the handle's connection is gone or the
// handle is being freed.
bool deliver(msgq_handle *msgq_p, uint8_t *payload, uint32_t len) {
    int fd = msgq_p->sock_fd;
    msgq_p->stats[MSGQ_STAT_RX_MSG]++;
    msgq_p->cbs.recv(msgq_p, payload, len, msgq_p->user_arg);
    return !msgq_p->free_pending && msgq_p->sock_fd == fd && msgq_p->sock_fd >= 0;
}

// The header is complete: a buffer for the whole message of `size` bytes, starting with it.
void start_body(msgq_handle *msgq_p, uint32_t hdr_len, uint32_t size) {
    msgq_p->rx_msg = static_cast<uint8_t *>(msgq_p->cbs.alloc(size));
    if (!msgq_p->rx_msg)
        msgq_p->stats[MSGQ_STAT_ALLOC_FAILED]++;
    PLX_ASSERT(msgq_p->rx_msg != nullptr);
    std::memcpy(msgq_p->rx_msg, msgq_p->rx_hdr, hdr_len);
    msgq_p->stats[MSGQ_STAT_MSG_ALLOCS]++;
    msgq_p->rx_expected = static_cast<uint16_t>(size);
}

// Reads more of the current message and delivers it once complete (the payload starts
// payload_offset bytes in). True when a message was delivered and the pass may go on.
bool read_body(msgq_handle *msgq_p, int flags, uint32_t payload_offset) {
    const int want = msgq_p->rx_expected - msgq_p->rx_bytes;
    ssize_t n = recv(msgq_p->sock_fd, msgq_p->rx_msg + msgq_p->rx_bytes, want, flags);
    if (n < 1) {
        if (msgq_p->use_app_header)
            apphdr_read_error(msgq_p, n, errno, "read", want);
        else
            read_error(msgq_p, n, errno);
        return false;
    }
    msgq_p->rx_bytes += static_cast<uint16_t>(n);
    if (msgq_p->rx_bytes < msgq_p->rx_expected)
        return false;
    uint8_t *msg = msgq_p->rx_msg;
    const uint32_t size = msgq_p->rx_expected;
    msgq_p->rx_msg = nullptr;
    msgq_p->rx_bytes = 0;
    msgq_p->rx_expected = 0;
    return deliver(msgq_p, msg + payload_offset, size - payload_offset);
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
            start_body(msgq_p, MSGQ_HDR_LEN, hdr.size);
        }

        if (!read_body(msgq_p, flags, MSGQ_HDR_LEN))
            return;
        if (msgq_p->blocking || mono_ms() - start > kReadPassMs)
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
                apphdr_read_error(msgq_p, n, errno, "peek", want);
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
            start_body(msgq_p, hdr_len, size);
        }

        if (!read_body(msgq_p, flags, 0))
            return;
        if (msgq_p->blocking || mono_ms() - start > kReadPassMs)
            return;
    }
}

}  // namespace

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

}  // namespace msgq_detail
