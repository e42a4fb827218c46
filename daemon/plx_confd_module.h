// plxd's module record for the configuration-database layer: the subscription table with the
// reader of every subscribed path, the action table, and the start and stop of the module.
#pragma once

#include "daemon/plx_ctx.h"
#include "qconfd/qconfd_api.h"

struct confd_action_cbs;
struct confd_user_info;
struct xml_tag;

// Namespaces of the policy and VPN models.
inline constexpr uint32_t PLX_NS_POLICY = 627311236;
inline constexpr uint32_t PLX_NS_VPN = 162406642;

// The subscription table: the configuration rows, then the operational row of the debug
// switches, then the empty row that ends it.
SubscriptionPoint *plx_confd_subscriptions();
// The action table, ended by an empty action-point name.
confd_action_cbs *plx_confd_actions();
// The record handed to qconfd_module_init.
QconfdModuleSpec plx_confd_module_spec(plx_ctx *ctx);

// Answers the operator with an error: the command exists but its handler is not built yet.
int plx_action_not_available(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp,
                             confd_tag_value_t *params, int nparams);

// Called after every change notification has been read (trigger: the initial read).
void plx_confd_sub_done(QconfdContext *ctx, int trigger);
// Whether the initial read has delivered every configuration row. Until then nothing is
// processed: the changes stay marked for the processing that follows its last level.
bool plx_confd_initial_read_complete(const plx_ctx *ctx);
// Registers the show data providers: PLX_OK, or -1 when the layer refused one.
int plx_confd_register_data_cb(QconfdContext *ctx);

// Start-up step: connects the module (a database that is not there yet is retried every 2 s).
// Returns PLX_OK; any other result of the layer is fatal.
int plx_confd_start(plx_ctx *ctx);
void plx_confd_stop(plx_ctx *ctx);
