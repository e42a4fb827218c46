// The access-list model.
//
// Sequence actions by the configuration tag that creates them:
//   base action (0x369ffb7), count (0xac83abe, the list's counter reference), police
//   (0x58e2217b, an instance of the device policer held by the list), mirror (0x65975b28, a user
//   record in the mirror), set fc (0x10f34729), set dscp (0x42a50984), set traffic class
//   (0x63457662), log (0x4ca57cf4), set next hop (0x70a1c5a8).
#include "acl/plx_intf_config.h"

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "fplink/plx_fibd.h"

using namespace plx::cfg;

namespace {

constexpr uint32_t TAG_BASE_ACTION = 0x369ffb7;
constexpr uint32_t TAG_COUNT = 0xac83abe;
constexpr uint32_t TAG_POLICER = 0x58e2217b;
constexpr uint32_t TAG_MIRROR = 0x65975b28;
constexpr uint32_t TAG_CLASS = 0x10f34729;
constexpr uint32_t TAG_DSCP = 0x42a50984;
constexpr uint32_t TAG_TRAFFIC_CLASS = 0x63457662;
constexpr uint32_t TAG_LOG = 0x4ca57cf4;
constexpr uint32_t TAG_NEXT_HOP = 0x70a1c5a8;

bool valid_family(uint32_t f) {
    return f == PLX_ACL_FAMILY_IPV4 || f == PLX_ACL_FAMILY_IPV6;
}

void mark(plx_access_list *l) {
    if (l)
        l->changed = 1;
}

// The second owner name of a policer instance tells the two families' lists of one name apart.
std::string_view family_tag(uint32_t family) {
    return family == PLX_ACL_FAMILY_IPV6 ? "ipv6" : "";
}

// Drops what the list holds for one action beyond the policy model's own references.
void acl_action_release(plx_acl_model *m, plx_access_list &l, rule &r, config_action &a) {
    switch (a.action_type) {
        case PLX_ACTION_COUNT:
            if (counter_ctx *c = l.counters.find(a.counter_name.view())) {
                PLX_ASSERT(c->ref_count > 0);
                if (--c->ref_count == 0)
                    l.counters.erase(*c);
            }
            break;
        case PLX_ACTION_POLICE:
            if (policer_instance *i = l.policers.find({r.seq_id, a.police.name.view()})) {
                // The policer may be gone already; its deletion unlinked the instance.
                if (policer *p = plx_config_policer_find(m->db, a.police.name.view(),
                                                         PLX_POLICER_OWNER_LOCAL))
                    if (p->instances.find(plx::cfg::policer_instance_policer_order::key(*i)) == i)
                        p->instances.remove(*i);
                l.policers.erase(*i);
            }
            break;
        default:
            break;
    }
}

void rule_drop_all(plx_acl_model *m, plx_access_list &l, rule &r) {
    for (config_action &a : r.actions)
        acl_action_release(m, l, r, a);
    plx_config_rule_release(m->db, r);
}

void list_free_contents(plx_acl_model *m, plx_access_list &l) {
    l.rules.walk([&](rule &r) {
        rule_drop_all(m, l, r);
        l.rule_tree.remove(r);
        l.rules.erase(r);
    });
    l.bindings.destroy_all();
    l.counters.destroy_all();
}

// A message fibd cannot take now (not connected) is dropped: the operation still succeeds and
// fibd gets every binding again when it connects.
int send_message(plx_acl_model *m, const fib_acl_msg &msg) {
    if (m->send) {
        std::vector<uint8_t> wire;
        if (int err = fib_msg_encode(msg, wire))
            return err;
        return m->send(wire);
    }
    if (!m->ctx || !m->ctx->fibd_msgq)
        return 0;
    int rc = plx_fibd_send(m->ctx, msg);
    return rc == PLX_ENOMEM || rc == PLX_EINVAL ? rc : 0;
}

}  // namespace

