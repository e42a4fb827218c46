// Forwarding-table messages: what plxd tells fibd about where compiled filters apply. Each is
// the payload of one data message of the message-queue transport; every multi-byte number is
// big-endian.
//
//   1 policy bind    a policy's filter applies to VPNs        fib_policy_wire + 4 x n VPN ids
//   2 policy unbind  the filter no longer applies to VPNs      same layout
//   3 acl bind       an access list is bound to interfaces     fib_acl_wire + 38 x n bindings
//   4 acl unbind     an access list is unbound                 same layout
//   5 dpi off        no policy uses application recognition    the type byte alone
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

enum fib_msg_type : uint8_t {
    FIB_MSG_POLICY_BIND = 1,
    FIB_MSG_POLICY_UNBIND = 2,
    FIB_MSG_ACL_BIND = 3,
    FIB_MSG_ACL_UNBIND = 4,
    FIB_MSG_DPI_OFF = 5,
};

inline constexpr size_t FIB_NAME_LEN = 128;
inline constexpr size_t FIB_INTF_NAME_LEN = 33;

// Fixed part of types 1 and 2 (139 bytes).
struct fib_policy_wire {
    uint8_t type;
    uint8_t filter_type;  // 1 data policy, 2 app-route policy
    uint8_t direction;
    uint8_t filter_id[4];  // 0xFFFFFFFF when none
    char name[FIB_NAME_LEN];
    uint8_t count[4];
};
static_assert(sizeof(fib_policy_wire) == 139);
static_assert(offsetof(fib_policy_wire, filter_id) == 3 && offsetof(fib_policy_wire, name) == 7 &&
              offsetof(fib_policy_wire, count) == 135);

// Fixed part of types 3 and 4 (139 bytes).
struct fib_acl_wire {
    uint8_t type;
    uint8_t family;  // 0 IPv4, 1 IPv6
    uint8_t zero;
    uint8_t filter_id[4];
    char name[FIB_NAME_LEN];
    uint8_t count[4];
};
static_assert(sizeof(fib_acl_wire) == 139);
static_assert(offsetof(fib_acl_wire, filter_id) == 3 && offsetof(fib_acl_wire, count) == 135);

// One binding of types 3 and 4 (38 bytes).
struct fib_acl_binding_wire {
    uint8_t vpn_id[4];  // low 32 bits of the VPN id
    uint8_t direction;  // 1 in, 2 out
    char intf[FIB_INTF_NAME_LEN];
};
static_assert(sizeof(fib_acl_binding_wire) == 38);

constexpr size_t fib_policy_msg_len(size_t n) {
    return sizeof(fib_policy_wire) + 4 * n;
}
constexpr size_t fib_policy_msg_buf(size_t n) {
    return (n + 35) * 4;
}
constexpr size_t fib_acl_msg_len(size_t n) {
    return sizeof(fib_acl_wire) + 38 * n;
}
constexpr size_t fib_acl_msg_buf(size_t n) {
    return 140 + 40 * n;
}
inline constexpr size_t FIB_DPI_OFF_BUF = 140;

// Decoded messages.
struct fib_policy_msg {
    uint8_t type = FIB_MSG_POLICY_BIND;  // 1 or 2
    uint8_t filter_type = 0;
    uint8_t direction = 0;
    uint32_t filter_id = 0xFFFFFFFF;
    std::string name;
    std::vector<uint32_t> vpn_ids;
};

struct fib_acl_binding {
    uint32_t vpn_id = 0;
    uint8_t direction = 1;
    std::string intf;
};

struct fib_acl_msg {
    uint8_t type = FIB_MSG_ACL_BIND;  // 3 or 4
    uint8_t family = 0;
    uint32_t filter_id = 0xFFFFFFFF;
    std::string name;
    std::vector<fib_acl_binding> bindings;
};

struct fib_dpi_off_msg {};

using fib_msg = std::variant<fib_policy_msg, fib_acl_msg, fib_dpi_off_msg>;

// Message type of a decoded message (1..5).
uint8_t fib_msg_type(const fib_msg &m);

// Decodes one payload. PLX_OK, or PLX_EINVAL with *err describing what is wrong (unknown type,
// truncated, oversized, a count that disagrees with the length, an unterminated name, a bad family
// or direction).
int fib_msg_decode(std::span<const uint8_t> payload, fib_msg &out, std::string *err);

// Encodes a message into its wire form (the exact number of bytes to send) in *out. PLX_OK, or
// PLX_EINVAL with *out empty when a binding's interface name is longer than 32 characters: cut, it
// would name another interface. Policy and access-list names (at most 127 characters in the model)
// are cut to their field.
[[nodiscard]] int fib_msg_encode(const fib_msg &m, std::vector<uint8_t> &out);

// One JSON object (no newline) with the decoded fields, e.g.
// {"type":1,"op":"policy-bind","filter_type":1,"direction":1,"filter_id":3,"name":"p",
//  "vpn_ids":[1,2]}.
std::string fib_msg_json(const fib_msg &m);

// JSON string literal for arbitrary bytes (quotes and escapes included).
std::string fib_json_string(std::string_view s);
