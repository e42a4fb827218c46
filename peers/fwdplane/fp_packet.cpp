#include "peers/fwdplane/fp_packet.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/byte_order.h"

namespace {

bool fail(std::string *why, const char *text) {
    if (why)
        *why = text;
    return false;
}

bool has_ports(uint32_t proto) {
    return proto == 6 || proto == 17 || proto == 132 || proto == 136;
}

// Fills ports and TCP flags from the transport header at l4 (caplen bytes available).
void parse_l4(const uint8_t *l4, size_t avail, uint32_t proto, fp_packet &pkt) {
    if (has_ports(proto) && avail >= 4) {
        pkt.field[FPF_SRC_PORT] = get_be16(l4);
        pkt.field[FPF_DST_PORT] = get_be16(l4 + 2);
    }
    if (proto == 6 && avail >= 14)
        pkt.field[FPF_TCP] = fp_tcp_field(l4[13]);
}

}  // namespace

void fp_packet::set_dscp(uint8_t dscp) {
    field[FPF_DSCP] = dscp & 0x3F;
    field[FPF_TRAFFIC_CLASS] = (field[FPF_TRAFFIC_CLASS] & 0x3) | (dscp & 0x3Fu) << 2;
}

void fp_packet::set_traffic_class(uint8_t tc) {
    field[FPF_TRAFFIC_CLASS] = tc;
    field[FPF_DSCP] = tc >> 2;
}

fp_packet fp_packet_blank() {
    fp_packet p;
    p.field[FPF_MATCH_ANY] = 1;
    return p;
}

bool fp_parse_ip(const uint8_t *d, size_t caplen, fp_packet &pkt, std::string *why) {
    pkt = fp_packet_blank();
    if (caplen < 1)
        return fail(why, "empty packet");
    pkt.ip = d;
    pkt.ip_len = caplen;
    unsigned version = d[0] >> 4;
    if (version == 4) {
        if (caplen < 20)
            return fail(why, "truncated IPv4 header");
        size_t ihl = (d[0] & 0xF) * 4u;
        if (ihl < 20 || ihl > caplen)
            return fail(why, "bad IPv4 header length");
        pkt.family = 4;
        uint32_t proto = d[9];
        pkt.field[FPF_PROTOCOL] = proto;
        pkt.field[FPF_NEXT_HEADER] = proto;
        pkt.set_traffic_class(d[1]);
        pkt.field[FPF_SRC_ADDR] = get_be32(d + 12);
        pkt.field[FPF_DST_ADDR] = get_be32(d + 16);
        uint16_t total = get_be16(d + 2);
        pkt.length = total;
        pkt.field[FPF_PKT_LEN] = total;
        memcpy(pkt.src6, d + 12, 4);
        memcpy(pkt.dst6, d + 16, 4);
        bool later_fragment = (get_be16(d + 6) & 0x1FFF) != 0;
        if (!later_fragment) {
            pkt.l4_off = ihl;
            parse_l4(d + ihl, caplen - ihl, proto, pkt);
        }
        return true;
    }
    if (version == 6) {
        if (caplen < 40)
            return fail(why, "truncated IPv6 header");
        pkt.family = 6;
        pkt.set_traffic_class(static_cast<uint8_t>((d[0] & 0xF) << 4 | d[1] >> 4));
        uint32_t nh = d[6];
        pkt.field[FPF_NEXT_HEADER] = nh;
        memcpy(pkt.src6, d + 8, 16);
        memcpy(pkt.dst6, d + 24, 16);
        pkt.field[FPF_SRC_ADDR] = get_be32(d + 8);
        pkt.field[FPF_DST_ADDR] = get_be32(d + 24);
        uint32_t len = get_be16(d + 4) + 40u;
        if (len > 65535)
            len = 65535;
        pkt.length = len;
        pkt.field[FPF_PKT_LEN] = len;
        // Walk the extension headers to the upper-layer protocol.
        size_t off = 40;
        bool later_fragment = false;
        for (int guard = 0; guard < 16; ++guard) {
            if (nh == 0 || nh == 43 || nh == 60) {  // hop-by-hop, routing, destination options
                if (off + 2 > caplen)
                    break;
                uint32_t next = d[off];
                off += (d[off + 1] + 1u) * 8;
                nh = next;
            } else if (nh == 44) {  // fragment
                if (off + 8 > caplen)
                    break;
                later_fragment = (get_be16(d + off + 2) & 0xFFF8) != 0;
                nh = d[off];
                off += 8;
            } else if (nh == 51) {  // authentication header
                if (off + 2 > caplen)
                    break;
                uint32_t next = d[off];
                off += (d[off + 1] + 2u) * 4;
                nh = next;
            } else {
                break;
            }
        }
        pkt.field[FPF_PROTOCOL] = nh;
        if (!later_fragment && off < caplen) {
            pkt.l4_off = off;
            parse_l4(d + off, caplen - off, nh, pkt);
        }
        return true;
    }
    return fail(why, "not an IP packet");
}

