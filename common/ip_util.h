// The address record shared by the model, the messages and the dumps.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t PLX_AF_IPV4 = 1;
inline constexpr uint32_t PLX_AF_IPV6 = 2;

// 16 address bytes (IPv4 in the first 4, network order) followed by the family.
struct plx_ip_addr {
    uint8_t addr[16];
    uint32_t family;  // 1 = IPv4, anything else IPv6
};
static_assert(sizeof(plx_ip_addr) == 20);
static_assert(offsetof(plx_ip_addr, family) == 16);

// Formats an address as "a.b.c.d" or as IPv6 groups with the longest run of zero groups (the
// first of equal runs) written "::". Returns one of 8 rotating 128-byte buffers, so up to 8
// results may be used in one statement.
const char *plx_ip_to_str(const plx_ip_addr *ip);

// Parses dotted IPv4 or IPv6 text into an address record. PLX_OK, or PLX_EINVAL when the text is
// neither address (common/plx_status.h).
int plx_ip_from_str(const char *text, plx_ip_addr *out);
