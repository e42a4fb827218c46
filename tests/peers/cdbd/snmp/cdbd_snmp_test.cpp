// SNMP trap sender: target file, OID text, traps received by a real snmptrapd, and PLX-MIB
// agreeing with the object identifiers the server uses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "peers/cdbd/snmp/cdbd_snmp.h"
#include "tests/peers/cdbd/snmp/snmptrapd_fixture.h"

using namespace cdbd;

namespace {

SnmpOid oid(std::span<const uint32_t> arcs) {
    return SnmpOid(arcs.begin(), arcs.end());
}

TEST(SnmpTargets, ParsesTargetsByNotifyNameInFileOrder) {
    auto m = parse_snmp_targets_text(
        "# trap receivers\n"
        "\n"
        "notify ops target 10.0.0.1 162 public\n"
        "  notify\tops target 2001:db8::7 1162 s3cret   # second receiver\r\n"
        "notify noc target 127.0.0.1 9162 noc\n",
        "t", nullptr);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->size(), 2u);
    EXPECT_EQ(m->at("ops"), (std::vector<SnmpTarget>{{"10.0.0.1", 162, "public"},
                                                     {"2001:db8::7", 1162, "s3cret"}}));
    EXPECT_EQ(m->at("noc"), (std::vector<SnmpTarget>{{"127.0.0.1", 9162, "noc"}}));
}

TEST(SnmpTargets, BadLinesAreRefusedWithTheirLineNumber) {
    const std::string good = "notify a target 10.0.0.1 162 public\n# ok\n";
    const std::pair<std::string, std::string> cases[] = {
        {"target a 10.0.0.1 162 public", "unknown keyword 'target'"},
        {"notify a target 10.0.0.1 162", "expected 'notify NAME target"},
        {"notify a host 10.0.0.1 162 public", "expected 'notify NAME target"},
        {"notify a target 10.0.0.1 162 public extra", "expected 'notify NAME target"},
        {"notify a target router1 162 public", "'router1' is not an IPv4 or IPv6 address"},
        {"notify a target 10.0.0.256 162 public", "not an IPv4 or IPv6 address"},
        {"notify a target 10.0.0.2 0 public", "port '0' is not a number from 1 to 65535"},
        {"notify a target 10.0.0.2 65536 public", "port '65536'"},
        {"notify a target 10.0.0.2 16x public", "port '16x'"},
        {"notify " + std::string(32, 'n') + " target 10.0.0.2 1 c", "longer than 31 characters"},
        {"notify a target 10.0.0.2 1 " + std::string(256, 'c'), "community is longer"},
        {"notify a target 10.0.0.1 162 other", "given twice for notify name 'a'"},
    };
    for (const auto &[line, why] : cases) {
        std::string err;
        EXPECT_FALSE(parse_snmp_targets_text(good + line + "\n", "snmp.conf", &err)) << line;
        EXPECT_EQ(err.rfind("snmp.conf:3: ", 0), 0u) << err;
        EXPECT_NE(err.find(why), std::string::npos) << err;
    }
    std::string err;
    EXPECT_FALSE(parse_snmp_targets("/nonexistent/snmp-targets.conf", &err));
    EXPECT_NE(err.find("/nonexistent/snmp-targets.conf: cannot read"), std::string::npos) << err;
}

TEST(SnmpOidText, RoundTripsAndRefusesMalformedText) {
    EXPECT_EQ(snmp_oid_from_str(".1.3.6.1.4.1.99417"), oid(PLX_MIB_ROOT));
    EXPECT_EQ(snmp_oid_to_str(PLX_MIB_POLICY_STATUS), "1.3.6.1.4.1.99417.10.1.4");
    EXPECT_EQ(snmp_oid_from_str("1.3.4294967295"), (SnmpOid{1, 3, 4294967295u}));
    for (const char *bad : {"", ".", "1..3", "1.3.", "a.b", "1.3.4294967296", "1,3", " 1.3"})
        EXPECT_FALSE(snmp_oid_from_str(bad)) << bad;
}

class SnmpSend : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!snmpt::SnmpTrapd::available())
            GTEST_SKIP() << "snmptrapd is not installed";
        ASSERT_TRUE(trapd_.start()) << trapd_.error();
    }
    SnmpTarget target(const std::string &community = "public") {
        return {"127.0.0.1", trapd_.port(), community};
    }
    snmpt::SnmpTrapd trapd_;
};

