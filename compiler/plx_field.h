// The field layer: the catalogue of the 18 fields a rule can test, and the operations that
// record a rule's condition on a field as value ranges.
#pragma once

#include <cstdint>

#include "compiler/plx_program.h"
#include "compiler/plx_ruletable.h"

struct plx_compiler_ctx;

struct FieldSlot {
    uint32_t field_id = 0;
    uint32_t max_value = 0;
    uint32_t table_id = 0;  // 0 while no rule tests the field
};

struct PlxFieldInfo {
    uint32_t id;
    uint32_t max_value;
    const char *name;  // lower-case name used by tools: "protocol", "src-port", ...
};
// The catalogue, indexed by field id - 1.
extern const PlxFieldInfo plx_field_catalogue[PLX_NUM_FIELDS];
// Field id of a tool name ("dst-addr"), or 0.
uint32_t plx_field_by_name(const char *name);

// The field's table id, creating its leaf table (new id, new register) on first use.
uint32_t plx_field_get_table(plx_compiler_ctx *ctx, uint32_t field_id);
// Adds the range [min(a, b), max(a, b)] to the rule's condition on the table.
RuleCondition *plx_field_add_range(plx_compiler_ctx *ctx, plx_rule *rule, uint32_t table_id,
                                   uint32_t a, uint32_t b);
// Adds the range of the first `length` bits of the 4 prefix bytes (network order).
RuleCondition *plx_field_add_prefix(plx_compiler_ctx *ctx, plx_rule *rule, uint32_t table_id,
                                    const uint8_t prefix[4], uint32_t length);
