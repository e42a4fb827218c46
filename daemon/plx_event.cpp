// Event base, signals and the base timer.
#include <event2/event.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cinttypes>

#include "common/plx_log.h"
#include "common/plx_status.h"
#include "common/timer.h"
#include "daemon/plx_daemon.h"

// Signal events that cannot be created.
constexpr int PLX_EIO = EIO;

namespace {

// The fatal-signal line follows the assertion convention; it is preformatted because only
// async-signal-safe calls may run in the handler.
constexpr char FATAL_SIGNAL_LINE[] = "qrv_signal:64: failed assertion `0'\n";

void fatal_signal(int, siginfo_t *, void *) {
    // abort() raises SIGABRT, which would come back here: let it take the default action.
    signal(SIGABRT, SIG_DFL);
    ssize_t rc = write(STDOUT_FILENO, FATAL_SIGNAL_LINE, sizeof(FATAL_SIGNAL_LINE) - 1);
    (void)rc;
    abort();
}

// Immediate exit without the stop sequence. _exit() is the async-signal-safe form of exit().
void term_signal(int, siginfo_t *, void *) {
    _exit(0);
}

void set_handler(int signo, void (*handler)(int, siginfo_t *, void *)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
}

}  // namespace

void plx_signal_init() {
    set_handler(SIGTERM, term_signal);
    for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGABRT})
        set_handler(signo, fatal_signal);
    signal(SIGPIPE, SIG_IGN);
}

int plx_event_init(plx_ctx *ctx) {
    event_config *cfg = event_config_new();
    if (!cfg)
        return PLX_ENOMEM;
    event_config_require_features(cfg, EV_FEATURE_ET | EV_FEATURE_O1);
    event_config_set_flag(cfg, EVENT_BASE_FLAG_NOLOCK);
    ctx->evbase = event_base_new_with_config(cfg);
    if (ctx->evbase)
        event_base_priority_init(ctx->evbase, 2);
    event_config_free(cfg);
    if (!ctx->evbase) {
        PLX_LOG("Failed to create the event base");
        return PLX_ENOMEM;
    }

    ctx->usr1_ev = evsignal_new(ctx->evbase, SIGUSR1, plx_usr1_signal, ctx);
    if (!ctx->usr1_ev) {
        plx_event_deinit(ctx);
        return PLX_EIO;
    }
    event_add(ctx->usr1_ev, nullptr);
    ctx->usr2_ev = evsignal_new(ctx->evbase, SIGUSR2, plx_usr2_signal, ctx);
    if (!ctx->usr2_ev) {
        plx_event_deinit(ctx);
        return PLX_EIO;
    }
    event_add(ctx->usr2_ev, nullptr);

    plx_signal_init();
    return 0;
}

void plx_event_deinit(plx_ctx *ctx) {
    for (event **ev : {&ctx->usr1_ev, &ctx->usr2_ev}) {
        if (*ev)
            event_free(*ev);
        *ev = nullptr;
    }
    if (ctx->evbase)
        event_base_free(ctx->evbase);
    ctx->evbase = nullptr;
}

int plx_base_timer_init(plx_ctx *ctx) {
    ctx->base_timer_ev = event_new(ctx->evbase, -1, 0, plx_base_timer_cb, ctx);
    if (!ctx->base_timer_ev)
        return PLX_ENOMEM;
    ctx->tmr_mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    timeval tick{};
    if (!ctx->tmr_mgr) {
        event_free(ctx->base_timer_ev);
        ctx->base_timer_ev = nullptr;
        return PLX_ENOMEM;
    }
    timer_get_tick_interval(ctx->tmr_mgr, &tick);
    if (event_add(ctx->base_timer_ev, &tick) != 0) {
        event_free(ctx->base_timer_ev);
        ctx->base_timer_ev = nullptr;
        timer_mgr_delete(ctx->tmr_mgr);
        ctx->tmr_mgr = nullptr;
        return PLX_ENOMEM;
    }
    return 0;
}

void plx_base_timer_deinit(plx_ctx *ctx) {
    if (ctx->base_timer_ev) {
        event_del(ctx->base_timer_ev);
        event_free(ctx->base_timer_ev);
        ctx->base_timer_ev = nullptr;
    }
    if (ctx->tmr_mgr) {
        timer_mgr_delete(ctx->tmr_mgr);
        ctx->tmr_mgr = nullptr;
    }
}

void plx_base_timer_cb(evutil_socket_t, short what, void *arg) {
    auto *ctx = static_cast<plx_ctx *>(arg);
    if (what != 0 && what != EV_TIMEOUT) {
        PLX_LOG("Spurious timer ignored what = %#x arg = %p", static_cast<unsigned>(what), arg);
        return;
    }
    timeval tick{};
    timer_get_tick_interval(ctx->tmr_mgr, &tick);
    event_add(ctx->base_timer_ev, &tick);
    // A pass that ran out of budget leaves due timers: run them on the next pass of the loop,
    // after the other ready events.
    if (timer_exec(ctx->tmr_mgr, TIMER_PRI_MASK_ALL, PLX_BASE_TIMER_BUDGET_MS) == TIMER_EXEC_MORE)
        event_active(ctx->base_timer_ev, EV_TIMEOUT, 0);
}

void plx_usr1_signal(evutil_socket_t, short, void *) {
    plx_debug_flags = plx_debug_flags == PLX_DEBUG_ALL_OFF ? PLX_DEBUG_ALL_ON : PLX_DEBUG_ALL_OFF;
    PLX_LOG("Setting debug-flags to %#" PRIx64, plx_debug_flags);
}

void plx_usr2_signal(evutil_socket_t, short, void *arg) {
    auto *ctx = static_cast<plx_ctx *>(arg);
    PLX_LOG("Received termination signal. Stopping and exiting gracefully..");
    event_base_loopbreak(ctx->evbase);
}
