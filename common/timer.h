// Timer wheel: every software timer of a process lives in one timer manager, a hashed timing
// wheel with a fixed tick, up to two priority wheels (normal and high) and 2048 buckets per
// wheel. The manager has no clock event of its own: the owner calls timer_exec() from a periodic
// event (plxd: every 10 ms, with a 100 ms budget).
//
// A timer more than 2048 ticks away stays in its bucket and is skipped once per turn of the
// wheel (the "walked" mark). Enable, disable and firing are O(1) and never allocate.
//
// Single-threaded: the manager and its timers belong to the event-loop thread.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/dll.h"
#include "common/plx_log.h"

// Resolution index -> tick length.
enum timer_resolution : uint32_t {
    TIMER_RES_10MS = 0,
    TIMER_RES_50MS = 1,
    TIMER_RES_100MS = 2,
    TIMER_RES_500MS = 3,
    TIMER_RES_1SEC = 4,
    TIMER_RES_1MIN = 5,
};
inline constexpr uint32_t TIMER_RES_COUNT = 6;

// Priorities (wheel index) and priority masks.
inline constexpr uint8_t TIMER_PRI_NORMAL = 0;
inline constexpr uint8_t TIMER_PRI_HIGH = 1;
inline constexpr uint32_t TIMER_PRI_MASK_NORMAL = 1u << TIMER_PRI_NORMAL;
inline constexpr uint32_t TIMER_PRI_MASK_HIGH = 1u << TIMER_PRI_HIGH;
inline constexpr uint32_t TIMER_PRI_MASK_ALL = TIMER_PRI_MASK_NORMAL | TIMER_PRI_MASK_HIGH;

// Timer types and states.
inline constexpr uint8_t TIMER_ONE_SHOT = 0;
inline constexpr uint8_t TIMER_CYCLIC = 1;
inline constexpr uint8_t TIMER_STATE_DISABLED = 0;
inline constexpr uint8_t TIMER_STATE_ENABLED = 1;
inline constexpr uint8_t TIMER_STATE_DELETED = 2;

inline constexpr uint16_t TIMER_BUCKET_NULL = 65535;
inline constexpr uint32_t TIMER_WHEEL_SIZE = 2048;
inline constexpr uint64_t TIMER_WHEEL_MASK = TIMER_WHEEL_SIZE - 1;
inline constexpr size_t TIMER_NAME_LEN = 40;

// timer_exec() result when the budget ran out with due timers left.
inline constexpr int TIMER_EXEC_MORE = 11;

struct timer;
struct timer_mgr;

using timer_alloc_fn = void *(*)(size_t size);
using timer_free_fn = void (*)(void *p);
using timer_cb_fn = void (*)(timer *p_timer, void *arg1, void *arg2, void *arg3, void *arg4);
// Monotonic clock source; the default reads CLOCK_MONOTONIC. Tests install their own.
using timer_clock_fn = void (*)(timespec *now, void *clock_arg);
// Receives one finished dump line (no trailing newline).
using timer_print_fn = void (*)(void *print_arg, const char *line);

struct timer {
    dll_node bucket_node;  // link in its bucket
    dll_node mgr_node;     // link in the manager's list of all timers
    timer_mgr *p_mgr;      // owning manager; cleared on delete
    uint8_t type;          // TIMER_ONE_SHOT / TIMER_CYCLIC
    uint8_t state;         // TIMER_STATE_*
    uint8_t priority;      // the wheel actually used
    uint8_t walked : 1;    // flags bit 0: skipped once in this turn of the wheel
    uint8_t : 7;
    uint16_t bucket;    // bucket index or TIMER_BUCKET_NULL
    uint32_t interval;  // ticks
    uint64_t expire;    // tick at which it fires
    char name[TIMER_NAME_LEN];
    timer_cb_fn callback;
    void *args[4];
};

struct timer_wheel {
    uint64_t next_ticks;  // next tick to process
    // Set while timer_exec() works through this wheel. A callback may run the wheels again
    // (a long compile's yield hook does); that nested run leaves a busy wheel alone, since it
    // would take over the tick the outer run is in the middle of.
    bool running;
    dll buckets[TIMER_WHEEL_SIZE];
};

struct timer_mgr {
    uint32_t resolution;
    timer_alloc_fn alloc;
    timer_free_fn free;
    void *user_data;
    int64_t base_sec;  // monotonic time of the current tick count, advanced in whole ticks
    int64_t base_nsec;
    uint64_t cur_ticks;
    timer_wheel *wheels[2];  // [TIMER_PRI_NORMAL], [TIMER_PRI_HIGH]; null when not requested
    dll timers;              // every created timer, through mgr_node
    uint32_t ncreated;
    uint32_t ndeleted;
    uint32_t nactive;
    uint32_t nfired;
    timer_clock_fn clock;
    void *clock_arg;
    // The requested wheels follow in the same allocation.
};

// --- Resolutions and conversions -------------------------------------------------------------

// Tick length in ms of a resolution index; any other index is a fatal assertion.
inline uint32_t timer_resolution_msecs(uint32_t res) {
    constexpr uint32_t msecs[TIMER_RES_COUNT] = {10, 50, 100, 500, 1000, 60000};
    PLX_ASSERT(res < TIMER_RES_COUNT);
    return msecs[res];
}

