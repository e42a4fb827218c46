// Access control and SNMP traps of the server: the challenge's check, and the traps built from
// the SNMP notifications daemons send.
#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include <event2/buffer.h>

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

long tcp_peer_uid(const std::string &peer, uint16_t server_port) {
    const size_t colon = peer.rfind(':');
    in_addr a{};
    if (colon == std::string::npos || inet_pton(AF_INET, peer.substr(0, colon).c_str(), &a) != 1)
        return -1;
    const unsigned port = static_cast<unsigned>(atoi(peer.c_str() + colon + 1));
    // The table prints each address as the 32-bit word in memory order, then the port.
    char local[32];
    snprintf(local, sizeof local, "%08X:%04X", a.s_addr, port);
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
        if (strcmp(loc, local) == 0 && rp && strtoul(rp + 1, nullptr, 16) == server_port) {
            uid = static_cast<long>(u);
            break;
        }
    }
    fclose(f);
    return uid;
}

std::string conn_owner_text(Conn &c, uint16_t server_port) {
    if (c.uid == -2)
        c.uid = c.peer.empty() ? -1 : tcp_peer_uid(c.peer, server_port);
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
