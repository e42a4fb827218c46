// Rate limiting of log lines: a burst of the same error (a peer that keeps failing, a listener
// out of descriptors) becomes a few lines and one count of what was held back, instead of
// filling the disk.
#pragma once

#include <cstdint>
#include <mutex>

// Lets at most kBurst lines of one site (a source location, or any stable key) through per
// second. Thread-safe.
class plx_ratelimit {
  public:
    static constexpr uint32_t kBurst = 10;
    static constexpr uint32_t kSlots = 64;
    static constexpr uint32_t kProbe = 4;  // slots a site may take, from its hash on

    // True when the line of this site may be written now. *held_back: lines of the site dropped
    // since the last one written, to be reported with this one (0 when none).
    bool allow(const void *site, int line, uint64_t now_ms, uint32_t *held_back);
    // The same with the monotonic clock.
    bool allow(const void *site, int line, uint32_t *held_back);

  private:
    struct Slot {
        const void *site = nullptr;
        int line = 0;
        uint64_t window_ms = 0;
        uint32_t count = 0;
        uint32_t dropped = 0;
    };
    std::mutex mu_;
    Slot slots_[kSlots];
};
