#include "progmem/plx_if_fpmem.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/plx_log.h"
#include "common/plx_status.h"
#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "fplink/fp_common.h"

namespace {

constexpr uint32_t RELEASE_DELAY_MS = 500;

struct PlxMemState {
    PlxMemTables t{};
    plx_mem_entry *mem = nullptr;  // one per block
    dll release_list{};
    timer *release_timer = nullptr;
    plx_ctx *p_ctx = nullptr;
    uint32_t current_filter = FP_FILTER_NONE;
};
PlxMemState g_mem;

void noop_released(plx_ctx *, uint32_t) {}

void release_timer_cb(timer *, void *, void *, void *, void *) {
    plx_mem_release_scan();
}

uint8_t *block_addr(uint32_t block) {
    return g_mem.t.filter_mem + size_t{block} * FP_FILTER_BLOCK_SIZE;
}

}  // namespace

ProgramMemoryOps plx_fpmem_ops(plx_mem_released_fn released) {
    return ProgramMemoryOps{
        plx_mem_init, plx_mem_destroy,          plx_mem_alloc,
        plx_mem_free, plx_mem_refresh_policers, released ? released : noop_released};
}

int plx_mem_init_tables(plx_ctx *p_ctx, const PlxMemTables &tables, bool clean) {
    PLX_ASSERT(g_mem.mem == nullptr);
    g_mem.t = tables;
    g_mem.p_ctx = p_ctx;
    g_mem.current_filter = FP_FILTER_NONE;
    dll_init(&g_mem.release_list);
    g_mem.mem = static_cast<plx_mem_entry *>(calloc(tables.num_blocks, sizeof(plx_mem_entry)));
    if (!g_mem.mem)
        return PLX_ENOMEM;
    // Every allocation scans the block table from its start: its pages are faulted in now, not
    // a few at a time by the programs of later commits (a fault costs about 10 us on a virtual
    // machine; a 370 KB program covers some thirty pages of the table).
    auto *page = reinterpret_cast<volatile uint8_t *>(g_mem.mem);
    for (size_t at = 0, bytes = size_t{tables.num_blocks} * sizeof(plx_mem_entry); at < bytes;
         at += 4096)
        page[at] = 0;
    if (clean) {
        memset(tables.filter_mem, 0, size_t{tables.num_blocks} * FP_FILTER_BLOCK_SIZE);
        memset(static_cast<void *>(tables.filters), 0,
               size_t{tables.num_filters} * sizeof(FilterEntry));
    }
    timer_mgr *mgr = p_ctx ? p_ctx->tmr_mgr : nullptr;
    g_mem.release_timer =
        mgr ? timer_util_create(mgr, TIMER_PRI_NORMAL, TIMER_ONE_SHOT, RELEASE_DELAY_MS,
                                release_timer_cb, p_ctx, nullptr, nullptr, nullptr,
                                "plx-delayed-del-timer")
            : nullptr;
    if (!g_mem.release_timer) {
        free(g_mem.mem);
        g_mem.mem = nullptr;
        return PLX_ENOMEM;
    }
    return PLX_OK;
}

int plx_mem_init(plx_ctx *p_ctx, bool clean) {
    int rc = fp_shm_attach(false, true);
    if (rc != 0)
        return rc;
    fp_global_ctrl *g = fp_global_ctrl_tbl();
    while (!fp_global_ready(*g)) {
        PLX_TRACE(PLX_DEBUG_CONFIG, "waiting for the forwarding plane to become ready\n");
        sleep(1);
    }
    PlxMemTables t{fp_filter_mem(), g_fp_scaling.num_filter_mem_blocks, fp_filters().data(),
                   g_fp_scaling.num_filters};
    rc = plx_mem_init_tables(p_ctx, t, clean);
    if (rc != 0 || !clean)
        return rc;
    auto clear_tbl = [](int index, size_t elem) {
        if (void *p = fp_tbl_addr(index))
            memset(p, 0, elem * fp_tbl_count(index));
    };
    clear_tbl(FP_TBL_DPI_PROTO_FAMILY, 4);
    clear_tbl(FP_TBL_DPI_PROTO_HITS, 4);
    clear_tbl(FP_TBL_DPI_KNOB, 4);
    clear_tbl(FP_TBL_FILTER_LOG_CFG, 140);
    clear_tbl(FP_TBL_FLOW_KNOB, 4);
    return PLX_OK;
}

