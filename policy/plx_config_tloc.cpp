// TLOCs and the preferred-TLOC lists of data-policy sequences.
#include "policy/plx_config.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "policy/plx_config_int.h"

namespace plx::cfg {

using namespace detail;

// ---------------------------------------------------------------------------------------------
// TLOCs

tloc *plx_config_tloc_find(plx_policy_db *db, const tloc_key &key) {
    return db ? db->tlocs.find(&key) : nullptr;
}

int plx_config_tloc_get(plx_policy_db *db, const tloc_key &key, uint8_t resolved, tloc **out) {
    if (!db || !out)
        return PLX_EBADMSG;
    bool added;
    auto fill = [&](tloc &t) {
        t.key = key;
        t.resolved = resolved;
    };
    return get_record(db->tlocs, &key, fill, *out, added);
}

int plx_config_tloc_delete(plx_policy_db *db, tloc *t) {
    if (!db || !t)
        return PLX_EBADMSG;
    if (!t->refs.empty())
        return PLX_EINVAL;
    db->tlocs.erase(*t);
    return PLX_OK;
}

void plx_config_tloc_mark_users(plx_policy_db *db, tloc *t) {
    if (!db || !t)
        return;
    for (tloc_ref &ref : t->refs)
        plx_config_mark_rule_owner(db, *ref.p_rule);
}

int detail::tloc_ref_acquire(plx_policy_db *db, rule &r, const tloc_key &key, tloc **out) {
    tloc *t = db->tlocs.find(&key);
    std::unique_ptr<tloc> created;
    if (!t) {
        // A TLOC named by a policy before the messaging daemon announced it: unresolved.
        if (!(created = make<tloc>()))
            return PLX_ENOMEM;
        created->key = key;
        t = created.get();
    }
    tloc_ref *in_tloc = t->refs.find(&r);
    tloc_ref *in_rule = r.tloc_refs.find(&t->key);
    std::unique_ptr<tloc_ref> new_in_tloc, new_in_rule;
    if (!in_tloc && !(new_in_tloc = make<tloc_ref>()))
        return PLX_ENOMEM;
    if (!in_rule && !(new_in_rule = make<tloc_ref>()))
        return PLX_ENOMEM;
    if (created)
        db->tlocs.insert(std::move(created));
    if (!in_tloc) {
        new_in_tloc->p_rule = &r;
        new_in_tloc->p_tloc = t;
        in_tloc = t->refs.insert(std::move(new_in_tloc));
    }
    if (!in_rule) {
        new_in_rule->p_rule = &r;
        new_in_rule->p_tloc = t;
        in_rule = r.tloc_refs.insert(std::move(new_in_rule));
    }
    ++in_tloc->count;
    ++in_rule->count;
    *out = t;
    return PLX_OK;
}

void detail::tloc_ref_release(plx_policy_db *db, rule &r, tloc *t) {
    tloc_ref *in_tloc = t->refs.find(&r);
    tloc_ref *in_rule = r.tloc_refs.find(&t->key);
    PLX_ASSERT(in_tloc != nullptr && in_tloc->count > 0);
    PLX_ASSERT(in_rule != nullptr && in_rule->count > 0);
    if (--in_tloc->count == 0)
        t->refs.erase(*in_tloc);
    if (--in_rule->count == 0)
        r.tloc_refs.erase(*in_rule);
    if (!t->resolved && t->refs.empty())
        db->tlocs.erase(*t);
}

// ---------------------------------------------------------------------------------------------
// TLOC lists

tloc_list *plx_config_tloc_list_find(plx_policy_db *db, uint16_t seq_id, uint32_t policy_type,
                                     std::string_view policy_name, std::string_view vpn_list_name) {
    if (!db)
        return nullptr;
    return db->tloc_lists.find(
        {seq_id, policy_type, plx_name_cut(policy_name), plx_name_cut(vpn_list_name)});
}

int plx_config_tloc_list_get(plx_policy_db *db, uint16_t seq_id, uint32_t policy_type,
                             std::string_view policy_name, std::string_view vpn_list_name,
                             tloc_list **out) {
    if (!db || !out)
        return PLX_EBADMSG;
    bool added;
    auto fill = [&](tloc_list &l) {
        l.seq_id = seq_id;
        l.policy_type = policy_type;
        l.policy_name.assign(policy_name);
        l.vpn_list_name.assign(vpn_list_name);
    };
    return get_record(db->tloc_lists,
                      {seq_id, policy_type, plx_name_cut(policy_name), plx_name_cut(vpn_list_name)},
                      fill, *out, added);
}

namespace {
// The rule whose TLOC-list action reads this list has to be rebuilt.
void mark_tloc_list_user(plx_policy_db *db, const tloc_list &l) {
    if (policy_vpn_list *v =
            find_pvl(db, l.policy_type, l.policy_name.view(), l.vpn_list_name.view()))
        plx_config_mark_changed(*v);
}

void tloc_pref_set(tloc_pref &e, const tloc_pref_value &v) {
    e.key = v.key;
    e.label = v.label;
    e.preference = v.preference;
}

}  // namespace

int plx_config_tloc_pref_add(plx_policy_db *db, tloc_list *l, uint32_t entry_index,
                             const tloc_pref_value &v) {
    if (!db || !l)
        return PLX_EBADMSG;
    auto fill = [&](tloc_pref &e) {
        e.entry_index = entry_index;
        tloc_pref_set(e, v);
    };
    if (int err = add_record(l->entries, entry_index, fill))
        return err;
    mark_tloc_list_user(db, *l);
    return PLX_OK;
}

int plx_config_tloc_pref_modify(plx_policy_db *db, tloc_list *l, uint32_t entry_index,
                                const tloc_pref_value &v) {
    if (!db || !l)
        return PLX_EBADMSG;
    tloc_pref *e = l->entries.find(entry_index);
    if (!e)
        return PLX_ENOENT;
    tloc_pref_set(*e, v);
    mark_tloc_list_user(db, *l);
    return PLX_OK;
}

int plx_config_tloc_pref_delete(plx_policy_db *db, tloc_list *l, uint32_t entry_index) {
    if (!db || !l)
        return PLX_EBADMSG;
    tloc_pref *e = l->entries.find(entry_index);
    if (!e)
        return PLX_ENOENT;
    l->entries.erase(*e);
    mark_tloc_list_user(db, *l);
    if (l->entries.empty())
        db->tloc_lists.erase(*l);
    return PLX_OK;
}

int detail::tloc_list_action_load(plx_policy_db *db, rule &r, config_action &a) {
    a.tloc_list.count = 0;
    a.tloc_list.entries = {};
    if (!r.p_vpn_list)
        return PLX_OK;
    policy &p = *r.p_vpn_list->p_policy;
    tloc_list *l = plx_config_tloc_list_find(db, static_cast<uint16_t>(r.seq_id), p.type,
                                             p.name.view(), r.p_vpn_list->name.view());
    if (!l)
        return PLX_OK;
    // The first 16 entries in entry-index order.
    for (tloc_pref &e : l->entries) {
        if (a.tloc_list.count == PLX_TLOC_LIST_MAX)
            break;
        tloc_list_action_entry &slot = a.tloc_list.entries[a.tloc_list.count];
        if (int err = tloc_ref_acquire(db, r, e.key, &slot.p_tloc)) {
            slot = {};
            tloc_list_action_release(db, r, a);
            return err;
        }
        slot.label = e.label;
        slot.preference = e.preference;
        ++a.tloc_list.count;
    }
    // Highest preference first; equal preferences keep entry-index order.
    std::stable_sort(a.tloc_list.entries.begin(), a.tloc_list.entries.begin() + a.tloc_list.count,
                     [](const tloc_list_action_entry &x, const tloc_list_action_entry &y) {
                         return x.preference > y.preference;
                     });
    return PLX_OK;
}

void detail::tloc_list_action_release(plx_policy_db *db, rule &r, config_action &a) {
    for (uint32_t i = 0; i < a.tloc_list.count; ++i)
        tloc_ref_release(db, r, a.tloc_list.entries[i].p_tloc);
    a.tloc_list.count = 0;
    a.tloc_list.entries = {};
}

}  // namespace plx::cfg
