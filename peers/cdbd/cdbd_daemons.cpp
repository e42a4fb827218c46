// The server's side of daemons: their registrations, requests to them with deadlines,
// transactions that daemons attach to around a commit, notifications and SNMP notifications.
#include <event2/event.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "peers/cdbd/cdbd_internal.h"
#include "peers/cdbd/path_text.h"

namespace cdbd {

CdbServer::Call::~Call() {
    if (timer)
        event_free(timer);
}

std::string CdbServer::daemon_name(uint64_t token) const {
    auto it = daemons_.find(token);
    return it == daemons_.end() || it->second.name.empty() ? "the daemon"
                                                           : "daemon " + it->second.name;
}

void CdbServer::hello_done(Conn &c, const std::vector<uint8_t> &hello) {
    WireReader r(hello.data(), hello.size());
    uint32_t kind = 0;
    uint64_t token = 0;
    if (!r.u32(kind) || !r.str(c.name))
        return close_conn(c.id);
    r.u64(token);
    c.kind = static_cast<WireSock>(kind);
    const Op reply_op = c.nonce.empty() ? Op::Hello : Op::Auth;
    if ((c.kind == WireSock::Control || c.kind == WireSock::Worker) && token) {
        Daemon &d = daemons_[token];
        if (c.kind == WireSock::Control) {
            if (d.control && conns_.count(d.control))
                return reply_err(c, reply_op, CONFD_ERR_PROTOUSAGE,
                                 "the daemon has a control socket already");
            d.control = c.id;
            d.name = c.name;
        } else {
            d.workers.push_back(c.id);
            if (d.name.empty())
                d.name = c.name;
        }
        c.daemon = token;
    }
    c.hello = true;
    if (c.bev)
        bufferevent_set_timeouts(c.bev, nullptr, nullptr);
    WireWriter w(reply_op);
    w.u64(c.id);
    if (!c.server_proof.empty())
        w.bytes(c.server_proof.data(), c.server_proof.size());
    send(c, w.finish());
}

// ---- requests to daemons ----
void CdbServer::call_daemon(uint64_t conn, Op op, const std::function<void(WireWriter &)> &fill,
                            CallDone done) {
    auto it = conns_.find(conn);
    if (it == conns_.end()) {
        CallResult res;
        res.code = CONFD_ERR_UNAVAILABLE;
        res.msg = "the daemon's socket is closed";
        done(res);
        return;
    }
    uint32_t id = next_call_++;
    if (id == 0)
        id = next_call_++;
    WireWriter w(op);
    w.u32(id);
    fill(w);
    auto call = std::make_unique<Call>();
    call->id = id;
    call->conn = conn;
    call->op = op;
    call->srv = this;
    call->done = std::move(done);
    call->timer = evtimer_new(
        base_,
        [](evutil_socket_t, short, void *arg) {
            auto *c = static_cast<Call *>(arg);
            c->srv->call_timeout(c->id);
        },
        call.get());
    timeval tv{opts_.daemon_timeout_ms / 1000, (opts_.daemon_timeout_ms % 1000) * 1000};
    evtimer_add(call->timer, &tv);
    calls_[id] = std::move(call);
    send(*it->second, w.finish());
}

void CdbServer::on_call_reply(Conn &c, Op op, uint16_t status,
                              const std::vector<uint8_t> &payload) {
    WireReader r(payload.data(), payload.size());
    CallResult res;
    uint32_t id = 0;
    if (status == confd_wire::kStatusOk) {
        if (!r.u32(id))
            return;
        res.ok = true;
        res.payload.assign(payload.begin() + 4, payload.end());
    } else {
        int32_t code = 0;
        if (!r.i32(code) || !r.str(res.msg) || !r.u32(id))
            return;
        res.code = code;
    }
    auto it = calls_.find(id);
    if (it == calls_.end() || it->second->conn != c.id || it->second->op != op)
        return;  // a reply that came after its deadline
    std::unique_ptr<Call> call = std::move(it->second);
    calls_.erase(it);
    call->done(res);
}

void CdbServer::call_timeout(uint32_t id) {
    auto it = calls_.find(id);
    if (it == calls_.end())
        return;
    std::unique_ptr<Call> call = std::move(it->second);
    calls_.erase(it);
    uint64_t token = 0;
    if (auto c = conns_.find(call->conn); c != conns_.end())
        token = c->second->daemon;
    CallResult res;
    res.code = CONFD_ERR_EXTERNAL;
    res.msg = daemon_name(token) + " did not answer request " +
              std::to_string(static_cast<unsigned>(call->op)) + " within " +
              std::to_string(opts_.daemon_timeout_ms) + " ms";
    fprintf(stderr, "cdbd: %s\n", res.msg.c_str());
    call->done(res);
}

void CdbServer::fail_calls_to(uint64_t conn, const std::string &why) {
    std::vector<uint32_t> ids;
    for (const auto &[id, call] : calls_)
        if (call->conn == conn)
            ids.push_back(id);
    for (uint32_t id : ids) {
        auto it = calls_.find(id);
        if (it == calls_.end())
            continue;
        std::unique_ptr<Call> call = std::move(it->second);
        calls_.erase(it);
        CallResult res;
        res.code = CONFD_ERR_UNAVAILABLE;
        res.msg = why;
        call->done(res);
    }
}

void CdbServer::daemon_conn_closed(Conn &c) {
    const uint64_t token = c.daemon;
    const std::string name = daemon_name(token);
    fail_calls_to(c.id, name + " closed its connection");
    auto it = daemons_.find(token);
    if (it == daemons_.end())
        return;
    Daemon &d = it->second;
    for (auto &[th, t] : trans_) {
        auto w = t.workers.find(token);
        if (w != t.workers.end() && (w->second == c.id || d.control == c.id))
            t.workers.erase(w);
    }
    if (d.control != c.id) {
        std::erase(d.workers, c.id);
        return;
    }
    for (const auto &cp : d.callpoints)
        if (callpoint_owner_[cp] == token)
            callpoint_owner_.erase(cp);
    for (const auto &ap : d.actionpoints)
        if (actionpoint_owner_[ap] == token)
            actionpoint_owner_.erase(ap);
    daemons_.erase(it);
}

void CdbServer::cli_conn_closed(Conn &c) {
    auto it = trans_.find(c.thandle);
    if (!c.thandle || it == trans_.end())
        return;
    const int th = c.thandle;
    for (const auto &[token, worker] : it->second.workers)
        call_daemon(
            worker, Op::CbTransFinish, [th](WireWriter &w) { w.i32(th); }, [](CallResult &) {});
    trans_.erase(it);
}

// ---- dispatch of daemon, management and command-line requests ----
bool CdbServer::do_daemon(Conn &c, Op op, WireReader &r, const std::vector<uint8_t> &payload,
                          uint16_t status) {
    if (static_cast<uint16_t>(op) >= static_cast<uint16_t>(Op::CbTransInit)) {
        if (!c.daemon)
            return false;
        on_call_reply(c, op, status, payload);
        return true;
    }
    switch (op) {
        case Op::RegTrans:
        case Op::RegValidate:
        case Op::RegValpoint:
        case Op::RegAction:
        case Op::RegData:
        case Op::RegStream:
        case Op::RegSnmp:
        case Op::RegDone: {
            if (c.kind != WireSock::Control || !c.daemon)
                return false;
            Daemon &d = daemons_[c.daemon];
            std::string name, ctx;
            if (op != Op::RegTrans && op != Op::RegValidate && op != Op::RegDone &&
                (!r.str(name) || name.empty())) {
                reply_err(c, op, CONFD_ERR_PROTOUSAGE, "a registration needs a name");
                return true;
            }
            auto claim = [&](std::map<std::string, uint64_t> &owners, const char *what) {
                auto o = owners.find(name);
                if (o != owners.end() && o->second != c.daemon) {
                    reply_err(c, op, CONFD_ERR_ALREADY_EXISTS,
                              std::string(what) + " " + name + " is served by " +
                                  daemon_name(o->second) + " already");
                    return false;
                }
                owners[name] = c.daemon;
                return true;
            };
            switch (op) {
                case Op::RegTrans:
                    d.trans_cb = true;
                    break;
                case Op::RegValidate:
                    d.validate_cb = true;
                    break;
                case Op::RegValpoint:
                    d.valpoints.insert(name);
                    break;
                case Op::RegAction:
                    if (!claim(actionpoint_owner_, "action point"))
                        return true;
                    d.actionpoints.insert(name);
                    break;
                case Op::RegData:
                    if (!claim(callpoint_owner_, "callpoint"))
                        return true;
                    d.callpoints.insert(name);
                    break;
                case Op::RegStream:
                    d.streams.insert(name);
                    break;
                case Op::RegSnmp:
                    r.str(ctx);
                    d.snmp_names.insert(name);
                    break;
                default:
                    d.done = true;
                    break;
            }
            reply_ok(c, op);
            return true;
        }
        case Op::NotifSend:
        case Op::NotifSnmp:
            if (!c.daemon)
                return false;
            do_notif(c, op, r);
            return true;
        case Op::MaapiAttach:
        case Op::MaapiDetach:
        case Op::MaapiCliWrite:
            if (c.kind != WireSock::Maapi)
                return false;
            do_maapi(c, op, r);
            return true;
        case Op::CliDp:
            if (c.kind != WireSock::Cli)
                return false;
            do_dp(c, payload);
            return true;
        case Op::CliAction:
            if (c.kind != WireSock::Cli)
                return false;
            do_action(c, r);
            return true;
        case Op::CliNotifs:
            if (c.kind != WireSock::Cli)
                return false;
            do_cli_notifs(c, r);
            return true;
        default:
            return false;
    }
}

// ---- notifications ----
void CdbServer::do_notif(Conn &c, Op op, WireReader &r) {
    const Daemon *d = daemons_.count(c.daemon) ? &daemons_[c.daemon] : nullptr;
    if (op == Op::NotifSnmp) {
        SnmpNotif sn;
        uint32_t n = 0;
        bool ok = r.str(sn.notify_name) && r.str(sn.notification) && r.u32(n);
        for (uint32_t i = 0; ok && i < n; ++i) {
            uint8_t kind = 0;
            SnmpVar v;
            ok = r.u8(kind) && r.str(v.name) && r.value(v.value);
            if (ok)
                sn.vars.push_back(std::move(v));
        }
        if (!ok)
            fprintf(stderr, "cdbd: %s sent a malformed SNMP notification\n",
                    daemon_name(c.daemon).c_str());
        else if (snmp_sender_)
            snmp_sender_(sn);
        for (auto &v : sn.vars)
            confd_free_value(&v.value);
        return;
    }
    std::string stream;
    confd_value_t time{};
    std::vector<confd_tag_value_t> vals;
    bool ok = r.str(stream) && r.value(time) && time.type == C_DATETIME && r.tagged_list(vals);
    if (!ok || vals.size() < 2 || !d || !d->streams.count(stream)) {
        const char *why = !ok                               ? "malformed"
                          : !d || !d->streams.count(stream) ? "unregistered"
                                                            : "short";
        fprintf(stderr, "cdbd: dropped a %s notification from %s\n", why,
                daemon_name(c.daemon).c_str());
    } else {
        NotifEntry e;
        e.stream = stream;
        e.text = format_notification(schema_, time, vals, false);
        e.xml = format_notification(schema_, time, vals, true);
        {
            std::lock_guard lk(notif_mu_);
            e.seq = ++notif_seq_;
            notif_log_.push_back(e);
            while (notif_log_.size() > opts_.notif_log_size)
                notif_log_.pop_front();
        }
        for (auto &[id, conn] : conns_) {
            if (conn->follow < 0)
                continue;
            WireWriter w(Op::NotifEvent);
            w.str(conn->follow == 1 ? e.xml : e.text);
            send(*conn, w.finish());
        }
    }
    for (auto &tv : vals)
        confd_free_value(&tv.v);
    confd_free_value(&time);
}

void CdbServer::do_cli_notifs(Conn &c, WireReader &r) {
    uint8_t format = 0, follow = 0;
    if (!r.u8(format) || !r.u8(follow) || format > 1)
        return reply_err(c, Op::CliNotifs, CONFD_ERR_PROTOUSAGE, "malformed request");
    std::string out;
    for (const auto &e : notifications())
        out += format == 1 ? e.xml : e.text;
    WireWriter w(Op::CliNotifs);
    w.str(out);
    send(c, w.finish());
    if (follow)
        c.follow = format;
}

std::vector<NotifEntry> CdbServer::notifications() const {
    std::lock_guard lk(notif_mu_);
    return {notif_log_.begin(), notif_log_.end()};
}

void CdbServer::set_snmp_sender(SnmpSender sender) {
    snmp_sender_ = std::move(sender);
}

// ---- validation by daemons around a commit ----
bool CdbServer::start_validation(Job &j) {
    std::vector<uint64_t> tokens;
    for (const auto &[token, d] : daemons_)
        if (d.validate_cb && d.done && conns_.count(d.control))
            tokens.push_back(token);
    if (tokens.empty())
        return false;
    j.vthandle = next_thandle_++;
    trans_[j.vthandle].owner = 0;
    j.validating = tokens.size();
    const int th = j.vthandle;
    for (uint64_t token : tokens) {
        call_daemon(
            daemons_[token].control, Op::CbValidateInit,
            [th](WireWriter &w) {
                w.i32(th);
                w.i32(0);
                w.str("cli");
            },
            [this, token, th](CallResult &res) {
                if (!active_ || active_->vthandle != th)
                    return;
                Job &job = *active_;
                if (res.ok) {
                    WireReader rr(res.payload.data(), res.payload.size());
                    uint64_t worker = 0;
                    rr.u64(worker);
                    trans_[th].workers[token] = worker;
                } else if (job.validation_error.empty()) {
                    job.validation_error = daemon_name(token) + ": " + res.msg;
                }
                if (--job.validating > 0)
                    return;
                job.validated = true;
                run_active();
                if (!active_)
                    start_next_job();
            });
    }
    return true;
}

void CdbServer::stop_validation(Job &j) {
    if (!j.vthandle)
        return;
    const int th = j.vthandle;
    j.vthandle = 0;
    auto it = trans_.find(th);
    if (it == trans_.end())
        return;
    // The transaction lives until every daemon has answered stop: a daemon detaches from it
    // (maapi_detach) in its stop callback.
    auto workers = it->second.workers;
    if (workers.empty()) {
        trans_.erase(it);
        return;
    }
    auto left = std::make_shared<size_t>(workers.size());
    for (const auto &[token, worker] : workers)
        call_daemon(
            worker, Op::CbValidateStop, [th](WireWriter &w) { w.i32(th); },
            [this, th, left](CallResult &) {
                if (--*left == 0)
                    trans_.erase(th);
            });
}

std::string CdbServer::daemons_text() const {
    std::ostringstream os;
    os << "daemons:\n";
    for (const auto &[token, d] : daemons_) {
        os << "  " << (d.name.empty() ? "(unnamed)" : d.name) << ": control #" << d.control
           << ", workers";
        for (uint64_t w : d.workers)
            os << " #" << w;
        os << (d.done ? "" : " (registering)") << "\n";
        auto list = [&os](const char *what, const std::set<std::string> &s) {
            if (s.empty())
                return;
            os << "    " << what << ":";
            for (const auto &x : s)
                os << " " << x;
            os << "\n";
        };
        list("callpoints", d.callpoints);
        list("action points", d.actionpoints);
        list("streams", d.streams);
        list("snmp notifications", d.snmp_names);
    }
    return os.str();
}

}  // namespace cdbd
