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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>

#include "common/plx_listen_guard.h"
#include "common/plx_paths.h"
#include "platform/confd/confd_cdb.h"

using confd_wire::EditMode;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireSock;
using confd_wire::WireWriter;

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

// Frees a node of a forest, keeping root pointing at the forest's first node.
void free_node(DataTree &t, lyd_node *n) {
    if (!n->parent && n == t.root)
        t.root = n->next;
    lyd_free_tree(n);
}

// Frees every node of t that xpath selects; returns how many there were.
uint32_t free_matches(DataTree &t, const std::string &xpath) {
    ly_set *set = nullptr;
    uint32_t n = 0;
    if (t.root && lyd_find_xpath(t.root, xpath.c_str(), &set) == LY_SUCCESS) {
        n = set->count;
        for (uint32_t i = 0; i < set->count; ++i)
            free_node(t, set->dnodes[i]);
    }
    ly_set_free(set, nullptr);
    return n;
}

// Builds the node at xpath (value: a leaf's text) and merges it into t. 0, or the error code
// with libyang's reason in err.
int merge_new_node(ly_ctx *ctx, DataTree &t, const std::string &xpath, const char *value,
                   uint32_t options, std::string &err) {
    lyd_node *created = nullptr;
    if (lyd_new_path(nullptr, ctx, xpath.c_str(), value, options, &created) != LY_SUCCESS) {
        err = ly_error_text(ctx);
        return CONFD_ERR_BADTYPE;
    }
    if (lyd_merge_siblings(&t.root, created, LYD_MERGE_DESTRUCT) != LY_SUCCESS) {
        err = ly_error_text(ctx);
        return CONFD_ERR_INTERNAL;
    }
    return 0;
}

// Operational writes leave configuration alone: CONFD_ERR_NOT_WRITABLE (err says why) or 0.
int config_refused(const ResolvedPath &rp, const std::string &path, std::string &err) {
    if (!(rp.schema->flags & LYS_CONFIG_W))
        return 0;
    err = path + " is configuration; only operational data can be written here";
    return CONFD_ERR_NOT_WRITABLE;
}

void text_tree(const lyd_node *first, int indent, std::string &out) {
    for (const lyd_node *n = first; n; n = n->next) {
        if (!n->schema || ((n->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) && is_default(n)))
            continue;
        if (n->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) {
            if (n->parent && n->parent->schema->nodetype == LYS_LIST && lysc_is_key(n->schema))
                continue;
            out += std::string(indent, ' ') + n->schema->name;
            const char *v = lyd_get_value(n);
            if (v && *v)
                out += std::string(" ") + (strchr(v, ' ') ? "\"" + std::string(v) + "\"" : v);
            out += "\n";
            continue;
        }
        if (n->schema->nodetype == LYS_CONTAINER && !(n->schema->flags & LYS_PRESENCE) &&
            (n->flags & LYD_DEFAULT))
            continue;
        std::string line = std::string(indent, ' ') + n->schema->name;
        if (n->schema->nodetype == LYS_LIST) {
            for (const lyd_node *k = lyd_child(n); k && k->schema && lysc_is_key(k->schema);
                 k = k->next) {
                const char *v = lyd_get_value(k);
                line += std::string(" ") + (strchr(v, ' ') ? "\"" + std::string(v) + "\"" : v);
            }
        }
        out += line + "\n";
        text_tree(lyd_child(n), indent + 2, out);
    }
}

}  // namespace

CdbServer::CdbServer(ServerOptions opts) : opts_(std::move(opts)) {}

CdbServer::~CdbServer() {
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
    if (base_)
        event_base_free(base_);
}

