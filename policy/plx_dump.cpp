// Diagnostic dumps of the policy databases and access lists.
#include "policy/plx_dump.h"

#include <algorithm>
#include <string>
#include <vector>

#include "acl/plx_intf_config.h"
#include "daemon/plx_ctx.h"
#include "fplink/fp_common.h"
#include "oper/plx_cli_print.h"
#include "policy/plx_config.h"
#include "progmem/plx_if_fpmem.h"
#include "qconfd/qconfd_api.h"

using namespace plx::cfg;

namespace {

const char *const kColorNames[] = {
    "invalid",  "default",  "mpls",     "metro-ethernet", "biz-internet", "public-internet",
    "lte",      "3g",       "red",      "green",          "blue",         "gold",
    "silver",   "bronze",   "custom1",  "custom2",        "custom3",      "private1",
    "private2", "private3", "private4", "private5",       "private6"};

std::string color_text(uint32_t bits) {
    std::string s;
    for (uint32_t c = 1; c <= 22; ++c)
        if (bits & (1u << c))
            s += std::string(kColorNames[c]) + " ";
    return s;
}

std::string encap_text(uint32_t bits) {
    std::string s;
    if (bits & PLX_ENCAP_BIT_GRE)
        s += "gre ";
    if (bits & PLX_ENCAP_BIT_IPSEC)
        s += "ipsec ";
    return s;
}

void rule_line(const PlxPrinter &out, const rule &r) {
    plx_printf(out, "        [%u] %s Match/Field [%d] Action [%d] tloc_db [%d]\n", r.seq_id,
               r.vpn_list_name.c_str(), static_cast<int>(r.matches.count()),
               static_cast<int>(r.actions.count()), static_cast<int>(r.tloc_refs.count()));
}

}  // namespace

