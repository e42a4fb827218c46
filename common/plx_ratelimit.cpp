#include "common/plx_ratelimit.h"

#include <time.h>

#include <cstdint>

bool plx_ratelimit::allow(const void *site, int line, uint64_t now_ms, uint32_t *held_back) {
    static_assert(kSlots == 64, "the slot index is the top 6 bits of the hash");
    std::lock_guard lock(mu_);
    // Sites are addresses, often a fixed distance apart: mix every bit before taking a slot, and
    // look at a few neighbours so that two busy sites rarely share one.
    uint64_t key = (reinterpret_cast<uintptr_t>(site) ^ static_cast<uint64_t>(line) << 48) *
                   0x9E3779B97F4A7C15ull;
    const uint32_t first = static_cast<uint32_t>(key >> 58);  // 6 bits: kSlots is 64
    Slot *slot = nullptr;
    for (uint32_t i = 0; i < kProbe && !slot; ++i) {
        Slot &s = slots_[(first + i) % kSlots];
        if (s.site == site && s.line == line)
            slot = &s;
    }
    if (!slot) {
        // A newcomer takes a free slot of its neighbourhood, else the one idle the longest (its
        // old count is lost, which only lets a few more lines through).
        slot = &slots_[first];
        for (uint32_t i = 0; i < kProbe; ++i) {
            Slot &s = slots_[(first + i) % kSlots];
            if (!s.site) {
                slot = &s;
                break;
            }
            if (s.window_ms < slot->window_ms)
                slot = &s;
        }
        *slot = Slot{site, line, now_ms, 0, 0};
    }
    if (now_ms - slot->window_ms >= 1000) {
        slot->window_ms = now_ms;
        slot->count = 0;
    }
    if (slot->count >= kBurst) {
        ++slot->dropped;
        return false;
    }
    ++slot->count;
    *held_back = slot->dropped;
    slot->dropped = 0;
    return true;
}

bool plx_ratelimit::allow(const void *site, int line, uint32_t *held_back) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return allow(
        site, line,
        static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000,
        held_back);
}
