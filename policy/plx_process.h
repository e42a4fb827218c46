// Applying policy changes: turns the policies that the configuration readers marked as added or
// changed into programs in filter memory and tells fibd where they apply.
//
// For each marked policy VPN list the processing withdraws the current binding and hands the old
// program to the delayed release, refreshes the list's derived data (expanded prefix and app
// lists, TLOC lists, classes), builds a rule table, compiles it into filter memory and sends the
// bind message. A policy VPN list is in one of three states, told by its filter id:
//   PLX_FILTER_ID_NONE       unbound: new, without rules, or withdrawn for a rebuild;
//   the invalid filter id    failed: no program could be placed (out of filter memory, or the
//                            compiler refused the rule table); fibd is told this id;
//   any other                bound: the program is placed under this filter id.
// A list that failed for want of memory is tried again whenever program memory releases blocks.
// A failure, and a success after a failure, raise their operator event (common/plx_events.h),
// which also carries the program-status notification to the operator.
//
// Events that change programs without a commit: TLOC state (the policies naming the TLOC are
// rebuilt), VPN ranges added or removed (only the VPN ids that came or went are bound or
// unbound), direction changes (rebind), policer changes (parameters refreshed in the placed
// programs, no recompile).
//
// Everything runs on the event-loop thread.
#pragma once

#include <cstdint>

#include "policy/plx_config.h"
#include "policy/plx_process_state.h"

struct plx_ctx;

// Attaches the processing to a context: installs the model's hooks (direction changes, VPN
// ranges, deletion of policy VPN lists, policer changes) and keeps the options. Attaching again
// replaces the options.
void plx_process_attach(plx_ctx *ctx, plx_process_opts opts = {});
// Removes the model's hooks and forgets the options.
void plx_process_detach(plx_ctx *ctx);

// The invalid filter id (number of filter ids) the processing uses for this context.
uint32_t plx_process_invalid_filter_id(plx_ctx *ctx);
// The forwarding-plane clock rate the policer arithmetic uses (cycles per second).
uint64_t plx_process_clock_rate(plx_ctx *ctx);

// Processes every added or changed policy (in policy-db order, its VPN lists in name order),
// then the access lists. PLX_OK, or the status of the first VPN list that failed (PLX_ENOMEM when
// a rule table could not be built); the access lists are then left for the next run. Called after
// each batch of configuration changes. A call made while a run is in progress (from a timer during
// a long compile) is folded into that run.
int plx_process_all_changed(plx_ctx *ctx);

// Rebuilds, compiles, places and binds one VPN list of a policy when it is marked. PLX_OK or
// PLX_ENOMEM (PLX_EBADMSG without a model or compile context).
int plx_process_policy_vpn_list(plx_ctx *ctx, plx::cfg::policy &p, plx::cfg::policy_vpn_list &v);

// Withdraws the binding of a VPN list (unbind message when it is bound or failed), releases its
// program and refreshes its derived data for a rebuild. PLX_OK, or PLX_ENOMEM when the refresh
// ran out of memory part-way.
int plx_policy_change(plx_ctx *ctx, plx::cfg::policy &p, plx::cfg::policy_vpn_list &v);

// Program memory released `freed` blocks: every list that failed for want of memory (policies and
// access lists) is marked and everything marked is processed. The memory-released operation of
// ProgramMemoryOps.
void plx_process_oom_policies(plx_ctx *ctx, uint32_t freed);

// Sends a bind (FIB_MSG_POLICY_BIND) or unbind (FIB_MSG_POLICY_UNBIND) message for a VPN list of
// a policy. A bind carries every VPN id of the list (each once, ascending) and becomes what the
// list holds at fibd (v.fibd_vpn_ids); an unbind takes back exactly those ids. Nothing is sent
// for no ids or without a connection to fibd (the state is announced again when fibd connects).
// PLX_OK sent or nothing to send, PLX_ENOMEM no buffer, PLX_EINVAL too many VPN ids for one
// message, otherwise the transport's result.
int plx_policy_binding_send(plx_ctx *ctx, const plx::cfg::policy &p, plx::cfg::policy_vpn_list &v,
                            uint8_t op);
// Brings fibd in line with the VPN list's ranges after they changed: an unbind for the ids no
// range covers any more, a bind for the ids newly covered. Nothing for an unbound list.
int plx_policy_binding_sync(plx_ctx *ctx, const plx::cfg::policy &p, plx::cfg::policy_vpn_list &v);
// Binds again the ids between low and high that the list holds at fibd (a VPN instance was
// configured). Nothing for an unbound list.
int plx_policy_binding_resend(plx_ctx *ctx, const plx::cfg::policy &p,
                              const plx::cfg::policy_vpn_list &v, uint64_t low, uint64_t high);

// The forwarding plane started afresh with empty filter memory: every policy VPN list that was
// bound or failed is unbound at fibd (under its old filter id), forgets its program without
// releasing it (program memory forgets its placements separately) and is marked for a rebuild.
void plx_process_forget_placements(plx_ctx *ctx);

// A VPN instance was created or modified: every bound user of a VPN list with a range containing
// the VPN id sends its bind for that id again.
void plx_process_vpn_configured(plx_ctx *ctx, uint64_t vpn_id);

// Lets due high-priority timers run during a long rebuild: runs the high-priority wheel when at
// least 6 ms passed since it last did.
void plx_process_pump(plx_ctx *ctx);