void plx_dump_action(const PlxPrinter &out, const config_action &a) {
    const char *indent = "                 ";
    plx_printf(out, "            [%d/%d] %s type: %d tlocs: %u\n", a.value, a.action_type,
               plx_action_type_name(a.action_type), a.source_tag, a.tloc_list.count);
    switch (a.action_type) {
        case PLX_ACTION_SET_TLOC:
            plx_printf(out, "%sTLOC: vpn-label: %d preference: %d\n", indent, a.set_tloc.label,
                       a.set_tloc.p_tloc ? a.set_tloc.p_tloc->preference : 0);
            plx_printf(out, "%stloc: %s tloc-index: %d\n", indent,
                       a.set_tloc.p_tloc ? tloc_key_str(a.set_tloc.p_tloc->key).c_str() : "--",
                       a.set_tloc.p_tloc ? a.set_tloc.p_tloc->index : 0);
            break;
        case PLX_ACTION_SET_TLOC_COLOR_ENCAP:
            plx_printf(out, "%sTLOC_C/E: color: 0x%x %s encap: 0x%x %s\n", indent,
                       a.colors.color_bits, color_text(a.colors.color_bits).c_str(),
                       a.colors.encap_bits, encap_text(a.colors.encap_bits).c_str());
            break;
        case PLX_ACTION_MIRROR:
            plx_printf(out, "%sMirror: name: %s\n", indent, a.mirror.name.c_str());
            break;
        case PLX_ACTION_POLICE:
            plx_printf(out, "%sPolice: %d.%s Type: %d Policy Name: %s\n", indent, a.police.seq_id,
                       a.police.name.c_str(), a.police.owner_type, a.police.instance_name.c_str());
            break;
        case PLX_ACTION_COUNT:
            plx_printf(out, "%sCounter: %s\n", indent, a.counter_name.c_str());
            break;
        case PLX_ACTION_SET_FC:
            plx_printf(out, "%sClass: %s [%d]\n", indent, a.fc.name.c_str(), a.fc.class_id);
            break;
        case PLX_ACTION_SET_NEXT_HOP:
            plx_printf(out, "%sNext-hop: %s\n", indent, plx_ip_to_str(&a.ip));
            break;
        case PLX_ACTION_SET_NAT_USE_VPN:
            plx_printf(out, "%sNAT use-vpn (vrid): %u\n", indent, a.vrf_id);
            break;
        case PLX_ACTION_SLA_CLASS:
            plx_printf(out, "%sSLA name: %s id: %d strict: %d preferred-color: 0x%x %s\n", indent,
                       a.sla.name.c_str(), a.sla.id, a.sla.strict, a.sla.pref_color,
                       color_text(a.sla.pref_color).c_str());
            break;
        case PLX_ACTION_TLOC_LIST:
            plx_printf(out, "%sTLOC-List\n", indent);
            for (uint32_t i = 0; i < a.tloc_list.count; ++i) {
                const tloc_list_action_entry &e = a.tloc_list.entries[i];
                plx_printf(out, "%sTLOC: %s Label: %u preference: %u\n", indent,
                           e.p_tloc ? tloc_key_str(e.p_tloc->key).c_str() : "--", e.label,
                           e.preference);
            }
            break;
        case PLX_ACTION_SET_DSCP:
            plx_printf(out, "%sDSCP: %u\n", indent, a.u8_value);
            break;
        case PLX_ACTION_SET_SVC_TYPE:
            plx_printf(out, "%sSvc-type: %u\n", indent, a.u8_value);
            break;
        case PLX_ACTION_SET_NAT_POOL:
            plx_printf(out, "%sNat-Pool id: %u\n", indent, a.u32_value);
            break;
        case PLX_ACTION_LOG:
            plx_printf(out, "%sLog\n", indent);
            break;
        case PLX_ACTION_SET_SVC_LOCAL:
            plx_printf(out, "%sSvc-Local\n", indent);
            break;
        case PLX_ACTION_SET_SVC_LOCAL_STRICT:
            plx_printf(out, "%sSvc-Local-Strict\n", indent);
            break;
        case PLX_ACTION_SET_BACKUP_PREF_COLOR:
            plx_printf(out, "%sBackup preferred color: 0x%x %s\n", indent, a.colors.color_bits,
                       color_text(a.colors.color_bits).c_str());
            break;
        case PLX_ACTION_SET_TRAFFIC_CLASS:
            plx_printf(out, "%sTraffic-Class: %u\n", indent, a.u8_value);
            break;
        case PLX_ACTION_SET_LOCAL_TLOC_LIST:
            plx_printf(out, "%sColor Mask: 0x%x %s, Encap Mask: 0x%x %s, Restrict: %s\n", indent,
                       a.colors.color_bits, color_text(a.colors.color_bits).c_str(),
                       a.colors.encap_bits, encap_text(a.colors.encap_bits).c_str(),
                       a.colors.restrict_flag ? "Yes" : "No");
            break;
        case PLX_ACTION_TCP_OPTIMIZATION:
            plx_printf(out, "%sTCP Optimization\n", indent);
            break;
        case PLX_ACTION_FALLBACK:
            plx_printf(out, "%sFallback\n", indent);
            break;
        case PLX_ACTION_REDIRECT_DNS:
            plx_printf(out, "%sRedirect DNS NH: %s\n", indent, plx_ip_to_str(&a.ip));
            break;
        default:
            break;
    }
}

void plx_dump_rule(const PlxPrinter &out, const rule &r) {
    rule_line(out, r);
    plx_printf(out, "          Match Conditions: \n");
    for (const match_cond &c : r.matches)
        plx_printf(out, "            [%d] %s [%d] %s : %s\n", c.field_type,
                   plx_match_type_name(c.field_type), c.origin_type,
                   plx_match_type_name(c.origin_type), c.list_name.c_str());
    plx_printf(out, "          Actions:\n");
    for (const config_action &a : r.actions)
        plx_dump_action(out, a);
    plx_printf(out, "          TLOC Ctx db (#%d)\n", static_cast<int>(r.tloc_refs.count()));
    for (const tloc_ref &t : r.tloc_refs)
        plx_printf(out, "            Idx: %d %s (#%d)\n", t.p_tloc->index,
                   tloc_key_str(t.p_tloc->key).c_str(), t.count);
}

