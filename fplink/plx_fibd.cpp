#include "fplink/plx_fibd.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "common/qrv_util.h"
#include "daemon/plx_ctx.h"
#include "fplink/plx_link.h"
#include "policy/plx_config.h"

namespace {

using namespace plx::cfg;

void link_read(msgq_handle *msgq_p, uint8_t *payload, uint32_t len, void *) {
    PLX_LOG("Ignored a message of %u bytes (type %u) from fibd\n", len, len ? payload[0] : 0u);
    msgq_free(msgq_p, payload);
}

// The buffer a message type asks for (at least its encoded length).
size_t buffer_size(const fib_msg &msg) {
    if (const auto *p = std::get_if<fib_policy_msg>(&msg))
        return fib_policy_msg_buf(p->vpn_ids.size());
    if (const auto *a = std::get_if<fib_acl_msg>(&msg))
        return fib_acl_msg_buf(a->bindings.size());
    return FIB_DPI_OFF_BUF;
}

}  // namespace

int plx_fibd_link_init(plx_ctx *ctx) {
    ctx->fibd_msgq =
        plx_link_open(ctx, QRV_MOD_FIBD, MSGQ_HANDLE_TYPE_SERVER, plx_fibd_up, nullptr, link_read);
    return ctx->fibd_msgq ? PLX_OK : PLX_ENOMEM;
}

void plx_fibd_link_deinit(plx_ctx *ctx) {
    if (ctx)
        plx_link_close(ctx->fibd_msgq);
}

fib_policy_msg plx_fibd_policy_msg(const policy &p, const policy_vpn_list &v, uint8_t op) {
    fib_policy_msg m;
    m.type = op;
    m.filter_type = static_cast<uint8_t>(v.filter_type);
    m.direction = static_cast<uint8_t>(v.direction);
    m.filter_id = v.filter_id;
    m.name = p.name.view();
    return m;
}

bool plx_vpn_list_ids(const vpn_list &vl, size_t limit, std::vector<uint32_t> *out) {
    out->clear();
    // Ranges are ordered by their low end, so ids come out ascending; an id that an earlier,
    // overlapping range already gave is not repeated.
    uint64_t next = 0;
    for (const vpn_range &r : vl.ranges) {
        for (uint64_t id = std::max(r.low, next); id <= r.high; ++id) {
            if (out->size() == limit) {
                out->clear();
                return false;
            }
            out->push_back(static_cast<uint32_t>(id));
        }
        next = std::max(next, r.high + 1);
    }
    return true;
}

int plx_fibd_send(plx_ctx *ctx, const fib_msg &msg) {
    if (!ctx || !ctx->fibd_msgq)
        return PLX_MSGQ_NOT_CONNECTED;
    size_t size = buffer_size(msg);
    if (size > MSGQ_MAX_PAYLOAD)
        return PLX_ENOMEM;
    std::vector<uint8_t> wire;
    if (int erc = fib_msg_encode(msg, wire); erc != 0)
        return erc;
    PLX_ASSERT(wire.size() <= size);
    uint8_t *buf = msgq_alloc(ctx->fibd_msgq, static_cast<uint32_t>(size));
    if (!buf)
        return PLX_ENOMEM;
    std::memcpy(buf, wire.data(), wire.size());
    int rc = msgq_write(ctx->fibd_msgq, buf, static_cast<uint32_t>(wire.size()));
    if (rc != 0)
        msgq_free(ctx->fibd_msgq, buf);
    return rc;
}

void plx_fibd_up(msgq_handle *, void *arg) {
    auto *ctx = static_cast<plx_ctx *>(arg);
    PLX_LOG("fibd connected; announcing every binding again\n");
    if (ctx->policy) {
        for (policy &p : ctx->policy->policies) {
            for (policy_vpn_list &pvl : p.vpn_lists) {
                vpn_list *vl = plx_config_vpn_list_find(ctx->policy, pvl.name.view());
                if (!vl)
                    continue;
                fib_policy_msg m = plx_fibd_policy_msg(p, pvl, FIB_MSG_POLICY_BIND);
                int rc = plx_vpn_list_ids(*vl, PLX_FIBD_MAX_VPN_IDS, &m.vpn_ids)
                             ? plx_fibd_send(ctx, m)
                             : PLX_ENOMEM;
                // The new fibd starts empty: it holds what this message carried.
                pvl.fibd_vpn_ids.clear();
                if (rc == 0 && pvl.filter_id != PLX_FILTER_ID_NONE)
                    pvl.fibd_vpn_ids = m.vpn_ids;
                if (rc == PLX_ENOMEM) {
                    PLX_LOG(
                        "No buffer for the bind of policy %s on VPN list %s; the rest of "
                        "the policy's VPN lists wait for the next connection\n",
                        p.name.c_str(), pvl.name.c_str());
                    break;
                }
            }
        }
    }
    if (ctx->hooks.acl_resend)
        ctx->hooks.acl_resend(ctx);
}
