// Restarts of the forwarding plane, handled in place.
//
// A new forwarding plane clears every table of the shared object, filter memory included, and
// then publishes its process id and sets its ready flag in the global control record. The daemon
// keeps the identity it placed its programs for and looks at the record every 200 ms and before
// every processing run. While the ready flag is clear nothing is placed. Once a forwarding plane
// of another identity is ready, the daemon forgets its old placements without touching the new
// tables, withdraws every binding from fibd (under the old filter numbers, so that no VPN or
// interface points at a number a new program is about to take), fills the DPI tables, the
// application-visibility knob and the log configuration again, places and binds every policy and
// access list anew, and raises the operator event PLX_EVENT_FORWARDING_PLANE_RESTARTED.
#pragma once

#include <cstdint>

struct plx_ctx;
struct fp_global_ctrl;

// Starts watching the control record (null: the attached shared object's) on ctx's timer
// manager. PLX_OK, or PLX_ENOMEM when the timer cannot be created.
int plx_fp_watch_start(plx_ctx *ctx, const fp_global_ctrl *g = nullptr);
void plx_fp_watch_stop();

// Looks at the control record now; runs the restart handling when a new forwarding plane is
// ready. Whether programs may be placed (true when nothing is watched).
bool plx_fp_watch_check();

// The handling itself, for a forwarding plane that cleared filter memory.
void plx_fp_restarted(plx_ctx *ctx);
