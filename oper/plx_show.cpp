#include "oper/plx_show.h"

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/plx_log.h"
#include "daemon/plx_ctx.h"
#include "oper/plx_oper_acl.h"
#include "oper/plx_program_state.h"
#include "policy/plx_config.h"
#include "progmem/plx_if_fpmem.h"
#include "qconfd/qconfd_api.h"

using namespace plx::show;
using plx::oper::AclBindingRef;
using plx::oper::AclRef;
using plx::oper::AclSource;
namespace cfg = plx::cfg;

namespace {

// List (key) tags of the operational model.
constexpr uint32_t KEY_DATA_POLICY = 1764738034;
constexpr uint32_t KEY_APP_ROUTE_POLICY = 1691605320;
constexpr uint32_t KEY_DATA_VPN_LIST = 1577620800;
constexpr uint32_t KEY_APP_ROUTE_VPN_LIST = 429845002;
constexpr uint32_t KEY_DATA_COUNTER = 1907988605;
constexpr uint32_t KEY_APP_ROUTE_COUNTER = 240827249;
constexpr uint32_t KEY_DATA_POLICER = 1068432620;
constexpr uint32_t KEY_ACL_NAMES = 158998771;
constexpr uint32_t KEY_ACL_COUNTERS = 670333192;
constexpr uint32_t KEY_ACL_COUNTER = 576266824;
constexpr uint32_t KEY_ACL_POLICERS = 783392759;
constexpr uint32_t KEY_ACL_POLICER = 1030460970;
constexpr uint32_t KEY_ACL_INTERFACES = 721806143;
constexpr uint32_t KEY_ACL_BINDING = 494705638;

constexpr uint32_t policy_key(uint32_t type) {
    return type == cfg::PLX_POLICY_TYPE_DATA ? KEY_DATA_POLICY : KEY_APP_ROUTE_POLICY;
}
constexpr uint32_t vpn_list_key(uint32_t type) {
    return type == cfg::PLX_POLICY_TYPE_DATA ? KEY_DATA_VPN_LIST : KEY_APP_ROUTE_VPN_LIST;
}
constexpr uint32_t counter_key(uint32_t type) {
    return type == cfg::PLX_POLICY_TYPE_DATA ? KEY_DATA_COUNTER : KEY_APP_ROUTE_COUNTER;
}

// ---------------------------------------------------------------------------------------------
// Key paths and keys

// The keys of the entry of list `list_tag` in the key path (copies of the values; buffers stay
// the key path's). False, with a log line, when that entry does not carry `count` keys.
bool keypath_keys(const confd_hkeypath_t *kp, uint32_t list_tag, int count, confd_value_t *out) {
    const confd_value_t *keys = nullptr;
    for (int i = kp ? kp->len - 1 : 0; i > 0 && !keys; --i)
        if (kp->v[i][0].type == C_XMLTAG && kp->v[i][0].val.xmltag.tag == list_tag &&
            kp->v[i - 1][0].type != C_XMLTAG)
            keys = kp->v[i - 1];
    int found = 0;
    while (keys && found < MAXKEYLEN && keys[found].type != C_NOEXISTS)
        ++found;
    if (found != count) {
        PLX_LOG("Number of keys given (%d) != number of keys found (%d) !", count, found);
        return false;
    }
    for (int k = 0; k < count; ++k)
        out[k] = keys[k];
    return true;
}

// A name key as the model looks it up: at most 127 characters.
std::string buf_text(const confd_value_t &v) {
    std::string s(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.size);
    s = s.substr(0, s.find('\0'));
    return std::string(cfg::plx_name_cut(s));
}

// The one name key of list `list_tag`; nullopt when the key path lacks it.
#define PLX_NAME_KEY(kp, tag, var)                  \
    std::optional<std::string> var;                 \
    do {                                            \
        confd_value_t p_key_[1];                    \
        if (keypath_keys((kp), (tag), 1, p_key_)) { \
            confd_value_t *p_key = p_key_;          \
            PLX_ASSERT((p_key)->type == C_BUF);     \
            var = buf_text(*p_key);                 \
        }                                           \
    } while (0)

// A policer key "<index>.<name>" split into its parts; the index stays 0 when the text does not
// begin with a number.
std::pair<uint32_t, std::string> split_policer_key(const std::string &text) {
    int index = 0;
    int used = 0;
    if (sscanf(text.c_str(), "%d.%n", &index, &used) >= 1 && used > 0)
        return {static_cast<uint32_t>(index), text.substr(static_cast<size_t>(used))};
    return {0, text};
}

// Interface directions: the model's 1 (in) and 2 (out) are the enumeration's 0 and 1.
int32_t direction_enum(uint8_t dir) {
    return dir == 2 ? 1 : 0;
}
uint8_t direction_model(int32_t e) {
    return e == 0 ? 1 : (e == 1 ? 2 : 0);
}

// ---------------------------------------------------------------------------------------------
// The model behind a request

plx_ctx *daemon_of(confd_trans_ctx *tctx) {
    if (!tctx || !tctx->dx || !tctx->dx->d_opaque)
        return nullptr;
    return static_cast<plx_ctx *>(static_cast<QconfdContext *>(tctx->dx->d_opaque)->spec.app_ctx);
}
cfg::plx_policy_db *policy_db(confd_trans_ctx *tctx) {
    plx_ctx *ctx = daemon_of(tctx);
    return ctx ? ctx->policy : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Replies

class Reply {
  public:
    Reply(confd_trans_ctx *tctx, const char *fn) : tctx_(tctx), fn_(fn) {}

    void str(uint32_t tag, const std::string &s) {
        text_[nt_] = s;
        confd_value_t v;
        CONFD_SET_STR(&v, text_[nt_].c_str());
        ++nt_;
        add(tag, v);
    }
    void u64(uint32_t tag, uint64_t x) {
        confd_value_t v;
        CONFD_SET_UINT64(&v, x);
        add(tag, v);
    }
    void u32(uint32_t tag, uint32_t x) {
        confd_value_t v;
        CONFD_SET_UINT32(&v, x);
        add(tag, v);
    }
    void enumv(uint32_t tag, int32_t x) {
        confd_value_t v;
        CONFD_SET_ENUM_VALUE(&v, x);
        add(tag, v);
    }

    int object() { return check(confd_data_reply_tag_value_array(tctx_, tv_, n_)); }
    int next_object() {
        return check(confd_data_reply_next_object_tag_value_array(tctx_, tv_, n_, -1));
    }
    int not_found() { return check(confd_data_reply_not_found(tctx_)); }
    // End of list, for get-next-object.
    int end() {
        return check(confd_data_reply_next_object_tag_value_array(tctx_, nullptr, -1, -1));
    }
    // End of list, for find-next-object.
    int no_next() { return check(confd_data_reply_next_key(tctx_, nullptr, -1, -1)); }

  private:
    void add(uint32_t tag, const confd_value_t &v) {
        PLX_ASSERT(n_ < MAX_LEAVES);
        CONFD_SET_TAG_VALUE(&tv_[n_], tag, &v);
        ++n_;
    }
    int check(int rc) {
        if (rc != CONFD_OK)
            plx_log_line(fn_, __LINE__, "Failed to send oper data reply - %s (%d) : %s",
                         confd_strerror(confd_errno), confd_errno, confd_lasterr());
        return CONFD_OK;
    }

    static constexpr int MAX_LEAVES = 10;
    confd_trans_ctx *tctx_;
    const char *fn_;
    confd_tag_value_t tv_[MAX_LEAVES]{};
    std::string text_[MAX_LEAVES];
    int n_ = 0;
    int nt_ = 0;
};

// Which reply a walk step ends in.
enum class Step { Object, Next, Find };

int send(Reply &r, Step step) {
    return step == Step::Object ? r.object() : r.next_object();
}
int missing(Reply &r, Step step) {
    return step == Step::Object ? r.not_found() : (step == Step::Next ? r.end() : r.no_next());
}

// Statistics of a program's counters and policers: nullopt when the owner has no filter number,
// so that only the name is shown.
bool has_program(uint32_t filter_id) {
    return filter_id < plx_mem_num_filters();
}

void counter_leaves(Reply &r, const cfg::counter_ctx &c, uint32_t filter_id) {
    r.str(TAG_COUNTER_NAME, std::string(c.name.view()));
    if (!has_program(filter_id))
        return;
    uint64_t packets = 0, bytes = 0;
    if (const PolicyProgram *p = plx_mem_program(filter_id))
        plx_program_sum_counters(p, c.name.c_str(), &packets, &bytes);
    r.u64(TAG_PACKETS, packets);
    r.u64(TAG_BYTES, bytes);
}

std::string policer_text(const cfg::policer_instance &p) {
    return std::to_string(p.seq_id) + "." + std::string(p.policer_name.view());
}

void policer_leaves(Reply &r, const cfg::policer_instance &pi, uint32_t filter_id) {
    const std::string text = policer_text(pi);
    r.str(TAG_POLICER_NAME, text);
    if (!has_program(filter_id))
        return;
    uint64_t drops = 0, bytes = 0;
    if (const PolicyProgram *p = plx_mem_program(filter_id))
        plx_program_sum_policer_counters(p, text.c_str(), &drops, &bytes);
    r.u64(TAG_POLICER_DROPS, drops);
    r.u64(TAG_POLICER_BYTES, bytes);
}

// The entry a find-next-object asks for in a tree keyed by `key`: the entry itself when it
// exists and the request allows it, else the first entry after the key.
template <class Tree>
auto *find_from(Tree &tree, const typename Tree::key_type &key, confd_find_next_type type) {
    auto *e = tree.find(key);
    if (e && type == CONFD_FIND_SAME_OR_NEXT)
        return e;
    return tree.find_next(key);
}

// ---------------------------------------------------------------------------------------------
// Policies (rows 1, 4): the policy db holds both types, ordered by type first, so the policies of
// one type are one run of the tree.

cfg::policy *first_policy(cfg::plx_policy_db &db, uint32_t type) {
    cfg::policy *p = db.policies.lower_bound({type, std::string_view{}});
    return p && p->type == type ? p : nullptr;
}
cfg::policy *next_policy(cfg::plx_policy_db &db, const cfg::policy &p) {
    cfg::policy *n = db.policies.next(p);
    return n && n->type == p.type ? n : nullptr;
}

int policy_reply(Reply &r, Step step, const cfg::policy *p) {
    if (!p)
        return missing(r, step);
    r.str(TAG_NAME, std::string(p->name.view()));
    return send(r, step);
}

// The policy VPN list named by the key path (policy and VPN-list keys).
cfg::policy *kp_policy(cfg::plx_policy_db *db, const confd_hkeypath_t *kp, uint32_t type) {
    if (!db)
        return nullptr;
    PLX_NAME_KEY(kp, policy_key(type), name);
    return name ? cfg::plx_config_policy_find(db, type, *name) : nullptr;
}
cfg::policy_vpn_list *kp_vpn_list(cfg::plx_policy_db *db, const confd_hkeypath_t *kp,
                                  uint32_t type) {
    cfg::policy *p = kp_policy(db, kp, type);
    if (!p)
        return nullptr;
    PLX_NAME_KEY(kp, vpn_list_key(type), name);
    return name ? p->vpn_lists.find(*name) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Access lists

AclRef kp_acl(const confd_hkeypath_t *kp, uint32_t family, uint32_t list_tag) {
    AclSource *src = plx::oper::plx_oper_acl_source();
    if (!src)
        return {};
    PLX_NAME_KEY(kp, list_tag, name);
    return name ? src->find(family, *name) : AclRef{};
}

// The programming state of a policy VPN list or access list, after its name.
void state_leaves(Reply &r, const plx::oper::ProgramStatus &st) {
    r.enumv(TAG_PROGRAM_STATE, static_cast<int32_t>(st.state));
    if (!st.reason.empty())
        r.str(TAG_PROGRAM_REASON, st.reason);
    if (st.filter_id)
        r.u32(TAG_FILTER_ID, *st.filter_id);
    if (st.bytes)
        r.u32(TAG_PROGRAM_BYTES, *st.bytes);
    if (!st.bound_to.empty())
        r.str(TAG_BOUND_TO, st.bound_to);
    if (st.programmed_at_ms)
        r.str(TAG_LAST_PROGRAMMED, plx::oper::program_time_text(st.programmed_at_ms));
}

int vpn_list_reply(Reply &r, Step step, const cfg::plx_policy_db *db,
                   const cfg::policy_vpn_list *pvl) {
    if (!pvl)
        return missing(r, step);
    r.str(TAG_NAME, std::string(pvl->name.view()));
    state_leaves(r, plx::oper::policy_program_status(db, *pvl));
    return send(r, step);
}

// An access list; the names lists carry its programming state.
int acl_reply(Reply &r, Step step, const AclRef &acl, uint32_t list_tag) {
    if (!acl)
        return missing(r, step);
    r.str(TAG_NAME, std::string(acl.name));
    if (AclSource *src = plx::oper::plx_oper_acl_source(); src && list_tag == KEY_ACL_NAMES)
        state_leaves(r, plx::oper::acl_program_status(*src, acl));
    return send(r, step);
}

int binding_reply(Reply &r, Step step, const AclBindingRef &b) {
    if (!b)
        return missing(r, step);
    r.str(TAG_INTF_NAME, std::string(b.intf));
    r.enumv(TAG_INTF_DIRECTION, direction_enum(b.direction));
    return send(r, step);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Callbacks. Each family of lists has one body; the callpoints' own callbacks pass their policy
// type or access-list family and key tags.

#define PLX_FIND_NAME(keys, nkeys, var)    \
    std::string var;                       \
    if ((nkeys) > 0) {                     \
        PLX_ASSERT((keys)->type == C_BUF); \
        var = buf_text(*(keys));           \
    }

namespace {

// The counters and policers of a program's owner: a policy VPN list or an access list.
struct ProgramOwner {
    plx::oper::counter_tree *counters = nullptr;
    plx::oper::policer_tree *policers = nullptr;
    uint32_t filter_id = cfg::PLX_FILTER_ID_NONE;
    explicit operator bool() const { return counters != nullptr; }
};
ProgramOwner owner_of(cfg::policy_vpn_list *pvl) {
    return pvl ? ProgramOwner{&pvl->counters, &pvl->policers, pvl->filter_id} : ProgramOwner{};
}
ProgramOwner owner_of(const AclRef &acl) {
    return acl ? ProgramOwner{acl.counters, acl.policers, acl.filter_id} : ProgramOwner{};
}

// The counters or the policers of an owner: a counter is keyed by its name, a policer by
// "<sequence>.<policer>".
struct CounterRows {
    struct Key {
        std::string name;
        std::string_view get() const { return name; }
    };
    static Key parse(const std::string &text) { return {text}; }
    static plx::oper::counter_tree &tree(const ProgramOwner &o) { return *o.counters; }
    static void leaves(Reply &r, const cfg::counter_ctx &c, uint32_t filter_id) {
        counter_leaves(r, c, filter_id);
    }
};
struct PolicerRows {
    struct Key {
        uint32_t index;
        std::string name;
        plx::oper::policer_tree::key_type get() const { return {index, name}; }
    };
    static Key parse(const std::string &text) {
        auto [index, name] = split_policer_key(text);
        return {index, name};
    }
    static plx::oper::policer_tree &tree(const ProgramOwner &o) { return *o.policers; }
    static void leaves(Reply &r, const cfg::policer_instance &pi, uint32_t filter_id) {
        policer_leaves(r, pi, filter_id);
    }
};

// The rows of an owner, the entry's key under list `key_tag`.
template <class Rows>
int rows_get(Reply &r, const ProgramOwner &o, const confd_hkeypath_t *kp, uint32_t key_tag) {
    if (!o)
        return r.not_found();
    PLX_NAME_KEY(kp, key_tag, text);
    if (!text)
        return r.not_found();
    const auto *e = Rows::tree(o).find(Rows::parse(*text).get());
    if (!e)
        return r.not_found();
    Rows::leaves(r, *e, o.filter_id);
    return r.object();
}
template <class Rows>
int rows_next(Reply &r, const ProgramOwner &o, long next) {
    if (!o)
        return r.not_found();
    const auto *e = next == -1 ? Rows::tree(o).first() : nullptr;
    if (!e)
        return r.end();
    Rows::leaves(r, *e, o.filter_id);
    return r.next_object();
}
template <class Rows>
int rows_find(Reply &r, const ProgramOwner &o, confd_find_next_type ftype, confd_value_t *keys,
              int nkeys) {
    if (!o)
        return r.not_found();
    PLX_FIND_NAME(keys, nkeys, text);
    const typename Rows::Key key = Rows::parse(text);
    const auto *e = nkeys == 0 ? Rows::tree(o).first() : find_from(Rows::tree(o), key.get(), ftype);
    if (!e)
        return r.no_next();
    Rows::leaves(r, *e, o.filter_id);
    return r.next_object();
}

}  // namespace

int plx_policy_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, uint32_t type) {
    Reply r(tctx, __func__);
    return policy_reply(r, Step::Object, kp_policy(policy_db(tctx), kp, type));
}

int plx_policy_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *, long next,
                               uint32_t type) {
    Reply r(tctx, __func__);
    cfg::plx_policy_db *db = policy_db(tctx);
    return policy_reply(r, Step::Next, db && next == -1 ? first_policy(*db, type) : nullptr);
}

int plx_policy_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *,
                                confd_find_next_type ftype, confd_value_t *keys, int nkeys,
                                uint32_t type) {
    Reply r(tctx, __func__);
    cfg::plx_policy_db *db = policy_db(tctx);
    if (!db)
        return r.no_next();
    if (nkeys == 0)
        return policy_reply(r, Step::Find, first_policy(*db, type));
    PLX_FIND_NAME(keys, nkeys, name);
    // A policy that is gone ends the walk: its place among the policies is not known.
    cfg::policy *p = cfg::plx_config_policy_find(db, type, name);
    if (p && ftype != CONFD_FIND_SAME_OR_NEXT)
        p = next_policy(*db, *p);
    return policy_reply(r, Step::Find, p);
}

// VPN lists of a policy (rows 2, 5).
int plx_policy_vpnlist_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, uint32_t type) {
    Reply r(tctx, __func__);
    cfg::plx_policy_db *db = policy_db(tctx);
    return vpn_list_reply(r, Step::Object, db, kp_vpn_list(db, kp, type));
}

