#include "policy/plx_process_fold.h"

#include <vector>

#include "policy/plx_process_rules.h"

using namespace plx::cfg;

uint32_t plx_fold_tested_fields(const plx::dl_list<rule, &rule::seq_link> &rules,
                                bool skip_match_any) {
    uint32_t fields = 0;
    for (const rule &r : rules)
        for (const match_cond &c : r.matches)
            if (!(skip_match_any && c.field_type == PLX_MATCH_ANY))
                fields |= 1u << plx_match_field(c.field_type);
    return fields;
}

plx_fold_ranges plx_fold_rule_apps(const rule &r, uint32_t app_field,
                                   std::span<const uint32_t> table) {
    std::vector<plx_fold_cond> conds;
    for (const match_cond &c : r.matches)
        conds.push_back({plx_match_field(c.field_type), c.low, c.high});
    return plx_fold_apps(conds, app_field, table);
}
