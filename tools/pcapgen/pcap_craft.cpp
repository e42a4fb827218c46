#include "tools/pcapgen/pcap_craft.h"

#include <arpa/inet.h>

#include <sstream>

#include "common/byte_order.h"

namespace {

constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpPsh = 0x08, kTcpAck = 0x10;

void append16(std::vector<uint8_t> &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void append24(std::vector<uint8_t> &b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 16));
    append16(b, v);
}

// IPv4 header and a transport header of l4_hdr bytes, then the payload; checksums filled in
// after the caller wrote the transport header (finish()).
struct builder {
    craft_packet b;
    size_t l4 = 20;

    builder(uint32_t src, uint32_t dst, uint8_t proto, size_t l4_hdr, std::string_view payload,
            uint16_t ident) {
        size_t total = 20 + l4_hdr + payload.size();
        b.assign(total, 0);
        b[0] = 0x45;
        put_be16(&b[2], static_cast<uint32_t>(total));
        put_be16(&b[4], ident);
        b[6] = 0x40;  // don't fragment
        b[8] = 64;
        b[9] = proto;
        put_be32(&b[12], src);
        put_be32(&b[16], dst);
        put_be16(&b[10], craft_checksum(craft_sum16(b.data(), 20)));
        std::copy(payload.begin(), payload.end(), b.begin() + 20 + static_cast<long>(l4_hdr));
    }
    uint8_t *hdr() { return &b[l4]; }
    craft_packet finish(size_t csum_at) {
        size_t len = b.size() - l4;
        uint32_t sum = craft_sum16(&b[12], 8);
        sum += b[9];
        sum += static_cast<uint32_t>(len);
        uint16_t c = craft_checksum(craft_sum16(&b[l4], len, sum));
        if (c == 0 && b[9] == 17)
            c = 0xFFFF;
        put_be16(&b[l4 + csum_at], c);
        return std::move(b);
    }
};

// A TCP conversation that keeps its sequence numbers.
struct tcp_conv {
    craft_endpoints ep;
    uint32_t cseq = 1000, sseq = 5000;
    uint16_t ident = 1;

    craft_packet seg(bool from_client, uint8_t flags, std::string_view payload) {
        uint32_t src = from_client ? ep.client : ep.server;
        uint32_t dst = from_client ? ep.server : ep.client;
        builder pb(src, dst, 6, 20, payload, ident++);
        uint8_t *t = pb.hdr();
        put_be16(t, from_client ? ep.client_port : ep.server_port);
        put_be16(t + 2, from_client ? ep.server_port : ep.client_port);
        uint32_t &seq = from_client ? cseq : sseq;
        uint32_t &ack = from_client ? sseq : cseq;
        put_be32(t + 4, seq);
        put_be32(t + 8, (flags & kTcpAck) ? ack : 0);
        t[12] = 5 << 4;
        t[13] = flags;
        put_be16(t + 14, 65535);
        seq += static_cast<uint32_t>(payload.size()) + ((flags & (kTcpSyn | kTcpFin)) ? 1 : 0);
        return pb.finish(16);
    }
    std::vector<craft_packet> handshake() {
        std::vector<craft_packet> v;
        v.push_back(seg(true, kTcpSyn, {}));
        v.push_back(seg(false, kTcpSyn | kTcpAck, {}));
        v.push_back(seg(true, kTcpAck, {}));
        return v;
    }
};

std::string client_hello(std::string_view sni) {
    std::vector<uint8_t> ext;
    // server_name
    append16(ext, 0x0000);
    append16(ext, static_cast<uint32_t>(sni.size() + 5));
    append16(ext, static_cast<uint32_t>(sni.size() + 3));
    ext.push_back(0);  // host_name
    append16(ext, static_cast<uint32_t>(sni.size()));
    ext.insert(ext.end(), sni.begin(), sni.end());
    // supported_groups: x25519, secp256r1
    for (uint32_t v : {0x000Au, 6u, 4u, 0x001Du, 0x0017u})
        append16(ext, v);
    // ec_point_formats: uncompressed
    for (uint32_t v : {0x000Bu, 2u})
        append16(ext, v);
    ext.push_back(1);
    ext.push_back(0);
    // signature_algorithms: ecdsa_secp256r1_sha256, rsa_pss_rsae_sha256
    for (uint32_t v : {0x000Du, 6u, 4u, 0x0403u, 0x0804u})
        append16(ext, v);
    // supported_versions: TLS 1.3, 1.2
    for (uint32_t v : {0x002Bu, 5u})
        append16(ext, v);
    ext.push_back(4);
    append16(ext, 0x0304);
    append16(ext, 0x0303);

    std::vector<uint8_t> body;
    append16(body, 0x0303);
    for (int i = 0; i < 32; ++i)
        body.push_back(static_cast<uint8_t>(i * 7 + 1));  // random
    body.push_back(32);                                   // session id
    for (int i = 0; i < 32; ++i)
        body.push_back(static_cast<uint8_t>(0xA0 + i));
    const uint32_t suites[] = {0x1301, 0x1302, 0x1303, 0xC02B, 0xC02F, 0xC02C, 0xC030};
    append16(body, static_cast<uint32_t>(2 * std::size(suites)));
    for (uint32_t s : suites)
        append16(body, s);
    body.push_back(1);  // compression methods: null
    body.push_back(0);
    append16(body, static_cast<uint32_t>(ext.size()));
    body.insert(body.end(), ext.begin(), ext.end());

    std::vector<uint8_t> hs;
    hs.push_back(1);  // ClientHello
    append24(hs, static_cast<uint32_t>(body.size()));
    hs.insert(hs.end(), body.begin(), body.end());

    std::vector<uint8_t> rec = {0x16, 0x03, 0x01};
    append16(rec, static_cast<uint32_t>(hs.size()));
    rec.insert(rec.end(), hs.begin(), hs.end());
    return std::string(rec.begin(), rec.end());
}