void plx_dump_policy_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nPolicy Database\n");
    for (const policy &p : db.policies) {
        plx_printf(out, "  Policy: %s Type: %d Direction: %d Old: %d\n", p.name.c_str(), p.type,
                   p.direction, p.old_direction);
        plx_printf(out, "    Added: %d Changed: %d\n", p.added, p.changed);
        plx_printf(out, "    VPN List db: [%d]\n", static_cast<int>(p.vpn_lists.count()));
        for (const policy_vpn_list &v : p.vpn_lists) {
            plx_printf(out, "      Name: %s, FilterId: %d, FilterType: %d, Direction: %d\n",
                       v.name.c_str(), static_cast<int>(v.filter_id), v.filter_type, v.direction);
            plx_printf(out, "          Changed: %d\n", v.changed);
            plx_printf(out, "      Rule db #%d\n", static_cast<int>(v.rule_tree.count()));
            for (const rule &r : v.rule_tree)
                rule_line(out, r);
            plx_printf(out, "        Default action %u\n", v.default_action.value);
            plx_dump_action(out, v.default_action);
            plx_printf(out, "      Rule List\n");
            for (const rule &r : v.rules)
                plx_dump_rule(out, r);
            plx_printf(out, "      Counter db (#%d)\n", static_cast<int>(v.counters.count()));
            for (const counter_ctx &c : v.counters)
                plx_printf(out, "      [%p] %s (#%d)\n", static_cast<const void *>(&c),
                           c.name.c_str(), c.ref_count);
            plx_printf(out, "      DPI APP list context db [%d]\n",
                       static_cast<int>(v.app_refs.count()));
            for (const dpi_app_ctx &a : v.app_refs) {
                const app_list *l = db.app_lists.find({a.app_list_name.view(), a.location});
                plx_printf(out, "          AppList: %s Location: %d Ref: %d\n",
                           a.app_list_name.c_str(), a.location, a.count);
                plx_printf(out, "            Type: %d\n", l ? l->kind : 0);
            }
        }
    }
}

void plx_dump_vpn_list_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nVPN List Database\n");
    for (const vpn_list &l : db.vpn_lists) {
        plx_printf(out, "  VPN list: %s\n", l.name.c_str());
        plx_printf(out, "    VPN [%d] Policy [%d]\n", static_cast<int>(l.ranges.count()),
                   static_cast<int>(l.users.count()));
        for (const vpn_range &r : l.ranges)
            plx_printf(out, "      VPN: %lu-%lu\n", static_cast<unsigned long>(r.low),
                       static_cast<unsigned long>(r.high));
        for (const vpn_list_policy &u : l.users)
            plx_printf(out, "      Policy: %s Type: %d [#%d]\n", u.policy_name.c_str(),
                       u.policy_type, u.count);
    }
}

void plx_dump_prefix_list_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nPrefix List Database\n");
    for (const pfx_list &l : db.pfx_lists) {
        plx_printf(out, "  Prefix list: %s Type: %d\n", l.name.c_str(), l.pfx_list_type);
        for (const pfx_list_vpn_list &u : l.users)
            plx_printf(out, "    Policy: %s %s type: %d Ref: %d\n", u.vpn_list_name.c_str(),
                       u.policy_name.c_str(), u.policy_type, u.ref_count);
        for (const list_acl_user &u : l.acl_users)
            plx_printf(out, "    ACL: %s Type: %d Ref: %d\n", u.acl_name.c_str(), u.family,
                       u.ref_count);
    }
}

void plx_dump_tloc_list_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nTLOC List Database\n");
    for (const tloc_list &l : db.tloc_lists) {
        plx_printf(out, "  TLOC list [%d]: %s - %s Sequence: %d\n", l.policy_type,
                   l.policy_name.c_str(), l.vpn_list_name.c_str(), l.seq_id);
        plx_printf(out, "    TLOCs [%d]\n", static_cast<int>(l.entries.count()));
        for (const tloc_pref &e : l.entries)
            plx_printf(out, "        [Idx: %d] VPN Label: %d Preference: %d %s\n", e.entry_index,
                       e.label, e.preference, tloc_key_str(e.key).c_str());
    }
}

void plx_dump_tloc_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nTLOC Database\n");
    for (const tloc &t : db.tlocs) {
        plx_printf(out, "  Idx: %d %s\n", t.index, tloc_key_str(t.key).c_str());
        plx_printf(out, "    Pref: %u, Weight: %u, Status: %u, Resolved: %u, Local: %u\n",
                   t.preference, t.weight, t.status, t.resolved, t.local);
        for (const tloc_ref &ref : t.refs) {
            const rule &r = *ref.p_rule;
            const policy *p =
                r.p_policy ? r.p_policy : (r.p_vpn_list ? r.p_vpn_list->p_policy : nullptr);
            plx_printf(out, "      Rule Name: [%d] %s - %s, Id: %u (#%d)\n", p ? p->type : 0,
                       p ? p->name.c_str() : "", r.vpn_list_name.c_str(), r.seq_id, ref.count);
        }
    }
}