// Name used in dumps: "10ms", "50ms", "100ms", "500ms", "1sec", "1min".
inline const char *timer_resolution_name(uint32_t res) {
    constexpr const char *names[TIMER_RES_COUNT] = {"10ms",  "50ms", "100ms",
                                                    "500ms", "1sec", "1min"};
    PLX_ASSERT(res < TIMER_RES_COUNT);
    return names[res];
}

// ms -> ticks rounded to the nearest tick (used for timer intervals).
inline uint64_t timer_msecs_to_ticks(uint32_t res, uint64_t msecs) {
    uint32_t tick = timer_resolution_msecs(res);
    return (msecs + tick / 2) / tick;
}

// ms -> whole ticks, no rounding (used for the clock update).
inline uint64_t timer_msecs_to_ticks_noround(uint32_t res, uint64_t msecs) {
    return msecs / timer_resolution_msecs(res);
}

inline uint64_t timer_ticks_to_msecs(uint32_t res, uint64_t ticks) {
    return ticks * timer_resolution_msecs(res);
}

// --- Manager ----------------------------------------------------------------------------------

// Creates a manager with the wheels of pri_mask (bit 0 normal, bit 1 high). alloc/free default
// to malloc/free when either is null. Returns null when the allocation fails.
timer_mgr *timer_mgr_create(uint32_t resolution, timer_alloc_fn alloc, timer_free_fn free_fn,
                            void *user_data, uint32_t pri_mask);

// Frees the manager. Every timer must have been deleted and none may be active; otherwise the
// manager is dumped and the process stops on an assertion.
void timer_mgr_delete(timer_mgr *p_mgr);

// Replaces the monotonic clock (null restores CLOCK_MONOTONIC) and restarts the base time from
// it, keeping the tick count.
void timer_mgr_set_clock(timer_mgr *p_mgr, timer_clock_fn clock, void *clock_arg);

// Resolution index; fills *p_tv (optional) with one tick.
uint32_t timer_get_tick_interval(const timer_mgr *p_mgr, timeval *p_tv);

// Runs the due timers of the wheels in pri_mask (high first) for at most about budget_ms.
// Returns 0, or TIMER_EXEC_MORE (11) when the budget was exceeded and due ticks are left.
// May be called from a timer callback: a wheel that an outer call is running is skipped (its
// due timers run once that callback has returned), the other wheel runs as usual.
int timer_exec(timer_mgr *p_mgr, uint32_t pri_mask, uint32_t budget_ms);

// --- Timers -----------------------------------------------------------------------------------

// Creates a disabled timer on the wheel of the requested priority (or the highest existing wheel
// below it). interval_ms is rounded to ticks; name is truncated to 39 characters. Returns null
// when no wheel fits or the allocation fails.
timer *timer_util_create(timer_mgr *p_mgr, uint8_t priority, uint8_t type, uint32_t interval_ms,
                         timer_cb_fn callback, void *arg1, void *arg2, void *arg3, void *arg4,
                         const char *name);

// Starts the timer; no effect when it is already enabled. An interval of 0 ticks fires on the
// next tick.
void timer_enable(timer *p_timer);

// Stops the timer; no effect when it is not enabled.
void timer_disable(timer *p_timer);

// Disables, unlinks from the manager and frees the timer. Safe inside any timer callback.
void timer_util_delete(timer *p_timer);

// Sets the interval (rounded) and restarts the timer: it runs afterwards in any case.
void timer_reset_interval(timer *p_timer, uint32_t interval_ms);

// Sets the interval (rounded); restarts the timer only if it is running.
void timer_update_interval(timer *p_timer, uint32_t interval_ms);

// Enabled and in a bucket.
bool timer_is_running(const timer *p_timer);

// expire - current ticks, in ticks or ms; -1 when not running.
int timer_ticks_left(const timer *p_timer);
int timer_msecs_left(const timer *p_timer);

// Interval in ticks or ms; -1 for no timer.
int timer_get_interval(const timer *p_timer);
int timer_get_interval_msecs(const timer *p_timer);

// --- Dumps ------------------------------------------------------------------------------------

// One line per timer: "[bucket %#x] %p <name> <type> <state> <priority> <walked> interval %u
// expire %#lx (<ticks left>) cb %p %p %p %p %p". The plain forms write to syslog (debug level);
// the _to forms hand each line to print, the _file forms write lines to a stream.
void timer_dump(const timer *p_timer);
void timer_dump_to(const timer *p_timer, timer_print_fn print, void *print_arg);
void timer_dump_file(const timer *p_timer, FILE *out);

// Every created timer, the clock and the counters, then the timers of nbuckets buckets on each
// side of each wheel's current bucket.
void timer_mgr_dump(const timer_mgr *p_mgr, uint32_t nbuckets);
void timer_mgr_dump_to(const timer_mgr *p_mgr, uint32_t nbuckets, timer_print_fn print,
                       void *print_arg);
void timer_mgr_dump_file(const timer_mgr *p_mgr, uint32_t nbuckets, FILE *out);
