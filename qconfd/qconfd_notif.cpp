// Notifications on the stream "quorvel": three queues by severity and the throttler thread
// that sends at most one queued notification every 200 ms, the most severe first, each also as
// SNMP traps and as a syslog line.
//
// Locks: one spin lock per queue (enqueue, dequeue) and the send lock (a send step, a
// connection reset, the stop), always taken in the order send lock, queue 0, 1, 2. The sender
// only tries the send lock and skips its step when it is busy.
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/confd/confd_cdb.h"
#include "qconfd/qconfd_api.h"
#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_notif_item.h"
#include "qconfd/qconfd_util.h"

namespace {

enum ThrottlerState : int {
    kNotInitialised = 0,
    kConnectionReset = 1,
    kRunning = 2,
    kTerminated = 3
};

struct NotifQueue {
    QconfdNotifItem *head;
    QconfdNotifItem *tail;
    pthread_spinlock_t lock;
    uint32_t count;
    uint32_t limit;
};

constexpr int kQueues = 3;
constexpr uint32_t kQueueLimits[kQueues] = {100, 50, 50};

struct Throttler {
    std::atomic<int> state{kNotInitialised};
    pthread_spinlock_t send_lock;
    NotifQueue queues[kQueues];
    confd_notification_ctx *notif_ctx = nullptr;
    confd_notification_ctx *snmp_ctx = nullptr;
    pthread_t sender{};
    int interval_ms = 200;
};

Throttler throttler;

void *default_alloc(size_t size) {
    return std::calloc(1, size);
}

QconfdNotifAllocator allocator{default_alloc, std::free};

void stamp_now(confd_datetime *dt) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm utc{};
    gmtime_r(&tv.tv_sec, &utc);
    *dt = confd_datetime{};
    dt->year = static_cast<int16_t>(utc.tm_year + 1900);
    dt->month = static_cast<uint8_t>(utc.tm_mon + 1);
    dt->day = static_cast<uint8_t>(utc.tm_mday);
    dt->hour = static_cast<uint8_t>(utc.tm_hour);
    dt->min = static_cast<uint8_t>(utc.tm_min);
    dt->sec = static_cast<uint8_t>(utc.tm_sec);
    dt->micro = static_cast<uint32_t>(tv.tv_usec);
    dt->timezone = 0;
    dt->timezone_minutes = 0;
}

void free_item(QconfdNotifItem *item) {
    if (!item)
        return;
    for (void *copy : item->copies)
        std::free(copy);
    qconfd_trap_release(item);
    allocator.free(item);
}

// Copies the values into a new item, strings and buffers into memory of the item's own.
QconfdNotifItem *make_item(const confd_tag_value_t *values, int count) {
    auto *item = static_cast<QconfdNotifItem *>(allocator.alloc(sizeof(QconfdNotifItem)));
    if (!item) {
        PLX_LOG("Unable to allocate memory for notification queue item");
        return nullptr;
    }
    std::memset(item, 0, sizeof *item);
    std::memcpy(item->val, values, sizeof(confd_tag_value_t) * count);
    item->value_count = static_cast<uint32_t>(count);
    stamp_now(&item->time);
    for (int i = 0; i < count; ++i) {
        confd_value_t &v = item->val[i].v;
        if (v.type == C_STR) {
            const char *s = v.val.s ? v.val.s : "";
            size_t size = std::strlen(s) + 1;
            char *copy = static_cast<char *>(std::malloc(size));
            if (!copy) {
                PLX_LOG("Unable to allocate memory for string field size %u",
                        static_cast<unsigned>(size));
                free_item(item);
                return nullptr;
            }
            std::memcpy(copy, s, size);
            item->copies[i] = copy;
            v.val.s = copy;
        } else if (v.type == C_BUF) {
            unsigned size = v.val.buf.size;
            auto *copy = static_cast<unsigned char *>(std::malloc(size + 1));
            if (!copy) {
                PLX_LOG("Unable to allocate memory for buffer field size %u", size);
                free_item(item);
                return nullptr;
            }
            if (size)
                std::memcpy(copy, v.val.buf.ptr, size);
            copy[size] = 0;
            item->copies[i] = copy;
            v.val.buf.ptr = copy;
        }
    }
    return item;
}

// Removes the head of the first non-empty queue, most severe first.
QconfdNotifItem *take_next() {
    QconfdNotifItem *item = nullptr;
    for (int q = 0; q < kQueues && !item; ++q) {
        NotifQueue &queue = throttler.queues[q];
        if (pthread_spin_lock(&queue.lock) != 0) {
            PLX_LOG("Lock error on notification queue %d", q);
            continue;
        }
        if ((item = queue.head)) {
            queue.head = item->next;
            if (queue.head)
                queue.head->prev = nullptr;
            else
                queue.tail = nullptr;
            item->next = item->prev = nullptr;
            --queue.count;
        }
        if (pthread_spin_unlock(&queue.lock) != 0)
            PLX_LOG("Unlock error on notification queue %d", q);
    }
    return item;
}