std::string dns_message(std::string_view name, uint16_t id, bool answer) {
    std::vector<uint8_t> m;
    append16(m, id);
    append16(m, answer ? 0x8180 : 0x0100);  // response / standard query, recursion desired
    append16(m, 1);
    append16(m, answer ? 1 : 0);
    append16(m, 0);
    append16(m, 0);
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string_view::npos)
            dot = name.size();
        if (dot > start) {
            m.push_back(static_cast<uint8_t>(dot - start));
            m.insert(m.end(), name.begin() + static_cast<long>(start),
                     name.begin() + static_cast<long>(dot));
        }
        start = dot + 1;
    }
    m.push_back(0);
    append16(m, 1);  // A
    append16(m, 1);  // IN
    if (answer) {
        append16(m, 0xC00C);  // the name of the question
        append16(m, 1);
        append16(m, 1);
        append16(m, 0);
        append16(m, 300);  // TTL
        append16(m, 4);
        for (uint8_t b : {192, 0, 2, 10})
            m.push_back(b);
    }
    return std::string(m.begin(), m.end());
}

craft_packet udp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                 std::string_view payload, uint16_t ident) {
    builder pb(src, dst, 17, 8, payload, ident);
    put_be16(pb.hdr(), sport);
    put_be16(pb.hdr() + 2, dport);
    put_be16(pb.hdr() + 4, static_cast<uint32_t>(8 + payload.size()));
    return pb.finish(6);
}

}  // namespace

std::vector<craft_packet> craft_tls_flow(const craft_endpoints &ep, std::string_view sni) {
    tcp_conv c{ep};
    std::vector<craft_packet> v = c.handshake();
    v.push_back(c.seg(true, kTcpPsh | kTcpAck, client_hello(sni)));
    return v;
}

std::vector<craft_packet> craft_http_flow(const craft_endpoints &ep, std::string_view host,
                                          std::string_view path) {
    tcp_conv c{ep};
    std::vector<craft_packet> v = c.handshake();
    std::string req = "GET " + std::string(path) + " HTTP/1.1\r\nHost: " + std::string(host) +
                      "\r\nUser-Agent: pcapgen/1.0\r\nAccept: */*\r\n\r\n";
    v.push_back(c.seg(true, kTcpPsh | kTcpAck, req));
    return v;
}

std::vector<craft_packet> craft_dns_flow(const craft_endpoints &ep, std::string_view name,
                                         uint16_t query_id, bool answer) {
    std::vector<craft_packet> v;
    v.push_back(udp(ep.client, ep.server, ep.client_port, ep.server_port,
                    dns_message(name, query_id, false), 1));
    if (answer)
        v.push_back(udp(ep.server, ep.client, ep.server_port, ep.client_port,
                        dns_message(name, query_id, true), 2));
    return v;
}

std::string craft_parse_flow_line(const std::string &line, std::vector<craft_packet> &out) {
    std::istringstream in(line);
    std::string kind, client, server, port, name, extra;
    if (!(in >> kind >> client >> server >> port >> name))
        return "expected 'tls|http|dns CLIENT SERVER CLIENT-PORT NAME'";
    if (in >> extra)
        return "too many columns";
    craft_endpoints ep;
    in_addr a{};
    if (inet_pton(AF_INET, client.c_str(), &a) != 1)
        return "bad IPv4 address '" + client + "'";
    ep.client = ntohl(a.s_addr);
    if (inet_pton(AF_INET, server.c_str(), &a) != 1)
        return "bad IPv4 address '" + server + "'";
    ep.server = ntohl(a.s_addr);
    char *end = nullptr;
    unsigned long p = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end || p == 0 || p > 65535)
        return "bad client port '" + port + "'";
    ep.client_port = static_cast<uint16_t>(p);
    if (name.size() > 253)
        return "name longer than 253 characters";
    std::vector<craft_packet> v;
    if (kind == "tls") {
        ep.server_port = 443;
        v = craft_tls_flow(ep, name);
    } else if (kind == "http") {
        ep.server_port = 80;
        v = craft_http_flow(ep, name);
    } else if (kind == "dns") {
        ep.server_port = 53;
        for (size_t s = 0, d; s < name.size(); s = d + 1) {
            d = name.find('.', s);
            if (d == std::string::npos)
                d = name.size();
            if (d - s == 0 || d - s > 63)
                return "bad DNS name '" + name + "'";
        }
        v = craft_dns_flow(ep, name, static_cast<uint16_t>(p), true);
    } else {
        return "unknown flow kind '" + kind + "' (tls, http or dns)";
    }
    out.insert(out.end(), v.begin(), v.end());
    return "";
}

uint32_t craft_sum16(const uint8_t *p, size_t n, uint32_t sum) {
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1)
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    return sum;
}

uint16_t craft_checksum(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}
