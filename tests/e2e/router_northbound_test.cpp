// The router's HTTP northbound against the whole running router: RESTCONF reads equal what the
// command line shows, writes are commits that plxd acts on, bad requests change nothing, and the
// metrics endpoint is what a real Prometheus server scrapes.
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/e2e/router_harness.h"

namespace e2e {
namespace {

class NorthboundTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        router_ = new Router;
        router_->bring_up(std::string(PLX_SOURCE_DIR) + "/examples/demo/config.xml", 400);
        // Counters and policer drops while the replay runs, then still numbers to compare.
        EXPECT_TRUE(wait_for([] { return router_->shown_packets() > 200; }, 60000));
        router_->kill9("replay");
        nb_ = new Northbound(*router_);
    }
    static void TearDownTestSuite() {
        delete nb_;
        delete router_;
    }
    static std::string config() { return router_->cli("show --format json").out; }
    static inline Router *router_ = nullptr;
    static inline Northbound *nb_ = nullptr;
};

constexpr const char *kOper = "/restconf/data/quorvel-policy-oper:policy-oper";
constexpr const char *kPolicy = "/restconf/data/quorvel-policy:policy-from-qctrl";
constexpr const char *kSeq =
    "/restconf/data/quorvel-policy:policy-from-qctrl/data-policy=branch-data/vpn-list=corp-vpns/"
    "sequence=30";

TEST_F(NorthboundTest, ReadsEqualTheCommandLine) {
    HttpResult oper = nb_->get(kOper);
    ASSERT_EQ(oper.status, 200) << oper.body << router_->log("cdbd") << nb_->base();
    EXPECT_EQ(json_canon(oper.body),
              json_canon(router_->cli("show /policy-oper --format json").out));
    EXPECT_NE(oper.body.find("\"program-state\": \"bound\""), std::string::npos) << oper.body;
    HttpResult conf = nb_->get(kPolicy);
    ASSERT_EQ(conf.status, 200);
    EXPECT_EQ(json_canon(conf.body),
              json_canon(router_->cli("show /policy-from-qctrl --format json").out));
    // One entry, addressed by its keys, printed as the resource itself; XML on request.
    HttpResult seq = nb_->get(kSeq);
    ASSERT_EQ(seq.status, 200) << seq.body;
    EXPECT_EQ(seq.body.rfind("{\n  \"quorvel-policy:sequence\": [", 0), 0u) << seq.body;
    HttpResult xml = nb_->request("-H 'Accept: application/yang-data+xml'", kSeq);
    EXPECT_NE(xml.body.find("<id>30</id>"), std::string::npos) << xml.body;
    EXPECT_EQ(nb_->get("/restconf/yang-library-version").body,
              "{\"ietf-restconf:yang-library-version\":\"2016-06-21\"}\n");
    EXPECT_NE(nb_->get("/.well-known/host-meta").body.find("href=\"/restconf\""),
              std::string::npos);
}