bool CdbServer::init(std::string &err) {
    std::call_once(g_evthread_once, [] { evthread_use_pthreads(); });
    phase_ = opts_.start_phase;
    if (!schema_.load(opts_.yang_dir, err))
        return false;
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

uint64_t CdbServer::serve_stream(bufferevent *bev, const std::string &peer) {
    auto c = std::make_unique<Conn>();
    c->id = next_conn_++;
    c->peer = peer;
    c->bev = bev;
    bufferevent_setcb(c->bev, on_read, nullptr, on_event, this);
    bufferevent_enable(c->bev, EV_READ | EV_WRITE);
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

// ---- data sockets ----
const lyd_node *CdbServer::tree_for(int db) const {
    switch (db) {
        case CDB_OPERATIONAL:
            return oper_.root;
        case CDB_PRE_COMMIT_RUNNING:
            return precommit_ ? precommit_ : running_.root;
        default:
            return running_.root;
    }
}

void CdbServer::do_session(Conn &c, Op op, WireReader &r) {
    if (op == Op::StartSession) {
        uint32_t db = 0, flags = 0;
        if (!r.u32(db) || !r.u32(flags) || db < CDB_RUNNING || db > CDB_PRE_COMMIT_RUNNING)
            return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "bad datastore");
        if (c.session_db)
            return reply_err(c, op, CONFD_ERR_LOCKED, "a session is already open on this socket");
        c.session_db = static_cast<int>(db);
        return reply_ok(c, op);
    }
    if (!c.session_db)
        return reply_err(c, op, CONFD_ERR_NOSESSION, "no session is open on this socket");
    end_session(c);
    reply_ok(c, op);
}

void CdbServer::end_session(Conn &c) {
    if (c.wrote)
        enqueue_oper(std::move(c.oper_before));
    c.wrote = false;
    c.oper_before.reset();
    c.session_db = 0;
}

void CdbServer::do_read(Conn &c, Op op, WireReader &r) {
    std::string path, err;
    if (!r.str(path))
        return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "missing path");
    if (!c.session_db)
        return reply_err(c, op, CONFD_ERR_NOSESSION, "no session is open on this socket");
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return reply_err(c, op, CONFD_ERR_BADPATH, err);
    const lyd_node *tree = tree_for(c.session_db);
    if (op == Op::NumInstances) {
        if (rp.schema->nodetype != LYS_LIST)
            return reply_err(c, op, CONFD_ERR_BADPATH, path + " is not a list");
        uint32_t count = 0;
        ly_set *set = nullptr;
        if (tree && lyd_find_xpath(tree, rp.xpath.c_str(), &set) == LY_SUCCESS)
            count = set->count;
        ly_set_free(set, nullptr);
        WireWriter w(op);
        w.u32(count);
        return send(c, w.finish());
    }
    lyd_node *match = nullptr;
    const bool found = rp.has_all_keys && tree &&
                       lyd_find_path(tree, rp.xpath.c_str(), 0, &match) == LY_SUCCESS && match;
    if (op == Op::Exists) {
        WireWriter w(op);
        w.u8(found && !((match->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) &&
                        is_default(match) && c.session_db == CDB_OPERATIONAL));
        return send(c, w.finish());
    }
    if (!rp.has_all_keys)
        return reply_err(c, op, CONFD_ERR_BADPATH, path + ": a list entry needs its keys");
    if (!found)
        return reply_err(c, op, CONFD_ERR_NOEXISTS, path + " does not exist");
    confd_value_t v{};
    std::string text;
    if (match->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) {
        if (!schema_.to_value(match, v))
            return reply_err(c, op, CONFD_ERR_INTERNAL, "cannot convert the value of " + path);
        text = lyd_get_value(match);
    } else {
        CONFD_SET_XMLTAG(&v, schema_.tag(match->schema), schema_.ns(match->schema->module));
    }
    WireWriter w(op);
    w.value(v);
    w.str(text);
    confd_free_value(&v);
    send(c, w.finish());
}

int CdbServer::oper_set(const std::string &path, const confd_value_t *v, const std::string *text,
                        std::string &err) {
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return CONFD_ERR_BADPATH;
    if (!(rp.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST))) {
        err = path + " is not a leaf";
        return CONFD_ERR_BADPATH;
    }
    if (int code = config_refused(rp, path, err))
        return code;
    if (!rp.has_all_keys) {
        err = path + ": a list entry needs its keys";
        return CONFD_ERR_BADPATH;
    }
    std::vector<std::string> texts;
    if (text) {
        texts.push_back(*text);
    } else if (v->type == C_LIST) {
        for (unsigned i = 0; i < v->val.list.size; ++i) {
            std::string t;
            if (!schema_.to_text(rp.schema, v->val.list.ptr[i], t, err))
                return CONFD_ERR_BADTYPE;
            texts.push_back(t);
        }
    } else {
        std::string t;
        if (!schema_.to_text(rp.schema, *v, t, err))
            return CONFD_ERR_BADTYPE;
        texts.push_back(t);
    }
    if (rp.schema->nodetype == LYS_LEAFLIST)
        free_matches(oper_, rp.xpath);  // a leaf-list is replaced as a whole
    for (const auto &t : texts)
        if (int code =
                merge_new_node(schema_.ctx(), oper_, rp.xpath, t.c_str(), LYD_NEW_PATH_UPDATE, err))
            return code;
    return 0;
}

