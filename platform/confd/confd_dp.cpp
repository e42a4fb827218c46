// Client library: daemons - registrations, the dispatch of the server's requests to the
// registered callbacks, data-provider and action replies, notifications.
#include "platform/confd/confd_dp.h"

#include <stdarg.h>
#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/confd/confd_client.h"

using confd_wire::DpReply;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireSock;
using confd_wire::WireWriter;

namespace {

struct TransEntry {
    confd_trans_ctx tctx{};
    confd_user_info uinfo{};
};

struct DaemonImpl {
    uint64_t token = 0;
    std::vector<int> socks;
    // The state each of socks was connected with, to forget exactly that one.
    std::vector<std::weak_ptr<confd_client::SockState>> sock_states;
    bool has_trans = false;
    confd_trans_cbs trans{};
    bool has_validate = false;
    confd_trans_validate_cbs validate{};
    std::map<std::string, confd_data_cbs> data;
    std::map<std::string, confd_action_cbs> actions;
    std::map<std::string, confd_valpoint_cb> valpoints;
    std::vector<std::unique_ptr<confd_notification_ctx>> nctxs;
    std::map<int, std::unique_ptr<TransEntry>> trans_by_handle;
    std::map<int, std::unique_ptr<confd_user_info>> users;  // actions in progress, by session
};

DaemonImpl *impl(confd_daemon_ctx *dx) {
    return dx ? static_cast<DaemonImpl *>(dx->internal_) : nullptr;
}

// The request being served by confd_fd_ready on this thread.
struct CurrentCall {
    int fd = -1;
    uint32_t id = 0;
    Op op = Op::Hello;
    bool replied = false;
    int send_rc = CONFD_OK;
    std::string err;
};
thread_local CurrentCall *t_call = nullptr;

uint64_t new_token() {
    std::random_device rd;
    uint64_t t = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    return t ? t : 1;
}

int no_daemon() {
    return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "no daemon context");
}

// A registration request on the daemon's control socket.
int reg_request(confd_daemon_ctx *dx, WireWriter &w) {
    if (!impl(dx))
        return no_daemon();
    if (dx->ctl_sock < 0)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE,
                                     "the daemon's control socket is not connected");
    std::vector<uint8_t> reply;
    return confd_client::request(dx->ctl_sock, w.finish(), reply);
}

// Registers the daemon's transaction or validation callbacks; kept once the server accepts.
template <typename Cbs>
int register_cbs(confd_daemon_ctx *dx, Op op, const Cbs &cbs, Cbs &slot, bool &registered) {
    WireWriter w(op);
    int rc = reg_request(dx, w);
    if (rc == CONFD_OK) {
        slot = cbs;
        registered = true;
    }
    return rc;
}

// Registers the callbacks of a named point (valpoint, action point, callpoint); kept under the
// name once the server accepts.
template <typename Cbs>
int register_point(confd_daemon_ctx *dx, Op op, const char *name, const Cbs &cbs,
                   std::map<std::string, Cbs> &points) {
    WireWriter w(op);
    w.str(name);
    int rc = reg_request(dx, w);
    if (rc == CONFD_OK)
        points[name] = cbs;
    return rc;
}

// Sends the reply of the current call on the socket it came from.
int send_reply(WireWriter &w) {
    CurrentCall *c = t_call;
    c->replied = true;
    int rc = confd_client::send_oneway(c->fd, w.finish());
    c->send_rc = rc;
    return rc;
}

int reply_error(int code, const std::string &msg) {
    CurrentCall *c = t_call;
    WireWriter w(c->op, confd_wire::kStatusError);
    w.i32(code);
    w.str(msg);
    w.u32(c->id);
    return send_reply(w);
}

// The current call must be one of ops and not answered yet.
bool in_call(std::initializer_list<Op> ops) {
    if (!t_call) {
        confd_client::set_err(CONFD_ERR_PROTOUSAGE, "no request is being served");
        return false;
    }
    if (t_call->replied) {
        confd_client::set_err(CONFD_ERR_PROTOUSAGE, "the request was already answered");
        return false;
    }
    for (Op op : ops)
        if (t_call->op == op)
            return true;
    confd_client::set_err(CONFD_ERR_PROTOUSAGE, "this reply does not answer request %u",
                          static_cast<unsigned>(t_call->op));
    return false;
}