TEST_F(NorthboundTest, BadRequestsAnswerTheirStatusAndChangeNothing) {
    const std::string before = config();
    const std::string none, wrong = "Bearer 0123";
    EXPECT_EQ(nb_->request("", kOper, &none).status, 401);
    EXPECT_EQ(nb_->request("", kOper, &wrong).status, 401);
    EXPECT_EQ(nb_->request("-X DELETE", kSeq, &wrong).status, 401);
    EXPECT_EQ(nb_->get("/restconf/data/quorvel-policy:nosuch").status, 404);
    EXPECT_EQ(nb_->get("/nowhere").status, 404);
    EXPECT_EQ(nb_->request("-X DELETE", std::string(kSeq) + "9").status, 404);
    EXPECT_EQ(nb_->request("-X PUT -d '{}'", kOper).status, 405);
    EXPECT_EQ(nb_->get("/restconf/data/quorvel-plx-actions:plx/clear/data-policy").status, 405);
    const HttpResult bad = nb_->request("-X PATCH -d '{not json'", kSeq);
    EXPECT_EQ(bad.status, 400);
    EXPECT_NE(bad.body.find("\"error-tag\":\"malformed-message\""), std::string::npos) << bad.body;
    EXPECT_EQ(
        nb_->request("-X PATCH -d '{\"quorvel-policy:sequence\":[{\"id\":31}]}'", kSeq).status, 400)
        << "the body names another sequence than the path";
    // Refused by validation: an action naming a counter too long for the model.
    EXPECT_EQ(nb_->request("-X PATCH -d '{\"quorvel-policy:sequence\":[{\"id\":30,"
                           "\"action\":{\"count\":\"" +
                               std::string(200, 'x') + "\"}}]}'",
                           kSeq)
                  .status,
              400);
    EXPECT_EQ(nb_->request("-X POST -d '{\"quorvel-policy:sequence\":[{\"id\":30}]}'",
                           "/restconf/data/quorvel-policy:policy-from-qctrl/"
                           "data-policy=branch-data/vpn-list=corp-vpns")
                  .status,
              409);
    const std::string big(3u << 20, ' ');
    std::ofstream(router_->root() / "big.json") << big;
    EXPECT_EQ(
        nb_->request("-X PATCH --data-binary @" + (router_->root() / "big.json").string(), kSeq)
            .status,
        413);
    // A client that never finishes its request is cut off; others are served meanwhile.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(nb_->base().substr(17))));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const char part[] = "PATCH /restconf/data HTTP/1.1\r\nContent-Length: 100\r\n";
    ASSERT_GT(send(fd, part, sizeof part - 1, 0), 0);
    EXPECT_EQ(nb_->get(kSeq).status, 200);
    timeval tv{6, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[512];
    const auto t0 = std::chrono::steady_clock::now();
    ssize_t n = 0;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
    }
    EXPECT_EQ(n, 0) << "the slow client is disconnected";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    close(fd);
    EXPECT_EQ(config(), before);
}

TEST_F(NorthboundTest, ManyClientsAtOnceAreAllServed) {
    const std::string cmd =
        "for i in $(seq 24); do curl -s -o /dev/null -w '%{http_code}\\n' "
        "-H 'Authorization: Bearer " +
        nb_->token() + "' '" + nb_->base() + kSeq + "' & done; wait";
    CmdResult r = run_cmd(cmd);
    size_t ok = 0;
    for (size_t at = 0; (at = r.out.find("200\n", at)) != std::string::npos; at += 4)
        ++ok;
    EXPECT_EQ(ok, 24u) << r.out;
}

TEST_F(NorthboundTest, MetricsAreWhatPrometheusScrapes) {
    HttpResult m = nb_->get("/metrics");
    ASSERT_EQ(m.status, 200);
    std::ofstream(router_->root() / "metrics.txt") << m.body;
    CmdResult check =
        run_cmd("promtool check metrics < " + (router_->root() / "metrics.txt").string());
    EXPECT_EQ(check.rc, 0) << check.out << m.body;
    EXPECT_NE(m.body.find("plx_up 1\n"), std::string::npos);
    EXPECT_NE(m.body.find("plx_last_hello_age_seconds "), std::string::npos);
    EXPECT_NE(m.body.find("plx_filter_memory_blocks{state=\"free\"}"), std::string::npos);
    EXPECT_NE(m.body.find("plx_program_state{kind=\"access-list\",policy=\"lan-in\",vpn_list=\"\","
                          "state=\"bound\"} 1\n"),
              std::string::npos)
        << m.body;

    // A real Prometheus server scrapes it with the token and answers a query.
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    const std::string web = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    close(probe);
    const fs::path dir = router_->root() / "prometheus";
    fs::create_directories(dir / "data");
    std::ofstream(dir / "prometheus.yml")
        << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: plx\n"
        << "    authorization:\n      credentials_file: " << router_->root().string()
        << "/var/run/restconf.token\n    static_configs:\n      - targets: ['"
        << nb_->base().substr(7) << "']\n";
    const pid_t prom =
        spawn({"/usr/bin/prometheus", "--config.file=" + (dir / "prometheus.yml").string(),
               "--storage.tsdb.path=" + (dir / "data").string(), "--web.listen-address=" + web},
              (dir / "log").string());
    const std::string query = "curl -s 'http://" + web +
                              "/api/v1/query?query=plx_counted_packets_total%7Bpolicy%3D%22"
                              "branch-data%22%2Ccounter%3D%22dc-bulk%22%7D'";
    std::smatch v;
    std::string answer;
    EXPECT_TRUE(wait_for(
        [&] {
            answer = run_cmd(query).out;
            static const std::regex value(R"re("value":\[[0-9.]+,"(\d+)"\])re");
            return std::regex_search(answer, v, value);
        },
        30000))
        << answer << read_file(dir / "log");
    kill(prom, SIGTERM);
    waitpid(prom, nullptr, 0);
    const std::string shown =
        router_
            ->cli(
                "show '/policy-oper/data-policy-filters{branch-data}/"
                "data-policy-vpnlist{corp-vpns}/data-policy-counters{dc-bulk}' --format json")
            .out;
    EXPECT_NE(shown.find("\"packets\": \"" + v[1].str() + "\""), std::string::npos)
        << shown << " vs " << v[1];
}

