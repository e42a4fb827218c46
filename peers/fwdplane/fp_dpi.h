// Application recognition in the forwarding plane: a 5-tuple flow table whose flows are fed to
// the recognition engine, and the packet fields that come from its verdict.
//
// Each packet's flow (both directions of one conversation share it) gives:
//   field 10, 11  the application the flow is recognised as so far, and its family from the
//                 shared protocol-to-family table (0 for ids beyond the table's entry 0);
//   field 16, 17  for a DNS flow, the application the queried name belongs to, and its family;
//   field 18      1 for a DNS query, 2 for a DNS response (UDP or TCP port 53), else 0.
// A flow is counted once, in the shared hits table under its application, when its verdict is
// final: the engine has nothing more to learn from it, it was idle for the idle time (measured in
// packet time), or the replay ended (flush). A flow the engine gave up on counts as
// "unclassified". Counts land only while the id is at most entry 0 of the hits table.
//
// Recognition runs while the shared DPI state word says some policy needs it, or always when
// forced. When the flow table is full, new flows go unrecognised (fields 0) until idle flows
// expire.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include "dpi/plx_dpi_tables.h"
#include "peers/fwdplane/fp_packet.h"
#include "platform/dpi/dpi_flow.h"

struct fp_dpi_options {
    uint64_t idle_ns = 30ull * 1000000000ull;  // a flow idle this long (packet time) ends
    size_t max_flows = 65536;
    bool force = false;  // recognise even while the DPI state word is 0
};

struct fp_dpi_stats {
    uint64_t packets = 0;     // packets recognition looked at
    uint64_t flows = 0;       // flows created
    uint64_t counted = 0;     // flows counted in the hits table
    uint64_t table_full = 0;  // packets of flows that found no room
};

class FpDpi {
  public:
    FpDpi(plx_dpi_tables tables, fp_dpi_options opt);
    ~FpDpi();
    FpDpi(const FpDpi &) = delete;
    FpDpi &operator=(const FpDpi &) = delete;

    // Whether recognition runs now (state word or force).
    bool active() const;
    // Fills the application and DNS fields of a parsed packet and advances its flow.
    void classify(fp_packet &pkt);
    // Ends every flow: counts it and forgets it.
    void flush();

    const fp_dpi_stats &stats() const { return stats_; }
    size_t flow_count() const { return flows_.size(); }

  private:
    struct key {
        std::array<uint8_t, 16> a{}, b{};
        uint16_t pa = 0, pb = 0;
        uint8_t proto = 0, family = 0;
        bool operator==(const key &) const = default;
    };
    struct key_hash {
        size_t operator()(const key &k) const;
    };
    struct flow {
        dpi_flow engine;
        uint64_t last_ns = 0;
        bool counted = false;
        std::list<key>::iterator age;  // position in the age list
    };

    uint32_t family_of(uint32_t app) const;
    void count(flow &f);
    void expire(uint64_t now_ns);

    plx_dpi_tables t_;
    fp_dpi_options opt_;
    fp_dpi_stats stats_;
    uint32_t dns_id_ = 0;
    std::unordered_map<key, std::unique_ptr<flow>, key_hash> flows_;
    std::list<key> age_;  // least recently seen first
};