int plx_mem_destroy() {
    free(g_mem.mem);
    g_mem.mem = nullptr;
    if (g_mem.release_timer)
        timer_util_delete(g_mem.release_timer);
    g_mem.release_timer = nullptr;
    dll_init(&g_mem.release_list);
    g_mem.t = PlxMemTables{};
    g_mem.p_ctx = nullptr;
    return PLX_OK;
}

uint32_t plx_mem_current_filter() {
    return g_mem.current_filter;
}

void *plx_mem_alloc(uint32_t length) {
    PLX_ASSERT(g_mem.mem != nullptr);
    uint32_t n = plx_mem_blocks(length);
    g_mem.current_filter = FP_FILTER_NONE;
    uint32_t filter = 0;
    while (filter < g_mem.t.num_filters && fp_filter_valid_halfword(g_mem.t.filters[filter]) != 0)
        ++filter;
    if (filter == g_mem.t.num_filters || n == 0)
        return nullptr;
    g_mem.current_filter = filter;

    int64_t start = -1;
    uint32_t b = 0;
    while (b < g_mem.t.num_blocks) {
        if (g_mem.mem[b].is_allocated == 1) {
            b += g_mem.mem[b].num_blocks;
            continue;
        }
        uint32_t run = 0;
        uint32_t i = b;
        while (i < g_mem.t.num_blocks && g_mem.mem[i].is_allocated != 1 && run < n) {
            ++run;
            ++i;
        }
        if (run == n) {
            start = b;
            break;
        }
        b = i;  // an allocated block (or the end) came first: resume there
    }
    if (start == -1) {
        g_mem.current_filter = FP_FILTER_NONE;
        return nullptr;
    }
    PLX_ASSERT(start != -1);
    auto s = static_cast<uint32_t>(start);
    plx_mem_entry &e = g_mem.mem[s];
    e.is_allocated = 1;
    e.num_blocks = n;
    e.filter_id = filter;
    e.ptr = block_addr(s);
    FilterEntry &f = g_mem.t.filters[filter];
    fp_store(f.hw_index, s);
    fp_store(f.num_blocks, n);
    fp_store(f.zero, uint8_t{0});
    fp_filter_test_clear_active(f);
    fp_store(f.valid, uint8_t{1});
    return e.ptr;
}

void plx_mem_free(void *program) {
    PLX_ASSERT(g_mem.mem != nullptr);
    auto *p = static_cast<uint8_t *>(program);
    PLX_ASSERT(p >= g_mem.t.filter_mem);
    size_t hw_index = static_cast<size_t>(p - g_mem.t.filter_mem) / FP_FILTER_BLOCK_SIZE;
    PLX_ASSERT(hw_index < g_mem.t.num_blocks);
    const plx_mem_entry *plx_mem = g_mem.mem;
    const void *ptr = program;
    PLX_ASSERT(plx_mem[hw_index].is_allocated == 1);
    PLX_ASSERT(plx_mem[hw_index].ptr == ptr);
    plx_mem_entry &e = g_mem.mem[hw_index];
    e.link.p_next = e.link.p_prev = nullptr;
    dll_append(&g_mem.release_list, &e.link);
    timer_reset_interval(g_mem.release_timer, RELEASE_DELAY_MS);
}

