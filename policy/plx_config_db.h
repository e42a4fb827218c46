// The records of the policy object model and the db that holds them: constants, the objects
// with their keys and orderings, the reference records between them, and the hooks through
// which the model reaches the rest of the daemon. The operations are in plx_config.h.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/ip_util.h"
#include "common/plx_status.h"
#include "compiler/plx_ruletable.h"
#include "platform/avl/plx_avl.h"
#include "policy/plx_class.h"
#include "policy/plx_name.h"

struct PolicyProgram;

// An access list (owned by the access-list model). The policy model only keeps pointers to it
// in its user records and hands them back through plx_policy_hooks::access_list_changed.
struct plx_access_list;

namespace plx::cfg {

// ---------------------------------------------------------------------------------------------
// Constants

inline constexpr uint32_t PLX_POLICY_TYPE_DATA = 1;
inline constexpr uint32_t PLX_POLICY_TYPE_PFR = 2;  // app-route policy

inline constexpr uint32_t PLX_POLICY_PFX_LIST_TYPE_INVALID = 0;
inline constexpr uint32_t PLX_POLICY_PFX_LIST_TYPE_LOCAL = 1;  // "policy/lists/..."
inline constexpr uint32_t PLX_POLICY_PFX_LIST_TYPE_QCTRL = 2;  // "policy-from-qctrl/lists/..."
inline constexpr uint32_t PLX_POLICY_PFX_LIST_TYPE_MAX = 3;

inline constexpr uint32_t PLX_APP_LIST_LOC_LOCAL = 1;  // used by access lists
inline constexpr uint32_t PLX_APP_LIST_LOC_QCTRL = 2;  // used by policies
inline constexpr uint32_t PLX_APP_LIST_KIND_NONE = 0;  // no entry added yet
inline constexpr uint32_t PLX_APP_LIST_KIND_APP = 1;
inline constexpr uint32_t PLX_APP_LIST_KIND_FAMILY = 2;

inline constexpr uint32_t PLX_POLICER_OWNER_LOCAL = 1;  // "policy/policer"
inline constexpr uint32_t PLX_POLICER_OWNER_QCTRL = 2;  // "policy-from-qctrl/policer"
// User kinds of mirrors and policers.
enum plx_owner_kind : uint32_t {
    PLX_OWNER_KIND_NONE = 0,
    PLX_OWNER_KIND_POLICY = 1,  // a data policy's VPN list
    PLX_OWNER_KIND_ACL = 2,     // an access list
};

inline constexpr uint32_t PLX_FILTER_ID_NONE = 0xFFFFFFFF;  // not bound
inline constexpr uint32_t PLX_TLOC_LIST_MAX = 16;           // entries of a TLOC-list action
inline constexpr uint32_t PLX_SLA_CLASS_MAX = 8;
inline constexpr std::string_view PLX_SLA_ALL_TUNNELS = "__all_tunnels__";
inline constexpr uint32_t PLX_AF_INET = 2;  // family of a tloc_key

inline constexpr uint32_t PLX_ACTION_VERB_REJECT = 1;
inline constexpr uint32_t PLX_ACTION_VERB_ACCEPT = 2;
inline constexpr uint32_t PLX_ENCAP_BIT_GRE = 1u << 6;
inline constexpr uint32_t PLX_ENCAP_BIT_IPSEC = 1u << 4;

// Match field types.
enum plx_match_type : uint32_t {
    PLX_MATCH_MIN = 0,
    PLX_MATCH_PROTOCOL = 1,
    PLX_MATCH_SRC_PORT = 2,
    PLX_MATCH_DST_PORT = 3,
    PLX_MATCH_SRC_ADDR = 4,
    PLX_MATCH_DST_ADDR = 5,
    PLX_MATCH_SRC_PFX_LIST = 6,
    PLX_MATCH_DST_PFX_LIST = 7,
    PLX_MATCH_DSCP = 8,
    PLX_MATCH_FC = 9,
    PLX_MATCH_TCP = 10,
    PLX_MATCH_PKT_LEN = 11,
    PLX_MATCH_APP = 12,
    PLX_MATCH_APP_FAMILY = 13,
    PLX_MATCH_APP_LIST = 14,
    PLX_MATCH_ANY = 15,
    PLX_MATCH_TRAFFIC_CLASS = 16,
    PLX_MATCH_NEXT_HEADER = 17,
    PLX_MATCH_PLP = 18,
    PLX_MATCH_DNS_APP = 19,
    PLX_MATCH_DNS_APP_FAMILY = 20,
    PLX_MATCH_DNS_APP_LIST = 21,
    PLX_MATCH_DNS = 22,
    PLX_MATCH_MAX = 23,
};

// Action types (the verbs 1 "reject" and 2 "accept" share the name table).
enum plx_action_type : uint32_t {
    PLX_ACTION_BASE = 0,
    PLX_ACTION_SET_TLOC = 3,
    PLX_ACTION_SET_TLOC_COLOR_ENCAP = 4,
    PLX_ACTION_MIRROR = 5,
    PLX_ACTION_CFLOWD = 6,
    PLX_ACTION_POLICE = 7,
    PLX_ACTION_COUNT = 8,
    PLX_ACTION_SET_FC = 9,
    PLX_ACTION_SET_NEXT_HOP = 10,
    PLX_ACTION_SET_NAT_USE_VPN = 11,
    PLX_ACTION_SLA_CLASS = 12,
    PLX_ACTION_TLOC_LIST = 13,
    PLX_ACTION_SET_DSCP = 14,
    PLX_ACTION_SET_SVC_TYPE = 15,
    PLX_ACTION_SET_NAT_POOL = 16,
    PLX_ACTION_LOG = 17,
    PLX_ACTION_SET_SVC_LOCAL = 18,
    PLX_ACTION_SET_SVC_LOCAL_STRICT = 19,
    PLX_ACTION_SET_BACKUP_PREF_COLOR = 20,
    PLX_ACTION_SET_TRAFFIC_CLASS = 21,
    PLX_ACTION_SET_LOCAL_TLOC_LIST = 22,
    PLX_ACTION_TCP_OPTIMIZATION = 23,
    PLX_ACTION_FALLBACK = 24,
    PLX_ACTION_REDIRECT_DNS = 25,
    PLX_ACTION_TYPE_COUNT = 26,
};

// "MIN" ... "MAX"; "--" above 23.
const char *plx_match_type_name(uint32_t type);
// "-" for 0, "reject", "accept", "set tloc", ...; "-" for an unknown number.
const char *plx_action_type_name(uint32_t type);

// ---------------------------------------------------------------------------------------------
// Records

struct policy;
struct policy_vpn_list;
struct rule;
struct tloc;

// Transport locator key. The IPv4 address sits in addr[0..3] in network order; the order is
// family, address (as a number for IPv4, bytewise for IPv6), colour, encapsulation.
struct tloc_key {
    uint32_t family = PLX_AF_INET;
    uint8_t addr[16] = {};
    uint8_t color = 0;
    uint8_t encap = 0;
};
// A key from an IPv4 address in network byte order (as htonl gives it).
tloc_key tloc_key_v4(uint32_t addr_net, uint8_t color, uint8_t encap);
int tloc_key_cmp(const tloc_key &a, const tloc_key &b);
// "a.b.c.d : colour : encap" text for logs and dumps.
std::string tloc_key_str(const tloc_key &k);

// One reference between a rule and a TLOC; the TLOC keeps one per rule, the rule one per TLOC.
struct tloc_ref {
    avl_link link;
    rule *p_rule = nullptr;
    tloc *p_tloc = nullptr;
    uint32_t count = 0;
};
struct tloc_ref_rule_order {  // in a TLOC: by rule
    using key_type = const rule *;
    static key_type key(const tloc_ref &r) { return r.p_rule; }
    static int compare(key_type a, key_type b) { return avl_cmp(a, b); }
};
struct tloc_ref_tloc_order {  // in a rule: by TLOC key
    using key_type = const tloc_key *;
    static key_type key(const tloc_ref &r);
    static int compare(key_type a, key_type b) { return tloc_key_cmp(*a, *b); }
};

struct tloc {
    avl_link link;
    tloc_key key;
    uint32_t index = 0;  // the number the forwarding plane knows it by
    uint32_t preference = 0;
    uint32_t weight = 0;
    uint8_t status = 0;  // 1 = up
    uint8_t resolved = 0;
    uint8_t local = 0;
    avl_tree<tloc_ref, &tloc_ref::link, tloc_ref_rule_order> refs;
};
inline const tloc_key *tloc_ref_tloc_order::key(const tloc_ref &r) {
    return &r.p_tloc->key;
}
struct tloc_order {
    using key_type = const tloc_key *;
    static key_type key(const tloc &t) { return &t.key; }
    static int compare(key_type a, key_type b) { return tloc_key_cmp(*a, *b); }
};

// One condition of a rule. For SRC_ADDR/DST_ADDR, `low` holds the four address bytes as
// configured (see addr()) and `high` the prefix length.
struct match_cond {
    list_link link;
    plx_match_type field_type = PLX_MATCH_MIN;
    // == field_type, or the list match (SRC/DST_PFX_LIST, APP_LIST, DNS_APP_LIST) it was
    // expanded from.
    plx_match_type origin_type = PLX_MATCH_MIN;
    plx_name list_name;  // for expanded conditions
    uint32_t low = 0;
    uint32_t high = 0;

