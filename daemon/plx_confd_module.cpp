// plxd's module record for the configuration-database layer.
#include "daemon/plx_confd_module.h"
#include "daemon/plx_event_notify.h"

#include <cstring>

#include "acl/plx_intf_confd.h"
#include "common/plx_log.h"
#include "common/plx_msgq_dump.h"
#include "common/qrv_util.h"
#include "daemon/plx_debug.h"
#include "daemon/plx_verify.h"
#include "dpi/plx_dpi.h"
#include "oper/plx_clear.h"
#include "oper/plx_show.h"
#include "platform/confd/confd_dp.h"
#include "policy/plx_confd.h"
#include "policy/plx_dump.h"
#include "policy/plx_process.h"
#include "progmem/plx_fpmem_dump.h"

namespace {

constexpr uint32_t P = PLX_NS_POLICY;
constexpr uint32_t V = PLX_NS_VPN;
constexpr uint8_t NONE = 0;

SubscriptionPoint row(const char *path, uint8_t keys, uint8_t priority, uint8_t delete_priority,
                      uint32_t ns, SubscriptionReader reader, uint8_t flags = 0) {
    SubscriptionPoint p{};
    std::strncpy(p.path, path, sizeof(p.path) - 1);
    p.reader = reader;
    p.ns = ns;
    p.add_point = p.delete_point = -1;
    p.key_count = keys;
    p.priorities = qconfd_priorities(priority, delete_priority);
    p.flags = flags;
    return p;
}

// Lists and policers are created first and deleted last; policies, their VPN lists and their
// sequences follow at 2, 3 and 4 and go in the reverse order; access lists, interface bindings
// and SLA classes are created last and deleted first.
SubscriptionPoint g_subscriptions[] = {
    row("policy/class-map/class", 1, 6, NONE, P, plx_config_class),
    row("policy/lists/data-prefix-list", 1, 1, 6, P, plx_config_policy_local_pfx_list),
    row("policy/lists/data-prefix-list/ip-prefix", 2, 1, 6, P, plx_config_policy_local_pfx_list_ip),
    row("policy/lists/app-list", 1, 1, 6, P, plx_config_policy_local_app_list),
    row("policy/lists/app-list/app", 2, 1, 6, P, plx_config_policy_local_app_list_app),
    row("policy/lists/app-list/app-family", 2, 1, 6, P,
        plx_config_policy_local_app_list_app_family),
    row("policy-from-qctrl/sla-class", 1, 6, 1, P, plx_config_policy_sla_class),
    row("policy-from-qctrl/lists/vpn-list", 1, 1, 6, P, plx_config_policy_vpn_list),
    row("policy-from-qctrl/lists/vpn-list/vpn", 2, 1, 6, P, plx_config_policy_vpn_id),
    row("policy-from-qctrl/lists/data-prefix-list", 1, 1, 6, P, plx_config_policy_pfx_list),
    row("policy-from-qctrl/lists/data-prefix-list/ip-prefix", 2, 1, 6, P,
        plx_config_policy_pfx_list_ip),
    row("policy-from-qctrl/lists/app-list", 1, 1, 6, P, plx_config_policy_app_list),
    row("policy-from-qctrl/lists/app-list/app", 2, 1, 6, P, plx_config_policy_app_list_app),
    row("policy-from-qctrl/lists/app-list/app-family", 2, 1, 6, P,
        plx_config_policy_app_list_app_family),
    row("policy-from-qctrl/policer", 1, 1, 6, P, plx_config_policy_policer),
    row("policy-from-qctrl/data-policy", 1, 2, 5, P, plx_config_data_policy),
    row("policy-from-qctrl/data-policy/vpn-list", 2, 3, 4, P, plx_config_data_policy_vpn_list),
    row("policy-from-qctrl/data-policy/vpn-list/sequence/action/set/qrv-tloc-pref-list", 4, 3, 4, P,
        plx_config_data_policy_seq_tloc_pref_list),
    row("policy-from-qctrl/data-policy/vpn-list/sequence", 3, 4, 3, P, plx_config_data_policy_seq),
    row("policy-from-qctrl/app-route-policy", 1, 2, 5, P, plx_config_app_route_policy),
    row("policy-from-qctrl/app-route-policy/vpn-list", 2, 3, 4, P,
        plx_config_app_route_policy_vpn_list),
    row("policy-from-qctrl/app-route-policy/vpn-list/sequence", 3, 4, 3, P,
        plx_config_app_route_policy_seq),
    row("policy", 0, 1, 6, P, plx_config_policy),
    row("policy/mirror", 1, 1, 6, P, plx_config_mirror),
    row("policy/mirror/interface", 2, 1, 6, P, plx_config_mirror_interface),
    row("policy/mirror/remote-dest", 2, 1, 6, P, plx_config_mirror_remote_dest),
    row("policy/policer", 1, 1, 6, P, plx_config_local_policer),
    row("policy/access-list", 1, 6, 1, P, plx_config_access_list),
    row("policy/access-list/sequence", 2, 6, 1, P, plx_config_access_list_seq),
    row("policy/ipv6/access-list", 1, 6, 1, P, plx_config_access_list6),
    row("policy/ipv6/access-list/sequence", 2, 6, 1, P, plx_config_access_list6_seq),
    row("vpn/vpn-instance", 1, 6, 1, V, plx_config_vpn_instance),
    row("vpn/vpn-instance/interface", 2, 6, 1, V, plx_config_vpn_interface),
    row("vpn/vpn-instance/interface/access-list", 3, 6, 1, V, plx_config_intf_access_list),
    row("vpn/vpn-instance/interface/ipv6/access-list", 3, 6, 1, V, plx_config_intf_access_list6),
    // The debug switches that are on (operational data; the path names its model).
    row("debugs/plx", 0, NONE, NONE, 0, plx_config_debugs, QCONFD_SUB_FLAG_OPER),
    {},
};

using ActionFn = decltype(confd_action_cbs::action);

confd_action_cbs action(const char *point, ActionFn fn) {
    confd_action_cbs a{};
    std::strncpy(a.actionpoint, point, sizeof(a.actionpoint) - 1);
    a.action = fn;
    return a;
}

// One row per action point, in the order the database lists them; the layer fills each row's
// init callback.
confd_action_cbs g_actions[] = {
    action("plx_dump_admin_tech", plx_dump_admin_tech),
    action("plx_dump_filter", plx_dump_filter),
    action("plx_dump_msgq", plx_dump_msgq),
    action("plx_dump_memory_stats", plx_dump_memory_stats),
    action("plx_dump_memory_map", plx_dump_memory_map),
    action("plx_dump_config", plx_dump_config),
    action("plx_dump_policy", plx_dump_policy),
    action("plx_dump_acl", plx_dump_acl),
    action("plx_dump_acl6", plx_dump_acl6),
    action("plx_dump_vpn_list", plx_dump_vpn_list),
    action("plx_dump_prefix_list", plx_dump_prefix_list),
    action("plx_dump_tloc_list", plx_dump_tloc_list),
    action("plx_dump_tloc", plx_dump_tloc),
    action("plx_dump_mirror", plx_dump_mirror),
    action("plx_dump_policer", plx_dump_policer),
    action("plx_dump_class", plx_dump_class),
    action("plx_dump_sla_class", plx_dump_sla_class),
    action("plx_dump_all", plx_dump_all),
    action("plx_dump_app_list", plx_dump_app_list),
    action("plx_dpi_dump_protocol_list", plx_dpi_dump_protocol_list),
    action("plx_dpi_dump_protocol_family_mapping", plx_dpi_dump_protocol_family_mapping),
    action("plx_dpi_dump_protocol_hits", plx_dpi_dump_protocol_hits),
    action("plx_dpi_dump_configuration", plx_dpi_dump_configuration),
    action("plx_dpi_clear_protocol_hits", plx_dpi_clear_protocol_hits),
    action("plx_clear_policy_acl", plx_clear_policy_acl),
    action("plx_clear_policy_acl6", plx_clear_policy_acl6),
    action("plx_clear_data_policy", plx_clear_data_policy),
    action("plx_clear_app_route_policy", plx_clear_app_route_policy),
    action("plx_debug_config", plx_debug_config),
    action("plx_debug_hbus", plx_debug_hbus),
    action("plx_debug_dpi", plx_debug_dpi),
    action("plx_debug_policy", plx_debug_policy),
    action("plx_debug_all", plx_debug_all),
    action("plx_debug_disable_all", plx_debug_disable_all),
    action("plx_verify", plx_verify_action),
    {},
};

// The daemon validates nothing itself.
confd_valpoint_cb g_validations[] = {{}};

}  // namespace