TEST_F(SnmpSend, TrapCarriesUptimeTrapOidAndTypedVariablesInOrder) {
    SnmpTrap trap{"ops", oid(PLX_MIB_DATA_POLICY_ASSOCIATION_STATUS), {}, 4242};
    auto add = [&](SnmpOid o, SnmpValue v) {
        trap.varbinds.push_back({std::move(o), std::move(v)});
    };
    add(oid(PLX_MIB_POLICY_NAME), SnmpValue::make_string("corp policy"));
    add({1, 3, 6, 1, 4, 1, 99417, 99, 1}, SnmpValue::make_integer(-5));
    add({1, 3, 6, 1, 4, 1, 99417, 99, 2}, SnmpValue::make_unsigned(7));
    add({1, 3, 6, 1, 4, 1, 99417, 99, 3}, SnmpValue::make_counter64((1ull << 40) + 3));
    add({1, 3, 6, 1, 4, 1, 99417, 99, 4}, SnmpValue::make_ipv4({10, 1, 2, 3}));
    add({1, 3, 6, 1, 4, 1, 99417, 99, 5}, SnmpValue::make_oid(oid(PLX_MIB_ROOT)));
    SnmpTarget t = target();
    std::string err;
    ASSERT_EQ(cdbd_snmp_send(trap, std::span(&t, 1), &err), 0) << err;
    auto got = trapd_.wait_for(1);
    ASSERT_EQ(got.size(), 1u) << trapd_.log();
    const auto &r = got[0];
    EXPECT_EQ(r.community, "public");
    ASSERT_EQ(r.vars.size(), 8u) << trapd_.log();
    EXPECT_EQ(r.vars[0], std::make_pair(std::string("1.3.6.1.2.1.1.3.0"),
                                        std::string("Timeticks: (4242) 0:00:42.42")));
    EXPECT_EQ(r.vars[1].first, "1.3.6.1.6.3.1.1.4.1.0");
    EXPECT_EQ(r.trap_oid(), "1.3.6.1.4.1.99417.10.0.84");
    EXPECT_EQ(r.vars[2].first, "1.3.6.1.4.1.99417.10.1.1");
    EXPECT_EQ(r.vars[2].second, "STRING: \"corp policy\"");
    EXPECT_EQ(r.vars[3].second, "INTEGER: -5");
    EXPECT_EQ(r.vars[4].second, "Gauge32: 7");
    EXPECT_EQ(r.vars[5].second, "Counter64: 1099511627779");
    EXPECT_EQ(r.vars[6].second, "IpAddress: 10.1.2.3");
    EXPECT_EQ(r.vars[7].second, "OID: .1.3.6.1.4.1.99417");
}

