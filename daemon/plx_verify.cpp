#include "daemon/plx_verify.h"

#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "acl/plx_intf_config.h"
#include "daemon/plx_ctx.h"
#include "daemon/plx_fp_restart.h"
#include "fplink/fp_common.h"
#include "fplink/plx_fibd.h"
#include "oper/plx_cli_print.h"
#include "policy/plx_config.h"
#include "policy/plx_process.h"
#include "progmem/plx_if_fpmem.h"
#include "qconfd/qconfd_api.h"

using namespace plx::cfg;

namespace {

const char *const kDataDir[] = {"from-service", "from-tunnel", "all"};

std::string vpn_place(uint32_t id, const char *slot) {
    return "vpn " + std::to_string(id) + " " + slot;
}
std::string intf_place(std::string_view intf, uint8_t dir, uint32_t family) {
    return std::string(intf) + (dir == FP_ACL_DIR_IN ? " in " : " out ") +
           (family == FP_ACL_FAMILY_V6 ? "v6" : "v4");
}

class Checker {
  public:
    Checker(plx_ctx *ctx, const fp_binding_tables &fib)
        : ctx_(ctx), fib_(fib), invalid_(plx_process_invalid_filter_id(ctx)) {}

    plx_verify_report run() {
        if (ctx_->policy)
            for (policy &p : ctx_->policy->policies)
                for (policy_vpn_list &v : p.vpn_lists)
                    expect_policy(p, v);
        if (ctx_->acl)
            for (auto &tree : ctx_->acl->lists)
                for (plx_access_list &l : tree)
                    expect_acl(l);
        orphans();
        compare_bindings();
        r_.bindings = static_cast<uint32_t>(want_.size());
        return std::move(r_);
    }

  private:
    struct Want {
        std::set<uint32_t> filters;
        std::string owner;
    };

    void diff(std::string s) { r_.differences.push_back(std::move(s)); }

    std::string describe(uint32_t filter) const {
        auto it = owner_.find(filter);
        return "filter " + std::to_string(filter) +
               (it != owner_.end() ? " (" + it->second + ")" : "");
    }

    void placed(const std::string &owner, std::string_view name, uint32_t id, const void *prog) {
        ++r_.programs;
        const PolicyProgram *at = plx_mem_program(id);
        if (!at) {
            diff(owner + ": filter " + std::to_string(id) + " holds no program");
        } else if (at != prog) {
            diff(owner + ": filter " + std::to_string(id) + " points at another program");
        } else if (std::string_view(at->name, strnlen(at->name, sizeof at->name)) != name) {
            diff(owner + ": filter " + std::to_string(id) + " holds a program named " +
                 std::string(at->name, strnlen(at->name, sizeof at->name)));
        }
        if (plx_mem_release_pending(id))
            diff(owner + ": filter " + std::to_string(id) + " waits for release");
        auto [it, fresh] = owner_.emplace(id, owner);
        if (!fresh)
            diff("filter " + std::to_string(id) + ": held by " + it->second + " and " + owner);
    }

    // Checks an owner's program, or that an owner without one holds no filter; false when the
    // owner has no filter number, so that nothing of it can be bound.
    bool check_program(const std::string &owner, std::string_view name, uint32_t id,
                       const void *prog) {
        if (prog)
            placed(owner, name, id, prog);
        else if (id != PLX_FILTER_ID_NONE && id < invalid_)
            diff(owner + ": filter " + std::to_string(id) + " without a program");
        return id != PLX_FILTER_ID_NONE;
    }

    void expect_policy(const policy &p, const policy_vpn_list &v) {
        const bool data = p.type == PLX_POLICY_TYPE_DATA;
        const std::string owner = std::string(data ? "data policy " : "app-route policy ") +
                                  p.name.c_str() + " - " + v.name.c_str();
        if (!check_program(owner, p.name.view(), v.filter_id, v.p_program))
            return;
        const vpn_list *vl = ctx_->policy->vpn_lists.find(v.name.view());
        std::vector<uint32_t> ids;
        if (!vl || !plx_vpn_list_ids(*vl, PLX_FIBD_MAX_VPN_IDS, &ids))
            return;
        const char *slot = "app-route";
        if (data) {
            if (!fp_data_dir_valid(static_cast<uint8_t>(v.direction))) {
                diff(owner + ": direction " + std::to_string(v.direction) + " binds nothing");
                return;
            }
            slot = kDataDir[v.direction - 1];
        }
        for (uint32_t id : ids) {
            if (fib_.vpn && id >= fib_.num_vpn)
                continue;
            Want &w = want_[vpn_place(id, slot)];
            w.filters.insert(v.filter_id);
            w.owner += (w.owner.empty() ? "" : " or ") + owner;
        }
    }

