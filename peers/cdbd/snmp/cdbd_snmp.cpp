// SNMPv2c traps with net-snmp's single-session API; the target file parser; OID helpers.
#include "peers/cdbd/snmp/cdbd_snmp.h"

#include <arpa/inet.h>
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace cdbd {

namespace {

const auto g_start = std::chrono::steady_clock::now();

constexpr size_t kMaxOidArcs = 128;
constexpr size_t kMaxOctets = 65535;
constexpr size_t kMaxNotifyName = 31;
constexpr size_t kMaxCommunity = 255;

// net-snmp keeps process-wide state (start-up, transport table); every use goes through this
// lock. The library never reads configuration files nor writes persistent state here: the
// server's traps depend on nothing but the target file.
std::mutex g_snmp_mu;
bool g_snmp_ready = false;

void snmp_setup_locked() {
    if (g_snmp_ready)
        return;
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    g_snmp_ready = true;
}

bool oid_ok(std::span<const uint32_t> oid) {
    return oid.size() >= 2 && oid.size() <= kMaxOidArcs && oid[0] <= 2;
}

std::vector<oid> to_netsnmp(std::span<const uint32_t> arcs) {
    return std::vector<oid>(arcs.begin(), arcs.end());
}

// Checks everything that would make the PDU unbuildable; "" when the trap is well formed.
std::string check_trap(const SnmpTrap &trap) {
    if (!oid_ok(trap.trap_oid))
        return "trap OID '" + snmp_oid_to_str(trap.trap_oid) + "' is not a valid object identifier";
    for (size_t i = 0; i < trap.varbinds.size(); ++i) {
        const SnmpVarbind &vb = trap.varbinds[i];
        if (!oid_ok(vb.oid))
            return "variable " + std::to_string(i + 1) + ": '" + snmp_oid_to_str(vb.oid) +
                   "' is not a valid object identifier";
        if (vb.value.type == SnmpType::OctetString && vb.value.octets.size() > kMaxOctets)
            return "variable " + snmp_oid_to_str(vb.oid) + ": string of " +
                   std::to_string(vb.value.octets.size()) + " bytes is too long";
        if (vb.value.type == SnmpType::IpAddress && vb.value.octets.size() != 4)
            return "variable " + snmp_oid_to_str(vb.oid) + ": an IP address has 4 bytes, not " +
                   std::to_string(vb.value.octets.size());
        if (vb.value.type == SnmpType::ObjectId && !oid_ok(vb.value.oid))
            return "variable " + snmp_oid_to_str(vb.oid) + ": value '" +
                   snmp_oid_to_str(vb.value.oid) + "' is not a valid object identifier";
        if (vb.value.type == SnmpType::Integer &&
            (vb.value.integer < INT32_MIN || vb.value.integer > INT32_MAX))
            return "variable " + snmp_oid_to_str(vb.oid) + ": integer " +
                   std::to_string(vb.value.integer) + " is out of range";
        if (vb.value.type == SnmpType::Unsigned && vb.value.number > UINT32_MAX)
            return "variable " + snmp_oid_to_str(vb.oid) + ": unsigned " +
                   std::to_string(vb.value.number) + " is out of range";
    }
    return {};
}

void add_var(netsnmp_pdu *pdu, std::span<const uint32_t> name, const SnmpValue &v) {
    std::vector<oid> n = to_netsnmp(name);
    switch (v.type) {
        case SnmpType::Integer: {
            long x = static_cast<long>(v.integer);
            snmp_pdu_add_variable(pdu, n.data(), n.size(), ASN_INTEGER, &x, sizeof x);
            break;
        }
        case SnmpType::Unsigned: {
            u_long x = static_cast<u_long>(v.number);
            snmp_pdu_add_variable(pdu, n.data(), n.size(), ASN_GAUGE, &x, sizeof x);
            break;
        }
        case SnmpType::Counter64: {
            counter64 x{};
            x.high = v.number >> 32;
            x.low = v.number & 0xffffffffu;
            snmp_pdu_add_variable(pdu, n.data(), n.size(), ASN_COUNTER64, &x, sizeof x);
            break;
        }
        case SnmpType::OctetString:
            snmp_pdu_add_variable(pdu, n.data(), n.size(), ASN_OCTET_STR, v.octets.data(),
                                  v.octets.size());
            break;
        case SnmpType::IpAddress:
            snmp_pdu_add_variable(pdu, n.data(), n.size(), ASN_IPADDRESS, v.octets.data(),
                                  v.octets.size());
            break;
        case SnmpType::ObjectId: {
            std::vector<oid> o = to_netsnmp(v.oid);
            snmp_pdu_add_variable(pdu, n.data(), n.size(), ASN_OBJECT_ID, o.data(),
                                  o.size() * sizeof(oid));
            break;
        }
    }
}

netsnmp_pdu *build_pdu(const SnmpTrap &trap) {
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_TRAP2);
    if (!pdu)
        return nullptr;
    u_long ticks = trap.uptime ? *trap.uptime : cdbd_snmp_uptime();
    std::vector<oid> up = to_netsnmp(SNMP_SYS_UPTIME_OID);
    snmp_pdu_add_variable(pdu, up.data(), up.size(), ASN_TIMETICKS, &ticks, sizeof ticks);
    add_var(pdu, SNMP_TRAP_OID_OID, SnmpValue::make_oid(trap.trap_oid));
    for (const SnmpVarbind &vb : trap.varbinds)
        add_var(pdu, vb.oid, vb.value);
    return pdu;
}

// "udp:10.0.0.1:162" or "udp6:[2001:db8::1]:162"; "" when the address is no IP address.
std::string peer_name(const SnmpTarget &t) {
    in_addr a4{};
    in6_addr a6{};
    std::string port = std::to_string(t.port);
    if (inet_pton(AF_INET, t.address.c_str(), &a4) == 1)
        return "udp:" + t.address + ":" + port;
    if (inet_pton(AF_INET6, t.address.c_str(), &a6) == 1)
        return "udp6:[" + t.address + "]:" + port;
    return {};
}

// net-snmp's text of the last error of a session (snmp_error) or of an opened session handle
// (snmp_sess_error).
template <typename Session>
std::string err_text(void (*get)(Session *, int *, int *, char **), Session *sess) {
    int liberr = 0, syserr = 0;
    char *text = nullptr;
    get(sess, &liberr, &syserr, &text);
    std::string out = text ? text : "unknown error";
    free(text);
    return out;
}

// Sends one trap to one target; "" on success, else the reason.
std::string send_one(const SnmpTrap &trap, const SnmpTarget &target) {
    std::string peer = peer_name(target);
    if (peer.empty())
        return "'" + target.address + "' is not an IPv4 or IPv6 address";
    if (target.port == 0)
        return "port 0";
    netsnmp_session sess;
    snmp_sess_init(&sess);
    sess.version = SNMP_VERSION_2c;
    sess.peername = peer.data();
    std::string community = target.community;
    sess.community = reinterpret_cast<u_char *>(community.data());
    sess.community_len = community.size();
    void *handle = snmp_sess_open(&sess);
    if (!handle)
        return err_text(snmp_error, &sess);
    std::string result;
    netsnmp_pdu *pdu = build_pdu(trap);
    if (!pdu) {
        result = "out of memory";
    } else if (snmp_sess_send(handle, pdu) == 0) {
        result = err_text(snmp_sess_error, handle);
        snmp_free_pdu(pdu);
    }
    snmp_sess_close(handle);
    return result;
}

std::string_view trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string_view> split_words(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r'))
            ++i;
        size_t b = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '\r')
            ++i;
        if (i > b)
            out.push_back(s.substr(b, i - b));
    }
    return out;
}

