// Forwarding classes: the name-ordered db, the 72-id pool and the marking of users.
#include "policy/plx_class.h"

#include "common/plx_log.h"
#include "common/plx_status.h"
#include "policy/plx_config.h"
#include "policy/plx_config_int.h"

namespace plx::cfg {

namespace {

// Lowest free id: the first pool byte that is not full, then its lowest clear bit.
int take_lowest_id(plx_class_db &db) {
    for (uint32_t byte = 0; byte < PLX_CLASS_POOL_BYTES; ++byte) {
        if (db.id_pool[byte] == 0xFF)
            continue;
        for (uint32_t bit = 0; bit < 8; ++bit)
            if (!(db.id_pool[byte] & (1u << bit))) {
                db.id_pool[byte] |= static_cast<uint8_t>(1u << bit);
                return static_cast<int>(byte * 8 + bit);
            }
    }
    return -1;
}

void release_id(plx_class_db &db, uint32_t id) {
    PLX_ASSERT(id < PLX_CLASS_MAX);
    db.id_pool[id / 8] &= static_cast<uint8_t>(~(1u << (id % 8)));
}

}  // namespace

int plx_control_fc_init(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    plx_control_fc_teardown(db);
    plx_class_cfg control{PLX_CONTROL_FC_NAME, 0};
    plx_class_add(db, &control);
    return PLX_OK;
}

int plx_control_fc_teardown(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    db->classes.classes.destroy_all();
    std::fill(std::begin(db->classes.id_pool), std::end(db->classes.id_pool), 0);
    return PLX_OK;
}

plx_fwd_class *plx_class_find(plx_policy_db *db, std::string_view name) {
    return db ? db->classes.classes.find(name) : nullptr;
}

void plx_class_mark_users(plx_policy_db *db, std::string_view name) {
    name = plx_name_cut(name, PLX_SHORT_NAME_LEN);
    detail::for_each_pvl(db, [&](policy &, policy_vpn_list &v) {
        for (rule &r : v.rules)
            for (config_action &a : r.actions)
                if (a.action_type == PLX_ACTION_SET_FC && a.fc.name.view() == name) {
                    plx_config_mark_changed(v);
                    return;
                }
    });
}

int plx_class_add(plx_policy_db *db, const plx_class_cfg *cfg) {
    if (!db || !cfg || cfg->name.empty())
        return PLX_EBADMSG;
    if (cfg->name.size() >= PLX_SHORT_NAME_LEN)
        return PLX_EINVAL;
    plx_class_db &cdb = db->classes;
    decltype(cdb.classes)::where_type where;
    if (cdb.classes.find(cfg->name, where))
        return PLX_EEXIST;
    auto c = detail::make<plx_fwd_class>();
    if (!c)
        return PLX_ENOMEM;
    int id = take_lowest_id(cdb);
    if (id < 0)
        return PLX_ENOMEM;
    c->name.assign(cfg->name);
    c->class_id = static_cast<uint32_t>(id);
    c->queue = cfg->queue;
    plx_fwd_class *added = cdb.classes.insert(std::move(c), where);
    PLX_TRACE(PLX_DEBUG_CONFIG, "Class %s id %u queue %u\n", added->name.c_str(), added->class_id,
              added->queue);
    plx_class_mark_users(db, added->name.view());
    return PLX_OK;
}

int plx_class_modify(plx_policy_db *db, const plx_class_cfg *cfg) {
    if (!db || !cfg || cfg->name.empty())
        return PLX_EBADMSG;
    plx_fwd_class *c = plx_class_find(db, cfg->name);
    if (!c)
        return PLX_ENOENT;
    c->queue = cfg->queue;
    plx_class_mark_users(db, c->name.view());
    return PLX_OK;
}

int plx_class_delete(plx_policy_db *db, std::string_view name) {
    if (!db || name.empty())
        return PLX_EBADMSG;
    plx_fwd_class *c = plx_class_find(db, name);
    if (!c)
        return PLX_ENOENT;
    std::unique_ptr<plx_fwd_class> gone = db->classes.classes.remove(*c);
    plx_class_mark_users(db, gone->name.view());
    release_id(db->classes, gone->class_id);
    return PLX_OK;
}

}  // namespace plx::cfg
