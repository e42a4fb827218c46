// plxd's module record for the configuration-database layer.
#include "daemon/plx_confd_module.h"
#include "daemon/plx_event_notify.h"

#include <array>
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

// Priority levels of the subscriptions; level 1 is notified first. Objects are created in
// dependency order, from what others name to what names them, and deleted in the reverse order:
// a row's delete-only subscription sits at the mirrored level, LEVELS_END - level.
enum Level : uint8_t {
    OPER = 0,              // operational data: no priority
    LISTS = 1,             // lists, policers, mirrors and the policy-level settings
    POLICIES = 2,          // data and app-route policies
    POLICY_VPN_LISTS = 3,  // a policy's VPN lists
    SEQUENCES = 4,         // their sequences
    LAST = 6,              // access lists, interface bindings, SLA classes and class maps
};
constexpr uint8_t LEVELS_END = 7;

// One subscribed path as the daemon states it; the layer's row is built from it.
struct Row {
    const char *path;
    uint8_t keys;  // list keys from the root to the path
    Level level;   // creates and changes; deletes at the mirrored level
    SubscriptionReader reader;
    uint32_t ns = PLX_NS_POLICY;
    bool one_point = false;  // deletes arrive at `level` too, with no subscription of their own
    uint8_t flags = 0;
};

