// Client library core: errors and set-up, the table of connected sockets, and the requests and
// replies every part of the library sends on them.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/confd/confd_auth.h"
#include "platform/confd/confd_client.h"
#include "platform/confd/confd_lib.h"

using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireSock;
using confd_wire::WireWriter;

namespace {

thread_local int t_errno = 0;
thread_local char t_lasterr[1024] = "";

std::mutex g_socks_mu;
std::unordered_map<int, std::shared_ptr<confd_client::SockState>> g_socks;

}  // namespace

extern "C" int *confd_errno_location(void) {
    return &t_errno;
}
extern "C" char *confd_lasterr(void) {
    return t_lasterr;
}

extern "C" const char *confd_strerror(int code) {
    switch (code) {
        case 0:
            return "no error";
        case CONFD_ERR_NOEXISTS:
            return "item does not exist";
        case CONFD_ERR_ALREADY_EXISTS:
            return "item already exists";
        case CONFD_ERR_ACCESS_DENIED:
            return "access denied";
        case CONFD_ERR_NOT_WRITABLE:
            return "item is not writable";
        case CONFD_ERR_BADTYPE:
            return "bad value type";
        case CONFD_ERR_NOTCREATABLE:
            return "item is not creatable";
        case CONFD_ERR_NOTDELETABLE:
            return "item is not deletable";
        case CONFD_ERR_BADPATH:
            return "bad path";
        case CONFD_ERR_NOSTACK:
            return "no stack";
        case CONFD_ERR_LOCKED:
            return "locked";
        case CONFD_ERR_INUSE:
            return "in use";
        case CONFD_ERR_NOTSET:
            return "not set";
        case CONFD_ERR_NON_UNIQUE:
            return "non-unique";
        case CONFD_ERR_BAD_KEYREF:
            return "bad keyref";
        case CONFD_ERR_TOO_FEW_ELEMS:
            return "too few elements";
        case CONFD_ERR_TOO_MANY_ELEMS:
            return "too many elements";
        case CONFD_ERR_BADSTATE:
            return "bad state";
        case CONFD_ERR_INTERNAL:
            return "internal error";
        case CONFD_ERR_EXTERNAL:
            return "external error";
        case CONFD_ERR_MALLOC:
            return "memory allocation failed";
        case CONFD_ERR_PROTOUSAGE:
            return "protocol usage error";
        case CONFD_ERR_NOSESSION:
            return "no session";
        case CONFD_ERR_TOOMANYTRANS:
            return "too many transactions";
        case CONFD_ERR_OS:
            return "system call failed";
        case CONFD_ERR_HA_CONNECT:
            return "HA connection failed";
        case CONFD_ERR_HA_CLOSED:
            return "HA connection closed";
        case CONFD_ERR_UNAVAILABLE:
            return "function unavailable";
        case CONFD_ERR_VALIDATION:
            return "validation failed";
        case CONFD_ERR_NO_SCHEMA:
            return "schema not loaded";
        case CONFD_ERR_LIB_NOT_INIT:
            return "library not initialised";
        default:
            return "unknown error";
    }
}

extern "C" int confd_init_vsn_sz(const char *name, FILE *estream,
                                 const enum confd_debug_level debug, int vsn, int maxdepth,
                                 int maxkeylen) {
    (void)name;
    (void)estream;
    (void)debug;
    if (vsn != CONFD_LIB_API_VSN)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "unsupported API version 0x%x", vsn);
    if (maxdepth > MAXDEPTH || maxkeylen > MAXKEYLEN)
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "key-path limits %d/%d too large",
                                     maxdepth, maxkeylen);
    return CONFD_OK;
}

extern "C" const struct sockaddr *confd_local_addr(void) {
    static const sockaddr_in addr = [] {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(CONFD_PORT);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }();
    return reinterpret_cast<const sockaddr *>(&addr);
}

