#include "compiler/plx_field.h"

#include <algorithm>
#include <cstring>

#include "common/plx_log.h"
#include "compiler/plx_compiler.h"

const PlxFieldInfo plx_field_catalogue[PLX_NUM_FIELDS] = {
    {PLX_FIELD_PROTOCOL, 255, "protocol"},
    {PLX_FIELD_SRC_PORT, 65535, "src-port"},
    {PLX_FIELD_DST_PORT, 65535, "dst-port"},
    {PLX_FIELD_SRC_ADDR, 0xFFFFFFFF, "src-addr"},
    {PLX_FIELD_DST_ADDR, 0xFFFFFFFF, "dst-addr"},
    {PLX_FIELD_DSCP, 255, "dscp"},
    {PLX_FIELD_FC, 64, "fc"},
    {PLX_FIELD_TCP, 255, "tcp"},
    {PLX_FIELD_PKT_LEN, 65535, "pkt-len"},
    {PLX_FIELD_APP, 4000, "app"},
    {PLX_FIELD_APP_FAMILY, 100, "app-family"},
    {PLX_FIELD_MATCH_ANY, 2, "match-any"},
    {PLX_FIELD_TRAFFIC_CLASS, 255, "traffic-class"},
    {PLX_FIELD_NEXT_HEADER, 255, "next-header"},
    {PLX_FIELD_PLP, 5, "plp"},
    {PLX_FIELD_DNS_APP, 4000, "dns-app"},
    {PLX_FIELD_DNS_APP_FAMILY, 100, "dns-app-family"},
    {PLX_FIELD_DNS, 5, "dns"},
};

uint32_t plx_field_by_name(const char *name) {
    for (const auto &f : plx_field_catalogue) {
        if (std::strcmp(f.name, name) == 0)
            return f.id;
    }
    return 0;
}

uint32_t plx_field_get_table(plx_compiler_ctx *ctx, uint32_t field_id) {
    PLX_ASSERT(field_id >= 1 && field_id <= PLX_NUM_FIELDS);
    FieldSlot &slot = ctx->slots[field_id];
    if (slot.table_id)
        return slot.table_id;
    auto t = std::make_unique<EcTable>();
    t->id = ++ctx->table_counter;
    t->reg = ++ctx->c_reg_allocated;
    t->field_id = field_id;
    t->boundaries.insert(0);
    t->boundaries.insert(0xFFFFFFFF);
    slot.table_id = t->id;
    ctx->tables.push_back(std::move(t));
    return slot.table_id;
}

RuleCondition *plx_field_add_range(plx_compiler_ctx *ctx, plx_rule *rule, uint32_t table_id,
                                   uint32_t a, uint32_t b) {
    EcTable *t = ctx->table(table_id);
    PLX_ASSERT(t != NULL && !t->combined);
    uint32_t field_id = 0;
    for (const FieldSlot &s : ctx->slots) {
        if (s.table_id == table_id) {
            field_id = s.field_id;
            break;
        }
    }
    auto it = std::find_if(rule->conditions.begin(), rule->conditions.end(),
                           [&](const RuleCondition &c) { return c.table_id == table_id; });
    if (it == rule->conditions.end()) {
        rule->conditions.push_back(RuleCondition{table_id, field_id, {}});
        it = std::prev(rule->conditions.end());
    }
    ValueRange r{std::min(a, b), std::max(a, b)};
    it->ranges.push_back(r);
    t->boundaries.insert(r.min);
    t->boundaries.insert(r.max_val + 1);  // 0xFFFFFFFF + 1 is 0, always present
    return &*it;
}

RuleCondition *plx_field_add_prefix(plx_compiler_ctx *ctx, plx_rule *rule, uint32_t table_id,
                                    const uint8_t prefix[4], uint32_t length) {
    PLX_ASSERT(length <= 32);
    uint32_t value = uint32_t{prefix[0]} << 24 | uint32_t{prefix[1]} << 16 |
                     uint32_t{prefix[2]} << 8 | prefix[3];
    uint32_t host = length == 0 ? 0xFFFFFFFF : (length == 32 ? 0 : (1u << (32 - length)) - 1);
    value &= ~host;
    return plx_field_add_range(ctx, rule, table_id, value, value + host);
}
