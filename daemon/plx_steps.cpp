// The start-up steps of the daemon, in their fixed order, with the undo of each.
#include <chrono>

#include "acl/plx_acl_process.h"
#include "acl/plx_intf_config.h"
#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "common/qrv_util.h"
#include "common/sysmgr_client.h"
#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "compiler/plx_mem_ops.h"
#include "daemon/plx_confd_module.h"
#include "daemon/plx_daemon.h"
#include "daemon/plx_fp_restart.h"
#include "dpi/plx_dpi.h"
#include "fplink/fp_common.h"
#include "fplink/fp_tables.h"
#include "fplink/plx_fibd.h"
#include "fplink/plx_hbus.h"
#include "oper/plx_oper_acl.h"
#include "policy/plx_class.h"
#include "policy/plx_config.h"
#include "policy/plx_dump.h"
#include "policy/plx_process.h"
#include "progmem/plx_if_fpmem.h"

namespace {

// The program memory of the forwarding plane's shared filter memory. When it releases blocks,
// the policies and access lists that failed for want of memory are tried again.
const ProgramMemoryOps &fpmem_ops() {
    static const ProgramMemoryOps ops = plx_fpmem_ops(plx_process_oom_policies);
    return ops;
}

// Blocks until the forwarding plane reports ready. Start-up is a clean start: it clears program
// memory.
int mem_init(plx_ctx *ctx) {
    ctx->mem_ops = &fpmem_ops();
    int rc = ctx->mem_ops->plx_mem_init(ctx, true);
    if (rc == 0 && (rc = plx_fp_watch_start(ctx)) != 0)
        ctx->mem_ops->plx_mem_destroy();
    if (rc != 0)
        ctx->mem_ops = nullptr;
    return rc;
}

// The compiler, which allocates from this memory, is destroyed before it (a later step).
void mem_destroy(plx_ctx *ctx) {
    plx_fp_watch_stop();
    if (ctx->mem_ops)
        ctx->mem_ops->plx_mem_destroy();
    ctx->mem_ops = nullptr;
}

// The policy model lives as long as the process, like the context that points to it. A context
// that already names a model (tests) keeps it.
plx::cfg::plx_policy_db &policy_db() {
    static plx::cfg::plx_policy_db db;
    return db;
}

int class_init(plx_ctx *ctx) {
    if (!ctx->policy)
        ctx->policy = &policy_db();
    return plx::cfg::plx_control_fc_init(ctx->policy);
}
void class_teardown(plx_ctx *ctx) {
    plx::cfg::plx_control_fc_teardown(ctx->policy);
}
int sla_class_init(plx_ctx *ctx) {
    return plx::cfg::plx_sla_class_init(ctx->policy);
}
void sla_class_teardown(plx_ctx *ctx) {
    plx::cfg::plx_sla_class_teardown(ctx->policy);
}
// A TLOC change from hbusd has marked the owners of the rules that name it. During the initial
// read they wait for its end, which processes everything once.
void tloc_reprocess(plx_ctx *ctx) {
    if (plx_confd_initial_read_complete(ctx))
        plx_process_all_changed(ctx);
}

// The policy model with its processing: changes become programs and bindings, application names
// in app lists become the recognition engine's ids, TLOC changes rebuild their users.
int policy_init(plx_ctx *ctx) {
    if (int rc = plx::cfg::plx_policy_init(ctx->policy))
        return rc;
    plx_process_opts opts;
    opts.resolve_app_id = plx_dpi_app_id;
    // The access lists join each run after the policies (their model comes up in a later step).
    opts.process_access_lists = plx_process_access_lists;
    opts.retry_access_lists = plx_acl_retry_failed;
    opts.acl_filter_ids = [ctx](std::string_view name) { return plx_acl_filter_ids(ctx, name); };
    opts.placement_ready = plx_fp_watch_check;
    plx_process_attach(ctx, std::move(opts));
    ctx->hooks.tloc_reprocess = tloc_reprocess;
    return 0;
}
void policy_teardown(plx_ctx *ctx) {
    ctx->hooks.tloc_reprocess = nullptr;
    plx_process_detach(ctx);
    plx::cfg::plx_policy_teardown(ctx->policy);
}

// Seconds since the last hello to the system manager (0 before the first).
long seconds_since_hello() {
    int64_t last = app_sysmgr_last_hello_ms(plx_context().sysmgr);
    if (last <= 0)
        return 0;
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    return static_cast<long>((now - last) / 1000);
}

// The access lists with their processing; the show provider and the clear actions read them.
int acl_init(plx_ctx *ctx) {
    if (int rc = plx_acl_init(ctx))
        return rc;
    plx_acl_process_attach(ctx);
    using Source = plx::oper::AclTreeSource<plx_access_list,
                                            std::remove_reference_t<decltype(ctx->acl->lists[0])>>;
    static Source source(&ctx->acl->lists[0], &ctx->acl->lists[1]);
    plx::oper::plx_oper_set_acl_source(&source);
    ctx->hooks.dump_timer_pump = plx_process_pump;
    ctx->hooks.engine_app_name = plx_dpi_get_proto_name;
    ctx->hooks.dump_msgq = [](const PlxPrinter &out) { msgq_dump_all(out.write, out.arg); };
    ctx->hooks.seconds_since_hello = seconds_since_hello;
    ctx->hooks.dpi_state = plx_dpi_state_word;
    // The daemon keeps no copy of the flow knob: both lines show the shared word.
    ctx->hooks.flow_state = [](bool) -> uint32_t {
        const auto *knob = static_cast<const uint32_t *>(fp_tbl_addr(FP_TBL_FLOW_KNOB));
        return knob ? fp_load(*knob) : 0u;
    };
    return 0;
}

// Programs are compiled straight into filter memory; the compiler learns each program's filter
// number right after its allocation. Compiles run on the event loop's thread alone (the
// context's default of one thread), calling the yield hook between pieces of work.
int compiler_create(plx_ctx *ctx) {
    ctx->compiler = plx_compiler_create();
    if (!ctx->compiler)
        return PLX_ENOMEM;
    if (const ProgramMemoryOps *ops = ctx->mem_ops) {
        plx_compiler_set_mem_ops(ctx->compiler, ops->plx_mem_alloc, ops->plx_mem_free);
        plx_compiler_set_filter_id_fn(ctx->compiler, plx_mem_current_filter);
    }
    plx_compiler_set_yield(ctx->compiler, plx_compiler_yield_hook, ctx);
    return 0;
}

void compiler_destroy(plx_ctx *ctx) {
    if (ctx->compiler)
        plx_compiler_destroy(ctx->compiler);
    ctx->compiler = nullptr;
}

int sysmgr_connect(plx_ctx *ctx) {
    ctx->sysmgr =
        app_sysmgr_connect(ctx->evbase, ctx->tmr_mgr, nullptr, QRV_MOD_PLXD, ctx, nullptr);
    return ctx->sysmgr ? 0 : PLX_ERR_SYSMGR;
}

void sysmgr_close(plx_ctx *ctx) {
    app_sysmgr_close(ctx->sysmgr);
    ctx->sysmgr = nullptr;
}

void dpi_destroy(plx_ctx *) {
    plx_dpi_destroy();
}

// When the compile yield hook last ran the high-priority timers.
std::chrono::steady_clock::time_point g_last_yield{};

}  // namespace