void plx_mem_release_scan() {
    uint32_t released = 0;
    dll_node *node = dll_head(&g_mem.release_list);
    while (node) {
        dll_node *next = node->p_next;
        plx_mem_entry *e = DLL_ENTRY(node, plx_mem_entry, link);
        PLX_ASSERT(e->filter_id < g_mem.t.num_filters);
        FilterEntry &f = g_mem.t.filters[e->filter_id];
        if (!fp_filter_test_clear_active(f)) {
            memset(e->ptr, 0, size_t{e->num_blocks} * FP_FILTER_BLOCK_SIZE);
            dll_remove(&g_mem.release_list, node);
            fp_store(f.valid, uint8_t{0});
            memset(static_cast<void *>(&f), 0, sizeof f);
            released += e->num_blocks;
            memset(static_cast<void *>(e), 0, sizeof *e);
        }
        node = next;
    }
    if (!dll_empty(&g_mem.release_list) && g_mem.release_timer)
        timer_reset_interval(g_mem.release_timer, RELEASE_DELAY_MS);
    if (released > 0) {
        plx_ctx *ctx = g_mem.p_ctx;
        plx_mem_released_fn notice =
            ctx && ctx->mem_ops ? ctx->mem_ops->mem_released : noop_released;
        if (notice)
            notice(ctx, released);
    }
}

int32_t plx_mem_pending_releases() {
    return dll_count(&g_mem.release_list);
}

bool plx_mem_release_pending(uint32_t filter_id) {
    for (dll_node *n = dll_head(&g_mem.release_list); n; n = n->p_next)
        if (DLL_ENTRY(n, plx_mem_entry, link)->filter_id == filter_id)
            return true;
    return false;
}

const FilterEntry *plx_mem_filter_entry(uint32_t filter_id) {
    if (!g_mem.t.filters || filter_id >= g_mem.t.num_filters)
        return nullptr;
    return &g_mem.t.filters[filter_id];
}

void plx_mem_forget_placements() {
    if (g_mem.mem)
        memset(static_cast<void *>(g_mem.mem), 0, size_t{g_mem.t.num_blocks} * sizeof *g_mem.mem);
    dll_init(&g_mem.release_list);
    g_mem.current_filter = FP_FILTER_NONE;
}

namespace {

struct RefreshArg {
    const PlxPolicerParams *policer;
};

void refresh_visit(uint8_t *data, void *arg) {
    const PlxPolicerParams *pol = static_cast<RefreshArg *>(arg)->policer;
    for (unsigned i = 0; i < PLX_ACTION_SLOTS; ++i) {
        auto *s = plx_action_slot<PoliceSlot>(data, i);
        if (s->action_type != PLX_ACT_POLICE)
            continue;
        char name[PLX_ACTION_NAME_LEN + 1] = {};
        memcpy(name, s->name, PLX_ACTION_NAME_LEN);
        int number = 0;
        char pname[PLX_ACTION_NAME_LEN + 1] = {};
        if (sscanf(name, "%d.%64s", &number, pname) != 2)
            continue;
        if (strncmp(pname, pol->name, PLX_ACTION_NAME_LEN) != 0)
            continue;
        fp_store(s->rate, pol->rate);
        fp_store(s->burst, pol->burst);
        fp_store(s->oob_action, pol->oob_action);
    }
}

}  // namespace

int plx_mem_refresh_policers(uint32_t filter_id, const PlxPolicerParams *policer) {
    if (!g_mem.mem || filter_id >= g_mem.t.num_filters || !policer || !policer->name)
        return PLX_EINVAL;
    const FilterEntry &f = g_mem.t.filters[filter_id];
    if (fp_filter_valid_halfword(f) == 0)
        return PLX_EINVAL;
    auto *prog = reinterpret_cast<PolicyProgram *>(block_addr(f.hw_index));
    RefreshArg arg{policer};
    plx_program_visit_actions(prog, &arg, refresh_visit);
    return PLX_OK;
}

// ---- Dumps ------------------------------------------------------------------------------------

