// The policy object model: data policies and app-route policies with the VPN lists they are
// applied to, their sequences (rules), match conditions and actions, and the shared objects
// that rules refer to (VPN lists, prefix lists, app lists, TLOCs and TLOC lists, SLA classes,
// policers, mirrors, counters, forwarding classes).
//
// Every object is addressed by its configuration keys, so a configuration reader finds its
// parent from the keys of the configuration path alone. Shared objects carry reference counts
// on both sides, and every change to a shared object marks its users as changed; the
// processing of changed policies (rebuild, compile, bind) acts on those marks later.
//
// All operations take the db first and return a status (common/plx_status.h): PLX_OK, PLX_ENOENT
// not found, PLX_ENOMEM out of memory, PLX_EEXIST already exists, PLX_EINVAL invalid argument,
// PLX_EBADMSG missing context or argument.
// A failing operation leaves the model as it was.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/ip_util.h"
#include "policy/plx_config_db.h"

namespace plx::cfg {

// Start-up and teardown. Each returns PLX_OK, or PLX_EBADMSG without a db.
int plx_sla_class_init(plx_policy_db *db);      // adds "__all_tunnels__"
int plx_sla_class_teardown(plx_policy_db *db);  // removes every SLA class
int plx_policy_init(plx_policy_db *db);         // the policy, list, TLOC, policer, mirror dbs
int plx_policy_teardown(plx_policy_db *db);     // frees all of them, in dependency order

// Marks a VPN list and its policy changed.
void plx_config_mark_changed(policy_vpn_list &pvl);
// Marks the owner of a rule changed (policy and VPN list, or access list).
void plx_config_mark_rule_owner(plx_policy_db *db, rule &r);

// ---------------------------------------------------------------------------------------------
// Policies

// PLX_EEXIST if it exists; sets added, direction = old direction = the given one.
int plx_config_policy_add(plx_policy_db *db, uint32_t type, std::string_view name,
                          uint32_t direction);
// Deletes every VPN list of the policy, then the policy. PLX_ENOENT when absent.
int plx_config_policy_delete(plx_policy_db *db, uint32_t type, std::string_view name);
policy *plx_config_policy_find(plx_policy_db *db, uint32_t type, std::string_view name);
// No-op when equal; else old direction := direction, direction := new, and every VPN list
// takes the new direction (direction_changed hook).
int plx_config_policy_direction_update(plx_policy_db *db, policy *p, uint32_t direction);

// Applies a policy to a VPN list: the global vpn_list must exist (PLX_ENOENT otherwise);
// PLX_EEXIST when already applied. The default action has the verb and, when sla_name is not empty,
// is an SLA action naming that class (its id looked up now, 0 when the class is missing).
int plx_config_policy_vpn_list_add(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                                   std::string_view vpn_list_name, uint32_t default_verb,
                                   std::string_view sla_name);
// Rewrites the default action and marks the VPN list and the policy changed.
int plx_config_policy_vpn_list_modify(plx_policy_db *db, uint32_t type,
                                      std::string_view policy_name, std::string_view vpn_list_name,
                                      uint32_t default_verb, std::string_view sla_name);
// Releases the compiled state (vpn_list_releasing hook), deletes every rule, leaves the
// vpn_list's users, frees the record.
int plx_config_policy_vpn_list_delete(plx_policy_db *db, uint32_t type,
                                      std::string_view policy_name, std::string_view vpn_list_name);
policy_vpn_list *plx_config_policy_vpn_list_find(plx_policy_db *db, uint32_t type,
                                                 std::string_view policy_name,
                                                 std::string_view vpn_list_name);

// ---------------------------------------------------------------------------------------------
// Rules, conditions, actions

// PLX_ENOENT if the policy or VPN list is missing, PLX_EEXIST if the sequence exists. The new rule
// holds one MATCH_ANY condition.
int plx_config_rule_add(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                        std::string_view vpn_list_name, uint32_t seq_id, rule **out = nullptr);
rule *plx_config_rule_find(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                           std::string_view vpn_list_name, uint32_t seq_id);
// Releases every reference of the rule's conditions and actions, removes its TLOC list (data
// policies), unlinks and frees it and marks its VPN list and policy changed.
int plx_config_rule_delete(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                           std::string_view vpn_list_name, uint32_t seq_id);
// Releases everything a rule refers to (conditions, actions, their references); the rule
// itself stays. Used for rules owned by access lists as well.
void plx_config_rule_release(plx_policy_db *db, rule &r);

// The value of one condition, by field type:
//   1, 8, 10, 16, 17, 18, 22: `value`; 2, 3, 11: `low`-`high`; 4, 5: `addr`/`prefix_len`;
//   9: `name` of a forwarding class; 6, 7, 14, 21: `name` of a list; 15: nothing.
struct match_value {
    uint32_t value = 0;
    uint32_t low = 0;
    uint32_t high = 0;
    std::array<uint8_t, 4> addr{};
    uint8_t prefix_len = 0;
    std::string_view name;

