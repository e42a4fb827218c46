// Access control and SNMP traps of the server: the challenge's check, and the traps built from
// the SNMP notifications daemons send.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include <event2/buffer.h>
#include <event2/bufferevent.h>

#include "common/plx_ratelimit.h"
#include "peers/cdbd/cdbd_internal.h"
#include "peers/cdbd/snmp/cdbd_snmp.h"
#include "platform/confd/confd_auth.h"
#include "platform/confd/confd_client.h"

namespace cdbd {

std::vector<uint8_t> random_bytes(size_t) {
    confd_auth::Nonce nonce{};
    std::string err;
    if (!confd_auth::make_nonce(nonce, err))
        fprintf(stderr, "cdbd: %s\n", err.c_str());
    return {nonce.begin(), nonce.end()};
}

bool auth_ok(const std::vector<uint8_t> &secret, const std::vector<uint8_t> &nonce,
             const std::vector<uint8_t> &hello, const std::vector<uint8_t> &answer,
             std::vector<uint8_t> &proof) {
    confd_wire::WireReader r(hello.data(), hello.size());
    uint32_t kind = 0;
    std::string name;
    if (!r.u32(kind) || !r.str(name))
        return false;
    if (answer.size() != confd_auth::kMacSize + confd_auth::kNonceSize)
        return false;
    const std::string key(secret.begin(), secret.end());
    const std::string role = confd_client::auth_role(static_cast<confd_wire::WireSock>(kind), name);
    const std::span<const uint8_t> all(answer);
    if (!confd_auth::verify_mac(key, nonce, role, all.first(confd_auth::kMacSize)))
        return false;
    confd_auth::Mac mine = confd_auth::server_proof(key, all.subspan(confd_auth::kMacSize), role);
    proof.assign(mine.begin(), mine.end());
    return true;
}

namespace {

// The owner of the TCP socket local -> remote, asked of the kernel for that one socket
// (sock_diag): a hash lookup, where reading /proc/net/tcp walks every bucket of the table.
// -1 when there is no such socket, -2 when the kernel cannot be asked.
long sock_diag_uid(const sockaddr_in &local, const sockaddr_in &remote) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return -2;
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } msg{};
    msg.nlh.nlmsg_len = sizeof msg;
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST;
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id.idiag_sport = local.sin_port;
    msg.req.id.idiag_dport = remote.sin_port;
    msg.req.id.idiag_src[0] = local.sin_addr.s_addr;
    msg.req.id.idiag_dst[0] = remote.sin_addr.s_addr;
    msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    long uid = -2;
    alignas(nlmsghdr) char buf[1024];
    if (::send(fd, &msg, sizeof msg, 0) == static_cast<ssize_t>(sizeof msg)) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        const auto *h = reinterpret_cast<const nlmsghdr *>(buf);
        if (n > 0 && NLMSG_OK(h, static_cast<unsigned>(n))) {
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg)))
                uid = static_cast<const inet_diag_msg *>(NLMSG_DATA(h))->idiag_uid;
            else if (h->nlmsg_type == NLMSG_ERROR &&
                     h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) &&
                     static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error == -ENOENT)
                uid = -1;
        }
    }
    close(fd);
    return uid;
}

long proc_net_tcp_uid(const sockaddr_in &local, uint16_t server_port) {
    // The table prints each address as the 32-bit word in memory order, then the port.
    char want[32];
    snprintf(want, sizeof want, "%08X:%04X", local.sin_addr.s_addr, ntohs(local.sin_port));
    FILE *f = fopen("/proc/net/tcp", "re");
    if (!f)
        return -1;
    char line[512];
    long uid = -1;
    while (fgets(line, sizeof line, f)) {
        char loc[64], rem[64];
        unsigned long u = 0;
        if (sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %lu", loc, rem, &u) != 3)
            continue;
        const char *rp = strchr(rem, ':');
        if (strcmp(loc, want) == 0 && rp && strtoul(rp + 1, nullptr, 16) == server_port) {
            uid = static_cast<long>(u);
            break;
        }
    }
    fclose(f);
    return uid;
}

}  // namespace

long tcp_peer_uid(const std::string &peer, uint16_t server_port, in_addr server_addr) {
    const size_t colon = peer.rfind(':');
    sockaddr_in local{}, remote{};
    if (colon == std::string::npos ||
        inet_pton(AF_INET, peer.substr(0, colon).c_str(), &local.sin_addr) != 1)
        return -1;
    local.sin_port = htons(static_cast<uint16_t>(atoi(peer.c_str() + colon + 1)));
    remote.sin_addr = server_addr;
    remote.sin_port = htons(server_port);
    const long uid = sock_diag_uid(local, remote);
    return uid != -2 ? uid : proc_net_tcp_uid(local, server_port);
}

