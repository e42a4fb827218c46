#include "fplink/plx_link.h"

#include <cstdlib>

#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "daemon/plx_ctx.h"

namespace {

void *link_alloc(size_t size) {
    return calloc(1, size);
}
void link_free(void *p) {
    free(p);
}
void link_nop(msgq_handle *, void *) {}

}  // namespace

msgq_handle *plx_link_open(plx_ctx *ctx, uint32_t peer, uint32_t type, msgq_conn_fn up,
                           msgq_conn_fn down, msgq_recv_fn recv) {
    PLX_ASSERT(ctx != nullptr);
    msgq_params params = msgq_local_params(ctx->evbase, ctx->tmr_mgr);
    msgq_callbacks cbs{up, down ? down : link_nop, link_nop, recv, link_alloc, link_free};
    return msgq_init(QRV_MOD_PLXD, peer, type, &params, &cbs, ctx);
}

void plx_link_close(msgq_handle *&link) {
    if (link) {
        msgq_deinit(link);
        link = nullptr;
    }
}
