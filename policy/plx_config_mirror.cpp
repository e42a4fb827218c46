// Mirrors.
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
// Mirrors

namespace {

void mirror_update_kind(mirror &m) {
    m.data.kind = (m.data.interfaces.empty() ? 0 : 1) | (m.data.remote_dests.empty() ? 0 : 2);
}

void mark_mirror_users(plx_policy_db *db, mirror &m) {
    for (mirror_user &u : m.users) {
        if (u.owner_kind == PLX_OWNER_KIND_POLICY) {
            if (policy_vpn_list *v =
                    find_pvl(db, PLX_POLICY_TYPE_DATA, u.owner_name.view(), u.vpn_list_name.view()))
                plx_config_mark_changed(*v);
        } else if (db->hooks.access_list_changed) {
            db->hooks.access_list_changed(u.p_acl);
        }
    }
}

bool same_addr(const plx_ip_addr &a, const plx_ip_addr &b) {
    return a.family == b.family && std::memcmp(a.addr, b.addr, sizeof a.addr) == 0;
}

// Finds or creates a mirror; `created` holds a new one until the caller commits it.
mirror *mirror_get(plx_policy_db *db, std::string_view name, std::unique_ptr<mirror> &created) {
    if (mirror *m = db->mirrors.find(plx_name_cut(name)))
        return m;
    if (!(created = make<mirror>()))
        return nullptr;
    created->data.name.assign(name);
    return created.get();
}

// Adds a member (an interface or a remote destination) to a mirror, creating the mirror when
// needed; a member that `same` finds already there is refused. The mirror's users are rebuilt.
template <class Member, class Same>
int member_add(plx_policy_db *db, std::string_view name, std::vector<Member> mirror_data::*list,
               Same same, Member member) {
    std::unique_ptr<mirror> created;
    mirror *m = mirror_get(db, name, created);
    if (!m)
        return PLX_ENOMEM;
    auto &members = m->data.*list;
    if (std::any_of(members.begin(), members.end(), same))
        return PLX_EEXIST;
    try {
        members.push_back(std::move(member));
    } catch (const std::bad_alloc &) {
        return PLX_ENOMEM;
    }
    if (created)
        db->mirrors.insert(std::move(created));
    mirror_update_kind(*m);
    mark_mirror_users(db, *m);
    return PLX_OK;
}

// Removes the member that `same` finds from a mirror; the programs that copied it are rebuilt.
template <class Member, class Same>
int member_delete(plx_policy_db *db, std::string_view name, std::vector<Member> mirror_data::*list,
                  Same same) {
    if (!db)
        return PLX_EBADMSG;
    mirror *m = plx_config_mirror_find(db, name);
    if (!m)
        return PLX_ENOENT;
    auto &members = m->data.*list;
    auto it = std::find_if(members.begin(), members.end(), same);
    if (it == members.end())
        return PLX_ENOENT;
    members.erase(it);
    mirror_update_kind(*m);
    mark_mirror_users(db, *m);
    return PLX_OK;
}

}  // namespace

mirror *plx_config_mirror_find(plx_policy_db *db, std::string_view name) {
    return db ? db->mirrors.find(plx_name_cut(name)) : nullptr;
}

int plx_config_mirror_add(plx_policy_db *db, std::string_view name) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    std::unique_ptr<mirror> created;
    if (!mirror_get(db, name, created))
        return PLX_ENOMEM;
    if (created)
        db->mirrors.insert(std::move(created));
    return PLX_OK;
}

int plx_config_mirror_delete(plx_policy_db *db, std::string_view name) {
    if (!db)
        return PLX_EBADMSG;
    mirror *m = plx_config_mirror_find(db, name);
    if (!m)
        return PLX_ENOENT;
    // Policies drop their mirror actions before the mirror goes; access lists that still use
    // it are marked changed and drop theirs with the same change set.
    for (const mirror_user &u : m->users)
        if (u.owner_kind != PLX_OWNER_KIND_ACL)
            return PLX_EINVAL;
    mark_mirror_users(db, *m);
    db->mirrors.erase(*m);
    return PLX_OK;
}

int plx_config_mirror_interface_add(plx_policy_db *db, std::string_view name,
                                    std::string_view intf) {
    if (!db || name.empty() || intf.empty())
        return PLX_EBADMSG;
    return member_add(
        db, name, &mirror_data::interfaces, [&](const plx_name &n) { return n == intf; },
        plx_name(intf));
}

int plx_config_mirror_interface_delete(plx_policy_db *db, std::string_view name,
                                       std::string_view intf) {
    return member_delete(db, name, &mirror_data::interfaces,
                         [&](const plx_name &n) { return n == intf; });
}

int plx_config_mirror_remote_dest_add(plx_policy_db *db, std::string_view name,
                                      const plx_ip_addr &dest, const plx_ip_addr &source) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    return member_add(
        db, name, &mirror_data::remote_dests,
        [&](const mirror_remote_dest &r) { return same_addr(r.destination, dest); },
        mirror_remote_dest{source, dest});
}

int plx_config_mirror_remote_dest_modify(plx_policy_db *db, std::string_view name,
                                         const plx_ip_addr &dest, const plx_ip_addr &source) {
    if (!db)
        return PLX_EBADMSG;
    mirror *m = plx_config_mirror_find(db, name);
    if (!m)
        return PLX_ENOENT;
    for (mirror_remote_dest &r : m->data.remote_dests)
        if (same_addr(r.destination, dest)) {
            if (!same_addr(r.source, source)) {
                r.source = source;
                mark_mirror_users(db, *m);
            }
            return PLX_OK;
        }
    return PLX_ENOENT;
}

int plx_config_mirror_remote_dest_delete(plx_policy_db *db, std::string_view name,
                                         const plx_ip_addr &dest) {
    return member_delete(db, name, &mirror_data::remote_dests, [&](const mirror_remote_dest &r) {
        return same_addr(r.destination, dest);
    });
}

}  // namespace plx::cfg
