// The router's inter-daemon message encoding: a fixed 1024-byte decoded record that daemons fill
// and read, and a compact wire form that travels as the payload of one transport data message.
//
// Decoded record (host byte order, offsets from its start):
//
//   0    u32  message type
//   4    u32  source module identifier
//   8..  body, by type:
//        type 1 (subscription)       8 u32 selector, 16 u8 flag a, 17 u8 flag b
//        types 5, 6 (TLOC update,    24 u32 address family (AF_INET = 2), 32 u32 originator
//        TLOC withdrawal)            IPv4 address (host order), 48 u8 colour, 49 u8
//                                    encapsulation, 56 u8 local (1 = local), 60 u32 status,
//                                    64 u32 index, 308 u32 preference, 312 u32 weight
//        any other type              the body is opaque bytes
//
// Wire form, version 1 (every multi-byte number big-endian):
//
//   0   2  magic "HB" (0x48 0x42)
//   2   1  version (1)
//   3   1  reserved, 0
//   4   4  message type
//   8   4  source module identifier
//   12  2  length of the attribute area that follows, in bytes
//   14     attributes, each: u16 tag, u16 value length, value bytes
//
// Tags 1..12 carry one named field of types 1, 5 and 6, with the value length equal to the
// field's size (1 or 4 bytes): 1 selector, 2 flag a, 3 flag b, 4 family, 5 originator, 6 colour,
// 7 encapsulation, 8 local, 9 status, 10 index, 11 preference, 12 weight. The encoder writes
// every field of the record's type (zero ones too) and nothing else of the body. Tag 100 carries
// opaque body bytes of any other type: a u16 record offset (8 or more) followed by the bytes;
// the encoder writes the body up to its last nonzero byte, when there is one.
//
// A whole message is at most HBUS_WIRE_MAX bytes. The decoder refuses, with a reason: a payload
// shorter than the header or longer than HBUS_WIRE_MAX, a bad magic or version, an attribute
// area that does not end exactly at the end of the payload, a truncated attribute, an unknown
// tag, a value length that differs from the field's size, a field that is not one of the
// message type's, a field given twice, and opaque bytes outside the body. Fields not carried
// are zero in the decoded record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/plx_status.h"

inline constexpr uint32_t HBUS_RECORD_SIZE = 1024;
inline constexpr uint32_t HBUS_WIRE_MAX = 1024;  // largest encoded message
inline constexpr uint32_t HBUS_WIRE_HDR_LEN = 14;
inline constexpr uint8_t HBUS_WIRE_VERSION = 1;

enum hbus_msg_type : uint32_t {
    HBUS_MSG_SUBSCRIBE = 1,
    HBUS_MSG_TLOC_UPDATE = 5,
    HBUS_MSG_TLOC_WITHDRAW = 6,
};

inline constexpr uint32_t HBUS_AF_INET = 2;

// The decoded record. Fields of types 1, 5 and 6 sit at fixed offsets; the gaps and the tail
// are body bytes of other message types.
struct hbus_msg {
    uint32_t type;
    uint32_t source;
    uint32_t selector;  // type 1
    uint8_t gap0[4];
    uint8_t flag_a;  // type 1
    uint8_t flag_b;  // type 1
    uint8_t gap1[6];
    uint32_t family;  // types 5, 6
    uint8_t gap2[4];
    uint32_t originator;  // IPv4 address, host order
    uint8_t gap3[12];
    uint8_t color;
    uint8_t encap;
    uint8_t gap4[6];
    uint8_t local;  // 1 = the TLOC is this router's own
    uint8_t gap5[3];
    uint32_t status;
    uint32_t index;  // the number by which the forwarding plane knows the TLOC
    uint8_t gap6[240];
    uint32_t preference;
    uint32_t weight;
    uint8_t tail[708];
};
static_assert(sizeof(hbus_msg) == HBUS_RECORD_SIZE);
static_assert(offsetof(hbus_msg, selector) == 8 && offsetof(hbus_msg, flag_a) == 16 &&
              offsetof(hbus_msg, flag_b) == 17);
static_assert(offsetof(hbus_msg, family) == 24 && offsetof(hbus_msg, originator) == 32 &&
              offsetof(hbus_msg, color) == 48 && offsetof(hbus_msg, encap) == 49 &&
              offsetof(hbus_msg, local) == 56 && offsetof(hbus_msg, status) == 60 &&
              offsetof(hbus_msg, index) == 64 && offsetof(hbus_msg, preference) == 308 &&
              offsetof(hbus_msg, weight) == 312);

// Writes the wire form of rec into out (room for HBUS_WIRE_MAX bytes) and its length into
// *out_len. PLX_OK, or PLX_EINVAL when an argument is missing or the opaque body of another type
// does not fit (nothing useful is written then).
plx::Status hbus_msg_encode(const hbus_msg *rec, uint8_t *out, uint16_t *out_len);

// Fills rec (zeroed first) from a received payload. PLX_OK, or PLX_EINVAL with *err (when given)
// saying what is wrong; rec is then all zero.
plx::Status hbus_msg_decode(hbus_msg *rec, const uint8_t *in, uint32_t len,
                            std::string *err = nullptr);
