#include "common/timer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// A manual monotonic clock.
struct FakeClock {
    int64_t ms = 1'000'000;
    void advance(int64_t d) { ms += d; }
    static void read(timespec *now, void *arg) {
        auto *c = static_cast<FakeClock *>(arg);
        now->tv_sec = c->ms / 1000;
        now->tv_nsec = (c->ms % 1000) * 1000000;
    }
};

struct TimerWheel : ::testing::Test {
    FakeClock clock;
    timer_mgr *mgr = nullptr;
    std::vector<std::string> fired;

    void SetUp() override { make(TIMER_PRI_MASK_ALL); }
    void TearDown() override {
        while (!dll_empty(&mgr->timers))
            timer_util_delete(DLL_ENTRY(dll_head(&mgr->timers), timer, mgr_node));
        timer_mgr_delete(mgr);
    }
    void make(uint32_t mask) {
        if (mgr)
            TearDown();
        mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, mask);
        ASSERT_NE(mgr, nullptr);
        timer_mgr_set_clock(mgr, FakeClock::read, &clock);
    }
    static void record(timer *t, void *self, void *, void *, void *) {
        static_cast<TimerWheel *>(self)->fired.push_back(t->name);
    }
    timer *add(const char *name, uint32_t ms, uint8_t type = TIMER_ONE_SHOT,
               uint8_t pri = TIMER_PRI_NORMAL, timer_cb_fn cb = record) {
        timer *t = timer_util_create(mgr, pri, type, ms, cb, this, nullptr, nullptr, nullptr, name);
        EXPECT_NE(t, nullptr);
        return t;
    }
    // Advances the clock tick by tick, running the wheel at each step like the base timer does.
    void run_ticks(int n) {
        for (int i = 0; i < n; ++i) {
            clock.advance(10);
            EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), 0);
        }
    }
};

TEST_F(TimerWheel, ConversionsRoundAndFollowTheResolution) {
    EXPECT_EQ(timer_msecs_to_ticks_noround(TIMER_RES_10MS, 19), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_50MS, 24), 0u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_50MS, 25), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1MIN, 29999), 0u);
    EXPECT_EQ(timer_ticks_to_msecs(TIMER_RES_500MS, 3), 1500u);

    timeval tv{};
    EXPECT_EQ(timer_get_tick_interval(mgr, &tv), TIMER_RES_10MS);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 10000);
}

TEST_F(TimerWheel, IntervalsFireOnTheRoundedTick) {
    EXPECT_EQ(std::string(add("a-name-that-is-much-longer-than-thirty-nine-chars", 10)->name),
              "a-name-that-is-much-longer-than-thirty-");
    timer *zero = add("zero", 0);
    timer *four = add("four", 4);
    timer *five = add("five", 5);
    timer *half = add("half", 500);
    EXPECT_EQ(timer_get_interval(half), 50);
    EXPECT_EQ(timer_get_interval(four), 0);
    for (timer *t : {zero, four, five, half})
        timer_enable(t);
    EXPECT_EQ(mgr->nactive, 4u);

    run_ticks(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"zero", "four", "five"}));
    EXPECT_EQ(zero->state, TIMER_STATE_DISABLED);
    EXPECT_FALSE(timer_is_running(zero));
    EXPECT_EQ(timer_ticks_left(half), 49);
    EXPECT_EQ(timer_msecs_left(half), 490);
    run_ticks(48);
    EXPECT_EQ(fired.size(), 3u);
    run_ticks(1);
    EXPECT_EQ(fired.back(), "half");
    EXPECT_EQ(mgr->nactive, 0u);
    EXPECT_EQ(mgr->nfired, 4u);
}

TEST_F(TimerWheel, CyclicTimerAndEnableDisableAreIdempotent) {
    timer *t = add("cyc", 30, TIMER_CYCLIC);
    timer_enable(t);
    timer_enable(t);
    EXPECT_EQ(mgr->nactive, 1u);
    run_ticks(9);
    EXPECT_EQ(fired.size(), 3u);
    EXPECT_TRUE(timer_is_running(t));
    timer_disable(t);
    timer_disable(t);
    EXPECT_EQ(mgr->nactive, 0u);
    run_ticks(9);
    EXPECT_EQ(fired.size(), 3u);

    timer_reset_interval(t, 20);  // runs afterwards in any case
    EXPECT_TRUE(timer_is_running(t));
    EXPECT_EQ(timer_get_interval_msecs(t), 20);
    timer_disable(t);
    timer_update_interval(t, 40);  // not running: stays stopped
    EXPECT_FALSE(timer_is_running(t));
    EXPECT_EQ(timer_ticks_left(t), -1);
}