TEST_F(NorthboundTest, WritesAreCommitsThatPlxdActsOn) {
    const std::string state =
        "/restconf/data/quorvel-policy-oper:policy-oper/"
        "data-policy-filters=branch-data/data-policy-vpnlist=corp-vpns";
    const std::string before = nb_->get(state).body;
    ASSERT_NE(before.find("last-programmed"), std::string::npos) << before;
    HttpResult p = nb_->request(
        "-X PATCH -H 'Content-Type: application/yang-data+json' -d "
        "'{\"quorvel-policy:sequence\":[{\"id\":30,\"action\":{\"count\":\"dns-queries\"}}]}'",
        kSeq);
    EXPECT_EQ(p.status, 204) << p.body;
    EXPECT_NE(router_
                  ->cli("show '/policy-from-qctrl/data-policy{branch-data}/vpn-list{corp-vpns}/"
                        "sequence{30}/action/count'")
                  .out.find("dns-queries"),
              std::string::npos);
    // plxd built and bound the policy again: a new program time, the new counter listed.
    auto stamp = [](const std::string &body) {
        static const std::regex re(R"re("last-programmed": "([^"]+)")re");
        std::smatch m;
        return std::regex_search(body, m, re) ? m[1].str() : std::string();
    };
    EXPECT_TRUE(wait_for([&] {
        const std::string now = nb_->get(state).body;
        return now.find("\"program-state\": \"bound\"") != std::string::npos &&
               stamp(now) != stamp(before) && now.find("\"dns-queries\"") != std::string::npos;
    })) << nb_->get(state).body;

    // An action: its printed answer, and an error naming what does not exist.
    HttpResult clear = nb_->request(
        "-X POST -d '{\"quorvel-plx-actions:input\":{\"name\":"
        "\"branch-data\"}}'",
        "/restconf/data/quorvel-plx-actions:plx/clear/data-policy");
    EXPECT_EQ(clear.status, 200);
    EXPECT_NE(clear.body.find("cleared "), std::string::npos) << clear.body;
    HttpResult unknown = nb_->request("-X POST -d '{\"input\":{\"name\":\"nosuch\"}}'",
                                      "/restconf/data/quorvel-plx-actions:plx/clear/data-policy");
    EXPECT_EQ(unknown.status, 400);
    EXPECT_NE(unknown.body.find("no data policy named nosuch"), std::string::npos) << unknown.body;

    // PUT replaces the sequence (201 when new), DELETE removes it.
    const std::string s90 = std::string(kSeq).substr(0, std::string(kSeq).size() - 2) + "90";
    HttpResult put = nb_->request(
        "-X PUT -d '{\"quorvel-policy:sequence\":[{\"id\":90,\"action\":{\"count\":\"x\"}}]}'",
        s90);
    EXPECT_EQ(put.status, 201) << put.body;
    EXPECT_EQ(nb_->request("-X DELETE", s90).status, 204);
    EXPECT_EQ(nb_->get(s90).status, 404);
}

}  // namespace
}  // namespace e2e
