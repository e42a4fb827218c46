// Crafted application flows: IPv4 packets whose content an application-recognition engine
// recognises (a TLS ClientHello naming a server, an HTTP request with a Host header, a DNS
// query), with well-formed headers and checksums, so that tests and demonstrations need no
// captures from outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using craft_packet = std::vector<uint8_t>;  // one IPv4 packet, IP header first

// The Internet checksum: the one's-complement sum of n bytes as 16-bit big-endian words added to
// `sum` (not yet folded), and the folded and inverted checksum of such a sum.
uint32_t craft_sum16(const uint8_t *p, size_t n, uint32_t sum = 0);
uint16_t craft_checksum(uint32_t sum);

struct craft_endpoints {
    uint32_t client = 0;  // IPv4 addresses in host order
    uint32_t server = 0;
    uint16_t client_port = 0;
    uint16_t server_port = 0;
};

// TCP handshake (SYN, SYN+ACK, ACK), then a ClientHello with the server name `sni`.
std::vector<craft_packet> craft_tls_flow(const craft_endpoints &ep, std::string_view sni);
// TCP handshake, then "GET <path> HTTP/1.1" with "Host: <host>".
std::vector<craft_packet> craft_http_flow(const craft_endpoints &ep, std::string_view host,
                                          std::string_view path = "/");
// One DNS query for an A record of `name` over UDP, and with `answer` its response.
std::vector<craft_packet> craft_dns_flow(const craft_endpoints &ep, std::string_view name,
                                         uint16_t query_id, bool answer);

// Parses one flow line "tls|http|dns CLIENT SERVER CLIENT-PORT NAME" (addresses as dotted quads;
// the server port is 443, 80 or 53). "" on success, else what is wrong.
std::string craft_parse_flow_line(const std::string &line, std::vector<craft_packet> &out);