std::string conn_owner_text(Conn &c, uint16_t server_port) {
    if (c.uid == -2) {
        // The address the client connected to is this end of its connection.
        sockaddr_in here{};
        socklen_t len = sizeof here;
        const int fd = c.bev ? bufferevent_getfd(c.bev) : -1;
        if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&here), &len) != 0 ||
            here.sin_family != AF_INET)
            here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        c.uid = c.peer.empty() ? -1 : tcp_peer_uid(c.peer, server_port, here.sin_addr);
    }
    return (c.name.empty() ? std::string("(unnamed)") : c.name) + " (uid " +
           (c.uid < 0 ? std::string("unknown") : std::to_string(c.uid)) + ") from " +
           (c.peer.empty() ? std::string("a local stream") : c.peer);
}

void conn_log(int line, const char *fmt, ...) {
    static plx_ratelimit limit;
    static const char site = 0;
    uint32_t held_back = 0;
    if (!limit.allow(&site, line, &held_back))
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (held_back)
        fprintf(stderr, "cdbd: %s (%u more like this held back)\n", text, held_back);
    else
        fprintf(stderr, "cdbd: %s\n", text);
}

bool read_access_secret(const std::string &path, std::vector<uint8_t> &out, std::string &err) {
    std::string key;
    if (!confd_auth::read_secret(path, key, err))
        return false;
    out.assign(key.begin(), key.end());
    return true;
}

namespace {

// The SNMP form of a notification variable's value.
SnmpValue snmp_value(const confd_value_t &v) {
    char buf[512];
    switch (v.type) {
        case C_BUF:
        case C_BINARY:
            return SnmpValue::make_string(
                std::string(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.size));
        case C_STR:
            return SnmpValue::make_string(v.val.s ? v.val.s : "");
        case C_INT8:
            return SnmpValue::make_integer(v.val.i8);
        case C_INT16:
            return SnmpValue::make_integer(v.val.i16);
        case C_INT32:
            return SnmpValue::make_integer(v.val.i32);
        case C_ENUM_VALUE:
            return SnmpValue::make_integer(v.val.enumvalue);
        case C_BOOL:  // TruthValue
            return SnmpValue::make_integer(v.val.boolean ? 1 : 2);
        case C_UINT8:
            return SnmpValue::make_unsigned(v.val.u8);
        case C_UINT16:
            return SnmpValue::make_unsigned(v.val.u16);
        case C_UINT32:
            return SnmpValue::make_unsigned(v.val.u32);
        case C_UINT64:
            return SnmpValue::make_counter64(v.val.u64);
        case C_IPV4: {
            std::array<uint8_t, 4> a{};
            memcpy(a.data(), &v.val.ip, 4);
            return SnmpValue::make_ipv4(a);
        }
        case C_DATETIME: {
            const confd_datetime &d = v.val.datetime;
            return SnmpValue::make_string(snmp_date_and_time(
                d.year, d.month, d.day, d.hour, d.min, d.sec, static_cast<int>(d.micro / 100000),
                d.timezone < 0 ? '-' : '+', d.timezone < 0 ? -d.timezone : d.timezone,
                d.timezone_minutes < 0 ? -d.timezone_minutes : d.timezone_minutes));
        }
        default:
            confd_pp_value(buf, sizeof buf, &v);
            return SnmpValue::make_string(buf);
    }
}

}  // namespace

bool CdbServer::init_snmp(std::string &err) {
    auto targets = std::make_shared<SnmpTargetMap>();
    if (!opts_.snmp_config.empty()) {
        auto parsed = parse_snmp_targets(opts_.snmp_config, &err);
        if (!parsed)
            return false;
        *targets = std::move(*parsed);
    }
    snmp_sender_ = [targets](const SnmpNotif &n) {
        SnmpTrap trap;
        trap.notify_name = n.notify_name;
        auto oid = plx_mib_oid(n.notification);
        if (!oid) {
            fprintf(stderr, "cdbd: SNMP notification %s is not in the MIB; no trap sent\n",
                    n.notification.c_str());
            return;
        }
        trap.trap_oid = *oid;
        for (const auto &var : n.vars) {
            auto voi = plx_mib_oid(var.name);
            if (!voi) {
                fprintf(stderr, "cdbd: variable %s of %s is not in the MIB; left out\n",
                        var.name.c_str(), n.notification.c_str());
                continue;
            }
            trap.varbinds.push_back({*voi, snmp_value(var.value)});
        }
        auto it = targets->find(n.notify_name);
        if (it == targets->end() || it->second.empty()) {
            fprintf(stderr, "cdbd: no SNMP targets for notify name %s; %s not sent\n",
                    n.notify_name.c_str(), n.notification.c_str());
            return;
        }
        std::string send_err;
        if (cdbd_snmp_send(trap, it->second, &send_err) != 0)
            fprintf(stderr, "cdbd: trap %s: %s\n", n.notification.c_str(), send_err.c_str());
    };
    return true;
}

bool CdbServer::input_over_cap() const {
    size_t total = 0;
    for (const auto &[id, c] : conns_)
        if (c->bev)
            total += evbuffer_get_length(bufferevent_get_input(c->bev));
    return total > opts_.max_input_total;
}

}  // namespace cdbd
