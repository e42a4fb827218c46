#include "platform/dpi/dpi_flow.h"

#include <ndpi_api.h>

#include <cstring>

#include "platform/dpi/dpi_engine_internal.h"

namespace {

// nDPI gives up on most protocols well before this; a flow still undecided is guessed.
constexpr uint32_t kDefaultMaxPackets = 32;

void take(dpi_verdict &v, const ndpi_protocol &p) {
    if (p.app_protocol == NDPI_PROTOCOL_UNKNOWN && p.master_protocol == NDPI_PROTOCOL_UNKNOWN)
        return;
    uint16_t app = p.app_protocol != NDPI_PROTOCOL_UNKNOWN ? p.app_protocol : p.master_protocol;
    uint16_t master =
        p.master_protocol != NDPI_PROTOCOL_UNKNOWN ? p.master_protocol : p.app_protocol;
    // Without the matching switch, a service found by name stays its carrying protocol.
    const dpi_config *cfg = dpi_internal_config();
    bool by_dns = master == NDPI_PROTOCOL_DNS;
    if (app != master && cfg && !(by_dns ? cfg->dns_subclassify : cfg->host_names))
        app = master;
    v.app = dpi_internal_unique_id(app);
    v.master = dpi_internal_unique_id(master);
}

// Whether the packet is a TCP segment with FIN or RST set.
bool tcp_closing(const uint8_t *ip, size_t len) {
    size_t l4 = 0;
    if (len >= 20 && (ip[0] >> 4) == 4 && ip[9] == 6)
        l4 = (ip[0] & 0xFu) * 4u;
    else if (len >= 40 && (ip[0] >> 4) == 6 && ip[6] == 6)
        l4 = 40;
    return l4 != 0 && l4 + 14 <= len && (ip[l4 + 13] & 0x05) != 0;
}

}  // namespace

dpi_flow::dpi_flow() {
    if (!dpi_internal_module())
        return;
    f_ = static_cast<ndpi_flow_struct *>(ndpi_flow_malloc(SIZEOF_FLOW_STRUCT));
    if (f_)
        std::memset(f_, 0, SIZEOF_FLOW_STRUCT);
    else
        dpi_raise_exception(DPI_ERR_NOMEM);
}

dpi_flow::~dpi_flow() {
    if (f_)
        ndpi_free_flow(f_);
}

const dpi_verdict &dpi_flow::process(const uint8_t *ip, size_t len, uint64_t time_ms) {
    ndpi_detection_module_struct *mod = dpi_internal_module();
    if (!f_ || !mod || v_.done || !ip || len == 0)
        return v_;
    const dpi_config *cfg = dpi_internal_config();
    ++packets_;
    auto n = static_cast<unsigned short>(len > 65535 ? 65535 : len);
    bool had_verdict = v_.app != 0;
    if (had_verdict) {
        ndpi_process_extra_packet(mod, f_, ip, n, time_ms);
        ndpi_protocol p{f_->detected_protocol_stack[1], f_->detected_protocol_stack[0],
                        NDPI_PROTOCOL_CATEGORY_UNSPECIFIED};
        take(v_, p);
    } else {
        take(v_, ndpi_detection_process_packet(mod, f_, ip, n, time_ms));
    }
    uint32_t limit = cfg && cfg->max_packets ? cfg->max_packets : kDefaultMaxPackets;
    if (v_.app != 0) {
        bool more = cfg && cfg->extra_dissection && ndpi_extra_dissection_possible(mod, f_);
        if (!more || packets_ >= limit)
            v_.done = true;
    } else if (packets_ >= limit || (cfg && cfg->giveup_on_close && tcp_closing(ip, len))) {
        give_up();
    }
    return v_;
}

const dpi_verdict &dpi_flow::give_up() {
    ndpi_detection_module_struct *mod = dpi_internal_module();
    if (v_.done)
        return v_;
    const dpi_config *cfg = dpi_internal_config();
    if (f_ && mod && v_.app == 0) {
        uint8_t guessed = 0;
        take(v_, ndpi_detection_giveup(mod, f_, cfg && cfg->guess_on_giveup, &guessed));
    }
    if (v_.app == 0 && cfg && cfg->count_unclassified)
        v_.app = v_.master = DPI_PROTO_UNCLASSIFIED;
    v_.done = true;
    return v_;
}
