// Folding of a policy's or access list's rules (plx_fold.h): which fields the model's rules test,
// and the application ranges of one rule once its family conditions are folded in.
#pragma once

#include <cstdint>
#include <span>

#include "policy/plx_config.h"
#include "policy/plx_fold.h"

// Bit f set for every compiler field the rules test (MATCH_ANY left out when skip_match_any).
uint32_t plx_fold_tested_fields(
    const plx::dl_list<plx::cfg::rule, &plx::cfg::rule::seq_link> &rules, bool skip_match_any);

// plx_fold_apps over the conditions of rule `r`.
plx_fold_ranges plx_fold_rule_apps(const plx::cfg::rule &r, uint32_t app_field,
                                   std::span<const uint32_t> table);
