#include "oper/plx_clear.h"

#include <string>

#include "common/plx_log.h"
#include "common/plx_status.h"
#include "daemon/plx_ctx.h"
#include "oper/plx_cli_print.h"
#include "oper/plx_oper_acl.h"
#include "policy/plx_config.h"
#include "progmem/plx_if_fpmem.h"
#include "qconfd/qconfd_api.h"

namespace cfg = plx::cfg;
using plx::oper::AclRef;

namespace {

// Clears every counter and policer of one owner in its program (nothing without a program) and
// counts what it cleared.
void clear_owner(uint32_t filter_id, plx::oper::counter_tree &counters,
                 plx::oper::policer_tree &policers, PlxClearCounts *counts) {
    PolicyProgram *prog = plx_mem_program(filter_id);
    if (!prog)
        return;
    for (const cfg::counter_ctx &c : counters) {
        plx_program_clear_counters(prog, c.name.c_str());
        if (counts)
            ++counts->counters;
    }
    for (const cfg::policer_instance &p : policers) {
        const std::string text =
            std::to_string(p.seq_id) + "." + std::string(p.policer_name.view());
        plx_program_clear_policer_counters(prog, text.c_str());
        if (counts)
            ++counts->policers;
    }
}

void clear_acl(const AclRef &acl, PlxClearCounts *counts) {
    clear_owner(acl.filter_id, *acl.counters, *acl.policers, counts);
}

void clear_policy(cfg::policy &p, PlxClearCounts *counts) {
    for (cfg::policy_vpn_list &pvl : p.vpn_lists)
        clear_owner(pvl.filter_id, pvl.counters, pvl.policers, counts);
}

// The last name parameter of an action, if any.
std::optional<std::string> name_param(const confd_tag_value_t *params, int nparams) {
    std::optional<std::string> name;
    for (int i = 0; i < nparams; ++i) {
        const confd_tag_value_t *curr_param_p = &params[i];
        if (curr_param_p->tag.tag != PLX_CLEAR_TAG_NAME)
            continue;
        PLX_ASSERT((&curr_param_p->v)->type == C_BUF);
        std::string s(reinterpret_cast<const char *>(curr_param_p->v.val.buf.ptr),
                      curr_param_p->v.val.buf.size);
        name = std::string(cfg::plx_name_cut(s.substr(0, s.find('\0'))));
    }
    return name;
}

std::optional<std::string_view> opt(const std::optional<std::string> &name) {
    return name ? std::optional<std::string_view>(*name) : std::nullopt;
}

// The operator's answer: an error naming an object that does not exist (nothing was cleared),
// otherwise how much was cleared.
int answer(confd_user_info *uinfo, const char *kind, const std::optional<std::string> &name, int rc,
           const PlxClearCounts &n) {
    if (rc == PLX_ENOENT) {
        confd_action_seterr(uinfo, "no %s named %s", kind, name ? name->c_str() : "");
        return CONFD_ERR;
    }
    PlxCliPrinter out(uinfo);
    if (out.usable()) {
        const std::string text =
            "cleared " + std::to_string(n.counters) + (n.counters == 1 ? " counter" : " counters") +
            " and " + std::to_string(n.policers) + (n.policers == 1 ? " policer\n" : " policers\n");
        out.write(text.c_str());
    }
    return CONFD_OK;
}

cfg::plx_policy_db *policy_db_of(const confd_user_info *uinfo) {
    QconfdContext *q = plx_cli_qconfd(uinfo);
    auto *ctx = q ? static_cast<plx_ctx *>(q->spec.app_ctx) : nullptr;
    return ctx ? ctx->policy : nullptr;
}

}  // namespace

int plx_clear_access_lists(bool ipv6, std::optional<std::string_view> name,
                           PlxClearCounts *counts) {
    plx::oper::AclSource *src = plx::oper::plx_oper_acl_source();
    const uint32_t family = ipv6 ? plx::oper::ACL_FAMILY_IPV6 : plx::oper::ACL_FAMILY_IPV4;
    if (name) {
        AclRef acl = src ? src->find(family, cfg::plx_name_cut(*name)) : AclRef{};
        if (!acl)
            return PLX_ENOENT;
        clear_acl(acl, counts);
        return PLX_OK;
    }
    if (!src)
        return PLX_OK;
    for (AclRef acl = src->first(family); acl; acl = src->find_next(family, acl.name))
        clear_acl(acl, counts);
    return PLX_OK;
}

int plx_clear_policies(cfg::plx_policy_db *db, uint32_t policy_type,
                       std::optional<std::string_view> name, PlxClearCounts *counts) {
    if (!db)
        return name ? PLX_ENOENT : PLX_OK;
    if (name) {
        cfg::policy *p = cfg::plx_config_policy_find(db, policy_type, cfg::plx_name_cut(*name));
        if (!p)
            return PLX_ENOENT;
        clear_policy(*p, counts);
        return PLX_OK;
    }
    for (cfg::policy &p : db->policies)
        if (p.type == policy_type)
            clear_policy(p, counts);
    return PLX_OK;
}

int plx_clear_policy_acl(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *,
                         confd_tag_value_t *params, int nparams) {
    auto name = name_param(params, nparams);
    PlxClearCounts n;
    return answer(uinfo, "IPv4 access list", name, plx_clear_access_lists(false, opt(name), &n), n);
}

int plx_clear_policy_acl6(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *,
                          confd_tag_value_t *params, int nparams) {
    auto name = name_param(params, nparams);
    PlxClearCounts n;
    return answer(uinfo, "IPv6 access list", name, plx_clear_access_lists(true, opt(name), &n), n);
}

int plx_clear_data_policy(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *,
                          confd_tag_value_t *params, int nparams) {
    auto name = name_param(params, nparams);
    PlxClearCounts n;
    const int rc =
        plx_clear_policies(policy_db_of(uinfo), cfg::PLX_POLICY_TYPE_DATA, opt(name), &n);
    return answer(uinfo, "data policy", name, rc, n);
}

int plx_clear_app_route_policy(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *,
                               confd_tag_value_t *params, int nparams) {
    auto name = name_param(params, nparams);
    PlxClearCounts n;
    const int rc = plx_clear_policies(policy_db_of(uinfo), cfg::PLX_POLICY_TYPE_PFR, opt(name), &n);
    return answer(uinfo, "app-route policy", name, rc, n);
}
