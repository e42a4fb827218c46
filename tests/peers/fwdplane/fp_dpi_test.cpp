// Application recognition in the forwarding plane, over flows crafted the way pcapgen writes
// them and the shared tables as the daemon fills them at start-up.
#include <gtest/gtest.h>

#include <vector>

#include "daemon/plx_ctx.h"
#include "dpi/plx_dpi.h"
#include "peers/fwdplane/fp_dpi.h"
#include "platform/dpi/dpi_engine.h"
#include "tests/support/fp_test_env.h"
#include "tools/pcapgen/pcap_craft.h"

namespace {

constexpr craft_endpoints kEp{0x0A000001, 0xC6336407, 40001, 0};

class FpDpiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(fp_shm_attach(true, true), 0);
        ASSERT_EQ(plx_dpi_init(&ctx_), 0);  // the daemon fills the family table
        t_ = plx_dpi_tables_from_shm();
        *t_.state = 1;  // a policy needs recognition
    }
    void TearDown() override { plx_dpi_destroy(); }

    // Runs the packets through recognition; returns their fields.
    std::vector<fp_packet> feed(FpDpi &dpi, const std::vector<craft_packet> &pkts,
                                uint64_t t0_ns = 1000000000ull) {
        std::vector<fp_packet> out;
        for (size_t i = 0; i < pkts.size(); ++i) {
            fp_packet p;
            EXPECT_TRUE(fp_parse_ip(pkts[i].data(), pkts[i].size(), p, nullptr));
            p.time_ns = t0_ns + i * 1000000ull;
            dpi.classify(p);
            out.push_back(p);
        }
        return out;
    }
    uint32_t id(const char *name) { return static_cast<uint32_t>(dpi_proto_id(name)); }

    FpTestEnv env_;
    plx_ctx ctx_{};
    plx_dpi_tables t_;
};

TEST_F(FpDpiTest, TlsFlowToAKnownServiceIsRecognisedAndCountedOnce) {
    FpDpi dpi(t_, {});
    craft_endpoints ep = kEp;
    ep.server_port = 443;
    auto pkts = feed(dpi, craft_tls_flow(ep, "www.youtube.com"));
    uint32_t youtube = id("youtube");
    ASSERT_GT(youtube, 1u);
    EXPECT_EQ(pkts.back().field[FPF_APP], youtube);
    EXPECT_EQ(pkts.back().field[FPF_APP_FAMILY], t_.family[youtube]);
    EXPECT_NE(pkts.back().field[FPF_APP_FAMILY], 0u);
    EXPECT_EQ(pkts.back().field[FPF_DNS], 0u);
    dpi.flush();
    dpi.flush();
    EXPECT_EQ(t_.hits[youtube], 1u);
    EXPECT_EQ(dpi.stats().flows, 1u) << "both directions are one flow";
}

TEST_F(FpDpiTest, HttpHostAndDnsQueriesFillTheirFields) {
    FpDpi dpi(t_, {});
    craft_endpoints ep = kEp;
    ep.server_port = 80;
    auto http = feed(dpi, craft_http_flow(ep, "www.facebook.com"));
    EXPECT_EQ(http.back().field[FPF_APP], id("facebook"));

    ep.server_port = 53;
    auto dns = feed(dpi, craft_dns_flow(ep, "www.netflix.com", 7, true));
    ASSERT_EQ(dns.size(), 2u);
    EXPECT_EQ(dns[0].field[FPF_DNS], 1u);
    EXPECT_EQ(dns[1].field[FPF_DNS], 2u);
    EXPECT_EQ(dns[0].field[FPF_APP], id("dns"));
    EXPECT_EQ(dns[0].field[FPF_DNS_APP], id("netflix"));
    EXPECT_EQ(dns[0].field[FPF_DNS_APP_FAMILY], t_.family[id("netflix")]);
    dpi.flush();
    EXPECT_EQ(t_.hits[id("facebook")], 1u);
    EXPECT_EQ(t_.hits[id("dns")], 1u);
}

TEST_F(FpDpiTest, IdleFlowsEndAsUnclassifiedAndNothingRunsWhileNoPolicyNeedsIt) {
    FpDpi dpi(t_, {.idle_ns = 5000000000ull, .max_flows = 1, .force = false});
    craft_endpoints ep = kEp;
    ep.server_port = 9;
    auto syn = craft_tls_flow(ep, "x").front();  // a bare SYN to the discard port
    feed(dpi, {syn});
    EXPECT_EQ(dpi.flow_count(), 1u);
    // The table holds one flow: a second one goes unrecognised until the first expires.
    ep.client_port = 40002;
    auto other = craft_tls_flow(ep, "x").front();
    feed(dpi, {other}, 2000000000ull);
    EXPECT_EQ(dpi.stats().table_full, 1u);
    feed(dpi, {other}, 7000000000ull);
    EXPECT_EQ(t_.hits[DPI_PROTO_UNCLASSIFIED], 1u);
    EXPECT_EQ(dpi.flow_count(), 1u);

    // Hits beyond the bound are not counted (a clear in progress).
    t_.hits[0] = 0;
    dpi.flush();
    EXPECT_EQ(t_.hits[DPI_PROTO_UNCLASSIFIED], 1u);

    *t_.state = 0;
    auto off = feed(dpi, craft_dns_flow(ep, "www.netflix.com", 1, false));
    EXPECT_EQ(off[0].field[FPF_APP] + off[0].field[FPF_DNS], 0u);
    EXPECT_EQ(dpi.flow_count(), 0u);
}

}  // namespace
