#include "peers/peer_util/peer_loop.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

volatile sig_atomic_t g_stop_requested = 0;

void note_stop(int) {
    g_stop_requested = 1;
}

void tick_cb(evutil_socket_t, short, void *arg) {
    static_cast<PeerLoop *>(arg)->run_timers();
}

}  // namespace

PeerLoop::PeerLoop() {
    base_ = event_base_new();
    tmr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    if (!base_ || !tmr_)
        return;
    timeval tick_tv{};
    timer_get_tick_interval(tmr_, &tick_tv);
    tick_ = event_new(base_, -1, EV_PERSIST, tick_cb, this);
    if (tick_)
        event_add(tick_, &tick_tv);
}

PeerLoop::~PeerLoop() {
    for (const auto &h : handlers_)
        event_free(h->ev);
    if (tick_)
        event_free(tick_);
    if (tmr_)
        timer_mgr_delete(tmr_);
    if (base_)
        event_base_free(base_);
}

void PeerLoop::add_handlers(std::initializer_list<int> signals, std::function<void(int)> fn,
                            bool stop) {
    for (int sig : signals) {
        auto h = std::make_unique<Handler>(Handler{this, fn, stop, nullptr});
        h->ev = evsignal_new(
            base_, sig,
            [](evutil_socket_t s, short, void *arg) {
                auto *handler = static_cast<Handler *>(arg);
                if (handler->fn)
                    handler->fn(static_cast<int>(s));
                if (handler->stop)
                    handler->loop->stop();
            },
            h.get());
        if (!h->ev)
            continue;
        event_add(h->ev, nullptr);
        handlers_.push_back(std::move(h));
    }
}

void PeerLoop::on_signals(std::initializer_list<int> signals, std::function<void(int)> fn) {
    add_handlers(signals, std::move(fn), false);
}

void PeerLoop::stop_on(std::initializer_list<int> signals, std::function<void(int)> fn) {
    add_handlers(signals, std::move(fn), true);
}

void PeerLoop::serve_peer_signals(std::function<void(int)> on_stop,
                                  std::function<void()> on_status) {
    stop_on({SIGTERM, SIGINT, SIGUSR2}, std::move(on_stop));
    on_signals({SIGUSR1}, [on_status = std::move(on_status)](int) { on_status(); });
}

void PeerLoop::run() {
    if (!peer_stop_requested())
        event_base_dispatch(base_);
}

void PeerLoop::stop() {
    event_base_loopbreak(base_);
}

void PeerLoop::run_timers() {
    timer_exec(tmr_, TIMER_PRI_MASK_ALL, kTimerBudgetMs);
}

bool PeerLoop::run_until(const std::function<bool()> &pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        event_base_loop(base_, EVLOOP_NONBLOCK);
        run_timers();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

msgq_params PeerLoop::local_queue_params() const {
    return msgq_local_params(base_, tmr_);
}

void peer_catch_stop_signals(std::initializer_list<int> signals) {
    for (int sig : signals)
        signal(sig, note_stop);
}

void peer_catch_stop_signals() {
    peer_catch_stop_signals({SIGTERM, SIGINT, SIGUSR2});
}

bool peer_stop_requested() {
    return g_stop_requested != 0;
}

bool peer_wait_until(const std::function<bool()> &ready) {
    while (!g_stop_requested && !ready())
        usleep(100 * 1000);
    return !g_stop_requested;
}

void peer_print_transport_error(const char *line) {
    std::fprintf(stderr, "%s\n", line);
}
