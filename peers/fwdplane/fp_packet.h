// Packets as the forwarding plane sees them: the 18 field values a match program reads, derived
// from captured frames (pcap: Ethernet, raw IP, Linux cooked v1/v2; IPv4 and IPv6) or from
// ClassBench header traces.
//
// The field values, indexed by field id (1..18; index 0 unused):
//   1 protocol       IPv4 protocol; IPv6: the upper-layer protocol after the extension headers
//                    (hop-by-hop, routing, fragment, destination options, AH)
//   2 source port    TCP, UDP, SCTP and UDP-Lite source port; 0 for other protocols and for
//                    fragments other than the first
//   3 dest. port     the same for the destination port
//   4 source address IPv4 address as a 32-bit number (a.b.c.d = a<<24|b<<16|c<<8|d); IPv6: its
//                    first 32 bits, which only IPv6 access lists see (fp_engine.h)
//   5 dest. address  the same for the destination
//   6 DSCP           top 6 bits of the IPv4 TOS / IPv6 traffic-class byte; "set dscp" rewrites it
//   7 forwarding cl. the packet's forwarding class: 0 on arrival, "set fc" rewrites it
//   8 TCP            2 when the TCP header has SYN set (whatever the other flags: SYN+ACK and
//                    SYN with ECN bits too), else 0; 0 for other protocols. Policies test it
//                    only for "syn", as the value 2
//   9 length         IP length: IPv4 total length, IPv6 payload length + 40 (at most 65535)
//  10 application    protocol id of the flow's application (fp_dpi.h), 0 while unknown
//  11 app. family    family id of that application, 0 when it has none
//  12 match-any      always 1, so that a rule with no other condition matches every packet
//  13 traffic class  the whole IPv4 TOS / IPv6 traffic-class byte; "set traffic-class" rewrites it
//  14 next header    IPv6: the next-header field of the fixed header; IPv4: the protocol
//  15 PLP            packet loss priority, 0 low, 1 high: 0 on arrival, a policer whose
//                    out-of-profile action is "plp-high" sets 1
//  16 DNS app        DNS packets: the application the queried name belongs to, else 0
//  17 DNS app family its family id
//  18 DNS            1 for a DNS query, 2 for a DNS response, 0 for other packets
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

inline constexpr unsigned FP_NUM_FIELD_IDS = 19;  // 0..18

enum fp_field : unsigned {
    FPF_PROTOCOL = 1,
    FPF_SRC_PORT = 2,
    FPF_DST_PORT = 3,
    FPF_SRC_ADDR = 4,
    FPF_DST_ADDR = 5,
    FPF_DSCP = 6,
    FPF_FC = 7,
    FPF_TCP = 8,
    FPF_PKT_LEN = 9,
    FPF_APP = 10,
    FPF_APP_FAMILY = 11,
    FPF_MATCH_ANY = 12,
    FPF_TRAFFIC_CLASS = 13,
    FPF_NEXT_HEADER = 14,
    FPF_PLP = 15,
    FPF_DNS_APP = 16,
    FPF_DNS_APP_FAMILY = 17,
    FPF_DNS = 18,
};

struct fp_packet {
    std::array<uint32_t, FP_NUM_FIELD_IDS> field{};  // indexed by field id
    uint8_t family = 4;                              // 4 or 6
    uint32_t length = 0;                             // bytes counted (the IP length)
    uint64_t time_ns = 0;                            // capture time; 0 when unknown
    uint8_t src6[16] = {};                           // full IPv6 addresses (for printing)
    uint8_t dst6[16] = {};
    // The captured bytes from the IP header on, for application recognition: valid only while
    // the packet is being handled (null for trace lines).
    const uint8_t *ip = nullptr;
    size_t ip_len = 0;
    size_t l4_off = 0;  // where the transport header starts in ip; 0 when there is none

    // Rewrites that later stages see.
    void set_dscp(uint8_t dscp);
    void set_traffic_class(uint8_t tc);
};

// The TCP field of a TCP flags byte.
inline constexpr uint8_t FP_TCP_FLAG_SYN = 0x02;
inline constexpr uint32_t FP_TCP_FIELD_SYN = 2;
constexpr uint32_t fp_tcp_field(uint8_t flags) {
    return (flags & FP_TCP_FLAG_SYN) ? FP_TCP_FIELD_SYN : 0;
}

// A packet with every field at its arrival value (match-any 1, the rest 0).
fp_packet fp_packet_blank();

// Parses an IP packet starting at its IP header (version from the first nibble). Returns false
// (with a reason) for anything that is not a well-formed IPv4 or IPv6 header.
bool fp_parse_ip(const uint8_t *data, size_t caplen, fp_packet &pkt, std::string *why);

// Parses one frame of a capture with the given pcap link type (DLT_*).
bool fp_parse_frame(int linktype, const uint8_t *data, size_t caplen, fp_packet &pkt,
                    std::string *why);

// Parses one ClassBench trace line "SA DA SP DP PROTO FLAGS [FILTER]". The length field takes
// default_len. filter_index receives the trailing filter index (-1 when absent).
bool fp_parse_trace_line(const std::string &line, uint32_t default_len, fp_packet &pkt,
                         long *filter_index, std::string *why);

// Source of packets read from a file, pcap or ClassBench trace (told apart by the pcap magic).
// For each packet calls fn(pkt); unparsable frames go to bad(reason). Returns 0, or an errno
// value with *err set when the file cannot be read.
using fp_packet_fn = std::function<void(fp_packet &)>;
using fp_bad_fn = std::function<void(const std::string &)>;
int fp_read_packets(const std::string &path, uint32_t trace_len, uint64_t trace_gap_ns,
                    const fp_packet_fn &fn, const fp_bad_fn &bad, std::string *err);

// One-line text of a packet's main fields (per-packet output).
std::string fp_packet_str(const fp_packet &pkt);