int plx_policy_vpnlist_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next,
                                       uint32_t type) {
    Reply r(tctx, __func__);
    cfg::plx_policy_db *db = policy_db(tctx);
    cfg::policy *p = kp_policy(db, kp, type);
    if (!p)
        return r.not_found();
    return vpn_list_reply(r, Step::Next, db, next == -1 ? p->vpn_lists.first() : nullptr);
}

int plx_policy_vpnlist_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp,
                                        confd_find_next_type ftype, confd_value_t *keys, int nkeys,
                                        uint32_t type) {
    Reply r(tctx, __func__);
    cfg::plx_policy_db *db = policy_db(tctx);
    cfg::policy *p = kp_policy(db, kp, type);
    if (!p)
        return r.not_found();
    PLX_FIND_NAME(keys, nkeys, name);
    cfg::policy_vpn_list *pvl =
        nkeys == 0 ? p->vpn_lists.first() : find_from(p->vpn_lists, name, ftype);
    return vpn_list_reply(r, Step::Find, db, pvl);
}

// Counters of a policy VPN list (rows 3, 6).
int plx_policy_counter_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, uint32_t type) {
    Reply r(tctx, __func__);
    return rows_get<CounterRows>(r, owner_of(kp_vpn_list(policy_db(tctx), kp, type)), kp,
                                 counter_key(type));
}