// Checks one "notify NAME target ADDRESS PORT COMMUNITY" line; "" when good (target filled).
std::string parse_line(std::string_view line, std::string &name, SnmpTarget &target) {
    std::vector<std::string_view> w = split_words(line);
    if (w[0] != "notify")
        return "unknown keyword '" + std::string(w[0]) +
               "' (expected 'notify NAME target ADDRESS PORT COMMUNITY')";
    if (w.size() != 6 || w[2] != "target")
        return "expected 'notify NAME target ADDRESS PORT COMMUNITY'";
    if (w[1].size() > kMaxNotifyName)
        return "notify name '" + std::string(w[1]) + "' is longer than " +
               std::to_string(kMaxNotifyName) + " characters";
    name = w[1];
    target.address = w[3];
    target.community = w[5];
    if (peer_name(target).empty())
        return "'" + target.address + "' is not an IPv4 or IPv6 address";
    unsigned port = 0;
    auto [end, ec] = std::from_chars(w[4].data(), w[4].data() + w[4].size(), port);
    if (ec != std::errc() || end != w[4].data() + w[4].size() || port == 0 || port > 65535)
        return "port '" + std::string(w[4]) + "' is not a number from 1 to 65535";
    target.port = static_cast<uint16_t>(port);
    if (target.community.size() > kMaxCommunity)
        return "community is longer than " + std::to_string(kMaxCommunity) + " characters";
    return {};
}

}  // namespace

