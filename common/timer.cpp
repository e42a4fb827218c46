#include "common/timer.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

constexpr int64_t NSEC_PER_SEC = 1000000000;
constexpr int64_t NSEC_PER_MSEC = 1000000;

void monotonic_clock(timespec *now, void *) {
    clock_gettime(CLOCK_MONOTONIC, now);
}

timespec mgr_now(const timer_mgr *p_mgr) {
    timespec now{};
    p_mgr->clock(&now, p_mgr->clock_arg);
    return now;
}

int64_t msecs_between(int64_t from_sec, int64_t from_nsec, const timespec &to) {
    return (to.tv_sec - from_sec) * 1000 + (to.tv_nsec - from_nsec) / NSEC_PER_MSEC;
}

// Advances the tick count by the whole ticks elapsed since the base time.
void clock_update(timer_mgr *p_mgr) {
    timespec now = mgr_now(p_mgr);
    int64_t elapsed = msecs_between(p_mgr->base_sec, p_mgr->base_nsec, now);
    if (elapsed <= 0)
        return;
    uint64_t n = timer_msecs_to_ticks_noround(p_mgr->resolution, static_cast<uint64_t>(elapsed));
    if (n == 0)
        return;
    p_mgr->cur_ticks += n;
    uint64_t advance_ms = timer_ticks_to_msecs(p_mgr->resolution, n);
    p_mgr->base_sec += static_cast<int64_t>(advance_ms / 1000);
    p_mgr->base_nsec += static_cast<int64_t>(advance_ms % 1000) * NSEC_PER_MSEC;
    if (p_mgr->base_nsec >= NSEC_PER_SEC) {
        p_mgr->base_sec += 1;
        p_mgr->base_nsec -= NSEC_PER_SEC;
    }
}

timer *bucket_entry(dll_node *p_node) {
    return DLL_ENTRY(p_node, timer, bucket_node);
}

timer *mgr_entry(dll_node *p_node) {
    return DLL_ENTRY(p_node, timer, mgr_node);
}

void bucket_insert(timer_wheel *p_wheel, timer *p_timer) {
    uint16_t idx = static_cast<uint16_t>(p_timer->expire & TIMER_WHEEL_MASK);
    dll_append(&p_wheel->buckets[idx], &p_timer->bucket_node);
    p_timer->bucket = idx;
}

const char *type_name(uint8_t type) {
    return type == TIMER_CYCLIC ? "cyclic" : "one-shot";
}

// Indexed by TIMER_STATE_*.
constexpr const char *kStateNames[] = {"Disabled", "Enabled", "Deleted"};
static_assert(TIMER_STATE_DELETED + 1 == std::size(kStateNames));

const char *state_name(uint8_t state) {
    return state < std::size(kStateNames) ? kStateNames[state] : "?";
}

const char *priority_name(uint8_t priority) {
    return priority == TIMER_PRI_HIGH ? "high" : "normal";
}

// printf-style formatting into a sink.
void emit(timer_print_fn print, void *print_arg, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

void emit(timer_print_fn print, void *print_arg, const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    print(print_arg, line);
}

void print_syslog(void *, const char *line) {
    plx_log_line("timer_dump", __LINE__, "%s", line);
}

void print_file(void *print_arg, const char *line) {
    std::fprintf(static_cast<FILE *>(print_arg), "%s\n", line);
}

int exec_pri(timer_mgr *p_mgr, timer_wheel *p_wheel, const timespec &start, uint32_t budget_ms) {
    bool exceeded = false;
    int64_t prev_elapsed = 0;
    char prev_name[TIMER_NAME_LEN] = "";

    while (p_wheel->next_ticks <= p_mgr->cur_ticks) {
        if (exceeded)
            return TIMER_EXEC_MORE;
        const uint64_t tick = p_wheel->next_ticks;
        dll *p_bucket = &p_wheel->buckets[tick & TIMER_WHEEL_MASK];

        while (!dll_empty(p_bucket)) {
            timer *p_timer = bucket_entry(dll_head(p_bucket));
            if (p_timer->walked)
                break;

            int64_t elapsed = msecs_between(start.tv_sec, start.tv_nsec, mgr_now(p_mgr));
            if (elapsed > static_cast<int64_t>(budget_ms) + 50) {
                if (elapsed - prev_elapsed > 5000) {
                    PLX_LOG("%s timer took %u msecs!", prev_name,
                            static_cast<unsigned>(elapsed - prev_elapsed));
                }
                exceeded = true;
            }
            prev_elapsed = elapsed;

            dll_remove(p_bucket, &p_timer->bucket_node);
            if (p_timer->expire != tick) {
                if (tick > p_timer->expire) {
                    PLX_LOG("timer %s (%p) stale by %d ticks", p_timer->name,
                            static_cast<void *>(p_timer), static_cast<int>(tick - p_timer->expire));
                    PLX_ASSERT(p_timer->expire >= tick);
                }
                // Due in a later turn of the wheel: skip it for the rest of this tick.
                dll_append(p_bucket, &p_timer->bucket_node);
                p_timer->walked = 1;
                continue;
            }

            p_timer->bucket = TIMER_BUCKET_NULL;
            --p_mgr->nactive;
            ++p_mgr->nfired;
            if (p_timer->type == TIMER_CYCLIC) {
                p_timer->expire = tick + p_timer->interval;
                bucket_insert(p_wheel, p_timer);
                ++p_mgr->nactive;
            } else {
                p_timer->state = TIMER_STATE_DISABLED;
            }
            std::memcpy(prev_name, p_timer->name, sizeof(prev_name));
            // The callback may enable, disable or delete any timer, this one included.
            p_timer->callback(p_timer, p_timer->args[0], p_timer->args[1], p_timer->args[2],
                              p_timer->args[3]);
        }

        for (dll_node *p_node = dll_head(p_bucket); p_node; p_node = p_node->p_next) {
            timer *p_timer = bucket_entry(p_node);
            p_timer->walked = 0;
            PLX_ASSERT(p_timer->walked == 0);
        }
        ++p_wheel->next_ticks;
    }
    return 0;
}

}  // namespace

