#include "fplink/plx_hbus.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <string>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "common/qrv_util.h"
#include "daemon/plx_ctx.h"
#include "fplink/plx_link.h"
#include "policy/plx_config.h"

namespace {

using namespace plx::cfg;

const char *module_name(uint32_t id) {
    return id <= QRV_MOD_MAX ? qrv_daemon_name(static_cast<int>(id)) : "unknown";
}

tloc_key key_of(const hbus_msg &msg) {
    return tloc_key_v4(htonl(msg.originator), msg.color, msg.encap);
}

// Marks the owners of every rule that names the TLOC and rebuilds what changed.
void reprocess_users(plx_ctx *ctx, tloc *t) {
    plx_config_tloc_mark_users(ctx->policy, t);
    if (ctx->hooks.tloc_reprocess)
        ctx->hooks.tloc_reprocess(ctx);
}

// Sends the subscription message with this selector. The link cannot work without it, so a
// failure stops the process.
void send_subscription(msgq_handle *q, uint32_t selector) {
    hbus_msg rec{};
    rec.type = HBUS_MSG_SUBSCRIBE;
    rec.source = QRV_MOD_PLXD;
    rec.selector = selector;
    rec.flag_a = 1;
    rec.flag_b = 0;
    uint8_t *buf = msgq_alloc(q, HBUS_WIRE_MAX);
    PLX_ASSERT(buf != nullptr);
    uint16_t len = 0;
    if (hbus_msg_encode(&rec, buf, &len) != 0) {
        msgq_free(q, buf);
        PLX_ASSERT(!"hbus_msg_encode");
    }
    if (msgq_write(q, buf, len) != 0) {
        msgq_free(q, buf);
        PLX_ASSERT(!"msgq_write");
    }
}

}  // namespace

int plx_hbus_link_init(plx_ctx *ctx) {
    ctx->hbus_msgq = plx_link_open(ctx, QRV_MOD_HBUSD, MSGQ_HANDLE_TYPE_CLIENT, plx_hbus_up,
                                   plx_hbus_down, plx_hbus_read);
    return ctx->hbus_msgq ? PLX_OK : PLX_ENOMEM;
}

void plx_hbus_link_deinit(plx_ctx *ctx) {
    if (ctx)
        plx_link_close(ctx->hbus_msgq);
}

void plx_hbus_up(msgq_handle *msgq_p, void *arg) {
    PLX_TRACE(PLX_DEBUG_HBUS, "Connection to HBUS came up. p_msgq %p p_plx %p\n",
              static_cast<void *>(msgq_p), arg);
    send_subscription(msgq_p, 0);
    send_subscription(msgq_p, 1);
}

void plx_hbus_down(msgq_handle *msgq_p, void *arg) {
    PLX_TRACE(PLX_DEBUG_HBUS, "Connection to HBUS went down. p_msgq %p p_plx %p\n",
              static_cast<void *>(msgq_p), arg);
}

void plx_hbus_read(msgq_handle *msgq_p, uint8_t *payload, uint32_t len, void *arg) {
    auto *ctx = static_cast<plx_ctx *>(arg);
    hbus_msg rec;
    std::string err;
    if (hbus_msg_decode(&rec, payload, len, &err) != 0) {
        PLX_LOG("Refused HBUS message of %u bytes: %s\n", len, err.c_str());
        msgq_free(msgq_p, payload);
        return;
    }
    PLX_TRACE(PLX_DEBUG_HBUS, "Received HBUS Msg %d of %d bytes from %s\n",
              static_cast<int>(rec.type), static_cast<int>(len), module_name(rec.source));
    int rc = PLX_OK;
    if (rec.type == HBUS_MSG_TLOC_UPDATE)
        rc = plx_tloc_update(ctx, rec);
    else if (rec.type == HBUS_MSG_TLOC_WITHDRAW)
        rc = plx_tloc_withdraw(ctx, rec);
    if (rc == PLX_EBADMSG)
        PLX_LOG("Refused HBUS Msg %u: address family %u is not IPv4\n", rec.type, rec.family);
    else if (rc != PLX_OK)
        PLX_LOG("HBUS Msg %u for TLOC %s failed: %d\n", rec.type, tloc_key_str(key_of(rec)).c_str(),
                rc);
    msgq_free(msgq_p, payload);
}

int plx_tloc_update(plx_ctx *ctx, const hbus_msg &msg) {
    if (!ctx || !ctx->policy || msg.family != HBUS_AF_INET)
        return PLX_EBADMSG;
    tloc_key key = key_of(msg);
    tloc *t = nullptr;
    if (int rc = plx_config_tloc_get(ctx->policy, key, 1, &t); rc != PLX_OK)
        return rc;
    bool changed = false;
    auto take = [&changed](auto &field, auto value) {
        if (field != value) {
            field = value;
            changed = true;
        }
    };
    take(t->preference, msg.preference);
    take(t->weight, msg.weight);
    take(t->status, static_cast<uint8_t>(msg.status));
    take(t->index, msg.index);
    t->local = msg.local == 1;
    PLX_TRACE(PLX_DEBUG_HBUS,
              "TLOC %s: index %u preference %u weight %u status %u local %u resolved %u%s\n",
              tloc_key_str(key).c_str(), t->index, t->preference, t->weight, t->status, t->local,
              t->resolved, changed ? "" : " (unchanged)");
    if (t->resolved && !changed)
        return PLX_OK;
    t->resolved = 1;
    reprocess_users(ctx, t);
    return PLX_OK;
}

int plx_tloc_withdraw(plx_ctx *ctx, const hbus_msg &msg) {
    if (!ctx || !ctx->policy || msg.family != HBUS_AF_INET)
        return PLX_EBADMSG;
    tloc_key key = key_of(msg);
    tloc *t = plx_config_tloc_find(ctx->policy, key);
    if (!t)
        return PLX_OK;
    if (t->refs.empty()) {
        PLX_TRACE(PLX_DEBUG_HBUS, "TLOC %s withdrawn and removed\n", tloc_key_str(key).c_str());
        plx_config_tloc_delete(ctx->policy, t);
        return PLX_OK;
    }
    PLX_TRACE(PLX_DEBUG_HBUS, "TLOC %s withdrawn, kept unresolved for its rules\n",
              tloc_key_str(key).c_str());
    t->resolved = 0;
    reprocess_users(ctx, t);
    return PLX_OK;
}
