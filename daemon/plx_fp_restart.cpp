#include "daemon/plx_fp_restart.h"

#include "acl/plx_acl_process.h"
#include "common/plx_events.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "dpi/plx_dpi.h"
#include "fplink/fp_common.h"
#include "fplink/fp_tables.h"
#include "policy/plx_config.h"
#include "policy/plx_process.h"
#include "progmem/plx_if_fpmem.h"

namespace {

constexpr uint32_t WATCH_INTERVAL_MS = 200;

struct FpWatch {
    plx_ctx *ctx = nullptr;
    const fp_global_ctrl *g = nullptr;
    timer *tick = nullptr;
    uint32_t pid = 0;      // the forwarding plane the placements were made for
    bool waiting = false;  // the ready flag was seen clear
    bool handling = false;
};
FpWatch g_watch;

void watch_cb(timer *, void *, void *, void *, void *) {
    plx_fp_watch_check();
}

uint32_t placed_programs(plx_ctx *ctx) {
    uint32_t n = 0;
    for (uint32_t id = 0; id < plx_mem_num_filters(); ++id)
        n += plx_mem_program(id) != nullptr;
    (void)ctx;
    return n;
}

}  // namespace

int plx_fp_watch_start(plx_ctx *ctx, const fp_global_ctrl *g) {
    g_watch = FpWatch{};
    g_watch.ctx = ctx;
    g_watch.g = g ? g : fp_global_ctrl_tbl();
    if (!g_watch.g)
        return PLX_OK;
    g_watch.pid = fp_load(g_watch.g->pid);
    g_watch.tick =
        ctx && ctx->tmr_mgr
            ? timer_util_create(ctx->tmr_mgr, TIMER_PRI_NORMAL, TIMER_CYCLIC, WATCH_INTERVAL_MS,
                                watch_cb, ctx, nullptr, nullptr, nullptr, "plx-fp-watch-timer")
            : nullptr;
    if (!g_watch.tick) {
        g_watch = FpWatch{};
        return PLX_ENOMEM;
    }
    timer_enable(g_watch.tick);
    return PLX_OK;
}

void plx_fp_watch_stop() {
    if (g_watch.tick)
        timer_util_delete(g_watch.tick);
    g_watch = FpWatch{};
}

bool plx_fp_watch_check() {
    const fp_global_ctrl *g = g_watch.g;
    if (!g || g_watch.handling)
        return true;
    if (!fp_global_ready(*g)) {
        if (!g_watch.waiting)
            PLX_LOG("Forwarding plane not ready: placing programs waits\n");
        g_watch.waiting = true;
        return false;
    }
    const uint32_t pid = fp_load(g->pid);
    if (pid == g_watch.pid && !g_watch.waiting)
        return true;
    // Ready again: a new forwarding plane (or the same one that cleared its tables).
    g_watch.pid = pid;
    g_watch.waiting = false;
    g_watch.handling = true;
    plx_fp_restarted(g_watch.ctx);
    g_watch.handling = false;
    return true;
}

void plx_fp_restarted(plx_ctx *ctx) {
    if (!ctx)
        return;
    PLX_LOG("Forwarding plane restarted: placing every program again\n");
    plx_mem_forget_placements();
    plx_process_forget_placements(ctx);
    plx_acl_forget_placements(ctx);
    if (plx_dpi_tables_refill(ctx) != 0)
        PLX_LOG("Failed to fill the DPI tables of the new forwarding plane\n");
    if (ctx->policy)
        if (auto *area = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_FILTER_LOG_CFG)))
            fp_store(area[0], ctx->policy->log_frequency);
    if (int rc = plx_process_all_changed(ctx); rc != 0)
        PLX_LOG("Processing after the forwarding-plane restart stopped (%d)\n", rc);
    plx_log_event(5, "NOTI", PLX_EVENT_FORWARDING_PLANE_RESTARTED,
                  "Forwarding plane restarted: %u programs placed again", placed_programs(ctx));
}