TEST_F(TimerWheel, FarTimerSharesBucketAndFiresOnlyOnItsTurn) {
    timer *far = add("far", 30000, TIMER_CYCLIC);  // 3000 ticks: bucket 952
    timer *near = add("near", 9520);               // 952 ticks: same bucket, earlier turn
    timer_enable(far);
    timer_enable(near);
    EXPECT_EQ(far->bucket, near->bucket);
    clock.advance(9520);
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100000), 0);
    EXPECT_EQ(fired, std::vector<std::string>{"near"});
    EXPECT_EQ(far->walked, 0);  // the walked mark is cleared once the tick is done
    clock.advance(30000 - 9520 - 10);
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100000), 0);
    EXPECT_EQ(fired.size(), 1u);
    run_ticks(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"near", "far"}));
    EXPECT_EQ(far->expire, 6000u);
}

// Each call advances the clock by 80 ms, as a slow callback would.
void slow(timer *t, void *self, void *, void *, void *) {
    auto *f = static_cast<TimerWheel *>(self);
    f->fired.push_back(t->name);
    f->clock.advance(80);
}

TEST_F(TimerWheel, BudgetDefersTheRestAndStallsAreCaughtUp) {
    for (const char *name : {"a1", "a2", "a3"})
        timer_enable(add(name, 10, 0, 0, slow));
    for (const char *name : {"b1", "b2"})
        timer_enable(add(name, 20, 0, 0, slow));
    clock.advance(20);
    // a3 starts 160 ms in (> 100 + 50): it still runs, the next tick is left for later.
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), TIMER_EXEC_MORE);
    EXPECT_EQ(fired, (std::vector<std::string>{"a1", "a2", "a3"}));
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(fired.size(), 5u);
    EXPECT_EQ(mgr->nactive, 0u);

    // After a stall every missed tick is caught up, one by one.
    fired.clear();
    timer_enable(add("cyc", 10, TIMER_CYCLIC));
    clock.advance(1000);
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(fired.size(), 100u);
}

TEST_F(TimerWheel, HighWheelRunsFirstMaskSelectsWheelsMissingWheelFallsBack) {
    timer_enable(add("lo", 10));
    timer_enable(add("hi", 10, TIMER_ONE_SHOT, TIMER_PRI_HIGH));
    clock.advance(10);
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_HIGH, 100), 0);
    EXPECT_EQ(fired, std::vector<std::string>{"hi"});
    EXPECT_EQ(timer_exec(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(fired, (std::vector<std::string>{"hi", "lo"}));

    make(TIMER_PRI_MASK_NORMAL);
    timer *t = add("hi", 10, TIMER_ONE_SHOT, TIMER_PRI_HIGH);
    EXPECT_EQ(t->priority, TIMER_PRI_NORMAL);
    make(TIMER_PRI_MASK_HIGH);
    EXPECT_EQ(timer_util_create(mgr, TIMER_PRI_NORMAL, 0, 10, record, this, nullptr, nullptr,
                                nullptr, "lo"),
              nullptr);
    EXPECT_EQ(mgr->ncreated, 0u);
}

// Callback behaviours driven by argument 2.
enum Action { REARM_SELF, DELETE_SELF, DELETE_OTHER, DISABLE_OTHER };
timer *g_victim;
timer *g_sleeper;

void acting(timer *t, void *self, void *action, void *, void *) {
    static_cast<TimerWheel *>(self)->fired.push_back(t->name);
    switch (reinterpret_cast<intptr_t>(action)) {
        case REARM_SELF:
            timer_enable(t);
            break;
        case DELETE_SELF:
            timer_util_delete(t);
            break;
        case DELETE_OTHER:
            timer_util_delete(g_victim);
            break;
        case DISABLE_OTHER:
            timer_disable(g_sleeper);
            break;
    }
}

timer *add_acting(TimerWheel &f, const char *name, Action a, uint8_t type = TIMER_ONE_SHOT) {
    return timer_util_create(f.mgr, 0, type, 10, acting, &f, reinterpret_cast<void *>(a), nullptr,
                             nullptr, name);
}

TEST_F(TimerWheel, CallbacksMayRearmOrDeleteTimers) {
    timer *rearm = add_acting(*this, "rearm", REARM_SELF);
    timer *self_del = add_acting(*this, "selfdel", DELETE_SELF, TIMER_CYCLIC);
    timer_enable(rearm);
    timer_enable(self_del);
    run_ticks(3);
    EXPECT_EQ(fired, (std::vector<std::string>{"rearm", "selfdel", "rearm", "rearm"}));
    EXPECT_EQ(mgr->ndeleted, 1u);
    EXPECT_TRUE(timer_is_running(rearm));
    timer_util_delete(rearm);

    // Timers due in the same bucket: one deleted, one disabled by earlier callbacks of that tick.
    fired.clear();
    timer *killer = add_acting(*this, "killer", DELETE_OTHER);
    g_victim = add("victim", 10);
    timer_enable(killer);
    timer_enable(g_victim);
    timer *disabler = add_acting(*this, "disabler", DISABLE_OTHER);
    timer_enable(disabler);
    g_sleeper = add("sleeper", 10);
    timer_enable(g_sleeper);
    run_ticks(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"killer", "disabler"}));
    EXPECT_EQ(mgr->nactive, 0u);
    EXPECT_EQ(mgr->ncreated, mgr->ndeleted + 3);
    EXPECT_EQ(g_sleeper->state, TIMER_STATE_DISABLED);
}

