// Forwarding classes: a name for a number that the forwarding plane uses to pick an output
// queue. Data policies and access lists name a class in their "set fc" action.
//
// The db is a name-ordered tree (strncmp over 33 characters) and a pool of 72 ids. The daemon
// creates `__control_fc` at start; it normally holds id 0.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/avl/plx_avl.h"
#include "policy/plx_name.h"

namespace plx::cfg {

struct plx_policy_db;

inline constexpr uint32_t PLX_CLASS_MAX = 72;  // ids 0..71
inline constexpr uint32_t PLX_CLASS_POOL_BYTES = 9;
inline constexpr std::string_view PLX_CONTROL_FC_NAME = "__control_fc";

struct plx_fwd_class {
    avl_link link;
    plx_short_name name;  // key
    uint32_t class_id = 0;
    uint32_t queue = 0;   // an 8-bit value from the configuration, 0 when absent
    uint32_t ignore = 0;  // always 0; shown by the dump
};

struct plx_fwd_class_order {
    using key_type = std::string_view;
    static key_type key(const plx_fwd_class &c) { return c.name.view(); }
    static int compare(key_type a, key_type b) {
        // strncmp over 33 characters: names hold no NUL, so a prefix sorts first.
        return plx_name_cmp(a.substr(0, PLX_SHORT_NAME_LEN), b.substr(0, PLX_SHORT_NAME_LEN));
    }
};

struct plx_class_db {
    avl_tree<plx_fwd_class, &plx_fwd_class::link, plx_fwd_class_order> classes;
    uint8_t id_pool[PLX_CLASS_POOL_BYTES] = {};  // bit i set while id i is in use
};

// A class as the configuration gives it.
struct plx_class_cfg {
    std::string_view name;
    uint32_t queue = 0;
};

// Start-up step: empties the db and its pool, then adds `__control_fc` with queue 0.
// PLX_OK, or PLX_EBADMSG without a context.
int plx_control_fc_init(plx_policy_db *db);
// Removes and frees every class. PLX_OK, or PLX_EBADMSG.
int plx_control_fc_teardown(plx_policy_db *db);

// PLX_OK; PLX_EBADMSG missing context or name; PLX_EINVAL name longer than 32 characters;
// PLX_EEXIST name exists; PLX_ENOMEM no free id or no memory.
// Takes the lowest free id, then marks the policies whose rules set this class.
int plx_class_add(plx_policy_db *db, const plx_class_cfg *cfg);
// Sets the queue of a class and marks its users. PLX_OK, PLX_EBADMSG, or PLX_ENOENT when the
// class does not exist.
int plx_class_modify(plx_policy_db *db, const plx_class_cfg *cfg);
// Removes the class, marks its users, frees its id. PLX_OK, PLX_EBADMSG or PLX_ENOENT.
int plx_class_delete(plx_policy_db *db, std::string_view name);
// Look-up over the first 32 characters of the name (the stored part).
plx_fwd_class *plx_class_find(plx_policy_db *db, std::string_view name);

// Marks every policy VPN list (and its policy) with a "set fc" action naming the class.
void plx_class_mark_users(plx_policy_db *db, std::string_view name);

}  // namespace plx::cfg
