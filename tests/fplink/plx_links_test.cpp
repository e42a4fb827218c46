// plxd's hbusd and fibd links: TLOC messages and what they rebuild, stand-ins for both peers that
// send what the real peers never would, and the real fibd and forwarding plane. (The real hbusd
// driven by hbusctl is exercised with the whole router in tests/daemon.)
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "common/msgq_util.h"
#include "common/plx_status.h"
#include "common/qrv_util.h"
#include "daemon/plx_ctx.h"
#include "fplink/plx_fibd.h"
#include "fplink/plx_hbus.h"
#include "peers/peer_util/peer_loop.h"
#include "policy/plx_config.h"
#include "tests/support/fp_test_env.h"
#include "tests/support/test_process.h"

namespace {

using namespace plx::cfg;

int g_reprocessed = 0;

hbus_msg tloc_msg(uint32_t type, uint32_t originator, uint8_t color) {
    hbus_msg m{};
    m.type = type;
    m.source = QRV_MOD_HBUSD;
    m.family = HBUS_AF_INET;
    m.originator = originator;
    m.color = color;
    m.encap = 2;
    m.status = 1;
    m.preference = 100;
    return m;
}

tloc_key key_of(uint32_t originator, uint8_t color) {
    return tloc_key_v4(htonl(originator), color, 2);
}

class LinksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(env_.root() + "/var/run");
        ASSERT_TRUE(loop_.ok());
        ctx_.evbase = loop_.base();
        ctx_.tmr_mgr = loop_.tmr();
        ctx_.policy = &db_;
        ASSERT_EQ(plx_policy_init(&db_), 0);
        g_reprocessed = 0;
        ctx_.hooks.tloc_reprocess = [](plx_ctx *) { ++g_reprocessed; };
    }
    void TearDown() override {
        plx_hbus_link_deinit(&ctx_);
        plx_fibd_link_deinit(&ctx_);
        for (pid_t p : children_)
            stop_process(p);
    }
    bool run_until(const std::function<bool()> &pred, int ms = 10000) {
        return loop_.run_until(pred, ms);
    }
    FpTestEnv env_;
    PeerLoop loop_;
    plx_ctx ctx_{};
    plx_policy_db db_;
    std::vector<pid_t> children_;
};

TEST_F(LinksTest, TlocStateDecidesWhetherRulesAreReprocessed) {
    // A data policy whose rule 10 sets the TLOC 10.0.0.1 mpls ipsec (created unresolved).
    ASSERT_EQ(plx_config_policy_add(&db_, PLX_POLICY_TYPE_DATA, "p", 1), 0);
    ASSERT_EQ(plx_config_vpn_list_add(&db_, "v"), 0);
    ASSERT_EQ(plx_config_policy_vpn_list_add(&db_, PLX_POLICY_TYPE_DATA, "p", "v",
                                             PLX_ACTION_VERB_ACCEPT, ""),
              0);
    ASSERT_EQ(plx_config_rule_add(&db_, PLX_POLICY_TYPE_DATA, "p", "v", 10), 0);
    action_value a;
    a.action_type = PLX_ACTION_SET_TLOC;
    a.tloc = key_of(0x0A000001, 2);
    ASSERT_EQ(plx_config_action_add(&db_, PLX_POLICY_TYPE_DATA, "p", "v", 10, 1, a), 0);
    policy *pol = plx_config_policy_find(&db_, PLX_POLICY_TYPE_DATA, "p");
    pol->changed = 0;
    hbus_msg m = tloc_msg(HBUS_MSG_TLOC_UPDATE, 0x0A000001, 2);
    tloc *t = plx_config_tloc_find(&db_, key_of(0x0A000001, 2));
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->resolved, 0);
    // Values the policy-created TLOC already holds still resolve it and rebuild its users.
    m.preference = 0;
    m.status = 0;
    EXPECT_EQ(plx_tloc_update(&ctx_, m), 0);
    EXPECT_EQ(t->resolved, 1);
    EXPECT_EQ(g_reprocessed, 1);
    EXPECT_EQ(pol->changed, 1);
    // Unchanged values, and a change of the local flag alone, do nothing more.
    m.local = 1;
    EXPECT_EQ(plx_tloc_update(&ctx_, m), 0);
    EXPECT_EQ(t->local, 1);
    EXPECT_EQ(g_reprocessed, 1);
    m.weight = 3;
    EXPECT_EQ(plx_tloc_update(&ctx_, m), 0);
    EXPECT_EQ(g_reprocessed, 2);
    EXPECT_EQ(t->weight, 3u);

    // Another family is refused and changes nothing.
    hbus_msg v6 = tloc_msg(HBUS_MSG_TLOC_UPDATE, 0x0A000009, 2);
    v6.family = 10;
    EXPECT_EQ(plx_tloc_update(&ctx_, v6), PLX_EBADMSG);
    EXPECT_EQ(plx_tloc_withdraw(&ctx_, v6), PLX_EBADMSG);
    EXPECT_EQ(db_.tlocs.count(), 1u);

    // A TLOC no rule names goes on withdrawal; one in use stays, unresolved, and is rebuilt.
    ASSERT_EQ(plx_tloc_update(&ctx_, tloc_msg(HBUS_MSG_TLOC_UPDATE, 0x0A000002, 2)), 0);
    EXPECT_EQ(db_.tlocs.count(), 2u);
    EXPECT_EQ(g_reprocessed, 3);
    EXPECT_EQ(plx_tloc_withdraw(&ctx_, tloc_msg(HBUS_MSG_TLOC_WITHDRAW, 0x0A000002, 2)), 0);
    EXPECT_EQ(db_.tlocs.count(), 1u);
    EXPECT_EQ(g_reprocessed, 3);
    pol->changed = 0;
    EXPECT_EQ(plx_tloc_withdraw(&ctx_, m), 0);
    EXPECT_EQ(plx_config_tloc_find(&db_, key_of(0x0A000001, 2)), t);
    EXPECT_EQ(t->resolved, 0);
    EXPECT_EQ(g_reprocessed, 4);
    EXPECT_EQ(pol->changed, 1);
}