TEST_F(SnmpSend, EveryGoodTargetGetsOneTrapAndBadOnesAreReported) {
    std::vector<SnmpTarget> targets = {
        target("public"), {"no-such-host", 162, "x"}, target("ops"), {"127.0.0.1", 0, "x"}};
    SnmpTrap trap{"ops", oid(PLX_MIB_ACCESS_LIST_ASSOCIATION_STATUS), {}, {}};
    std::string err;
    EXPECT_EQ(cdbd_snmp_send(trap, targets, &err), -1);
    EXPECT_NE(err.find("trap ops to no-such-host:162: 'no-such-host' is not an IPv4"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("trap ops to 127.0.0.1:0: port 0"), std::string::npos) << err;
    auto got = trapd_.wait_for(2);
    ASSERT_EQ(got.size(), 2u) << trapd_.log();
    EXPECT_EQ(got[0].community, "public");
    EXPECT_EQ(got[1].community, "ops");
    EXPECT_EQ(got[1].trap_oid(), "1.3.6.1.4.1.99417.10.0.85");
    EXPECT_EQ(cdbd_snmp_send(trap, {}, &err), 0);
}

TEST_F(SnmpSend, MalformedTrapIsRefusedWithoutSendingAnything) {
    SnmpTarget t = target();
    std::vector<SnmpTrap> bad(6);
    bad[0].notify_name = "a";
    bad[1] = {"b", {3, 1}, {}, {}};
    bad[2] = {"c", oid(PLX_MIB_ROOT), {}, {}};
    bad[2].varbinds.push_back({{1}, SnmpValue::make_integer(1)});
    bad[3] = {"d", oid(PLX_MIB_ROOT), {}, {}};
    bad[3].varbinds.push_back({oid(PLX_MIB_ROOT), SnmpValue::make_oid(SnmpOid(129, 1))});
    bad[4] = {"e", oid(PLX_MIB_ROOT), {}, {}};
    bad[4].varbinds.push_back({oid(PLX_MIB_ROOT), SnmpValue::make_string(std::string(65536, 'x'))});
    bad[5] = {"f", oid(PLX_MIB_ROOT), {}, {}};
    bad[5].varbinds.push_back({oid(PLX_MIB_ROOT), {SnmpType::IpAddress, 0, 0, "abc", {}}});
    for (const SnmpTrap &trap : bad) {
        std::string err;
        EXPECT_EQ(cdbd_snmp_send(trap, std::span(&t, 1), &err), -1) << trap.notify_name;
        EXPECT_EQ(err.rfind("trap " + trap.notify_name + ": ", 0), 0u) << err;
    }
    SnmpTrap good{"g", oid(PLX_MIB_ROOT), {}, {}};
    ASSERT_EQ(cdbd_snmp_send(good, std::span(&t, 1), nullptr), 0);
    auto got = trapd_.wait_for(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    got = trapd_.traps();
    ASSERT_EQ(got.size(), 1u) << trapd_.log();
    EXPECT_EQ(got[0].trap_oid(), "1.3.6.1.4.1.99417");
}

// The MIB file defines every name the server resolves, at the same OID: a receiver loading
// PLX-MIB prints each variable of a trap by the name the table gives it.
TEST(PlxMib, ReceiverLoadingTheMibNamesEveryObjectAsTheTableDoes) {
    if (!snmpt::SnmpTrapd::available())
        GTEST_SKIP() << "snmptrapd is not installed";
    EXPECT_FALSE(plx_mib_oid("quorvelNoSuchThing"));
    EXPECT_EQ(plx_mib_oid("quorvelPolicyName"), oid(PLX_MIB_POLICY_NAME));
    // Debian ships no IETF MIBs: the two modules PLX-MIB imports from, reduced to what it uses.
    snmpt::SnmpTrapd trapd;
    ASSERT_TRUE(trapd.start()) << trapd.error();  // for its temporary directory
    std::string mibs = trapd.dir() + "/mibs";
    std::filesystem::create_directories(mibs);
    std::ofstream(mibs + "/SNMPv2-SMI.txt")
        << "SNMPv2-SMI DEFINITIONS ::= BEGIN\n"
           "org OBJECT IDENTIFIER ::= { iso 3 }\ndod OBJECT IDENTIFIER ::= { org 6 }\n"
           "internet OBJECT IDENTIFIER ::= { dod 1 }\nprivate OBJECT IDENTIFIER ::= { internet 4 "
           "}\nenterprises OBJECT IDENTIFIER ::= { private 1 }\nEND\n";
    std::ofstream(mibs + "/SNMPv2-TC.txt")
        << "SNMPv2-TC DEFINITIONS ::= BEGIN\n"
           "DisplayString ::= TEXTUAL-CONVENTION\n DISPLAY-HINT \"255a\"\n STATUS current\n"
           " DESCRIPTION \"text\"\n SYNTAX OCTET STRING (SIZE (0..255))\n"
           "DateAndTime ::= TEXTUAL-CONVENTION\n DISPLAY-HINT \"2d-1d-1d,1d:1d:1d.1d,1a1d:1d\"\n"
           " STATUS current\n DESCRIPTION \"time\"\n SYNTAX OCTET STRING (SIZE (8 | 11))\nEND\n";
    trapd.stop();
    ASSERT_TRUE(trapd.start(mibs + ":" + PLX_SOURCE_DIR + "/peers/cdbd/snmp", "PLX-MIB"))
        << trapd.error();

    // One trap per notification, each carrying every variable; the receiver prints the
    // notification, each variable and its value through the MIB.
    std::vector<SnmpVarbind> vars;
    std::vector<std::pair<std::string, std::string>> want;  // name, printed value
    std::vector<std::string> notifications;
    for (const PlxMibObject &o : plx_mib_objects()) {
        std::string name(o.name);
        if (o.trap_index != 0) {
            EXPECT_EQ(o.oid.back(), o.trap_index) << name;
            notifications.push_back(name);
        } else if (name == "eventTime") {
            vars.push_back({oid(o.oid), SnmpValue::make_string(snmp_date_and_time(
                                            2026, 12, 6, 14, 5, 9, 3, '-', 5, 30))});
            want.emplace_back("PLX-MIB::" + name, "STRING: 2026-12-6,14:5:9.3,-5:30");
        } else if (name == "netconfNotificationSeverity") {
            vars.push_back({oid(o.oid), SnmpValue::make_integer(2)});
            want.emplace_back("PLX-MIB::" + name, "INTEGER: major(2)");
        } else {
            vars.push_back({oid(o.oid), SnmpValue::make_string(name)});
            want.emplace_back("PLX-MIB::" + name, "STRING: " + name);
        }
    }
    ASSERT_EQ(notifications.size(), 2u);
    SnmpTarget t{"127.0.0.1", trapd.port(), "public"};
    for (const std::string &n : notifications) {
        SnmpTrap trap{n, *plx_mib_oid(n), vars, {}};
        ASSERT_EQ(cdbd_snmp_send(trap, std::span(&t, 1), nullptr), 0);
    }
    auto got = trapd.wait_for(notifications.size());
    ASSERT_EQ(got.size(), notifications.size()) << trapd.log();
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].trap_oid(), "PLX-MIB::" + notifications[i]) << trapd.log();
        EXPECT_EQ(std::vector(got[i].vars.begin() + 2, got[i].vars.end()), want) << trapd.log();
    }
}

}  // namespace
