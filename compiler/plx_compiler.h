// The program compiler: turns a rule table into a match program.
//
// Each tested field is classed into equivalence classes (leaf tables); the class tables are
// combined two at a time, in ascending table id, until one remains; each class of that final
// table selects the action record of the first rule in its rule set. The program is written
// into memory from the installed allocator (plx_mem_ops.h).
//
// A compile: plx_field_get_table/plx_field_add_* while the rule table is built, plx_compile,
// then plx_compiler_reset (after success or failure).
//
// Where programs go (plx_mem_ops.h), the filter number of each program and the yield hook belong
// to the context: the caller that creates it installs them.
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

// The hook a long compile calls between pieces of work, so that due timers can run.
using plx_yield_fn = void (*)(void *arg);

struct plx_compiler_ctx {
    // Program memory (nullptr: the C heap), the filter number of the last allocation (nullptr:
    // none) and the yield hook (nullptr: none), set with plx_compiler_set_mem_ops,
    // plx_compiler_set_filter_id_fn and plx_compiler_set_yield.
    plx_mem_alloc_fn mem_alloc = nullptr;
    plx_mem_free_fn mem_free = nullptr;
    plx_mem_filter_id_fn filter_id_fn = nullptr;
    plx_yield_fn yield = nullptr;
    void *yield_arg = nullptr;
    // Threads a compile may use, the calling thread included. With 1 everything runs on the
    // calling thread, which calls the yield hook between pieces of work; with more, independent
    // pieces (leaf tables, combinations of one round, stretches of the final combination and of
    // the lookup trees, action records) also run on worker threads, which never call the hook.
    // The program is the same byte for byte either way.
    uint32_t threads = 1;
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
    // Why the last compile produced no program ("" after a success). See plx_compiler_error().
    std::string error;
    // What the last compile compiled in a way the rules may not intend (see plx_compile).
    std::vector<std::string> warnings;
    int result = 0;  // plx_compile_result of the last compile

    EcTable *table(uint32_t id) {
        return id && id <= tables.size() ? tables[id - 1].get() : nullptr;
    }
};

plx_compiler_ctx *plx_compiler_create();
// Frees every table and clears the counters, the emission state and the slots' table ids.
void plx_compiler_reset(plx_compiler_ctx *ctx);
void plx_compiler_destroy(plx_compiler_ctx *ctx);

// A compile of n tested fields makes n leaf tables and n - 1 combinations; with at most
// PLX_MAX_TABLE_ID tables a rule table may test 8 fields (MATCH_ANY included).
inline constexpr uint32_t PLX_MAX_TESTED_FIELDS = (PLX_MAX_TABLE_ID + 1) / 2;

// Results of plx_compile. Only PLX_COMPILE_NO_MEMORY can succeed later with the same rules (once
// filter memory is released); the other refusals need different rules.
enum plx_compile_result : int {
    PLX_COMPILE_OK = 0,                // a program, or none needed (no rule tests a field)
    PLX_COMPILE_NO_MEMORY = 1,         // filter memory (or the heap) could not hold it
    PLX_COMPILE_TOO_MANY_FIELDS = 2,   // more tested fields than PLX_MAX_TESTED_FIELDS
    PLX_COMPILE_TOO_MANY_CLASSES = 3,  // a class table beyond what a program can index
    PLX_COMPILE_TOO_LARGE = 4,         // the program would exceed 4 GiB
};
// Short name of a result ("ok", "out of memory", "too many fields", ...).
const char *plx_compile_result_name(int result);

// Compiles the rule table. Returns PLX_COMPILE_OK with *prog set (or untouched when no rule tests
// any field), or another plx_compile_result with *prog nullptr; plx_compiler_error() then tells
// why (for PLX_COMPILE_TOO_MANY_FIELDS: the rule table, the fields it tests and the limit), and
// the reason is logged with the rule table's name. After PLX_COMPILE_NO_MEMORY *len holds the
// length asked for.
//
// Warnings (plx_compiler_warnings) report conditions the program cannot represent: the lookup
// tables cover 0..0xFFFFFFFE, so a range holding only 0xFFFFFFFF (255.255.255.255/32) matches
// nothing. Each is also logged.
//
// Exception safety: when anything throws after program memory was allocated, the program is
// handed back to the free operation (its blocks and filter number are released) and the filter
// id is 0xFFFFFFFF again; std::bad_alloc gives PLX_COMPILE_NO_MEMORY.
int plx_compile(plx_compiler_ctx *ctx, plx_ruletable *table, PolicyProgram **prog, uint32_t *len);

// Why the last compile gave no program ("" after a success).
const char *plx_compiler_error(const plx_compiler_ctx *ctx);
// The warnings of the last compile, in the order found.
const std::vector<std::string> &plx_compiler_warnings(const plx_compiler_ctx *ctx);

// The steps of plx_compile, for tools and tests.
void plx_compiler_class_leaves(plx_compiler_ctx *ctx, const plx_ruletable *table);
// False when a combination would not fit the program format (ctx->error says why).
bool plx_compiler_reduce(plx_compiler_ctx *ctx);
// Program length for the current final table.
uint64_t plx_compiler_program_length(const plx_compiler_ctx *ctx, const plx_ruletable *table);
PolicyProgram *plx_compile_program_ec(plx_compiler_ctx *ctx, const plx_ruletable *table,
                                      uint32_t *len);

// Installs the context's yield hook (nullptr: none). A compile calls it on the compiling thread
// only, never on its worker threads.
void plx_compiler_set_yield(plx_compiler_ctx *ctx, plx_yield_fn fn, void *arg);
// Calls ctx's yield hook, if any.
void plx_compiler_yield(const plx_compiler_ctx *ctx);
