// The program compiler: turns a rule table into a match program.
//
// Each tested field is classed into equivalence classes (leaf tables); the class tables are
// combined two at a time, in ascending table id, until one remains; each class of that final
// table selects the action record of the first rule in its rule set. The program is written
// into memory from the installed allocator (plx_mem_ops.h).
//
// A compile: plx_field_get_table/plx_field_add_* while the rule table is built, plx_compile,
// then plx_compiler_reset (after success or failure).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compiler/eclass.h"
#include "compiler/plx_field.h"
#include "compiler/plx_mem_ops.h"
#include "compiler/plx_program.h"
#include "compiler/plx_ruletable.h"

// Time spent per phase of the last compile, in nanoseconds.
struct PlxCompileTimes {
    uint64_t leaf_ns = 0;
    uint64_t reduce_ns = 0;
    uint64_t emit_ns = 0;
};

struct plx_compiler_ctx {
    uint32_t table_counter = 0;
    std::vector<std::unique_ptr<EcTable>> tables;  // by id - 1
    EcTable *final_table = nullptr;
    uint32_t c_reg_allocated = 0;
    uint32_t filter_id = 0xFFFFFFFF;
    FieldSlot slots[PLX_MAX_FIELD_SLOTS];
    uint32_t action_offset = 0;
    uint32_t table_base[32] = {};
    uint32_t n_dir_entries = 0;
    uint32_t n_instructions = 0;
    PlxCompileTimes times;
    // Why the last compile produced no program, when it was not the allocator ("" otherwise).
    std::string error;

    EcTable *table(uint32_t id) {
        return id && id <= tables.size() ? tables[id - 1].get() : nullptr;
    }
};

plx_compiler_ctx *plx_compiler_create();
// Frees every table and clears the counters, the emission state and the slots' table ids.
void plx_compiler_reset(plx_compiler_ctx *ctx);
void plx_compiler_destroy(plx_compiler_ctx *ctx);

// Compiles the rule table. Returns 0 with *prog set (or untouched when no rule tests any field),
// 1 when the program could not be produced (*prog nullptr; *len holds the length asked for).
int plx_compile(plx_compiler_ctx *ctx, plx_ruletable *table, PolicyProgram **prog, uint32_t *len);

// The steps of plx_compile, for tools and tests.
void plx_compiler_class_leaves(plx_compiler_ctx *ctx, const plx_ruletable *table);
// False when a combination would not fit the program format (ctx->error says why).
bool plx_compiler_reduce(plx_compiler_ctx *ctx);
// Program length for the current final table; 0 when it exceeds 32 bits.
uint64_t plx_compiler_program_length(const plx_compiler_ctx *ctx, const plx_ruletable *table);
PolicyProgram *plx_compile_program_ec(plx_compiler_ctx *ctx, const plx_ruletable *table,
                                      uint32_t *len);

// The hook a long compile calls between pieces of work, so that due timers can run. It does
// nothing until one is installed. plx_compiler_yield() calls it.
using plx_yield_fn = void (*)(void *arg);
void plx_compiler_set_yield(plx_yield_fn fn, void *arg);
void plx_compiler_yield();
