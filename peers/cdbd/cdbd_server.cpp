// The server core: start-up (schema, datastore and journal replay, listener), the event loop,
// client connections and the dispatch of their requests.
#include "peers/cdbd/cdbd_server.h"
#include "peers/cdbd/cdbd_internal.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/thread.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/plx_listen_guard.h"
#include "common/plx_paths.h"
#include "platform/confd/confd_cdb.h"

namespace cdbd {

namespace {

std::once_flag g_evthread_once;

bool read_file(const std::string &path, std::string &out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return true;
}

}  // namespace

std::string kind_name(WireSock k) {
    switch (k) {
        case WireSock::CdbRead:
            return "cdb-read";
        case WireSock::CdbSubscription:
            return "cdb-subscription";
        case WireSock::CdbData:
            return "cdb-data";
        case WireSock::Schema:
            return "schema";
        case WireSock::Maapi:
            return "maapi";
        case WireSock::Cli:
            return "cli";
        case WireSock::Control:
            return "control";
        case WireSock::Worker:
            return "worker";
    }
    return "unknown";
}

CdbServer::CdbServer(ServerOptions opts) : opts_(std::move(opts)) {}

CdbServer::~CdbServer() {
    if (flush_.valid())
        flush_.wait();
    // Close every client socket first: clients see the end of their connections.
    for (auto &[id, c] : conns_)
        if (c->bev)
            bufferevent_free(c->bev);
    conns_.clear();
    calls_.clear();
    active_.reset();
    jobs_.clear();
    plx_listen_guard_free(listen_guard_);
    if (listener_)
        evconnlistener_free(listener_);
    if (sigint_)
        event_free(sigint_);
    if (sigterm_)
        event_free(sigterm_);
    if (flushed_ev_)
        event_free(flushed_ev_);
    if (base_)
        event_base_free(base_);
}

bool CdbServer::init(std::string &err) {
    std::call_once(g_evthread_once, [] { evthread_use_pthreads(); });
    phase_ = opts_.start_phase;
    if (!schema_.load(opts_.yang_dir, err))
        return false;
    validator_ = std::make_unique<CommitValidator>(schema_.ctx());
    running_file_ = opts_.db_dir + "/running.json";
    journal_file_ = opts_.db_dir + "/running.journal";
    std::string text;
    if (read_file(running_file_, text)) {
        lyd_node *tree = nullptr;
        if (!text.empty() && lyd_parse_data_mem(schema_.ctx(), text.c_str(), LYD_JSON,
                                                LYD_PARSE_STRICT | LYD_PARSE_NO_STATE,
                                                LYD_VALIDATE_NO_STATE, &tree) != LY_SUCCESS) {
            err = "the running datastore " + running_file_ +
                  " is damaged and is left as it is: " + ly_error_text(schema_.ctx());
            return false;
        }
        running_.reset(tree);
        ++running_gen_;
    } else if (errno != ENOENT) {
        err = "cannot read " + running_file_ + ": " + strerror(errno);
        return false;
    } else {
        // A new datastore: validation fills in the defaults of an empty configuration.
        lyd_node *tree = nullptr;
        if (lyd_validate_all(&tree, schema_.ctx(), LYD_VALIDATE_NO_STATE, nullptr) != LY_SUCCESS) {
            err = "the empty configuration is not valid: " + ly_error_text(schema_.ctx());
            return false;
        }
        running_.reset(tree);
        ++running_gen_;
    }
    if (plx_make_parent_dirs(running_file_) != 0 ||
        (mkdir(opts_.db_dir.c_str(), 0755) != 0 && errno != EEXIST)) {
        err = "cannot create the datastore directory " + opts_.db_dir + ": " + strerror(errno);
        return false;
    }
    // The commits made since the snapshot, replayed in order; the datastore is then written
    // whole again and the journal starts afresh.
    std::vector<JournalRecord> records;
    if (!CommitJournal::read(journal_file_, text, records, err))
        return false;
    for (const JournalRecord &rec : records) {
        DataTree next;
        std::string why;
        if (build_commit(static_cast<Op>(rec.kind), rec.payload, next, why) != 0) {
            err = "the journal " + journal_file_ + " holds a commit that no longer applies (" +
                  why + ") and is left as it is";
            return false;
        }
        running_ = std::move(next);
        ++running_gen_;
    }
    if (!(records.empty() ? journal_.reset(journal_file_, text, err) : compact(err)))
        return false;
    base_ = event_base_new();
    if (!base_) {
        err = "cannot create the event loop";
        return false;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(opts_.port);
    if (inet_pton(AF_INET, opts_.addr.c_str(), &sin.sin_addr) != 1) {
        err = "bad listen address " + opts_.addr;
        return false;
    }
    // Clients of the database run on the router itself.
    if ((ntohl(sin.sin_addr.s_addr) >> 24) != 127) {
        err = "the server listens on a loopback address only, not " + opts_.addr;
        return false;
    }
    if (!opts_.access_file.empty() && !read_access_secret(opts_.access_file, secret_, err))
        return false;
    if (!init_snmp(err))
        return false;
    listener_ = evconnlistener_new_bind(
        base_, on_accept, this, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC,
        64, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    if (!listener_) {
        err = "cannot listen on " + opts_.addr + ":" + std::to_string(opts_.port) + ": " +
              strerror(errno);
        return false;
    }
    sockaddr_in bound{};
    socklen_t blen = sizeof bound;
    getsockname(evconnlistener_get_fd(listener_), reinterpret_cast<sockaddr *>(&bound), &blen);
    port_ = ntohs(bound.sin_port);
    const std::string what = opts_.addr + ":" + std::to_string(port_);
    listen_guard_ = plx_listen_guard_attach(listener_, base_, on_accept, this, what.c_str(),
                                            [](const char *line) { CDBD_CONN_LOG("%s", line); });
    return true;
}

void CdbServer::run() {
    event_base_dispatch(base_);
}

void CdbServer::run_once() {
    event_base_loop(base_, EVLOOP_NONBLOCK);
}

void CdbServer::stop() {
    if (base_)
        event_base_loopbreak(base_);
}

void CdbServer::on_signal(evutil_socket_t, short, void *arg) {
    static_cast<CdbServer *>(arg)->stop();
}

void CdbServer::install_signals() {
    signal(SIGPIPE, SIG_IGN);
    sigint_ = evsignal_new(base_, SIGINT, on_signal, this);
    sigterm_ = evsignal_new(base_, SIGTERM, on_signal, this);
    event_add(sigint_, nullptr);
    event_add(sigterm_, nullptr);
}

// ---- connections ----
void CdbServer::on_accept(evconnlistener *, evutil_socket_t fd, sockaddr *addr, int, void *arg) {
    auto *self = static_cast<CdbServer *>(arg);
    if (self->conns_.size() >= self->opts_.max_conns) {
        CDBD_CONN_LOG("refused a connection: %zu clients are connected already",
                      self->conns_.size());
        close(fd);
        return;
    }
    std::string peer;
    if (addr && addr->sa_family == AF_INET) {
        char buf[64];
        auto *sin = reinterpret_cast<sockaddr_in *>(addr);
        inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf);
        peer = std::string(buf) + ":" + std::to_string(ntohs(sin->sin_port));
    }
    evutil_make_socket_closeonexec(fd);
    // Frames go out in pieces as the client drains its socket; with Nagle's algorithm the
    // last piece of a notification waits for the client's delayed acknowledgement (40 ms on
    // loopback) while the client waits for that piece, once per priority level of a commit.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bufferevent *bev = bufferevent_socket_new(self->base_, fd, BEV_OPT_CLOSE_ON_FREE);
    if (!bev) {
        close(fd);
        return;
    }
    self->serve_stream(bev, peer);
}

namespace {
constexpr size_t kMaxSingleWrite = size_t{4} << 20;
}  // namespace

uint64_t CdbServer::serve_stream(bufferevent *bev, const std::string &peer) {
    auto c = std::make_unique<Conn>();
    c->id = next_conn_++;
    c->peer = peer;
    c->bev = bev;
    bufferevent_setcb(c->bev, on_read, on_write, on_event, this);
    bufferevent_enable(c->bev, EV_READ | EV_WRITE);
    // A commit's notification is hundreds of KB: written 16 KB at a time (libevent's default),
    // each piece waits for a turn of the loop after the client has drained the last one, and
    // the subscriber reads the frame in a dozen wake-ups. Whole frames go out in one write as
    // far as the socket takes them.
    bufferevent_set_max_single_write(c->bev, kMaxSingleWrite);
    // A client that does not say who it is in time goes (the Hello lifts the limit).
    if (opts_.hello_timeout_ms > 0) {
        const timeval tv{opts_.hello_timeout_ms / 1000, (opts_.hello_timeout_ms % 1000) * 1000};
        bufferevent_set_timeouts(c->bev, &tv, nullptr);
    }
    const uint64_t id = c->id;
    conns_[id] = std::move(c);
    return id;
}

void CdbServer::on_read(bufferevent *bev, void *arg) {
    auto *self = static_cast<CdbServer *>(arg);
    Conn *c = nullptr;
    for (auto &[id, conn] : self->conns_)
        if (conn->bev == bev) {
            c = conn.get();
            break;
        }
    if (!c)
        return;
    const uint64_t id = c->id;
    evbuffer *in = bufferevent_get_input(bev);
    for (;;) {
        if (c->closing) {
            evbuffer_drain(in, evbuffer_get_length(in));
            return;
        }
        if (evbuffer_get_length(in) < confd_wire::kHeaderSize)
            return;
        uint8_t hdr[confd_wire::kHeaderSize];
        evbuffer_copyout(in, hdr, sizeof hdr);
        uint32_t len;
        Op op;
        uint16_t status;
        if (!confd_wire::parse_header(hdr, len, op, status)) {
            CDBD_CONN_LOG("closed connection #%llu from %s: bad frame length %u",
                          static_cast<unsigned long long>(id), c->peer.c_str(), len);
            self->close_conn(id);
            return;
        }
        // Nothing but a Hello (and its Auth) may come before the Hello is answered: a large
        // frame from an unknown client is not buffered.
        if (!c->hello && len > confd_wire::kMaxHelloFrame) {
            CDBD_CONN_LOG("closed connection #%llu from %s: frame of %u bytes before its hello",
                          static_cast<unsigned long long>(id), c->peer.c_str(), len);
            self->close_conn(id);
            return;
        }
        if (evbuffer_get_length(in) < len + 4u) {
            if (self->input_over_cap()) {
                CDBD_CONN_LOG(
                    "closed connection #%llu from %s: partial frames of all clients "
                    "pass %zu bytes",
                    static_cast<unsigned long long>(id), c->peer.c_str(),
                    self->opts_.max_input_total);
                self->close_conn(id);
            }
            return;
        }
        evbuffer_drain(in, confd_wire::kHeaderSize);
        std::vector<uint8_t> payload(len - 4);
        if (!payload.empty())
            evbuffer_remove(in, payload.data(), payload.size());
        self->dispatch(*c, op, status, payload);
        if (!self->conns_.count(id))
            return;
    }
}

void CdbServer::on_event(bufferevent *bev, short what, void *arg) {
    auto *self = static_cast<CdbServer *>(arg);
    if (!(what & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)))
        return;
    for (auto &[id, conn] : self->conns_)
        if (conn->bev == bev) {
            if (what & BEV_EVENT_TIMEOUT)
                CDBD_CONN_LOG("closed connection #%llu from %s: no hello within %d ms",
                              static_cast<unsigned long long>(id), conn->peer.c_str(),
                              self->opts_.hello_timeout_ms);
            self->close_conn(id);
            return;
        }
}

void CdbServer::close_conn(uint64_t id) {
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    std::unique_ptr<Conn> c = std::move(it->second);
    conns_.erase(it);
    start_waiters_.erase(id);
    for (auto s = subs_.begin(); s != subs_.end();)
        s = s->second.conn == id ? subs_.erase(s) : std::next(s);
    for (auto &j : jobs_)
        if (j->requester == id)
            j->requester = 0;
    if (c->wrote)
        enqueue_oper(std::move(c->oper_before));
    // A client that left with a large partial frame: give its memory back to the system.
    const bool large = c->bev && evbuffer_get_length(bufferevent_get_input(c->bev)) > (1u << 20);
    if (c->bev)
        bufferevent_free(c->bev);
    if (large)
        malloc_trim(0);
    c->bev = nullptr;
    if (c->daemon)
        daemon_conn_closed(*c);
    if (c->kind == WireSock::Cli)
        cli_conn_closed(*c);
    if (active_) {
        if (active_->requester == id)
            active_->requester = 0;
        if (active_->pending.erase(id) && active_->pending.empty()) {
            ++active_->level;
            deliver_level();
        }
    }
}

void CdbServer::send(Conn &c, const std::vector<uint8_t> &frame) {
    if (c.closing || !c.bev)
        return;
    // A client that lets this much pile up has stopped reading; queueing more for it would
    // grow the server without bound.
    const size_t queued = evbuffer_get_length(bufferevent_get_output(c.bev));
    if (queued > opts_.max_output)
        return close_later(c, "stopped reading (" + std::to_string(queued) + " bytes unsent)");
    bufferevent_write(c.bev, frame.data(), frame.size());
}

void CdbServer::close_later(Conn &c, const std::string &why) {
    if (c.closing)
        return;
    c.closing = true;
    CDBD_CONN_LOG("closing connection #%llu (%s%s%s) %s: %s", static_cast<unsigned long long>(c.id),
                  kind_name(c.kind).c_str(), c.name.empty() ? "" : " ", c.name.c_str(),
                  c.peer.c_str(), why.c_str());
    bufferevent_disable(c.bev, EV_READ);
    struct Later {
        CdbServer *srv;
        uint64_t id;
    };
    auto *later = new Later{this, c.id};
    const timeval now{0, 0};
    auto cb = [](evutil_socket_t, short, void *arg) {
        std::unique_ptr<Later> l(static_cast<Later *>(arg));
        l->srv->close_conn(l->id);
    };
    // Without memory for the event the connection stays silent until its client goes.
    if (event_base_once(base_, -1, EV_TIMEOUT, cb, later, &now) != 0)
        delete later;
}

void CdbServer::reply_ok(Conn &c, Op op) {
    WireWriter w(op);
    send(c, w.finish());
}

void CdbServer::reply_err(Conn &c, Op op, int code, const std::string &msg) {
    send(c, confd_wire::error_frame(op, code, msg));
}

void CdbServer::dispatch(Conn &c, Op op, uint16_t status, const std::vector<uint8_t> &payload) {
    WireReader r(payload.data(), payload.size());
    if (!c.hello) {
        if (op == Op::Hello && c.nonce.empty() && !secret_.empty()) {
            // Access control: the client proves the secret before anything else.
            c.nonce = random_bytes(32);
            c.pending_hello = payload;
            WireWriter w(op, confd_wire::kStatusChallenge);
            w.bytes(c.nonce.data(), c.nonce.size());
            return send(c, w.finish());
        }
        if (op == Op::Auth && !c.nonce.empty()) {
            if (!auth_ok(secret_, c.nonce, c.pending_hello, payload, c.server_proof)) {
                CDBD_CONN_LOG("refused connection from %s: wrong access secret", c.peer.c_str());
                return close_conn(c.id);
            }
            return hello_done(c, c.pending_hello);
        }
        if (op != Op::Hello || !secret_.empty())
            return close_conn(c.id);
        return hello_done(c, payload);
    }
    if (c.kind == WireSock::Control || c.kind == WireSock::Worker || c.kind == WireSock::Maapi ||
        op == Op::CliDp || op == Op::CliAction || op == Op::CliNotifs) {
        if (do_daemon(c, op, r, payload, status))
            return;
    }
    const bool data = c.kind == WireSock::CdbData || c.kind == WireSock::CdbRead;
    const bool sub = c.kind == WireSock::CdbSubscription;
    switch (op) {
        case Op::GetPhase: {
            WireWriter w(op);
            w.i32(phase_);
            w.i32(0);
            w.i32(0);
            send(c, w.finish());
            return;
        }
        case Op::WaitStart:
            if (phase_ >= 1)
                reply_ok(c, op);
            else
                start_waiters_.insert(c.id);
            return;
        case Op::StartSession:
        case Op::EndSession:
            if (data)
                return do_session(c, op, r);
            break;
        case Op::Get:
        case Op::Exists:
        case Op::NumInstances:
            if (data)
                return do_read(c, op, r);
            break;
        case Op::SetElem:
        case Op::Create:
        case Op::Delete:
            if (data)
                return do_oper_write(c, op, r);
            break;
        case Op::Trigger:
        case Op::TriggerOper:
            if (data)
                return do_trigger(c, op, r);
            break;
        case Op::Subscribe:
            if (sub)
                return do_subscribe(c, r);
            break;
        case Op::SubscribeDone:
            if (sub) {
                c.sub_done = true;
                for (auto &[pid, s] : subs_)
                    if (s.conn == c.id)
                        s.active = true;
                reply_ok(c, op);
                return;
            }
            break;
        case Op::SubSync:
            if (sub) {
                reply_ok(c, op);
                on_sync(c.id);
                return;
            }
            break;
        case Op::GetSchema:
            send(c, schema_.export_schema());
            return;
        case Op::CliEdit:
        case Op::CliSet:
        case Op::CliDelete:
        case Op::CliShow:
        case Op::CliOperSet:
        case Op::CliOperDelete:
        case Op::CliOperGet:
        case Op::CliStatus:
        case Op::CliPhase:
            if (c.kind == WireSock::Cli)
                return do_cli(c, op, payload);
            break;
        default:
            reply_err(c, op, CONFD_ERR_UNAVAILABLE,
                      "request " + std::to_string(static_cast<unsigned>(op)) +
                          " is not provided by this server");
            return;
    }
    reply_err(c, op, CONFD_ERR_PROTOUSAGE,
              "request " + std::to_string(static_cast<unsigned>(op)) + " is not allowed on a " +
                  kind_name(c.kind) + " socket");
}

}  // namespace cdbd