// The subscribed paths in the order the layer walks them, one row a line.
// clang-format off
constexpr Row kRows[] = {
    {.path = "policy/class-map/class",                               .keys = 1, .level = LAST,             .reader = plx_config_class, .one_point = true},
    {.path = "policy/lists/data-prefix-list",                        .keys = 1, .level = LISTS,            .reader = plx_config_policy_local_pfx_list},
    {.path = "policy/lists/data-prefix-list/ip-prefix",              .keys = 2, .level = LISTS,            .reader = plx_config_policy_local_pfx_list_ip},
    {.path = "policy/lists/app-list",                                .keys = 1, .level = LISTS,            .reader = plx_config_policy_local_app_list},
    {.path = "policy/lists/app-list/app",                            .keys = 2, .level = LISTS,            .reader = plx_config_policy_local_app_list_app},
    {.path = "policy/lists/app-list/app-family",                     .keys = 2, .level = LISTS,            .reader = plx_config_policy_local_app_list_app_family},
    {.path = "policy-from-qctrl/sla-class",                          .keys = 1, .level = LAST,             .reader = plx_config_policy_sla_class},
    {.path = "policy-from-qctrl/lists/vpn-list",                     .keys = 1, .level = LISTS,            .reader = plx_config_policy_vpn_list},
    {.path = "policy-from-qctrl/lists/vpn-list/vpn",                 .keys = 2, .level = LISTS,            .reader = plx_config_policy_vpn_id},
    {.path = "policy-from-qctrl/lists/data-prefix-list",             .keys = 1, .level = LISTS,            .reader = plx_config_policy_pfx_list},
    {.path = "policy-from-qctrl/lists/data-prefix-list/ip-prefix",   .keys = 2, .level = LISTS,            .reader = plx_config_policy_pfx_list_ip},
    {.path = "policy-from-qctrl/lists/app-list",                     .keys = 1, .level = LISTS,            .reader = plx_config_policy_app_list},
    {.path = "policy-from-qctrl/lists/app-list/app",                 .keys = 2, .level = LISTS,            .reader = plx_config_policy_app_list_app},
    {.path = "policy-from-qctrl/lists/app-list/app-family",          .keys = 2, .level = LISTS,            .reader = plx_config_policy_app_list_app_family},
    {.path = "policy-from-qctrl/policer",                            .keys = 1, .level = LISTS,            .reader = plx_config_policy_policer},
    {.path = "policy-from-qctrl/data-policy",                        .keys = 1, .level = POLICIES,         .reader = plx_config_data_policy},
    {.path = "policy-from-qctrl/data-policy/vpn-list",               .keys = 2, .level = POLICY_VPN_LISTS, .reader = plx_config_data_policy_vpn_list},
    // Added before its sequence and deleted after it: the sequence reader resolves the list.
    {.path = "policy-from-qctrl/data-policy/vpn-list/sequence/action/set/qrv-tloc-pref-list", .keys = 4, .level = POLICY_VPN_LISTS, .reader = plx_config_data_policy_seq_tloc_pref_list},
    {.path = "policy-from-qctrl/data-policy/vpn-list/sequence",      .keys = 3, .level = SEQUENCES,        .reader = plx_config_data_policy_seq},
    {.path = "policy-from-qctrl/app-route-policy",                   .keys = 1, .level = POLICIES,         .reader = plx_config_app_route_policy},
    {.path = "policy-from-qctrl/app-route-policy/vpn-list",          .keys = 2, .level = POLICY_VPN_LISTS, .reader = plx_config_app_route_policy_vpn_list},
    {.path = "policy-from-qctrl/app-route-policy/vpn-list/sequence", .keys = 3, .level = SEQUENCES,        .reader = plx_config_app_route_policy_seq},
    {.path = "policy",                                               .keys = 0, .level = LISTS,            .reader = plx_config_policy},
    {.path = "policy/mirror",                                        .keys = 1, .level = LISTS,            .reader = plx_config_mirror},
    {.path = "policy/mirror/interface",                              .keys = 2, .level = LISTS,            .reader = plx_config_mirror_interface},
    {.path = "policy/mirror/remote-dest",                            .keys = 2, .level = LISTS,            .reader = plx_config_mirror_remote_dest},
    {.path = "policy/policer",                                       .keys = 1, .level = LISTS,            .reader = plx_config_local_policer},
    {.path = "policy/access-list",                                   .keys = 1, .level = LAST,             .reader = plx_config_access_list},
    {.path = "policy/access-list/sequence",                          .keys = 2, .level = LAST,             .reader = plx_config_access_list_seq},
    {.path = "policy/ipv6/access-list",                              .keys = 1, .level = LAST,             .reader = plx_config_access_list6},
    {.path = "policy/ipv6/access-list/sequence",                     .keys = 2, .level = LAST,             .reader = plx_config_access_list6_seq},
    {.path = "vpn/vpn-instance",                                     .keys = 1, .level = LAST,             .reader = plx_config_vpn_instance, .ns = PLX_NS_VPN},
    {.path = "vpn/vpn-instance/interface",                           .keys = 2, .level = LAST,             .reader = plx_config_vpn_interface, .ns = PLX_NS_VPN},
    {.path = "vpn/vpn-instance/interface/access-list",               .keys = 3, .level = LAST,             .reader = plx_config_intf_access_list, .ns = PLX_NS_VPN},
    {.path = "vpn/vpn-instance/interface/ipv6/access-list",          .keys = 3, .level = LAST,             .reader = plx_config_intf_access_list6, .ns = PLX_NS_VPN},
    // The debug switches that are on (operational data; the path names its model).
    {.path = "debugs/plx",                                           .keys = 0, .level = OPER,             .reader = plx_config_debugs, .ns = 0, .flags = QCONFD_SUB_FLAG_OPER},
};
// clang-format on

SubscriptionPoint subscription_point(const Row &r) {
    SubscriptionPoint p{};
    std::strncpy(p.path, r.path, sizeof(p.path) - 1);
    p.reader = r.reader;
    p.ns = r.ns;
    p.add_point = p.delete_point = -1;
    p.key_count = r.keys;
    const bool own_delete = r.level != OPER && !r.one_point;
    p.priorities = qconfd_priorities(r.level, own_delete ? LEVELS_END - r.level : 0);
    p.flags = r.flags;
    return p;
}

// The layer's table: one row per path, then the empty row that ends it. The layer keeps its
// state in the rows, so the table lives as long as the process.
SubscriptionPoint *subscriptions() {
    static auto table = [] {
        std::array<SubscriptionPoint, std::size(kRows) + 1> t{};
        for (size_t i = 0; i < std::size(kRows); ++i)
            t[i] = subscription_point(kRows[i]);
        return t;
    }();
    return table.data();
}

