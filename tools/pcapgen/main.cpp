// pcapgen: writes a pcap capture from a ClassBench header trace (IPv4) or from a small text list
// of IPv6 packets, so that packet-replay runs need no captured files. Each packet carries the
// listed addresses, ports, protocol and TCP flags in well-formed headers with valid checksums.
// With --flows it writes whole application flows (TLS, HTTP, DNS) that application recognition
// identifies from their content.
#include <arpa/inet.h>
#include <getopt.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "tools/pcapgen/pcap_craft.h"
#include "tools/tool_util/tool_cli.h"

namespace {

const ToolUsage kUsage{
    "pcapgen",
    "usage: pcapgen [options] INPUT OUTPUT\n"
    "\n"
    "Writes the packets of INPUT to the pcap capture OUTPUT (Ethernet frames, or raw IP with\n"
    "--raw), one every GAP microseconds.\n"
    "\n"
    "INPUT, IPv4 (default): a ClassBench trace, one packet per line:\n"
    "  SRC DST SPORT DPORT PROTO [FLAGS [FILTER]]\n"
    "  addresses as 32-bit numbers or dotted quads; the low byte of FLAGS is the TCP flags byte.\n"
    "INPUT, IPv6 (--ipv6): one packet per line:\n"
    "  SRC DST SPORT DPORT PROTO [FLAGS]\n"
    "  with IPv6 addresses.\n"
    "INPUT, application flows (--flows): one flow per line:\n"
    "  tls  CLIENT SERVER CLIENT-PORT SERVER-NAME   handshake, then a ClientHello with SNI\n"
    "  http CLIENT SERVER CLIENT-PORT HOST          handshake, then GET / with Host\n"
    "  dns  CLIENT SERVER CLIENT-PORT NAME          A query for NAME and its answer\n"
    "  with IPv4 dotted quads; servers listen on 443, 80 and 53. --length and --tos do not\n"
    "  apply. In all formats, '#' starts a comment.\n"
    "\n"
    "TCP (6), UDP (17), SCTP (132) and UDP-Lite (136) packets carry the ports; packets of other\n"
    "protocols carry no ports (the trace's ports are left out) and a zero payload.\n"
    "\n"
    "Options:\n"
    "  -n, --count N     write at most N packets (default: all)\n"
    "  -L, --length N    IP length of every packet, headers included (default 64); a packet\n"
    "                    whose headers need more gets just its headers\n"
    "  -r, --raw         raw IP link type instead of Ethernet\n"
    "  -6, --ipv6        INPUT is an IPv6 packet list\n"
    "  -F, --flows       INPUT is a list of application flows\n"
    "  -T, --tos N       IPv4 TOS / IPv6 traffic-class byte of every packet (default 0)\n"
    "  -g, --gap US      microseconds between packets (default 1)\n"
    "  -q, --quiet       no summary line\n"
    "  -h, --help        show this text\n"
    "\n"
    "Exit status: 0 done, 1 a file could not be read or written, 2 bad command line or input.\n"};

bool parse_num(const std::string &text, unsigned long long max, unsigned long long &out) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0' && text[0] != '-' && out <= max;
}

struct Packet {
    bool v6 = false;
    uint8_t src[16] = {};
    uint8_t dst[16] = {};
    uint16_t sport = 0, dport = 0;
    uint8_t proto = 0;
    uint8_t tcp_flags = 0;
};

// An IPv4 address as a 32-bit number or a dotted quad, in network order.
bool parse_v4(const std::string &text, uint8_t *out) {
    if (text.find('.') != std::string::npos)
        return inet_pton(AF_INET, text.c_str(), out) == 1;
    unsigned long long v;
    if (!parse_num(text, 0xFFFFFFFFull, v))
        return false;
    uint32_t n = htonl(static_cast<uint32_t>(v));
    std::memcpy(out, &n, 4);
    return true;
}

// Parses one input line into pkt: "" or what is wrong.
std::string parse_line(const std::string &line, bool v6, Packet &pkt) {
    std::istringstream in(line);
    std::vector<std::string> tok;
    for (std::string t; in >> t;)
        tok.push_back(t);
    if (tok.size() < 5)
        return "expected 'SRC DST SPORT DPORT PROTO [FLAGS]'";
    if (tok.size() > (v6 ? 6u : 7u))
        return "too many columns";
    pkt = Packet{};
    pkt.v6 = v6;
    if (v6) {
        if (inet_pton(AF_INET6, tok[0].c_str(), pkt.src) != 1)
            return "bad IPv6 address '" + tok[0] + "'";
        if (inet_pton(AF_INET6, tok[1].c_str(), pkt.dst) != 1)
            return "bad IPv6 address '" + tok[1] + "'";
    } else {
        if (!parse_v4(tok[0], pkt.src))
            return "bad IPv4 address '" + tok[0] + "'";
        if (!parse_v4(tok[1], pkt.dst))
            return "bad IPv4 address '" + tok[1] + "'";
    }
    unsigned long long v;
    if (!parse_num(tok[2], 65535, v))
        return "bad source port '" + tok[2] + "'";
    pkt.sport = static_cast<uint16_t>(v);
    if (!parse_num(tok[3], 65535, v))
        return "bad destination port '" + tok[3] + "'";
    pkt.dport = static_cast<uint16_t>(v);
    if (!parse_num(tok[4], 255, v))
        return "bad protocol '" + tok[4] + "'";
    pkt.proto = static_cast<uint8_t>(v);
    if (tok.size() >= 6) {
        if (!parse_num(tok[5], 0xFFFFFFFFull, v))
            return "bad flags '" + tok[5] + "'";
        pkt.tcp_flags = static_cast<uint8_t>(v & 0xFF);
    }
    return "";
}

