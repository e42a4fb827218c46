// Pieces of a compile handed to worker threads: each runs once, a failure comes back to the
// caller, and the kept workers serve call after call, nested calls and concurrent callers.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "compiler/plx_jobs.h"

namespace {

// Runs n pieces on `threads` threads and checks that each ran exactly once.
void run_each_once(uint32_t threads, size_t n) {
    std::vector<std::atomic<int>> runs(n);
    plx_run_jobs(threads, n, [&](size_t i) { runs[i].fetch_add(1); });
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(runs[i].load(), 1) << "piece " << i << " of " << n << " on " << threads;
}

TEST(Jobs, EveryPieceRunsOnceCallAfterCall) {
    for (int call = 0; call < 200; ++call)
        run_each_once(call % 2 ? 2 : 4, static_cast<size_t>(1 + call % 37));
}

TEST(Jobs, AFailingPieceIsRethrownAndTheWorkersServeTheNextCall) {
    EXPECT_THROW(plx_run_jobs(2, 64,
                              [](size_t i) {
                                  if (i == 5)
                                      throw std::runtime_error("piece 5");
                              }),
                 std::runtime_error);
    run_each_once(2, 64);
}

TEST(Jobs, NestedAndConcurrentCallsFinish) {
    std::atomic<int> inner{0};
    plx_run_jobs(2, 8, [&](size_t) { plx_run_jobs(2, 4, [&](size_t) { inner.fetch_add(1); }); });
    EXPECT_EQ(inner.load(), 32);
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t)
        callers.emplace_back([] {
            for (int call = 0; call < 50; ++call)
                run_each_once(2, 16);
        });
    for (auto &c : callers)
        c.join();
}

}  // namespace