// A caller's array of n tagged values; false for a negative n or a value that cannot be sent.
bool write_tvs(WireWriter &w, const confd_tag_value_t *tv, int n) {
    return n >= 0 && w.tagged_list({tv, static_cast<size_t>(n)});
}

struct OwnedTvs {
    std::vector<confd_tag_value_t> v;
    ~OwnedTvs() {
        for (auto &tv : v)
            confd_free_value(&tv.v);
    }
};

struct OwnedValues {
    std::vector<confd_value_t> v;
    ~OwnedValues() {
        for (auto &x : v)
            confd_free_value(&x);
    }
};

uint64_t server_id_of(int fd) {
    auto st = confd_client::sock_state(fd);
    return st ? st->server_id : 0;
}

bool is_dx_sock(DaemonImpl &d, int fd) {
    for (int s : d.socks)
        if (s == fd)
            return true;
    return false;
}

// Answers an init request: the worker socket the callback chose.
void reply_worker(int fd, const char *what) {
    if (fd < 0 || !server_id_of(fd)) {
        reply_error(CONFD_ERR_PROTOUSAGE,
                    std::string("the ") + what + " init callback bound no worker socket");
        return;
    }
    WireWriter w(t_call->op);
    w.u32(t_call->id);
    w.u64(server_id_of(fd));
    send_reply(w);
}

void reply_done() {
    WireWriter w(t_call->op);
    w.u32(t_call->id);
    send_reply(w);
}

// The text of a failed callback.
std::string failure_text(const char *what) {
    return t_call->err.empty() ? std::string(what) + " failed" : t_call->err;
}

TransEntry &trans_entry(confd_daemon_ctx *dx, DaemonImpl &d, int thandle, int fd) {
    auto &e = d.trans_by_handle[thandle];
    if (!e) {
        e = std::make_unique<TransEntry>();
        e->tctx.fd = fd;
        e->tctx.dx = dx;
        e->tctx.mode = CONFD_READ;
        e->tctx.dbname = 4;  // operational
        e->tctx.thandle = thandle;
        e->tctx.uinfo = &e->uinfo;
        e->uinfo.actx.dx = dx;
        e->uinfo.actx.fd = -1;
    }
    return *e;
}

