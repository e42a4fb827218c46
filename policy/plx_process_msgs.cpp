// The bind and unbind messages of policy VPN lists, sent to fibd over the forwarding-table link.
#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "fplink/plx_fibd.h"
#include "policy/plx_process.h"

using namespace plx::cfg;

int plx_policy_binding_send(plx_ctx *ctx, const policy &p, const policy_vpn_list &v, uint8_t op,
                            const vpn_range *only) {
    if (!ctx || !ctx->policy || !ctx->fibd_msgq)
        return PLX_OK;
    const vpn_list *vl = ctx->policy->vpn_lists.find(v.name.view());
    if (!vl)
        return PLX_OK;

    fib_policy_msg m = plx_fibd_policy_msg(p, v, op);
    bool fits = true;
    if (only) {
        fits = only->high - only->low < PLX_FIBD_MAX_VPN_IDS;
        for (uint64_t id = only->low; fits && id <= only->high; ++id)
            m.vpn_ids.push_back(static_cast<uint32_t>(id));
    } else {
        fits = plx_vpn_list_ids(*vl, PLX_FIBD_MAX_VPN_IDS, &m.vpn_ids);
    }
    if (!fits) {
        PLX_LOG("VPN list %s of policy %s holds more than %zu VPN ids; binding not sent\n",
                v.name.c_str(), p.name.c_str(), PLX_FIBD_MAX_VPN_IDS);
        return PLX_EINVAL;
    }
    if (m.vpn_ids.empty())
        return PLX_OK;

    int rc = plx_fibd_send(ctx, m);
    if (rc == PLX_ENOMEM)
        PLX_LOG("No buffer for the binding of policy %s - %s\n", p.name.c_str(), v.name.c_str());
    else if (rc == PLX_EFAULT)  // not connected: fibd gets every binding again when it connects
        PLX_TRACE(PLX_DEBUG_POLICY, "fibd not connected; binding of %s - %s not sent\n",
                  p.name.c_str(), v.name.c_str());
    else if (rc != 0)
        PLX_LOG("Failed to send the binding of policy %s - %s (%d)\n", p.name.c_str(),
                v.name.c_str(), rc);
    return rc;
}
