// SNMPv2c trap sender of the configuration database server.
//
// A notification that a daemon sends as an SNMP notification is addressed by a notify name
// (the trap group's name). The server's SNMP target file says where each notify name's traps
// go; cdbd_snmp_send() sends one SNMPv2c trap to each target, with net-snmp:
//
//     sysUpTime.0    TimeTicks   centiseconds since the server started (cdbd_snmp_uptime())
//     snmpTrapOID.0  OID         the notification's object identifier
//     ...                        the notification's variables, in the order given
//
// Target file: one target per line, '#' starts a comment, blank lines are ignored:
//
//     notify NAME target ADDRESS PORT COMMUNITY
//
// NAME is a notify name (1-31 characters), ADDRESS an IPv4 or IPv6 address, PORT 1-65535,
// COMMUNITY the SNMPv2c community (1-255 characters). A notify name may have several targets;
// the same address and port twice under one name is an error.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "peers/cdbd/snmp/plx_mib.h"

namespace cdbd {

using SnmpOid = std::vector<uint32_t>;

struct SnmpTarget {
    std::string address;  // IPv4 or IPv6 address
    uint16_t port = 162;
    std::string community;
    bool operator==(const SnmpTarget &) const = default;
};

// Targets by notify name.
using SnmpTargetMap = std::map<std::string, std::vector<SnmpTarget>, std::less<>>;

// A variable's value: one of the SNMP types a notification carries.
enum class SnmpType : uint8_t {
    Integer,      // INTEGER (signed 32-bit)
    Unsigned,     // Gauge32 / Unsigned32
    Counter64,    // Counter64
    OctetString,  // OCTET STRING
    IpAddress,    // IpAddress (IPv4)
    ObjectId,     // OBJECT IDENTIFIER
};

struct SnmpValue {
    SnmpType type = SnmpType::Integer;
    int64_t integer = 0;  // Integer
    uint64_t number = 0;  // Unsigned, Counter64
    std::string octets;   // OctetString; IpAddress: 4 bytes in network order
    SnmpOid oid;          // ObjectId

    static SnmpValue make_integer(int32_t v) { return {SnmpType::Integer, v, 0, {}, {}}; }
    static SnmpValue make_unsigned(uint32_t v) { return {SnmpType::Unsigned, 0, v, {}, {}}; }
    static SnmpValue make_counter64(uint64_t v) { return {SnmpType::Counter64, 0, v, {}, {}}; }
    static SnmpValue make_string(std::string v) {
        return {SnmpType::OctetString, 0, 0, std::move(v), {}};
    }
    static SnmpValue make_ipv4(std::array<uint8_t, 4> a) {
        return {SnmpType::IpAddress, 0, 0, std::string(a.begin(), a.end()), {}};
    }
    static SnmpValue make_oid(SnmpOid v) { return {SnmpType::ObjectId, 0, 0, {}, std::move(v)}; }
};

struct SnmpVarbind {
    SnmpOid oid;
    SnmpValue value;
};

struct SnmpTrap {
    std::string notify_name;  // for error texts; the caller has chosen the targets by it
    SnmpOid trap_oid;         // value of snmpTrapOID.0
    std::vector<SnmpVarbind> varbinds;
    std::optional<uint32_t> uptime;  // sysUpTime.0; default cdbd_snmp_uptime()
};

// Sends the trap to every target, one SNMPv2c trap each, over UDP. Returns 0 when every trap
// was handed to the network; -1 when the trap is malformed (no OID, an OID of fewer than two
// or more than 128 arcs, a string longer than 65535 bytes: nothing is sent) or when some
// target could not be sent to (the others are still sent). err, when given, receives one line
// per failure. No targets: nothing is sent, result 0. Safe to call from any thread.
int cdbd_snmp_send(const SnmpTrap &trap, std::span<const SnmpTarget> targets, std::string *err);

// Centiseconds since the process started (wrapping at 2^32): the sender's sysUpTime.
uint32_t cdbd_snmp_uptime();

// Reads a target file (format above). On a missing or unreadable file, or any bad line,
// returns nullopt and sets err to "<path>:<line>: <reason>" (or "<path>: <reason>").
std::optional<SnmpTargetMap> parse_snmp_targets(const std::string &path, std::string *err);
// The same over text already read; source names it in error texts.
std::optional<SnmpTargetMap> parse_snmp_targets_text(std::string_view text, std::string_view source,
                                                     std::string *err);

// "1.3.6.1.4.1.99417" (no leading dot).
std::string snmp_oid_to_str(std::span<const uint32_t> oid);
// Parses dotted decimal arcs (an optional leading dot is accepted); nullopt when malformed.
std::optional<SnmpOid> snmp_oid_from_str(std::string_view text);

// SNMPv2-TC DateAndTime (11 octets): year, month, day, hour, minutes, seconds, deci-seconds,
// then the direction from UTC ('+' or '-') and its hours and minutes.
std::string snmp_date_and_time(int year, int month, int day, int hour, int minute, int second,
                               int deci_seconds = 0, char utc_direction = '+', int utc_hours = 0,
                               int utc_minutes = 0);

}  // namespace cdbd
