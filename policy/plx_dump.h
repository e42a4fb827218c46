// Diagnostic dumps of the policy databases and access lists. Each database has a printer that
// writes its fixed text layout through a PlxPrinter (tests compare the text), and each operator
// command is an action callback that prints through the command-line session that invoked it.
#pragma once

#include <cstdint>

#include "compiler/plx_program.h"
#include "platform/confd/confd_dp.h"

struct plx_ctx;
struct plx_acl_model;
namespace plx::cfg {
struct plx_policy_db;
struct rule;
struct config_action;
}  // namespace plx::cfg

// Printers.
void plx_dump_config_db(const PlxPrinter &out, const plx_ctx &ctx);  // filter info
void plx_dump_policy_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_acl_db(const PlxPrinter &out, const plx_acl_model &m, uint32_t family);
void plx_dump_vpn_list_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_prefix_list_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_tloc_list_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_tloc_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_mirror_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_policer_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_class_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
void plx_dump_sla_class_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db);
// engine_app_name: the recognition engine's name of an id ("--" without it or for an unknown id).
void plx_dump_app_list_db(const PlxPrinter &out, const plx::cfg::plx_policy_db &db,
                          const char *(*engine_app_name)(uint32_t id) = nullptr);
// One rule as the policy dump prints it in its rule list (conditions, actions, TLOCs).
void plx_dump_rule(const PlxPrinter &out, const plx::cfg::rule &r);
void plx_dump_action(const PlxPrinter &out, const plx::cfg::config_action &a);
// Every dump of the daemon in order (what plx_dump_all prints). What other parts of the daemon
// own comes through the context's dump hooks.
void plx_dump_everything(const PlxPrinter &out, const plx_ctx &ctx);

// Action callbacks (the action points of the same names).
#define PLX_DUMP_ACTION(name)                                                               \
    int name(struct confd_user_info *uinfo, struct xml_tag *name_tag, confd_hkeypath_t *kp, \
             confd_tag_value_t *params, int nparams)
PLX_DUMP_ACTION(plx_dump_admin_tech);
PLX_DUMP_ACTION(plx_dump_all);
PLX_DUMP_ACTION(plx_dump_config);
PLX_DUMP_ACTION(plx_dump_policy);
PLX_DUMP_ACTION(plx_dump_acl);
PLX_DUMP_ACTION(plx_dump_acl6);
PLX_DUMP_ACTION(plx_dump_vpn_list);
PLX_DUMP_ACTION(plx_dump_prefix_list);
PLX_DUMP_ACTION(plx_dump_tloc_list);
PLX_DUMP_ACTION(plx_dump_tloc);
PLX_DUMP_ACTION(plx_dump_mirror);
PLX_DUMP_ACTION(plx_dump_policer);
PLX_DUMP_ACTION(plx_dump_class);
PLX_DUMP_ACTION(plx_dump_sla_class);
PLX_DUMP_ACTION(plx_dump_app_list);
