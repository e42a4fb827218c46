// Timer wheel costs: enable/disable and firing stay flat as the number of timers grows; far
// timers cost one skip per turn of the wheel.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "common/timer.h"

namespace {

int64_t g_now_ms;

void bench_clock(timespec *now, void *) {
    now->tv_sec = g_now_ms / 1000;
    now->tv_nsec = (g_now_ms % 1000) * 1000000;
}

void noop(timer *, void *, void *, void *, void *) {}

// A manager holding n timers with intervals spread over [min_ms, max_ms].
struct Wheel {
    timer_mgr *mgr;
    std::vector<timer *> timers;

    Wheel(int64_t n, uint32_t min_ms, uint32_t max_ms, uint8_t type) {
        g_now_ms = 0;
        mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        timer_mgr_set_clock(mgr, bench_clock, nullptr);
        std::mt19937 rng(7);
        std::uniform_int_distribution<uint32_t> interval(min_ms, max_ms);
        for (int64_t i = 0; i < n; ++i) {
            timers.push_back(timer_util_create(mgr, TIMER_PRI_NORMAL, type, interval(rng), noop,
                                               nullptr, nullptr, nullptr, nullptr, "bench"));
            timer_enable(timers.back());
        }
    }
    ~Wheel() {
        for (timer *t : timers)
            timer_util_delete(t);
        timer_mgr_delete(mgr);
    }
};

void BM_TimerEnableDisable(benchmark::State &state) {
    Wheel w(state.range(0), 10, 60000, TIMER_CYCLIC);
    timer *t = w.timers.front();
    for (auto _ : state) {
        timer_disable(t);
        timer_enable(t);
    }
}
BENCHMARK(BM_TimerEnableDisable)->Range(1, 1 << 17);

// One 10 ms tick per iteration over cyclic timers of 10 ms .. 20 s: cost per fired timer.
void BM_TimerFire(benchmark::State &state) {
    Wheel w(state.range(0), 10, 20000, TIMER_CYCLIC);
    uint32_t fired_before = w.mgr->nfired;
    for (auto _ : state) {
        g_now_ms += 10;
        timer_exec(w.mgr, TIMER_PRI_MASK_ALL, 100);
    }
    state.SetItemsProcessed(w.mgr->nfired - fired_before);
}
BENCHMARK(BM_TimerFire)->Range(1 << 10, 1 << 17);

// Timers 30 s away (beyond one turn of the wheel): each tick only skips the walked ones.
void BM_TimerFarSkip(benchmark::State &state) {
    Wheel w(state.range(0), 30000, 60000, TIMER_ONE_SHOT);
    int64_t restart_at = 20000;  // restart every timer before the first of them is due
    for (auto _ : state) {
        g_now_ms += 10;
        timer_exec(w.mgr, TIMER_PRI_MASK_ALL, 100);
        if (g_now_ms >= restart_at) {
            state.PauseTiming();
            for (timer *t : w.timers) {
                timer_disable(t);
                timer_enable(t);
            }
            restart_at = g_now_ms + 20000;
            state.ResumeTiming();
        }
    }
    benchmark::DoNotOptimize(w.mgr->nfired);
}
BENCHMARK(BM_TimerFarSkip)->Range(1 << 10, 1 << 17);

}  // namespace
