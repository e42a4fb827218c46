// Program memory: placement, delayed release, policer refresh, the copy for offline inspection
// and the start on the shared object. (The dumps are checked through the operator's commands.)
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/plx_status.h"
#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "progmem/plx_fpmem_save.h"
#include "progmem/plx_if_fpmem.h"
#include "tests/peers/fwdplane/fp_test_programs.h"
#include "tests/support/fp_test_env.h"

namespace {

std::vector<uint32_t> g_notices;

// Program memory over private tables of a chosen size, with a timer wheel on a manual clock.
class ProgMem : public ::testing::Test {
  protected:
    void setup(uint32_t blocks, uint32_t filters) {
        mem_.assign(size_t{blocks} * 128, 0xEE);
        filt_.assign(filters, FilterEntry{});
        mgr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        timer_mgr_set_clock(
            mgr_,
            [](timespec *now, void *arg) {
                const long ms = *static_cast<long *>(arg);
                *now = {ms / 1000, ms % 1000 * 1000000};
            },
            &clock_ms_);
        ops_ = plx_fpmem_ops([](plx_ctx *, uint32_t blocks) { g_notices.push_back(blocks); });
        ctx_.tmr_mgr = mgr_;
        ctx_.mem_ops = &ops_;
        g_notices.clear();
        ASSERT_EQ(plx_mem_init_tables(&ctx_, tables(), true), PLX_OK);
        EXPECT_EQ(mem_[0], 0) << "clean start clears filter memory";
    }
    void TearDown() override {
        plx_mem_destroy();
        if (mgr_)
            timer_mgr_delete(mgr_);
    }
    PlxMemTables tables() {
        return {mem_.data(), static_cast<uint32_t>(mem_.size() / 128), filt_.data(),
                static_cast<uint32_t>(filt_.size())};
    }
    uint32_t block_of(void *p) {
        return static_cast<uint32_t>((static_cast<uint8_t *>(p) - mem_.data()) / 128);
    }
    void run_timers_for(long ms) {
        for (long t = 0; t < ms; t += 10) {
            clock_ms_ += 10;
            timer_exec(mgr_, TIMER_PRI_MASK_ALL, 100);
        }
    }

    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filt_;
    timer_mgr *mgr_ = nullptr;
    long clock_ms_ = 1'000'000;
    ProgramMemoryOps ops_{};
    plx_ctx ctx_{};
};

TEST_F(ProgMem, PlacementIsFirstFitUnderTheLowestFreeNumberAndForeignFreesStop) {
    EXPECT_EQ(plx_mem_blocks(512), 4u);
    EXPECT_EQ(plx_mem_blocks(513), 5u);
    setup(10, 8);
    void *a = plx_mem_alloc(2 * 128);
    void *b = plx_mem_alloc(3 * 128 - 40);
    void *c = plx_mem_alloc(2 * 128);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(plx_mem_current_filter(), 2u);
    EXPECT_EQ(filt_[1].valid, 1);
    EXPECT_EQ(filt_[1].hw_index, 2u);
    EXPECT_EQ(filt_[1].num_blocks, 3u);
    plx_mem_free(b);
    plx_mem_release_scan();
    // Four blocks fit neither the 3-block hole nor the 3 blocks at the end; three fill the hole
    // under the lowest free number.
    EXPECT_EQ(plx_mem_alloc(4 * 128), nullptr);
    EXPECT_EQ(plx_mem_current_filter(), FP_FILTER_NONE);
    EXPECT_EQ(block_of(plx_mem_alloc(3 * 128)), 2u);
    EXPECT_EQ(plx_mem_current_filter(), 1u);
    EXPECT_EQ(block_of(plx_mem_alloc(3 * 128)), 7u);
    EXPECT_EQ(plx_mem_alloc(1), nullptr) << "memory full";
    // Freeing an address inside a program, not its start, stops the process.
    ChildResult r = run_in_child([a] {
        plx_mem_free(static_cast<uint8_t *>(a) + 128);
        return 0;
    });
    EXPECT_TRUE(r.aborted());
    EXPECT_NE(r.output.find("failed assertion `plx_mem[hw_index].is_allocated == 1'"),
              std::string::npos)
        << r.output;
}

// The release scan runs 500 ms after the latest free and again every 500 ms while a freed
// program is still in use; until released a program stays intact and keeps its number.
TEST_F(ProgMem, FreedProgramStaysUntilTheForwardingPlaneStopsUsingIt) {
    setup(64, 4);
    void *a = plx_mem_alloc(300);
    void *b = plx_mem_alloc(300);
    memset(a, 0x5A, 300);
    plx_mem_free(a);
    run_timers_for(300);
    plx_mem_free(b);  // restarts the delay
    run_timers_for(300);
    EXPECT_EQ(plx_mem_pending_releases(), 2);
    EXPECT_EQ(static_cast<uint8_t *>(a)[10], 0x5A);
    EXPECT_EQ(filt_[0].valid, 1);
    ASSERT_NE(plx_mem_alloc(100), nullptr);
    EXPECT_EQ(plx_mem_current_filter(), 2u);

    // Filter 0 is in use: only filter 1 goes; the activity bit is cleared, other bits kept.
    fp_filter_mark_active(filt_[0]);
    filt_[0].activity |= 0x80;
    run_timers_for(250);
    EXPECT_EQ(plx_mem_pending_releases(), 1);
    EXPECT_EQ(filt_[0].activity, 0x80);
    EXPECT_EQ(filt_[1].valid, 0);
    EXPECT_EQ(g_notices, std::vector<uint32_t>{3});
    for (int i = 0; i < 3; ++i) {
        fp_filter_mark_active(filt_[0]);
        run_timers_for(500);
        EXPECT_EQ(plx_mem_pending_releases(), 1) << i;
    }
    // No activity since the last scan: released, blocks and entry cleared, number 0 free again.
    run_timers_for(500);
    EXPECT_EQ(plx_mem_pending_releases(), 0);
    EXPECT_EQ(static_cast<uint8_t *>(a)[10], 0);
    EXPECT_EQ(filt_[0].num_blocks, 0u);
    EXPECT_EQ(g_notices, (std::vector<uint32_t>{3, 3}));
    EXPECT_EQ(block_of(plx_mem_alloc(128)), 0u);
    EXPECT_EQ(plx_mem_current_filter(), 0u);
}

TEST_F(ProgMem, RefreshPolicersRewritesTheNamedPoliceSlots) {
    setup(64, 4);
    ActionData act{};
    add_police(act, 0, "pol1", 10, 100, 0);
    add_police(act, 1, "pol2", 10, 100, 0);
    PolicyProgram *prog =
        compile_rules("acl1", {{{{PLX_FIELD_PROTOCOL, 6, 6}}, act}}, test_action(PLX_ACT_ACCEPT));
    ASSERT_NE(prog, nullptr);
    ASSERT_EQ(plx_mem_current_filter(), 0u);
    PlxPolicerParams pol{"pol2", 77, 7700, 1};
    EXPECT_EQ(plx_mem_refresh_policers(0, &pol), PLX_OK);
    EXPECT_EQ(plx_mem_refresh_policers(3, &pol), PLX_EINVAL) << "free filter number";
    EXPECT_EQ(plx_mem_refresh_policers(4, &pol), PLX_EINVAL) << "out of range";
    std::vector<uint64_t> seen;  // rate, burst and out-of-profile action of every police slot
    plx_program_visit_actions(prog, &seen, [](uint8_t *data, void *arg) {
        auto &out = *static_cast<std::vector<uint64_t> *>(arg);
        for (unsigned i = 0; i < 2; ++i)
            if (auto *p = plx_action_slot<PoliceSlot>(data, i); p->action_type == PLX_ACT_POLICE)
                out.insert(out.end(), {p->rate, p->burst, p->oob_action});
    });
    EXPECT_EQ(seen, (std::vector<uint64_t>{10, 100, 0, 77, 7700, 1}));
}

// The copy for offline inspection is the program as placed, and only a whole placed one.
TEST_F(ProgMem, CopyOfAPlacedProgram) {
    setup(256, 8);
    ASSERT_NE(
        compile_rules("first", {{{{PLX_FIELD_PROTOCOL, 17, 17}}, test_action(1)}}, test_action(2)),
        nullptr);  // so that the program of interest does not start at block 0
    PolicyProgram *placed = compile_rules(
        "acl", {{{{PLX_FIELD_DST_PORT, 80, 80}, {PLX_FIELD_PROTOCOL, 6, 6}}, test_action(2)}},
        test_action(1));
    ASSERT_NE(placed, nullptr);
    const uint32_t id = plx_mem_current_filter();
    std::vector<uint8_t> bytes;
    ASSERT_EQ(plx_mem_copy_program(tables(), id, bytes), "");
    const auto *start = reinterpret_cast<const uint8_t *>(placed);
    EXPECT_EQ(bytes, std::vector<uint8_t>(start, start + placed->length));

    EXPECT_NE(plx_mem_copy_program(tables(), 3, bytes), "") << "a free filter number";
    EXPECT_NE(plx_mem_copy_program(tables(), 8, bytes), "") << "out of range";
    filt_[id].num_blocks = 300;  // an entry pointing past filter memory
    EXPECT_NE(plx_mem_copy_program(tables(), id, bytes).find("outside"), std::string::npos);
    filt_[id].num_blocks = 1;  // shorter than the program's own length
    EXPECT_NE(plx_mem_copy_program(tables(), id, bytes).find("claims"), std::string::npos);
    EXPECT_TRUE(bytes.empty());
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
    ASSERT_EQ(plx_mem_init(&ctx, true), PLX_OK);
    EXPECT_EQ(fp_filters()[3].valid, 0);
    EXPECT_EQ(*static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_DPI_KNOB)), 0u);
    EXPECT_EQ(plx_mem_alloc(1000), fp_filter_mem());
    plx_mem_destroy();
    timer_mgr_delete(mgr);
}

}  // namespace