uint32_t cdbd_snmp_uptime() {
    auto cs = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - g_start)
                  .count() /
              10;
    return static_cast<uint32_t>(cs);
}

int cdbd_snmp_send(const SnmpTrap &trap, std::span<const SnmpTarget> targets, std::string *err) {
    if (err)
        err->clear();
    std::string bad = check_trap(trap);
    if (!bad.empty()) {
        if (err)
            *err = "trap " + trap.notify_name + ": " + bad;
        return -1;
    }
    int rc = 0;
    std::lock_guard lk(g_snmp_mu);
    snmp_setup_locked();
    for (const SnmpTarget &t : targets) {
        std::string why = send_one(trap, t);
        if (why.empty())
            continue;
        rc = -1;
        if (err) {
            if (!err->empty())
                *err += "\n";
            *err += "trap " + trap.notify_name + " to " + t.address + ":" + std::to_string(t.port) +
                    ": " + why;
        }
    }
    return rc;
}

std::optional<SnmpTargetMap> parse_snmp_targets_text(std::string_view text, std::string_view source,
                                                     std::string *err) {
    SnmpTargetMap out;
    size_t lineno = 0;
    while (!text.empty()) {
        ++lineno;
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        line = trim(line);
        if (line.empty())
            continue;
        std::string name;
        SnmpTarget target;
        std::string why = parse_line(line, name, target);
        if (why.empty()) {
            auto &list = out[name];
            for (const SnmpTarget &t : list)
                if (t.address == target.address && t.port == target.port)
                    why = "target " + t.address + " port " + std::to_string(t.port) +
                          " given twice for notify name '" + name + "'";
            if (why.empty())
                list.push_back(std::move(target));
        }
        if (!why.empty()) {
            if (err)
                *err = std::string(source) + ":" + std::to_string(lineno) + ": " + why;
            return std::nullopt;
        }
    }
    return out;
}

std::optional<SnmpTargetMap> parse_snmp_targets(const std::string &path, std::string *err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (err)
            *err = path + ": cannot read the SNMP target file: " + strerror(errno);
        return std::nullopt;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        if (err)
            *err = path + ": read error";
        return std::nullopt;
    }
    return parse_snmp_targets_text(ss.str(), path, err);
}

std::string snmp_oid_to_str(std::span<const uint32_t> arcs) {
    std::string s;
    for (uint32_t arc : arcs) {
        if (!s.empty())
            s += '.';
        s += std::to_string(arc);
    }
    return s;
}

std::optional<SnmpOid> snmp_oid_from_str(std::string_view text) {
    if (!text.empty() && text.front() == '.')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    SnmpOid out;
    const char *p = text.data();
    const char *end = text.data() + text.size();
    for (;;) {
        uint32_t arc = 0;
        auto [next, ec] = std::from_chars(p, end, arc);
        if (ec != std::errc() || next == p)
            return std::nullopt;
        out.push_back(arc);
        if (next == end)
            break;
        if (*next != '.' || next + 1 == end)
            return std::nullopt;
        p = next + 1;
    }
    if (out.size() > kMaxOidArcs)
        return std::nullopt;
    return out;
}

std::string snmp_date_and_time(int year, int month, int day, int hour, int minute, int second,
                               int deci_seconds, char utc_direction, int utc_hours,
                               int utc_minutes) {
    std::string s(11, '\0');
    s[0] = static_cast<char>((year >> 8) & 0xff);
    s[1] = static_cast<char>(year & 0xff);
    s[2] = static_cast<char>(month);
    s[3] = static_cast<char>(day);
    s[4] = static_cast<char>(hour);
    s[5] = static_cast<char>(minute);
    s[6] = static_cast<char>(second);
    s[7] = static_cast<char>(deci_seconds);
    s[8] = utc_direction;
    s[9] = static_cast<char>(utc_hours);
    s[10] = static_cast<char>(utc_minutes);
    return s;
}

}  // namespace cdbd
