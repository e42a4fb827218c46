// Access control and SNMP traps of the server: the challenge's check, and the traps built from
// the SNMP notifications daemons send.
#include <cstdio>

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
             const std::vector<uint8_t> &hello, const std::vector<uint8_t> &mac) {
    confd_wire::WireReader r(hello.data(), hello.size());
    uint32_t kind = 0;
    std::string name;
    if (!r.u32(kind) || !r.str(name))
        return false;
    const std::string key(secret.begin(), secret.end());
    return confd_auth::verify_mac(
        key, nonce, confd_client::auth_role(static_cast<confd_wire::WireSock>(kind), name), mac);
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

}  // namespace cdbd
