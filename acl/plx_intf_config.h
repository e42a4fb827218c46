// The access-list model: IPv4 and IPv6 access lists, their sequences (rules of the policy model
// with their conditions and actions), the counters, policers, prefix lists and mirrors they use,
// and their bindings to interfaces per VPN and direction.
//
// Every change sets the list's changed flag (a new list carries the new flag); the processing
// that compiles and binds lists walks the marked lists after a change set (plx_acl_walk_marked).
// Operations return PLX_OK or a status (common/plx_status.h): PLX_ENOENT not found, PLX_ENOMEM
// out of memory, PLX_EEXIST exists, PLX_EINVAL invalid, PLX_EBADMSG missing argument.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/avl/plx_avl.h"
#include "policy/plx_config.h"

struct plx_ctx;

inline constexpr uint32_t PLX_ACL_FAMILY_IPV4 = 0;
inline constexpr uint32_t PLX_ACL_FAMILY_IPV6 = 1;
inline constexpr uint8_t PLX_ACL_DIR_IN = 1;
inline constexpr uint8_t PLX_ACL_DIR_OUT = 2;
inline constexpr size_t PLX_ACL_INTF_LEN = 33;  // interface names: at most 32 characters

// Messages to the forwarding-table manager.
inline constexpr uint8_t PLX_ACL_MSG_BIND = 3;
inline constexpr uint8_t PLX_ACL_MSG_UNBIND = 4;
inline constexpr size_t PLX_ACL_MSG_HEADER = 139;
inline constexpr size_t PLX_ACL_MSG_BINDING = 38;

struct plx_acl_binding {
    plx::avl_link link;
    plx::cfg::fixed_name<PLX_ACL_INTF_LEN> intf;
    uint8_t direction = 0;  // 1 in, 2 out
    uint64_t vpn = 0;
};
struct plx_acl_binding_order {
    using key_type = std::pair<std::string_view, uint8_t>;
    static key_type key(const plx_acl_binding &b) { return {b.intf.view(), b.direction}; }
    static int compare(const key_type &a, const key_type &b) { return plx::avl_cmp(a, b); }
};

struct plx_access_list {
    plx::avl_link link;
    plx::cfg::plx_name name;
    uint32_t family = 0;
    uint32_t default_action = 0;  // 2 accept, 1 reject, 0 not given
    uint8_t is_new = 0;
    uint8_t changed = 0;
    PlxRuleTablePtr p_rule_table;        // compiler input, present only during a compile
    PolicyProgram *p_program = nullptr;  // placed program
    uint32_t filter_id = plx::cfg::PLX_FILTER_ID_NONE;
    plx::avl_tree<plx_acl_binding, &plx_acl_binding::link, plx_acl_binding_order> bindings;
    plx::dl_list<plx::cfg::rule, &plx::cfg::rule::seq_link> rules;  // ascending; owns the rules
    plx::avl_tree<plx::cfg::rule, &plx::cfg::rule::tree_link, plx::cfg::rule_seq_order, false>
        rule_tree;
    plx::avl_tree<plx::cfg::counter_ctx, &plx::cfg::counter_ctx::link, plx::cfg::name_order_counter>
        counters;
    plx::avl_tree<plx::cfg::policer_instance, &plx::cfg::policer_instance::in_owner,
                  plx::cfg::policer_instance_owner_order>
        policers;
    std::string refused_why;       // the compiler's reason when it refused the last build
    int64_t programmed_at_ms = 0;  // wall clock of the last placement, ms (0: never placed)
};
struct plx_access_list_order {  // name length, then name
    using key_type = std::string_view;
    static key_type key(const plx_access_list &l) { return l.name.view(); }
    static int compare(key_type a, key_type b) { return plx::cfg::plx_name_cmp_len_first(a, b); }
};

struct plx_acl_model {
    plx_acl_model() = default;
    plx_acl_model(const plx_acl_model &) = delete;
    plx_acl_model &operator=(const plx_acl_model &) = delete;
    ~plx_acl_model();

