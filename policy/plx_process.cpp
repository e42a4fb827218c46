// The processing run over the policy db, the state machine of a policy VPN list, and the events
// that change programs without a commit.
#include "policy/plx_process.h"

#include <chrono>
#include <new>
#include <string>

#include "common/plx_events.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "fplink/fp_common.h"
#include "policy/plx_process_rules.h"
#include "progmem/plx_if_fpmem.h"

using namespace plx::cfg;

namespace plx::process {
namespace {

plx_process_state::list_key key_of(const policy &p, const policy_vpn_list &v) {
    return {p.type, std::string(p.name.view()), std::string(v.name.view())};
}

uint64_t clock_rate(plx_ctx *ctx) {
    const plx_process_state &s = ctx->process;
    if (s.opts.clock_rate)
        return s.opts.clock_rate();
    const fp_global_ctrl *g = fp_global_ctrl_tbl();
    return g ? fp_load(g->clock_rate) : 0;
}

void pump_cb(void *arg) {
    plx_process_pump(static_cast<plx_ctx *>(arg));
}

uint32_t filter_type_of(const policy &p) {
    return p.type == PLX_POLICY_TYPE_DATA ? 1 : 2;
}

policy_vpn_list *find_user_list(plx_policy_db *db, std::string_view policy_name, uint32_t type,
                                std::string_view vpn_list_name) {
    policy *p = plx_config_policy_find(db, type, policy_name);
    return p ? p->vpn_lists.find(vpn_list_name) : nullptr;
}

// Withdraws what a VPN list has in the forwarding plane: its binding, its program (handed to the
// delayed release) and a rule table left from an interrupted build.
void release_list(plx_ctx *ctx, const policy &p, policy_vpn_list &v) {
    v.p_rule_table.reset();
    if (v.filter_id != PLX_FILTER_ID_NONE) {
        plx_policy_binding_send(ctx, p, v, FIB_MSG_POLICY_UNBIND);
        v.filter_id = PLX_FILTER_ID_NONE;
        v.filter_type = 0;
    }
    if (v.p_program) {
        plx_compiler_free_program(ctx->compiler, v.p_program);
        v.p_program = nullptr;
    }
}

// The compiler refused the rule table (or the table cannot express a rule): the policy goes on
// without this list's program until the list changes. The event carries the "Failed"
// notification.
void report_refused(plx_ctx *ctx, const policy &p, policy_vpn_list &v, const std::string &why) {
    PLX_LOG("Failed to compile policy %s - %s: %s. Continuing without the policy.\n",
            p.name.c_str(), v.name.c_str(), why.c_str());
    plx_log_event(1, "ALRT", PLX_EVENT_POLICY_REFUSED,
                  "Failed to compile policy %s - %s. Continuing without the policy.",
                  p.name.c_str(), v.name.c_str());
    ctx->process.refused.insert(key_of(p, v));
    v.refused_why = why.empty() ? "refused by the compiler" : why;
}

void report_no_memory(const policy &p, policy_vpn_list &v, uint32_t len) {
    PLX_LOG(
        "Failed to allocate memory [%d/%d] for policy %s - %s. Continuing without the "
        "policy.\n",
        static_cast<int>(len), static_cast<int>(plx_mem_blocks(len)), p.name.c_str(),
        v.name.c_str());
    plx_log_event(1, "ALRT", PLX_EVENT_POLICY_NO_MEMORY,
                  "Failed to allocate memory for policy %s - %s. Continuing without the policy.",
                  p.name.c_str(), v.name.c_str());
}

// ---- Model hooks ------------------------------------------------------------------------------

// fibd holds one direction of a policy per VPN: a bind in the new direction moves it there.
void on_direction_changed(plx_ctx *ctx, policy &p, policy_vpn_list &v) {
    if (v.filter_id != PLX_FILTER_ID_NONE)
        plx_policy_binding_send(ctx, p, v, FIB_MSG_POLICY_BIND);
}

// The ranges of a VPN list changed: each bound user sends only the VPN ids that came or went.
void on_vpn_ranges(plx_ctx *ctx, vpn_list &l) {
    for (const vpn_list_policy &u : l.users) {
        policy *p = plx_config_policy_find(ctx->policy, u.policy_type, u.policy_name.view());
        policy_vpn_list *v = p ? p->vpn_lists.find(l.name.view()) : nullptr;
        if (v)
            plx_policy_binding_sync(ctx, *p, *v);
    }
}

void on_list_releasing(plx_ctx *ctx, policy &p, policy_vpn_list &v) {
    release_list(ctx, p, v);
    ctx->process.refused.erase(key_of(p, v));
}

// New policer parameters go straight into the placed programs that use the policer; the
// actions' copies follow so that the next rebuild writes the same values.
void on_policer_modified(plx_ctx *ctx, policer &pol) {
    const plx_process_state &s = ctx->process;
    uint64_t ticks = plx_policer_ticks_per_byte(clock_rate(ctx), pol.params.rate);
    PlxPolicerParams params{pol.name.c_str(), ticks, ticks * pol.params.burst, pol.params.exceed};
    const uint32_t invalid = plx_process_invalid_filter_id(ctx);
    for (policer_instance &inst : pol.instances) {
        std::vector<uint32_t> ids;
        if (inst.owner_kind == PLX_OWNER_KIND_POLICY) {
            policy_vpn_list *v = nullptr;
            for (uint32_t type : {PLX_POLICY_TYPE_DATA, PLX_POLICY_TYPE_PFR})
                if (!v)
                    v = find_user_list(ctx->policy, inst.owner_name.view(), type,
                                       inst.owner_name2.view());
            if (!v)
                continue;
            if (rule *r = v->rule_tree.find(inst.seq_id))
                for (config_action &a : r->actions)
                    if (a.action_type == PLX_ACTION_POLICE && a.police.name == pol.name.view())
                        a.police.params = pol.params;
            ids.push_back(v->filter_id);
        } else if (s.opts.acl_filter_ids) {
            ids = s.opts.acl_filter_ids(inst.owner_name.view());
        }
        for (uint32_t id : ids) {
            if (id >= invalid || !ctx->mem_ops || !ctx->mem_ops->plx_mem_refresh_policers)
                continue;
            if (int rc = ctx->mem_ops->plx_mem_refresh_policers(id, &params))
                PLX_LOG("Failed to refresh policer %s in filter %u (%d)\n", pol.name.c_str(), id,
                        rc);
        }
    }
}

}  // namespace
}  // namespace plx::process

