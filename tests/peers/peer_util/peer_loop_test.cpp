#include "peers/peer_util/peer_loop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <vector>

namespace {

void on_timer(timer *, void *arg, void *, void *, void *) {
    ++*static_cast<int *>(arg);
}

// Signals reach their handlers from the loop; a stop signal ends it, a plain one does not, and
// the timer manager's timers run from the tick meanwhile.
TEST(PeerLoop, SignalsAndTimersRunFromTheLoop) {
    PeerLoop loop;
    ASSERT_TRUE(loop.ok());
    std::vector<int> seen;
    int fired = 0;
    timer *t = timer_util_create(loop.tmr(), TIMER_PRI_NORMAL, TIMER_ONE_SHOT, 10, on_timer, &fired,
                                 nullptr, nullptr, nullptr, "peer-loop-test");
    ASSERT_NE(t, nullptr);
    timer_enable(t);
    loop.on_signals({SIGUSR1}, [&](int sig) {
        seen.push_back(sig);
        raise(SIGUSR2);
    });
    loop.stop_on({SIGUSR2}, [&](int sig) { seen.push_back(sig); });
    // The signal comes once the loop is running and the timer had its turn.
    timer *kick = timer_util_create(
        loop.tmr(), TIMER_PRI_NORMAL, TIMER_ONE_SHOT, 50,
        [](timer *, void *, void *, void *, void *) { raise(SIGUSR1); }, nullptr, nullptr, nullptr,
        nullptr, "peer-loop-kick");
    ASSERT_NE(kick, nullptr);
    timer_enable(kick);
    loop.run();
    EXPECT_EQ(seen, (std::vector<int>{SIGUSR1, SIGUSR2}));
    EXPECT_EQ(fired, 1);
    // Outside run(), run_until drives the timers too, and gives up after its time.
    timer_enable(t);
    EXPECT_TRUE(loop.run_until([&] { return fired == 2; }, 2000));
    EXPECT_FALSE(loop.run_until([] { return false; }, 30));
    timer_util_delete(t);
    timer_util_delete(kick);

    msgq_params p = loop.local_queue_params();
    EXPECT_EQ(p.evbase, loop.base());
    EXPECT_EQ(p.tmr_mgr, loop.tmr());
    EXPECT_EQ(p.sock_type, static_cast<uint32_t>(MSGQ_SOCK_TYPE_LOCAL));
}

// A stop signal caught before the loop ends a start-up wait and keeps the loop from running.
TEST(PeerLoop, StopSignalBeforeTheLoopEndsWaitAndRun) {
    int polls = 0;
    EXPECT_TRUE(peer_wait_until([&] { return ++polls == 2; }));
    EXPECT_EQ(polls, 2);
    peer_catch_stop_signals({SIGHUP});
    EXPECT_FALSE(peer_stop_requested());
    raise(SIGHUP);
    EXPECT_TRUE(peer_stop_requested());
    EXPECT_FALSE(peer_wait_until([] { return false; }));
    PeerLoop loop;
    ASSERT_TRUE(loop.ok());
    loop.run();  // returns at once
}

}  // namespace
