#include "acl/plx_acl_process.h"

#include <chrono>
#include <new>
#include <string>
#include <utility>

#include "common/plx_events.h"
#include "common/plx_log.h"
#include "common/plx_status.h"
#include "compiler/plx_compiler.h"
#include "compiler/plx_mem_ops.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "fplink/plx_fibd.h"
#include "policy/plx_process.h"
#include "policy/plx_process_rules.h"
#include "progmem/plx_if_fpmem.h"

using namespace plx::cfg;

namespace {

plx_acl_process_state::list_key key_of(const plx_access_list &l) {
    return {l.family, std::string(l.name.view())};
}

const char *family_name(const plx_access_list &l) {
    return l.family == PLX_ACL_FAMILY_IPV6 ? "IPv6" : "IPv4";
}

void pump_cb(void *arg) {
    plx_process_pump(static_cast<plx_ctx *>(arg));
}

fib_acl_msg message_of(const plx_access_list &l, uint8_t type,
                       std::span<const plx_acl_binding *const> only) {
    fib_acl_msg m;
    m.type = type;
    m.family = static_cast<uint8_t>(l.family);
    m.filter_id = l.filter_id;
    m.name = l.name.view();
    auto add = [&](const plx_acl_binding &b) {
        m.bindings.push_back(
            {static_cast<uint32_t>(b.vpn), b.direction, std::string(b.intf.view())});
    };
    if (only.empty())
        for (const plx_acl_binding &b : l.bindings)
            add(b);
    else
        for (const plx_acl_binding *b : only)
            add(*b);
    return m;
}

// A message that fibd cannot take now is dropped: the resend on its next connection carries
// the state. Only a message that could not be built is an error.
int send(plx_ctx *ctx, const fib_acl_msg &m) {
    if (m.bindings.empty())
        return PLX_OK;
    int rc = plx_fibd_send(ctx, m);
    if (rc == PLX_ENOMEM || rc == PLX_EINVAL) {
        PLX_LOG("Failed to send the %s of access list %s (%d)\n",
                m.type == FIB_MSG_ACL_BIND ? "bind" : "unbind", m.name.c_str(), rc);
        return rc;
    }
    return PLX_OK;
}

void release_program(plx_ctx *ctx, plx_access_list &l) {
    l.p_rule_table.reset();
    if (l.p_program) {
        plx_compiler_free_program(ctx->compiler, l.p_program);
        l.p_program = nullptr;
    }
}

void resend(plx_ctx *ctx) {
    if (!ctx->acl)
        return;
    for (auto &tree : ctx->acl->lists)
        for (const plx_access_list &l : tree)
            plx_acl_send_all(ctx, l, FIB_MSG_ACL_BIND);
}

void report_kept(const plx_access_list &l, const char *why) {
    PLX_LOG(
        "Failed to program the new rules of access list %s (%s). Keeping its last good "
        "program, filter %u.\n",
        l.name.c_str(), why, l.filter_id);
    plx_log_event(1, "ALRT", PLX_EVENT_ACCESS_LIST_NO_MEMORY,
                  "Failed to program the new rules of access list - %s. Keeping its last good "
                  "program.",
                  l.name.c_str());
}

void report_no_memory(const plx_access_list &l, uint32_t len) {
    PLX_LOG(
        "Failed to allocate program memory [%d/%d] for access list - %s. Continuing without the "
        "access-list.\n",
        static_cast<int>(len), static_cast<int>(plx_mem_blocks(len)), l.name.c_str());
    plx_log_event(1, "ALRT", PLX_EVENT_ACCESS_LIST_NO_MEMORY,
                  "Failed to allocate program memory for access list - %s. Continuing without "
                  "the access-list.",
                  l.name.c_str());
}

void report_refused(plx_ctx *ctx, const plx_access_list &l, const std::string &why) {
    PLX_LOG("Failed to compile %s access list %s: %s. Continuing without the access-list.\n",
            family_name(l), l.name.c_str(), why.c_str());
    plx_log_event(1, "ALRT", PLX_EVENT_ACCESS_LIST_REFUSED,
                  "Failed to compile access list - %s. Continuing without the access-list.",
                  l.name.c_str());
    ctx->acl_process.refused.insert(key_of(l));
}

}  // namespace

