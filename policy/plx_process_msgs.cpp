// The bind and unbind messages of policy VPN lists, sent to fibd over the forwarding-table link.
// Each policy VPN list remembers the VPN ids fibd was told it applies to, so that bindings follow
// VPN ids rather than the ranges that happen to name them: an unbind takes back exactly what was
// bound, and a change of ranges sends only the ids that came or went.
#include <algorithm>
#include <iterator>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "fplink/plx_fibd.h"
#include "policy/plx_process.h"

using namespace plx::cfg;

namespace {

int send_ids(plx_ctx *ctx, const policy &p, const policy_vpn_list &v, uint8_t op,
             std::vector<uint32_t> ids) {
    if (ids.empty())
        return PLX_OK;
    fib_policy_msg m = plx_fibd_policy_msg(p, v, op);
    m.vpn_ids = std::move(ids);
    int rc = plx_fibd_send(ctx, m);
    if (rc == PLX_ENOMEM)
        PLX_LOG("No buffer for the binding of policy %s - %s\n", p.name.c_str(), v.name.c_str());
    else if (rc == PLX_MSGQ_NOT_CONNECTED)  // not connected: fibd gets every binding again when it
                                            // connects
        PLX_TRACE(PLX_DEBUG_POLICY, "fibd not connected; binding of %s - %s not sent\n",
                  p.name.c_str(), v.name.c_str());
    else if (rc != 0)
        PLX_LOG("Failed to send the binding of policy %s - %s (%d)\n", p.name.c_str(),
                v.name.c_str(), rc);
    return rc;
}

// The VPN ids of the list a policy VPN list is applied to (none when the list is missing);
// false when there are more than one message carries.
bool current_ids(plx_ctx *ctx, const policy &p, const policy_vpn_list &v,
                 std::vector<uint32_t> *ids) {
    ids->clear();
    const vpn_list *vl = ctx->policy->vpn_lists.find(v.name.view());
    if (vl && !plx_vpn_list_ids(*vl, PLX_FIBD_MAX_VPN_IDS, ids)) {
        PLX_LOG("VPN list %s of policy %s holds more than %zu VPN ids; binding not sent\n",
                v.name.c_str(), p.name.c_str(), PLX_FIBD_MAX_VPN_IDS);
        return false;
    }
    return true;
}

}  // namespace

int plx_policy_binding_send(plx_ctx *ctx, const policy &p, policy_vpn_list &v, uint8_t op) {
    if (!ctx || !ctx->policy)
        return PLX_OK;
    if (op == FIB_MSG_POLICY_UNBIND) {
        std::vector<uint32_t> ids = std::move(v.fibd_vpn_ids);
        v.fibd_vpn_ids.clear();
        return ctx->fibd_msgq ? send_ids(ctx, p, v, op, std::move(ids)) : PLX_OK;
    }
    std::vector<uint32_t> ids;
    if (!current_ids(ctx, p, v, &ids))
        return PLX_EINVAL;
    // Whatever the transport does with it, this is what fibd holds from now on: a lost message
    // is made up for by the resend of the next connection.
    v.fibd_vpn_ids = ids;
    return ctx->fibd_msgq ? send_ids(ctx, p, v, op, std::move(ids)) : PLX_OK;
}

int plx_policy_binding_sync(plx_ctx *ctx, const policy &p, policy_vpn_list &v) {
    if (!ctx || !ctx->policy || v.filter_id == PLX_FILTER_ID_NONE)
        return PLX_OK;
    std::vector<uint32_t> now, gone, came;
    if (!current_ids(ctx, p, v, &now))
        return PLX_EINVAL;
    const std::vector<uint32_t> &was = v.fibd_vpn_ids;
    std::set_difference(was.begin(), was.end(), now.begin(), now.end(), std::back_inserter(gone));
    std::set_difference(now.begin(), now.end(), was.begin(), was.end(), std::back_inserter(came));
    v.fibd_vpn_ids = now;
    if (!ctx->fibd_msgq)
        return PLX_OK;
    int rc = send_ids(ctx, p, v, FIB_MSG_POLICY_UNBIND, std::move(gone));
    int rc2 = send_ids(ctx, p, v, FIB_MSG_POLICY_BIND, std::move(came));
    return rc ? rc : rc2;
}

int plx_policy_binding_resend(plx_ctx *ctx, const policy &p, const policy_vpn_list &v, uint64_t low,
                              uint64_t high) {
    if (!ctx || !ctx->policy || !ctx->fibd_msgq || v.filter_id == PLX_FILTER_ID_NONE)
        return PLX_OK;
    std::vector<uint32_t> ids;
    for (uint32_t id : v.fibd_vpn_ids)
        if (id >= low && id <= high)
            ids.push_back(id);
    return send_ids(ctx, p, v, FIB_MSG_POLICY_BIND, std::move(ids));
}