int CdbServer::oper_create(const std::string &path, std::string &err) {
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return CONFD_ERR_BADPATH;
    if (int code = config_refused(rp, path, err))
        return code;
    if (!(rp.schema->nodetype & (LYS_LIST | LYS_CONTAINER)) || !rp.has_all_keys) {
        err = path + " is not a list entry or container";
        return CONFD_ERR_BADPATH;
    }
    lyd_node *match = nullptr;
    if (oper_.root && lyd_find_path(oper_.root, rp.xpath.c_str(), 0, &match) == LY_SUCCESS &&
        match) {
        err = path + " exists already";
        return CONFD_ERR_ALREADY_EXISTS;
    }
    return merge_new_node(schema_.ctx(), oper_, rp.xpath, nullptr, 0, err);
}

int CdbServer::oper_delete(const std::string &path, std::string &err) {
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return CONFD_ERR_BADPATH;
    if (int code = config_refused(rp, path, err))
        return code;
    if (!rp.has_all_keys || free_matches(oper_, rp.xpath) == 0) {
        err = path + " does not exist";
        return CONFD_ERR_NOEXISTS;
    }
    return 0;
}

void CdbServer::do_oper_write(Conn &c, Op op, WireReader &r) {
    confd_value_t v{};
    std::string path, err;
    if (op == Op::SetElem && !r.value(v))
        return reply_err(c, op, CONFD_ERR_BADTYPE, "malformed value");
    if (!r.str(path)) {
        confd_free_value(&v);
        return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "missing path");
    }
    if (c.session_db != CDB_OPERATIONAL) {
        confd_free_value(&v);
        return reply_err(c, op, c.session_db ? CONFD_ERR_NOT_WRITABLE : CONFD_ERR_NOSESSION,
                         c.session_db ? "only an operational session may write"
                                      : "no session is open on this socket");
    }
    DataTree before;
    if (!c.wrote)
        before.dup_from(oper_.root);
    int code = op == Op::SetElem  ? oper_set(path, &v, nullptr, err)
               : op == Op::Create ? oper_create(path, err)
                                  : oper_delete(path, err);
    confd_free_value(&v);
    if (code != 0)
        return reply_err(c, op, code, err);
    if (!c.wrote) {
        c.oper_before = std::move(before);
        c.wrote = true;
    }
    reply_ok(c, op);
}

void CdbServer::enqueue_oper(DataTree before) {
    auto job = std::make_unique<Job>();
    job->kind = Job::Oper;
    job->old_tree = std::move(before);
    job->new_tree.dup_from(oper_.root);
    enqueue(std::move(job));
}

// ---- subscriptions ----
void CdbServer::do_subscribe(Conn &c, WireReader &r) {
    uint8_t oper = 0;
    int32_t prio = 0;
    uint32_t ns = 0;
    std::string path, err;
    if (!r.u8(oper) || !r.i32(prio) || !r.u32(ns) || !r.str(path))
        return reply_err(c, Op::Subscribe, CONFD_ERR_PROTOUSAGE, "malformed subscription");
    if (!oper && prio < kMinSubscriptionPriority)
        return reply_err(c, Op::Subscribe, CONFD_ERR_PROTOUSAGE,
                         "subscription priority " + std::to_string(prio) + " is below " +
                             std::to_string(kMinSubscriptionPriority) +
                             " (reserved: nothing is told of a change before the daemons)");
    ResolvedPath rp;
    if (!schema_.resolve(path, rp, err))
        return reply_err(c, Op::Subscribe, CONFD_ERR_BADPATH, err);
    if (rp.xpath.find('[') != std::string::npos)
        return reply_err(c, Op::Subscribe, CONFD_ERR_BADPATH,
                         "subscription paths name lists without keys: " + path);
    if (ns != 0 && ns != schema_.ns(rp.schema->module))
        return reply_err(c, Op::Subscribe, CONFD_ERR_BADPATH,
                         path + " is not in namespace " + std::to_string(ns));
    size_t mine = 0;
    for (const auto &[pid, s] : subs_)
        mine += s.conn == c.id;
    if (mine >= opts_.max_subs_per_conn)
        return reply_err(c, Op::Subscribe, CONFD_ERR_PROTOUSAGE,
                         "more than " + std::to_string(opts_.max_subs_per_conn) +
                             " subscription points on one socket");
    const int id = next_point_++;
    subs_[id] = Sub{id, c.id, oper ? 0 : prio, oper != 0, c.sub_done, path, rp.schema};
    WireWriter w(Op::Subscribe);
    w.i32(id);
    send(c, w.finish());
}