    void expect_acl(const plx_access_list &l) {
        const std::string owner = std::string(l.family == PLX_ACL_FAMILY_IPV6 ? "IPv6" : "IPv4") +
                                  " access list " + l.name.c_str();
        if (!check_program(owner, l.name.view(), l.filter_id, l.p_program))
            return;
        for (const plx_acl_binding &b : l.bindings) {
            Want &w = want_[intf_place(b.intf.view(), b.direction, l.family)];
            w.filters.insert(l.filter_id);
            w.owner += (w.owner.empty() ? "" : " or ") + owner;
        }
    }

    // Valid filters that nobody owns and that are not waiting for release.
    void orphans() {
        for (uint32_t id = 0; id < plx_mem_num_filters(); ++id) {
            const FilterEntry *f = plx_mem_filter_entry(id);
            if (f && fp_filter_valid_halfword(*f) != 0 && !owner_.count(id) &&
                !plx_mem_release_pending(id))
                diff("filter " + std::to_string(id) + ": valid, but no list owns it");
        }
    }

    std::map<std::string, uint32_t> actual() const {
        std::map<std::string, uint32_t> got;
        for (uint32_t id = 0; fib_.vpn && id < fib_.num_vpn; ++id) {
            const fp_vpn_binding &b = fib_.vpn[id];
            if (fp_load(b.bound) == 0)
                continue;
            for (uint8_t d = FP_DIR_FROM_SERVICE; d <= FP_DIR_ALL; ++d)
                if (uint32_t f = fp_vpn_data_filter(b, d); f != FP_FILTER_NONE)
                    got[vpn_place(id, kDataDir[d - 1])] = f;
            if (uint32_t f = fp_vpn_app_route_filter(b); f != FP_FILTER_NONE)
                got[vpn_place(id, "app-route")] = f;
        }
        for (uint32_t i = 0; fib_.intf && i < fib_.num_intf; ++i) {
            const fp_intf_acl_binding &e = fib_.intf[i];
            if (e.name[0] == '\0')
                continue;
            const std::string_view name(e.name, strnlen(e.name, sizeof e.name));
            const uint8_t bound = fp_load(e.bound);
            for (uint8_t d : {FP_ACL_DIR_IN, FP_ACL_DIR_OUT})
                for (uint32_t fam : {FP_ACL_FAMILY_V4, FP_ACL_FAMILY_V6}) {
                    const uint32_t f = fp_load(e.acl_filter[d - 1][fam]);
                    if ((bound & fp_acl_bound_bit(d, fam)) && f != FP_FILTER_NONE)
                        got[intf_place(name, d, fam)] = f;
                }
        }
        return got;
    }

    void compare_bindings() {
        const std::map<std::string, uint32_t> got = actual();
        for (const auto &[place, w] : want_) {
            auto it = got.find(place);
            const std::string want_text =
                "want filter " + std::to_string(*w.filters.begin()) + " (" + w.owner + ")";
            if (it == got.end())
                diff(place + ": nothing bound, " + want_text);
            else if (!w.filters.count(it->second))
                diff(place + ": " + describe(it->second) + " bound, " + want_text);
        }
        for (const auto &[place, f] : got) {
            if (!want_.count(place))
                diff(place + ": " + describe(f) + " bound, the configuration binds nothing there");
            const FilterEntry *e = plx_mem_filter_entry(f);
            if (f < invalid_ && (!e || fp_filter_valid_halfword(*e) == 0))
                diff(place + ": filter " + std::to_string(f) + " bound, but it holds no program");
        }
    }

    plx_ctx *ctx_;
    const fp_binding_tables &fib_;
    const uint32_t invalid_;
    plx_verify_report r_;
    std::map<uint32_t, std::string> owner_;  // filter -> the list placed there
    std::map<std::string, Want> want_;       // place -> what the model binds there
};

}  // namespace

plx_verify_report plx_verify(plx_ctx *ctx, const fp_binding_tables &fib) {
    if (!ctx)
        return {};
    return Checker(ctx, fib).run();
}

std::vector<std::string> plx_verify_lines(const plx_verify_report &r) {
    std::vector<std::string> lines = r.differences;
    lines.push_back("verify: " + std::to_string(r.programs) + " programs, " +
                    std::to_string(r.bindings) + " bindings, " +
                    std::to_string(r.differences.size()) + " differences");
    return lines;
}

int plx_verify_action(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *,
                      int) {
    QconfdContext *q = plx_cli_qconfd(uinfo);
    auto *ctx = q ? static_cast<plx_ctx *>(q->spec.app_ctx) : nullptr;
    if (!ctx) {
        confd_action_seterr(uinfo, "policy manager context unavailable");
        return CONFD_ERR;
    }
    plx_verify_report r;
    if (!plx_fp_watch_check())
        r.differences.push_back("forwarding plane not ready: programs wait to be placed");
    else
        r = plx_verify(ctx, fp_binding_tables_from_shm());
    {
        PlxCliPrinter cli(uinfo);
        for (const std::string &l : plx_verify_lines(r))
            cli.write((l + "\n").c_str());
    }
    if (r.differences.empty())
        return CONFD_OK;
    confd_action_seterr(uinfo, "verify: %zu differences", r.differences.size());
    return CONFD_ERR;
}
