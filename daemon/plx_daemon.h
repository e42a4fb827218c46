// Daemon core: entry point, instance guard, start-up and stop sequences, event loop, signals and
// the base timer that drives the timer wheel.
#pragma once

#include <event2/util.h>

#include <functional>

#include "daemon/plx_ctx.h"

// Result of plx_init when the system-manager link cannot be created.
inline constexpr int PLX_ERR_SYSMGR = -10;
// Base timer: one tick, and the time budget of each pass over the timer wheel.
inline constexpr uint32_t PLX_BASE_TIMER_BUDGET_MS = 100;
// A long compile lets the high-priority timers run when this much time has passed.
inline constexpr uint32_t PLX_YIELD_INTERVAL_MS = 5;

// The start-up steps and their undo operations, in start-up order. plx_init() runs them and, when
// one fails, runs the undo operations of the steps before it in a fixed order. Tests substitute
// entries; the defaults are plx_default_init_steps().
struct plx_init_steps {
    using init_fn = std::function<int(plx_ctx *)>;
    using fini_fn = std::function<void(plx_ctx *)>;

    init_fn event_init;  // event base, signal events, signal dispositions: 0, 12 or 5
    fini_fn event_deinit;
    init_fn base_timer_init;  // timer manager and the 10 ms base timer: 0 or 12
    fini_fn base_timer_deinit;
    // Selects the memory operations; waits until the forwarding plane reports ready.
    std::function<int(plx_ctx *, bool clean_start)> mem_init;
    fini_fn mem_destroy;
    fini_fn compiler_set_mem_ops;  // hands allocate and free to the compiler
    init_fn class_init;            // control forwarding classes
    fini_fn class_teardown;
    init_fn sla_class_init;
    fini_fn sla_class_teardown;
    init_fn policy_init;  // policy model
    fini_fn policy_teardown;
    init_fn acl_init;        // access-list model (it has no teardown)
    init_fn fibd_link_init;  // 0 or 12
    fini_fn fibd_link_deinit;
    init_fn hbus_link_init;  // 0 or 12
    fini_fn hbus_link_deinit;
    init_fn compiler_create;  // 0 or 12
    fini_fn compiler_destroy;
    init_fn confd_start;  // configuration-database module
    fini_fn confd_stop;
    init_fn sysmgr_connect;  // 0 or PLX_ERR_SYSMGR
    fini_fn sysmgr_close;
    init_fn dpi_init;  // a failure is only logged
    fini_fn dpi_destroy;
};

const plx_init_steps &plx_default_init_steps();

// Process entry: returns the exit status (-1 another instance runs, plx_init's code, 0 after a
// normal stop). Exits directly with 1 on a bad option and -1 when daemonizing fails.
int appmain(int argc, char **argv);

// Instance guard: true when the pid file of a running instance exists; *pid gets the number it
// holds (0 when none can be read).
bool plx_instance_exists(int *pid);

// Start-up: 0, or the code of the failing step after its predecessors were undone.
int plx_init(plx_ctx *ctx);
int plx_init(plx_ctx *ctx, const plx_init_steps &steps);

// Stop sequence after the event loop returned. Returns 0.
int plx_shutdown(plx_ctx *ctx);
int plx_shutdown(plx_ctx *ctx, const plx_init_steps &steps);

// Event base, the SIGUSR1/SIGUSR2 events and the process signal dispositions.
int plx_event_init(plx_ctx *ctx);
void plx_event_deinit(plx_ctx *ctx);

// Timer manager and the base timer event.
int plx_base_timer_init(plx_ctx *ctx);
void plx_base_timer_deinit(plx_ctx *ctx);

// libevent callbacks; arg is the context.
void plx_base_timer_cb(evutil_socket_t fd, short what, void *arg);
void plx_usr1_signal(evutil_socket_t signo, short what, void *arg);
void plx_usr2_signal(evutil_socket_t signo, short what, void *arg);

// The compiler's yield hook (arg: the context). Runs the high-priority timers, with the base
// timer's budget, when more than PLX_YIELD_INTERVAL_MS passed since it last did; does nothing
// without a context or timer manager.
void plx_compiler_yield_hook(void *arg);

// SIGTERM exits at once with status 0; SIGHUP, SIGINT, SIGQUIT and SIGABRT end the process
// abnormally with the assertion line "qrv_signal:64: failed assertion `0'"; SIGPIPE is ignored so
// that a send to a closed peer fails with EPIPE.
void plx_signal_init();
