// A program copied out of filter memory is the program the forwarding plane runs: the offline
// evaluator selects the same records from the saved file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "peers/fpeval/fp_eval.h"
#include "progmem/plx_fpmem_save.h"
#include "tests/peers/fwdplane/fp_test_programs.h"

namespace {

class FpmemSave : public ::testing::Test {
  protected:
    void SetUp() override {
        mem_.assign(size_t{256} * 128, 0);
        filt_.assign(8, FilterEntry{});
        mgr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ctx_.tmr_mgr = mgr_;
        ASSERT_EQ(plx_mem_init_tables(&ctx_, tables(), true), 0);
    }
    void TearDown() override {
        plx_mem_destroy();
        timer_mgr_delete(mgr_);
    }
    PlxMemTables tables() { return {mem_.data(), 256, filt_.data(), 8}; }

    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filt_;
    timer_mgr *mgr_ = nullptr;
    plx_ctx ctx_{};
};

TEST_F(FpmemSave, SavedProgramEvaluatesLikeThePlacedOne) {
    // Something placed first, so that the program of interest does not start at block 0.
    ASSERT_NE(
        compile_rules("first", {{{{PLX_FIELD_PROTOCOL, 17, 17}}, test_action(1)}}, test_action(2)),
        nullptr);
    TestRule web{{{PLX_FIELD_DST_PORT, 80, 80}, {PLX_FIELD_PROTOCOL, 6, 6}}, test_action(2)};
    add_count(web.action, 1, "web");
    TestRule ssh{{{PLX_FIELD_DST_PORT, 22, 22}}, test_action(1)};
    PolicyProgram *placed = compile_rules("acl", {web, ssh}, test_action(2));
    ASSERT_NE(placed, nullptr);
    const uint32_t id = plx_mem_current_filter();

    std::vector<uint8_t> bytes;
    ASSERT_EQ(plx_mem_copy_program(tables(), id, bytes), "");
    ASSERT_EQ(bytes.size(), placed->length);
    const auto *saved = reinterpret_cast<const PolicyProgram *>(bytes.data());
    for (uint32_t port : {80u, 22u, 443u})
        for (uint32_t proto : {6u, 17u}) {
            FpPacket p;
            p.field[PLX_FIELD_DST_PORT] = port;
            p.field[PLX_FIELD_PROTOCOL] = proto;
            EXPECT_EQ(fp_eval(saved, p).index, fp_eval(placed, p).index) << port << "/" << proto;
        }

    // The offline compiler's evaluator reads the file.
    const auto dir =
        std::filesystem::temp_directory_path() / ("fpmem-save-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "acl.plx", std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
    std::ofstream(dir / "pk") << "dst-port=80 protocol=6\ndst-port=22\ndst-port=9\n";
    FILE *f = popen((std::string(PLXC_BIN) + " eval " + (dir / "acl.plx").string() + " " +
                     (dir / "pk").string() + " 2>&1")
                        .c_str(),
                    "r");
    ASSERT_NE(f, nullptr);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, f))
        out += buf;
    EXPECT_EQ(pclose(f), 0) << out;
    EXPECT_NE(out.find("1: record 1 web"), std::string::npos) << out;
    EXPECT_NE(out.find("3: record 0 default"), std::string::npos) << out;
    std::filesystem::remove_all(dir);
}

TEST_F(FpmemSave, RefusesWhatIsNotAPlacedProgram) {
    std::vector<uint8_t> bytes;
    EXPECT_NE(plx_mem_copy_program(tables(), 3, bytes), "") << "a free filter number";
    EXPECT_NE(plx_mem_copy_program(tables(), 8, bytes), "") << "out of range";
    ASSERT_NE(compile_rules("x", {{{{PLX_FIELD_PROTOCOL, 6, 6}}, test_action(1)}}, test_action(2)),
              nullptr);
    const uint32_t id = plx_mem_current_filter();
    filt_[id].num_blocks = 300;  // an entry pointing past filter memory
    EXPECT_NE(plx_mem_copy_program(tables(), id, bytes).find("outside"), std::string::npos);
    filt_[id].num_blocks = 1;  // shorter than the program's own length
    EXPECT_NE(plx_mem_copy_program(tables(), id, bytes).find("claims"), std::string::npos);
    EXPECT_TRUE(bytes.empty());
}

}  // namespace