    std::array<uint8_t, 4> addr() const;
};

struct mirror_remote_dest {
    plx_ip_addr source{};
    plx_ip_addr destination{};
};
// The part of a mirror that actions copy.
struct mirror_data {
    plx_name name;
    uint32_t kind = 0;  // 1 interfaces only, 2 remote destinations only, 3 both
    std::vector<plx_name> interfaces;
    std::vector<mirror_remote_dest> remote_dests;
};

struct policer_params {
    uint64_t rate = 0;    // bits per second
    uint32_t burst = 0;   // bytes
    uint32_t exceed = 0;  // 0 drop, otherwise mark PLP high
};

struct tloc_list_action_entry {
    uint32_t label = 0;
    uint32_t preference = 0;
    tloc *p_tloc = nullptr;
};

// One action of a rule, or the default action of a policy VPN list. Only the data of its type
// is meaningful.
struct config_action {
    list_link link;
    // Verb of a base or default action: PLX_ACTION_VERB_REJECT or _ACCEPT; otherwise 0.
    uint32_t value = 0;
    plx_action_type action_type = PLX_ACTION_BASE;
    uint32_t source_tag = 0;

    struct {  // SET_TLOC
        tloc *p_tloc = nullptr;
        uint32_t label = 0;
    } set_tloc;
    // SET_TLOC_COLOR_ENCAP, SET_BACKUP_PREF_COLOR, SET_LOCAL_TLOC_LIST
    struct {
        uint32_t color_bits = 0;
        uint32_t encap_bits = 0;
        uint8_t restrict_flag = 0;
    } colors;
    mirror_data mirror;  // MIRROR
    struct {             // POLICE
        plx_name name;
        uint32_t owner_type = 0;
        policer_params params;
        plx_name instance_name;  // "<VPN list>_<policy>"
        uint32_t seq_id = 0;
    } police;
    plx_name counter_name;  // COUNT
    struct {                // SET_FC
        plx_short_name name;
        uint32_t class_id = 0;
        uint8_t unresolved = 0;
    } fc;
    plx_ip_addr ip{};     // SET_NEXT_HOP, REDIRECT_DNS
    uint16_t vrf_id = 0;  // SET_NAT_USE_VPN
    struct {              // SLA_CLASS
        plx_short_name name;
        uint8_t id = 0;
        uint8_t strict = 0;
        uint32_t pref_color = 0;
    } sla;
    struct {  // TLOC_LIST, held by preference, highest first
        std::array<tloc_list_action_entry, PLX_TLOC_LIST_MAX> entries{};
        uint32_t count = 0;
    } tloc_list;
    uint8_t u8_value = 0;    // SET_DSCP, SET_SVC_TYPE, SET_TRAFFIC_CLASS
    uint32_t u32_value = 0;  // SET_NAT_POOL
};

// A list named by one of a rule's list matches (SRC/DST_PFX_LIST, APP_LIST, DNS_APP_LIST): the
// rule keeps it even while the list is empty or gone, so that a rebuild can expand it again.
struct rule_list_ref {
    plx_match_type origin_type = PLX_MATCH_MIN;
    plx_name name;
};

// One sequence of a policy VPN list (or of an access list).
struct rule {
    avl_link tree_link;
    list_link seq_link;
    uint32_t seq_id = 0;
    plx_name vpn_list_name;
    dl_list<match_cond, &match_cond::link> matches;
    dl_list<config_action, &config_action::link> actions;
    avl_tree<tloc_ref, &tloc_ref::link, tloc_ref_tloc_order> tloc_refs;
    std::vector<rule_list_ref> list_refs;
    // Owner: a policy and its VPN list, or an access list.
    policy *p_policy = nullptr;
    policy_vpn_list *p_vpn_list = nullptr;
    plx_access_list *p_acl = nullptr;
    plx_name acl_name;
    uint32_t acl_family = 0;
    // What the configuration reader last read for this sequence; kept with the rule so that a
    // change is applied to it and the rule rebuilt from the whole. Opaque to the model.
    std::shared_ptr<void> reader_state;
};
struct rule_seq_order {
    using key_type = uint32_t;
    static key_type key(const rule &r) { return r.seq_id; }
    static int compare(key_type a, key_type b) { return avl_cmp(a, b); }
};

struct counter_ctx {
    avl_link link;
    plx_name name;
    uint32_t ref_count = 0;
};
struct name_order_counter {
    using key_type = std::string_view;
    static key_type key(const counter_ctx &c) { return c.name.view(); }
    static int compare(key_type a, key_type b) { return plx_name_cmp(a, b); }
};

// A prefix list used by a policy VPN list, mirrored by a pfx_list_vpn_list in the prefix list.
struct vpn_list_pfx_list {
    avl_link link;
    plx_name pfx_list_name;
    uint32_t pfx_list_type = 0;
    uint32_t ref_count = 0;
};
struct vpn_list_pfx_list_order {
    using key_type = std::pair<uint32_t, std::string_view>;
    static key_type key(const vpn_list_pfx_list &r) {
        return {r.pfx_list_type, r.pfx_list_name.view()};
    }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = avl_cmp(a.first, b.first))
            return c;
        return plx_name_cmp(a.second, b.second);
    }
};