void CdbServer::do_trigger(Conn &c, Op op, WireReader &r) {
    uint32_t flags = 0, n = 0;
    if (!r.u32(flags) || !r.u32(n))
        return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed trigger");
    auto job = std::make_unique<Job>();
    job->kind = Job::Trigger;
    job->oper_trigger = op == Op::TriggerOper;
    for (uint32_t i = 0; i < n; ++i) {
        int32_t id = 0;
        if (!r.i32(id))
            return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed trigger");
        auto it = subs_.find(id);
        if (it == subs_.end() || it->second.oper != job->oper_trigger)
            return reply_err(c, op, CONFD_ERR_NOEXISTS,
                             "no " + std::string(job->oper_trigger ? "operational" : "") +
                                 " subscription point " + std::to_string(id));
        job->points.push_back(id);
    }
    job->requester = c.id;
    job->reply_op = op;
    enqueue(std::move(job));
}

// ---- jobs ----
Job::~Job() {
    if (sync_timer)
        event_free(sync_timer);
}

void CdbServer::enqueue(std::unique_ptr<Job> job) {
    jobs_.push_back(std::move(job));
    start_next_job();
}

void CdbServer::start_next_job() {
    while (!active_ && !jobs_.empty()) {
        active_ = std::move(jobs_.front());
        jobs_.pop_front();
        run_active();
    }
}

// Runs the active job until it waits (for daemons or subscribers) or is finished.
void CdbServer::run_active() {
    {
        Job &j = *active_;
        std::set<int> chosen;
        switch (j.kind) {
            case Job::Commit:
                // Daemons with validation callbacks are told before and after the
                // configuration is validated.
                if (!j.validated && start_validation(j))
                    return;
                if (!j.validation_error.empty()) {
                    if (auto it = conns_.find(j.requester); it != conns_.end())
                        reply_err(*it->second, j.cli_op, CONFD_ERR_VALIDATION, j.validation_error);
                    j.requester = 0;
                    stop_validation(j);
                    finish_job();
                    return;
                }
                if (!prepare_commit(j)) {
                    stop_validation(j);
                    finish_job();
                    return;
                }
                stop_validation(j);
                precommit_ = j.old_tree.root;
                for (auto &[id, s] : subs_)
                    if (s.active && !s.oper && fires(j.changes, s.schema))
                        chosen.insert(id);
                break;
            case Job::Trigger:
                j.sub_flags = CDB_SUB_FLAG_TRIGGER;
                if (j.oper_trigger) {
                    j.sub_type = CDB_SUB_OPER;
                    j.new_tree.dup_from(oper_.root);
                }
                j.changes =
                    diff_trees(schema_, nullptr, j.oper_trigger ? j.new_tree.root : running_.root);
                for (auto &[id, s] : subs_) {
                    const bool listed =
                        j.points.empty()
                            ? s.oper == j.oper_trigger
                            : std::find(j.points.begin(), j.points.end(), id) != j.points.end();
                    // A socket still subscribing has not asked for notifications yet.
                    if (listed && s.active)
                        chosen.insert(id);
                }
                break;
            case Job::Oper:
                j.sub_type = CDB_SUB_OPER;
                j.changes = diff_trees(schema_, j.old_tree.root, j.new_tree.root);
                for (auto &[id, s] : subs_)
                    if (s.active && s.oper && fires(j.changes, s.schema))
                        chosen.insert(id);
                break;
        }
        std::map<int, std::vector<int>> by_prio;
        for (int id : chosen)
            by_prio[subs_[id].prio].push_back(id);
        j.levels.assign(by_prio.begin(), by_prio.end());
        j.level = 0;
        deliver_level();
    }
}