namespace {

bool shown(const FilterEntry &f) {
    return fp_filter_valid_halfword(f) != 0 || (fp_load(f.activity) & FP_FILTER_ACTIVITY_BIT);
}

// The summary lines; returns (filters shown, blocks used).
std::pair<int, uint64_t> print_filter_lines(const PlxPrinter &out) {
    plx_printf(out, "%-5s\t%-5s\t%-8s\t%-13s\t%-8s\n", "Index", "Valid", "HW Index",
               "Num HW Blocks", "Activity");
    int count = 0;
    uint64_t blocks = 0;
    for (uint32_t i = 0; i < g_mem.t.num_filters; ++i) {
        const FilterEntry &f = g_mem.t.filters[i];
        if (!shown(f))
            continue;
        plx_printf(out, "%5d\t%5d\t%8d\t%13d\t%8d\n", static_cast<int>(i),
                   fp_filter_valid_halfword(f), static_cast<int>(f.hw_index),
                   static_cast<int>(f.num_blocks), fp_load(f.activity) & FP_FILTER_ACTIVITY_BIT);
        ++count;
        blocks += f.num_blocks;
    }
    return {count, blocks};
}

}  // namespace

uint32_t plx_mem_num_filters() {
    return g_mem.t.filters ? g_mem.t.num_filters : 0;
}

PolicyProgram *plx_mem_program(uint32_t filter_id) {
    if (!g_mem.t.filters || filter_id >= g_mem.t.num_filters)
        return nullptr;
    const FilterEntry &f = g_mem.t.filters[filter_id];
    const uint32_t start = fp_load(f.hw_index);
    if (fp_filter_valid_halfword(f) == 0 || start >= g_mem.t.num_blocks)
        return nullptr;
    return reinterpret_cast<PolicyProgram *>(block_addr(start));
}

void plx_dump_memory_stats(const PlxPrinter &out) {
    auto [count, blocks] = print_filter_lines(out);
    plx_printf(out, "Number of filters: %d/%d\n", count, static_cast<int>(g_mem.t.num_filters));
    plx_printf(out, "Number of blocks used: %d/%d\n", static_cast<int>(blocks),
               static_cast<int>(g_mem.t.num_blocks));
    plx_printf(out, "\n");
}

void plx_dump_memory_map(const PlxPrinter &out) {
    plx_printf(out, "Dumping the filter memory map");
    plx_printf(out, "\n\n");
    uint32_t b = 0;
    while (g_mem.mem && b < g_mem.t.num_blocks) {
        const plx_mem_entry &e = g_mem.mem[b];
        if (e.is_allocated == 1) {
            const FilterEntry &f = g_mem.t.filters[e.filter_id];
            plx_printf(out, "Used Block start index: %d/%u - end index %d (#%u/%u)\n",
                       static_cast<int>(b), f.hw_index, static_cast<int>(b + e.num_blocks),
                       e.num_blocks, f.num_blocks);
            plx_printf(out, "\tFilterId: %u\n", e.filter_id);
            b += e.num_blocks ? e.num_blocks : 1;
            continue;
        }
        uint32_t first = b;
        while (b < g_mem.t.num_blocks && g_mem.mem[b].is_allocated != 1)
            ++b;
        plx_printf(out, "Free Block start index: %d - end index %d\n", static_cast<int>(first),
                   static_cast<int>(b - 1));
    }
    plx_printf(out, "\n");
}

void plx_dump_filter(const PlxPrinter &out) {
    print_filter_lines(out);
    plx_printf(out, "\n\n");
    for (uint32_t i = 0; i < g_mem.t.num_filters; ++i) {
        const FilterEntry &f = g_mem.t.filters[i];
        if (!shown(f))
            continue;
        plx_printf(out, "FILTER %5d Activity: %d\n", static_cast<int>(i),
                   fp_load(f.activity) & FP_FILTER_ACTIVITY_BIT);
        plx_printf(out, "====== %5s\n\n", "=====");
        if (fp_filter_valid_halfword(f) != 0 && f.hw_index < g_mem.t.num_blocks)
            plx_program_dump(reinterpret_cast<const PolicyProgram *>(block_addr(f.hw_index)), out,
                             true);
    }
    const fp_global_ctrl *g = fp_shm_base() ? fp_global_ctrl_tbl() : nullptr;
    plx_printf(out, "\t%11s: %lu\n", "Clock Rate",
               static_cast<unsigned long>(g ? fp_load(g->clock_rate) : 0));
}