// An app list used by a policy VPN list.
struct dpi_app_ctx {
    avl_link link;
    plx_name app_list_name;
    uint32_t location = 0;
    uint16_t count = 0;
};
struct dpi_app_ctx_order {
    using key_type = std::pair<std::string_view, uint32_t>;
    static key_type key(const dpi_app_ctx &r) { return {r.app_list_name.view(), r.location}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = plx_name_cmp_len_first(a.first, b.first))
            return c;
        return avl_cmp(a.second, b.second);
    }
};

// An instance of a policer, created by a police action. Owned by its user (the policy VPN
// list or access list); the policer links it too.
struct policer_instance {
    avl_link in_owner;
    avl_link in_policer;
    plx_name policer_name;
    uint32_t policer_owner_type = 0;
    uint32_t seq_id = 0;
    plx_name instance_name;  // "<VPN list>_<policy>" or the access list's name
    plx_owner_kind owner_kind = PLX_OWNER_KIND_NONE;
    plx_name owner_name;   // policy or access list
    plx_name owner_name2;  // VPN list
};
struct policer_instance_owner_order {  // in the owner: sequence, policer name
    using key_type = std::pair<uint32_t, std::string_view>;
    static key_type key(const policer_instance &p) { return {p.seq_id, p.policer_name.view()}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = avl_cmp(a.first, b.first))
            return c;
        return plx_name_cmp(a.second, b.second);
    }
};
struct policer_instance_policer_order {  // in the policer: sequence, owner kind, names
    using key_type =
        std::tuple<uint32_t, std::string_view, plx_owner_kind, std::string_view, std::string_view>;
    static key_type key(const policer_instance &p) {
        return {p.seq_id, p.instance_name.view(), p.owner_kind, p.owner_name.view(),
                p.owner_name2.view()};
    }
    static int compare(const key_type &a, const key_type &b) {
        return a < b ? -1 : (b < a ? 1 : 0);
    }
};