bool fp_parse_frame(int linktype, const uint8_t *d, size_t caplen, fp_packet &pkt,
                    std::string *why) {
    uint16_t ethertype = 0;
    size_t off = 0;
    switch (linktype) {
        case DLT_EN10MB: {
            if (caplen < 14)
                return fail(why, "truncated Ethernet header");
            ethertype = get_be16(d + 12);
            off = 14;
            // VLAN tags (802.1Q, 802.1ad, QinQ).
            while ((ethertype == 0x8100 || ethertype == 0x88A8 || ethertype == 0x9100) &&
                   off + 4 <= caplen) {
                ethertype = get_be16(d + off + 2);
                off += 4;
            }
            break;
        }
        case DLT_LINUX_SLL:
            if (caplen < 16)
                return fail(why, "truncated cooked header");
            ethertype = get_be16(d + 14);
            off = 16;
            break;
#ifdef DLT_LINUX_SLL2
        case DLT_LINUX_SLL2:
            if (caplen < 20)
                return fail(why, "truncated cooked header");
            ethertype = get_be16(d);
            off = 20;
            break;
#endif
        case DLT_RAW:
#ifdef DLT_IPV4
        case DLT_IPV4:
        case DLT_IPV6:
#endif
            return fp_parse_ip(d, caplen, pkt, why);
        default:
            return fail(why, "unsupported link type");
    }
    if (ethertype != 0x0800 && ethertype != 0x86DD)
        return fail(why, "not an IP frame");
    return fp_parse_ip(d + off, caplen - off, pkt, why);
}

bool fp_parse_trace_line(const std::string &line, uint32_t default_len, fp_packet &pkt,
                         long *filter_index, std::string *why) {
    pkt = fp_packet_blank();
    unsigned long long v[7];
    int n = sscanf(line.c_str(), "%llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                   &v[4], &v[5], &v[6]);
    if (n < 5)
        return fail(why, "malformed trace line");
    if (v[0] > 0xFFFFFFFFull || v[1] > 0xFFFFFFFFull || v[2] > 65535 || v[3] > 65535 || v[4] > 255)
        return fail(why, "trace value out of range");
    pkt.family = 4;
    pkt.field[FPF_SRC_ADDR] = static_cast<uint32_t>(v[0]);
    pkt.field[FPF_DST_ADDR] = static_cast<uint32_t>(v[1]);
    pkt.field[FPF_SRC_PORT] = static_cast<uint32_t>(v[2]);
    pkt.field[FPF_DST_PORT] = static_cast<uint32_t>(v[3]);
    pkt.field[FPF_PROTOCOL] = static_cast<uint32_t>(v[4]);
    pkt.field[FPF_NEXT_HEADER] = static_cast<uint32_t>(v[4]);
    if (n >= 6 && v[4] == 6)
        pkt.field[FPF_TCP] = fp_tcp_field(static_cast<uint8_t>(v[5] & 0xFF));
    pkt.length = default_len;
    pkt.field[FPF_PKT_LEN] = default_len;
    uint32_t sa = htonl(pkt.field[FPF_SRC_ADDR]), da = htonl(pkt.field[FPF_DST_ADDR]);
    memcpy(pkt.src6, &sa, 4);
    memcpy(pkt.dst6, &da, 4);
    if (filter_index)
        *filter_index = n >= 7 ? static_cast<long>(v[6]) : -1;
    return true;
}

int fp_read_packets(const std::string &path, uint32_t trace_len, uint64_t trace_gap_ns,
                    const fp_packet_fn &fn, const fp_bad_fn &bad, std::string *err) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        if (err)
            *err = path + ": " + strerror(errno);
        return errno;
    }
    uint32_t magic = 0;
    size_t got = fread(&magic, 1, 4, f);
    fclose(f);
    bool is_pcap =
        got == 4 && (magic == 0xA1B2C3D4 || magic == 0xD4C3B2A1 || magic == 0xA1B23C4D ||
                     magic == 0x4D3CB2A1 || magic == 0x0A0D0D0A);  // pcapng section header
    std::string why;
    if (is_pcap) {
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        pcap_t *pc = pcap_open_offline_with_tstamp_precision(path.c_str(),
                                                             PCAP_TSTAMP_PRECISION_NANO, errbuf);
        if (!pc) {
            if (err)
                *err = path + ": " + errbuf;
            return EINVAL;
        }
        int linktype = pcap_datalink(pc);
        pcap_pkthdr *hdr;
        const u_char *data;
        int rc;
        while ((rc = pcap_next_ex(pc, &hdr, &data)) == 1) {
            fp_packet pkt;
            if (!fp_parse_frame(linktype, data, hdr->caplen, pkt, &why)) {
                bad(why);
                continue;
            }
            pkt.time_ns = static_cast<uint64_t>(hdr->ts.tv_sec) * 1000000000ull +
                          static_cast<uint64_t>(hdr->ts.tv_usec);
            fn(pkt);
        }
        int result = 0;
        if (rc == -1) {
            if (err)
                *err = path + ": " + pcap_geterr(pc);
            result = EIO;
        }
        pcap_close(pc);
        return result;
    }
    std::ifstream in(path);
    std::string line;
    uint64_t t = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        fp_packet pkt;
        if (!fp_parse_trace_line(line, trace_len, pkt, nullptr, &why)) {
            bad(why);
            continue;
        }
        t += trace_gap_ns;
        pkt.time_ns = t;
        fn(pkt);
    }
    return 0;
}

std::string fp_packet_str(const fp_packet &p) {
    char src[INET6_ADDRSTRLEN], dst[INET6_ADDRSTRLEN];
    int af = p.family == 6 ? AF_INET6 : AF_INET;
    inet_ntop(af, p.src6, src, sizeof src);
    inet_ntop(af, p.dst6, dst, sizeof dst);
    char buf[256];
    snprintf(buf, sizeof buf,
             "%s %u -> %s %u proto %u len %u dscp %u fc %u plp %u app %u family %u dns %u "
             "dns-app %u",
             src, p.field[FPF_SRC_PORT], dst, p.field[FPF_DST_PORT], p.field[FPF_PROTOCOL],
             p.length, p.field[FPF_DSCP], p.field[FPF_FC], p.field[FPF_PLP], p.field[FPF_APP],
             p.field[FPF_APP_FAMILY], p.field[FPF_DNS], p.field[FPF_DNS_APP]);
    return buf;
}