int plx_policy_counter_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next,
                                       uint32_t type) {
    Reply r(tctx, __func__);
    return rows_next<CounterRows>(r, owner_of(kp_vpn_list(policy_db(tctx), kp, type)), next);
}

int plx_policy_counter_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp,
                                        confd_find_next_type ftype, confd_value_t *keys, int nkeys,
                                        uint32_t type) {
    Reply r(tctx, __func__);
    return rows_find<CounterRows>(r, owner_of(kp_vpn_list(policy_db(tctx), kp, type)), ftype, keys,
                                  nkeys);
}

// Policers of a data policy's VPN list (row 7).
int plx_policy_policer_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp) {
    Reply r(tctx, __func__);
    return rows_get<PolicerRows>(
        r, owner_of(kp_vpn_list(policy_db(tctx), kp, cfg::PLX_POLICY_TYPE_DATA)), kp,
        KEY_DATA_POLICER);
}

int plx_policy_policer_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next) {
    Reply r(tctx, __func__);
    return rows_next<PolicerRows>(
        r, owner_of(kp_vpn_list(policy_db(tctx), kp, cfg::PLX_POLICY_TYPE_DATA)), next);
}

int plx_policy_policer_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp,
                                        confd_find_next_type ftype, confd_value_t *keys,
                                        int nkeys) {
    Reply r(tctx, __func__);
    return rows_find<PolicerRows>(
        r, owner_of(kp_vpn_list(policy_db(tctx), kp, cfg::PLX_POLICY_TYPE_DATA)), ftype, keys,
        nkeys);
}