void plx_dump_mirror_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nMirror Database\n");
    for (const mirror &m : db.mirrors) {
        plx_printf(out, "  %s type: %d\n", m.data.name.c_str(), m.data.kind);
        plx_printf(out, "    Ref: %u\n", static_cast<unsigned>(m.users.count()));
        for (const plx_name &i : m.data.interfaces)
            plx_printf(out, "        Interface: %s\n", i.c_str());
        for (const mirror_remote_dest &d : m.data.remote_dests)
            plx_printf(out, "        Remote Dest: %s Source: %s\n", plx_ip_to_str(&d.destination),
                       plx_ip_to_str(&d.source));
    }
}

void plx_dump_policer_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nPolicer Database\n");
    for (const policer &p : db.policers) {
        plx_printf(out, "  Name: %d.%s Type: %d Policy Name: %s\n", -1, p.name.c_str(),
                   p.owner_type, "");
        plx_printf(out, "    Btype: %u, Bname: %s, Bname2: %s\n", 0u, "", "");
        plx_printf(out, "    BW: %lu, Burst: %u, OOB: %u\n",
                   static_cast<unsigned long>(p.params.rate), p.params.burst, p.params.exceed);
        plx_printf(out, "    Instance Ref: %u\n", static_cast<unsigned>(p.instances.count()));
        for (const policer_instance &i : p.instances)
            plx_printf(out, "        Key: Name: %d.%s Type: %d Policy Name: %s\n", i.seq_id,
                       i.instance_name.c_str(), i.owner_kind, i.owner_name.c_str());
    }
}

void plx_dump_class_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nClass Database\n");
    for (const plx_fwd_class &c : db.classes.classes)
        plx_printf(out, "  %s class: %d queue: %d ignore: %d\n", c.name.c_str(), c.class_id,
                   c.queue, c.ignore);
}

void plx_dump_sla_class_db(const PlxPrinter &out, const plx_policy_db &db) {
    plx_printf(out, "\nSLA Class Database\n");
    for (const sla_class &s : db.sla_classes)
        plx_printf(out, "  %s id: %d\n", s.name.c_str(), s.id);
}

void plx_dump_app_list_db(const PlxPrinter &out, const plx_policy_db &db,
                          const char *(*engine_app_name)(uint32_t id)) {
    plx_printf(out, "\nAPP-List Database\n");
    for (const app_list &l : db.app_lists) {
        plx_printf(out, "  %s Loc: %d app-id db: %d vpn ref: %d acl ref: %d\n", l.name.c_str(),
                   l.location, static_cast<int>(l.entries.count()),
                   static_cast<int>(l.users.count()), static_cast<int>(l.acl_users.count()));
        for (const app_list_user &u : l.users)
            plx_printf(out, "        VPN list: %s Policy name: %s, Policy type: %d Ref: %d\n",
                       u.vpn_list_name.c_str(), u.policy_name.c_str(), u.policy_type, u.count);
        if (!l.entries.empty())
            plx_printf(out, "    App-Id DB:\n");
        for (const app_entry &e : l.entries) {
            const char *engine = engine_app_name ? engine_app_name(e.id) : nullptr;
            plx_printf(out, "        App: %d Engine: %s Name: %s\n", e.id, engine ? engine : "--",
                       e.name.c_str());
        }
    }
}