// A callback that compiles for 30 ms and, like the compiler's yield hook, runs the high wheel
// in the middle of it.
void compiling(timer *t, void *self, void *, void *, void *) {
    auto *f = static_cast<TimerWheel *>(self);
    f->clock.advance(30);
    EXPECT_EQ(timer_exec(f->mgr, TIMER_PRI_MASK_HIGH, 100), 0);
    f->fired.push_back(t->name);
}

TEST_F(TimerWheel, NestedRunFromACallbackSkipsNoTick) {
    // On the high wheel itself: the nested run must not take over the tick the outer run is
    // in; "late" falls on the tick an outer run would step over after a takeover.
    timer_enable(add("compile", 10, TIMER_ONE_SHOT, TIMER_PRI_HIGH, compiling));
    timer_enable(add("next", 20, TIMER_ONE_SHOT, TIMER_PRI_HIGH));
    timer_enable(add("late", 50, TIMER_ONE_SHOT, TIMER_PRI_HIGH));
    run_ticks(3);
    EXPECT_EQ(fired, (std::vector<std::string>{"compile", "next", "late"}));
    EXPECT_EQ(mgr->nactive, 0u);
    EXPECT_EQ(mgr->wheels[TIMER_PRI_HIGH]->next_ticks, mgr->cur_ticks + 1);

    // From a normal-wheel callback the nested run serves the high wheel, as a compile needs.
    fired.clear();
    timer_enable(add("compile-lo", 10, TIMER_ONE_SHOT, TIMER_PRI_NORMAL, compiling));
    timer_enable(add("hello", 20, TIMER_ONE_SHOT, TIMER_PRI_HIGH));
    timer_enable(add("lo", 20));
    run_ticks(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"hello", "compile-lo", "lo"}));
    run_ticks(3000);  // a full turn of the wheel later nothing is found stale
    EXPECT_EQ(mgr->nactive, 0u);
}

using TimerDeathTest = TimerWheel;

// Assertion lines and console log lines go to standard output; death tests read standard error.
#define EXPECT_DIES_SAYING(stmt, regex)           \
    EXPECT_DEATH(                                 \
        {                                         \
            dup2(2, 1);                           \
            plx_debug_flags |= PLX_DEBUG_CONSOLE; \
            stmt;                                 \
        },                                        \
        regex)

TEST(DllDeathTest, InvariantsStopTheProcess) {
    dll list;
    dll_init(&list);
    dll_node a{}, b{};
    dll_append(&list, &a);
    dll_append(&list, &b);
    EXPECT_DIES_SAYING(dll_append(&list, &b),
                       "dll:[0-9]+: failed assertion `p_newnode->p_next == NULL && "
                       "p_newnode->p_prev == NULL'");
    dll_remove(&list, &a);
    EXPECT_EQ(dll_head(&list), &b);
    EXPECT_EQ(a.p_next, nullptr);
    list.count = 0;  // count disagrees with the links
    EXPECT_DIES_SAYING(dll_remove(&list, &b), "failed assertion `p_dll->count > 0'");
    dll_node c{};
    EXPECT_DIES_SAYING(dll_append(&list, &c), "failed assertion `p_dll->count > 0'");
}

TEST_F(TimerDeathTest, LiveTimersAtManagerDeleteAndBadResolution) {
    timer_enable(add("live", 10));
    EXPECT_DIES_SAYING(timer_mgr_delete(mgr), "List of Created Timers:(.|\n)*failed assertion");
    EXPECT_DIES_SAYING(timer_resolution_msecs(6), "failed assertion `res < TIMER_RES_COUNT'");
}

}  // namespace