// Access lists of a family (rows 8, 9, 11, 13 and 15, 16, 18, 20).
int plx_acl_list_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, uint32_t family,
                            uint32_t list_tag) {
    Reply r(tctx, __func__);
    return acl_reply(r, Step::Object, kp_acl(kp, family, list_tag), list_tag);
}

int plx_acl_list_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *, long next,
                                 uint32_t family, uint32_t list_tag) {
    Reply r(tctx, __func__);
    AclSource *src = plx::oper::plx_oper_acl_source();
    return acl_reply(r, Step::Next, src && next == -1 ? src->first(family) : AclRef{}, list_tag);
}

int plx_acl_list_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *,
                                  confd_find_next_type ftype, confd_value_t *keys, int nkeys,
                                  uint32_t family, uint32_t list_tag) {
    Reply r(tctx, __func__);
    AclSource *src = plx::oper::plx_oper_acl_source();
    if (!src)
        return r.no_next();
    PLX_FIND_NAME(keys, nkeys, name);
    AclRef acl;
    if (nkeys == 0)
        acl = src->first(family);
    else if (acl = src->find(family, name); !acl || ftype != CONFD_FIND_SAME_OR_NEXT)
        acl = src->find_next(family, name);
    return acl_reply(r, Step::Find, acl, list_tag);
}

