#include "peers/peer_util/peer_loop.h"
#include "peers/peer_util/peer_main.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
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

// Options reach the program in order; -h, a bad option and a stray operand end the parse with
// their exit status; a program that takes operands keeps them.
TEST(PeerCommandLine, OptionsHelpAndBadUsage) {
    static const option longs[] = {{"tlocs", required_argument, nullptr, 't'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    auto parse = [](std::vector<std::string> args, bool operands, std::string *seen) {
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        optind = 0;  // a fresh parse
        opterr = 0;
        PeerCommandLine cl{"t", [](FILE *) {}, "t:qh", longs, 2, operands};
        return peer_parse_options(cl, static_cast<int>(argv.size()), argv.data(),
                                  [seen](int c, const char *arg) {
                                      *seen += static_cast<char>(c);
                                      *seen += arg ? arg : "";
                                  });
    };
    std::string seen;
    EXPECT_EQ(parse({"t", "-q", "--tlocs", "f", "-tg"}, false, &seen), -1);
    EXPECT_EQ(seen, "qtftg");
    EXPECT_EQ(parse({"t", "-q", "-h", "-t", "x"}, false, &seen), 0);
    EXPECT_EQ(parse({"t", "-x"}, false, &seen), 2);
    EXPECT_EQ(parse({"t", "-t"}, false, &seen), 2);
    EXPECT_EQ(parse({"t", "-q", "list"}, false, &seen), 2);
    EXPECT_EQ(parse({"t", "-q", "list"}, true, &seen), -1);
}

}  // namespace
