// Commits the policy manager cannot apply are refused by the database, with a message that names
// the node and the reason, while their valid neighbours still commit; the example configurations
// are valid for yanglint and for the database alike; the next-hop text type takes exactly the
// addresses the policy manager's address parser takes.

#include <gtest/gtest.h>
#include <libyang/libyang.h>

#include <random>

#include "common/ip_util.h"
#include "tests/e2e/router_harness.h"

namespace {

using e2e::CmdResult;
using e2e::Router;

const std::string kDemo = std::string(PLX_SOURCE_DIR) + "/examples/demo/config.xml";

class YangRefusals : public ::testing::Test {
  protected:
    void SetUp() override {
        router_.start("cdbd");
        CmdResult r = router_.cli("load " + kDemo);
        ASSERT_EQ(r.rc, 0) << r.out;
    }

    Router router_;
};

struct Refusal {
    std::string args;    // cdbcli arguments
    const char *reason;  // what the message must say
    const char *where;   // the node it must name
};

TEST_F(YangRefusals, UnappliableCommitsAreRefusedWithPathAndReason) {
    const std::string acl = "/policy/access-list{lan-in}/sequence{30}";
    const std::string dp = "/policy-from-qctrl/data-policy{branch-data}/vpn-list{corp-vpns}";
    const std::string ar = "/policy-from-qctrl/app-route-policy{branch-apps}/vpn-list{corp-vpns}";
    const std::string vl = "/policy-from-qctrl/lists/vpn-list{corp-vpns}";
    const std::vector<Refusal> cases = {
        {"set '" + vl + "/vpn{10-10}'", "must not overlap", "vpn"},
        {"set '" + vl + "/vpn{21}'", "must not overlap", "vpn"},
        {"set '" + vl + "/vpn{5-25}'", "must not overlap", "vpn"},
        {"set '" + acl + "/action/set/next-hop' '::1.2.3.04'", "expected an IPv4 or IPv6 address",
         "next-hop"},
        {"set '" + dp + "/sequence{10}/action/set/next-hop' '1.2.3.004'",
         "expected an IPv4 or IPv6 address", "next-hop"},
        {"set '" + acl + "/action/set/next-hop' '2001:db8::1'",
         "IPv4 access list needs an IPv4 next-hop", "next-hop"},
        {"set '/policy/ipv6/access-list{lan6-in}/sequence{5}/action/set/next-hop' '10.0.0.1'",
         "IPv6 access list needs an IPv6 next-hop", "next-hop"},
        {"set '/policy-from-qctrl/policer{p1}/rate' 1000", "Mandatory", "burst"},
        {"set '/policy/policer{p2}/burst' 15000", "Mandatory", "rate"},
        {"delete '/policy-from-qctrl/lists/data-prefix-list{datacenter}/ip-prefix{10.100.0.0/16}'",
         "Too few", "ip-prefix"},
        {"delete '/policy-from-qctrl/lists/app-list{voice-apps}/app{sip}'", "Mandatory choice",
         "kind"},
        {"set '" + ar + "/sequence{10}/action/sla/sla-class' realtme", "no SLA class of that name",
         "sla-class"},
        {"set '" + ar + "/sla-class' realtme", "no SLA class of that name", "sla-class"},
        {"delete '/policy-from-qctrl/sla-class{business}'", "no SLA class of that name",
         "sla-class"},
        {"set '/vpn/vpn-instance{20}/interface{ge0/1}'", "one VPN instance only", "interface"},
        {"delete '" + dp + "/sequence{10}/action/set/tloc/ip'", "a TLOC needs its ip", "tloc"},
        {"set '" + dp + "/sequence{30}/action/set/tloc-list' dc", "needs its qrv-tloc-pref-list",
         "tloc-list"},
        {"delete '" + dp + "/sequence{40}/action/set/tloc-list'", "only with a tloc-list",
         "qrv-tloc-pref-list"},
    };
    for (const Refusal &c : cases) {
        CmdResult r = router_.cli(c.args);
        EXPECT_NE(r.rc, 0) << c.args << " was committed";
        EXPECT_NE(r.out.find(c.reason), std::string::npos) << c.args << ": " << r.out;
        EXPECT_NE(r.out.find(c.where), std::string::npos) << c.args << ": " << r.out;
    }
    // Their valid neighbours commit.
    for (const std::string &args : std::vector<std::string>{
             "set '" + vl + "/vpn{23-30}'",
             "set '" + acl + "/action/set/next-hop' '10.1.2.3'",
             "set '" + dp + "/sequence{10}/action/set/next-hop' '::ffff:1.2.3.4'",
             std::string("set '/vpn/vpn-instance{20}/interface{ge0/2}'"),
             "set '" + ar + "/sequence{10}/action/sla/sla-class' realtime",
             "set '" + ar + "/sla-class' __all_tunnels__",
         }) {
        CmdResult r = router_.cli(args);
        EXPECT_EQ(r.rc, 0) << args << ": " << r.out;
    }
}

TEST_F(YangRefusals, ExamplesAreValidForYanglintAndTheDatabase) {
    const std::string y = PLX_YANG_MODELS_DIR;
    for (const char *example : {"examples/default-config.xml", "examples/router-config.xml",
                                "examples/router-config.json", "examples/demo/config.xml"}) {
        const std::string file = std::string(PLX_SOURCE_DIR) + "/" + example;
        CmdResult lint =
            e2e::run_cmd("yanglint -p " + y + " -t config " + y + "/quorvel-policy.yang " + y +
                         "/quorvel-vpn.yang " + y + "/quorvel-snmp.yang " + file);
        EXPECT_EQ(lint.rc, 0) << example << ": " << lint.out;
        CmdResult db = router_.cli("load --replace " + file);
        EXPECT_EQ(db.rc, 0) << example << ": " << db.out;
    }
}

// The next-hop type is a string that the policy manager parses itself: a text the type accepts
// and the parser refuses would reach a reader it cannot apply.
TEST(NextHopText, TypeAcceptsExactlyWhatTheAddressParserTakes) {
    ly_ctx *ctx = nullptr;
    ly_log_options(0);
    ASSERT_EQ(ly_ctx_new(PLX_YANG_MODELS_DIR, LY_CTX_NO_YANGLIBRARY, &ctx), LY_SUCCESS);
    ASSERT_NE(ly_ctx_load_module(ctx, "quorvel-policy", nullptr, nullptr), nullptr);
    const lysc_node *leaf = lys_find_path(
        ctx, nullptr, "/quorvel-policy:policy/access-list/sequence/action/set/next-hop", 0);
    ASSERT_NE(leaf, nullptr);
    auto check = [&](const std::string &text) {
        plx_ip_addr a{};
        const bool parsed = plx_ip_from_str(text.c_str(), &a) == 0;
        const bool typed = lyd_value_validate(ctx, leaf, text.c_str(), text.size(), nullptr,
                                              nullptr, nullptr) == LY_SUCCESS;
        EXPECT_EQ(typed, parsed) << "'" << text << "'";
    };
    for (const char *t : {"::1.2.3.04",
                          "::1.2.3.4",
                          "1.2.3.4",
                          "01.2.3.4",
                          "::",
                          "1::",
                          "::1",
                          "1:2:3:4:5:6:7:8",
                          "1:2:3:4:5:6:7::",
                          "::2:3:4:5:6:7:8",
                          "1::2:3:4:5:6:7",
                          "1::2:3:4:5:6:7:8",
                          "1:2:3:4:5:6:1.2.3.4",
                          "1:2:3:4:5:6:7:1.2.3.4",
                          "::ffff:255.255.255.255",
                          "::ffff:256.1.1.1",
                          "12345::",
                          "1:::2",
                          "1::2::3",
                          ":1::",
                          "1.2.3",
                          "1.2.3.4.5",
                          "",
                          "abcd:EF01::"})
        check(t);
    std::mt19937 rng(18);
    const char alphabet[] = "0123456789aF:.";
    for (int i = 0; i < 20000; ++i) {
        std::string s;
        for (int n = static_cast<int>(rng() % 22); n > 0; --n)
            s += alphabet[rng() % (sizeof alphabet - 1)];
        check(s);
    }
    ly_ctx_destroy(ctx);
}

}  // namespace