// Counters (list_tag KEY_ACL_COUNTERS, rows 10, 17) or policers (KEY_ACL_POLICERS, rows 12, 19)
// of an access list.
int plx_acl_rows_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, uint32_t family,
                            uint32_t list_tag) {
    Reply r(tctx, __func__);
    const ProgramOwner o = owner_of(kp_acl(kp, family, list_tag));
    return list_tag == KEY_ACL_COUNTERS ? rows_get<CounterRows>(r, o, kp, KEY_ACL_COUNTER)
                                        : rows_get<PolicerRows>(r, o, kp, KEY_ACL_POLICER);
}

int plx_acl_rows_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next,
                                 uint32_t family, uint32_t list_tag) {
    Reply r(tctx, __func__);
    const ProgramOwner o = owner_of(kp_acl(kp, family, list_tag));
    return list_tag == KEY_ACL_COUNTERS ? rows_next<CounterRows>(r, o, next)
                                        : rows_next<PolicerRows>(r, o, next);
}

int plx_acl_rows_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp,
                                  confd_find_next_type ftype, confd_value_t *keys, int nkeys,
                                  uint32_t family, uint32_t list_tag) {
    Reply r(tctx, __func__);
    const ProgramOwner o = owner_of(kp_acl(kp, family, list_tag));
    return list_tag == KEY_ACL_COUNTERS ? rows_find<CounterRows>(r, o, ftype, keys, nkeys)
                                        : rows_find<PolicerRows>(r, o, ftype, keys, nkeys);
}

