#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "daemon/plx_ctx.h"
#include "progmem/plx_if_fpmem.h"
#include "tests/fplink/fp_test_env.h"

namespace {

struct FakeClock {
    timespec now{1000, 0};
    void advance_ms(long ms) {
        now.tv_nsec += ms * 1000000;
        now.tv_sec += now.tv_nsec / 1000000000;
        now.tv_nsec %= 1000000000;
    }
};
void fake_clock(timespec *out, void *arg) {
    *out = static_cast<FakeClock *>(arg)->now;
}

std::vector<uint32_t> g_notices;
void record_notice(plx_ctx *, uint32_t blocks) {
    g_notices.push_back(blocks);
}

std::string g_out;
PlxPrinter string_printer() {
    return PlxPrinter{[](void *, const char *text) { g_out += text; }, nullptr};
}

// Program memory over private tables of a chosen size, with a timer wheel on a fake clock.
class ProgMem : public ::testing::Test {
  protected:
    void setup(uint32_t blocks, uint32_t filters) {
        mem_.assign(size_t{blocks} * 128, 0xEE);
        filt_.assign(filters, FilterEntry{});
        mgr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        timer_mgr_set_clock(mgr_, fake_clock, &clock_);
        ops_ = plx_fpmem_ops(record_notice);
        ctx_.tmr_mgr = mgr_;
        ctx_.mem_ops = &ops_;
        g_notices.clear();
        ASSERT_EQ(plx_mem_init_tables(&ctx_, {mem_.data(), blocks, filt_.data(), filters}, true),
                  0);
        EXPECT_EQ(mem_[0], 0) << "clean start clears filter memory";
    }
    void TearDown() override {
        plx_mem_destroy();
        if (mgr_)
            timer_mgr_delete(mgr_);
    }
    uint32_t block_of(void *p) {
        return static_cast<uint32_t>((static_cast<uint8_t *>(p) - mem_.data()) / 128);
    }
    void run_timers_for(long ms) {
        for (long t = 0; t < ms; t += 10) {
            clock_.advance_ms(10);
            timer_exec(mgr_, TIMER_PRI_MASK_ALL, 100);
        }
    }

    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filt_;
    timer_mgr *mgr_ = nullptr;
    FakeClock clock_;
    ProgramMemoryOps ops_{};
    plx_ctx ctx_{};
};

TEST_F(ProgMem, BlockCountsAndFirstFit) {
    EXPECT_EQ(plx_mem_blocks(472), 4u);
    EXPECT_EQ(plx_mem_blocks(512), 4u);
    EXPECT_EQ(plx_mem_blocks(513), 5u);
    setup(10, 8);
    void *a = plx_mem_alloc(472);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(block_of(a), 0u);
    EXPECT_EQ(plx_mem_current_filter(), 0u);
    EXPECT_EQ(filt_[0].valid, 1);
    EXPECT_EQ(filt_[0].hw_index, 0u);
    EXPECT_EQ(filt_[0].num_blocks, 4u);
    // Blocks 0-3 taken: 7 blocks do not fit, 6 start at block 4.
    EXPECT_EQ(plx_mem_alloc(7 * 128), nullptr);
    EXPECT_EQ(plx_mem_current_filter(), FP_FILTER_NONE);
    void *b = plx_mem_alloc(6 * 128);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(block_of(b), 4u);
    EXPECT_EQ(plx_mem_current_filter(), 1u);
    EXPECT_EQ(plx_mem_alloc(1), nullptr) << "memory full";
}

TEST_F(ProgMem, HoleIsReusedFirstFit) {
    setup(10, 8);
    void *a = plx_mem_alloc(2 * 128);
    void *b = plx_mem_alloc(3 * 128);
    void *c = plx_mem_alloc(2 * 128);
    ASSERT_TRUE(a && b && c);
    plx_mem_free(b);
    plx_mem_release_scan();
    // A 4-block program skips the 3-block hole; a 3-block one fills it.
    void *d = plx_mem_alloc(4 * 128);
    EXPECT_EQ(d, nullptr) << "3-block hole + 3 free at the end";
    void *e = plx_mem_alloc(3 * 128);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(block_of(e), 2u);
    EXPECT_EQ(plx_mem_current_filter(), 1u) << "lowest free filter number";
    EXPECT_EQ(block_of(plx_mem_alloc(3 * 128)), 7u);
}

TEST_F(ProgMem, FreedNumberHeldUntilReleasedAndActivityDelaysRelease) {
    setup(64, 4);
    void *a = plx_mem_alloc(300);
    void *b = plx_mem_alloc(300);
    memset(a, 0x5A, 300);
    plx_mem_free(a);
    plx_mem_free(b);
    EXPECT_EQ(plx_mem_pending_releases(), 2);
    // The freed program stays placed and its number is not handed out again.
    EXPECT_EQ(static_cast<uint8_t *>(a)[10], 0x5A);
    EXPECT_EQ(filt_[0].valid, 1);
    ASSERT_NE(plx_mem_alloc(100), nullptr);
    EXPECT_EQ(plx_mem_current_filter(), 2u);

    // The forwarding plane still uses filter 0: only filter 1 goes at the first scan.
    fp_filter_mark_active(filt_[0]);
    filt_[0].activity |= 0x80;  // other bits of the byte are kept
    plx_mem_release_scan();
    EXPECT_EQ(plx_mem_pending_releases(), 1);
    EXPECT_EQ(filt_[0].valid, 1);
    EXPECT_EQ(filt_[0].activity, 0x80);
    EXPECT_EQ(filt_[1].valid, 0);
    ASSERT_EQ(g_notices.size(), 1u);
    EXPECT_EQ(g_notices[0], 3u);
    // No activity since the last scan: released, blocks cleared, entry cleared.
    plx_mem_release_scan();
    EXPECT_EQ(plx_mem_pending_releases(), 0);
    EXPECT_EQ(static_cast<uint8_t *>(a)[10], 0);
    EXPECT_EQ(filt_[0].valid, 0);
    EXPECT_EQ(filt_[0].num_blocks, 0u);
    ASSERT_EQ(g_notices.size(), 2u);
    // Number 0 and block 0 are free again.
    void *c = plx_mem_alloc(128);
    EXPECT_EQ(plx_mem_current_filter(), 0u);
    EXPECT_EQ(block_of(c), 0u);
}

TEST_F(ProgMem, ReleaseTimerRunsAfterLatestFree) {
    setup(16, 4);
    void *a = plx_mem_alloc(128);
    void *b = plx_mem_alloc(128);
    plx_mem_free(a);
    run_timers_for(300);
    plx_mem_free(b);  // restarts the 500 ms delay
    run_timers_for(300);
    EXPECT_EQ(plx_mem_pending_releases(), 2);
    run_timers_for(250);
    EXPECT_EQ(plx_mem_pending_releases(), 0);
    EXPECT_EQ(g_notices, std::vector<uint32_t>{2});

    // While the filter stays active the scan keeps re-arming itself.
    void *c = plx_mem_alloc(128);
    plx_mem_free(c);
    for (int i = 0; i < 4; ++i) {
        fp_filter_mark_active(filt_[0]);
        run_timers_for(500);
        EXPECT_EQ(plx_mem_pending_releases(), 1) << i;
    }
    run_timers_for(1000);
    EXPECT_EQ(plx_mem_pending_releases(), 0);
}

TEST_F(ProgMem, FreeOfForeignAddressStops) {
    setup(16, 4);
    void *a = plx_mem_alloc(300);
    ChildResult r = run_in_child([a] {
        plx_mem_free(static_cast<uint8_t *>(a) + 128);
        return 0;
    });
    EXPECT_TRUE(r.aborted());
    EXPECT_NE(r.output.find("failed assertion `plx_mem[hw_index].is_allocated == 1'"),
              std::string::npos)
        << r.output;
}

// A program with one rule (protocol 6) whose action polices with "1.pol1" and "2.pol2".
PolicyProgram *compile_policed_program() {
    plx_compiler_ctx *cc = plx_compiler_create();
    plx_compiler_set_mem_ops(cc, plx_mem_alloc, plx_mem_free);
    ActionData def{};
    def.slot[0].base_action = PLX_ACT_ACCEPT;
    plx_ruletable *rt = plx_ruletable_create("acl1", "0", sizeof def, &def);
    plx_rule *rule = plx_ruletable_add_rule(rt, "10");
    uint32_t tid = plx_field_get_table(cc, PLX_FIELD_PROTOCOL);
    plx_field_add_range(cc, rule, tid, 6, 6);
    ActionData act{};
    for (unsigned i = 0; i < 2; ++i) {
        auto *p = plx_action_slot<PoliceSlot>(reinterpret_cast<uint8_t *>(&act), i);
        p->action_type = PLX_ACT_POLICE;
        p->rate = 10;
        p->burst = 100;
        snprintf(p->name, sizeof p->name, "%u.pol%u", i + 1, i + 1);
    }
    plx_ruletable_set_action(rule, sizeof act, &act);
    PolicyProgram *prog = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(plx_compile(cc, rt, &prog, &len), 0);
    plx_compiler_reset(cc);
    plx_compiler_destroy(cc);
    plx_ruletable_destroy(rt);
    return prog;
}

TEST_F(ProgMem, RefreshPolicersAndDumps) {
    setup(64, 4);
    PolicyProgram *prog = compile_policed_program();
    ASSERT_NE(prog, nullptr);
    uint32_t filter = plx_mem_current_filter();
    ASSERT_EQ(filter, 0u);
    PlxPolicerParams pol{"pol2", 77, 7700, 1};
    EXPECT_EQ(plx_mem_refresh_policers(filter, &pol), 0);
    EXPECT_EQ(plx_mem_refresh_policers(3, &pol), 22) << "free filter number";
    EXPECT_EQ(plx_mem_refresh_policers(4, &pol), 22) << "out of range";
    int seen = 0;
    plx_program_visit_actions(prog, &seen, [](uint8_t *data, void *arg) {
        auto *p1 = plx_action_slot<PoliceSlot>(data, 0);
        auto *p2 = plx_action_slot<PoliceSlot>(data, 1);
        if (p2->action_type != PLX_ACT_POLICE)
            return;
        ++*static_cast<int *>(arg);
        EXPECT_EQ(p1->rate, 10u);
        EXPECT_EQ(p1->oob_action, 0u);
        EXPECT_EQ(p2->rate, 77u);
        EXPECT_EQ(p2->burst, 7700u);
        EXPECT_EQ(p2->oob_action, 1u);
    });
    EXPECT_EQ(seen, 1);

    g_out.clear();
    plx_dump_memory_stats(string_printer());
    uint32_t n = plx_mem_blocks(prog->length);
    char line[256];
    snprintf(line, sizeof line, "%5d\t%5d\t%8d\t%13d\t%8d\n", 0, 1, 0, static_cast<int>(n), 0);
    EXPECT_NE(g_out.find("Index\tValid\tHW Index\tNum HW Blocks\tActivity\n"), std::string::npos);
    EXPECT_NE(g_out.find(line), std::string::npos) << g_out;
    EXPECT_NE(g_out.find("Number of filters: 1/4\n"), std::string::npos) << g_out;

    g_out.clear();
    plx_dump_memory_map(string_printer());
    snprintf(line, sizeof line,
             "Used Block start index: 0/0 - end index %u (#%u/%u)\n\tFilterId: 0\n"
             "Free Block start index: %u - end index 63\n\n",
             n, n, n, n);
    EXPECT_EQ(g_out, std::string("Dumping the filter memory map\n\n") + line);

    g_out.clear();
    plx_dump_filter(string_printer());
    EXPECT_NE(g_out.find("FILTER     0 Activity: 0\n====== =====\n\n"), std::string::npos);
    EXPECT_NE(g_out.find("police"), std::string::npos);
    EXPECT_NE(g_out.find("Clock Rate"), std::string::npos);
}

// The real start: attach, wait for the ready flag, clean start of the shared tables.
TEST(ProgMemShm, InitWaitsForReadyFlagAndClears) {
    FpTestEnv env;
    ASSERT_EQ(fp_shm_attach(true, true), 0);
    fp_filters()[3].valid = 1;
    *static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_DPI_KNOB)) = 7;
    fp_global_ctrl_tbl()->flags19 |= FP_GLOBAL_READY_BIT;
    fp_shm_detach();

    timer_mgr *mgr =
        timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    plx_ctx ctx{};
    ctx.tmr_mgr = mgr;
    ASSERT_EQ(plx_mem_init(&ctx, true), 0);
    EXPECT_EQ(fp_filters()[3].valid, 0);
    EXPECT_EQ(*static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_DPI_KNOB)), 0u);
    void *p = plx_mem_alloc(1000);
    EXPECT_EQ(p, fp_filter_mem());
    plx_mem_destroy();
    timer_mgr_delete(mgr);
}

}  // namespace
