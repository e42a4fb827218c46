// Helpers shared by the policy model's source files (not part of its interface).
#pragma once

#include <memory>
#include <new>

#include "policy/plx_config.h"

namespace plx::cfg::detail {

// True when the injected allocation failure is due (plx_policy_fail_alloc_after).
bool alloc_should_fail();

// A zeroed model record, or nullptr when memory is short.
template <class T>
std::unique_ptr<T> make() {
    if (alloc_should_fail())
        return nullptr;
    return std::unique_ptr<T>(new (std::nothrow) T());
}

// The record of `tree` under `key`; when there is none, a new one, set up by fill(record&) before
// it joins the tree. `added` tells which. PLX_ENOMEM without memory (the tree is left as it was).
template <class Tree, class Fill>
int get_record(Tree &tree, const typename Tree::key_type &key, Fill &&fill,
               typename Tree::value_type *&out, bool &added) {
    typename Tree::where_type where;
    added = false;
    if ((out = tree.find(key, where)))
        return PLX_OK;
    auto rec = make<typename Tree::value_type>();
    if (!rec)
        return PLX_ENOMEM;
    fill(*rec);
    out = tree.insert(std::move(rec), where);
    added = true;
    return PLX_OK;
}

// Adds a new record under `key`, set up by fill(record&): PLX_EEXIST when the key is present,
// PLX_ENOMEM without memory. *out, when given, is the added record.
template <class Tree, class Fill>
int add_record(Tree &tree, const typename Tree::key_type &key, Fill &&fill,
               typename Tree::value_type **out = nullptr) {
    typename Tree::value_type *rec = nullptr;
    bool added = false;
    if (int err = get_record(tree, key, fill, rec, added))
        return err;
    if (!added)
        return PLX_EEXIST;
    if (out)
        *out = rec;
    return PLX_OK;
}

inline bool is_policy_type(uint32_t t) {
    return t == PLX_POLICY_TYPE_DATA || t == PLX_POLICY_TYPE_PFR;
}

// The policy VPN list that owns a user entry, or nullptr.
policy_vpn_list *find_pvl(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                          std::string_view vpn_list_name);

// Calls fn(policy&, policy_vpn_list&) for every policy VPN list in tree order.
template <class F>
void for_each_pvl(plx_policy_db *db, F &&fn) {
    for (policy &p : db->policies)
        for (policy_vpn_list &v : p.vpn_lists)
            fn(p, v);
}

// TLOC references between a rule and a TLOC (the TLOC is found or created unresolved).
int tloc_ref_acquire(plx_policy_db *db, rule &r, const tloc_key &key, tloc **out);
void tloc_ref_release(plx_policy_db *db, rule &r, tloc *t);

// The prefix-list type and app-list location that a rule's list matches refer to.
inline uint32_t rule_pfx_list_type(const rule &r) {
    return r.p_acl ? PLX_POLICY_PFX_LIST_TYPE_LOCAL : PLX_POLICY_PFX_LIST_TYPE_QCTRL;
}
inline uint32_t rule_app_list_location(const rule &r) {
    return r.p_acl ? PLX_APP_LIST_LOC_LOCAL : PLX_APP_LIST_LOC_QCTRL;
}

// Match types that name a list (prefix or app list) and those that name an app list.
bool is_list_type(uint32_t t);
bool is_app_list_type(uint32_t t);
// Removes a condition, dropping the prefix-list reference of an expanded one.
void match_erase(plx_policy_db *db, rule &r, match_cond &c);
// Drops the reference of an app-list condition.
void app_ref_release(plx_policy_db *db, rule &r, std::string_view list_name);

// Rewrites the SLA id of every SLA action of app-route policies naming the class.
void sla_class_propagate(plx_policy_db *db, std::string_view name, uint8_t id);

// Fills a TLOC-list action from the sequence's TLOC list, taking the TLOC references.
int tloc_list_action_load(plx_policy_db *db, rule &r, config_action &a);
void tloc_list_action_release(plx_policy_db *db, rule &r, config_action &a);

}  // namespace plx::cfg::detail
