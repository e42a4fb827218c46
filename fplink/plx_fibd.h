// plxd's link to the forwarding-table manager fibd: a server queue (module 9, fibd is module 3)
// on plxd's own socket. fibd registers, and every registration counts as a new connection on
// which plxd announces again every binding it holds: one policy bind (type 1) per policy applied
// to a VPN list, then one access-list bind (type 3) per bound access list. fibd sends nothing
// plxd uses; whatever it sends is logged and dropped. While fibd is away messages are dropped
// (msgq_write gives PLX_MSGQ_NOT_CONNECTED); the next connection's resend makes up for them.
#pragma once

#include <cstdint>
#include <vector>

#include "common/msgq_util.h"
#include "fplink/fib_msgs.h"

struct msgq_handle;
struct plx_ctx;
namespace plx::cfg {
struct vpn_list;
struct policy;
struct policy_vpn_list;
}  // namespace plx::cfg

// Opens the server queue (ctx->fibd_msgq). PLX_OK, or PLX_ENOMEM when no queue was created.
int plx_fibd_link_init(plx_ctx *ctx);
// Closes and frees the queue; the handle is cleared.
void plx_fibd_link_deinit(plx_ctx *ctx);

// Up callback of the queue: the resend. First, for every policy of ctx->policy in tree order and
// every VPN list it is applied to in name order, a type-1 message with the list's filter type,
// direction and filter id, the policy's name and every VPN id of the list (none when it has no
// ranges; skipped when the global VPN list is missing). A message that cannot be had ends the
// resend of that policy. Then the context's acl_resend hook: the type-3 part, one access-list
// bind with all of its bindings for every IPv4, then IPv6, access list that has bindings.
void plx_fibd_up(msgq_handle *msgq_p, void *arg);

// Encodes a forwarding-table message into a queue buffer of the size the message type asks for
// and sends it on ctx->fibd_msgq. PLX_OK (sent or queued); otherwise the message is dropped:
// PLX_ENOMEM when no buffer could be had (also for a message too long for the transport),
// PLX_EINVAL when it does not encode (fib_msg_encode), PLX_MSGQ_NOT_CONNECTED without a queue or
// while fibd is not connected, PLX_MSGQ_QUEUE_FULL when the queue does not take it.
int plx_fibd_send(plx_ctx *ctx, const fib_msg &msg);

// The most VPN ids one policy message can carry: its buffer must fit a transport message.
inline constexpr size_t PLX_FIBD_MAX_VPN_IDS = MSGQ_MAX_PAYLOAD / 4 - 35;
static_assert(fib_policy_msg_buf(PLX_FIBD_MAX_VPN_IDS) <= MSGQ_MAX_PAYLOAD);

// A policy message (bind or unbind) of a VPN list of a policy, without VPN ids.
fib_policy_msg plx_fibd_policy_msg(const plx::cfg::policy &p, const plx::cfg::policy_vpn_list &v,
                                   uint8_t op);

// Every VPN id of a VPN list: each range from low to high, ranges in the list's order. False
// (and nothing in *out) when there are more than `limit` ids.
bool plx_vpn_list_ids(const plx::cfg::vpn_list &vl, size_t limit, std::vector<uint32_t> *out);