using namespace plx::process;

void plx_process_attach(plx_ctx *ctx, plx_process_opts opts) {
    PLX_ASSERT(ctx != nullptr && ctx->policy != nullptr);
    plx_process_state &s = ctx->process;
    s.opts = std::move(opts);
    plx_policy_db *db = ctx->policy;
    if (s.opts.resolve_app_id)
        db->resolve_app_id = s.opts.resolve_app_id;
    db->hooks.direction_changed = [ctx](policy &p, policy_vpn_list &v) {
        on_direction_changed(ctx, p, v);
    };
    db->hooks.vpn_range_added = [ctx](vpn_list &l, const vpn_range &) { on_vpn_ranges(ctx, l); };
    db->hooks.vpn_range_removed = [ctx](vpn_list &l) { on_vpn_ranges(ctx, l); };
    db->hooks.vpn_configured = [ctx](uint64_t id) { plx_process_vpn_configured(ctx, id); };
    db->hooks.vpn_list_releasing = [ctx](policy &p, policy_vpn_list &v) {
        on_list_releasing(ctx, p, v);
    };
    db->hooks.policer_modified = [ctx](policer &pol) { on_policer_modified(ctx, pol); };
}

void plx_process_detach(plx_ctx *ctx) {
    if (!ctx)
        return;
    if (ctx->policy) {
        plx_policy_hooks &h = ctx->policy->hooks;
        h.direction_changed = nullptr;
        h.vpn_range_added = nullptr;
        h.vpn_range_removed = nullptr;
        h.vpn_configured = nullptr;
        h.vpn_list_releasing = nullptr;
        h.policer_modified = nullptr;
    }
    ctx->process = {};
}