// Stand-ins for both peers send junk; plxd logs and drops it and keeps both connections.
TEST_F(LinksTest, MalformedMessagesAreRefusedAndConnectionsStay) {
    struct Peer {
        std::vector<hbus_msg> got;
        bool up = false;
    } hbusd, fibd;
    msgq_params params = loop_.local_queue_params();
    msgq_callbacks cbs{[](msgq_handle *, void *a) { static_cast<Peer *>(a)->up = true; },
                       [](msgq_handle *, void *) {},
                       [](msgq_handle *, void *) {},
                       [](msgq_handle *q, uint8_t *p, uint32_t n, void *a) {
                           hbus_msg m;
                           if (hbus_msg_decode(&m, p, n) == 0)
                               static_cast<Peer *>(a)->got.push_back(m);
                           msgq_free(q, p);
                       },
                       nullptr,
                       nullptr};
    msgq_handle *hq =
        msgq_init(QRV_MOD_HBUSD, QRV_MOD_PLXD, MSGQ_HANDLE_TYPE_SERVER, &params, &cbs, &hbusd);
    ASSERT_EQ(plx_fibd_link_init(&ctx_), 0);
    ASSERT_EQ(plx_hbus_link_init(&ctx_), 0);
    msgq_handle *fq =
        msgq_init(QRV_MOD_FIBD, QRV_MOD_PLXD, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, &fibd);
    ASSERT_TRUE(run_until([&] { return hbusd.got.size() == 2 && fibd.up; }));
    for (uint32_t sel : {0u, 1u})  // the subscriptions
        EXPECT_EQ(std::tuple(hbusd.got[sel].type, hbusd.got[sel].source, hbusd.got[sel].selector,
                             hbusd.got[sel].flag_a, hbusd.got[sel].flag_b),
                  std::tuple(HBUS_MSG_SUBSCRIBE, 9u, sel, 1, 0));

    auto send = [](msgq_handle *q, const std::vector<uint8_t> &bytes) {
        uint8_t *buf = msgq_alloc(q, static_cast<uint32_t>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), buf);
        ASSERT_EQ(msgq_write(q, buf, static_cast<uint32_t>(bytes.size())), 0);
    };
    auto wire = [](const hbus_msg &m) {
        std::vector<uint8_t> out(HBUS_WIRE_MAX);
        uint16_t len = 0;
        hbus_msg_encode(&m, out.data(), &len);
        out.resize(len);
        return out;
    };
    std::vector<uint8_t> good = wire(tloc_msg(HBUS_MSG_TLOC_UPDATE, 0x0A000005, 4));
    hbus_msg v6 = tloc_msg(HBUS_MSG_TLOC_UPDATE, 0x0A000006, 4);
    v6.family = 10;
    send(hq, {1, 2, 3});
    send(hq, std::vector<uint8_t>(good.begin(), good.end() - 1));
    send(hq, wire(v6));
    send(hq, good);
    send(fq, {FIB_MSG_POLICY_BIND, 0xFF});
    ASSERT_TRUE(run_until([&] { return db_.tlocs.count() == 1; }));
    ASSERT_TRUE(run_until([&] { return msgq_get_stat(ctx_.fibd_msgq, MSGQ_STAT_RX_MSG) == 1; }));
    EXPECT_NE(plx_config_tloc_find(&db_, key_of(0x0A000005, 4)), nullptr);
    EXPECT_TRUE(msgq_is_ready(ctx_.hbus_msgq));
    EXPECT_TRUE(msgq_is_ready(ctx_.fibd_msgq));
    EXPECT_EQ(msgq_get_stat(ctx_.hbus_msgq, MSGQ_STAT_CONN_DOWN), 0u);
    EXPECT_EQ(msgq_get_stat(ctx_.fibd_msgq, MSGQ_STAT_CONN_DOWN), 0u);
    msgq_deinit(fq);
    msgq_deinit(hq);
}