int CdbServer::build_commit(Op op, const std::vector<uint8_t> &payload, DataTree &next,
                            std::string &msg) {
    auto fail = [&](int code, const std::string &why) {
        msg = why;
        return code;
    };
    WireReader r(payload.data(), payload.size());
    std::string err;
    ly_ctx *ctx = schema_.ctx();
    if (op == Op::CliEdit) {
        uint8_t mode = 0, format = 0;
        std::string text;
        if (!r.u8(mode) || !r.u8(format) || !r.str(text))
            return fail(CONFD_ERR_PROTOUSAGE, "malformed load request");
        lyd_node *edit = nullptr;
        if (lyd_parse_data_mem(ctx, text.c_str(), format == 1 ? LYD_JSON : LYD_XML,
                               LYD_PARSE_ONLY | LYD_PARSE_STRICT | LYD_PARSE_NO_STATE, 0,
                               &edit) != LY_SUCCESS)
            return fail(CONFD_ERR_VALIDATION, "invalid configuration: " + ly_error_text(ctx));
        if (static_cast<EditMode>(mode) == EditMode::Replace) {
            next.reset(edit);
        } else {
            if (!next.dup_from(running_.root)) {
                lyd_free_all(edit);
                return fail(CONFD_ERR_INTERNAL, "cannot copy the running configuration");
            }
            LY_ERR rc = lyd_merge_siblings(&next.root, edit, LYD_MERGE_DESTRUCT);
            if (rc != LY_SUCCESS)
                return fail(CONFD_ERR_VALIDATION, "cannot merge: " + ly_error_text(ctx));
        }
    } else if (op == Op::CliSet || op == Op::CliDelete) {
        std::string path, value;
        if (!r.str(path) || (op == Op::CliSet && !r.str(value)))
            return fail(CONFD_ERR_PROTOUSAGE, "malformed request");
        ResolvedPath rp;
        if (!schema_.resolve(path, rp, err))
            return fail(CONFD_ERR_BADPATH, err);
        if (!(rp.schema->flags & LYS_CONFIG_W))
            return fail(CONFD_ERR_NOT_WRITABLE,
                        path + " is operational data; use the oper commands");
        if (!rp.has_all_keys)
            return fail(CONFD_ERR_BADPATH, path + ": a list entry needs its keys");
        if (!next.dup_from(running_.root))
            return fail(CONFD_ERR_INTERNAL, "cannot copy the running configuration");
        if (op == Op::CliSet) {
            const bool leafish = rp.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST);
            if (leafish && value.empty() && rp.schema->nodetype == LYS_LEAF &&
                reinterpret_cast<const lysc_node_leaf *>(rp.schema)->type->basetype !=
                    LY_TYPE_EMPTY &&
                reinterpret_cast<const lysc_node_leaf *>(rp.schema)->type->basetype !=
                    LY_TYPE_STRING)
                return fail(CONFD_ERR_BADTYPE, path + " needs a value");
            if (!leafish && !value.empty())
                return fail(CONFD_ERR_BADTYPE, path + " takes no value");
            if (int code = merge_new_node(ctx, next, rp.xpath, leafish ? value.c_str() : nullptr,
                                          LYD_NEW_PATH_UPDATE, err))
                return fail(code,
                            (code == CONFD_ERR_BADTYPE ? path + ": " : "cannot merge: ") + err);
        } else {
            ly_set *set = nullptr;
            uint32_t n = 0;
            if (next.root && lyd_find_xpath(next.root, rp.xpath.c_str(), &set) == LY_SUCCESS) {
                for (uint32_t i = 0; i < set->count; ++i) {
                    lyd_node *d = set->dnodes[i];
                    if ((d->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)) && is_default(d))
                        continue;
                    if (d->schema->nodetype == LYS_CONTAINER &&
                        !(d->schema->flags & LYS_PRESENCE)) {
                        // A non-presence container always exists: empty it.
                        while (lyd_child(d)) {
                            lyd_free_tree(lyd_child(d));
                        }
                        ++n;
                        continue;
                    }
                    free_node(next, d);
                    ++n;
                }
            }
            ly_set_free(set, nullptr);
            if (n == 0)
                return fail(CONFD_ERR_NOEXISTS, path + " does not exist");
        }
    } else {
        return fail(CONFD_ERR_PROTOUSAGE, "not a commit");
    }
    if (lyd_validate_all(&next.root, ctx, LYD_VALIDATE_NO_STATE, nullptr) != LY_SUCCESS)
        return fail(CONFD_ERR_VALIDATION, "invalid configuration: " + ly_error_text(ctx));
    return 0;
}