plx_acl_model::~plx_acl_model() {
    plx_acl_model_teardown(this);
}

int plx_acl_model_init(plx_acl_model *m, plx_policy_db *db) {
    if (!m || !db)
        return PLX_EBADMSG;
    m->db = db;
    db->hooks.access_list_changed = [](plx_access_list *l) { mark(l); };
    db->hooks.access_list_list_changed = [m](bool pfx, std::string_view name) {
        for (auto &tree : m->lists)
            for (plx_access_list &l : tree)
                for (const rule &r : l.rules)
                    for (const rule_list_ref &ref : r.list_refs)
                        if ((ref.origin_type == PLX_MATCH_SRC_PFX_LIST ||
                             ref.origin_type == PLX_MATCH_DST_PFX_LIST) == pfx &&
                            ref.name.view() == name)
                            mark(&l);
    };
    db->hooks.access_list_instance_orphaned = [m](policer_instance &i) {
        for (auto &tree : m->lists)
            if (plx_access_list *l = tree.find(i.owner_name.view()))
                if (l->policers.find({i.seq_id, i.policer_name.view()}) == &i)
                    mark(l);
    };
    return PLX_OK;
}

void plx_acl_model_teardown(plx_acl_model *m) {
    if (!m || !m->db)
        return;
    for (auto &tree : m->lists)
        tree.walk([&](plx_access_list &l) {
            list_free_contents(m, l);
            tree.erase(l);
        });
    m->db->hooks.access_list_changed = nullptr;
    m->db->hooks.access_list_instance_orphaned = nullptr;
    m->db->hooks.access_list_list_changed = nullptr;
    m->db = nullptr;
}

int plx_acl_init(plx_ctx *ctx) {
    if (!ctx || !ctx->policy)
        return PLX_EBADMSG;
    static plx_acl_model model;  // lives as long as the process, like the context
    if (!ctx->acl)
        ctx->acl = &model;
    ctx->acl->ctx = ctx;
    return plx_acl_model_init(ctx->acl, ctx->policy);
}

void plx_acl_teardown(plx_ctx *ctx) {
    if (ctx && ctx->acl)
        plx_acl_model_teardown(ctx->acl);
}

// ---------------------------------------------------------------------------------------------
// Lists

plx_access_list *plx_intf_config_acl_find(plx_acl_model *m, std::string_view name,
                                          uint32_t family) {
    if (!m || !valid_family(family))
        return nullptr;
    return m->lists[family].find(plx_name_cut(name));
}

int plx_intf_config_acl_add(plx_acl_model *m, std::string_view name, uint32_t family,
                            uint32_t default_action) {
    if (!m || !m->db || name.empty())
        return PLX_EBADMSG;
    if (!valid_family(family))
        return PLX_EINVAL;
    auto &tree = m->lists[family];
    if (tree.find(plx_name_cut(name)))
        return PLX_EEXIST;
    auto l = std::make_unique<plx_access_list>();
    l->name.assign(name);
    l->family = family;
    l->default_action = default_action;
    l->is_new = 1;
    tree.insert(std::move(l));
    return PLX_OK;
}

int plx_intf_config_acl_modify(plx_acl_model *m, std::string_view name, uint32_t family,
                               uint32_t default_action) {
    plx_access_list *l = plx_intf_config_acl_find(m, name, family);
    if (!l)
        return PLX_ENOENT;
    l->default_action = default_action;
    mark(l);
    return PLX_OK;
}

