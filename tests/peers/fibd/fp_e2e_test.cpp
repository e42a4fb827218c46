// End to end without the daemon: the real fwdplane and fibd programs, and this test standing in
// for plxd (program memory, the compiler and the forwarding-table link).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/msgq_util.h"
#include "common/qrv_util.h"
#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "fplink/fp_common.h"
#include "peers/fwdplane/fp_packet.h"
#include "peers/peer_util/peer_loop.h"
#include "progmem/plx_if_fpmem.h"
#include "tests/peers/fwdplane/fp_test_programs.h"
#include "tests/support/fp_test_env.h"
#include "tests/support/test_process.h"

namespace {

struct PlxdStandIn {
    PeerLoop loop;
    msgq_handle *q = nullptr;
    plx_ctx ctx{};
    int ups = 0;
};

void on_up(msgq_handle *, void *arg) {
    ++static_cast<PlxdStandIn *>(arg)->ups;
}
void on_nothing(msgq_handle *, void *) {}
void on_recv(msgq_handle *q, uint8_t *p, uint32_t, void *) {
    msgq_free(q, p);
}

class FpEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(env_.root() + "/var/run");
        fwdplane_ = spawn({FWDPLANE_BIN, "-w", "-q"});
        ASSERT_TRUE(s_.loop.ok());
        s_.ctx.tmr_mgr = s_.loop.tmr();
        s_.ctx.evbase = s_.loop.base();
        ops_ = plx_fpmem_ops();
        s_.ctx.mem_ops = &ops_;
        // Waits for the forwarding plane's ready flag.
        ASSERT_EQ(plx_mem_init(&s_.ctx, true), 0);
        msgq_params params = s_.loop.local_queue_params();
        msgq_callbacks cbs{on_up, on_nothing, on_nothing, on_recv, nullptr, nullptr};
        s_.q = msgq_init(QRV_MOD_PLXD, QRV_MOD_FIBD, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, &s_);
        ASSERT_NE(s_.q, nullptr);
        journal_ = env_.root() + "/fibd.journal";
        fibd_ = spawn({FIBD_BIN, "-q", "-j", journal_});
        ASSERT_TRUE(run_until([&] { return s_.ups == 1; }, 10000)) << "fibd did not connect";
    }
    void TearDown() override {
        stop_process(fibd_);
        stop_process(fwdplane_);
        if (s_.q)
            msgq_deinit(s_.q);
        plx_mem_destroy();
    }
    // Runs the event loop and the timer wheel (real time) until pred holds or timeout_ms passed.
    bool run_until(const std::function<bool()> &pred, int timeout_ms) {
        return s_.loop.run_until(pred, timeout_ms);
    }
    void send(const std::vector<uint8_t> &bytes) {
        uint8_t *buf = msgq_alloc(s_.q, static_cast<uint32_t>(bytes.size()));
        ASSERT_NE(buf, nullptr);
        memcpy(buf, bytes.data(), bytes.size());
        ASSERT_EQ(msgq_write(s_.q, buf, static_cast<uint32_t>(bytes.size())), 0);
    }
    std::vector<std::string> journal_lines() {
        std::vector<std::string> out;
        std::ifstream in(journal_);
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }

    FpTestEnv env_;
    PlxdStandIn s_;
    ProgramMemoryOps ops_{};
    pid_t fwdplane_ = -1, fibd_ = -1;
    std::string journal_;
};