uint32_t plx_process_invalid_filter_id(plx_ctx *ctx) {
    uint32_t n = ctx->process.opts.num_filters;
    if (n == 0)
        n = g_fp_scaling.num_filters;
    // Without filter memory (offline tools) no id is ever placed; keep clear of "not bound".
    return n ? n : PLX_FILTER_ID_NONE - 1;
}

uint64_t plx_process_clock_rate(plx_ctx *ctx) {
    return clock_rate(ctx);
}

void plx_process_pump(plx_ctx *ctx) {
    if (!ctx || !ctx->tmr_mgr)
        return;
    constexpr int64_t PUMP_INTERVAL_NS = 6'000'000;
    plx_process_state &s = ctx->process;
    int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    if (now - s.last_pump_ns < PUMP_INTERVAL_NS)
        return;
    s.last_pump_ns = now;
    timer_exec(ctx->tmr_mgr, TIMER_PRI_MASK_HIGH, 100);
}

void plx_process_forget_placements(plx_ctx *ctx) {
    if (!ctx || !ctx->policy)
        return;
    for (policy &p : ctx->policy->policies)
        for (policy_vpn_list &v : p.vpn_lists) {
            v.p_rule_table.reset();
            v.p_program = nullptr;
            if (v.filter_id != PLX_FILTER_ID_NONE) {
                plx_policy_binding_send(ctx, p, v, FIB_MSG_POLICY_UNBIND);
                v.filter_id = PLX_FILTER_ID_NONE;
                v.filter_type = 0;
            }
            plx_config_mark_changed(v);
        }
    ctx->process.refused.clear();
}

void plx_process_vpn_configured(plx_ctx *ctx, uint64_t vpn_id) {
    if (!ctx || !ctx->policy)
        return;
    for (vpn_list &l : ctx->policy->vpn_lists) {
        bool covered = false;
        for (const vpn_range &r : l.ranges)
            covered = covered || (r.low <= vpn_id && vpn_id <= r.high);
        if (!covered)
            continue;
        for (const vpn_list_policy &u : l.users) {
            policy *p = plx_config_policy_find(ctx->policy, u.policy_type, u.policy_name.view());
            if (policy_vpn_list *v = p ? p->vpn_lists.find(l.name.view()) : nullptr)
                plx_policy_binding_resend(ctx, *p, *v, vpn_id, vpn_id);
        }
    }
}

int plx_policy_change(plx_ctx *ctx, policy &p, policy_vpn_list &v) {
    if (!ctx || !ctx->policy)
        return PLX_EBADMSG;
    release_list(ctx, p, v);
    int rc = plx_config_policy_vpn_list_refresh(ctx->policy, &v);
    if (rc != PLX_OK)
        PLX_LOG("Failed to refresh policy %s - %s (%d)\n", p.name.c_str(), v.name.c_str(), rc);
    return rc;
}

