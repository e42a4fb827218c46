// Captured frames as the forwarding plane parses them, for every link type it reads, and
// ClassBench trace lines. The first byte picks the input kind.
#include <pcap/dlt.h>

#include <cstdlib>
#include <string>

#include "peers/fwdplane/fp_packet.h"

namespace {

const int kLinkTypes[] = {
    DLT_EN10MB,     DLT_LINUX_SLL, DLT_RAW,
#ifdef DLT_LINUX_SLL2
    DLT_LINUX_SLL2,
#endif
#ifdef DLT_IPV4
    DLT_IPV4,       DLT_IPV6,
#endif
};
constexpr size_t kNumLinkTypes = sizeof kLinkTypes / sizeof kLinkTypes[0];

// What a parsed packet promises the stages after the parser.
void check(const fp_packet &pkt, const uint8_t *data, size_t size) {
    if (pkt.family != 4 && pkt.family != 6)
        std::abort();
    if (pkt.ip && (pkt.ip < data || pkt.ip_len > size || pkt.ip + pkt.ip_len > data + size ||
                   pkt.l4_off > pkt.ip_len))
        std::abort();
    if (pkt.field[FPF_MATCH_ANY] != 1 || pkt.field[FPF_DSCP] > 63 ||
        pkt.field[FPF_TRAFFIC_CLASS] > 255 || pkt.field[FPF_PKT_LEN] > 65535)
        std::abort();
    (void)fp_packet_str(pkt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const unsigned kind = data[0] % (kNumLinkTypes + 2);
    ++data;
    --size;
    fp_packet pkt = fp_packet_blank();
    std::string why;
    if (kind < kNumLinkTypes) {
        if (fp_parse_frame(kLinkTypes[kind], data, size, pkt, &why))
            check(pkt, data, size);
        else if (why.empty())
            std::abort();
    } else if (kind == kNumLinkTypes) {
        if (fp_parse_ip(data, size, pkt, &why))
            check(pkt, data, size);
        else if (why.empty())
            std::abort();
    } else {
        long filter = 0;
        std::string line(reinterpret_cast<const char *>(data), size);
        if (fp_parse_trace_line(line, 64, pkt, &filter, &why))
            check(pkt, data, size);
    }
    return 0;
}
