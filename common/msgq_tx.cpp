// Transmit side of the message-queue transport: the transport header of an outgoing message,
// draining the send queue on writability through two alternating one-shot write events, and the
// synchronous send of a blocking client.
#include <event2/event.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/msgq_internal.h"
#include "common/plx_log.h"
#include "common/plx_status.h"

namespace msgq_detail {
namespace {

void log_send_error(msgq_handle *msgq_p, int err, uint32_t size) {
    if (msgq_p->sock_type != MSGQ_SOCK_TYPE_TCP)
        return;
    MSGQ_ERR("Error in sending message to %d, err %d, msg_size is %d",
             static_cast<int>(msgq_p->target), err, static_cast<int>(size));
    if (err == EPIPE)
        MSGQ_ERR("BROKEN PIPE");
}

// Sends what the socket takes from the head of the queue; arms the next write event while
// anything is left. A failed send marks the handle, and the write event closes the connection.
void msgq_flush(msgq_handle *msgq_p) {
    while (msgq_txq_entry *entry = msgq_p->txq_head) {
        size_t left = entry->size - entry->sent;
        ssize_t n =
            send(msgq_p->sock_fd, entry->buf + entry->sent, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(left)) {
            msgq_p->stats[MSGQ_STAT_TX_MSG]++;
            txq_pop(msgq_p);
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
            return PLX_MSGQ_QUEUE_FULL;
        }
        sent += static_cast<uint32_t>(n);
    }
    msgq_p->stats[MSGQ_STAT_TX_MSG]++;
    msgq_p->cbs.free(buf);
    msgq_p->stats[MSGQ_STAT_MSG_FREES]++;
    msgq_read(msgq_p);
    return PLX_OK;
}

}  // namespace

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

}  // namespace msgq_detail

using namespace msgq_detail;

int msgq_write(msgq_handle *msgq_p, uint8_t *payload, uint32_t len) {
    if (!msgq_p || !payload)
        return PLX_MSGQ_BAD_ARGS;
    uint8_t *buf;
    uint32_t size;
    if (msgq_p->use_app_header) {
        PLX_ASSERT(len <= MSGQ_MAX_MSG_SIZE);
        buf = payload;
        size = len;
    } else {
        // The header msgq_alloc() put in front tells how large the buffer is.
        buf = payload - MSGQ_HDR_LEN;
        msgq_hdr hdr;
        std::memcpy(&hdr, buf, sizeof(hdr));
        PLX_ASSERT((hdr.magic1 == MAGIC1) && (hdr.magic2 == MAGIC2));
        PLX_ASSERT(hdr.size >= MSGQ_HDR_LEN);
        PLX_ASSERT(len <= hdr.size - MSGQ_HDR_LEN);
        hdr.source = static_cast<uint8_t>(msgq_p->source);
        hdr.target = static_cast<uint8_t>(msgq_p->target);
        hdr.type = MSGQ_MSG_TYPE_DATA;
        hdr.size = static_cast<uint16_t>(len + MSGQ_HDR_LEN);
        std::memcpy(buf, &hdr, sizeof(hdr));
        size = len + MSGQ_HDR_LEN;
    }
    if (!msgq_is_ready(msgq_p))
        return PLX_MSGQ_NOT_CONNECTED;
    if (msgq_p->blocking) {
        CallbackGuard guard(msgq_p);
        return msgq_send_blocking(msgq_p, buf, size);
    }
    if (!txq_append(msgq_p, buf, size))
        return PLX_MSGQ_QUEUE_FULL;
    msgq_flush(msgq_p);
    return PLX_OK;
}