timer_mgr *timer_mgr_create(uint32_t resolution, timer_alloc_fn alloc, timer_free_fn free_fn,
                            void *user_data, uint32_t pri_mask) {
    timer_resolution_msecs(resolution);  // validates the index
    if (!alloc || !free_fn) {
        alloc = std::malloc;
        free_fn = std::free;
    }
    const bool want[2] = {(pri_mask & TIMER_PRI_MASK_NORMAL) != 0,
                          (pri_mask & TIMER_PRI_MASK_HIGH) != 0};
    size_t nwheels = (want[0] ? 1 : 0) + (want[1] ? 1 : 0);
    static_assert(sizeof(timer_mgr) % alignof(timer_wheel) == 0);
    size_t size = sizeof(timer_mgr) + nwheels * sizeof(timer_wheel);
    void *mem = alloc(size);
    if (!mem)
        return nullptr;
    std::memset(mem, 0, size);

    auto *p_mgr = static_cast<timer_mgr *>(mem);
    p_mgr->resolution = resolution;
    p_mgr->alloc = alloc;
    p_mgr->free = free_fn;
    p_mgr->user_data = user_data;
    p_mgr->clock = monotonic_clock;
    dll_init(&p_mgr->timers);
    auto *p_wheel = reinterpret_cast<timer_wheel *>(p_mgr + 1);
    for (int pri = 0; pri < 2; ++pri) {
        if (!want[pri])
            continue;
        p_mgr->wheels[pri] = p_wheel++;
        for (dll &bucket : p_mgr->wheels[pri]->buckets)
            dll_init(&bucket);
    }
    timespec now = mgr_now(p_mgr);
    p_mgr->base_sec = now.tv_sec;
    p_mgr->base_nsec = now.tv_nsec;
    return p_mgr;
}

void timer_mgr_delete(timer_mgr *p_mgr) {
    if (p_mgr->ncreated != p_mgr->ndeleted || p_mgr->nactive != 0) {
        timer_mgr_dump(p_mgr, 1024);
        PLX_ASSERT(p_mgr->ncreated == p_mgr->ndeleted && p_mgr->nactive == 0);
    }
    p_mgr->free(p_mgr);
}

void timer_mgr_set_clock(timer_mgr *p_mgr, timer_clock_fn clock, void *clock_arg) {
    p_mgr->clock = clock ? clock : monotonic_clock;
    p_mgr->clock_arg = clock ? clock_arg : nullptr;
    timespec now = mgr_now(p_mgr);
    p_mgr->base_sec = now.tv_sec;
    p_mgr->base_nsec = now.tv_nsec;
}

uint32_t timer_get_tick_interval(const timer_mgr *p_mgr, timeval *p_tv) {
    if (p_tv) {
        uint32_t ms = timer_resolution_msecs(p_mgr->resolution);
        p_tv->tv_sec = ms / 1000;
        p_tv->tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    }
    return p_mgr->resolution;
}

int timer_exec(timer_mgr *p_mgr, uint32_t pri_mask, uint32_t budget_ms) {
    clock_update(p_mgr);
    const timespec start = mgr_now(p_mgr);
    for (int pri = TIMER_PRI_HIGH; pri >= TIMER_PRI_NORMAL; --pri) {
        timer_wheel *p_wheel = p_mgr->wheels[pri];
        if (!(pri_mask & (1u << pri)) || !p_wheel || p_wheel->running)
            continue;
        p_wheel->running = true;
        int rc = exec_pri(p_mgr, p_wheel, start, budget_ms);
        p_wheel->running = false;
        if (rc != 0)
            return rc;
    }
    return 0;
}

