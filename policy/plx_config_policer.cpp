// Policers.
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
// Policers

policer *plx_config_policer_find(plx_policy_db *db, std::string_view name, uint32_t owner_type) {
    return db ? db->policers.find({plx_name_cut(name), owner_type}) : nullptr;
}

int plx_config_policer_add(plx_policy_db *db, std::string_view name, uint32_t owner_type,
                           const policer_params &params) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    if (owner_type != PLX_POLICER_OWNER_LOCAL && owner_type != PLX_POLICER_OWNER_QCTRL)
        return PLX_EINVAL;
    return add_record(db->policers, {plx_name_cut(name), owner_type}, [&](policer &p) {
        p.name.assign(name);
        p.owner_type = owner_type;
        p.params = params;
    });
}

int plx_config_policer_update(plx_policy_db *db, std::string_view name, uint32_t owner_type,
                              const policer_params &params, uint32_t mask) {
    if (!db)
        return PLX_EBADMSG;
    policer *p = plx_config_policer_find(db, name, owner_type);
    if (!p)
        return PLX_ENOENT;
    if (mask & PLX_POLICER_RATE)
        p->params.rate = params.rate;
    if (mask & PLX_POLICER_BURST)
        p->params.burst = params.burst;
    if (mask & PLX_POLICER_EXCEED)
        p->params.exceed = params.exceed;
    if (db->hooks.policer_modified)
        db->hooks.policer_modified(*p);
    return PLX_OK;
}

int plx_config_policer_delete(plx_policy_db *db, std::string_view name, uint32_t owner_type) {
    if (!db)
        return PLX_EBADMSG;
    policer *p = plx_config_policer_find(db, name, owner_type);
    if (!p)
        return PLX_ENOENT;
    // Policies drop their police actions before the policer goes. Instances of access lists
    // stay with their lists, which are marked changed and drop them with the action.
    for (const policer_instance &i : p->instances)
        if (i.owner_kind != PLX_OWNER_KIND_ACL)
            return PLX_EINVAL;
    p->instances.walk([&](policer_instance &i) {
        p->instances.remove(i);
        if (db->hooks.access_list_instance_orphaned)
            db->hooks.access_list_instance_orphaned(i);
    });
    db->policers.erase(*p);
    return PLX_OK;
}

}  // namespace plx::cfg
