// Building small compiled programs for forwarding-plane tests: rules as field ranges with an
// action block, compiled with the policy compiler into whatever memory the installed
// allocator hands out (program memory in these tests), and ClassBench filters as rules.
#pragma once

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/plx_compiler.h"
#include "compiler/plx_program.h"
#include "progmem/plx_if_fpmem.h"

struct TestCond {
    uint32_t field, lo, hi;
};
struct TestRule {
    std::vector<TestCond> conds;
    ActionData action{};
};

inline ActionData test_action(uint32_t base) {
    ActionData a{};
    a.slot[0].base_action = base;
    return a;
}
inline uint8_t *action_bytes(ActionData &a) {
    return reinterpret_cast<uint8_t *>(&a);
}
inline void add_count(ActionData &a, unsigned slot, const char *name) {
    auto *c = plx_action_slot<CountSlot>(action_bytes(a), slot);
    c->action_type = PLX_ACT_COUNT;
    snprintf(c->name, sizeof c->name, "%s", name);
}
inline void add_u8(ActionData &a, unsigned slot, uint32_t type, uint8_t v) {
    auto *s = plx_action_slot<U8Slot>(action_bytes(a), slot);
    s->action_type = type;
    s->value = v;
}
inline void add_police(ActionData &a, unsigned slot, const char *name, uint64_t rate,
                       uint64_t burst, uint32_t oob) {
    auto *p = plx_action_slot<PoliceSlot>(action_bytes(a), slot);
    p->action_type = PLX_ACT_POLICE;
    p->rate = rate;
    p->burst = burst;
    p->oob_action = oob;
    p->flags = 2;
    snprintf(p->name, sizeof p->name, "1.%s", name);
}

// Compiles the rules (first match wins) with the default action into program memory; null when
// placement fails.
inline PolicyProgram *compile_rules(const char *name, const std::vector<TestRule> &rules,
                                    const ActionData &def) {
    plx_compiler_ctx *cc = plx_compiler_create();
    plx_compiler_set_mem_ops(cc, plx_mem_alloc, plx_mem_free);
    plx_ruletable *rt = plx_ruletable_create(name, "0", sizeof def, &def);
    for (size_t i = 0; i < rules.size(); ++i) {
        plx_rule *r = plx_ruletable_add_rule(rt, std::to_string(i).c_str());
        for (const TestCond &c : rules[i].conds)
            plx_field_add_range(cc, r, plx_field_get_table(cc, c.field), c.lo, c.hi);
        plx_ruletable_set_action(r, sizeof(ActionData), &rules[i].action);
    }
    PolicyProgram *prog = nullptr;
    uint32_t len = 0;
    if (plx_compile(cc, rt, &prog, &len) != 0)
        prog = nullptr;
    plx_compiler_reset(cc);
    plx_compiler_destroy(cc);
    plx_ruletable_destroy(rt);
    return prog;
}

// The first n filters of a ClassBench filter set as rules, each counting into "r<index>".
inline std::vector<TestRule> classbench_rules(const std::string &path, size_t n) {
    std::vector<TestRule> rules;
    std::ifstream in(path);
    std::string line;
    auto prefix = [](const std::string &text, uint32_t &lo, uint32_t &hi) {
        unsigned a, b, c, d, len;
        sscanf(text.c_str(), "%u.%u.%u.%u/%u", &a, &b, &c, &d, &len);
        uint32_t addr = a << 24 | b << 16 | c << 8 | d;
        uint32_t mask = len == 0 ? 0 : ~0u << (32 - len);
        lo = addr & mask;
        hi = lo | ~mask;
    };
    while (rules.size() < n && std::getline(in, line)) {
        if (line.empty() || line[0] != '@')
            continue;
        std::istringstream ss(line.substr(1));
        std::string sa, da, colon;
        uint32_t splo, sphi, dplo, dphi;
        std::string proto;
        ss >> sa >> da >> splo >> colon >> sphi >> dplo >> colon >> dphi >> proto;
        TestRule r;
        uint32_t lo, hi;
        prefix(sa, lo, hi);
        r.conds.push_back({PLX_FIELD_SRC_ADDR, lo, hi});
        prefix(da, lo, hi);
        r.conds.push_back({PLX_FIELD_DST_ADDR, lo, hi});
        r.conds.push_back({PLX_FIELD_SRC_PORT, splo, sphi});
        r.conds.push_back({PLX_FIELD_DST_PORT, dplo, dphi});
        unsigned pv = 0, pm = 0;
        sscanf(proto.c_str(), "0x%x/0x%x", &pv, &pm);
        if (pm == 0xFF)
            r.conds.push_back({PLX_FIELD_PROTOCOL, pv, pv});
        else
            r.conds.push_back({PLX_FIELD_MATCH_ANY, 1, 1});
        r.action = test_action(PLX_ACT_ACCEPT);
        add_count(r.action, 1, ("r" + std::to_string(rules.size())).c_str());
        rules.push_back(r);
    }
    return rules;
}

// Index of the first rule whose every condition holds for the field values, or -1.
inline int first_match(const std::vector<TestRule> &rules, const uint32_t *field) {
    for (size_t i = 0; i < rules.size(); ++i) {
        bool ok = true;
        for (const TestCond &c : rules[i].conds)
            ok = ok && field[c.field] >= c.lo && field[c.field] <= c.hi;
        if (ok)
            return static_cast<int>(i);
    }
    return -1;
}