TEST_F(FpEndToEnd, BindReplayCountClearAndDelayedRelease) {
    const std::string data =
        std::getenv("PLX_TEST_DATA") ? std::getenv("PLX_TEST_DATA") : "/work/shared/data";
    const std::string trace = data + "/classbench/acl1_1k_trace";
    std::vector<TestRule> rules = classbench_rules(data + "/classbench/acl1_1k", 60);
    ASSERT_EQ(rules.size(), 60u);
    PolicyProgram *prog = compile_rules("acl1", rules, test_action(PLX_ACT_ACCEPT));
    ASSERT_NE(prog, nullptr);
    uint32_t filter = plx_mem_current_filter();
    EXPECT_EQ(filter, 0u);

    // Bind for VPN 7, then a truncated message, then DPI off: the connection survives.
    fib_policy_msg bind;
    bind.filter_type = 1;
    bind.direction = 3;
    bind.filter_id = filter;
    bind.name = "acl1";
    bind.vpn_ids = {7};
    std::vector<uint8_t> wire;
    ASSERT_EQ(fib_msg_encode(bind, wire), 0);
    send(wire);
    send(std::vector<uint8_t>(wire.begin(), wire.begin() + 20));
    send({FIB_MSG_DPI_OFF});
    fp_fib_ctrl *ctrl = fp_fib_ctrl_tbl();
    ASSERT_TRUE(run_until([&] { return fp_load(ctrl->messages) == 2; }, 5000));
    EXPECT_EQ(fp_load(ctrl->rejected), 1u);
    EXPECT_EQ(fp_vpn_bindings()[7].bound, fp_data_bound_bit(FP_DIR_ALL));
    EXPECT_EQ(fp_vpn_data_filter(fp_vpn_bindings()[7], FP_DIR_ALL), filter);
    std::vector<std::string> lines = journal_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\"op\":\"policy-bind\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"name\":\"acl1\",\"vpn_ids\":[7]"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"error\":\"truncated"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("\"op\":\"dpi-off\""), std::string::npos) << lines[2];

    // Replay the trace through the running forwarding plane's tables.
    pid_t replay = spawn({FWDPLANE_BIN, "-r", "-q", "-v", "7", trace});
    ASSERT_EQ(wait_exit(replay), 0);

    // Hits per rule equal a linear first-match classification of the same packets.
    std::vector<uint64_t> expect(rules.size(), 0);
    std::ifstream in(trace);
    uint64_t total = 0;
    for (std::string line; std::getline(in, line);) {
        fp_packet p;
        if (!fp_parse_trace_line(line, 64, p, nullptr, nullptr))
            continue;
        ++total;
        int r = first_match(rules, p.field.data());
        if (r >= 0)
            ++expect[r];
    }
    uint64_t matched = 0;
    for (size_t i = 0; i < rules.size(); ++i) {
        uint64_t pk = 0, by = 0;
        plx_program_sum_counters(prog, ("r" + std::to_string(i)).c_str(), &pk, &by);
        EXPECT_EQ(pk, expect[i]) << "rule " << i;
        EXPECT_EQ(by, expect[i] * 64) << "rule " << i;
        matched += pk;
    }
    EXPECT_GT(matched, 0u);
    EXPECT_LT(matched, total);
    // Clearing flips the bank: the sums read zero, the old bank is zeroed.
    for (size_t i = 0; i < rules.size(); ++i) {
        std::string name = "r" + std::to_string(i);
        plx_program_clear_counters(prog, name.c_str());
        uint64_t pk = 0, by = 0;
        plx_program_sum_counters(prog, name.c_str(), &pk, &by);
        EXPECT_EQ(pk + by, 0u) << name;
    }

    // A freed program stays while the forwarding plane keeps using it, and goes within about
    // a second once it stops.
    replay = spawn({FWDPLANE_BIN, "-r", "-q", "-n", "0", "-R", "2000", "-v", "7", trace});
    FilterEntry &fe = fp_filters()[filter];
    ASSERT_TRUE(run_until([&] { return (fp_load(fe.activity) & 1) != 0; }, 5000));
    plx_mem_free(prog);
    run_until([] { return false; }, 1500);
    EXPECT_EQ(plx_mem_pending_releases(), 1);
    EXPECT_EQ(fp_load(fe.valid), 1);
    stop_process(replay);
    auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_until([] { return plx_mem_pending_releases() == 0; }, 3000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(1600));
    EXPECT_EQ(fp_load(fe.valid), 0);
    void *again = plx_mem_alloc(1000);
    EXPECT_EQ(again, fp_filter_mem()) << "blocks reused";
    EXPECT_EQ(plx_mem_current_filter(), filter) << "filter number reused";
}

}  // namespace
