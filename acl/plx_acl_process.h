// Applying access-list changes: every IPv4, then IPv6 access list marked new or changed becomes a
// program in filter memory, bound to its interfaces through fibd.
//
// A change withdraws the list first (one unbind of all its bindings, the old program handed to
// the delayed release), refreshes what its sequences name (prefix lists, mirrors, classes),
// builds the rule table, compiles it and sends one bind of all its bindings with the new filter
// number. Like a policy VPN list, a list is unbound (0xFFFFFFFF: never compiled, or without
// sequences), bound, or failed (the invalid filter number: no program could be placed). A list
// that failed for want of memory is tried again when program memory releases blocks; one whose
// rules the compiler refused waits for a change. The failure and the success after a failure
// raise their operator events (common/plx_events.h), which carry the program-status
// notification.
//
// Everything runs on the event-loop thread, as part of the policy processing run.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "acl/plx_intf_config.h"

struct plx_ctx;

// Hooks the processing into the access-list model of ctx (program release on delete, the
// bindings' messages through the fibd link, the resend when fibd connects). ctx->acl must exist.
void plx_acl_process_attach(plx_ctx *ctx);
void plx_acl_process_detach(plx_ctx *ctx);

// Processes every marked list, IPv4 first. PLX_OK, or the first status other than PLX_OK (the
// list it belongs to stays marked for the next run); the other lists are processed all the same.
int plx_process_access_lists(plx_ctx *ctx);

// Compiles, places and binds a list that holds no program. PLX_OK, PLX_ENOMEM when its rule table
// could not be built, or the status of the bind message. `previous` is the filter number the list
// had before this processing (the invalid one announces a re-programming). keeping: the list's last
// good program stays bound if this one cannot be placed; nothing is bound or reported here.
int plx_process_access_list_add(plx_ctx *ctx, plx_access_list &l, uint32_t previous,
                                bool keeping = false);
// Replaces the list's program by one of its current sequences. A list with a placed program
// keeps it bound (to its current interfaces) until the new one is placed, and when the new one
// cannot be placed (operator event; retried when memory is released). Otherwise withdraws the
// list's binding and program, refreshes its sequences and runs the add. PLX_OK or a status; when
// the unbind cannot be sent the list keeps its program.
int plx_process_access_list_change(plx_ctx *ctx, plx_access_list &l);

// The forwarding plane started afresh with empty filter memory: every bound or failed list is
// unbound at fibd under its old filter number, forgets its program without releasing it and is
// marked for a rebuild.
void plx_acl_forget_placements(plx_ctx *ctx);
// Marks the lists that failed for want of memory for a retry.
void plx_acl_retry_failed(plx_ctx *ctx);
// Filter numbers of the IPv4 and IPv6 lists of a name (the placed ones).
std::vector<uint32_t> plx_acl_filter_ids(plx_ctx *ctx, std::string_view name);

// One bind (FIB_MSG_ACL_BIND) or unbind (FIB_MSG_ACL_UNBIND) message with every binding of a
// list, through the fibd link. Nothing is sent without bindings or without a connection to fibd
// (it gets them again when it connects). PLX_OK, PLX_ENOMEM no buffer, PLX_EINVAL an interface
// name too long for the message.
int plx_acl_send_all(plx_ctx *ctx, const plx_access_list &l, uint8_t type);