// One row per action point, in the order the database lists them.
struct ActionRow {
    const char *point;
    decltype(confd_action_cbs::action) action;
};

// clang-format off
constexpr ActionRow kActions[] = {
    {.point = "plx_verify", .action = plx_verify_action},  // a command of its own, above the containers
    {.point = "plx_dump_admin_tech", .action = plx_dump_admin_tech},
    {.point = "plx_dump_filter", .action = plx_dump_filter},
    {.point = "plx_dump_msgq", .action = plx_dump_msgq},
    {.point = "plx_dump_memory_stats", .action = plx_dump_memory_stats},
    {.point = "plx_dump_memory_map", .action = plx_dump_memory_map},
    {.point = "plx_dump_config", .action = plx_dump_config},
    {.point = "plx_dump_policy", .action = plx_dump_policy},
    {.point = "plx_dump_acl", .action = plx_dump_acl},
    {.point = "plx_dump_acl6", .action = plx_dump_acl6},
    {.point = "plx_dump_vpn_list", .action = plx_dump_vpn_list},
    {.point = "plx_dump_prefix_list", .action = plx_dump_prefix_list},
    {.point = "plx_dump_tloc_list", .action = plx_dump_tloc_list},
    {.point = "plx_dump_tloc", .action = plx_dump_tloc},
    {.point = "plx_dump_mirror", .action = plx_dump_mirror},
    {.point = "plx_dump_policer", .action = plx_dump_policer},
    {.point = "plx_dump_class", .action = plx_dump_class},
    {.point = "plx_dump_sla_class", .action = plx_dump_sla_class},
    {.point = "plx_dump_all", .action = plx_dump_all},
    {.point = "plx_dump_app_list", .action = plx_dump_app_list},
    {.point = "plx_dpi_dump_protocol_list", .action = plx_dpi_dump_protocol_list},
    {.point = "plx_dpi_dump_protocol_family_mapping", .action = plx_dpi_dump_protocol_family_mapping},
    {.point = "plx_dpi_dump_protocol_hits", .action = plx_dpi_dump_protocol_hits},
    {.point = "plx_dpi_dump_configuration", .action = plx_dpi_dump_configuration},
    {.point = "plx_dpi_clear_protocol_hits", .action = plx_dpi_clear_protocol_hits},
    {.point = "plx_clear_policy_acl", .action = plx_clear_policy_acl},
    {.point = "plx_clear_policy_acl6", .action = plx_clear_policy_acl6},
    {.point = "plx_clear_data_policy", .action = plx_clear_data_policy},
    {.point = "plx_clear_app_route_policy", .action = plx_clear_app_route_policy},
    {.point = "plx_debug_config", .action = plx_debug_config},
    {.point = "plx_debug_hbus", .action = plx_debug_hbus},
    {.point = "plx_debug_dpi", .action = plx_debug_dpi},
    {.point = "plx_debug_policy", .action = plx_debug_policy},
    {.point = "plx_debug_all", .action = plx_debug_all},
    {.point = "plx_debug_disable_all", .action = plx_debug_disable_all},
};
// clang-format on

// The layer's action table, ended by an empty row; the layer fills each row's init callback.
confd_action_cbs *actions() {
    static auto table = [] {
        std::array<confd_action_cbs, std::size(kActions) + 1> t{};
        for (size_t i = 0; i < std::size(kActions); ++i) {
            std::strncpy(t[i].actionpoint, kActions[i].point, sizeof(t[i].actionpoint) - 1);
            t[i].action = kActions[i].action;
        }
        return t;
    }();
    return table.data();
}

// The daemon validates nothing itself.
confd_valpoint_cb g_validations[] = {{}};

}  // namespace

SubscriptionPoint *plx_confd_subscriptions() {
    return subscriptions();
}

confd_action_cbs *plx_confd_actions() {
    return actions();
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
    spec.subscriptions = subscriptions();
    spec.validations = g_validations;
    spec.actions = actions();
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