void serve(confd_daemon_ctx *dx, DaemonImpl &d, int fd, Op op, WireReader &r) {
    switch (op) {
        case Op::CbTransInit:
        case Op::CbValidateInit: {
            int32_t thandle = 0, usid = 0;
            std::string user;
            if (!r.i32(thandle) || !r.i32(usid) || !r.str(user))
                return (void)reply_error(CONFD_ERR_PROTOUSAGE, "malformed init request");
            d.trans_by_handle.erase(thandle);
            TransEntry &e = trans_entry(dx, d, thandle, -1);
            e.uinfo.usid = usid;
            snprintf(e.uinfo.username, sizeof e.uinfo.username, "%s", user.c_str());
            e.uinfo.proto = CONFD_PROTO_TCP;
            const bool validate = op == Op::CbValidateInit;
            int (*init)(confd_trans_ctx *) = validate ? (d.has_validate ? d.validate.init : nullptr)
                                                      : (d.has_trans ? d.trans.init : nullptr);
            if (!init)
                return (void)reply_error(CONFD_ERR_PROTOUSAGE,
                                         std::string("the daemon registered no ") +
                                             (validate ? "validation" : "transaction") +
                                             " callbacks");
            if (init(&e.tctx) != CONFD_OK) {
                std::string msg = failure_text(validate ? "validation init" : "transaction init");
                d.trans_by_handle.erase(thandle);
                return (void)reply_error(CONFD_ERR_EXTERNAL, msg);
            }
            return reply_worker(e.tctx.fd, validate ? "validation" : "transaction");
        }
        case Op::CbTransFinish:
        case Op::CbValidateStop: {
            int32_t thandle = 0;
            if (!r.i32(thandle))
                return (void)reply_error(CONFD_ERR_PROTOUSAGE, "malformed request");
            auto it = d.trans_by_handle.find(thandle);
            int rc = CONFD_OK;
            if (it != d.trans_by_handle.end()) {
                if (op == Op::CbValidateStop && d.has_validate && d.validate.stop)
                    rc = d.validate.stop(&it->second->tctx);
                else if (op == Op::CbTransFinish && d.has_trans && d.trans.finish)
                    rc = d.trans.finish(&it->second->tctx);
                d.trans_by_handle.erase(it);
            }
            if (rc != CONFD_OK)
                return (void)reply_error(CONFD_ERR_EXTERNAL, failure_text("transaction stop"));
            return reply_done();
        }
        case Op::CbActionInit: {
            int32_t usid = 0;
            std::string user, point;
            if (!r.i32(usid) || !r.str(user) || !r.str(point))
                return (void)reply_error(CONFD_ERR_PROTOUSAGE, "malformed action init");
            auto it = d.actions.find(point);
            if (it == d.actions.end())
                return (void)reply_error(CONFD_ERR_NOEXISTS,
                                         "no action handler registered for " + point);
            auto u = std::make_unique<confd_user_info>();
            u->usid = usid;
            snprintf(u->username, sizeof u->username, "%s", user.c_str());
            u->proto = CONFD_PROTO_TCP;
            u->actx.dx = dx;
            u->actx.fd = -1;
            confd_user_info *ui = u.get();
            d.users[usid] = std::move(u);
            if (it->second.init && it->second.init(ui) != CONFD_OK) {
                std::string msg = failure_text("action init");
                d.users.erase(usid);
                return (void)reply_error(CONFD_ERR_EXTERNAL, msg);
            }
            if (!it->second.init)
                ui->actx.fd = fd;
            return reply_worker(ui->actx.fd, "action");
        }
        case Op::CbAction: {
            int32_t usid = 0;
            std::string point;
            xml_tag name{};
            confd_hkeypath_t kp{};
            OwnedTvs params;
            bool ok = r.i32(usid) && r.str(point) && r.u32(name.tag) && r.u32(name.ns) &&
                      r.keypath(kp) && r.tagged_list(params.v);
            if (!ok) {
                confd_wire::free_keypath(kp);
                return (void)reply_error(CONFD_ERR_PROTOUSAGE, "malformed action request");
            }
            auto it = d.actions.find(point);
            if (it == d.actions.end() || !it->second.action) {
                confd_wire::free_keypath(kp);
                return (void)reply_error(CONFD_ERR_NOEXISTS,
                                         "no action handler registered for " + point);
            }
            auto &u = d.users[usid];
            if (!u) {
                u = std::make_unique<confd_user_info>();
                u->usid = usid;
                u->actx.dx = dx;
                u->actx.fd = fd;
            }
            int rc = it->second.action(u.get(), &name, &kp, params.v.data(),
                                       static_cast<int>(params.v.size()));
            confd_wire::free_keypath(kp);
            d.users.erase(usid);
            if (t_call->replied)
                return;
            if (rc != CONFD_OK)
                return (void)reply_error(CONFD_ERR_EXTERNAL, failure_text("the action"));
            WireWriter w(op);
            w.u32(t_call->id);
            w.u32(0);
            return (void)send_reply(w);
        }
        case Op::CbGetObject:
        case Op::CbGetNextObject:
        case Op::CbFindNextObject: {
            int32_t thandle = 0;
            std::string point;
            confd_hkeypath_t kp{};
            if (!r.i32(thandle) || !r.str(point) || !r.keypath(kp)) {
                confd_wire::free_keypath(kp);
                return (void)reply_error(CONFD_ERR_PROTOUSAGE, "malformed data request");
            }
            auto it = d.data.find(point);
            if (it == d.data.end()) {
                confd_wire::free_keypath(kp);
                return (void)reply_error(CONFD_ERR_NOEXISTS,
                                         "no data provider registered for " + point);
            }
            const confd_data_cbs &cb = it->second;
            TransEntry &e = trans_entry(dx, d, thandle, fd);
            int rc = CONFD_ERR;
            bool called = false;
            if (op == Op::CbGetObject && cb.get_object) {
                called = true;
                rc = cb.get_object(&e.tctx, &kp);
            } else if (op == Op::CbGetNextObject && cb.get_next_object) {
                uint64_t next = 0;
                if (r.u64(next)) {
                    called = true;
                    rc = cb.get_next_object(&e.tctx, &kp, static_cast<long>(next));
                }
            } else if (op == Op::CbFindNextObject && cb.find_next_object) {
                int32_t type = 0;
                uint32_t nkeys = 0;
                OwnedValues keys;
                bool ok = r.i32(type) && r.u32(nkeys) && nkeys <= MAXKEYLEN &&
                          (type == CONFD_FIND_NEXT || type == CONFD_FIND_SAME_OR_NEXT);
                for (uint32_t i = 0; ok && i < nkeys; ++i) {
                    confd_value_t v{};
                    ok = r.value(v);
                    if (ok)
                        keys.v.push_back(v);
                }
                if (ok) {
                    called = true;
                    rc = cb.find_next_object(&e.tctx, &kp, static_cast<confd_find_next_type>(type),
                                             keys.v.data(), static_cast<int>(keys.v.size()));
                }
            }
            confd_wire::free_keypath(kp);
            if (!called)
                return (void)reply_error(CONFD_ERR_UNAVAILABLE, "the data provider of " + point +
                                                                    " does not serve this request");
            if (t_call->replied)
                return;
            return (void)reply_error(CONFD_ERR_EXTERNAL, rc != CONFD_OK
                                                             ? failure_text("the data provider")
                                                             : "the data provider of " + point +
                                                                   " returned without a reply");
        }
        default:
            reply_error(CONFD_ERR_PROTOUSAGE,
                        "unknown request " + std::to_string(static_cast<unsigned>(op)));
    }
}

