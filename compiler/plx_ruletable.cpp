#include "compiler/plx_ruletable.h"

#include <cstring>
#include <new>

#include "common/plx_log.h"
#include "compiler/plx_program.h"

namespace {

void copy_name(char (&dst)[128], const char *src) {
    std::memset(dst, 0, sizeof dst);
    if (src)
        std::strncpy(dst, src, sizeof dst - 1);
}

std::vector<uint8_t> make_record(uint32_t flags, uint32_t len, const void *data) {
    std::vector<uint8_t> rec(sizeof(ActionRecord) + len);
    ActionRecord head{flags, static_cast<uint32_t>(rec.size())};
    std::memcpy(rec.data(), &head, sizeof head);
    if (len)
        std::memcpy(rec.data() + sizeof head, data, len);
    return rec;
}

}  // namespace

plx_ruletable *plx_ruletable_create(const char *name, const char *alias, uint32_t len,
                                    const void *action_data) {
    if (len)
        PLX_ASSERT(action_data);
    try {
        auto t = std::make_unique<plx_ruletable>();
        copy_name(t->name, name);
        copy_name(t->alias, alias);
        t->default_action = make_record(PLX_ACTION_FLAG_DEFAULT, len, action_data);
        return t.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

plx_rule *plx_ruletable_add_rule(plx_ruletable *table, const char *name) {
    PLX_ASSERT(table);
    try {
        auto r = std::make_unique<plx_rule>();
        r->name = std::string(name ? name : "").substr(0, 127);
        r->number = table->rule_counter + 1;
        table->rules.push_back(std::move(r));  // on failure r still owns the rule
        table->rule_counter++;
        table->num_rules++;
        return table->rules.back().get();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

plx_rule *plx_ruletable_get_rule(plx_ruletable *table, uint32_t index) {
    plx_rule *r = table && index < table->rules.size() ? table->rules[index].get() : nullptr;
    PLX_ASSERT(r != NULL);
    return r;
}

uint32_t plx_ruletable_num_rules(const plx_ruletable *table) {
    PLX_ASSERT(table);
    return table->num_rules;
}

const uint8_t *plx_ruletable_set_action(plx_rule *rule, uint32_t len, const void *action_data) {
    if (len)
        PLX_ASSERT(action_data);
    try {
        rule->action = make_record(0, len, action_data);
    } catch (const std::bad_alloc &) {
        return nullptr;  // the rule keeps the action it had
    }
    return rule->action.data();
}

void plx_ruletable_destroy(plx_ruletable *table) {
    delete table;
}