// A policy applied to one VPN list: the unit that is compiled and programmed.
struct policy_vpn_list {
    avl_link link;
    plx_name name;
    uint8_t changed = 0;
    policy *p_policy = nullptr;
    dl_list<rule, &rule::seq_link> rules;  // ascending sequence id; owns the rules
    avl_tree<rule, &rule::tree_link, rule_seq_order, false> rule_tree;
    avl_tree<counter_ctx, &counter_ctx::link, name_order_counter> counters;
    config_action default_action;
    PlxRuleTablePtr p_rule_table;        // compiler input, present only while compiled
    PolicyProgram *p_program = nullptr;  // placed program, present only while placed
    uint32_t filter_id = PLX_FILTER_ID_NONE;
    uint32_t filter_type = 0;
    uint32_t direction = 0;
    // The VPN ids fibd was last told this list applies to, ascending: what an unbind must take
    // back, and what a change of the VPN list's ranges is compared with.
    std::vector<uint32_t> fibd_vpn_ids;
    avl_tree<vpn_list_pfx_list, &vpn_list_pfx_list::link, vpn_list_pfx_list_order> pfx_refs;
    avl_tree<policer_instance, &policer_instance::in_owner, policer_instance_owner_order> policers;
    avl_tree<dpi_app_ctx, &dpi_app_ctx::link, dpi_app_ctx_order> app_refs;
    std::string refused_why;       // the compiler's reason when it refused the last build
    int64_t programmed_at_ms = 0;  // wall clock of the last placement, ms (0: never placed)
};
struct name_len_first_order_pvl {
    using key_type = std::string_view;
    static key_type key(const policy_vpn_list &p) { return p.name.view(); }
    static int compare(key_type a, key_type b) { return plx_name_cmp_len_first(a, b); }
};