    static match_value number(uint32_t v) {
        match_value m;
        m.value = v;
        return m;
    }
    static match_value range(uint32_t lo, uint32_t hi) {
        match_value m;
        m.low = lo;
        m.high = hi;
        return m;
    }
    static match_value prefix(std::array<uint8_t, 4> a, uint8_t len) {
        match_value m;
        m.addr = a;
        m.prefix_len = len;
        return m;
    }
    static match_value named(std::string_view n) {
        match_value m;
        m.name = n;
        return m;
    }
};

// Adds conditions to a rule. PLX_EINVAL for a type without a condition of its own (MIN, APP,
// APP_FAMILY, DNS_APP, DNS_APP_FAMILY, MAX and above), a port or length range with low > high, a
// prefix longer than 32, or a missing forwarding class; PLX_ENOENT when a referenced list is
// missing. List types expand: 6/7 into
// one SRC_ADDR/DST_ADDR per prefix of the controller prefix list (a device list for rules of
// access lists), each holding one reference; 14/21 into one APP/APP_FAMILY (DNS_APP/
// DNS_APP_FAMILY) per entry of the app list, the rule holding one app-list reference.
int plx_config_match_add(plx_policy_db *db, rule *r, uint32_t field_type, const match_value &v);
// Deletes every condition added for this field type (for list types: the expanded conditions
// of that list type), releasing their list references.
int plx_config_match_delete_by_type(plx_policy_db *db, rule *r, uint32_t field_type);
// True when the rule names a prefix or app list that expands to no condition (an empty list, or
// one whose applications the recognition engine does not know): such a condition matches no
// packet, so neither does the rule, and it is left out of the rule table.
bool plx_config_rule_matches_nothing(const rule &r);
// The app-list expansion of match types 14 and 21 (see plx_config_match_add).
int plx_config_app_list_fields(plx_policy_db *db, rule *r, uint32_t field_type,
                               std::string_view app_list_name);

// The value of one action, by action type (PLX_ACTION_...):
//   BASE: `verb`; SET_TLOC: `tloc`, `label`; SET_TLOC_COLOR_ENCAP: `color_bits`, `encap_bits`;
//   MIRROR, POLICE, COUNT, SET_FC: `name`; SET_NEXT_HOP, REDIRECT_DNS: `ip`; SET_NAT_USE_VPN:
//   `number` (VRF id); SLA_CLASS: `name` (SLA class), `strict`, `color_bits` (preferred
//   colours); TLOC_LIST: nothing (entries come from the sequence's TLOC list); SET_DSCP,
//   SET_SVC_TYPE, SET_TRAFFIC_CLASS: `number` (8 bits); SET_NAT_POOL: `number`;
//   SET_BACKUP_PREF_COLOR: `color_bits`; SET_LOCAL_TLOC_LIST: `color_bits`, `encap_bits`,
//   `restrict_flag`; CFLOWD, LOG, SET_SVC_LOCAL, SET_SVC_LOCAL_STRICT, TCP_OPTIMIZATION,
//   FALLBACK: nothing.
struct action_value {
    plx_action_type action_type = PLX_ACTION_BASE;
    uint32_t verb = 0;
    std::string_view name;
    tloc_key tloc;
    uint32_t label = 0;
    uint32_t color_bits = 0;
    uint32_t encap_bits = 0;
    uint8_t restrict_flag = 0;
    uint8_t strict = 0;
    plx_ip_addr ip{};
    uint32_t number = 0;
};

// Adds an action to a rule (a base action goes first, the others last). PLX_EINVAL for an
// unknown type, a missing mirror or policer; PLX_EEXIST when the rule already has an instance of
// the policer.
// A "set fc" naming a missing class is kept unresolved. Counter contexts and policer instances
// belong to policy VPN lists: for rules of access lists (which keep their own) a count action
// holds only its name and a police action is refused with PLX_EINVAL.
int plx_config_action_add(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                          std::string_view vpn_list_name, uint32_t seq_id, uint32_t source_tag,
                          const action_value &v, config_action **out = nullptr);
int plx_config_rule_action_add(plx_policy_db *db, rule *r, uint32_t source_tag,
                               const action_value &v, config_action **out = nullptr);
config_action *plx_config_action_find(plx_policy_db *db, uint32_t type,
                                      std::string_view policy_name, std::string_view vpn_list_name,
                                      uint32_t seq_id, uint32_t source_tag);
// Deletes the first action with this source tag, releasing its references. PLX_ENOENT when
// absent.
int plx_config_action_delete(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                             std::string_view vpn_list_name, uint32_t seq_id, uint32_t source_tag);
void plx_config_rule_action_delete(plx_policy_db *db, rule *r, config_action *a);

// Refreshes the derived data of a policy VPN list before it is rebuilt: a default SLA action
// whose id is still 0 looks its class up again; every rule's list conditions are expanded
// anew from the current lists; mirror, TLOC-list, forwarding-class and SLA actions take the
// current state of what they name. PLX_ENOMEM when memory ran out part-way (the rule then lacks
// some conditions until the next refresh).
int plx_config_policy_vpn_list_refresh(plx_policy_db *db, policy_vpn_list *pvl);

// ---------------------------------------------------------------------------------------------
// VPN lists

int plx_config_vpn_list_add(plx_policy_db *db, std::string_view name);
// Removes every range (vpn_range_removing hook), then the list. PLX_EINVAL while policies
// use it.
int plx_config_vpn_list_delete(plx_policy_db *db, std::string_view name);
vpn_list *plx_config_vpn_list_find(plx_policy_db *db, std::string_view name);
// PLX_EEXIST for a duplicate range, PLX_EINVAL when low > high. The vpn_range_added hook announces
// it.
int plx_config_vpn_range_add(plx_policy_db *db, std::string_view name, uint64_t low, uint64_t high);
int plx_config_vpn_range_delete(plx_policy_db *db, std::string_view name, uint64_t low,
                                uint64_t high);

// ---------------------------------------------------------------------------------------------
// Prefix lists

int plx_config_pfx_list_add(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type);
// Frees the prefixes and the access-list user records. PLX_EINVAL while a policy VPN list uses
// it.
int plx_config_pfx_list_delete(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type);
// Marks every user (policy, VPN list, access list) changed.
int plx_config_pfx_list_change(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type);
pfx_list *plx_config_pfx_list_find(plx_policy_db *db, std::string_view name,
                                   uint32_t pfx_list_type);
// PLX_EEXIST duplicate, PLX_EINVAL length above 32. Users are marked by plx_config_pfx_list_change.
int plx_config_pfx_add(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type,
                       std::array<uint8_t, 4> addr, uint8_t len);
int plx_config_pfx_delete(plx_policy_db *db, std::string_view name, uint32_t pfx_list_type,
                          std::array<uint8_t, 4> addr, uint8_t len);

// ---------------------------------------------------------------------------------------------
// App lists

int plx_config_app_list_add(plx_policy_db *db, std::string_view name, uint32_t location);
// Frees the entries and drops every user reference (the users are marked changed).
int plx_config_app_list_delete(plx_policy_db *db, std::string_view name, uint32_t location);
// Marks every user changed.
int plx_config_app_list_change(plx_policy_db *db, std::string_view name, uint32_t location);
app_list *plx_config_app_list_find(plx_policy_db *db, std::string_view name, uint32_t location);
// Adds an application (PLX_APP_LIST_KIND_APP) or family (_FAMILY) by name. A name the resolver does
// not know is skipped with success; a kind other than the list's empties the list first; PLX_EEXIST
// for an id already present.
int plx_config_app_list_add_app(plx_policy_db *db, std::string_view name, uint32_t location,
                                uint32_t kind, std::string_view app_name);
int plx_config_app_list_delete_app(plx_policy_db *db, std::string_view name, uint32_t location,
                                   uint32_t kind, std::string_view app_name);

// Switches counted as users of application recognition and flow visibility.
void plx_config_set_app_visibility(plx_policy_db *db, bool on);
void plx_config_set_flow_visibility(plx_policy_db *db, bool on);

// ---------------------------------------------------------------------------------------------
// TLOCs and TLOC lists

tloc *plx_config_tloc_find(plx_policy_db *db, const tloc_key &key);
// Finds or creates a TLOC. A created one starts with `resolved`. PLX_ENOMEM without
// memory.
int plx_config_tloc_get(plx_policy_db *db, const tloc_key &key, uint8_t resolved, tloc **out);
// Removes a TLOC that no rule refers to. PLX_EINVAL while rules refer to it.
int plx_config_tloc_delete(plx_policy_db *db, tloc *t);
// Marks the owners of every rule that refers to the TLOC changed.
void plx_config_tloc_mark_users(plx_policy_db *db, tloc *t);

tloc_list *plx_config_tloc_list_find(plx_policy_db *db, uint16_t seq_id, uint32_t policy_type,
                                     std::string_view policy_name, std::string_view vpn_list_name);
// Finds or creates the TLOC list of a sequence.
int plx_config_tloc_list_get(plx_policy_db *db, uint16_t seq_id, uint32_t policy_type,
                             std::string_view policy_name, std::string_view vpn_list_name,
                             tloc_list **out);
// The values of one entry.
struct tloc_pref_value {
    tloc_key key;
    uint32_t label = 0;
    uint32_t preference = 0;
};
// PLX_EEXIST when the entry index exists.
int plx_config_tloc_pref_add(plx_policy_db *db, tloc_list *l, uint32_t entry_index,
                             const tloc_pref_value &v);
// PLX_ENOENT when the entry index is absent.
int plx_config_tloc_pref_modify(plx_policy_db *db, tloc_list *l, uint32_t entry_index,
                                const tloc_pref_value &v);
// Removes the entry; an emptied list is removed and freed (l is then gone).
int plx_config_tloc_pref_delete(plx_policy_db *db, tloc_list *l, uint32_t entry_index);

// ---------------------------------------------------------------------------------------------
// SLA classes

// PLX_EEXIST when present; PLX_ENOMEM when all 8 ids are used. Writes the id into the SLA actions
// naming the class and marks their users.
int plx_sla_class_add(plx_policy_db *db, std::string_view name);
int plx_sla_class_delete(plx_policy_db *db, std::string_view name);
sla_class *plx_sla_class_find(plx_policy_db *db, std::string_view name);

// ---------------------------------------------------------------------------------------------
// Policers and mirrors

inline constexpr uint32_t PLX_POLICER_RATE = 1;
inline constexpr uint32_t PLX_POLICER_BURST = 2;
inline constexpr uint32_t PLX_POLICER_EXCEED = 4;

int plx_config_policer_add(plx_policy_db *db, std::string_view name, uint32_t owner_type,
                           const policer_params &params);
// Replaces the fields present in `mask` and runs the policer_modified hook.
int plx_config_policer_update(plx_policy_db *db, std::string_view name, uint32_t owner_type,
                              const policer_params &params, uint32_t mask);
// PLX_EINVAL while instances exist.
int plx_config_policer_delete(plx_policy_db *db, std::string_view name, uint32_t owner_type);
policer *plx_config_policer_find(plx_policy_db *db, std::string_view name, uint32_t owner_type);

// Creates an empty mirror; an existing one is left as it is (PLX_OK).
int plx_config_mirror_add(plx_policy_db *db, std::string_view name);
// PLX_EINVAL while users exist.
int plx_config_mirror_delete(plx_policy_db *db, std::string_view name);
mirror *plx_config_mirror_find(plx_policy_db *db, std::string_view name);
// The mirror is created when missing. Gaining an interface or destination marks its users.
int plx_config_mirror_interface_add(plx_policy_db *db, std::string_view name,
                                    std::string_view intf);
int plx_config_mirror_interface_delete(plx_policy_db *db, std::string_view name,
                                       std::string_view intf);
int plx_config_mirror_remote_dest_add(plx_policy_db *db, std::string_view name,
                                      const plx_ip_addr &dest, const plx_ip_addr &source);
int plx_config_mirror_remote_dest_modify(plx_policy_db *db, std::string_view name,
                                         const plx_ip_addr &dest, const plx_ip_addr &source);
int plx_config_mirror_remote_dest_delete(plx_policy_db *db, std::string_view name,
                                         const plx_ip_addr &dest);

// ---------------------------------------------------------------------------------------------
// Test support: the next n allocations of model records succeed, the one after fails (as if
// out of memory); a negative n turns failures off.
void plx_policy_fail_alloc_after(int n);

}  // namespace plx::cfg