timer *timer_util_create(timer_mgr *p_mgr, uint8_t priority, uint8_t type, uint32_t interval_ms,
                         timer_cb_fn callback, void *arg1, void *arg2, void *arg3, void *arg4,
                         const char *name) {
    int pri = priority > TIMER_PRI_HIGH ? TIMER_PRI_HIGH : priority;
    while (pri >= 0 && !p_mgr->wheels[pri])
        --pri;
    if (pri < 0)
        return nullptr;

    auto *p_timer = static_cast<timer *>(p_mgr->alloc(sizeof(timer)));
    if (!p_timer)
        return nullptr;
    std::memset(p_timer, 0, sizeof(*p_timer));
    p_timer->p_mgr = p_mgr;
    p_timer->type = type;
    p_timer->state = TIMER_STATE_DISABLED;
    p_timer->priority = static_cast<uint8_t>(pri);
    p_timer->bucket = TIMER_BUCKET_NULL;
    if (name) {
        std::strncpy(p_timer->name, name, TIMER_NAME_LEN - 1);
        p_timer->name[TIMER_NAME_LEN - 1] = '\0';
    }
    p_timer->interval = static_cast<uint32_t>(timer_msecs_to_ticks(p_mgr->resolution, interval_ms));
    p_timer->callback = callback;
    p_timer->args[0] = arg1;
    p_timer->args[1] = arg2;
    p_timer->args[2] = arg3;
    p_timer->args[3] = arg4;

    ++p_mgr->ncreated;
    dll_append(&p_mgr->timers, &p_timer->mgr_node);
    return p_timer;
}

void timer_enable(timer *p_timer) {
    if (p_timer->state == TIMER_STATE_ENABLED)
        return;
    PLX_ASSERT(p_timer->bucket == TIMER_BUCKET_NULL);
    timer_mgr *p_mgr = p_timer->p_mgr;
    timer_wheel *p_wheel = p_mgr->wheels[p_timer->priority];
    clock_update(p_mgr);
    if (p_timer->interval == 0)
        p_timer->interval = 1;
    p_timer->expire = p_mgr->cur_ticks + p_timer->interval;
    if (p_timer->expire < p_wheel->next_ticks)
        p_timer->expire = p_wheel->next_ticks + 1;
    bucket_insert(p_wheel, p_timer);
    p_timer->state = TIMER_STATE_ENABLED;
    p_timer->walked = 0;
    ++p_mgr->nactive;
}

void timer_disable(timer *p_timer) {
    if (p_timer->state != TIMER_STATE_ENABLED)
        return;
    p_timer->state = TIMER_STATE_DISABLED;
    if (p_timer->bucket != TIMER_BUCKET_NULL) {
        timer_mgr *p_mgr = p_timer->p_mgr;
        dll_remove(&p_mgr->wheels[p_timer->priority]->buckets[p_timer->bucket],
                   &p_timer->bucket_node);
        p_timer->bucket = TIMER_BUCKET_NULL;
        --p_mgr->nactive;
    }
}

void timer_util_delete(timer *p_timer) {
    timer_disable(p_timer);
    timer_mgr *p_mgr = p_timer->p_mgr;
    dll_remove(&p_mgr->timers, &p_timer->mgr_node);
    p_timer->state = TIMER_STATE_DELETED;
    p_timer->p_mgr = nullptr;
    ++p_mgr->ndeleted;
    p_mgr->free(p_timer);
}

void timer_reset_interval(timer *p_timer, uint32_t interval_ms) {
    p_timer->interval =
        static_cast<uint32_t>(timer_msecs_to_ticks(p_timer->p_mgr->resolution, interval_ms));
    timer_disable(p_timer);
    timer_enable(p_timer);
}

void timer_update_interval(timer *p_timer, uint32_t interval_ms) {
    p_timer->interval =
        static_cast<uint32_t>(timer_msecs_to_ticks(p_timer->p_mgr->resolution, interval_ms));
    if (timer_is_running(p_timer)) {
        timer_disable(p_timer);
        timer_enable(p_timer);
    }
}

bool timer_is_running(const timer *p_timer) {
    return p_timer->state == TIMER_STATE_ENABLED && p_timer->bucket != TIMER_BUCKET_NULL;
}

int timer_ticks_left(const timer *p_timer) {
    if (!timer_is_running(p_timer))
        return -1;
    return static_cast<int>(static_cast<int64_t>(p_timer->expire - p_timer->p_mgr->cur_ticks));
}