struct policy {
    avl_link link;
    plx_name name;
    uint32_t type = 0;
    uint32_t direction = 0;  // 1, 2 or 3; app-route policies keep 0
    uint32_t old_direction = 0;
    uint8_t added = 0;
    uint8_t changed = 0;
    avl_tree<policy_vpn_list, &policy_vpn_list::link, name_len_first_order_pvl> vpn_lists;
};
struct policy_order {
    using key_type = std::pair<uint32_t, std::string_view>;
    static key_type key(const policy &p) { return {p.type, p.name.view()}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = avl_cmp(a.first, b.first))
            return c;
        return plx_name_cmp_len_first(a.second, b.second);
    }
};

struct vpn_range {
    avl_link link;
    uint64_t low = 0;
    uint64_t high = 0;
};
struct vpn_range_order {
    using key_type = std::pair<uint64_t, uint64_t>;
    static key_type key(const vpn_range &r) { return {r.low, r.high}; }
    static int compare(const key_type &a, const key_type &b) { return avl_cmp(a, b); }
};
struct vpn_list_policy {
    avl_link link;
    plx_name policy_name;
    uint32_t policy_type = 0;
    uint32_t count = 0;
};
struct vpn_list_policy_order {
    using key_type = std::pair<std::string_view, uint32_t>;
    static key_type key(const vpn_list_policy &u) { return {u.policy_name.view(), u.policy_type}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = plx_name_cmp_len_first(a.first, b.first))
            return c;
        return avl_cmp(a.second, b.second);
    }
};
struct vpn_list {
    avl_link link;
    plx_name name;
    avl_tree<vpn_range, &vpn_range::link, vpn_range_order> ranges;
    avl_tree<vpn_list_policy, &vpn_list_policy::link, vpn_list_policy_order> users;
};

