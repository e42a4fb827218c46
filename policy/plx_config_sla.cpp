// SLA classes.
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
// SLA classes

sla_class *plx_sla_class_find(plx_policy_db *db, std::string_view name) {
    return db ? db->sla_classes.find(plx_name_cut(name, PLX_SHORT_NAME_LEN)) : nullptr;
}

void detail::sla_class_propagate(plx_policy_db *db, std::string_view name, uint8_t id) {
    name = plx_name_cut(name, PLX_SHORT_NAME_LEN);
    for_each_pvl(db, [&](policy &p, policy_vpn_list &v) {
        if (p.type != PLX_POLICY_TYPE_PFR)
            return;
        auto names_it = [&](config_action &a) {
            return a.action_type == PLX_ACTION_SLA_CLASS && a.sla.name.view() == name;
        };
        bool hit = false;
        if (names_it(v.default_action)) {
            v.default_action.sla.id = id;
            hit = true;
        }
        for (rule &r : v.rules)
            for (config_action &a : r.actions)
                if (names_it(a)) {
                    a.sla.id = id;
                    hit = true;
                }
        if (hit)
            plx_config_mark_changed(v);
    });
}

int plx_sla_class_add(plx_policy_db *db, std::string_view name) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    decltype(db->sla_classes)::where_type where;
    if (db->sla_classes.find(plx_name_cut(name, PLX_SHORT_NAME_LEN), where))
        return PLX_EEXIST;
    if (db->sla_id_map == 0xFF)
        return PLX_ENOMEM;
    auto s = make<sla_class>();
    if (!s)
        return PLX_ENOMEM;
    uint8_t id = 0;
    while (db->sla_id_map & (1u << id))
        ++id;
    s->name.assign(name);
    s->id = id;
    db->sla_id_map |= static_cast<uint8_t>(1u << id);
    sla_class *added = db->sla_classes.insert(std::move(s), where);
    sla_class_propagate(db, added->name.view(), id);
    return PLX_OK;
}

int plx_sla_class_delete(plx_policy_db *db, std::string_view name) {
    if (!db)
        return PLX_EBADMSG;
    sla_class *s = plx_sla_class_find(db, name);
    if (!s)
        return PLX_ENOENT;
    std::unique_ptr<sla_class> gone = db->sla_classes.remove(*s);
    db->sla_id_map &= static_cast<uint8_t>(~(1u << gone->id));
    // The actions keep the id; their users are rebuilt, which sets rule SLA actions to 0.
    sla_class_propagate(db, gone->name.view(), gone->id);
    return PLX_OK;
}

int plx_sla_class_init(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    plx_sla_class_teardown(db);
    if (int err = plx_sla_class_add(db, PLX_SLA_ALL_TUNNELS))
        PLX_LOG("Failed to add 'all tunnels' sla class, err(%d)\n", err);
    return PLX_OK;
}

int plx_sla_class_teardown(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    db->sla_classes.destroy_all();
    db->sla_id_map = 0;
    return PLX_OK;
}

}  // namespace plx::cfg
