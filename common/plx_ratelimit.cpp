#include "common/plx_ratelimit.h"

#include <time.h>

#include <cstdint>

bool plx_ratelimit::allow(const void *site, int line, uint64_t now_ms, uint32_t *held_back) {
    std::lock_guard lock(mu_);
    const auto key = reinterpret_cast<uintptr_t>(site) ^ static_cast<uintptr_t>(line) * 2654435761u;
    Slot *slot = &slots_[key % kSlots];
    if (slot->site != site || slot->line != line) {
        // Another site took the slot: the newcomer starts afresh (its old count is lost, which
        // only lets a few more lines through).
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
