// The router end to end: cdbd, the forwarding plane, fibd, hbusd and plxd run as their own
// processes under a private root; configuration is committed with cdbcli as an operator would,
// and what plxd did is read from fibd's journal and from the forwarding plane's tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "compiler/plx_program.h"
#include "fplink/fp_common.h"
#include "tests/support/fp_test_env.h"
#include "tests/support/test_process.h"

namespace {

// One message as fibd journalled it.
struct Msg {
    std::string op, name;
    uint64_t filter_id = 0;
    int filter_type = -1, direction = -1, family = -1;
    std::string vpn_ids;   // "10,20,21"
    std::string bindings;  // "ge0/1:1:10 ge0/2:2:10" (interface:direction:VPN)
};

Msg parse(const std::string &line) {
    Msg m;
    std::smatch s;
    auto get = [&](const char *re) {
        return std::regex_search(line, s, std::regex(re)) ? s[1].str() : std::string();
    };
    m.op = get(R"re("op":"([a-z-]+)")re");
    m.name = get(R"re("name":"([^"]*)")re");
    if (auto v = get(R"re("filter_id":(\d+))re"); !v.empty())
        m.filter_id = std::stoull(v);
    for (auto [field, out] : {std::pair{"filter_type", &m.filter_type},
                              {"direction", &m.direction},
                              {"family", &m.family}})
        if (auto v = get((std::string("\"") + field + R"re(":(\d+))re").c_str()); !v.empty())
            *out = std::stoi(v);
    m.vpn_ids = get(R"re("vpn_ids":\[([\d,]*)\])re");
    std::regex b(R"re(\{"vpn_id":(\d+),"direction":(\d+),"interface":"([^"]*)"\})re");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), b); it != std::sregex_iterator();
         ++it)
        m.bindings += (m.bindings.empty() ? "" : " ") + (*it)[3].str() + ":" + (*it)[2].str() +
                      ":" + (*it)[1].str();
    return m;
}

uint32_t ip(const char *dotted) {
    unsigned a, b, c, d;
    sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    return a << 24 | b << 16 | c << 8 | d;
}

constexpr uint32_t kFilters = 256;  // the small profile's filter numbers: the invalid one

class Router : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &root = env_.root();
        std::filesystem::create_directories(root + "/var/run");
        journal_ = root + "/fibd.journal";
        cdbd_ = spawn(
            {CDBD_BIN, "--yang-dir", PLX_YANG_MODELS_DIR, "--db-dir", root + "/cdb", "--port", "0"},
            root + "/cdbd.log");
        const int port = wait_cdbd_port(root + "/cdbd.log");
        ASSERT_NE(port, 0);
        setenv("CONFD_IPC_PORT", std::to_string(port).c_str(), 1);
        // The daemons that read their configuration before plxd do not run here.
        cli("oper set /qconfd-initial-read-priority 'chmgrd ifmgrd fibd'");
        fwdplane_ = spawn({FWDPLANE_BIN, "-w", "-q"}, root + "/fwdplane.log");
        fibd_ = spawn({FIBD_BIN, "-q", "-j", journal_}, root + "/fibd.log");
        std::ofstream(root + "/tlocs.txt") << "192.0.2.1 mpls ipsec index=1 preference=100\n"
                                           << "192.0.2.2 biz-internet ipsec index=2\n";
        hbusd_ = spawn({HBUSD_BIN, "-t", root + "/tlocs.txt"}, root + "/hbusd.log");
        plxd_ = spawn({PLXD_BIN, "-f"}, root + "/plxd.log");
        ASSERT_TRUE(wait_for([&] { return cli("status").find("\"plxd\"") != std::string::npos; }))
            << "plxd did not connect to the configuration database";
        ASSERT_TRUE(wait_for([&] { return fp_shm_attach(false, false) == 0; }));
    }
    void TearDown() override {
        if (plxd_ > 0) {
            kill(plxd_, SIGUSR2);
            EXPECT_EQ(wait_exit(plxd_), 0) << "plxd stops in order";
        }
        for (pid_t p : {hbusd_, fibd_, fwdplane_, cdbd_})
            stop_process(p);
    }

    static std::string cli(const std::string &args) {
        return run_output(std::string(CDBCLI_BIN) + " " + args);
    }
    void commit(const std::string &args) {
        std::string out = cli(args);
        ASSERT_NE(out.find("committed"), std::string::npos) << args << ": " << out;
    }
    // Messages journalled since the last call, once at least `expected` have arrived (or 10 s
    // passed: a slow sanitizer build may take longer than the quiet period to compile) and fibd
    // has then been quiet for half a second.
    std::vector<Msg> take(size_t expected = 0) {
        wait_for([&] { return lines().size() >= seen_ + expected; }, 10000);
        size_t last = SIZE_MAX;
        for (int quiet = 0; quiet < 5;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            size_t n = lines().size();
            quiet = n == last ? quiet + 1 : 0;
            last = n;
        }
        std::vector<std::string> all = lines();
        std::vector<Msg> out;
        for (size_t i = seen_; i < all.size(); ++i)
            out.push_back(parse(all[i]));
        seen_ = all.size();
        return out;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        std::ifstream in(journal_);
        for (std::string l; std::getline(in, l);)
            out.push_back(l);
        return out;
    }
    // The last message for a name and VPN ids (policies) or family (access lists).
    static const Msg *last(const std::vector<Msg> &msgs, const std::string &name,
                           const std::string &key) {
        for (auto it = msgs.rbegin(); it != msgs.rend(); ++it)
            if (it->name == name && (it->vpn_ids == key || std::to_string(it->family) == key))
                return &*it;
        return nullptr;
    }
    static uint64_t counter(uint64_t filter, const char *name) {
        const FilterEntry &fe = fp_filters()[filter];
        auto *prog =
            reinterpret_cast<const PolicyProgram *>(fp_filter_mem() + size_t{fe.hw_index} * 128);
        uint64_t packets = 0, bytes = 0;
        plx_program_sum_counters(prog, name, &packets, &bytes);
        return packets;
    }

    FpTestEnv env_;
    std::string journal_;
    size_t seen_ = 0;
    pid_t cdbd_ = -1, fwdplane_ = -1, fibd_ = -1, hbusd_ = -1, plxd_ = -1;
};

const std::string kCorp = "10,20,21,22,23,24,25,26,27,28,29";
const std::string kExampleLoad =
    std::string("load ") + PLX_SOURCE_DIR + "/examples/router-config.xml";

TEST_F(Router, ExampleConfigurationIsBoundAndClassifiesLikeFirstMatch) {
    commit(kExampleLoad);
    std::vector<Msg> msgs = take(5);
    const Msg *corp = last(msgs, "branch-data", kCorp), *guest = last(msgs, "branch-data", "40"),
              *apps = last(msgs, "branch-apps", kCorp), *lan = last(msgs, "lan-in", "0"),
              *lan6 = last(msgs, "lan6-in", "1");
    for (const Msg *m : {corp, guest, apps, lan, lan6}) {
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(m->op == "policy-bind" || m->op == "acl-bind") << m->name << " " << m->op;
        EXPECT_LT(m->filter_id, kFilters) << m->name;
    }
    EXPECT_EQ(std::tuple(corp->filter_type, corp->direction), std::tuple(1, 1));
    EXPECT_EQ(std::tuple(apps->filter_type, apps->direction), std::tuple(2, 0));
    EXPECT_EQ(lan->bindings, "ge0/1:1:10 ge0/2:2:10 ge0/4.40:1:40");
    EXPECT_EQ(lan6->bindings, "ge0/1:1:10");
    std::set<uint64_t> ids{corp->filter_id, guest->filter_id, apps->filter_id, lan->filter_id,
                           lan6->filter_id};
    EXPECT_EQ(ids.size(), 5u) << "every program has a filter of its own";
    // The operator's full dump covers the databases, filter memory and the transport.
    std::string dump = cli("request /plx/dump/all");
    for (const char *part : {"Policy Database", "lan6-in", "Number of filters: 5/256", "tx_msg"})
        EXPECT_NE(dump.find(part), std::string::npos) << part;

    // Packets into ge0/1 against lan-in: sequence 10 counts management ssh, 30 takes the guest
    // subnet first, 40 counts telnet.
    std::mt19937 rng(7);
    const uint32_t srcs[] = {ip("10.255.0.5"), ip("192.168.100.10"), ip("192.168.100.11"),
                             ip("172.16.50.9"), ip("8.8.8.8")};
    const uint32_t ports[] = {22, 23, 830, 5060, 80};
    std::ofstream trace(env_.root() + "/lan.trace");
    uint64_t ssh = 0, telnet = 0;
    for (int i = 0; i < 2000; ++i) {
        uint32_t src = srcs[rng() % 5], dport = ports[rng() % 5], proto = rng() % 2 ? 6 : 17;
        trace << src << " " << ip("10.100.1.1") << " 40000 " << dport << " " << proto << "\n";
        bool mgmt = (src >> 8) == (ip("10.255.0.0") >> 8) || src == ip("192.168.100.10");
        if (mgmt && proto == 6 && (dport == 22 || dport == 830))
            ++ssh;
        else if ((src >> 8) != (ip("172.16.50.0") >> 8) && proto == 6 && dport == 23)
            ++telnet;
    }
    trace.close();
    pid_t replay =
        spawn({FWDPLANE_BIN, "-r", "-q", "-i", "ge0/1", "-v", "10", env_.root() + "/lan.trace"});
    ASSERT_EQ(wait_exit(replay), 0);
    EXPECT_GT(ssh, 0u);
    EXPECT_EQ(counter(lan->filter_id, "mgmt-ssh"), ssh);
    EXPECT_EQ(counter(lan->filter_id, "telnet-blocked"), telnet);
}

// A restarted plxd reads the whole configuration level by level, classes last, and compiles
// each list once: program memory hands out filter numbers in turn, and the lists are processed
// in order, so the lists after the first hold filters 1 to 4 only when no compile before the
// classes arrived was thrown away. (The first, branch-data on the corporate VPNs, names TLOCs:
// hbusd's announcements may rebuild it before fibd hears of it.)
TEST_F(Router, InitialReadCompilesEachListOnce) {
    commit(kExampleLoad);
    take();
    kill(plxd_, SIGUSR2);
    ASSERT_EQ(wait_exit(plxd_), 0);
    plxd_ = spawn({PLXD_BIN, "-f"}, env_.root() + "/plxd2.log");
    ASSERT_TRUE(wait_for([&] { return lines().size() > seen_; }, 5000));
    // fibd may register while the read is still going: its resend then announces lists not
    // compiled yet under 0xFFFFFFFF, which is no compile.
    std::set<uint64_t> ids;
    for (const Msg &m : take())
        if (m.op.find("-bind") != std::string::npos && m.filter_id != 0xFFFFFFFFu &&
            !(m.name == "branch-data" && m.vpn_ids == kCorp))
            ids.insert(m.filter_id);
    EXPECT_EQ(ids, (std::set<uint64_t>{1, 2, 3, 4}));
}

TEST_F(Router, ListChangesTlocEventsAndPolicersRebuildExactlyTheirUsers) {
    commit(kExampleLoad);
    std::vector<Msg> msgs = take(5);
    const uint64_t corp = last(msgs, "branch-data", kCorp)->filter_id;
    const uint64_t guest = last(msgs, "branch-data", "40")->filter_id;
    const uint64_t lan = last(msgs, "lan-in", "0")->filter_id;

    // A prefix list change: its one policy user is withdrawn and bound to a new program.
    commit("set '/policy-from-qctrl/lists/data-prefix-list{datacenter}/ip-prefix{10.102.0.0/16}'");
    msgs = take(2);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(std::tuple(msgs[0].op, msgs[0].filter_id, msgs[0].vpn_ids),
              std::tuple("policy-unbind", corp, kCorp));
    EXPECT_EQ(std::tuple(msgs[1].op, msgs[1].vpn_ids), std::tuple("policy-bind", kCorp));
    EXPECT_LT(msgs[1].filter_id, kFilters);
    // The access lists' own prefix list: all three bindings of lan-in move together.
    commit("set '/policy/lists/data-prefix-list{mgmt-hosts}/ip-prefix{10.254.0.0/24}'");
    msgs = take(2);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(std::tuple(msgs[0].op, msgs[0].filter_id), std::tuple("acl-unbind", lan));
    EXPECT_EQ(std::tuple(msgs[1].op, msgs[1].bindings),
              std::tuple("acl-bind", "ge0/1:1:10 ge0/2:2:10 ge0/4.40:1:40"));

    // The TLOCs named by branch-data's corp list: an update and a withdraw each rebuild that
    // list alone; a TLOC nobody names changes nothing.
    const std::string hbusctl = std::string(HBUSCTL_BIN) + " ";
    for (const char *event : {"update 192.0.2.1 mpls ipsec preference=300",
                              "withdraw 192.0.2.2 "
                              "biz-internet ipsec",
                              "update 198.51.100.7 lte gre index=9"}) {
        SCOPED_TRACE(event);
        std::string out = run_output(hbusctl + event);
        bool named = std::string(event).find("198.51") == std::string::npos;
        msgs = take(named ? 2 : 0);
        ASSERT_EQ(msgs.size(), named ? 2u : 0u) << out;
        if (named) {
            EXPECT_EQ(std::tuple(msgs[0].op, msgs[0].vpn_ids), std::tuple("policy-unbind", kCorp));
            EXPECT_EQ(std::tuple(msgs[1].op, msgs[1].name, msgs[1].vpn_ids),
                      std::tuple("policy-bind", "branch-data", kCorp));
        }
    }

    // A policer rate change reaches the placed program without a rebuild.
    commit("set /policy-from-qctrl/policer{stream-50m}/rate 20000000");
    EXPECT_TRUE(take().empty());
    // A VPN added to guest-vpns binds that VPN alone, with the program it has.
    commit("set '/policy-from-qctrl/lists/vpn-list{guest-vpns}/vpn{41}'");
    msgs = take(1);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(std::tuple(msgs[0].op, msgs[0].filter_id, msgs[0].vpn_ids),
              std::tuple("policy-bind", guest, "41"));
}

// A data policy of n sequences on VPN list vl, each testing one destination port: every
// sequence carries a 3 KiB action record, so the program takes a little more than 3 KiB * n.
std::string big_policy(const std::string &name, const std::string &vl, int vpn, int n) {
    std::ostringstream x;
    x << "<policy-from-qctrl xmlns=\"urn:quorvel:yang:policy\"><lists><vpn-list><name>" << vl
      << "</name><vpn><id>" << vpn << "</id></vpn></vpn-list></lists><data-policy><name>" << name
      << "</name><direction>all</direction><vpn-list><name>" << vl
      << "</name><default-action>accept</default-action>";
    for (int i = 1; i <= n; ++i)
        x << "<sequence><id>" << i << "</id><match><destination-port>" << 1000 + i
          << "</destination-port></match><action><base-action>reject</base-action></action>"
             "</sequence>";
    x << "</vpn-list></data-policy></policy-from-qctrl>";
    return x.str();
}

TEST_F(Router, PolicyWithoutFilterMemoryIsReprogrammedWhenAnotherGoesAway) {
    // Filter memory (768 KiB) holds either policy, not both.
    const std::string filler = env_.root() + "/filler.xml", big = env_.root() + "/big.xml";
    std::ofstream(filler) << big_policy("filler", "vl-a", 100, 170);
    std::ofstream(big) << big_policy("big", "vl-b", 200, 110);
    commit("load " + filler);
    std::vector<Msg> msgs = take(1);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_LT(msgs[0].filter_id, kFilters);
    commit("load " + big);
    msgs = take(1);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(std::tuple(msgs[0].op, msgs[0].name, msgs[0].filter_id),
              std::tuple("policy-bind", "big", uint64_t{kFilters}))
        << "fibd hears the invalid filter id";

    commit("delete '/policy-from-qctrl/data-policy{filler}'");
    // The unbind of filler; once its program is released, big is tried again and bound.
    msgs = take(3);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(std::tuple(msgs[0].op, msgs[0].name), std::tuple("policy-unbind", "filler"));
    EXPECT_EQ(std::tuple(msgs[1].op, msgs[1].name, msgs[1].filter_id),
              std::tuple("policy-unbind", "big", uint64_t{kFilters}));
    EXPECT_EQ(std::tuple(msgs[2].op, msgs[2].name), std::tuple("policy-bind", "big"));
    EXPECT_LT(msgs[2].filter_id, kFilters);
}

// A data policy testing nine fields (protocol, both ports, both addresses, DSCP, an application
// list, an application-family list and DNS) is bound, its family list folded into the
// application field; replayed application flows are counted as a linear first match of the
// sequences as written, with the family the forwarding plane derives from each application.
TEST_F(Router, NineFieldPolicyIsBoundAndClassifiesLikeFirstMatch) {
    const std::string xml = env_.root() + "/nine.xml", demo = PLX_SOURCE_DIR "/examples/demo/";
    std::ofstream(xml) << R"(<policy-from-qctrl xmlns="urn:quorvel:yang:policy"><lists>
<vpn-list><name>v9</name><vpn><id>10</id></vpn></vpn-list>
<app-list><name>web-apps</name><app><name>http</name></app></app-list>
<app-list><name>enc</name><app-family><name>encrypted</name></app-family></app-list>
</lists><data-policy><name>nine</name><direction>all</direction><vpn-list><name>v9</name>
<default-action>accept</default-action>
<sequence><id>10</id><match><protocol>6</protocol><destination-port>443</destination-port>
<app-list>enc</app-list></match><action><base-action>accept</base-action><count>tls</count>
</action></sequence>
<sequence><id>20</id><match><app-list>web-apps</app-list><source-ip>172.16.1.0/28</source-ip>
</match><action><base-action>accept</base-action><count>http</count></action></sequence>
<sequence><id>30</id><match><dns>request</dns><destination-ip>10.100.0.53/32</destination-ip>
</match><action><base-action>accept</base-action><count>dns</count></action></sequence>
<sequence><id>40</id><match><source-port>50010-50012</source-port><dscp>0</dscp></match>
<action><base-action>accept</base-action><count>low</count></action></sequence>
</vpn-list></data-policy></policy-from-qctrl>)";
    commit("load " + xml);
    std::vector<Msg> msgs = take(1);
    const Msg *m = last(msgs, "nine", "10");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->op, "policy-bind");
    ASSERT_LT(m->filter_id, kFilters);

    const std::string cap = env_.root() + "/flows.pcap";
    ASSERT_EQ(run_output(std::string(PCAPGEN_BIN) + " -q --flows " + demo + "flows.txt " + cap),
              "");
    std::string out = run_output(std::string(FWDPLANE_BIN) + " -r -q -p -i ge0/1 -v 10 " + cap);
    // The application id of "http" as the recognition engine knows it.
    std::smatch s;
    std::string ids = cli("request /plx/dpi/dump/protocol-list");
    ASSERT_TRUE(std::regex_search(ids, s, std::regex(R"(\[(\d+)\] App: HTTP )")) ||
                std::regex_search(ids, s, std::regex(R"(\[(\d+)\] App: (?:http) )")))
        << ids.substr(0, 400);
    const uint32_t http = std::stoul(s[1].str());
    constexpr uint32_t kEncrypted = 8;
    std::map<std::string, uint64_t> want;
    std::set<uint32_t> families;
    std::regex pkt(R"re(@10 ([\d.]+) (\d+) -> ([\d.]+) (\d+) proto (\d+) len \d+ dscp (\d+) )re"
                   R"re(fc \d+ plp \d+ app (\d+) family (\d+) dns (\d+) )re");
    std::istringstream lines(out);
    int packets = 0;
    for (std::string l; std::getline(lines, l);) {
        if (!std::regex_search(l, s, pkt))
            continue;
        ++packets;
        uint32_t src = ip(s[1].str().c_str()), sport = std::stoul(s[2]),
                 dst = ip(s[3].str().c_str()), dport = std::stoul(s[4]), proto = std::stoul(s[5]),
                 dscp = std::stoul(s[6]), app = std::stoul(s[7]), family = std::stoul(s[8]),
                 dns = std::stoul(s[9]);
        families.insert(family);
        if (proto == 6 && dport == 443 && family == kEncrypted)
            ++want["tls"];
        else if (app == http && (src >> 4) == (ip("172.16.1.0") >> 4))
            ++want["http"];
        else if (dns == 1 && dst == ip("10.100.0.53"))
            ++want["dns"];
        else if (sport >= 50010 && sport <= 50012 && dscp == 0)
            ++want["low"];
    }
    ASSERT_GT(packets, 20) << out.substr(0, 400);
    EXPECT_TRUE(families.count(kEncrypted)) << "TLS flows are recognised";
    for (const char *name : {"tls", "http", "dns", "low"}) {
        EXPECT_GT(want[name], 0u) << name;
        EXPECT_EQ(counter(m->filter_id, name), want[name]) << name;
    }
}

}  // namespace
