// Application recognition of one flow: feeds its packets to the running engine and keeps the
// verdict. Used by the forwarding plane, which keeps one dpi_flow per 5-tuple.
#pragma once

#include <cstddef>
#include <cstdint>

struct ndpi_flow_struct;

// Unique ids (see dpi_engine.h): app is the most specific application (a service such as
// "google" over "tls", or the name a DNS query resolves), master the protocol carrying it
// ("tls", "dns"), equal to app when there is nothing more specific. 0 while undecided.
struct dpi_verdict {
    uint32_t app = 0;
    uint32_t master = 0;
    bool done = false;  // no further packet can change the verdict
};

class dpi_flow {
  public:
    dpi_flow();
    ~dpi_flow();
    dpi_flow(const dpi_flow &) = delete;
    dpi_flow &operator=(const dpi_flow &) = delete;

    // False when the engine is not running or the flow could not be allocated.
    bool valid() const { return f_ != nullptr; }

    // Feeds one packet starting at its IP header (time in ms). Returns the verdict so far. A
    // flow that reaches the engine's packet limit without a verdict is given up.
    const dpi_verdict &process(const uint8_t *ip, size_t len, uint64_t time_ms);

    // Ends recognition: the engine's best guess (ports, when the configuration allows it), or
    // "unclassified" when the configuration counts unrecognised flows, else 0.
    const dpi_verdict &give_up();

    const dpi_verdict &verdict() const { return v_; }
    uint32_t packets() const { return packets_; }

  private:
    ndpi_flow_struct *f_ = nullptr;
    dpi_verdict v_;
    uint32_t packets_ = 0;
};