    plx::cfg::plx_policy_db *db = nullptr;  // conditions, lists, policers, mirrors, classes
    plx::avl_tree<plx_access_list, &plx_access_list::link, plx_access_list_order> lists[2];
    // Sends one message to the forwarding-table manager; PLX_OK when it was taken. Unset:
    // messages go to the daemon's fibd queue, and nothing is sent while there is none.
    std::function<int(std::span<const uint8_t>)> send;
    // Called before a list is freed, to release its program and rule table (the processing's).
    std::function<void(plx_access_list &)> releasing;
    plx_ctx *ctx = nullptr;
};

// Start-up and teardown (the daemon's access-list step): the model of ctx, bound to its policy
// db. PLX_OK, PLX_EBADMSG without a context or policy db, PLX_ENOMEM without memory.
int plx_acl_init(plx_ctx *ctx);
void plx_acl_teardown(plx_ctx *ctx);
// The same on a model the caller owns.
int plx_acl_model_init(plx_acl_model *m, plx::cfg::plx_policy_db *db);
void plx_acl_model_teardown(plx_acl_model *m);

// Lists
plx_access_list *plx_intf_config_acl_find(plx_acl_model *m, std::string_view name, uint32_t family);
int plx_intf_config_acl_add(plx_acl_model *m, std::string_view name, uint32_t family,
                            uint32_t default_action);
int plx_intf_config_acl_modify(plx_acl_model *m, std::string_view name, uint32_t family,
                               uint32_t default_action);
// Unbinds the list from all its interfaces (one message); on failure keeps the list.
int plx_intf_config_acl_delete(plx_acl_model *m, std::string_view name, uint32_t family);

// Sequences
int plx_intf_config_rule_add(plx_acl_model *m, std::string_view name, uint32_t family, uint32_t seq,
                             plx::cfg::rule **out = nullptr);
int plx_intf_config_rule_delete(plx_acl_model *m, std::string_view name, uint32_t family,
                                uint32_t seq);
plx::cfg::rule *plx_intf_config_rule_find(plx_acl_model *m, std::string_view name, uint32_t family,
                                          uint32_t seq);
// Drops every condition and action of a sequence and gives it its MATCH_ANY condition again.
int plx_intf_config_rule_reset(plx_acl_model *m, plx::cfg::rule &r);

// Actions, by the configuration tag that creates them (see plx_intf_config.cpp).
int plx_intf_config_action_add(plx_acl_model *m, plx::cfg::rule &r, uint32_t tag,
                               const plx::cfg::action_value &v);
int plx_intf_config_action_delete(plx_acl_model *m, plx::cfg::rule &r, uint32_t tag);

// Bindings
int plx_intf_config_bind(plx_acl_model *m, std::string_view name, uint32_t family,
                         std::string_view intf, uint8_t direction, uint64_t vpn);
// PLX_OK when the list is missing, PLX_ENOENT when not bound.
int plx_intf_config_unbind(plx_acl_model *m, std::string_view name, uint32_t family,
                           std::string_view intf, uint8_t direction);
void plx_intf_config_intf_removed(plx_acl_model *m, std::string_view intf);
void plx_intf_config_vpn_removed(plx_acl_model *m, uint64_t vpn);
// One FIB_MSG_ACL_BIND or FIB_MSG_ACL_UNBIND message for the given bindings of a list (all of them
// when empty).
int plx_intf_config_send_bindings(plx_acl_model *m, const plx_access_list &l, uint8_t msg_type,
                                  std::span<const plx_acl_binding *const> only = {});

// Brings a list's sequences up to date with what they name before a compile: list conditions
// are expanded anew from the lists that still exist (a deleted list leaves none), mirror
// actions take the mirror's current data, forwarding-class actions the class's current id.
void plx_intf_config_refresh(plx_acl_model *m, plx_access_list &l);

// Calls fn for every IPv4, then IPv6 list with the new or changed flag, then clears both flags.
// The processing of changed lists hangs here.
void plx_acl_walk_marked(plx_acl_model *m, const std::function<void(plx_access_list &)> &fn);