// Interface bindings of an access list (rows 14, 21).
int plx_acl_interface_get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, uint32_t family) {
    Reply r(tctx, __func__);
    AclSource *src = plx::oper::plx_oper_acl_source();
    AclRef acl = kp_acl(kp, family, KEY_ACL_INTERFACES);
    confd_value_t key_p[2];
    if (!acl || !keypath_keys(kp, KEY_ACL_BINDING, 2, key_p))
        return r.not_found();
    PLX_ASSERT((&key_p[0])->type == C_BUF);
    PLX_ASSERT((&key_p[1])->type == C_ENUM_VALUE);
    return binding_reply(
        r, Step::Object,
        src->binding_find(acl, buf_text(key_p[0]), direction_model(key_p[1].val.enumvalue)));
}

int plx_acl_interface_get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next,
                                      uint32_t family) {
    Reply r(tctx, __func__);
    AclSource *src = plx::oper::plx_oper_acl_source();
    AclRef acl = kp_acl(kp, family, KEY_ACL_INTERFACES);
    if (!acl)
        return r.not_found();
    return binding_reply(r, Step::Next, next == -1 ? src->binding_first(acl) : AclBindingRef{});
}

int plx_acl_interface_find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp,
                                       confd_find_next_type ftype, confd_value_t *keys_p, int nkeys,
                                       uint32_t family) {
    Reply r(tctx, __func__);
    AclSource *src = plx::oper::plx_oper_acl_source();
    AclRef acl = kp_acl(kp, family, KEY_ACL_INTERFACES);
    if (!acl)
        return r.not_found();
    if (nkeys == 0)
        return binding_reply(r, Step::Find, src->binding_first(acl));
    PLX_ASSERT((&keys_p[0])->type == C_BUF);
    uint8_t dir = 0;
    if (nkeys > 1) {
        PLX_ASSERT((&keys_p[1])->type == C_ENUM_VALUE);
        dir = direction_model(keys_p[1].val.enumvalue);
    }
    const std::string intf = buf_text(keys_p[0]);
    AclBindingRef b = src->binding_find(acl, intf, dir);
    if (!b || ftype != CONFD_FIND_SAME_OR_NEXT)
        b = src->binding_find_next(acl, intf, dir);
    return binding_reply(r, Step::Find, b);
}

