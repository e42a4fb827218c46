// The real event base, signal events and base timer, in process.
#include <event2/event.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <string>
#include <vector>

#include "common/plx_log.h"
#include "common/timer.h"
#include "daemon/plx_daemon.h"

namespace {

constexpr int kHandledSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGPIPE};

// Runs plx_init with the real event and base-timer steps (the other steps are placeholders and
// the system-manager link is left out), and restores the test process's signal dispositions.
class EventLoop : public ::testing::Test {
  protected:
    plx_ctx ctx{};
    plx_init_steps steps = plx_default_init_steps();
    struct sigaction saved[std::size(kHandledSignals)];

    void SetUp() override {
        for (size_t i = 0; i < std::size(kHandledSignals); ++i)
            sigaction(kHandledSignals[i], nullptr, &saved[i]);
        steps.sysmgr_connect = [](plx_ctx *) { return 0; };
        steps.sysmgr_close = [](plx_ctx *) {};
        ASSERT_EQ(plx_init(&ctx, steps), 0);
        plx_debug_flags = 0;
    }
    void TearDown() override {
        plx_shutdown(&ctx, steps);
        EXPECT_EQ(ctx.evbase, nullptr);
        EXPECT_EQ(ctx.tmr_mgr, nullptr);
        for (size_t i = 0; i < std::size(kHandledSignals); ++i)
            sigaction(kHandledSignals[i], &saved[i], nullptr);
        plx_debug_flags = 0;
    }
    // Runs loop passes until pred holds (at most about two seconds).
    template <class Pred>
    bool run_until(Pred pred) {
        for (int i = 0; i < 200 && !pred(); ++i)
            event_base_loop(ctx.evbase, EVLOOP_ONCE);
        return pred();
    }
};

TEST_F(EventLoop, Usr1TogglesDebugWordAndUsr2BreaksLoop) {
    raise(SIGUSR1);
    EXPECT_TRUE(run_until([] { return plx_debug_flags == PLX_DEBUG_ALL_OFF; }));
    EXPECT_EQ(plx_debug_flags, 32u);
    raise(SIGUSR1);
    EXPECT_TRUE(run_until([] { return plx_debug_flags == PLX_DEBUG_ALL_ON; }));
    EXPECT_EQ(plx_debug_flags, static_cast<uint64_t>(-2));
    plx_debug_flags = PLX_DEBUG_CONFIG;  // any word other than 32 becomes 32
    raise(SIGUSR1);
    EXPECT_TRUE(run_until([] { return plx_debug_flags == PLX_DEBUG_ALL_OFF; }));

    raise(SIGUSR2);
    EXPECT_EQ(event_base_loop(ctx.evbase, 0), 0);  // returns only once the loop is broken
    EXPECT_TRUE(event_base_got_break(ctx.evbase));
}

void count_fire(timer *, void *count, void *, void *, void *) {
    ++*static_cast<int *>(count);
}

TEST_F(EventLoop, BaseTimerDrivesTheWheel) {
    int fired = 0;
    timer *t = timer_util_create(ctx.tmr_mgr, TIMER_PRI_HIGH, TIMER_CYCLIC, 20, count_fire, &fired,
                                 nullptr, nullptr, nullptr, "cyc");
    timer_enable(t);
    EXPECT_TRUE(run_until([&] { return fired >= 3; }));
    timer_util_delete(t);
}

// Real monotonic time plus an offset that slow callbacks push forward.
int64_t g_offset_ms;
void offset_clock(timespec *now, void *) {
    clock_gettime(CLOCK_MONOTONIC, now);
    int64_t ns = now->tv_nsec + (g_offset_ms % 1000) * 1000000;
    now->tv_sec += g_offset_ms / 1000 + ns / 1000000000;
    now->tv_nsec = ns % 1000000000;
}

void slow_fire(timer *t, void *names, void *, void *, void *) {
    static_cast<std::vector<std::string> *>(names)->push_back(t->name);
    g_offset_ms += 80;
}

TEST_F(EventLoop, PassOverBudgetResumesOnTheNextLoopPass) {
    g_offset_ms = 0;
    timer_mgr_set_clock(ctx.tmr_mgr, offset_clock, nullptr);
    std::vector<std::string> names;
    std::vector<timer *> timers;
    for (const char *name : {"a1", "a2", "a3", "b1"}) {
        uint32_t ms = name[0] == 'a' ? 10 : 20;
        timers.push_back(timer_util_create(ctx.tmr_mgr, TIMER_PRI_NORMAL, TIMER_ONE_SHOT, ms,
                                           slow_fire, &names, nullptr, nullptr, nullptr, name));
        timer_enable(timers.back());
    }
    g_offset_ms += 20;
    plx_base_timer_cb(-1, EV_TIMEOUT, &ctx);
    EXPECT_EQ(names, (std::vector<std::string>{"a1", "a2", "a3"}));
    // The base timer was activated again: the next pass runs the rest without waiting a tick.
    event_base_loop(ctx.evbase, EVLOOP_NONBLOCK);
    EXPECT_EQ(names.size(), 4u);
    for (timer *t : timers)
        timer_util_delete(t);
}

}  // namespace
