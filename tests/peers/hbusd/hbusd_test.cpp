#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/msgq_util.h"
#include "common/qrv_util.h"
#include "peers/hbusd/hbusd_server.h"
#include "peers/peer_util/peer_loop.h"
#include "tests/support/fp_test_env.h"

namespace {

TEST(HbusdTlocs, FileLoadsWholeOrNotAtAllAndNamesTheBadLine) {
    FpTestEnv env;
    const std::string path = env.root() + "/tlocs";
    std::ofstream(path) << "# two TLOCs, the second given twice\n\n"
                        << "10.0.0.1 mpls ipsec index=1 preference=100 # first\n"
                        << "10.0.0.2 7 gre local=yes status=down\n"
                        << "10.0.0.2 3g 1 weight=9\n";
    HbusTlocTable table;
    ASSERT_EQ(hbus_load_tloc_file(path, &table), "");
    ASSERT_EQ(table.size(), 2u);
    const HbusTloc &second = table.at({0x0A000002, 7, 1});
    EXPECT_EQ(second.weight, 9u);
    EXPECT_EQ(second.status, 0) << "a repeated key keeps what it does not give";
    EXPECT_TRUE(second.local);
    EXPECT_EQ(hbus_format_tloc(table.at({0x0A000001, 2, 2})),
              "10.0.0.1 mpls ipsec index=1 preference=100 weight=1 status=up local=no");

    for (const char *bad : {"10.0.0.300 mpls ipsec", "10.0.0.3 purple ipsec", "10.0.0.3 mpls",
                            "10.0.0.3 mpls vxlan", "10.0.0.3 mpls gre index=-1",
                            "10.0.0.3 mpls gre weight=4294967296", "10.0.0.3 mpls gre status=256",
                            "10.0.0.3 mpls gre color=red", "10.0.0.3 mpls gre local"}) {
        std::ofstream(path) << "10.0.0.9 red gre\n" << bad << "\n";
        HbusTlocTable t2 = table;
        std::string err = hbus_load_tloc_file(path, &t2);
        EXPECT_EQ(err.rfind(path + ":2: ", 0), 0u) << bad << ": " << err;
        EXPECT_EQ(t2, table) << bad;
    }
}

// A stand-in for plxd sends junk and an unexpected message type before subscribing: hbusd
// refuses them, keeps the connection and answers the subscription with its TLOCs.
TEST(HbusdServer, RefusesJunkFromPlxdAndAnswersTheSubscription) {
    FpTestEnv env;
    std::filesystem::create_directories(env.root() + "/var/run");
    PeerLoop loop;
    HbusTlocTable table;
    table[{0x0A000001, 2, 2}] = HbusTloc{{0x0A000001, 2, 2}, 5, 100, 1, 1, false};
    HbusdServer server(loop.base(), loop.tmr(), table, nullptr);
    ASSERT_EQ(server.start(), 0);

    struct Plxd {
        bool up = false;
        std::vector<hbus_msg> got;
    } plxd;
    msgq_params params = loop.local_queue_params();
    msgq_callbacks cbs{[](msgq_handle *, void *a) { static_cast<Plxd *>(a)->up = true; },
                       [](msgq_handle *, void *) {},
                       [](msgq_handle *, void *) {},
                       [](msgq_handle *q, uint8_t *p, uint32_t n, void *a) {
                           hbus_msg m;
                           EXPECT_EQ(hbus_msg_decode(&m, p, n), 0);
                           static_cast<Plxd *>(a)->got.push_back(m);
                           msgq_free(q, p);
                       },
                       nullptr,
                       nullptr};
    msgq_handle *q =
        msgq_init(QRV_MOD_PLXD, QRV_MOD_HBUSD, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, &plxd);
    ASSERT_TRUE(loop.run_until([&] { return plxd.up; }, 5000));
    auto send = [&](const hbus_msg *m, std::vector<uint8_t> raw) {
        uint8_t *buf = msgq_alloc(q, HBUS_WIRE_MAX);
        uint16_t len = static_cast<uint16_t>(raw.size());
        if (m)
            hbus_msg_encode(m, buf, &len);
        else
            std::copy(raw.begin(), raw.end(), buf);
        ASSERT_EQ(msgq_write(q, buf, len), 0);
    };
    hbus_msg sub{};
    sub.type = HBUS_MSG_SUBSCRIBE;
    sub.source = QRV_MOD_PLXD;
    hbus_msg stray = sub;
    stray.type = HBUS_MSG_TLOC_UPDATE;
    send(nullptr, {'H', 'B', 9});
    send(&stray, {});
    send(&sub, {});
    sub.selector = 1;
    send(&sub, {});
    ASSERT_TRUE(loop.run_until([&] { return plxd.got.size() == 1; }, 5000));
    EXPECT_EQ(server.counters().refused, 2u);
    EXPECT_TRUE(server.subscribed());
    EXPECT_EQ(plxd.got[0].type, HBUS_MSG_TLOC_UPDATE);
    EXPECT_EQ(plxd.got[0].originator, 0x0A000001u);
    EXPECT_EQ(plxd.got[0].index, 5u);

    // Changes go out at once; a refused command changes nothing.
    EXPECT_EQ(server.run_command("update 10.0.0.1 mpls ipsec weight=2").substr(0, 3), "ok\n");
    EXPECT_EQ(server.run_command("withdraw 10.0.0.1 mpls ipsec").substr(0, 3), "ok\n");
    EXPECT_EQ(server.run_command("update 10.0.0.1 mpls ipsec weight=x").substr(0, 6), "error:");
    ASSERT_TRUE(loop.run_until([&] { return plxd.got.size() == 3; }, 5000));
    EXPECT_EQ(plxd.got[1].weight, 2u);
    EXPECT_EQ(plxd.got[2].type, HBUS_MSG_TLOC_WITHDRAW);
    EXPECT_TRUE(server.tlocs().empty());
    EXPECT_EQ(server.run_command("list"), "ok\n# plxd: subscribed\n");
    msgq_deinit(q);
}

}  // namespace
