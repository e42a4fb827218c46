// The rule table: the compiler's input. An ordered list of rules (first match wins), each with
// its conditions on fields and its action record, plus the default action record used when no
// rule matches.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// One alternative of a condition: min..max_val inclusive.
struct ValueRange {
    uint32_t min;
    uint32_t max_val;
};

// A rule's condition on one field: the value must lie in one of the ranges.
struct RuleCondition {
    uint32_t table_id;
    uint32_t field_id;
    std::vector<ValueRange> ranges;  // in the order added
};

struct plx_rule {
    std::string name;  // at most 127 characters
    uint32_t number = 0;
    std::deque<RuleCondition> conditions;  // in order of first use; addresses stay valid
    std::vector<uint8_t> action;           // whole ActionRecord bytes; empty until set
};

struct plx_ruletable {
    char name[128] = {};
    char alias[128] = {};
    uint32_t num_rules = 0;
    uint32_t rule_counter = 0;
    std::vector<std::unique_ptr<plx_rule>> rules;  // insertion order
    std::vector<uint8_t> default_action;           // whole ActionRecord bytes, flags 1
};

// Creates a table whose default action record carries `len` bytes of `data`. nullptr when
// memory runs out.
plx_ruletable *plx_ruletable_create(const char *name, const char *alias, uint32_t len,
                                    const void *data);
// Appends a rule; nullptr when memory runs out.
plx_rule *plx_ruletable_add_rule(plx_ruletable *table, const char *name);
// The rule at position index (0 is the first).
plx_rule *plx_ruletable_get_rule(plx_ruletable *table, uint32_t index);
uint32_t plx_ruletable_num_rules(const plx_ruletable *table);
// Makes `len` bytes of `data` the rule's action (flags 0). Returns the record bytes, or nullptr
// when memory runs out (the rule's action is then unchanged).
const uint8_t *plx_ruletable_set_action(plx_rule *rule, uint32_t len, const void *data);
// Frees the table with everything it holds; nullptr is ignored.
void plx_ruletable_destroy(plx_ruletable *table);

// Owning handle for callers that prefer RAII.
struct PlxRuleTableDeleter {
    void operator()(plx_ruletable *t) const { plx_ruletable_destroy(t); }
};
using PlxRuleTablePtr = std::unique_ptr<plx_ruletable, PlxRuleTableDeleter>;
