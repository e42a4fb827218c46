// The start-up steps of the daemon. Steps of subsystems that are not linked into the daemon yet
// succeed and do nothing; each keeps its place in the sequence.
#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "common/sysmgr_client.h"
#include "daemon/plx_daemon.h"

namespace {

int step_ok(plx_ctx *) {
    return 0;
}
void step_nop(plx_ctx *) {}

int sysmgr_connect(plx_ctx *ctx) {
    ctx->sysmgr =
        app_sysmgr_connect(ctx->evbase, ctx->tmr_mgr, nullptr, QRV_MOD_PLXD, ctx, nullptr);
    return ctx->sysmgr ? 0 : PLX_ERR_SYSMGR;
}

void sysmgr_close(plx_ctx *ctx) {
    app_sysmgr_close(ctx->sysmgr);
    ctx->sysmgr = nullptr;
}

plx_init_steps make_default_steps() {
    plx_init_steps s;
    s.event_init = plx_event_init;
    s.event_deinit = plx_event_deinit;
    s.base_timer_init = plx_base_timer_init;
    s.base_timer_deinit = plx_base_timer_deinit;
    s.mem_init = [](plx_ctx *, bool) { return 0; };
    s.mem_destroy = step_nop;
    s.compiler_set_mem_ops = step_nop;
    s.class_init = step_ok;
    s.class_teardown = step_nop;
    s.sla_class_init = step_ok;
    s.sla_class_teardown = step_nop;
    s.policy_init = step_ok;
    s.policy_teardown = step_nop;
    s.acl_init = step_ok;
    s.fibd_link_init = step_ok;
    s.fibd_link_deinit = step_nop;
    s.hbus_link_init = step_ok;
    s.hbus_link_deinit = step_nop;
    s.compiler_create = step_ok;
    s.compiler_destroy = step_nop;
    s.confd_start = step_ok;
    s.confd_stop = step_nop;
    s.sysmgr_connect = sysmgr_connect;
    s.sysmgr_close = sysmgr_close;
    s.dpi_init = step_ok;
    s.dpi_destroy = step_nop;
    return s;
}

}  // namespace

const plx_init_steps &plx_default_init_steps() {
    static const plx_init_steps steps = make_default_steps();
    return steps;
}
