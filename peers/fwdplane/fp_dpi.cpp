#include "peers/fwdplane/fp_dpi.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <string_view>

#include "platform/dpi/dpi_engine.h"

namespace {

constexpr uint32_t kDnsPort = 53;
constexpr size_t kDnsHeaderLen = 12;

bool has_ports(uint32_t proto) {
    return proto == 6 || proto == 17 || proto == 132 || proto == 136;
}

// 1 for a DNS query, 2 for a response, 0 when the packet carries no DNS header.
uint32_t dns_field(const fp_packet &pkt) {
    uint32_t proto = pkt.field[FPF_PROTOCOL];
    if ((proto != 6 && proto != 17) || pkt.l4_off == 0 ||
        (pkt.field[FPF_SRC_PORT] != kDnsPort && pkt.field[FPF_DST_PORT] != kDnsPort)) {
        return 0;
    }
    size_t off = pkt.l4_off;
    if (proto == 17) {
        off += 8;
    } else {
        if (off + 13 > pkt.ip_len)
            return 0;
        off += (pkt.ip[off + 12] >> 4) * 4u + 2;  // TCP header, then the message length
    }
    if (off + kDnsHeaderLen > pkt.ip_len)
        return 0;
    return (pkt.ip[off + 2] & 0x80) ? 2 : 1;
}

}  // namespace

size_t FpDpi::key_hash::operator()(const key &k) const {
    std::string_view bytes(reinterpret_cast<const char *>(k.a.data()), 32);
    size_t h = std::hash<std::string_view>()(bytes);
    return h ^ (size_t{k.pa} << 24 | size_t{k.pb} << 8 | k.proto) ^ (size_t{k.family} << 40);
}

FpDpi::FpDpi(plx_dpi_tables tables, fp_dpi_options opt) : t_(tables), opt_(opt) {
    dns_id_ = static_cast<uint32_t>(dpi_proto_id("dns"));
}

FpDpi::~FpDpi() = default;

bool FpDpi::active() const {
    return opt_.force || (t_.state && fp_load(*t_.state) != 0);
}

uint32_t FpDpi::family_of(uint32_t app) const {
    if (!t_.family || app == 0 || app >= t_.entries || app > fp_load(t_.family[0]))
        return 0;
    return fp_load(t_.family[app]);
}

void FpDpi::count(flow &f) {
    if (f.counted)
        return;
    f.counted = true;
    const dpi_verdict &v = f.engine.give_up();
    uint32_t app = v.master == dns_id_ && dns_id_ ? v.master : v.app;
    if (app == 0 || !t_.hits || app >= t_.entries || app > fp_load(t_.hits[0]))
        return;
    std::atomic_ref<uint32_t>(t_.hits[app]).fetch_add(1, std::memory_order_relaxed);
    ++stats_.counted;
}

void FpDpi::expire(uint64_t now_ns) {
    while (!age_.empty()) {
        auto it = flows_.find(age_.front());
        if (it->second->last_ns + opt_.idle_ns >= now_ns)
            break;
        count(*it->second);
        flows_.erase(it);
        age_.pop_front();
    }
}

void FpDpi::flush() {
    for (auto &[k, f] : flows_)
        count(*f);
    flows_.clear();
    age_.clear();
}

void FpDpi::classify(fp_packet &pkt) {
    if (!pkt.ip || !active())
        return;
    ++stats_.packets;
    pkt.field[FPF_DNS] = dns_field(pkt);

    key k;
    k.family = pkt.family;
    k.proto = static_cast<uint8_t>(pkt.field[FPF_PROTOCOL]);
    std::memcpy(k.a.data(), pkt.src6, 16);
    std::memcpy(k.b.data(), pkt.dst6, 16);
    if (has_ports(k.proto)) {
        k.pa = static_cast<uint16_t>(pkt.field[FPF_SRC_PORT]);
        k.pb = static_cast<uint16_t>(pkt.field[FPF_DST_PORT]);
    }
    // Both directions of a conversation are one flow.
    if (std::make_pair(k.b, k.pb) < std::make_pair(k.a, k.pa)) {
        std::swap(k.a, k.b);
        std::swap(k.pa, k.pb);
    }

    expire(pkt.time_ns);
    auto it = flows_.find(k);
    if (it == flows_.end()) {
        if (flows_.size() >= opt_.max_flows) {
            if (stats_.table_full++ == 0)
                dpi_raise_exception(DPI_ERR_FLOW_TABLE);
            return;
        }
        auto f = std::make_unique<flow>();
        if (!f->engine.valid())
            return;
        f->age = age_.insert(age_.end(), k);
        it = flows_.emplace(k, std::move(f)).first;
        ++stats_.flows;
    }
    flow &f = *it->second;
    f.last_ns = pkt.time_ns;
    age_.splice(age_.end(), age_, f.age);

    const dpi_verdict &v = f.engine.process(pkt.ip, pkt.ip_len, pkt.time_ns / 1000000);
    if (dns_id_ && v.master == dns_id_) {
        pkt.field[FPF_APP] = v.master;
        if (v.app != v.master) {
            pkt.field[FPF_DNS_APP] = v.app;
            pkt.field[FPF_DNS_APP_FAMILY] = family_of(v.app);
        }
    } else {
        pkt.field[FPF_APP] = v.app;
    }
    pkt.field[FPF_APP_FAMILY] = family_of(pkt.field[FPF_APP]);
    if (v.done)
        count(f);
}
