#include "policy/plx_fold.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>

#include "compiler/plx_compiler.h"
#include "compiler/plx_program.h"
#include "dpi/plx_dpi_tables.h"

namespace {

std::span<const uint32_t> g_family_override;

constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();

// Sorts and merges overlapping or adjacent ranges.
plx_fold_ranges normalized(plx_fold_ranges v) {
    std::sort(v.begin(), v.end());
    plx_fold_ranges out;
    for (auto [lo, hi] : v) {
        if (!out.empty() && (out.back().second == kMax || lo <= out.back().second + 1))
            out.back().second = std::max(out.back().second, hi);
        else
            out.emplace_back(lo, hi);
    }
    return out;
}

bool holds(const plx_fold_ranges &v, uint32_t x) {
    auto it = std::upper_bound(v.begin(), v.end(), std::pair{x, kMax});
    return it != v.begin() && std::prev(it)->second >= x && std::prev(it)->first <= x;
}

plx_fold_ranges intersect(const plx_fold_ranges &a, const plx_fold_ranges &b) {
    plx_fold_ranges out;
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        uint32_t lo = std::max(a[i].first, b[j].first), hi = std::min(a[i].second, b[j].second);
        if (lo <= hi)
            out.emplace_back(lo, hi);
        if (a[i].second < b[j].second)
            ++i;
        else
            ++j;
    }
    return out;
}

}  // namespace

std::span<const uint32_t> plx_fold_family_table() {
    if (!g_family_override.empty())
        return g_family_override;
    plx_dpi_tables t = plx_dpi_tables_from_shm();
    if (!t.family || t.entries < 1)
        return {};
    return {t.family, t.entries};
}

void plx_fold_use_family_table(std::span<const uint32_t> table) {
    g_family_override = table;
}

plx_fold_ranges plx_fold_family_apps(std::span<const uint32_t> table,
                                     const plx_fold_ranges &families) {
    const plx_fold_ranges fam = normalized(families);
    // Protocols 1 to the highest id the table records have the family it gives; every other
    // value (0, and ids beyond the table) has family 0, as in the forwarding plane.
    uint32_t last = 0;
    if (!table.empty())
        last = std::min<uint32_t>(table[0], static_cast<uint32_t>(table.size() - 1));
    const bool none = holds(fam, 0);
    plx_fold_ranges out;
    auto add = [&](uint32_t lo, uint32_t hi) {
        if (!out.empty() && out.back().second + 1 == lo)
            out.back().second = hi;
        else
            out.emplace_back(lo, hi);
    };
    if (none)
        add(0, 0);
    for (uint32_t p = 1; p <= last; ++p)
        if (holds(fam, std::atomic_ref<const uint32_t>(table[p]).load(std::memory_order_relaxed)))
            add(p, p);
    if (none && last < kMax)
        add(last + 1, kMax);
    return out;
}

bool plx_fold_needed(uint32_t tested_fields) {
    return std::popcount(tested_fields) > static_cast<int>(PLX_MAX_TESTED_FIELDS);
}

uint32_t plx_fold_target(uint32_t field) {
    if (field == PLX_FIELD_APP_FAMILY)
        return PLX_FIELD_APP;
    if (field == PLX_FIELD_DNS_APP_FAMILY)
        return PLX_FIELD_DNS_APP;
    return field;
}

plx_fold_ranges plx_fold_apps(std::span<const plx_fold_cond> conds, uint32_t app_field,
                              std::span<const uint32_t> table) {
    plx_fold_ranges apps, families;
    bool any_app = false, any_family = false;
    for (const plx_fold_cond &c : conds) {
        if (plx_fold_target(c.field) != app_field)
            continue;
        auto range = std::pair{std::min(c.lo, c.hi), std::max(c.lo, c.hi)};
        if (c.field == app_field) {
            any_app = true;
            apps.push_back(range);
        } else {
            any_family = true;
            families.push_back(range);
        }
    }
    plx_fold_ranges out = normalized(std::move(apps));
    if (any_family) {
        plx_fold_ranges of_families = plx_fold_family_apps(table, families);
        out = any_app ? intersect(out, of_families) : std::move(of_families);
    }
    if (out.empty() && (any_app || any_family))
        out.emplace_back(kMax, kMax);
    return out;
}