// ---------------------------------------------------------------------------------------------
// The callpoints' own callbacks.

namespace {

using plx::oper::ACL_FAMILY_IPV4;
using plx::oper::ACL_FAMILY_IPV6;
constexpr uint32_t DATA = cfg::PLX_POLICY_TYPE_DATA;
constexpr uint32_t APP_ROUTE = cfg::PLX_POLICY_TYPE_PFR;

using get_fn = int (*)(confd_trans_ctx *, confd_hkeypath_t *);
using next_fn = int (*)(confd_trans_ctx *, confd_hkeypath_t *, long);
using find_fn = int (*)(confd_trans_ctx *, confd_hkeypath_t *, confd_find_next_type,
                        confd_value_t *, int);

struct Callpoint {
    const char *name;
    uint32_t list_tag;  // the tag of the list it serves, by which its keys are found
    get_fn get;
    next_fn next;
    find_fn find;
    bool interfaces;  // its registration failure names the access-list interfaces
};

// The three callbacks of a list family with its parameters bound: the family's value (policy
// type or address family) and any extra values go to each.
template <auto Get, auto Next, auto Find, uint32_t Param, uint32_t... Extra>
struct Bound {
    static int get(confd_trans_ctx *t, confd_hkeypath_t *kp) { return Get(t, kp, Param, Extra...); }
    static int next(confd_trans_ctx *t, confd_hkeypath_t *kp, long n) {
        return Next(t, kp, n, Param, Extra...);
    }
    static int find(confd_trans_ctx *t, confd_hkeypath_t *kp, confd_find_next_type f,
                    confd_value_t *k, int nk) {
        return Find(t, kp, f, k, nk, Param, Extra...);
    }
};
template <uint32_t Type>
using PolicyCbs =
    Bound<plx_policy_get_object, plx_policy_get_next_object, plx_policy_find_next_object, Type>;
template <uint32_t Type>
using VpnListCbs = Bound<plx_policy_vpnlist_get_object, plx_policy_vpnlist_get_next_object,
                         plx_policy_vpnlist_find_next_object, Type>;
template <uint32_t Type>
using PolicyCounterCbs = Bound<plx_policy_counter_get_object, plx_policy_counter_get_next_object,
                               plx_policy_counter_find_next_object, Type>;
template <uint32_t Family, uint32_t ListTag>
using AclListCbs = Bound<plx_acl_list_get_object, plx_acl_list_get_next_object,
                         plx_acl_list_find_next_object, Family, ListTag>;
template <uint32_t Family, uint32_t ListTag>
using AclRowsCbs = Bound<plx_acl_rows_get_object, plx_acl_rows_get_next_object,
                         plx_acl_rows_find_next_object, Family, ListTag>;
template <uint32_t Family>
using AclInterfaceCbs = Bound<plx_acl_interface_get_object, plx_acl_interface_get_next_object,
                              plx_acl_interface_find_next_object, Family>;

template <class Cbs>
constexpr Callpoint cp(const char *name, uint32_t list_tag, bool interfaces = false) {
    return Callpoint{name, list_tag, &Cbs::get, &Cbs::next, &Cbs::find, interfaces};
}

// In registration order.
const Callpoint kCallpoints[] = {
    cp<PolicyCbs<APP_ROUTE>>("app-route-policy-filters", KEY_APP_ROUTE_POLICY),
    cp<VpnListCbs<APP_ROUTE>>("app-route-policy-vpnlist", KEY_APP_ROUTE_VPN_LIST),
    cp<PolicyCounterCbs<APP_ROUTE>>("app-route-policy-counters", KEY_APP_ROUTE_COUNTER),
    cp<PolicyCbs<DATA>>("data-policy-filters", KEY_DATA_POLICY),
    cp<VpnListCbs<DATA>>("data-policy-vpnlist", KEY_DATA_VPN_LIST),
    cp<PolicyCounterCbs<DATA>>("data-policy-counters", KEY_DATA_COUNTER),
    Callpoint{"data-policy-policers", KEY_DATA_POLICER, &plx_policy_policer_get_object,
              &plx_policy_policer_get_next_object, &plx_policy_policer_find_next_object, false},
    cp<AclListCbs<ACL_FAMILY_IPV4, KEY_ACL_NAMES>>("access-list-names", KEY_ACL_NAMES),
    cp<AclListCbs<ACL_FAMILY_IPV4, KEY_ACL_COUNTERS>>("access-list-counters", KEY_ACL_COUNTERS),
    cp<AclRowsCbs<ACL_FAMILY_IPV4, KEY_ACL_COUNTERS>>("access-policy-counter-list",
                                                      KEY_ACL_COUNTER),
    cp<AclListCbs<ACL_FAMILY_IPV4, KEY_ACL_POLICERS>>("policer-policy-name", KEY_ACL_POLICERS,
                                                      true),
    cp<AclRowsCbs<ACL_FAMILY_IPV4, KEY_ACL_POLICERS>>("access-policy-policer-list",
                                                      KEY_ACL_POLICER),
    cp<AclListCbs<ACL_FAMILY_IPV4, KEY_ACL_INTERFACES>>("access-policy-list-for-interface",
                                                        KEY_ACL_INTERFACES, true),
    cp<AclInterfaceCbs<ACL_FAMILY_IPV4>>("access-policy-interface-list", KEY_ACL_BINDING, true),
    cp<AclListCbs<ACL_FAMILY_IPV6, KEY_ACL_NAMES>>("access-list-names-v6", KEY_ACL_NAMES),
    cp<AclListCbs<ACL_FAMILY_IPV6, KEY_ACL_COUNTERS>>("access-list-counters-v6", KEY_ACL_COUNTERS),
    cp<AclRowsCbs<ACL_FAMILY_IPV6, KEY_ACL_COUNTERS>>("access-policy-counter-list-v6",
                                                      KEY_ACL_COUNTER),
    cp<AclListCbs<ACL_FAMILY_IPV6, KEY_ACL_POLICERS>>("access-list-policers-v6", KEY_ACL_POLICERS,
                                                      true),
    cp<AclRowsCbs<ACL_FAMILY_IPV6, KEY_ACL_POLICERS>>("access-policy-policer-list-v6",
                                                      KEY_ACL_POLICER),
    cp<AclListCbs<ACL_FAMILY_IPV6, KEY_ACL_INTERFACES>>("access-list-associations-v6",
                                                        KEY_ACL_INTERFACES, true),
    cp<AclInterfaceCbs<ACL_FAMILY_IPV6>>("access-policy-interface-list-v6", KEY_ACL_BINDING, true),
};
static_assert(std::size(kCallpoints) == 21);

}  // namespace

std::vector<plx::show::ListCallpoint> plx_show_callpoints() {
    std::vector<plx::show::ListCallpoint> out;
    for (const Callpoint &c : kCallpoints)
        out.push_back({c.name, c.list_tag});
    return out;
}

int plx_show_init(QconfdContext *ctx) {
    if (!ctx || !ctx->dctx)
        return -1;
    for (const Callpoint &c : kCallpoints) {
        confd_data_cbs d{};
        snprintf(d.callpoint, sizeof d.callpoint, "%s", c.name);
        d.get_object = c.get;
        d.get_next_object = c.next;
        d.find_next_object = c.find;
        if (confd_register_data_cb(ctx->dctx, &d) != CONFD_OK) {
            PLX_LOG("%s", c.interfaces ? "Failed to register data cb for access-list interfaces"
                                       : "Failed to register data cb");
            return -1;
        }
    }
    return 0;
}