void set_call_err(const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    if (t_call)
        t_call->err = buf;
}

// Registers a notification context on the daemon's socket fd (sock names it in errors) with
// the request w. Once the server accepts, the daemon keeps the context and *nctx points at it,
// for the caller to name.
int add_notification_ctx(confd_daemon_ctx *dx, int fd, const char *sock, WireWriter &w,
                         confd_notification_ctx **nctx) {
    DaemonImpl *d = impl(dx);
    if (!is_dx_sock(*d, fd))
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "%s is not a socket of the daemon",
                                     sock);
    int rc = reg_request(dx, w);
    if (rc != CONFD_OK)
        return rc;
    auto n = std::make_unique<confd_notification_ctx>();
    n->fd = fd;
    n->dx = dx;
    *nctx = n.get();
    d->nctxs.push_back(std::move(n));
    return CONFD_OK;
}

}  // namespace

extern "C" struct confd_daemon_ctx *confd_init_daemon(const char *name) {
    auto *dx = static_cast<confd_daemon_ctx *>(std::calloc(1, sizeof(confd_daemon_ctx)));
    if (!dx) {
        confd_client::set_err(CONFD_ERR_MALLOC, "out of memory");
        return nullptr;
    }
    snprintf(dx->name, sizeof dx->name, "%s", name ? name : "");
    dx->ctl_sock = -1;
    auto *d = new DaemonImpl;
    d->token = new_token();
    dx->internal_ = d;
    return dx;
}

extern "C" int confd_connect(struct confd_daemon_ctx *dx, int sock, enum confd_sock_type type,
                             const struct sockaddr *srv, int addrsz) {
    DaemonImpl *d = impl(dx);
    if (!d)
        return no_daemon();
    if (type != CONTROL_SOCKET && type != WORKER_SOCKET)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "bad socket type %d", type);
    if (type == CONTROL_SOCKET && dx->ctl_sock >= 0)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE,
                                     "the daemon's control socket is connected already");
    int rc = confd_client::connect_sock(
        sock, srv, addrsz, type == CONTROL_SOCKET ? WireSock::Control : WireSock::Worker, dx->name,
        d->token);
    if (rc != CONFD_OK)
        return rc;
    d->socks.push_back(sock);
    d->sock_states.push_back(confd_client::sock_state(sock));
    if (type == CONTROL_SOCKET)
        dx->ctl_sock = sock;
    return CONFD_OK;
}

extern "C" int confd_register_trans_cb(struct confd_daemon_ctx *dx,
                                       const struct confd_trans_cbs *tcb) {
    DaemonImpl *d = impl(dx);
    if (!d || !tcb)
        return no_daemon();
    return register_cbs(dx, Op::RegTrans, *tcb, d->trans, d->has_trans);
}