bool CdbServer::prepare_commit(Job &j) {
    Conn *req = nullptr;
    if (auto it = conns_.find(j.requester); it != conns_.end())
        req = it->second.get();
    auto fail = [&](int code, const std::string &msg) {
        if (req)
            reply_err(*req, j.cli_op, code, msg);
        j.requester = 0;
        return false;
    };
    DataTree next;
    std::string err;
    if (int code = build_commit(j.cli_op, j.cli_payload, next, err))
        return fail(code, err);
    std::vector<Change> changes = diff_trees(schema_, running_.root, next.root);
    if (changes.empty()) {
        if (req) {
            WireWriter w(j.cli_op);
            w.str("no changes");
            send(*req, w.finish());
        }
        j.requester = 0;
        return false;
    }
    // Durable before anyone hears of it: one record and one fdatasync.
    if (!journal_.append(static_cast<uint8_t>(j.cli_op), j.cli_payload, err))
        return fail(CONFD_ERR_OS, err);
    j.old_tree = std::move(running_);
    running_ = std::move(next);
    j.changes = std::move(changes);
    size_t count = 0;
    std::function<void(const std::vector<Change> &)> cnt = [&](const std::vector<Change> &v) {
        for (const auto &c : v) {
            if (c.schema->nodetype & (LYS_LEAF | LYS_LEAFLIST) || c.op != MOP_MODIFIED)
                ++count;
            if (c.op == MOP_MODIFIED)
                cnt(c.children);
        }
    };
    cnt(j.changes);
    j.message = "committed (" + std::to_string(count) + " change" + (count == 1 ? "" : "s") + ")";
    fprintf(stderr, "cdbd: %s by %s\n", j.message.c_str(),
            req ? conn_owner_text(*req, port_).c_str() : "a client that left");
    return true;
}

void CdbServer::deliver_level() {
    if (!active_)
        return;
    Job &j = *active_;
    while (j.level < j.levels.size()) {
        // Point ids of this level that still exist, grouped by socket.
        std::map<uint64_t, std::vector<int>> by_conn;
        for (int id : j.levels[j.level].second) {
            auto it = subs_.find(id);
            if (it != subs_.end() && conns_.count(it->second.conn))
                by_conn[it->second.conn].push_back(id);
        }
        for (auto &[cid, ids] : by_conn) {
            Conn &c = *conns_[cid];
            if (c.closing)
                continue;
            WireWriter w(Op::Notify);
            w.u32(static_cast<uint32_t>(j.sub_type));
            w.u32(static_cast<uint32_t>(j.sub_flags));
            w.u32(static_cast<uint32_t>(ids.size()));
            for (int id : ids)
                write_point(schema_, w, id, subs_[id].schema, j.changes);
            const auto &frame = w.finish();
            if (frame.size() - 4 > opts_.max_frame) {
                // The client could not read it and would never synchronise.
                close_later(c, "its change notification of " + std::to_string(frame.size()) +
                                   " bytes passes the frame limit");
                continue;
            }
            send(c, frame);
            if (!c.closing)
                j.pending.insert(cid);
        }
        if (!j.pending.empty()) {
            if (opts_.sync_timeout_ms > 0) {
                if (!j.sync_timer)
                    j.sync_timer = evtimer_new(base_, on_sync_timeout, this);
                const timeval tv{opts_.sync_timeout_ms / 1000,
                                 (opts_.sync_timeout_ms % 1000) * 1000};
                evtimer_add(j.sync_timer, &tv);
            }
            return;
        }
        ++j.level;
    }
    finish_job();
    start_next_job();
}

void CdbServer::on_sync_timeout(evutil_socket_t, short, void *arg) {
    auto *self = static_cast<CdbServer *>(arg);
    if (!self->active_)
        return;
    const std::string why = "did not synchronise a notification within " +
                            std::to_string(self->opts_.sync_timeout_ms) + " ms";
    for (uint64_t id : self->active_->pending)
        if (auto it = self->conns_.find(id); it != self->conns_.end())
            self->close_later(*it->second, why);
}