void send_step() {
    if (pthread_spin_trylock(&throttler.send_lock) != 0)
        return;
    if (throttler.state.load() == kRunning) {
        if (QconfdNotifItem *item = take_next()) {
            if (throttler.notif_ctx) {
                if (confd_notification_send(throttler.notif_ctx, &item->time, item->val,
                                            static_cast<int>(item->value_count)) != CONFD_OK)
                    PLX_LOG("Failed to send notification : %s (%d) %s", confd_strerror(confd_errno),
                            confd_errno, confd_lasterr());
            } else {
                PLX_LOG("Empty notification context. Shouldn't be reaching here");
            }
            if (throttler.snmp_ctx)
                qconfd_trap_send(item, throttler.snmp_ctx);
            else
                PLX_LOG("Empty snmp notification context. Shouldn't be reaching here");
            qconfd_add_to_syslog(&item->time, item->val, static_cast<int>(item->value_count));
            free_item(item);
        }
    }
    pthread_spin_unlock(&throttler.send_lock);
}

void *sender_thread(void *) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (throttler.state.load() != kTerminated) {
        send_step();
        std::this_thread::sleep_for(std::chrono::milliseconds(throttler.interval_ms));
    }
    return nullptr;
}

// Queues, locks and the sender thread; false (nothing left behind) when one cannot be had.
bool start_throttler() {
    for (int q = 0; q < kQueues; ++q) {
        NotifQueue &queue = throttler.queues[q];
        queue.head = queue.tail = nullptr;
        queue.count = 0;
        queue.limit = kQueueLimits[q];
        if (int err = pthread_spin_init(&queue.lock, PTHREAD_PROCESS_PRIVATE); err != 0) {
            PLX_LOG("Failed to init spinlock for queue %d with error number %d", q, err);
            for (int done = 0; done < q; ++done)
                pthread_spin_destroy(&throttler.queues[done].lock);
            return false;
        }
    }
    if (int err = pthread_spin_init(&throttler.send_lock, PTHREAD_PROCESS_PRIVATE); err != 0) {
        PLX_LOG("Failed to init spinlock for state_lock with error number %d", err);
        for (auto &queue : throttler.queues)
            pthread_spin_destroy(&queue.lock);
        return false;
    }
    throttler.interval_ms = 200;
    throttler.state.store(kConnectionReset);  // queues usable, nothing sent before the contexts
    if (int err = pthread_create(&throttler.sender, nullptr, sender_thread, nullptr); err != 0) {
        PLX_LOG("Failed to spawn a thread with error number %d", err);
        throttler.state.store(kNotInitialised);
        pthread_spin_destroy(&throttler.send_lock);
        for (auto &queue : throttler.queues)
            pthread_spin_destroy(&queue.lock);
        return false;
    }
    return true;
}

}  // namespace

void qconfd_notif_set_allocator(QconfdNotifAllocator a) {
    allocator = a.alloc && a.free ? a : QconfdNotifAllocator{default_alloc, std::free};
}

qconfd_queue_result qconfd_enqueue_notification(confd_tag_value_t *val_p, int num_values) {
    int state = throttler.state.load();
    if (state == kTerminated) {
        QCONFD_DEBUG("Notification throttler has terminated.");
        return QCONFD_NOT_QUEUED;
    }
    if (state == kNotInitialised) {
        PLX_LOG("Notification throttler hasn't been initialized");
        return QCONFD_NOT_QUEUED;
    }
    PLX_ASSERT(num_values < 20);
    PLX_ASSERT(num_values >= 2);
    PLX_ASSERT((&val_p[1].v)->type == C_ENUM_VALUE);
    int32_t severity = CONFD_GET_ENUM_VALUE(&val_p[1].v);
    int q = severity == 1 ? 0 : severity == 2 ? 1 : 2;

    QconfdNotifItem *item = make_item(val_p, num_values);
    if (!item)
        return QCONFD_NOT_QUEUED;
    qconfd_trap_populate(item);

    NotifQueue &queue = throttler.queues[q];
    if (pthread_spin_lock(&queue.lock) != 0) {
        PLX_LOG("Lock error on notification queue %d", q);
        free_item(item);
        return QCONFD_NOT_QUEUED;
    }
    qconfd_queue_result result = QCONFD_QUEUED;
    if (queue.count < queue.limit && throttler.state.load() != kTerminated) {
        item->prev = queue.tail;
        if (queue.tail)
            queue.tail->next = item;
        else
            queue.head = item;
        queue.tail = item;
        ++queue.count;
    } else {
        QCONFD_DEBUG("Notification throttler has terminated or max queue size reached");
        result = QCONFD_DROPPED;
    }
    if (pthread_spin_unlock(&queue.lock) != 0)
        PLX_LOG("Unlock error on notification queue %d", q);
    if (result != QCONFD_QUEUED) {
        QCONFD_DEBUG("Failed to send notification. Freeing memory");
        free_item(item);
    }
    return result;
}