extern "C" int confd_register_trans_validate_cb(struct confd_daemon_ctx *dx,
                                                const struct confd_trans_validate_cbs *vcbs) {
    DaemonImpl *d = impl(dx);
    if (!d || !vcbs)
        return no_daemon();
    return register_cbs(dx, Op::RegValidate, *vcbs, d->validate, d->has_validate);
}

extern "C" int confd_register_valpoint_cb(struct confd_daemon_ctx *dx,
                                          const struct confd_valpoint_cb *vcb) {
    DaemonImpl *d = impl(dx);
    if (!d || !vcb)
        return no_daemon();
    return register_point(dx, Op::RegValpoint, vcb->valpoint, *vcb, d->valpoints);
}

extern "C" int confd_register_action_cbs(struct confd_daemon_ctx *dx,
                                         const struct confd_action_cbs *acb) {
    DaemonImpl *d = impl(dx);
    if (!d || !acb)
        return no_daemon();
    return register_point(dx, Op::RegAction, acb->actionpoint, *acb, d->actions);
}

extern "C" int confd_register_data_cb(struct confd_daemon_ctx *dx,
                                      const struct confd_data_cbs *dcb) {
    DaemonImpl *d = impl(dx);
    if (!d || !dcb)
        return no_daemon();
    return register_point(dx, Op::RegData, dcb->callpoint, *dcb, d->data);
}

extern "C" int confd_register_notification_stream(struct confd_daemon_ctx *dx,
                                                  const struct confd_notification_stream_cbs *ncbs,
                                                  struct confd_notification_ctx **nctx) {
    if (!impl(dx) || !ncbs || !nctx)
        return no_daemon();
    WireWriter w(Op::RegStream);
    w.str(ncbs->streamname);
    int rc = add_notification_ctx(dx, ncbs->fd, "the stream's socket", w, nctx);
    if (rc != CONFD_OK)
        return rc;
    confd_notification_ctx *n = *nctx;
    snprintf(n->streamname, sizeof n->streamname, "%s", ncbs->streamname);
    n->cb_opaque = ncbs->cb_opaque;
    return CONFD_OK;
}

extern "C" int confd_register_snmp_notification(struct confd_daemon_ctx *dx, int fd,
                                                const char *notify_name, const char *ctx_name,
                                                struct confd_notification_ctx **nctx) {
    if (!impl(dx) || !nctx)
        return no_daemon();
    WireWriter w(Op::RegSnmp);
    w.str(notify_name ? notify_name : "");
    w.str(ctx_name ? ctx_name : "");
    int rc = add_notification_ctx(dx, fd, "the notification socket", w, nctx);
    if (rc != CONFD_OK)
        return rc;
    confd_notification_ctx *n = *nctx;
    snprintf(n->snmp_notify_name, sizeof n->snmp_notify_name, "%s", notify_name ? notify_name : "");
    snprintf(n->ctx_name, sizeof n->ctx_name, "%s", ctx_name ? ctx_name : "");
    return CONFD_OK;
}

extern "C" int confd_register_done(struct confd_daemon_ctx *dx) {
    WireWriter w(Op::RegDone);
    return reg_request(dx, w);
}

extern "C" int confd_fd_ready(struct confd_daemon_ctx *dx, int fd) {
    DaemonImpl *d = impl(dx);
    if (!d)
        return no_daemon();
    if (!is_dx_sock(*d, fd))
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "socket %d is not a socket of %s", fd,
                                     dx->name);
    confd_wire::Frame f;
    int rc = confd_client::read_reply(fd, f);
    if (rc != CONFD_OK)
        return rc;
    WireReader r(f.payload.data(), f.payload.size());
    CurrentCall call;
    call.fd = fd;
    call.op = f.op;
    if (!r.u32(call.id))
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "malformed request from the database");
    CurrentCall *outer = t_call;
    t_call = &call;
    serve(dx, *d, fd, f.op, r);
    t_call = outer;
    if (call.send_rc == CONFD_EOF)
        return CONFD_EOF;
    if (call.send_rc != CONFD_OK)
        return CONFD_ERR;
    return CONFD_OK;
}