// The journal lines of fibd without their per-process sequence numbers.
std::vector<std::string> journal(const std::string &path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        out.push_back(std::regex_replace(l, std::regex("^\\{\"seq\":[0-9]+,"), "{"));
    return out;
}

TEST_F(LinksTest, RestartedFibdGetsEveryBindingAgainInOrder) {
    for (const char *v : {"v-empty", "v-mixed"})
        ASSERT_EQ(plx_config_vpn_list_add(&db_, v), 0);
    ASSERT_EQ(plx_config_vpn_range_add(&db_, "v-mixed", 10, 10), 0);
    ASSERT_EQ(plx_config_vpn_range_add(&db_, "v-mixed", 1, 3), 0);
    ASSERT_EQ(plx_config_policy_add(&db_, PLX_POLICY_TYPE_PFR, "pb", 0), 0);
    ASSERT_EQ(plx_config_policy_add(&db_, PLX_POLICY_TYPE_DATA, "pa", 3), 0);
    auto apply = [&](uint32_t type, const char *p, const char *v, uint32_t filter) {
        ASSERT_EQ(plx_config_policy_vpn_list_add(&db_, type, p, v, PLX_ACTION_VERB_ACCEPT, ""), 0);
        policy_vpn_list *pvl = plx_config_policy_vpn_list_find(&db_, type, p, v);
        pvl->filter_type = type;
        pvl->direction = type == PLX_POLICY_TYPE_DATA ? 3 : 0;
        pvl->filter_id = filter;
    };
    apply(PLX_POLICY_TYPE_PFR, "pb", "v-mixed", 2);
    apply(PLX_POLICY_TYPE_DATA, "pa", "v-mixed", 1);
    apply(PLX_POLICY_TYPE_DATA, "pa", "v-empty", 0);
    ctx_.hooks.acl_resend = [](plx_ctx *ctx) {
        for (uint8_t family : {0, 1}) {
            fib_acl_msg m;
            m.family = family;
            m.filter_id = 3 + family;
            m.name = "acl" + std::to_string(family);
            m.bindings = {{7, 1, "ge0/" + std::to_string(family)}};
            EXPECT_EQ(plx_fibd_send(ctx, m), 0);
        }
    };
    ASSERT_EQ(plx_fibd_link_init(&ctx_), 0);
    children_.push_back(spawn({FWDPLANE_BIN, "-w", "-q"}));
    const std::string path = env_.root() + "/fibd.journal";
    pid_t fibd = spawn({FIBD_BIN, "-q", "-j", path});
    ASSERT_TRUE(run_until([&] { return journal(path).size() == 5; }));
    std::vector<std::string> first = journal(path);
    const char *expected[] = {
        "\"filter_type\":1,\"direction\":3,\"filter_id\":0,\"name\":\"pa\",\"vpn_ids\":[]",
        "\"filter_id\":1,\"name\":\"pa\",\"vpn_ids\":[1,2,3,10]",
        "\"filter_type\":2,\"direction\":0,\"filter_id\":2,\"name\":\"pb\"", "\"name\":\"acl0\"",
        "\"name\":\"acl1\""};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_NE(first[i].find(expected[i]), std::string::npos) << first[i];

    kill(fibd, SIGKILL);
    wait_exit(fibd);
    children_.push_back(spawn({FIBD_BIN, "-q", "-j", path}));
    ASSERT_TRUE(run_until([&] { return journal(path).size() >= 10; }));
    run_until([] { return false; }, 300);
    std::vector<std::string> all = journal(path);
    ASSERT_EQ(all.size(), 10u) << "the resend and nothing else";
    EXPECT_EQ(std::vector<std::string>(all.begin() + 5, all.end()), first);
}

}  // namespace