// ---- sockets and requests ----
namespace confd_client {

TvArray::~TvArray() {
    for (auto &tv : items)
        confd_free_value(&tv.v);
}

EventData::~EventData() {
    confd_free_value(&oldv);
    confd_free_value(&newv);
    for (auto &v : kp_values)
        confd_free_value(&v);
}

bool EventData::read(confd_wire::WireReader &r) {
    uint32_t len = 0;
    if (!r.u32(len) || len > MAXDEPTH)
        return false;
    kp_counts.reserve(len);
    kp_values.reserve(len);
    for (uint32_t i = 0; i < len; ++i) {
        uint8_t n = 0;
        if (!r.u8(n) || n > MAXKEYLEN)
            return false;
        kp_counts.push_back(n);
        for (uint8_t k = 0; k < n; ++k) {
            confd_value_t v;
            if (!r.value(v))
                return false;
            kp_values.push_back(v);
        }
    }
    return r.value(oldv) && r.value(newv) && r.tagged_list(mods.items);
}

const EventData *Event::data() const {
    if (!data_) {
        auto d = std::make_unique<EventData>();
        confd_wire::WireReader r(body.data(), body.size());
        // The event was checked when the notification arrived: only memory can fail here.
        if (!d->read(r)) {
            set_err(CONFD_ERR_MALLOC, "out of memory decoding a change");
            return nullptr;
        }
        data_ = std::move(d);
    }
    return data_.get();
}

const TvArray *PointChanges::point_mods() const {
    if (!point_mods_) {
        auto m = std::make_unique<TvArray>();
        confd_wire::WireReader r(mods_body.data(), mods_body.size());
        if (!r.tagged_list(m->items)) {
            set_err(CONFD_ERR_MALLOC, "out of memory decoding a change");
            return nullptr;
        }
        point_mods_ = std::move(m);
    }
    return point_mods_.get();
}

void EventData::fill_keypath(confd_hkeypath_t &kp) const {
    kp.len = static_cast<int>(kp_counts.size());
    size_t at = 0;
    for (size_t e = 0; e < kp_counts.size(); ++e) {
        confd_value_t *slot = kp.v[kp.len - 1 - static_cast<int>(e)];
        const uint8_t n = kp_counts[e];
        if (n)
            std::memcpy(slot, kp_values.data() + at, n * sizeof(confd_value_t));
        at += n;
        if (n < MAXKEYLEN)
            slot[n].type = C_NOEXISTS;
    }
}

int set_err(int code, const char *fmt, ...) {
    t_errno = code;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(t_lasterr, sizeof t_lasterr, fmt, ap);
    va_end(ap);
    return CONFD_ERR;
}

namespace {

// The identity of the socket open on fd; false when fd is not open.
bool sock_identity(int fd, dev_t &dev, ino_t &ino) {
    struct stat sb;
    if (fstat(fd, &sb) != 0)
        return false;
    dev = sb.st_dev;
    ino = sb.st_ino;
    return true;
}

bool same_sock(int fd, const SockState &st) {
    dev_t dev;
    ino_t ino;
    return sock_identity(fd, dev, ino) && dev == st.dev && ino == st.ino;
}

// Socket states are found by descriptor number but belong to the socket that was connected:
// the daemon's threads open and close sockets concurrently, so a number may be closed by one
// owner and handed to another thread's new socket at any time. `check` compares the socket's
// identity (a system call); without it the caller vouches for the socket.
std::shared_ptr<SockState> find_sock(int fd, bool check) {
    std::lock_guard lk(g_socks_mu);
    auto it = g_socks.find(fd);
    if (check && it != g_socks.end() && !same_sock(fd, *it->second)) {
        g_socks.erase(it);  // the socket it described was closed without being forgotten
        it = g_socks.end();
    }
    if (it == g_socks.end()) {
        set_err(CONFD_ERR_PROTOUSAGE, "socket %d is not connected to the database", fd);
        return nullptr;
    }
    return it->second;
}

}  // namespace

std::shared_ptr<SockState> sock_state(int fd) {
    return find_sock(fd, true);
}

std::shared_ptr<SockState> sock_state_checked_by_caller(int fd) {
    return find_sock(fd, false);
}

void forget_sock(int fd) {
    std::lock_guard lk(g_socks_mu);
    g_socks.erase(fd);
}

void forget_sock(int fd, const SockState *st) {
    std::lock_guard lk(g_socks_mu);
    auto it = g_socks.find(fd);
    if (it != g_socks.end() && it->second.get() == st)
        g_socks.erase(it);
}

int read_reply(int fd, confd_wire::Frame &reply, const char *closed) {
    int rc = confd_wire::read_frame(fd, reply);
    if (rc == CONFD_EOF) {
        set_err(CONFD_ERR_OS, "%s", closed);
        return CONFD_EOF;
    }
    if (rc != 0)
        return set_err(CONFD_ERR_OS, "receive failed: %s", strerror(errno));
    return CONFD_OK;
}

namespace {

int reply_error(const confd_wire::Frame &reply) {
    WireReader r(reply.payload.data(), reply.payload.size());
    int32_t code = CONFD_ERR_INTERNAL;
    std::string msg;
    r.i32(code);
    r.str(msg);
    return set_err(code, "%s", msg.c_str());
}

// The Hello exchange, answering the server's challenge when it asks for the access secret. A
// client that holds the secret insists on the challenge and on the server's proof in return:
// whatever else listens on the database's port is refused.
int hello(int fd, SockState &st, const std::vector<uint8_t> &frame, const std::string &role) {
    int rc = send_frame(fd, st, frame);
    if (rc != CONFD_OK)
        return rc;
    confd_wire::Frame reply;
    if ((rc = read_reply(fd, reply)) != CONFD_OK)
        return rc;
    const bool expect_proof = auth_expects_proof();
    std::vector<uint8_t> client_nonce;
    if (reply.op == Op::Hello && reply.status == confd_wire::kStatusChallenge) {
        std::vector<uint8_t> mac;
        std::string err;
        if (!auth_answer(reply.payload, role, mac, client_nonce, err))
            return set_err(CONFD_ERR_ACCESS_DENIED, "%s", err.c_str());
        WireWriter a(Op::Auth);
        a.bytes(mac.data(), mac.size());
        a.bytes(client_nonce.data(), client_nonce.size());
        if ((rc = send_frame(fd, st, a.finish())) != CONFD_OK)
            return rc;
        if ((rc = read_reply(fd, reply)) != CONFD_OK)
            return rc == CONFD_EOF
                       ? set_err(CONFD_ERR_ACCESS_DENIED,
                                 "the database refused the connection (wrong access secret)")
                       : rc;
    } else if (expect_proof && reply.status == confd_wire::kStatusOk) {
        return set_err(CONFD_ERR_ACCESS_DENIED,
                       "the server did not ask for the IPC access secret: it is not the "
                       "database, refused");
    }
    if (reply.op != Op::Hello && reply.op != Op::Auth)
        return set_err(CONFD_ERR_PROTOUSAGE, "unexpected reply %u to hello",
                       static_cast<unsigned>(reply.op));
    if (reply.status != confd_wire::kStatusOk)
        return reply_error(reply);
    WireReader r(reply.payload.data(), reply.payload.size());
    uint64_t id = 0;
    if (r.u64(id))
        st.server_id = id;
    if (expect_proof) {
        std::vector<uint8_t> proof(confd_auth::kMacSize);
        if (!r.bytes(proof.data(), proof.size()) || !auth_server_proven(client_nonce, role, proof))
            return set_err(CONFD_ERR_ACCESS_DENIED,
                           "the server did not prove the IPC access secret: it is not the "
                           "database, refused");
    }
    return CONFD_OK;
}

}  // namespace

int connect_sock(int fd, const struct sockaddr *srv, int srv_sz, WireSock kind, const char *name,
                 uint64_t daemon_token) {
    sockaddr_in sin{};
    const sockaddr *addr = srv;
    socklen_t alen = static_cast<socklen_t>(srv_sz);
    const char *env_addr = getenv("CONFD_IPC_ADDR");
    const char *env_port = getenv("CONFD_IPC_PORT");
    if ((env_port && *env_port) || (env_addr && *env_addr) || !srv) {
        std::memcpy(&sin, confd_local_addr(), sizeof sin);
        if (srv && srv->sa_family == AF_INET && static_cast<size_t>(srv_sz) >= sizeof sin)
            std::memcpy(&sin, srv, sizeof sin);
        if (env_port && *env_port)
            sin.sin_port = htons(static_cast<uint16_t>(atoi(env_port)));
        if (env_addr && *env_addr && inet_pton(AF_INET, env_addr, &sin.sin_addr) != 1)
            return set_err(CONFD_ERR_OS, "bad CONFD_IPC_ADDR %s", env_addr);
        addr = reinterpret_cast<const sockaddr *>(&sin);
        alen = sizeof sin;
    }
    if (::connect(fd, addr, alen) != 0)
        return set_err(CONFD_ERR_OS, "failed to connect to the database: %s", strerror(errno));
    // Requests and replies are whole frames: a frame's tail must not wait for the peer's
    // delayed acknowledgement of its head (only TCP sockets know the option; others ignore it).
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto st = std::make_shared<SockState>();
    st->kind = kind;
    if (!sock_identity(fd, st->dev, st->ino))
        return set_err(CONFD_ERR_OS, "socket %d: %s", fd, strerror(errno));
    WireWriter w(Op::Hello);
    w.u32(static_cast<uint32_t>(kind));
    w.str(name ? name : "");
    if (daemon_token)
        w.u64(daemon_token);
    int rc = hello(fd, *st, w.finish(), auth_role(kind, name ? name : ""));
    if (rc != CONFD_OK)
        return rc;
    std::lock_guard lk(g_socks_mu);
    g_socks[fd] = st;
    return CONFD_OK;
}

int send_oneway(int fd, const std::vector<uint8_t> &frame) {
    auto st = sock_state(fd);
    if (!st)
        return CONFD_ERR;
    return send_frame(fd, *st, frame);
}

int send_frame(int fd, SockState &st, const std::vector<uint8_t> &frame) {
    std::lock_guard lk(st.send_mu);
    int rc = confd_wire::send_all(fd, frame.data(), frame.size());
    if (rc == CONFD_EOF)
        return set_err(CONFD_ERR_OS, "the database closed the socket"), CONFD_EOF;
    if (rc != 0)
        return set_err(CONFD_ERR_OS, "send failed: %s", strerror(errno));
    return CONFD_OK;
}

int request(int fd, const std::vector<uint8_t> &frame, std::vector<uint8_t> &payload) {
    auto st = sock_state(fd);
    if (!st)
        return CONFD_ERR;
    int rc = send_frame(fd, *st, frame);
    if (rc != CONFD_OK)
        return rc;
    confd_wire::Frame reply;
    if ((rc = read_reply(fd, reply)) != CONFD_OK)
        return rc;
    Op sent = static_cast<Op>(frame[4] | (frame[5] << 8));
    if (reply.op != sent)
        return set_err(CONFD_ERR_PROTOUSAGE, "unexpected reply %u to request %u",
                       static_cast<unsigned>(reply.op), static_cast<unsigned>(sent));
    if (reply.status != confd_wire::kStatusOk)
        return reply_error(reply);
    payload = std::move(reply.payload);
    t_errno = 0;
    t_lasterr[0] = 0;
    return CONFD_OK;
}

}  // namespace confd_client