void plx_dump_acl_db(const PlxPrinter &out, const plx_acl_model &m, uint32_t family) {
    plx_printf(out, family == PLX_ACL_FAMILY_IPV6 ? "\nAccess List IPv6 Database\n"
                                                  : "\nAccess List Database\n");
    if (family > PLX_ACL_FAMILY_IPV6)
        return;
    for (const plx_access_list &l : m.lists[family]) {
        plx_printf(out, "\n  ACL: %s Type: %d FilterId: %d\n", l.name.c_str(), l.family,
                   static_cast<int>(l.filter_id));
        plx_printf(out, "    Intf db: %d\n", static_cast<int>(l.bindings.count()));
        plx_printf(out, "    Rule db: %d\n", static_cast<int>(l.rule_tree.count()));
        plx_printf(out, "    Counter db: %d\n", static_cast<int>(l.counters.count()));
        for (const counter_ctx &c : l.counters)
            plx_printf(out, "        [%p] %s (#%d)\n", static_cast<const void *>(&c),
                       c.name.c_str(), c.ref_count);
        // Distinct classes set by the list's sequences.
        std::vector<std::string_view> classes;
        for (const rule &r : l.rules)
            for (const config_action &a : r.actions)
                if (a.action_type == PLX_ACTION_SET_FC &&
                    std::find(classes.begin(), classes.end(), a.fc.name.view()) == classes.end())
                    classes.push_back(a.fc.name.view());
        plx_printf(out, "    Class db: %d\n", static_cast<int>(classes.size()));
        plx_printf(out, "    Policer db: %d\n", static_cast<int>(l.policers.count()));
        for (const policer_instance &i : l.policers) {
            const policer *p =
                m.db ? m.db->policers.find({i.policer_name.view(), i.policer_owner_type}) : nullptr;
            if (family == PLX_ACL_FAMILY_IPV6)
                plx_printf(out, "  Name: %s Type: %d Sequence Id: %d Policy Name: %s\n",
                           i.policer_name.c_str(), i.policer_owner_type, i.seq_id,
                           i.owner_name.c_str());
            else
                plx_printf(out, "  Name: %d.%s Type: %d Policy Name: %s\n", i.seq_id,
                           i.policer_name.c_str(), i.policer_owner_type, i.owner_name.c_str());
            plx_printf(out, "        Btype: %u, Bname: %s, Bname2: %s\n", i.owner_kind,
                       i.owner_name.c_str(), i.owner_name2.c_str());
            plx_printf(out, "        BW: %lu, Burst: %u, OOB: %u\n",
                       static_cast<unsigned long>(p ? p->params.rate : 0), p ? p->params.burst : 0,
                       p ? p->params.exceed : 0);
        }
        int n = 0;
        if (m.db)
            for (const pfx_list &p : m.db->pfx_lists)
                n += p.acl_users.find({l.name.view(), l.family}) ? 1 : 0;
        plx_printf(out, "    Pfx List db: %d\n", n);
        if (m.db)
            for (const pfx_list &p : m.db->pfx_lists)
                if (const list_acl_user *u = p.acl_users.find({l.name.view(), l.family}))
                    plx_printf(out, "      Pfx List: %s Type: %d Ref: %d\n", p.name.c_str(),
                               p.pfx_list_type, u->ref_count);
    }
}

void plx_dump_config_db(const PlxPrinter &out, const plx_ctx &ctx) {
    const plx_policy_db *db = ctx.policy;
    const auto *area = static_cast<const int32_t *>(fp_tbl_addr(FP_TBL_FILTER_LOG_CFG));
    plx_printf(out, "\nFilter info\n");
    plx_printf(out, "Log Frequency        : %d    Packet Count    : %d\n",
               area ? area[0] : static_cast<int32_t>(db ? db->log_frequency : 0),
               area ? area[1] : 0);
    for (int i = 0; i < 32; ++i)
        plx_printf(out, "%d ", area ? area[2 + i] : 0);
    plx_printf(out, "\n");
    const plx_ctx_hooks &h = ctx.hooks;
    plx_printf(out, "App Visibility       : %d\n", db ? db->app_visibility : 0);
    plx_printf(out, "Policy DPI Reference : %d\n", db ? db->dpi_ref_count : 0);
    plx_printf(out, "DPI state (Control)  : %u\n", h.dpi_state ? h.dpi_state(true) : 0);
    plx_printf(out, "DPI state            : %u\n", h.dpi_state ? h.dpi_state(false) : 0);
    plx_printf(out, "Flow Visibility      : %d\n", db ? db->flow_visibility : 0);
    plx_printf(out, "Policy Flow Reference: %d\n", db ? db->flow_ref_count : 0);
    plx_printf(out, "Flow state (Control) : %u\n", h.flow_state ? h.flow_state(true) : 0);
    plx_printf(out, "Flow state           : %u\n", h.flow_state ? h.flow_state(false) : 0);
    plx_printf(out, "Last hello           : %ld\n",
               h.seconds_since_hello ? h.seconds_since_hello() : 0L);
}