qconfd_result qconfd_event_send_notification(QconfdContext *ctx, confd_tag_value_t *values,
                                             int num_values) {
    PLX_ASSERT(num_values < 20);
    if (!ctx) {
        PLX_LOG("NULL qconfd context pointer");
        return QCONFD_FAILED;
    }
    cdb_phase phase{};
    if (cdb_get_phase(ctx->data_sock, &phase) != CONFD_OK) {
        PLX_LOG("Failed to get confd phase : %s (%d) %s", confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
        return QCONFD_FAILED;
    }
    if (phase.phase == 0 || phase.phase == 1) {
        QCONFD_DEBUG("Confd in phase %d; Not sending notification", phase.phase);
        return QCONFD_OK;
    }
    if (qconfd_enqueue_notification(values, num_values) == QCONFD_NOT_QUEUED) {
        QCONFD_DEBUG("Trying to send the notification directly");
        confd_datetime now{};
        stamp_now(&now);
        confd_notification_ctx *nctx = ctx->spec.notif_ctx ? *ctx->spec.notif_ctx : nullptr;
        if (confd_notification_send(nctx, &now, values, num_values) != CONFD_OK) {
            PLX_LOG("Failed to send notification directly: %s (%d) %s", confd_strerror(confd_errno),
                    confd_errno, confd_lasterr());
            return QCONFD_FAILED;
        }
    }
    return QCONFD_OK;
}

void qconfd_notification_throttler_init(QconfdContext *ctx) {
    QCONFD_DEBUG("Notification throttler thread init with state %d", throttler.state.load());
    if (ctx)
        qconfd_log_set_module(ctx->spec.module_id);
    confd_notification_ctx *nctx = ctx && ctx->spec.notif_ctx ? *ctx->spec.notif_ctx : nullptr;
    confd_notification_ctx *sctx = ctx && ctx->spec.snmp_ctx ? *ctx->spec.snmp_ctx : nullptr;
    // After a stop the throttler starts afresh, like the first time.
    int state = throttler.state.load();
    if ((state == kNotInitialised || state == kTerminated) && !start_throttler())
        return;
    pthread_spin_lock(&throttler.send_lock);
    throttler.notif_ctx = nctx;
    throttler.snmp_ctx = sctx;
    throttler.state.store(kRunning);
    pthread_spin_unlock(&throttler.send_lock);
}

void qconfd_notification_throttler_connection_reset() {
    int state = throttler.state.load();
    if (state == kNotInitialised || state == kTerminated)
        return;
    if (pthread_spin_lock(&throttler.send_lock) != 0) {
        PLX_LOG("Lock error on notification throtler queue");
        return;
    }
    throttler.state.store(kConnectionReset);
    throttler.notif_ctx = nullptr;
    throttler.snmp_ctx = nullptr;
    pthread_spin_unlock(&throttler.send_lock);
}

void qconfd_notification_throttler_free() {
    int state = throttler.state.load();
    if (state == kNotInitialised || state == kTerminated)
        return;
    pthread_spin_lock(&throttler.send_lock);
    for (auto &queue : throttler.queues)
        pthread_spin_lock(&queue.lock);
    QCONFD_DEBUG("Setting terminate on notification throttler");
    throttler.state.store(kTerminated);
    for (int q = kQueues - 1; q >= 0; --q)
        pthread_spin_unlock(&throttler.queues[q].lock);
    pthread_spin_unlock(&throttler.send_lock);
    if (pthread_join(throttler.sender, nullptr) != 0)
        PLX_LOG("pthread join failed");
    for (int q = 0; q < kQueues; ++q) {
        NotifQueue &queue = throttler.queues[q];
        if (queue.head)
            QCONFD_DEBUG("Pending notifications from queue %d are being dropped", q);
        while (QconfdNotifItem *item = queue.head) {
            queue.head = item->next;
            free_item(item);
        }
        queue.tail = nullptr;
        queue.count = 0;
        QCONFD_DEBUG("Notification queue %d destroyed", q);
        if (int err = pthread_spin_destroy(&queue.lock); err != 0)
            PLX_LOG("Failed to destroy spinlock for queue %d with error number %d", q, err);
        else
            QCONFD_DEBUG("Queue spinlock %d destroyed", q);
    }
    throttler.notif_ctx = nullptr;
    throttler.snmp_ctx = nullptr;
    if (pthread_spin_destroy(&throttler.send_lock) != 0)
        PLX_LOG("Failed to destroy spinlock for send_lock");
}

uint32_t qconfd_notification_queue_count(int q) {
    int state = throttler.state.load();
    if (q < 0 || q >= kQueues || state == kNotInitialised || state == kTerminated)
        return 0;
    NotifQueue &queue = throttler.queues[q];
    pthread_spin_lock(&queue.lock);
    uint32_t count = queue.count;
    pthread_spin_unlock(&queue.lock);
    return count;
}