void plx_acl_process_attach(plx_ctx *ctx) {
    PLX_ASSERT(ctx != nullptr && ctx->acl != nullptr);
    plx_acl_model *m = ctx->acl;
    m->ctx = ctx;
    m->releasing = [ctx](plx_access_list &l) { release_program(ctx, l); };
    ctx->hooks.acl_resend = resend;
}

void plx_acl_process_detach(plx_ctx *ctx) {
    if (ctx && ctx->acl)
        ctx->acl->releasing = nullptr;
    if (ctx) {
        ctx->hooks.acl_resend = nullptr;
        ctx->acl_process = {};
    }
}

int plx_acl_send_all(plx_ctx *ctx, const plx_access_list &l, uint8_t type) {
    return send(ctx, message_of(l, type, {}));
}

int plx_process_access_list_add(plx_ctx *ctx, plx_access_list &l, uint32_t previous, bool keeping) {
    PLX_ASSERT(l.p_program == nullptr);
    if (l.rules.empty())
        return PLX_OK;
    plx_process_pump(ctx);
    plx_compiler_ctx *cc = ctx->compiler;
    const uint32_t invalid = plx_process_invalid_filter_id(ctx);
    ctx->acl_process.refused.erase(key_of(l));
    l.refused_why.clear();

    ActionData def{};
    def.slot[0].base_action = l.default_action;
    def.slot[0].action_type = PLX_ACTION_BASE;
    const std::string alias = std::to_string(l.family);
    PlxRuleTablePtr table;
    std::string why;
    int rc = plx_rules_ruletable_build(cc, l.name.c_str(), alias.c_str(), def, l.rules,
                                       plx_process_clock_rate(ctx), table, &why, pump_cb, ctx);
    if (rc == PLX_ENOMEM) {
        PLX_LOG("Failed to build the rule table of access list %s: out of memory\n",
                l.name.c_str());
        return PLX_ENOMEM;
    }

    const plx_compiled c =
        plx_rules_compile(cc, std::move(table), l.p_rule_table, "no sequence tests a field");
    if (rc == PLX_OK)
        why = c.why;
    PolicyProgram *const prog = c.prog;
    const uint32_t placed_id = c.placed_id;

    if (prog) {
        PLX_ASSERT(placed_id < invalid);
        l.p_program = prog;
        l.filter_id = placed_id;
        l.programmed_at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        PLX_TRACE(PLX_DEBUG_POLICY, "Programmed %s access list %s: filter %u, %u bytes\n",
                  family_name(l), l.name.c_str(), placed_id, prog->length);
        if (previous == invalid)
            plx_log_event(6, "INFO", PLX_EVENT_ACCESS_LIST_REPROGRAMMED,
                          "Successfully re-programmed access list - %s", l.name.c_str());
    } else if (keeping) {
        if (!c.no_memory)
            ctx->acl_process.refused.insert(key_of(l));
        return PLX_OK;
    } else {
        l.filter_id = invalid;
        if (c.no_memory)
            report_no_memory(l, c.len);
        else
            report_refused(ctx, l, why);
        if (!c.no_memory)
            l.refused_why = why.empty() ? "refused by the compiler" : why;
    }
    return keeping ? PLX_OK : plx_acl_send_all(ctx, l, FIB_MSG_ACL_BIND);
}

// An access list is a security boundary: while its new rules cannot be placed, its last good
// program stays bound (to the interfaces configured now) instead of no program at all.
int change_keeping_last_good(plx_ctx *ctx, plx_access_list &l) {
    const uint32_t previous = l.filter_id;
    const fib_acl_msg old_unbind = message_of(l, FIB_MSG_ACL_UNBIND, {});
    PolicyProgram *old_prog = l.p_program;
    PlxRuleTablePtr old_table = std::move(l.p_rule_table);
    l.p_program = nullptr;
    plx_intf_config_refresh(ctx->acl, l);
    ctx->acl_process.kept.erase(key_of(l));
    int rc = plx_process_access_list_add(ctx, l, previous, /*keeping=*/true);
    if (l.p_program) {
        if (int u = send(ctx, old_unbind); u != PLX_OK)
            PLX_LOG("Failed to unbind filter %d from all interfaces\n", static_cast<int>(previous));
        std::swap(old_prog, l.p_program);
        std::swap(old_table, l.p_rule_table);
        release_program(ctx, l);  // the old program, released once the forwarding plane let it go
        l.p_program = old_prog;
        l.p_rule_table = std::move(old_table);
        return plx_acl_send_all(ctx, l, FIB_MSG_ACL_BIND);
    }
    l.p_program = old_prog;
    l.p_rule_table = std::move(old_table);
    l.filter_id = previous;
    ctx->acl_process.kept.insert(key_of(l));
    report_kept(l, ctx->acl_process.refused.count(key_of(l)) ? "refused by the compiler"
                                                             : "out of filter memory");
    send(ctx, old_unbind);
    const int bound = plx_acl_send_all(ctx, l, FIB_MSG_ACL_BIND);
    return rc == PLX_ENOMEM ? rc : bound;
}