// Start-up runs down the table; failure and stop undo the started rows back up it. Reverse order
// is what keeps each teardown safe: the system-manager link and the configuration module stop
// before the compiler, the links and the models they feed; the models go before the program
// memory their programs live in; the memory before the timers and the event base.
const plx_init_steps &plx_default_init_steps() {
    static const plx_init_steps steps = {
        {.name = "event", .init = plx_event_init, .fini = plx_event_deinit},
        {.name = "base timer", .init = plx_base_timer_init, .fini = plx_base_timer_deinit},
        {.name = "program memory", .init = mem_init, .fini = mem_destroy},
        {.name = "classes", .init = class_init, .fini = class_teardown},
        {.name = "SLA classes", .init = sla_class_init, .fini = sla_class_teardown},
        {.name = "policy model", .init = policy_init, .fini = policy_teardown},
        {.name = "access lists", .init = acl_init},  // the model has no teardown
        {.name = "fibd link", .init = plx_fibd_link_init, .fini = plx_fibd_link_deinit},
        {.name = "hbus link", .init = plx_hbus_link_init, .fini = plx_hbus_link_deinit},
        {.name = "compiler", .init = compiler_create, .fini = compiler_destroy},
        {.name = "confd", .init = plx_confd_start, .fini = plx_confd_stop},
        {.name = "sysmgr link", .init = sysmgr_connect, .fini = sysmgr_close},
        // The recognition engine starts inline after the first stage and never stops start-up.
        {.name = "DPI", .init = plx_dpi_init, .fini = dpi_destroy, .inline_start = true},
    };
    return steps;
}

void plx_compiler_yield_hook(void *arg) {
    auto *ctx = static_cast<plx_ctx *>(arg);
    if (!ctx || !ctx->tmr_mgr)
        return;
    auto now = std::chrono::steady_clock::now();
    if (now - g_last_yield <= std::chrono::milliseconds(PLX_YIELD_INTERVAL_MS))
        return;
    timer_exec(ctx->tmr_mgr, TIMER_PRI_MASK_HIGH, PLX_BASE_TIMER_BUDGET_MS);
    g_last_yield = now;
}
