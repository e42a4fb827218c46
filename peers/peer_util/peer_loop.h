// The event loop of the router's peer programs (fibd, sysmgrd) and of the tools that stand in
// for plxd (plxload): an event base, a 10 ms timer manager whose due timers a persistent tick
// event runs, and signal events. Before the loop runs, stop signals can be caught as a flag so
// that a long start-up wait still ends on them.
#pragma once

#include <event2/event.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "common/msgq_util.h"
#include "common/timer.h"

class PeerLoop {
  public:
    // Longest time one tick spends running due timers.
    static constexpr uint32_t kTimerBudgetMs = 100;

    // Creates the event base, the timer manager and the tick; check ok().
    PeerLoop();
    // Frees the signal events, the tick, the timer manager and the event base. Queues and
    // timers made on them must be gone by then.
    ~PeerLoop();
    PeerLoop(const PeerLoop &) = delete;
    PeerLoop &operator=(const PeerLoop &) = delete;

    // False when memory ran out in the constructor.
    bool ok() const { return base_ && tmr_ && tick_; }
    event_base *base() const { return base_; }
    timer_mgr *tmr() const { return tmr_; }

    // Each of these signals calls fn(signal) from the loop.
    void on_signals(std::initializer_list<int> signals, std::function<void(int)> fn);
    // Each of these signals calls fn(signal) and ends the loop.
    void stop_on(std::initializer_list<int> signals, std::function<void(int)> fn);
    // The signals of every peer program: SIGTERM, SIGINT and SIGUSR2 call on_stop(signal) and end
    // the loop; SIGUSR1 calls on_status().
    void serve_peer_signals(std::function<void(int)> on_stop, std::function<void()> on_status);
    // Runs the loop until a stop signal; returns at once when one was caught before
    // (peer_stop_requested()).
    void run();
    // Ends the loop from a callback.
    void stop();
    // Runs the due timers (what each tick does).
    void run_timers();
    // Outside run(): polls the loop and runs the due timers every 10 ms until pred() holds
    // (true) or timeout_ms passed (false).
    bool run_until(const std::function<bool()> &pred, int timeout_ms);

    // Transport parameters for a queue on this loop over local sockets, errors to LOG_LOCAL7.
    msgq_params local_queue_params() const;

  private:
    struct Handler {
        PeerLoop *loop;
        std::function<void(int)> fn;
        bool stop;
        event *ev;
    };
    void add_handlers(std::initializer_list<int> signals, std::function<void(int)> fn, bool stop);

    event_base *base_ = nullptr;
    timer_mgr *tmr_ = nullptr;
    event *tick_ = nullptr;
    std::vector<std::unique_ptr<Handler>> handlers_;
};

// Before the loop runs: these signals only set the flag that peer_stop_requested() reads (the
// loop's own signal events take them over once added).
void peer_catch_stop_signals(std::initializer_list<int> signals);
// The same for the stop signals of every peer program (SIGTERM, SIGINT and SIGUSR2).
void peer_catch_stop_signals();
bool peer_stop_requested();

// Polls ready() every 100 ms until it holds; false when a caught stop signal came first.
bool peer_wait_until(const std::function<bool()> &ready);

// A transport log hook (msgq_set_log_hook) that prints each error line on standard error.
void peer_print_transport_error(const char *line);
