// Program memory: places compiled programs in the filter memory shared with the forwarding plane
// ("fp_filter_mem", 128-byte blocks), gives each a filter number (an entry of "fp_filters"), and
// releases a freed program only after the forwarding plane stopped using it.
//
// Placement is first fit from block 0 under the lowest free filter number. A freed program goes
// onto the delayed-release list and stays intact (the forwarding plane may still be running it);
// the release scan runs 500 ms after the latest free, releases every listed program whose filter
// shows no activity, clears the activity bit of the others and looks again 500 ms later. When it
// released anything it calls the memory-released notice so that policies that could not be placed
// are tried again.
//
// The daemon reaches this module through ProgramMemoryOps. Everything runs on the event-loop
// thread; the forwarding plane works on the same memory concurrently.
#pragma once

#include <cstdint>

#include "common/dll.h"
#include "compiler/plx_program.h"
#include "fplink/fp_tables.h"

struct plx_ctx;

// What plx_mem_refresh_policers copies into the police slots of a placed program.
struct PlxPolicerParams {
    const char *name;     // policer name (compared over at most 64 characters)
    uint64_t rate;        // clock cycles per byte
    uint64_t burst;       // rate x configured burst
    uint32_t oob_action;  // 0 drop, otherwise plp-high
};

using plx_mem_init_fn = int (*)(plx_ctx *p_ctx, bool clean);
using plx_mem_destroy_fn = int (*)();
using plx_mem_alloc_op = void *(*)(uint32_t length);
using plx_mem_free_op = void (*)(void *program);
using plx_mem_refresh_policers_fn = int (*)(uint32_t filter_id, const PlxPolicerParams *policer);
using plx_mem_released_fn = void (*)(plx_ctx *p_ctx, uint32_t blocks_released);

// The table of program-memory operations, in this order.
struct ProgramMemoryOps {
    plx_mem_init_fn plx_mem_init;
    plx_mem_destroy_fn plx_mem_destroy;
    plx_mem_alloc_op plx_mem_alloc;
    plx_mem_free_op plx_mem_free;
    plx_mem_refresh_policers_fn plx_mem_refresh_policers;
    plx_mem_released_fn mem_released;  // the policy processing's plx_process_oom_policies
};

// The operations of the shared filter memory, with the given memory-released notice (null: a
// notice that does nothing).
ProgramMemoryOps plx_fpmem_ops(plx_mem_released_fn released = nullptr);

// Attaches the shared object, waits (checking once a second) for the forwarding plane's ready
// flag, allocates the block array and, with clean, clears the tables program memory uses. Creates
// the (stopped) release timer on p_ctx->tmr_mgr. PLX_OK; -1 when the shared object cannot be
// mapped (fp_shm_attach); PLX_ENOMEM without memory for the block array or the timer.
int plx_mem_init(plx_ctx *p_ctx, bool clean);
// Frees the block array and deletes the timer. PLX_OK.
int plx_mem_destroy();
// Places `length` bytes: the address of the first block, or null (current filter number
// 0xFFFFFFFF) when no filter number or no run of blocks is free.
void *plx_mem_alloc(uint32_t length);
// Puts a placed program on the delayed-release list and restarts the 500 ms release timer.
void plx_mem_free(void *program);
// Copies rate, burst and out-of-profile action of `policer` into every police slot of the
// filter's program that names it. PLX_OK, or PLX_EINVAL for a free or out-of-range filter number.
int plx_mem_refresh_policers(uint32_t filter_id, const PlxPolicerParams *policer);
// The filter number given by the last allocation (0xFFFFFFFF after a failed one).
uint32_t plx_mem_current_filter();

// Number of filter numbers of the filter table (0 before program memory is set up).
uint32_t plx_mem_num_filters();
// The program placed under a filter number, read where the forwarding plane reads it (the
// entry's first block); null for a number out of range or free, or a block outside memory.
PolicyProgram *plx_mem_program(uint32_t filter_id);

// The memory program memory works on: normally the tables of the attached shared object.
struct PlxMemTables {
    uint8_t *filter_mem;
    uint32_t num_blocks;
    FilterEntry *filters;
    uint32_t num_filters;
};
// Steps 3 to 5 of plx_mem_init over the given tables (no attach, no wait): tests and tools.
int plx_mem_init_tables(plx_ctx *p_ctx, const PlxMemTables &tables, bool clean);

// The release scan (the timer's callback; callable directly by tests and tools).
void plx_mem_release_scan();

// Number of programs waiting on the delayed-release list.
int32_t plx_mem_pending_releases();
// Whether the program of a filter number waits on the delayed-release list.
bool plx_mem_release_pending(uint32_t filter_id);
// The filter-table entry of a filter number; null out of range or before set-up.
const FilterEntry *plx_mem_filter_entry(uint32_t filter_id);
// The forwarding plane started afresh and cleared filter memory: forgets every placement and
// the delayed-release list. The shared tables are not touched: they belong to the new
// forwarding plane, and every filter number and block counts as free again.
void plx_mem_forget_placements();

// One entry per block of filter memory, meaningful at the first block of each program.
struct plx_mem_entry {
    dll_node link;  // delayed-release list
    uint32_t is_allocated;
    uint32_t reserved;
    void *ptr;  // the program in filter memory
    uint32_t num_blocks;
    uint32_t filter_id;
};
static_assert(sizeof(plx_mem_entry) == 40);

// Blocks needed for a program of `length` bytes.
constexpr uint32_t plx_mem_blocks(uint32_t length) {
    return static_cast<uint32_t>((uint64_t{length} + 127) / 128);
}

// Dumps (action points plx_dump_memory_stats, plx_dump_memory_map and plx_dump_filter).
void plx_dump_memory_stats(const PlxPrinter &out);
void plx_dump_memory_map(const PlxPrinter &out);
void plx_dump_filter(const PlxPrinter &out);