bool has_ports(uint8_t proto) {
    return proto == 6 || proto == 17 || proto == 132 || proto == 136;
}

// Bytes of the transport header written for a protocol.
size_t l4_header_len(uint8_t proto) {
    switch (proto) {
        case 6:
            return 20;
        case 17:
        case 136:
            return 8;
        case 132:
            return 12;
        default:
            return 0;
    }
}

// Builds the IP packet (IP header, transport header, zero payload) of ip_len bytes at least.
std::vector<uint8_t> build_ip(const Packet &pkt, uint32_t ip_len, uint8_t tos, uint16_t ident) {
    size_t ip_hdr = pkt.v6 ? 40 : 20;
    size_t l4_hdr = l4_header_len(pkt.proto);
    size_t total = std::max<size_t>(ip_len, ip_hdr + l4_hdr);
    std::vector<uint8_t> b(total, 0);
    uint8_t *ip = b.data();
    uint8_t *l4 = ip + ip_hdr;
    size_t l4_len = total - ip_hdr;
    if (pkt.v6) {
        ip[0] = static_cast<uint8_t>(0x60 | tos >> 4);
        ip[1] = static_cast<uint8_t>(tos << 4);
        put_be16(ip + 4, static_cast<uint32_t>(l4_len));
        ip[6] = pkt.proto;
        ip[7] = 64;
        std::memcpy(ip + 8, pkt.src, 16);
        std::memcpy(ip + 24, pkt.dst, 16);
    } else {
        ip[0] = 0x45;
        ip[1] = tos;
        put_be16(ip + 2, static_cast<uint32_t>(total));
        put_be16(ip + 4, ident);
        ip[8] = 64;
        ip[9] = pkt.proto;
        std::memcpy(ip + 12, pkt.src, 4);
        std::memcpy(ip + 16, pkt.dst, 4);
        put_be16(ip + 10, craft_checksum(craft_sum16(ip, 20)));
    }
    if (has_ports(pkt.proto)) {
        put_be16(l4, pkt.sport);
        put_be16(l4 + 2, pkt.dport);
    }
    size_t csum_at = 0;
    switch (pkt.proto) {
        case 6:
            put_be16(l4 + 4, ident);  // sequence number, low half
            l4[12] = 5 << 4;          // data offset: 5 words
            l4[13] = pkt.tcp_flags;
            put_be16(l4 + 14, 65535);  // window
            csum_at = 16;
            break;
        case 17:
            put_be16(l4 + 4, static_cast<uint32_t>(l4_len));
            csum_at = 6;
            break;
        case 136:
            put_be16(l4 + 4, 8);  // checksum coverage: the header
            csum_at = 6;
            break;
        default:
            break;  // SCTP's CRC-32c stays 0; other protocols have no header here
    }
    if (csum_at) {
        // Pseudo-header: addresses, protocol and transport length.
        size_t alen = pkt.v6 ? 16 : 4;
        uint32_t sum = craft_sum16(pkt.src, alen, craft_sum16(pkt.dst, alen));
        sum += pkt.proto;
        sum += static_cast<uint32_t>(l4_len & 0xFFFF) + static_cast<uint32_t>(l4_len >> 16);
        size_t covered = pkt.proto == 136 ? 8 : l4_len;
        uint16_t c = craft_checksum(craft_sum16(l4, covered, sum));
        if (c == 0 && pkt.proto == 17)
            c = 0xFFFF;  // 0 means "no checksum" for UDP
        put_be16(l4 + csum_at, c);
    }
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    static const option long_options[] = {
        {"count", required_argument, nullptr, 'n'}, {"length", required_argument, nullptr, 'L'},
        {"raw", no_argument, nullptr, 'r'},         {"ipv6", no_argument, nullptr, '6'},
        {"flows", no_argument, nullptr, 'F'},       {"tos", required_argument, nullptr, 'T'},
        {"gap", required_argument, nullptr, 'g'},   {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0},
    };
    unsigned long long limit = ~0ull, length = 64, tos = 0, gap = 1;
    bool raw = false, v6 = false, quiet = false, flows = false;
    opterr = 0;
    // The options that take a number: the least and greatest value, and how a bad one is named.
    const struct {
        int code;
        unsigned long long min, max, &value;
        const char *what, *range;
    } numbers[] = {{'n', 0, ~0ull, limit, "packet count", ""},
                   {'L', 1, 65535, length, "length", " (1..65535)"},
                   {'T', 0, 255, tos, "TOS", " (0..255)"},
                   {'g', 0, 1000000000ull, gap, "gap", ""}};
    const struct {
        int code;
        bool &value;
    } flags[] = {{'r', raw}, {'6', v6}, {'F', flows}, {'q', quiet}};
    for (int c; (c = getopt_long(argc, argv, ":n:L:r6FT:g:qh", long_options, nullptr)) != -1;) {
        if (c == 'h') {
            std::fputs(kUsage.text, stdout);
            return 0;
        }
        auto number = std::find_if(std::begin(numbers), std::end(numbers),
                                   [c](const auto &n) { return n.code == c; });
        auto flag = std::find_if(std::begin(flags), std::end(flags),
                                 [c](const auto &f) { return f.code == c; });
        if (number != std::end(numbers)) {
            const std::string arg = optarg;
            if (!parse_num(arg, number->max, number->value) || number->value < number->min)
                return kUsage.bad(std::string("bad ") + number->what + " '" + arg + "'" +
                                  number->range);
        } else if (flag != std::end(flags)) {
            flag->value = true;
        } else {
            return kUsage.bad(tool_option_error(c, argv));
        }
    }
    if (argc - optind != 2)
        return kUsage.bad("expected INPUT and OUTPUT");
    const std::string in_path = argv[optind], out_path = argv[optind + 1];

    std::ifstream in(in_path);
    if (!in) {
        std::fprintf(stderr, "pcapgen: %s: cannot open: %s\n", in_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Read and check everything first, so that bad input leaves no half-written capture.
    std::vector<Packet> packets;
    std::vector<craft_packet> crafted;
    unsigned lineno = 0;
    if (flows && v6)
        return kUsage.bad("--flows and --ipv6 do not go together");
    for (std::string line; packets.size() < limit && std::getline(in, line);) {
        ++lineno;
        if (tool_strip_comment(line))
            continue;
        Packet pkt;
        std::string err = flows ? craft_parse_flow_line(line, crafted) : parse_line(line, v6, pkt);
        if (!err.empty()) {
            std::fprintf(stderr, "pcapgen: %s:%u: %s\n", in_path.c_str(), lineno, err.c_str());
            return 2;
        }
        if (!flows)
            packets.push_back(pkt);
    }

    int linktype = raw ? DLT_RAW : DLT_EN10MB;
    pcap_t *pd = pcap_open_dead(linktype, 65535 + 14);
    if (!pd) {
        std::fprintf(stderr, "pcapgen: out of memory\n");
        return 1;
    }
    pcap_dumper_t *dump = pcap_dump_open(pd, out_path.c_str());
    if (!dump) {
        std::fprintf(stderr, "pcapgen: %s: %s\n", out_path.c_str(), pcap_geterr(pd));
        pcap_close(pd);
        return 1;
    }
    uint64_t portless = 0, grown = 0, t_us = 0;
    if (flows) {
        if (crafted.size() > limit)
            crafted.resize(limit);
        packets.assign(crafted.size(), Packet{});
    }
    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet &p = packets[i];
        std::vector<uint8_t> ip;
        if (flows) {
            ip = std::move(crafted[i]);
        } else {
            if (!has_ports(p.proto) && (p.sport || p.dport))
                ++portless;
            ip = build_ip(p, static_cast<uint32_t>(length), static_cast<uint8_t>(tos),
                          static_cast<uint16_t>(i + 1));
            if (ip.size() > length)
                ++grown;
        }
        std::vector<uint8_t> frame;
        if (!raw) {
            frame = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, 0x08, 0x00};
            if (p.v6) {
                frame[12] = 0x86;
                frame[13] = 0xDD;
            }
        }
        frame.insert(frame.end(), ip.begin(), ip.end());
        pcap_pkthdr hdr{};
        hdr.ts.tv_sec = static_cast<time_t>(1 + t_us / 1000000);
        hdr.ts.tv_usec = static_cast<suseconds_t>(t_us % 1000000);
        hdr.caplen = hdr.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dump), &hdr, frame.data());
        t_us += gap;
    }
    bool ok = pcap_dump_flush(dump) == 0;
    pcap_dump_close(dump);
    pcap_close(pd);
    if (!ok) {
        std::fprintf(stderr, "pcapgen: %s: write failed\n", out_path.c_str());
        return 1;
    }
    if (!quiet) {
        std::printf("pcapgen: wrote %zu packets to %s (%s)", packets.size(), out_path.c_str(),
                    raw ? "raw IP" : "Ethernet");
        if (portless)
            std::printf("; %llu of protocols without ports left their ports out",
                        static_cast<unsigned long long>(portless));
        if (grown)
            std::printf("; %llu longer than %llu bytes to hold their headers",
                        static_cast<unsigned long long>(grown), length);
        std::printf("\n");
    }
    return 0;
}