int plx_process_access_list_change(plx_ctx *ctx, plx_access_list &l) {
    const uint32_t previous = l.filter_id;
    if (l.p_program && !l.rules.empty() && previous != PLX_FILTER_ID_NONE &&
        previous != plx_process_invalid_filter_id(ctx))
        return change_keeping_last_good(ctx, l);
    ctx->acl_process.kept.erase(key_of(l));
    if (l.filter_id != PLX_FILTER_ID_NONE) {
        if (int rc = plx_acl_send_all(ctx, l, FIB_MSG_ACL_UNBIND); rc != PLX_OK) {
            PLX_LOG("Failed to unbind filter %d from all interfaces\n",
                    static_cast<int>(l.filter_id));
            return rc;
        }
        release_program(ctx, l);
        l.filter_id = PLX_FILTER_ID_NONE;
    }
    if (l.rules.empty())
        return PLX_OK;
    plx_intf_config_refresh(ctx->acl, l);
    return plx_process_access_list_add(ctx, l, previous);
}

int plx_process_access_lists(plx_ctx *ctx) {
    if (!ctx || !ctx->acl || !ctx->compiler)
        return PLX_OK;
    int result = PLX_OK;
    for (auto &tree : ctx->acl->lists) {
        for (plx_access_list &l : tree) {
            if (!l.is_new && !l.changed)
                continue;
            int rc = l.is_new && l.p_program == nullptr && l.filter_id == PLX_FILTER_ID_NONE
                         ? plx_process_access_list_add(ctx, l, l.filter_id)
                         : plx_process_access_list_change(ctx, l);
            l.is_new = 0;
            // A list that could not be processed is tried again on the next run.
            l.changed = rc != PLX_OK;
            if (rc != PLX_OK && result == PLX_OK)
                result = rc;
        }
    }
    return result;
}

void plx_acl_forget_placements(plx_ctx *ctx) {
    if (!ctx || !ctx->acl)
        return;
    for (auto &tree : ctx->acl->lists)
        for (plx_access_list &l : tree) {
            l.p_rule_table.reset();
            l.p_program = nullptr;
            if (l.filter_id != PLX_FILTER_ID_NONE) {
                plx_acl_send_all(ctx, l, FIB_MSG_ACL_UNBIND);
                l.filter_id = PLX_FILTER_ID_NONE;
            }
            l.changed = 1;
        }
    ctx->acl_process.refused.clear();
}

void plx_acl_retry_failed(plx_ctx *ctx) {
    if (!ctx || !ctx->acl)
        return;
    const uint32_t invalid = plx_process_invalid_filter_id(ctx);
    const auto &refused = ctx->acl_process.refused;
    for (auto &tree : ctx->acl->lists)
        for (plx_access_list &l : tree) {
            if ((l.filter_id != invalid && !ctx->acl_process.kept.count(key_of(l))) ||
                refused.count(key_of(l)))
                continue;
            l.changed = 1;
            if (l.family == PLX_ACL_FAMILY_IPV6)
                PLX_TRACE(PLX_DEBUG_POLICY, "Retry programming for ACL6: %s\n", l.name.c_str());
            else
                PLX_TRACE(PLX_DEBUG_POLICY, "Retry programming for ACL: %s\n", l.name.c_str());
        }
}

std::vector<uint32_t> plx_acl_filter_ids(plx_ctx *ctx, std::string_view name) {
    std::vector<uint32_t> ids;
    if (!ctx || !ctx->acl)
        return ids;
    for (uint32_t family : {PLX_ACL_FAMILY_IPV4, PLX_ACL_FAMILY_IPV6})
        if (const plx_access_list *l = plx_intf_config_acl_find(ctx->acl, name, family))
            ids.push_back(l->filter_id);
    return ids;
}