void plx_dump_everything(const PlxPrinter &out, const plx_ctx &ctx) {
    const plx_ctx_hooks &h = ctx.hooks;
    plx_ctx *mut = const_cast<plx_ctx *>(&ctx);
    if (h.dump_timer_pump)
        h.dump_timer_pump(mut);
    plx_dump_config_db(out, ctx);
    if (ctx.policy)
        plx_dump_policy_db(out, *ctx.policy);
    if (ctx.acl) {
        plx_dump_acl_db(out, *ctx.acl, PLX_ACL_FAMILY_IPV4);
        plx_dump_acl_db(out, *ctx.acl, PLX_ACL_FAMILY_IPV6);
    }
    if (ctx.policy) {
        const plx_policy_db &db = *ctx.policy;
        plx_dump_vpn_list_db(out, db);
        plx_dump_prefix_list_db(out, db);
        plx_dump_tloc_list_db(out, db);
        plx_dump_tloc_db(out, db);
        plx_dump_mirror_db(out, db);
        if (h.dump_timer_pump)
            h.dump_timer_pump(mut);
        plx_dump_policer_db(out, db);
        plx_dump_class_db(out, db);
        plx_dump_sla_class_db(out, db);
        plx_dump_app_list_db(out, db, h.engine_app_name);
    }
    plx_dump_memory_stats(out);
    plx_dump_memory_map(out);
    if (h.dump_timer_pump)
        h.dump_timer_pump(mut);
    plx_dump_filter(out);
    if (h.dump_msgq)
        h.dump_msgq(out);
}

// ---------------------------------------------------------------------------------------------
// Action callbacks: print line by line to the invoking command-line session.

namespace {

// Runs a dump with the daemon context behind the action's user info, printing to its session.
template <class F>
int run_dump(confd_user_info *uinfo, F &&fn) {
    QconfdContext *q = plx_cli_qconfd(uinfo);
    plx_ctx *ctx = q ? static_cast<plx_ctx *>(q->spec.app_ctx) : nullptr;
    if (!ctx) {
        confd_action_seterr(uinfo, "policy manager context unavailable");
        return CONFD_ERR;
    }
    PlxCliPrinter cli(q->maapi_sock, uinfo->usid);
    fn(cli.printer(), *ctx);
    return CONFD_OK;
}

}  // namespace

#define PLX_DUMP_BODY(expr)                                           \
    (void)name_tag;                                                   \
    (void)kp;                                                         \
    (void)params;                                                     \
    (void)nparams;                                                    \
    return run_dump(uinfo, [&](const PlxPrinter &out, plx_ctx &ctx) { \
        (void)ctx;                                                    \
        expr;                                                         \
    })

PLX_DUMP_ACTION(plx_dump_all) {
    PLX_DUMP_BODY(plx_dump_everything(out, ctx));
}
PLX_DUMP_ACTION(plx_dump_admin_tech) {
    // The same as the full dump, then what the DPI engine has to say.
    PLX_DUMP_BODY(plx_dump_everything(out, ctx); if (ctx.hooks.dump_dpi) ctx.hooks.dump_dpi(out));
}
PLX_DUMP_ACTION(plx_dump_config) {
    PLX_DUMP_BODY(plx_dump_config_db(out, ctx));
}
PLX_DUMP_ACTION(plx_dump_policy) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_policy_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_acl) {
    PLX_DUMP_BODY(if (ctx.acl) plx_dump_acl_db(out, *ctx.acl, PLX_ACL_FAMILY_IPV4));
}
PLX_DUMP_ACTION(plx_dump_acl6) {
    PLX_DUMP_BODY(if (ctx.acl) plx_dump_acl_db(out, *ctx.acl, PLX_ACL_FAMILY_IPV6));
}
PLX_DUMP_ACTION(plx_dump_vpn_list) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_vpn_list_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_prefix_list) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_prefix_list_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_tloc_list) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_tloc_list_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_tloc) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_tloc_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_mirror) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_mirror_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_policer) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_policer_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_class) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_class_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_sla_class) {
    PLX_DUMP_BODY(if (ctx.policy) plx_dump_sla_class_db(out, *ctx.policy));
}
PLX_DUMP_ACTION(plx_dump_app_list) {
    PLX_DUMP_BODY(if (ctx.policy)
                      plx_dump_app_list_db(out, *ctx.policy, ctx.hooks.engine_app_name));
}