void CdbServer::on_sync(uint64_t conn_id) {
    if (!active_ || !active_->pending.erase(conn_id) || !active_->pending.empty())
        return;
    if (active_->sync_timer)
        evtimer_del(active_->sync_timer);
    ++active_->level;
    deliver_level();
}

void CdbServer::finish_job() {
    if (!active_)
        return;
    Job &j = *active_;
    if (j.requester) {
        if (auto it = conns_.find(j.requester); it != conns_.end()) {
            WireWriter w(j.kind == Job::Commit ? j.cli_op : j.reply_op);
            if (j.kind == Job::Commit)
                w.str(j.message);
            send(*it->second, w.finish());
        }
    }
    precommit_ = nullptr;
    const bool committed = j.kind == Job::Commit && j.old_tree.root != nullptr;
    active_.reset();
    // Once acknowledged: a journal grown large is folded into a new snapshot, so that a
    // start never replays more than that.
    if (committed && journal_.wants_compaction()) {
        std::string err;
        if (!compact(err))
            fprintf(stderr, "cdbd: the journal stays as it is: %s\n", err.c_str());
    }
}

std::string CdbServer::running_text(std::string &err) const {
    char *text = nullptr;
    if (running_.root &&
        lyd_print_mem(&text, running_.root, LYD_JSON, LYD_PRINT_WITHSIBLINGS) != LY_SUCCESS) {
        err = "cannot print the configuration: " + ly_error_text(schema_.ctx());
        return {};
    }
    std::string body = text ? text : "";
    free(text);
    return body.empty() ? "{}\n" : body;
}

bool CdbServer::compact(std::string &err) {
    std::string body = running_text(err);
    if (!err.empty())
        return false;
    // The snapshot first: until the fresh journal replaces the old one, the old journal no
    // longer matches the snapshot and is not read.
    return write_file_durably(running_file_, body, err) && journal_.reset(journal_file_, body, err);
}

void CdbServer::set_phase(int phase) {
    phase_ = phase;
    if (phase_ < 1)
        return;
    for (uint64_t id : start_waiters_)
        if (auto it = conns_.find(id); it != conns_.end())
            reply_ok(*it->second, Op::WaitStart);
    start_waiters_.clear();
}

// ---- command line ----
std::string CdbServer::status_text() const {
    std::ostringstream os;
    os << "phase: " << phase_ << "\n";
    os << "running datastore: " << running_file_ << "\n";
    os << "yang modules:";
    for (const lys_module *m : schema_.modules())
        os << " " << m->name << "(" << schema_.ns(m) << ")";
    os << "\nconnections:\n";
    for (const auto &[id, c] : conns_)
        os << "  #" << id << " " << kind_name(c->kind) << (c->name.empty() ? "" : " \"") << c->name
           << (c->name.empty() ? "" : "\"") << " " << c->peer
           << (c->session_db ? " (in session)" : "") << "\n";
    os << "subscriptions:\n";
    for (const auto &[id, s] : subs_)
        os << "  point " << id << " "
           << (s.oper ? "operational" : "priority " + std::to_string(s.prio)) << " socket #"
           << s.conn << (s.active ? "" : " (not done)") << " " << s.path << "\n";
    if (active_)
        os << "delivering: level " << active_->level + 1 << " of " << active_->levels.size()
           << ", waiting for " << active_->pending.size() << " socket(s)\n";
    os << "queued jobs: " << jobs_.size() << "\n";
    os << daemons_text();
    return os.str();
}