SubscriptionPoint *plx_confd_subscriptions() {
    return g_subscriptions;
}

confd_action_cbs *plx_confd_actions() {
    return g_actions;
}

int plx_action_not_available(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp,
                             confd_tag_value_t *, int) {
    // The command as the operator named it: where it was invoked, then the action.
    char where[256] = "";
    if (kp)
        confd_pp_kpath(where, sizeof(where), kp);
    const char *action = name ? confd_hash2str(name->tag) : nullptr;
    confd_action_seterr(uinfo, "%s/%s is not available yet in this version of %s", where,
                        action ? action : "", qrv_daemon_name(QRV_MOD_PLXD));
    return CONFD_ERR;
}

namespace {
// The initial read arrives one priority level at a time, classes and SLA classes last; it is
// complete once every configuration row has seen its part.
bool initial_read_complete(const QconfdContext &qctx) {
    for (const SubscriptionPoint *row = qctx.spec.subscriptions; row->path[0]; ++row)
        if (!(row->flags & (QCONFD_SUB_FLAG_INITIALISED | QCONFD_SUB_FLAG_OPER)))
            return false;
    return true;
}
}  // namespace

bool plx_confd_initial_read_complete(const plx_ctx *ctx) {
    return ctx && ctx->qconfd_ctx && initial_read_complete(*ctx->qconfd_ctx);
}

