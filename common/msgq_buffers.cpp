// Buffers of the message-queue transport: message buffers with room for the transport header in
// front of the payload, and a handle's send queue. Every buffer and queue entry of a handle comes
// from its alloc callback and goes back through its free callback, and is counted in its
// statistics.
#include <cstdlib>
#include <cstring>

#include "common/msgq_internal.h"
#include "common/plx_log.h"

namespace msgq_detail {

void *default_alloc(size_t size) {
    return std::calloc(1, size);
}

void default_free(void *p) {
    std::free(p);
}

bool txq_append(msgq_handle *msgq_p, uint8_t *buf, uint32_t size) {
    // A peer that stops reading does not grow the daemon without bound: past the limit the
    // writer is told to try again, as when memory runs out.
    auto *entry = msgq_p->txq_bytes + size <= kMaxQueuedBytes
                      ? static_cast<msgq_txq_entry *>(msgq_p->cbs.alloc(sizeof(msgq_txq_entry)))
                      : nullptr;
    if (!entry) {
        msgq_p->stats[MSGQ_STAT_TX_QUEUE_FAILED]++;
        return false;
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
    return true;
}

void txq_pop(msgq_handle *msgq_p) {
    msgq_txq_entry *entry = msgq_p->txq_head;
    msgq_p->stats[MSGQ_STAT_TX_DEQUEUED]++;
    msgq_p->txq_bytes -= entry->size;
    msgq_p->txq_head = entry->next;
    if (!msgq_p->txq_head)
        msgq_p->txq_tail = nullptr;
    msgq_p->cbs.free(entry->buf);
    msgq_p->stats[MSGQ_STAT_MSG_FREES]++;
    msgq_p->cbs.free(entry);
}

void drop_buffers(msgq_handle *msgq_p) {
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
}

}  // namespace msgq_detail

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