struct pfx_entry {
    avl_link link;
    std::array<uint8_t, 4> addr{};
    uint8_t len = 0;
};
struct pfx_entry_order {
    using key_type = std::pair<uint8_t, std::array<uint8_t, 4>>;
    static key_type key(const pfx_entry &p) { return {p.len, p.addr}; }
    static int compare(const key_type &a, const key_type &b) { return avl_cmp(a, b); }
};
// A policy VPN list using a prefix list.
struct pfx_list_vpn_list {
    avl_link link;
    plx_name vpn_list_name;
    plx_name policy_name;
    uint32_t policy_type = 0;
    uint32_t ref_count = 0;
};
// Users keyed by (VPN list, policy, type): shared by prefix and app lists.
struct policy_user_key {
    std::string_view vpn_list;
    std::string_view policy;
    uint32_t type;
    static int compare(const policy_user_key &a, const policy_user_key &b) {
        if (int c = plx_name_cmp_len_first(a.vpn_list, b.vpn_list))
            return c;
        if (int c = plx_name_cmp_len_first(a.policy, b.policy))
            return c;
        return avl_cmp(a.type, b.type);
    }
};
struct pfx_list_vpn_list_order {
    using key_type = policy_user_key;
    static key_type key(const pfx_list_vpn_list &u) {
        return {u.vpn_list_name.view(), u.policy_name.view(), u.policy_type};
    }
    static int compare(const key_type &a, const key_type &b) {
        return policy_user_key::compare(a, b);
    }
};
// An access list using a prefix list or an app list.
struct list_acl_user {
    avl_link link;
    plx_access_list *p_acl = nullptr;
    plx_name acl_name;
    uint32_t family = 0;
    uint32_t ref_count = 0;
};
struct list_acl_user_order {
    using key_type = std::pair<std::string_view, uint32_t>;
    static key_type key(const list_acl_user &u) { return {u.acl_name.view(), u.family}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = plx_name_cmp_len_first(a.first, b.first))
            return c;
        return avl_cmp(a.second, b.second);
    }
};
struct pfx_list {
    avl_link link;
    plx_name name;
    uint32_t pfx_list_type = 0;
    avl_tree<pfx_entry, &pfx_entry::link, pfx_entry_order> prefixes;
    avl_tree<pfx_list_vpn_list, &pfx_list_vpn_list::link, pfx_list_vpn_list_order> users;
    avl_tree<list_acl_user, &list_acl_user::link, list_acl_user_order> acl_users;
};
struct pfx_list_order {  // type, then name bytewise
    using key_type = std::pair<uint32_t, std::string_view>;
    static key_type key(const pfx_list &p) { return {p.pfx_list_type, p.name.view()}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = avl_cmp(a.first, b.first))
            return c;
        return plx_name_cmp(a.second, b.second);
    }
};

struct app_entry {
    avl_link link;
    uint32_t id = 0;
    plx_name name;
};
struct app_entry_order {
    using key_type = uint32_t;
    static key_type key(const app_entry &e) { return e.id; }
    static int compare(key_type a, key_type b) { return avl_cmp(a, b); }
};
struct app_list_user {
    avl_link link;
    plx_name vpn_list_name;
    plx_name policy_name;
    uint32_t policy_type = 0;
    uint16_t count = 0;
};
struct app_list_user_order {
    using key_type = policy_user_key;
    static key_type key(const app_list_user &u) {
        return {u.vpn_list_name.view(), u.policy_name.view(), u.policy_type};
    }
    static int compare(const key_type &a, const key_type &b) {
        return policy_user_key::compare(a, b);
    }
};
struct app_list {
    avl_link link;
    plx_name name;
    uint32_t location = 0;
    uint32_t kind = PLX_APP_LIST_KIND_NONE;
    avl_tree<app_entry, &app_entry::link, app_entry_order> entries;
    avl_tree<app_list_user, &app_list_user::link, app_list_user_order> users;
    avl_tree<list_acl_user, &list_acl_user::link, list_acl_user_order> acl_users;
};
struct app_list_order {  // name (shorter first), then location
    using key_type = std::pair<std::string_view, uint32_t>;
    static key_type key(const app_list &a) { return {a.name.view(), a.location}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = plx_name_cmp_len_first(a.first, b.first))
            return c;
        return avl_cmp(a.second, b.second);
    }
};