int plx_intf_config_acl_delete(plx_acl_model *m, std::string_view name, uint32_t family) {
    plx_access_list *l = plx_intf_config_acl_find(m, name, family);
    if (!l)
        return PLX_ENOENT;
    if (!l->bindings.empty())
        if (int err = plx_intf_config_send_bindings(m, *l, PLX_ACL_MSG_UNBIND))
            return err;
    // The compiled state belongs to the processing, which hands programs to delayed release.
    if (m->releasing)
        m->releasing(*l);
    l->p_rule_table = nullptr;
    l->p_program = nullptr;
    list_free_contents(m, *l);
    m->lists[family].erase(*l);
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Sequences

rule *plx_intf_config_rule_find(plx_acl_model *m, std::string_view name, uint32_t family,
                                uint32_t seq) {
    plx_access_list *l = plx_intf_config_acl_find(m, name, family);
    return l ? l->rule_tree.find(seq) : nullptr;
}

int plx_intf_config_rule_add(plx_acl_model *m, std::string_view name, uint32_t family, uint32_t seq,
                             rule **out) {
    plx_access_list *l = plx_intf_config_acl_find(m, name, family);
    if (!l)
        return PLX_ENOENT;
    if (l->rule_tree.find(seq))
        return PLX_EEXIST;
    auto nr = std::make_unique<rule>();
    nr->seq_id = seq;
    nr->p_acl = l;
    nr->acl_name = l->name;
    nr->acl_family = family;
    rule *next = l->rule_tree.find_next(seq);
    rule *r = l->rules.insert_before(next, std::move(nr));
    l->rule_tree.insert(*r);
    mark(l);
    if (int err = plx_config_match_add(m->db, r, PLX_MATCH_ANY, match_value{}))
        PLX_LOG("Failed to add match any rule (%s, %d) err(%d)\n", l->name.c_str(), seq, err);
    if (out)
        *out = r;
    return PLX_OK;
}

int plx_intf_config_rule_delete(plx_acl_model *m, std::string_view name, uint32_t family,
                                uint32_t seq) {
    plx_access_list *l = plx_intf_config_acl_find(m, name, family);
    rule *r = l ? l->rule_tree.find(seq) : nullptr;
    if (!r)
        return PLX_ENOENT;
    rule_drop_all(m, *l, *r);
    l->rule_tree.remove(*r);
    l->rules.erase(*r);
    mark(l);
    return PLX_OK;
}

int plx_intf_config_rule_reset(plx_acl_model *m, rule &r) {
    plx_access_list *l = r.p_acl;
    PLX_ASSERT(l != nullptr);
    rule_drop_all(m, *l, r);
    mark(l);
    return plx_config_match_add(m->db, &r, PLX_MATCH_ANY, match_value{});
}

// ---------------------------------------------------------------------------------------------
// Actions

int plx_intf_config_action_add(plx_acl_model *m, rule &r, uint32_t tag, const action_value &v) {
    plx_access_list *l = r.p_acl;
    PLX_ASSERT(l != nullptr);
    action_value a = v;
    switch (tag) {
        case TAG_BASE_ACTION:
            a.action_type = PLX_ACTION_BASE;
            break;
        case TAG_COUNT: {
            a.action_type = PLX_ACTION_COUNT;
            if (counter_ctx *c = l->counters.find(plx_name_cut(v.name))) {
                ++c->ref_count;
            } else {
                auto nc = std::make_unique<counter_ctx>();
                nc->name.assign(v.name);
                nc->ref_count = 1;
                l->counters.insert(std::move(nc));
            }
            break;
        }
        case TAG_POLICER: {
            policer *p = plx_config_policer_find(m->db, v.name, PLX_POLICER_OWNER_LOCAL);
            if (!p)
                return PLX_EINVAL;
            if (l->policers.find({r.seq_id, p->name.view()}))
                return PLX_EEXIST;
            auto inst = std::make_unique<policer_instance>();
            inst->policer_name = p->name;
            inst->policer_owner_type = p->owner_type;
            inst->seq_id = r.seq_id;
            inst->instance_name = l->name;
            inst->owner_kind = PLX_OWNER_KIND_ACL;
            inst->owner_name = l->name;
            inst->owner_name2.assign(family_tag(l->family));
            if (p->instances.find(policer_instance_policer_order::key(*inst)))
                return PLX_EEXIST;
            auto act = std::make_unique<config_action>();
            act->action_type = PLX_ACTION_POLICE;
            act->source_tag = tag;
            act->police.name = p->name;
            act->police.owner_type = p->owner_type;
            act->police.params = p->params;
            act->police.instance_name = inst->instance_name;
            act->police.seq_id = r.seq_id;
            p->instances.insert(*l->policers.insert(std::move(inst)));
            r.actions.push_back(std::move(act));
            mark(l);
            return PLX_OK;
        }
        case TAG_MIRROR:
            a.action_type = PLX_ACTION_MIRROR;
            break;
        case TAG_CLASS:
            if (!plx_class_find(m->db, v.name))
                return PLX_ENOENT;
            a.action_type = PLX_ACTION_SET_FC;
            break;
        case TAG_DSCP:
            a.action_type = PLX_ACTION_SET_DSCP;
            break;
        case TAG_TRAFFIC_CLASS:
            a.action_type = PLX_ACTION_SET_TRAFFIC_CLASS;
            break;
        case TAG_LOG:
            a.action_type = PLX_ACTION_LOG;
            break;
        case TAG_NEXT_HOP:
            a.action_type = PLX_ACTION_SET_NEXT_HOP;
            break;
        default:
            PLX_ASSERT(0);
            return PLX_EINVAL;
    }
    int err = plx_config_rule_action_add(m->db, &r, tag, a);
    if (err && a.action_type == PLX_ACTION_COUNT)
        if (counter_ctx *c = l->counters.find(plx_name_cut(v.name)); c && --c->ref_count == 0)
            l->counters.erase(*c);
    return err;
}

int plx_intf_config_action_delete(plx_acl_model *m, rule &r, uint32_t tag) {
    plx_access_list *l = r.p_acl;
    PLX_ASSERT(l != nullptr);
    for (config_action &a : r.actions) {
        if (a.source_tag != tag)
            continue;
        acl_action_release(m, *l, r, a);
        plx_config_rule_action_delete(m->db, &r, &a);
        mark(l);
        return PLX_OK;
    }
    return PLX_ENOENT;
}

// ---------------------------------------------------------------------------------------------
// Bindings

int plx_intf_config_send_bindings(plx_acl_model *m, const plx_access_list &l, uint8_t msg_type,
                                  std::span<const plx_acl_binding *const> only) {
    std::vector<const plx_acl_binding *> list(only.begin(), only.end());
    if (list.empty())
        for (const plx_acl_binding &b : l.bindings)
            list.push_back(&b);
    if (list.empty())
        return PLX_OK;
    fib_acl_msg msg;
    msg.type = msg_type;
    msg.family = static_cast<uint8_t>(l.family);
    msg.filter_id = l.filter_id;
    msg.name = l.name.view();
    for (const plx_acl_binding *b : list) {
        if (b->intf.view().size() > PLX_ACL_INTF_LEN - 1)
            return PLX_EINVAL;
        msg.bindings.push_back(
            {static_cast<uint32_t>(b->vpn), b->direction, std::string(b->intf.view())});
    }
    return send_message(m, msg);
}

int plx_intf_config_bind(plx_acl_model *m, std::string_view name, uint32_t family,
                         std::string_view intf, uint8_t direction, uint64_t vpn) {
    plx_access_list *l = plx_intf_config_acl_find(m, name, family);
    if (!l) {
        std::string n(name);
        PLX_LOG("Failed to bind acl: %s", n.c_str());
        return PLX_ENOENT;
    }
    if (intf.size() > PLX_ACL_INTF_LEN - 1)
        return PLX_EINVAL;
    if (l->bindings.find({intf, direction}))
        return PLX_EEXIST;
    auto b = std::make_unique<plx_acl_binding>();
    b->intf.assign(intf);
    b->direction = direction;
    b->vpn = vpn;
    const plx_acl_binding *one[] = {b.get()};
    if (int err = plx_intf_config_send_bindings(m, *l, PLX_ACL_MSG_BIND, one))
        return err;
    l->bindings.insert(std::move(b));
    return PLX_OK;
}

int plx_intf_config_unbind(plx_acl_model *m, std::string_view name, uint32_t family,
                           std::string_view intf, uint8_t direction) {
    plx_access_list *l = plx_intf_config_acl_find(m, name, family);
    if (!l)
        return PLX_OK;
    plx_acl_binding *b = l->bindings.find({intf, direction});
    if (!b)
        return PLX_ENOENT;
    const plx_acl_binding *one[] = {b};
    if (int err = plx_intf_config_send_bindings(m, *l, PLX_ACL_MSG_UNBIND, one))
        return err;
    l->bindings.erase(*b);
    return PLX_OK;
}

void plx_intf_config_intf_removed(plx_acl_model *m, std::string_view intf) {
    for (auto &tree : m->lists)
        for (plx_access_list &l : tree)
            for (uint8_t dir : {PLX_ACL_DIR_IN, PLX_ACL_DIR_OUT})
                if (l.bindings.find({intf, dir}))
                    plx_intf_config_unbind(m, l.name.view(), l.family, intf, dir);
}

void plx_intf_config_vpn_removed(plx_acl_model *m, uint64_t vpn) {
    for (auto &tree : m->lists)
        for (plx_access_list &l : tree)
            l.bindings.walk([&](plx_acl_binding &b) {
                if (b.vpn == vpn) {
                    std::string intf(b.intf.view());
                    plx_intf_config_unbind(m, l.name.view(), l.family, intf, b.direction);
                }
            });
}

void plx_intf_config_refresh(plx_acl_model *m, plx_access_list &l) {
    plx_policy_db *db = m->db;
    for (rule &r : l.rules) {
        std::vector<rule_list_ref> refs = r.list_refs;
        for (uint32_t t : {PLX_MATCH_SRC_PFX_LIST, PLX_MATCH_DST_PFX_LIST, PLX_MATCH_APP_LIST,
                           PLX_MATCH_DNS_APP_LIST})
            plx_config_match_delete_by_type(db, &r, t);
        for (const rule_list_ref &ref : refs) {
            bool exists = ref.origin_type == PLX_MATCH_SRC_PFX_LIST ||
                                  ref.origin_type == PLX_MATCH_DST_PFX_LIST
                              ? plx_config_pfx_list_find(db, ref.name.view(),
                                                         PLX_POLICY_PFX_LIST_TYPE_LOCAL) != nullptr
                              : plx_config_app_list_find(db, ref.name.view(),
                                                         PLX_APP_LIST_LOC_LOCAL) != nullptr;
            if (exists)
                plx_config_match_add(db, &r, ref.origin_type, match_value::named(ref.name.view()));
        }
        for (config_action &a : r.actions) {
            if (a.action_type == PLX_ACTION_MIRROR) {
                if (mirror *mi = plx_config_mirror_find(db, a.mirror.name.view()))
                    a.mirror = mi->data;
            } else if (a.action_type == PLX_ACTION_POLICE) {
                // A policer changed since the copy was taken reaches the new program.
                if (policer *p =
                        plx_config_policer_find(db, a.police.name.view(), a.police.owner_type))
                    a.police.params = p->params;
            } else if (a.action_type == PLX_ACTION_SET_FC) {
                plx_fwd_class *c = plx_class_find(db, a.fc.name.view());
                a.fc.class_id = c ? c->class_id : 0;
                a.fc.unresolved = c ? 0 : 1;
            }
        }
    }
}

void plx_acl_walk_marked(plx_acl_model *m, const std::function<void(plx_access_list &)> &fn) {
    for (auto &tree : m->lists)
        for (plx_access_list &l : tree) {
            if (!l.is_new && !l.changed)
                continue;
            if (fn)
                fn(l);
            l.is_new = 0;
            l.changed = 0;
        }
}