// After a batch of configuration changes: the marked policies and access lists become programs
// and bindings, then the forwarding plane learns whether any policy still needs application
// recognition. The initial read is processed once, after its last level, so that no policy is
// compiled before the classes it names exist.
void plx_confd_sub_done(QconfdContext *qctx, int trigger) {
    PLX_TRACE(PLX_DEBUG_CONFIG, "Configuration changes read%s", trigger ? " (initial read)" : "");
    auto *ctx = qctx ? static_cast<plx_ctx *>(qctx->spec.app_ctx) : nullptr;
    if (!ctx || !ctx->policy || (trigger && !initial_read_complete(*qctx)))
        return;
    if (int rc = plx_process_all_changed(ctx); rc != 0)
        PLX_LOG(
            "Processing of the changed policies stopped (%d); the rest waits for the next "
            "change\n",
            rc);
    plx_dpi_publish_state(ctx);
}

int plx_confd_register_data_cb(QconfdContext *qctx) {
    return plx_show_init(qctx);
}

namespace {
// The notification contexts of the current connection, filled by the layer at registration.
confd_notification_ctx *g_notif_ctx = nullptr;
confd_notification_ctx *g_snmp_ctx = nullptr;
}  // namespace

QconfdModuleSpec plx_confd_module_spec(plx_ctx *ctx) {
    QconfdModuleSpec spec{};
    spec.notif_ctx = &g_notif_ctx;
    spec.snmp_ctx = &g_snmp_ctx;
    spec.app_ctx = ctx;
    spec.subscriptions = g_subscriptions;
    spec.validations = g_validations;
    spec.actions = g_actions;
    spec.register_data_cb = plx_confd_register_data_cb;
    spec.sub_done = plx_confd_sub_done;
    spec.evbase = ctx->evbase;
    spec.tmr_mgr = ctx->tmr_mgr;
    spec.module_id = QRV_MOD_PLXD;
    return spec;
}

int plx_confd_start(plx_ctx *ctx) {
    QconfdModuleSpec spec = plx_confd_module_spec(ctx);
    int rc = qconfd_module_init(&spec, nullptr, &ctx->qconfd_ctx);
    PLX_ASSERT(rc == QCONFD_INIT_OK || rc == QCONFD_INIT_RETRY);
    plx_events_attach(ctx->qconfd_ctx);
    return 0;
}

void plx_confd_stop(plx_ctx *ctx) {
    plx_events_detach();
    qconfd_module_stop(ctx->qconfd_ctx);
    ctx->qconfd_ctx = nullptr;
}