int plx_process_policy_vpn_list(plx_ctx *ctx, policy &p, policy_vpn_list &v) {
    if (!ctx || !ctx->policy || !ctx->compiler)
        return PLX_EBADMSG;
    plx_process_pump(ctx);
    if (!p.added && !v.changed)
        return PLX_OK;
    plx_process_state &s = ctx->process;
    const uint32_t invalid = plx_process_invalid_filter_id(ctx);
    const uint32_t previous = v.filter_id;

    // A bound or failed list gives up its binding and program before the rebuild.
    if (plx_policy_change(ctx, p, v) != PLX_OK)
        return PLX_ENOMEM;  // the list stays marked and is rebuilt on the next run
    v.changed = 0;
    s.refused.erase(key_of(p, v));
    v.refused_why.clear();
    if (v.rules.empty())
        return PLX_OK;

    plx_compiler_ctx *cc = ctx->compiler;
    PlxRuleTablePtr table;
    std::string why;
    int rc = plx_policy_ruletable_build(cc, p, v, clock_rate(ctx), table, &why, pump_cb, ctx);
    if (rc == PLX_ENOMEM) {
        PLX_LOG("Failed to build the rule table of policy %s - %s: out of memory\n", p.name.c_str(),
                v.name.c_str());
        v.changed = 1;
        return PLX_ENOMEM;
    }

    const plx_compiled c =
        plx_rules_compile(cc, std::move(table), v.p_rule_table, "no rule tests a field");
    if (rc == PLX_OK)
        why = c.why;
    PolicyProgram *const prog = c.prog;
    const uint32_t placed_id = c.placed_id;

    v.filter_type = filter_type_of(p);
    if (prog) {
        PLX_ASSERT(placed_id < invalid);
        v.p_program = prog;
        v.filter_id = placed_id;
        v.programmed_at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        PLX_TRACE(PLX_DEBUG_POLICY, "Programmed policy %s - %s: filter %u, %u bytes\n",
                  p.name.c_str(), v.name.c_str(), placed_id, prog->length);
        if (previous == invalid) {
            plx_log_event(6, "INFO", PLX_EVENT_POLICY_REPROGRAMMED,
                          "Successfully re-programmed policy %s - %s", p.name.c_str(),
                          v.name.c_str());
        }
    } else {
        v.filter_id = invalid;
        if (c.no_memory)
            report_no_memory(p, v, c.len);
        else
            report_refused(ctx, p, v, why);
    }
    plx_policy_binding_send(ctx, p, v, FIB_MSG_POLICY_BIND);
    return PLX_OK;
}

int plx_process_all_changed(plx_ctx *ctx) {
    if (!ctx || !ctx->policy)
        return PLX_EBADMSG;
    plx_process_state &s = ctx->process;
    if (s.running) {
        s.pending = true;
        return PLX_OK;
    }
    if (s.opts.placement_ready && !s.opts.placement_ready()) {
        PLX_TRACE(PLX_DEBUG_POLICY, "Forwarding plane not ready; processing deferred\n");
        return PLX_OK;
    }
    s.running = true;
    int result = PLX_OK;
    do {
        s.pending = false;
        result = PLX_OK;
        for (policy &p : ctx->policy->policies) {
            if (!p.added && !p.changed)
                continue;
            int failed = PLX_OK;
            for (policy_vpn_list &v : p.vpn_lists) {
                failed = plx_process_policy_vpn_list(ctx, p, v);
                if (failed != PLX_OK)
                    break;
            }
            p.added = 0;
            // A list that could not be processed keeps its policy marked for the next run.
            p.changed = failed != PLX_OK;
            if (failed != PLX_OK && result == PLX_OK)
                result = failed;
        }
        if (result == PLX_OK && s.opts.process_access_lists)
            result = s.opts.process_access_lists(ctx);
    } while (s.pending && result == PLX_OK);
    s.running = false;
    return result;
}

void plx_process_oom_policies(plx_ctx *ctx, uint32_t freed) {
    if (!ctx || !ctx->policy)
        return;
    PLX_TRACE(PLX_DEBUG_POLICY, "Processing oom policy (freed memory: %d)\n",
              static_cast<int>(freed));
    plx_process_state &s = ctx->process;
    const uint32_t invalid = plx_process_invalid_filter_id(ctx);
    for (policy &p : ctx->policy->policies) {
        for (policy_vpn_list &v : p.vpn_lists) {
            if (v.filter_id != invalid || s.refused.count(key_of(p, v)))
                continue;
            plx_config_mark_changed(v);
            PLX_TRACE(PLX_DEBUG_POLICY, "Retry programming for policy: %s-%d-%s\n", p.name.c_str(),
                      static_cast<int>(p.type), v.name.c_str());
        }
    }
    if (s.opts.retry_access_lists)
        s.opts.retry_access_lists(ctx);
    plx_process_all_changed(ctx);
}