void CdbServer::do_cli(Conn &c, Op op, const std::vector<uint8_t> &payload) {
    WireReader r(payload.data(), payload.size());
    std::string err;
    switch (op) {
        case Op::CliEdit:
        case Op::CliSet:
        case Op::CliDelete: {
            auto job = std::make_unique<Job>();
            job->kind = Job::Commit;
            job->cli_op = op;
            job->cli_payload = payload;
            job->requester = c.id;
            enqueue(std::move(job));
            return;
        }
        case Op::CliShow: {
            std::string path;
            uint8_t format = 0, oper = 0;
            if (!r.str(path) || !r.u8(format) || !r.u8(oper))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed show request");
            const lyd_node *tree = oper ? oper_.root : running_.root;
            DataTree sub;
            const lyd_node *print = tree;
            if (!path.empty() && path != "/") {
                ResolvedPath rp;
                if (!schema_.resolve(path, rp, err))
                    return reply_err(c, op, CONFD_ERR_BADPATH, err);
                ly_set *set = nullptr;
                if (tree && lyd_find_xpath(tree, rp.xpath.c_str(), &set) == LY_SUCCESS) {
                    for (uint32_t i = 0; i < set->count; ++i) {
                        lyd_node *dup = nullptr;
                        if (lyd_dup_single(
                                set->dnodes[i], nullptr,
                                LYD_DUP_RECURSIVE | LYD_DUP_WITH_PARENTS | LYD_DUP_WITH_FLAGS,
                                &dup) == LY_SUCCESS) {
                            while (dup->parent)
                                dup = lyd_parent(dup);
                            lyd_merge_siblings(&sub.root, dup, LYD_MERGE_DESTRUCT);
                        }
                    }
                }
                ly_set_free(set, nullptr);
                if (!sub.root)
                    return reply_err(c, op, CONFD_ERR_NOEXISTS, path + " does not exist");
                print = sub.root;
            }
            std::string out;
            if (format == 2) {
                text_tree(print, 0, out);
            } else if (print) {
                char *text = nullptr;
                lyd_print_mem(&text, print, format == 1 ? LYD_JSON : LYD_XML,
                              LYD_PRINT_WITHSIBLINGS);
                out = text ? text : "";
                free(text);
            }
            WireWriter w(op);
            w.str(out);
            return send(c, w.finish());
        }
        case Op::CliOperGet: {
            std::string path;
            if (!r.str(path))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
            ResolvedPath rp;
            if (!schema_.resolve(path, rp, err))
                return reply_err(c, op, CONFD_ERR_BADPATH, err);
            lyd_node *match = nullptr;
            if (!rp.has_all_keys || !oper_.root ||
                lyd_find_path(oper_.root, rp.xpath.c_str(), 0, &match) != LY_SUCCESS || !match)
                return reply_err(c, op, CONFD_ERR_NOEXISTS, path + " does not exist");
            std::string out;
            if (match->schema->nodetype == LYS_LEAFLIST) {
                for (const lyd_node *n = match; n && n->schema == match->schema; n = n->next)
                    out += (out.empty() ? "" : " ") + std::string(lyd_get_value(n));
            } else if (match->schema->nodetype == LYS_LEAF) {
                out = lyd_get_value(match);
            } else {
                text_tree(lyd_child(match), 0, out);
            }
            WireWriter w(op);
            w.str(out);
            return send(c, w.finish());
        }
        case Op::CliOperSet:
        case Op::CliOperDelete: {
            std::string path, value;
            if (!r.str(path) || (op == Op::CliOperSet && !r.str(value)))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
            fprintf(stderr, "cdbd: operational %s of %s by %s\n",
                    op == Op::CliOperSet ? "write" : "delete", path.c_str(),
                    conn_owner_text(c, port_).c_str());
            DataTree before;
            before.dup_from(oper_.root);
            int code = 0;
            if (op == Op::CliOperDelete) {
                code = oper_delete(path, err);
            } else {
                ResolvedPath rp;
                if (!schema_.resolve(path, rp, err))
                    code = CONFD_ERR_BADPATH;
                else if (rp.schema->nodetype & (LYS_LIST | LYS_CONTAINER))
                    code = oper_create(path, err);
                else
                    code = oper_set(path, nullptr, &value, err);
            }
            if (code != 0)
                return reply_err(c, op, code, err);
            enqueue_oper(std::move(before));
            WireWriter w(op);
            w.str("done");
            return send(c, w.finish());
        }
        case Op::CliStatus: {
            WireWriter w(op);
            w.str(status_text());
            return send(c, w.finish());
        }
        case Op::CliPhase: {
            int32_t target = -1;
            if (!r.i32(target))
                return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "malformed request");
            if (target < 0)
                target = phase_ < 2 ? phase_ + 1 : 2;
            if (target > 2 || target < phase_)
                return reply_err(
                    c, op, CONFD_ERR_BADSTATE,
                    "the phase can only advance, from " + std::to_string(phase_) + " up to 2");
            set_phase(target);
            WireWriter w(op);
            w.str("phase " + std::to_string(phase_));
            return send(c, w.finish());
        }
        default:
            return reply_err(c, op, CONFD_ERR_PROTOUSAGE, "unknown request");
    }
}

}  // namespace cdbd
