// What the processing tells the outside: bind and unbind messages to fibd, and the
// program-status notification on the configuration database's stream.
#include <arpa/inet.h>

#include <cstring>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "policy/plx_process.h"
#include "policy/plx_process_state.h"
#include "qconfd/qconfd_util.h"

using namespace plx::cfg;

// The shared region belongs to the configuration-database layer; programs that link the
// processing without that part of the layer report the "default" user and no address.
const char *qconfd_shared_user() __attribute__((weak));
void qconfd_shared_address(qconfd_shared_addr *out) __attribute__((weak));

namespace {

// Whole message with its fixed part; the transport caps one payload.
constexpr size_t MAX_VPN_IDS = (MSGQ_MAX_PAYLOAD - sizeof(fib_policy_wire)) / 4;

}  // namespace

int plx_policy_binding_send(plx_ctx *ctx, const policy &p, const policy_vpn_list &v, uint8_t op,
                            const vpn_range *only) {
    if (!ctx || !ctx->policy || !ctx->fibd_msgq)
        return PLX_OK;
    const vpn_list *vl = ctx->policy->vpn_lists.find(v.name.view());
    if (!vl)
        return PLX_OK;

    fib_policy_msg m;
    m.type = op;
    m.filter_type = static_cast<uint8_t>(v.filter_type);
    m.direction = static_cast<uint8_t>(v.direction);
    m.filter_id = v.filter_id;
    m.name = p.name.view();
    auto add_range = [&](const vpn_range &r) {
        for (uint64_t id = r.low; id <= r.high && m.vpn_ids.size() <= MAX_VPN_IDS; ++id)
            m.vpn_ids.push_back(static_cast<uint32_t>(id));
    };
    if (only)
        add_range(*only);
    else
        for (const vpn_range &r : vl->ranges)
            add_range(r);
    if (m.vpn_ids.empty())
        return PLX_OK;
    if (m.vpn_ids.size() > MAX_VPN_IDS) {
        PLX_LOG("VPN list %s of policy %s holds more than %zu VPN ids; binding not sent\n",
                v.name.c_str(), p.name.c_str(), MAX_VPN_IDS);
        return PLX_EINVAL;
    }

    std::vector<uint8_t> bytes;
    if (int erc = fib_msg_encode(m, bytes); erc != 0)
        return erc;
    uint8_t *buf =
        msgq_alloc(ctx->fibd_msgq, static_cast<uint32_t>(fib_policy_msg_buf(m.vpn_ids.size())));
    if (!buf) {
        PLX_LOG("No buffer for the binding of policy %s - %s\n", p.name.c_str(), v.name.c_str());
        return PLX_ENOMEM;
    }
    memcpy(buf, bytes.data(), bytes.size());
    int rc = msgq_write(ctx->fibd_msgq, buf, static_cast<uint32_t>(bytes.size()));
    if (rc != 0) {
        msgq_free(ctx->fibd_msgq, buf);
        // Not connected: fibd gets every binding again when it connects.
        if (rc == PLX_EFAULT)
            PLX_TRACE(PLX_DEBUG_POLICY, "fibd not connected; binding of %s - %s not sent\n",
                      p.name.c_str(), v.name.c_str());
        else
            PLX_LOG("Failed to send the binding of policy %s - %s (%d)\n", p.name.c_str(),
                    v.name.c_str(), rc);
    }
    return rc;
}

namespace plx::process {

namespace {

// Tags of the data-policy program-status notification.
constexpr uint32_t NS_NOTIF = 627311236;
constexpr uint32_t TAG_POLICY_STATUS = 1944655528;
constexpr uint32_t TAG_SEVERITY = 418582328;
constexpr uint32_t TAG_USER = 1476961893;
constexpr uint32_t TAG_ADDRESS = 1583300392;
constexpr uint32_t TAG_VPN_LIST = 1644036174;
constexpr uint32_t TAG_POLICY = 248830179;
constexpr uint32_t TAG_STATUS = 1950810920;

void confd_notify(plx_ctx *ctx, const plx_program_status &st) {
    if (!ctx || !ctx->qconfd_ctx)
        return;
    std::string user = qconfd_shared_user ? qconfd_shared_user() : "";
    if (user.empty())
        user = "default";
    qconfd_shared_addr addr{};
    addr.family = AF_INET;
    if (qconfd_shared_address)
        qconfd_shared_address(&addr);
    std::string vpn_list(st.vpn_list);
    std::string policy_name(st.policy);
    const char *result = st.success ? "Success" : "Failed";

    confd_tag_value_t v[8];
    memset(v, 0, sizeof v);
    CONFD_SET_TAG_XMLBEGIN(&v[0], TAG_POLICY_STATUS, NS_NOTIF);
    v[1].tag.tag = TAG_SEVERITY;
    CONFD_SET_ENUM_VALUE(&v[1].v, 2);
    v[2].tag.tag = TAG_USER;
    CONFD_SET_STR(&v[2].v, user.c_str());
    v[3].tag.tag = TAG_ADDRESS;
    if (addr.family == AF_INET) {
        in_addr a4;
        memcpy(&a4, addr.addr, sizeof a4);
        CONFD_SET_IPV4(&v[3].v, a4);
    } else {
        in6_addr a6;
        memcpy(&a6, addr.addr, sizeof a6);
        CONFD_SET_IPV6(&v[3].v, a6);
    }
    v[4].tag.tag = TAG_VPN_LIST;
    CONFD_SET_STR(&v[4].v, vpn_list.c_str());
    v[5].tag.tag = TAG_POLICY;
    CONFD_SET_STR(&v[5].v, policy_name.c_str());
    v[6].tag.tag = TAG_STATUS;
    CONFD_SET_STR(&v[6].v, result);
    CONFD_SET_TAG_XMLEND(&v[7], TAG_POLICY_STATUS, NS_NOTIF);
    if (qconfd_event_send_notification(ctx->qconfd_ctx, v, 8) != 0)
        PLX_LOG("Failed to send the programming notification of policy %s - %s\n",
                policy_name.c_str(), vpn_list.c_str());
}

}  // namespace

void notify_status(plx_ctx *ctx, const policy &p, const policy_vpn_list &v, bool success) {
    plx_program_status st{v.name.view(), p.name.view(), success};
    const state &s = state_of(ctx);
    if (s.opts.notify)
        s.opts.notify(ctx, st);
    else
        confd_notify(ctx, st);
}

}  // namespace plx::process