extern "C" void confd_release_daemon(struct confd_daemon_ctx *dx) {
    DaemonImpl *d = impl(dx);
    if (!d)
        return;
    // The application may have closed these sockets already and another thread reopened the
    // numbers: only the states connected here are forgotten.
    for (size_t i = 0; i < d->socks.size(); ++i)
        if (auto st = d->sock_states[i].lock())
            confd_client::forget_sock(d->socks[i], st.get());
    delete d;
    std::free(dx);
}

extern "C" int confd_trans_set_fd(struct confd_trans_ctx *tctx, int sock) {
    if (!tctx || !impl(tctx->dx) || !is_dx_sock(*impl(tctx->dx), sock))
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "not a worker socket of the daemon");
    tctx->fd = sock;
    return CONFD_OK;
}

extern "C" int confd_action_set_fd(struct confd_user_info *uinfo, int sock) {
    if (!uinfo || !impl(uinfo->actx.dx) || !is_dx_sock(*impl(uinfo->actx.dx), sock))
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "not a worker socket of the daemon");
    uinfo->actx.fd = sock;
    return CONFD_OK;
}

extern "C" void confd_trans_seterr(struct confd_trans_ctx *, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_call_err(fmt, ap);
    va_end(ap);
}

extern "C" void confd_action_seterr(struct confd_user_info *, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_call_err(fmt, ap);
    va_end(ap);
}

// ---- data-provider replies ----
extern "C" int confd_data_reply_tag_value_array(struct confd_trans_ctx *, confd_tag_value_t *tv,
                                                int n) {
    if (!in_call({Op::CbGetObject}))
        return CONFD_ERR;
    WireWriter w(t_call->op);
    w.u32(t_call->id);
    w.u8(static_cast<uint8_t>(DpReply::Object));
    if (!write_tvs(w, tv, n))
        return confd_client::set_err(CONFD_ERR_BADTYPE, "a reply value cannot be sent");
    return send_reply(w) == CONFD_OK ? CONFD_OK : CONFD_ERR;
}

extern "C" int confd_data_reply_next_object_tag_value_array(struct confd_trans_ctx *,
                                                            confd_tag_value_t *tv, int n,
                                                            long next) {
    if (!in_call({Op::CbGetNextObject, Op::CbFindNextObject}))
        return CONFD_ERR;
    WireWriter w(t_call->op);
    w.u32(t_call->id);
    if (n < 0 || !tv) {  // no object: the end of the list
        w.u8(static_cast<uint8_t>(DpReply::NextKey));
        w.i32(-1);
        w.u64(static_cast<uint64_t>(-1L));
        return send_reply(w) == CONFD_OK ? CONFD_OK : CONFD_ERR;
    }
    w.u8(static_cast<uint8_t>(DpReply::NextObject));
    if (!write_tvs(w, tv, n))
        return confd_client::set_err(CONFD_ERR_BADTYPE, "a reply value cannot be sent");
    w.u64(static_cast<uint64_t>(static_cast<int64_t>(next)));
    return send_reply(w) == CONFD_OK ? CONFD_OK : CONFD_ERR;
}

extern "C" int confd_data_reply_next_key(struct confd_trans_ctx *, const confd_value_t *v,
                                         int num_vals, long next) {
    if (!in_call({Op::CbGetNextObject, Op::CbFindNextObject}))
        return CONFD_ERR;
    WireWriter w(t_call->op);
    w.u32(t_call->id);
    w.u8(static_cast<uint8_t>(DpReply::NextKey));
    if (!v || num_vals < 0) {
        w.i32(-1);
    } else {
        w.i32(num_vals);
        for (int i = 0; i < num_vals; ++i)
            if (!w.value(v[i]))
                return confd_client::set_err(CONFD_ERR_BADTYPE, "a key cannot be sent");
    }
    w.u64(static_cast<uint64_t>(static_cast<int64_t>(next)));
    return send_reply(w) == CONFD_OK ? CONFD_OK : CONFD_ERR;
}

extern "C" int confd_data_reply_not_found(struct confd_trans_ctx *) {
    if (!in_call({Op::CbGetObject, Op::CbGetNextObject, Op::CbFindNextObject}))
        return CONFD_ERR;
    WireWriter w(t_call->op);
    w.u32(t_call->id);
    w.u8(static_cast<uint8_t>(DpReply::NotFound));
    return send_reply(w) == CONFD_OK ? CONFD_OK : CONFD_ERR;
}