// One entry of a preferred-TLOC list.
struct tloc_pref {
    avl_link link;
    uint32_t entry_index = 0;
    tloc_key key;
    uint32_t label = 0;
    uint32_t preference = 0;
};
struct tloc_pref_order {
    using key_type = uint32_t;
    static key_type key(const tloc_pref &p) { return p.entry_index; }
    static int compare(key_type a, key_type b) { return avl_cmp(a, b); }
};
// The preferred-TLOC list of one sequence of a data policy.
struct tloc_list {
    avl_link link;
    uint16_t seq_id = 0;
    uint32_t policy_type = 0;
    plx_name policy_name;
    plx_name vpn_list_name;
    avl_tree<tloc_pref, &tloc_pref::link, tloc_pref_order> entries;
};
struct tloc_list_order {
    using key_type = std::tuple<uint16_t, uint32_t, std::string_view, std::string_view>;
    static key_type key(const tloc_list &l) {
        return {l.seq_id, l.policy_type, l.policy_name.view(), l.vpn_list_name.view()};
    }
    static int compare(const key_type &a, const key_type &b) {
        return a < b ? -1 : (b < a ? 1 : 0);
    }
};

struct sla_class {
    avl_link link;
    plx_short_name name;
    uint8_t id = 0;
};
struct sla_class_order {
    using key_type = std::string_view;
    static key_type key(const sla_class &s) { return s.name.view(); }
    static int compare(key_type a, key_type b) { return plx_name_cmp(a, b); }
};

struct policer {
    avl_link link;
    plx_name name;
    uint32_t owner_type = 0;  // PLX_POLICER_OWNER_LOCAL or _QCTRL
    policer_params params;
    avl_tree<policer_instance, &policer_instance::in_policer, policer_instance_policer_order, false>
        instances;
};
// Name length, sequence (-1 for a policer itself), name, owner type, owner name.
struct policer_order {
    using key_type = std::pair<std::string_view, uint32_t>;
    static key_type key(const policer &p) { return {p.name.view(), p.owner_type}; }
    static int compare(const key_type &a, const key_type &b) {
        if (int c = plx_name_cmp_len_first(a.first, b.first))
            return c;
        return avl_cmp(a.second, b.second);
    }
};

struct mirror_user {
    avl_link link;
    plx_owner_kind owner_kind = PLX_OWNER_KIND_NONE;
    plx_name owner_name;
    plx_name vpn_list_name;
    plx_access_list *p_acl = nullptr;
    uint32_t count = 0;
};
struct mirror_user_order {
    using key_type = std::tuple<plx_owner_kind, std::string_view, std::string_view>;
    static key_type key(const mirror_user &u) {
        return {u.owner_kind, u.owner_name.view(), u.vpn_list_name.view()};
    }
    static int compare(const key_type &a, const key_type &b) {
        return a < b ? -1 : (b < a ? 1 : 0);
    }
};
struct mirror {
    avl_link link;
    mirror_data data;
    avl_tree<mirror_user, &mirror_user::link, mirror_user_order> users;
};
struct mirror_order {
    using key_type = std::string_view;
    static key_type key(const mirror &m) { return m.data.name.view(); }
    static int compare(key_type a, key_type b) { return plx_name_cmp(a, b); }
};
struct vpn_list_order {
    using key_type = std::string_view;
    static key_type key(const vpn_list &v) { return v.name.view(); }
    static int compare(key_type a, key_type b) { return plx_name_cmp_len_first(a, b); }
};

