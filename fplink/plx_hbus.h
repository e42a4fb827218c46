// plxd's link to the messaging daemon hbusd: a client queue (module 9 towards module 2) that
// reconnects on its own. On every connection the daemon subscribes with two type-1 messages
// (selector 0, then 1); hbusd then announces the overlay's TLOCs with updates (type 5) and
// withdrawals (type 6), which land in the TLOC db of the policy model. Policies and access lists
// whose rules name a TLOC are marked changed when its state changes and the context's reprocessing
// hook rebuilds them. TLOC records outlive connection losses.
#pragma once

#include <cstdint>

#include "platform/hbus/hbus_msg.h"

struct msgq_handle;
struct plx_ctx;

// Opens the client queue (ctx->hbus_msgq). PLX_OK, or PLX_ENOMEM when no queue was created. The
// TLOC db is the one of ctx->policy, created with the policy model.
int plx_hbus_link_init(plx_ctx *ctx);
// Closes and frees the queue; the handle is cleared. The TLOC db stays.
void plx_hbus_link_deinit(plx_ctx *ctx);

// Queue callbacks (user argument: the context).
void plx_hbus_up(msgq_handle *msgq_p, void *arg);
void plx_hbus_down(msgq_handle *msgq_p, void *arg);
// Decodes and dispatches one message; a message that does not decode, or a TLOC message that is
// refused, is logged and dropped. Frees the payload.
void plx_hbus_read(msgq_handle *msgq_p, uint8_t *payload, uint32_t len, void *arg);

// Type 5: creates the TLOC (resolved) or refreshes its index, preference, weight, status and
// local flag. When a resolved TLOC's values are unchanged nothing else happens (the local flag
// alone is no change); otherwise the TLOC becomes resolved, the owners of the rules that name it
// are marked changed and the context's tloc_reprocess hook runs. PLX_OK; PLX_ENOMEM without
// memory (TLOC db unchanged); PLX_EBADMSG for an address family other than IPv4 or without a
// policy model.
int plx_tloc_update(plx_ctx *ctx, const hbus_msg &msg);
// Type 6: a TLOC that no rule names is removed; one in use stays, unresolved, and its users are
// marked and reprocessed. An unknown TLOC is not an error. PLX_OK or PLX_EBADMSG (as above).
int plx_tloc_withdraw(plx_ctx *ctx, const hbus_msg &msg);