int timer_msecs_left(const timer *p_timer) {
    if (!timer_is_running(p_timer))
        return -1;
    int64_t diff = static_cast<int64_t>(p_timer->expire - p_timer->p_mgr->cur_ticks);
    uint64_t ticks = static_cast<uint64_t>(diff < 0 ? -diff : diff);
    return static_cast<int>(timer_ticks_to_msecs(p_timer->p_mgr->resolution, ticks));
}

int timer_get_interval(const timer *p_timer) {
    return p_timer ? static_cast<int>(p_timer->interval) : -1;
}

int timer_get_interval_msecs(const timer *p_timer) {
    if (!p_timer)
        return -1;
    return static_cast<int>(timer_ticks_to_msecs(p_timer->p_mgr->resolution, p_timer->interval));
}

void timer_dump_to(const timer *p_timer, timer_print_fn print, void *print_arg) {
    const timer_mgr *p_mgr = p_timer->p_mgr;
    int left =
        p_mgr ? static_cast<int>(static_cast<int64_t>(p_timer->expire - p_mgr->cur_ticks)) : -1;
    emit(print, print_arg,
         "[bucket %#x] %p %s %s %s %s %s interval %u expire %#" PRIx64 " (%d) cb %p %p %p %p %p",
         p_timer->bucket, static_cast<const void *>(p_timer), p_timer->name,
         type_name(p_timer->type), state_name(p_timer->state), priority_name(p_timer->priority),
         p_timer->walked ? "walked" : "", p_timer->interval, p_timer->expire, left,
         reinterpret_cast<void *>(p_timer->callback), p_timer->args[0], p_timer->args[1],
         p_timer->args[2], p_timer->args[3]);
}

void timer_dump(const timer *p_timer) {
    timer_dump_to(p_timer, print_syslog, nullptr);
}

void timer_dump_file(const timer *p_timer, FILE *out) {
    timer_dump_to(p_timer, print_file, out);
}

void timer_mgr_dump_to(const timer_mgr *p_mgr, uint32_t nbuckets, timer_print_fn print,
                       void *print_arg) {
    emit(print, print_arg, "List of Created Timers:");
    for (dll_node *p_node = dll_head(&p_mgr->timers); p_node; p_node = p_node->p_next)
        timer_dump_to(mgr_entry(p_node), print, print_arg);

    timespec now = mgr_now(p_mgr);
    const timer_wheel *p_hi = p_mgr->wheels[TIMER_PRI_HIGH];
    const timer_wheel *p_lo = p_mgr->wheels[TIMER_PRI_NORMAL];
    emit(print, print_arg,
         "resolution %s cur-time %u.%u actual-time %u.%u cur_ticks %" PRIu64
         " next_hi_ticks %" PRIu64 " next_lo_ticks %" PRIu64,
         timer_resolution_name(p_mgr->resolution), static_cast<unsigned>(p_mgr->base_sec),
         static_cast<unsigned>(p_mgr->base_nsec), static_cast<unsigned>(now.tv_sec),
         static_cast<unsigned>(now.tv_nsec), p_mgr->cur_ticks, p_hi ? p_hi->next_ticks : 0,
         p_lo ? p_lo->next_ticks : 0);
    emit(print, print_arg, "ncreated %u ndeleted %u nactive %u nfired %u", p_mgr->ncreated,
         p_mgr->ndeleted, p_mgr->nactive, p_mgr->nfired);

    // Buckets around each wheel's current bucket, each bucket at most once.
    uint64_t span = 2 * static_cast<uint64_t>(nbuckets) + 1;
    if (span > TIMER_WHEEL_SIZE)
        span = TIMER_WHEEL_SIZE;
    for (int pri = TIMER_PRI_HIGH; pri >= TIMER_PRI_NORMAL; --pri) {
        const timer_wheel *p_wheel = p_mgr->wheels[pri];
        if (!p_wheel)
            continue;
        uint64_t first = p_wheel->next_ticks - nbuckets;
        for (uint64_t i = 0; i < span; ++i) {
            const dll &bucket = p_wheel->buckets[(first + i) & TIMER_WHEEL_MASK];
            for (dll_node *p_node = dll_head(&bucket); p_node; p_node = p_node->p_next)
                timer_dump_to(bucket_entry(p_node), print, print_arg);
        }
    }
}

void timer_mgr_dump(const timer_mgr *p_mgr, uint32_t nbuckets) {
    timer_mgr_dump_to(p_mgr, nbuckets, print_syslog, nullptr);
}

void timer_mgr_dump_file(const timer_mgr *p_mgr, uint32_t nbuckets, FILE *out) {
    timer_mgr_dump_to(p_mgr, nbuckets, print_file, out);
}
