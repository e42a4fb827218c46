// The real start-up steps, in process: event base, signal events, base timer, program memory
// over a private shared object, the policy model and the compile context.
#include <event2/event.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/plx_log.h"
#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "daemon/plx_daemon.h"
#include "policy/plx_config.h"
#include "progmem/plx_if_fpmem.h"
#include "tests/support/fp_test_env.h"

namespace {

constexpr int kHandledSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGPIPE};

// Marks the tables of a private shared object ready, as a running forwarding plane does.
void forwarding_plane_ready() {
    ASSERT_EQ(fp_shm_attach(true, true), 0);
    fp_global_ctrl_tbl()->flags19 |= FP_GLOBAL_READY_BIT;
    fp_shm_detach();
}

// Saves and restores the test process's signal dispositions, which start-up replaces.
struct SavedSignals {
    struct sigaction saved[std::size(kHandledSignals)];
    SavedSignals() {
        for (size_t i = 0; i < std::size(kHandledSignals); ++i)
            sigaction(kHandledSignals[i], nullptr, &saved[i]);
    }
    ~SavedSignals() {
        for (size_t i = 0; i < std::size(kHandledSignals); ++i)
            sigaction(kHandledSignals[i], &saved[i], nullptr);
    }
};

// Runs plx_init with the default steps (the system-manager link is left out) against a
// forwarding plane that is already ready.
class EventLoop : public ::testing::Test {
  protected:
    FpTestEnv env;
    SavedSignals signals;
    plx_ctx ctx{};
    plx_init_steps steps = plx_default_init_steps();

    void SetUp() override {
        forwarding_plane_ready();
        std::erase_if(steps,
                      [](const plx_init_step &s) { return s.name == std::string("sysmgr link"); });
        ASSERT_EQ(plx_init(&ctx, steps), 0);
        plx_debug_flags = 0;
    }
    void TearDown() override {
        plx_shutdown(&ctx, steps);
        EXPECT_EQ(ctx.evbase, nullptr);
        EXPECT_EQ(ctx.tmr_mgr, nullptr);
        EXPECT_EQ(ctx.compiler, nullptr);
        EXPECT_EQ(ctx.mem_ops, nullptr);
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

// Start-up leaves the model with its built-in classes and the compiler placing programs in the
// forwarding plane's filter memory, under a filter number.
TEST_F(EventLoop, CompilesIntoFilterMemoryWithTheBuiltInClasses) {
    ASSERT_NE(ctx.policy, nullptr);
    const plx::cfg::plx_fwd_class *fc = plx::cfg::plx_class_find(ctx.policy, "__control_fc");
    ASSERT_NE(fc, nullptr);
    EXPECT_EQ(fc->class_id, 0u);
    EXPECT_NE(plx::cfg::plx_sla_class_find(ctx.policy, plx::cfg::PLX_SLA_ALL_TUNNELS), nullptr);
    ASSERT_NE(ctx.compiler, nullptr);

    ActionData accept{};
    accept.slot[0].base_action = PLX_ACT_ACCEPT;
    PlxRuleTablePtr rt(plx_ruletable_create("web", "1", sizeof accept, &accept));
    plx_rule *r = plx_ruletable_add_rule(rt.get(), "10");
    plx_ruletable_set_action(r, sizeof accept, &accept);
    plx_field_add_range(ctx.compiler, r, plx_field_get_table(ctx.compiler, PLX_FIELD_DST_PORT), 80,
                        80);
    PolicyProgram *prog = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(plx_compile(ctx.compiler, rt.get(), &prog, &len), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(prog), fp_filter_mem());
    EXPECT_EQ(ctx.compiler->filter_id, 0u);
    EXPECT_EQ(fp_filters()[0].valid, 1);
    EXPECT_EQ(fp_filters()[0].num_blocks, plx_mem_blocks(len));
    plx_compiler_reset(ctx.compiler);

    plx_compiler_free_program(ctx.compiler, prog);
    EXPECT_EQ(plx_mem_pending_releases(), 1);
}

// The compiler's yield hook runs only the high-priority wheel, at most once per 5 ms.
TEST_F(EventLoop, CompileYieldRunsDueHighPriorityTimers) {
    g_offset_ms = 0;
    timer_mgr_set_clock(ctx.tmr_mgr, offset_clock, nullptr);
    int high = 0, normal = 0;
    timer *th = timer_util_create(ctx.tmr_mgr, TIMER_PRI_HIGH, TIMER_ONE_SHOT, 10, count_fire,
                                  &high, nullptr, nullptr, nullptr, "high");
    timer *tn = timer_util_create(ctx.tmr_mgr, TIMER_PRI_NORMAL, TIMER_ONE_SHOT, 10, count_fire,
                                  &normal, nullptr, nullptr, nullptr, "normal");
    timer_enable(th);
    timer_enable(tn);
    g_offset_ms += 20;
    std::this_thread::sleep_for(std::chrono::milliseconds(PLX_YIELD_INTERVAL_MS + 1));

    auto first = std::chrono::steady_clock::now();
    plx_compiler_yield(ctx.compiler);  // through the hook that start-up installed
    EXPECT_EQ(high, 1);
    EXPECT_EQ(normal, 0);

    timer_enable(th);
    g_offset_ms += 20;
    plx_compiler_yield(ctx.compiler);
    if (std::chrono::steady_clock::now() - first <
        std::chrono::milliseconds(PLX_YIELD_INTERVAL_MS)) {
        EXPECT_EQ(high, 1) << "ran again within the interval";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(PLX_YIELD_INTERVAL_MS + 1));
    plx_compiler_yield(ctx.compiler);
    EXPECT_EQ(high, 2);
    EXPECT_EQ(normal, 0);

    plx_ctx no_timers{};
    plx_compiler_yield_hook(&no_timers);
    plx_compiler_yield_hook(nullptr);
    timer_util_delete(th);
    timer_util_delete(tn);
}

// A program memory that cannot attach fails start-up with its code, undoing the earlier steps.
TEST(PlxInitReal, ProgramMemoryFailureUnwinds) {
    FpTestEnv env;
    SavedSignals signals;
    setenv("PLX_SHM_PREFIX", "no/such/dir/", 1);  // no shared object can have this name
    plx_ctx ctx{};
    plx_init_steps steps = plx_default_init_steps();
    EXPECT_NE(plx_init(&ctx, steps), 0);
    EXPECT_EQ(ctx.evbase, nullptr);
    EXPECT_EQ(ctx.tmr_mgr, nullptr);
    EXPECT_EQ(ctx.mem_ops, nullptr);
    EXPECT_EQ(ctx.policy, nullptr);
}

}  // namespace
