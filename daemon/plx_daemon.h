// Daemon core: entry point, instance guard, start-up and stop sequences, event loop, signals and
// the base timer that drives the timer wheel.
#pragma once

#include <event2/util.h>

#include <functional>
#include <vector>

#include "daemon/plx_ctx.h"

// Result of plx_init when the system-manager link cannot be created.
inline constexpr int PLX_ERR_SYSMGR = -10;
// Base timer: one tick, and the time budget of each pass over the timer wheel.
inline constexpr uint32_t PLX_BASE_TIMER_BUDGET_MS = 100;
// A long compile lets the high-priority timers run when this much time has passed.
inline constexpr uint32_t PLX_YIELD_INTERVAL_MS = 5;

// One start-up step: `init` starts it (PLX_OK, or the code that stops start-up), `fini` undoes it
// (empty when there is nothing to undo). Every `fini` accepts a step that never started and may
// run twice. The `inline_start` steps come last: they run once the first stage is complete, and
// their failure is only logged.
struct plx_init_step {
    const char *name;
    std::function<int(plx_ctx *)> init;
    std::function<void(plx_ctx *)> fini = {};
    bool inline_start = false;
};

// The start-up steps in start-up order. plx_init() starts them one by one; when one fails, it
// undoes the steps already started in reverse order. plx_shutdown() undoes every step in the
// same reverse order. Tests substitute rows; the defaults are plx_default_init_steps().
using plx_init_steps = std::vector<plx_init_step>;

const plx_init_steps &plx_default_init_steps();

// Process entry: returns the exit status (-1 another instance runs, plx_init's code, 0 after a
// normal stop). Exits directly with 1 on a bad option and -1 when daemonizing fails.
int appmain(int argc, char **argv);

// Instance guard: true when the pid file of a running instance exists; *pid gets the number it
// holds (0 when none can be read).
bool plx_instance_exists(int *pid);

// Start-up: PLX_OK, or the code of the failing step after its predecessors were undone.
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
