// Helpers to build rule tables and compile them in tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "compiler/plx_compiler.h"
#include "peers/fpeval/fp_eval.h"

// A compile context and rule table freed together.
struct Compile {
    plx_compiler_ctx *ctx = plx_compiler_create();
    plx_ruletable *rt;
    PolicyProgram *prog = nullptr;
    uint32_t len = 0;

    explicit Compile(uint32_t default_base = PLX_ACT_REJECT, const char *name = "pol") {
        ActionData d{};
        d.slot[0].base_action = default_base;
        rt = plx_ruletable_create(name, "1", sizeof d, &d);
    }
    ~Compile() {
        plx_compiler_free_program(ctx, prog);
        plx_ruletable_destroy(rt);
        plx_compiler_destroy(ctx);
    }
    plx_rule *rule(const char *name, const ActionData &d) {
        plx_rule *r = plx_ruletable_add_rule(rt, name);
        plx_ruletable_set_action(r, sizeof d, &d);
        return r;
    }
    void range(plx_rule *r, uint32_t field, uint32_t a, uint32_t b) {
        plx_field_add_range(ctx, r, plx_field_get_table(ctx, field), a, b);
    }
    int compile() { return plx_compile(ctx, rt, &prog, &len); }
    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(prog); }
    uint32_t word(uint32_t off) const {
        uint32_t v;
        std::memcpy(&v, bytes() + off, 4);
        return v;
    }
};

// Action data with a base verb and optional count slot.
inline ActionData make_action(uint32_t base, const char *counter = nullptr) {
    ActionData d{};
    d.slot[0].base_action = base;
    if (counter) {
        auto *c = plx_action_slot<CountSlot>(reinterpret_cast<uint8_t *>(&d), 1);
        c->action_type = PLX_ACT_COUNT;
        std::strncpy(c->name, counter, sizeof c->name);
    }
    return d;
}

inline const ActionData *record_data(const ActionRecord *rec) {
    return reinterpret_cast<const ActionData *>(reinterpret_cast<const uint8_t *>(rec) + 8);
}