extern "C" int confd_action_reply_values(struct confd_user_info *, confd_tag_value_t *values,
                                         int nvalues) {
    if (!in_call({Op::CbAction}))
        return CONFD_ERR;
    WireWriter w(t_call->op);
    w.u32(t_call->id);
    if (!write_tvs(w, values, nvalues))
        return confd_client::set_err(CONFD_ERR_BADTYPE, "a result value cannot be sent");
    return send_reply(w) == CONFD_OK ? CONFD_OK : CONFD_ERR;
}

// ---- notifications ----
extern "C" int confd_notification_send(struct confd_notification_ctx *nctx,
                                       struct confd_datetime *time, confd_tag_value_t *values,
                                       int nvalues) {
    if (!nctx)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "no notification context");
    if (!values || nvalues < 2 || values[0].v.type != C_XMLBEGIN ||
        values[nvalues - 1].v.type != C_XMLEND)
        return confd_client::set_err(CONFD_ERR_BADTYPE,
                                     "a notification opens with C_XMLBEGIN and closes with "
                                     "C_XMLEND");
    confd_value_t t{};
    if (time) {
        CONFD_SET_DATETIME(&t, *time);
    } else {
        timeval tv{};
        gettimeofday(&tv, nullptr);
        tm utc{};
        gmtime_r(&tv.tv_sec, &utc);
        confd_datetime dt{};
        dt.year = static_cast<int16_t>(utc.tm_year + 1900);
        dt.month = static_cast<uint8_t>(utc.tm_mon + 1);
        dt.day = static_cast<uint8_t>(utc.tm_mday);
        dt.hour = static_cast<uint8_t>(utc.tm_hour);
        dt.min = static_cast<uint8_t>(utc.tm_min);
        dt.sec = static_cast<uint8_t>(utc.tm_sec);
        dt.micro = static_cast<uint32_t>(tv.tv_usec);
        CONFD_SET_DATETIME(&t, dt);
    }
    WireWriter w(Op::NotifSend);
    w.str(nctx->streamname);
    w.value(t);
    if (!write_tvs(w, values, nvalues))
        return confd_client::set_err(CONFD_ERR_BADTYPE, "a notification value cannot be sent");
    int rc = confd_client::send_oneway(nctx->fd, w.finish());
    return rc == CONFD_EOF ? CONFD_ERR : rc;
}

extern "C" int confd_notification_set_snmp_notify_name(struct confd_notification_ctx *nctx,
                                                       const char *notify_name) {
    if (!nctx)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "no notification context");
    snprintf(nctx->snmp_notify_name, sizeof nctx->snmp_notify_name, "%s",
             notify_name ? notify_name : "");
    return CONFD_OK;
}

extern "C" int confd_notification_send_snmp(struct confd_notification_ctx *nctx,
                                            const char *notification,
                                            struct confd_snmp_varbind *varbinds, int num_vars) {
    if (!nctx)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "no notification context");
    if (!notification || !*notification || num_vars < 0 || (num_vars > 0 && !varbinds))
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "an SNMP notification needs a name");
    WireWriter w(Op::NotifSnmp);
    w.str(nctx->snmp_notify_name);
    w.str(notification);
    w.u32(static_cast<uint32_t>(num_vars));
    for (int i = 0; i < num_vars; ++i) {
        if (varbinds[i].type != CONFD_SNMP_VARIABLE)
            return confd_client::set_err(CONFD_ERR_BADTYPE,
                                         "variable %d: only named variables are sent", i);
        w.u8(static_cast<uint8_t>(varbinds[i].type));
        w.str(std::string(varbinds[i].var.name,
                          strnlen(varbinds[i].var.name, sizeof varbinds[i].var.name)));
        if (!w.value(varbinds[i].val))
            return confd_client::set_err(CONFD_ERR_BADTYPE, "variable %s: the value cannot be sent",
                                         varbinds[i].var.name);
    }
    int rc = confd_client::send_oneway(nctx->fd, w.finish());
    return rc == CONFD_EOF ? CONFD_ERR : rc;
}