// ---------------------------------------------------------------------------------------------
// The db and its hooks

// Places where the processing of changes acts. Each hook is optional; an empty one does
// nothing.
struct plx_policy_hooks {
    // The direction of a policy changed: send a bind for every range of each of its VPN lists.
    std::function<void(policy &, policy_vpn_list &)> direction_changed;
    // A range was added to a VPN list: bind it for every bound user.
    std::function<void(vpn_list &, const vpn_range &)> vpn_range_added;
    // A range is about to be removed from a VPN list: unbind it for every bound user.
    std::function<void(vpn_list &, const vpn_range &)> vpn_range_removing;
    // A range was removed from a VPN list (it is gone from the list when this runs).
    std::function<void(vpn_list &)> vpn_range_removed;
    // A VPN instance was created or modified: announce again the bindings that cover it.
    std::function<void(uint64_t vpn_id)> vpn_configured;
    // A policy VPN list is about to be deleted: destroy its rule table, unbind it when bound
    // and release its program (the handles must be cleared).
    std::function<void(policy &, policy_vpn_list &)> vpn_list_releasing;
    // An access list uses a changed object: set its changed flag.
    std::function<void(plx_access_list *)> access_list_changed;
    // A policer's parameters changed: refresh its instances in the placed programs.
    std::function<void(policer &)> policer_modified;
    // A device prefix list (pfx true) or app list changed: mark the access lists whose rules
    // name it, including those that expanded nothing from it while it was empty.
    std::function<void(bool pfx, std::string_view name)> access_list_list_changed;
    // A policer was deleted while an access list still held an instance of it (the same change
    // set drops the police action): the instance is unlinked from the policer; mark its list.
    std::function<void(policer_instance &)> access_list_instance_orphaned;
};

// DPI application (PLX_APP_LIST_KIND_APP) or family (_FAMILY) id of a name; 0 when not
// supported.
using plx_app_id_resolver = std::function<uint32_t(std::string_view name, uint32_t kind)>;

// The policy databases; one per daemon, held by the daemon context.
struct plx_policy_db {
    plx_policy_db() = default;
    plx_policy_db(const plx_policy_db &) = delete;
    plx_policy_db &operator=(const plx_policy_db &) = delete;
    ~plx_policy_db();

    // Members are destroyed in reverse order: users before the objects they link.
    plx_class_db classes;                                                // "Class Database"
    avl_tree<sla_class, &sla_class::link, sla_class_order> sla_classes;  // "SLA Class ..."
    uint8_t sla_id_map = 0;                                              // bit i: id i used
    avl_tree<tloc, &tloc::link, tloc_order> tlocs;                       // "TLOC Database"
    avl_tree<vpn_list, &vpn_list::link, vpn_list_order> vpn_lists;       // "VPN List ..."
    avl_tree<pfx_list, &pfx_list::link, pfx_list_order> pfx_lists;       // "Prefix List ..."
    avl_tree<app_list, &app_list::link, app_list_order> app_lists;       // "APP-List ..."
    avl_tree<mirror, &mirror::link, mirror_order> mirrors;               // "Mirror ..."
    avl_tree<tloc_list, &tloc_list::link, tloc_list_order> tloc_lists;   // "TLOC List ..."
    avl_tree<policy, &policy::link, policy_order> policies;              // "Policy ..."
    avl_tree<policer, &policer::link, policer_order> policers;           // "Policer ..."

    // Counters read by application recognition.
    uint32_t app_visibility = 0;
    uint32_t dpi_ref_count = 0;  // "Policy DPI Reference"
    uint32_t flow_visibility = 0;
    uint32_t flow_ref_count = 0;  // "Policy Flow Reference"
    // Logged sequences log one packet in this many (a power of two; the configured default
    // 1000 gives 512). Also written to the forwarding plane's filter log area when attached.
    uint32_t log_frequency = 512;

    plx_policy_hooks hooks;
    plx_app_id_resolver resolve_app_id;
};

}  // namespace plx::cfg
