// Contract tests of daemons against the configuration database: a test daemon serving a
// three-level operational list, an action printing to the command line, notifications, SNMP
// traps to a real snmptrapd, access control and reconnection.
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <fstream>

#include "peers/cdbd/cdbcli_oper.h"
#include "peers/cdbd/cdbd_internal.h"
#include "platform/confd/confd_dp.h"
#include "tests/peers/cdbd/cdbd_fixture.h"
#include "tests/peers/cdbd/snmp/snmptrapd_fixture.h"
#include "tests/support/test_process.h"

namespace cdbt {
namespace {

// Counters of one VPN list: name -> (packets, bytes).
using Ctrs = std::map<std::string, std::pair<uint64_t, uint64_t>>;
using Model = std::map<std::string, std::map<std::string, Ctrs>>;

std::string key_of(const confd_hkeypath_t *kp, const char *list) {
    const uint32_t tag = confd_str2hash(list);
    for (int i = kp->len - 1; i > 0; --i)
        if (kp->v[i][0].type == C_XMLTAG && kp->v[i][0].val.xmltag.tag == tag &&
            kp->v[i - 1][0].type == C_BUF)
            return CONFD_GET_CBUFPTR(&kp->v[i - 1][0]);
    return "";
}

// A daemon on its own thread: control, worker and management sockets, a poll loop.
class TestDaemon {
  public:
    Model model;
    std::mutex mu;
    std::vector<std::string> calls;  // "next -1", "find NEXT b", ...
    std::atomic<int> validate_init{0}, validate_stop{0}, eof{0};
    std::atomic<int> detach_rc{-100};
    int slow_ms = 0;
    bool record = true;             // log the calls
    std::atomic<size_t> served{0};  // list requests answered
    confd_notification_ctx *stream = nullptr, *snmp = nullptr;

    bool start() {
        dx_ = confd_init_daemon("testd");
        ctl_ = socket(AF_INET, SOCK_STREAM, 0);
        wrk_ = socket(AF_INET, SOCK_STREAM, 0);
        maapi_ = socket(AF_INET, SOCK_STREAM, 0);
        dx_->d_opaque = this;
        if (confd_connect(dx_, ctl_, CONTROL_SOCKET, nullptr, 0) != CONFD_OK ||
            confd_connect(dx_, wrk_, WORKER_SOCKET, nullptr, 0) != CONFD_OK ||
            maapi_connect(maapi_, nullptr, 0) != CONFD_OK)
            return false;
        confd_trans_cbs tcb{};
        tcb.init = [](confd_trans_ctx *t) { return confd_trans_set_fd(t, self(t)->wrk_); };
        confd_trans_validate_cbs vcb{};
        vcb.init = [](confd_trans_ctx *t) {
            ++self(t)->validate_init;
            confd_trans_set_fd(t, self(t)->wrk_);
            return maapi_attach(self(t)->maapi_, 0, t);
        };
        vcb.stop = [](confd_trans_ctx *t) {
            self(t)->detach_rc = maapi_detach(self(t)->maapi_, t);
            ++self(t)->validate_stop;
            return self(t)->detach_rc.load();
        };
        confd_action_cbs acb{};
        snprintf(acb.actionpoint, sizeof acb.actionpoint, "t-dump");
        acb.init = [](confd_user_info *u) {
            return confd_action_set_fd(u, static_cast<TestDaemon *>(u->actx.dx->d_opaque)->wrk_);
        };
        acb.action = &TestDaemon::action;
        if (confd_register_trans_cb(dx_, &tcb) != CONFD_OK ||
            confd_register_trans_validate_cb(dx_, &vcb) != CONFD_OK ||
            confd_register_action_cbs(dx_, &acb) != CONFD_OK)
            return false;
        for (const char *cp : {"t-pol", "t-vl", "t-ctr", "t-slow"}) {
            confd_data_cbs d{};
            snprintf(d.callpoint, sizeof d.callpoint, "%s", cp);
            d.get_object = &TestDaemon::get_object;
            d.get_next_object = &TestDaemon::get_next_object;
            d.find_next_object = &TestDaemon::find_next_object;
            if (confd_register_data_cb(dx_, &d) != CONFD_OK)
                return false;
        }
        confd_notification_stream_cbs ncb{};
        snprintf(ncb.streamname, sizeof ncb.streamname, "quorvel");
        ncb.fd = wrk_;
        if (confd_register_notification_stream(dx_, &ncb, &stream) != CONFD_OK ||
            confd_register_snmp_notification(dx_, wrk_, "quorvel_snmpv2_trap", "", &snmp) !=
                CONFD_OK ||
            confd_register_done(dx_) != CONFD_OK)
            return false;
        stop_ = false;
        th_ = std::thread([this] { loop(); });
        return true;
    }
    void stop() {
        stop_ = true;
        if (th_.joinable())
            th_.join();
        if (dx_) {
            confd_release_daemon(dx_);
            maapi_close(maapi_);
            close(ctl_);
            close(wrk_);
            dx_ = nullptr;
        }
    }
    ~TestDaemon() { stop(); }
    std::vector<std::string> take_calls() {
        std::lock_guard lk(mu);
        return std::exchange(calls, {});
    }
    // A status notification: severity, name, ok.
    int notify(int severity, const char *name, bool ok) {
        confd_tag_value_t tv[5];
        const uint32_t status = confd_str2hash("status");
        CONFD_SET_TAG_XMLBEGIN(&tv[0], status, 0);
        confd_value_t v;
        CONFD_SET_ENUM_VALUE(&v, severity);
        CONFD_SET_TAG_VALUE(&tv[1], confd_str2hash("severity-level"), &v);
        CONFD_SET_BUF(&v, name, strlen(name));
        CONFD_SET_TAG_VALUE(&tv[2], confd_str2hash("name"), &v);
        CONFD_SET_BOOL(&v, ok);
        CONFD_SET_TAG_VALUE(&tv[3], confd_str2hash("ok"), &v);
        CONFD_SET_TAG_XMLEND(&tv[4], status, 0);
        return confd_notification_send(stream, nullptr, tv, 5);
    }

  private:
    static TestDaemon *self(confd_trans_ctx *t) {
        return static_cast<TestDaemon *>(t->dx->d_opaque);
    }
    void loop() {
        while (!stop_) {
            pollfd p[2] = {{ctl_, POLLIN, 0}, {wrk_, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            for (auto &x : p)
                if ((x.revents & (POLLIN | POLLHUP)) && confd_fd_ready(dx_, x.fd) == CONFD_EOF) {
                    ++eof;
                    return;
                }
        }
    }
    void log(const std::string &s) {
        std::lock_guard lk(mu);
        calls.push_back(s);
    }
    // The list a key path names: the last element, or the one before an entry's key.
    static const char *list_of(const confd_hkeypath_t *kp, bool entry) {
        return confd_hash2str(kp->v[entry ? 1 : 0][0].val.xmltag.tag);
    }
    std::vector<confd_tag_value_t> object(const confd_hkeypath_t *kp, const std::string &list,
                                          const std::string &key) {
        const bool ctr = list == "ctr";
        std::vector<confd_tag_value_t> tv(ctr ? 3 : 1);
        confd_value_t v;
        CONFD_SET_BUF(&v, key.c_str(), key.size());
        CONFD_SET_TAG_VALUE(&tv[0], confd_str2hash(ctr ? "cname" : "name"), &v);
        if (ctr) {
            const auto &c = model[key_of(kp, "pol")][key_of(kp, "vl")][key];
            CONFD_SET_UINT64(&v, c.first);
            CONFD_SET_TAG_VALUE(&tv[1], confd_str2hash("packets"), &v);
            CONFD_SET_UINT64(&v, c.second);
            CONFD_SET_TAG_VALUE(&tv[2], confd_str2hash("bytes"), &v);
        }
        return tv;
    }
    static int get_object(confd_trans_ctx *t, confd_hkeypath_t *kp) {
        TestDaemon *d = self(t);
        std::lock_guard lk(d->mu);
        const std::string key = CONFD_GET_CBUFPTR(&kp->v[0][0]);
        d->calls.push_back("get " + key);
        return reply_from(t, kp, true, true, key, false);
    }
    // The first key of m at or after `after` (same) or after it, or none.
    template <class M>
    static const std::string *pick(const M &m, bool first, bool same, const std::string &after) {
        auto it = first ? m.begin() : same ? m.lower_bound(after) : m.upper_bound(after);
        return it == m.end() ? nullptr : &it->first;
    }
    // Answers a walk step, or with `entry` the entry whose key is `after` itself.
    static int reply_from(confd_trans_ctx *t, confd_hkeypath_t *kp, bool entry, bool same,
                          const std::string &after, bool first) {
        TestDaemon *d = self(t);
        if (!entry)
            ++d->served;
        const std::string list = list_of(kp, entry);
        if (list == "slow") {
            std::this_thread::sleep_for(std::chrono::milliseconds(d->slow_ms));
            return confd_data_reply_next_key(t, nullptr, -1, -1);
        }
        const std::string *key = nullptr;
        auto p = d->model.find(key_of(kp, "pol"));
        if (list == "pol") {
            key = pick(d->model, first, same, after);
        } else if (p == d->model.end()) {
            return confd_data_reply_not_found(t);
        } else if (list == "vl") {
            key = pick(p->second, first, same, after);
        } else {
            auto vl = p->second.find(key_of(kp, "vl"));
            if (vl == p->second.end())
                return confd_data_reply_not_found(t);
            key = pick(vl->second, first, same, after);
        }
        if (entry && (!key || *key != after))
            return confd_data_reply_not_found(t);
        if (!key)
            return confd_data_reply_next_key(t, nullptr, -1, -1);
        auto tv = d->object(kp, list, *key);
        const int n = static_cast<int>(tv.size());
        return entry ? confd_data_reply_tag_value_array(t, tv.data(), n)
                     : confd_data_reply_next_object_tag_value_array(t, tv.data(), n, -1);
    }
    static int get_next_object(confd_trans_ctx *t, confd_hkeypath_t *kp, long next) {
        TestDaemon *d = self(t);
        std::lock_guard lk(d->mu);
        if (d->record)
            d->calls.push_back(std::string(list_of(kp, false)) + " next " + std::to_string(next));
        if (next != -1)
            return confd_data_reply_next_key(t, nullptr, -1, -1);
        return reply_from(t, kp, false, false, "", true);
    }
    static int find_next_object(confd_trans_ctx *t, confd_hkeypath_t *kp, confd_find_next_type type,
                                confd_value_t *keys, int nkeys) {
        TestDaemon *d = self(t);
        std::lock_guard lk(d->mu);
        const std::string key = nkeys ? CONFD_GET_CBUFPTR(&keys[0]) : "";
        if (d->record)
            d->calls.push_back(std::string(list_of(kp, false)) + " find " +
                               (type == CONFD_FIND_NEXT ? "next " : "same ") + key);
        return reply_from(t, kp, false, type == CONFD_FIND_SAME_OR_NEXT, key, nkeys == 0);
    }
    static int action(confd_user_info *u, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *p,
                      int n) {
        auto *d = static_cast<TestDaemon *>(u->actx.dx->d_opaque);
        std::string name = "all";
        int count = 2;
        for (int i = 0; i < n; ++i) {
            if (p[i].tag.tag == confd_str2hash("name"))
                name = CONFD_GET_CBUFPTR(&p[i].v);
            else if (p[i].tag.tag == confd_str2hash("count"))
                count = CONFD_GET_UINT8(&p[i].v);
        }
        if (name == "fail") {
            confd_action_seterr(u, "cannot dump %s", name.c_str());
            return CONFD_ERR;
        }
        for (int i = 1; i <= count; ++i)
            maapi_cli_printf(d->maapi_, u->usid, "%s line %d\n", name.c_str(), i);
        return CONFD_OK;
    }

    confd_daemon_ctx *dx_ = nullptr;
    int ctl_ = -1, wrk_ = -1, maapi_ = -1;
    std::atomic<bool> stop_{false};
    std::thread th_;
};

class DaemonTest : public CdbFixture {
  protected:
    DaemonTest() {
        extra_yang_ = {"cdbt-dp.yang"};
        tune_ = [this](cdbd::ServerOptions &o) {
            o.daemon_timeout_ms = 300;
            o.snmp_config = snmp_config_;
            o.access_file = access_file_;
        };
    }
    void SetUp() override {
        CdbFixture::SetUp();
        d_.model = {{"a", {{"x", {{"c1", {10, 1000}}, {"c2", {0, 0}}}}, {"y", {}}}}, {"b", {}}};
        ASSERT_TRUE(d_.start()) << confd_lasterr();
    }
    void TearDown() override {
        d_.stop();
        CdbFixture::TearDown();
    }
    static int cli_socket() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(confd_client::connect_sock(fd, nullptr, 0, confd_wire::WireSock::Cli, "t"),
                  CONFD_OK)
            << confd_lasterr();
        return fd;
    }
    // A command-line socket that has asked to follow the notifications.
    static int follow_notifications() {
        int fd = cli_socket();
        confd_wire::WireWriter w(confd_wire::Op::CliNotifs);
        w.u8(0);
        w.u8(1);
        const auto &f = w.finish();
        EXPECT_EQ(confd_wire::send_all(fd, f.data(), f.size()), 0);
        return fd;
    }
    // Runs cdbcli with the arguments; returns its output (stdout and stderr).
    static std::string cdbcli(const std::string &args) {
        return run_output(std::string(CDBCLI_BIN) + " " + args);
    }
    std::string read_oper(const std::string &path, std::string *err = nullptr) {
        int fd = cli_socket();
        std::string e, out;
        bool ok = cdbcli::oper_show(
            fd, path, cdbcli::OperFormat::Text, [&](std::string_view s) { out += s; }, e);
        confd_client::forget_sock(fd);
        close(fd);
        if (err)
            *err = ok ? "" : e;
        return ok ? out : "";
    }
    // A key path from outer to inner elements: names and "{key}" entries.
    confd_hkeypath_t kp(std::initializer_list<std::string> elems) {
        confd_hkeypath_t k{};
        k.len = static_cast<int>(elems.size());
        int i = k.len;
        for (const auto &x : elems) {
            confd_value_t &v = k.v[--i][0];
            if (x[0] == '{')
                CONFD_SET_BUF(&v, keep_.emplace_back(x.substr(1, x.size() - 2)).c_str(),
                              x.size() - 2);
            else
                CONFD_SET_XMLTAG(&v, confd_str2hash(x.c_str()), 0);
            k.v[i][1].type = C_NOEXISTS;
        }
        return k;
    }
    TestDaemon d_;
    std::string snmp_config_, access_file_;
    std::deque<std::string> keep_;  // key texts the built key paths point into
};

TEST_F(DaemonTest, ShowWalksTheProvidedListsIntoTables) {
    const std::string expected =
        "/oper/pol\nNAME\n----\na\nb\n\n"
        "/oper/pol/vl\nPOL  NAME\n---  ----\na    x\na    y\n\n"
        "/oper/pol/vl/ctr\nPOL  VL  CNAME  PACKETS  BYTES\n---  --  -----  -------  -----\n"
        "a    x   c1     10       1000\na    x   c2     0        0\n";
    EXPECT_EQ(read_oper("/oper"), expected);
    // First entries with next -1, then each following one by the keys just read; a table is
    // one walk down to its list, so the policies are read again for the VPN-list table.
    auto calls = d_.take_calls();
    std::vector<std::string> head(calls.begin(), calls.begin() + 6);
    EXPECT_EQ(head, (std::vector<std::string>{"pol next -1", "pol find next a", "pol find next b",
                                              "pol next -1", "vl next -1", "vl find next x"}));
    // The operator's command line: tables by default, XML and JSON on request, one entry.
    EXPECT_EQ(cdbcli("show /oper"), expected);
    std::string xml = cdbcli("show /oper/pol{a}/vl{x} --format xml");
    EXPECT_NE(xml.find("<oper xmlns=\"urn:test:cdbt-dp\">"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<cname>c1</cname>\n        <packets>10</packets>"), std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("<name>b</name>"), std::string::npos) << xml;
    std::string json = cdbcli("show /oper/pol --format json");
    EXPECT_NE(json.find("\"cdbt-dp:oper\": {\n    \"pol\": ["), std::string::npos) << json;
    EXPECT_NE(json.find("\"bytes\": \"1000\""), std::string::npos) << json;
    EXPECT_NE(cdbcli("show /oper/pol{zz}").find("does not exist"), std::string::npos);
}

// A long list is printed entry by entry as the provider answers, in every format, and the
// command line's memory does not grow with it.
TEST_F(DaemonTest, ShowStreamsALongListInConstantMemory) {
    constexpr size_t kRows = 10000;
    {
        std::lock_guard lk(d_.mu);
        d_.record = false;
        Ctrs &c = d_.model["a"]["x"];
        for (size_t i = 0; i < kRows; ++i)
            c["c" + std::to_string(i)] = {i, 100 * i};
        c["c9999"] = {UINT64_MAX, 1};  // the last row, wider than the ones that sized the table
    }
    int fd = cli_socket();
    const std::pair<cdbcli::OperFormat, const char *> formats[] = {
        {cdbcli::OperFormat::Text, "\na    x   c"},
        {cdbcli::OperFormat::Json, "\"cname\": "},
        {cdbcli::OperFormat::Xml, "<cname>"}};
    std::string last;  // the row "c9999 " ends in the text format only
    for (const auto &[format, marker_text] : formats) {
        const char *marker = marker_text;  // a lambda below uses it
        size_t rows = 0, lag = 0;
        const size_t heap0 = mallinfo2().uordblks;
        size_t heap_growth = 0;
        std::string tail;  // the end of the text so far, where a marker may be cut in two
        const size_t served0 = d_.served;
        std::string err;
        bool ok = cdbcli::oper_show(
            fd, "/oper/pol{a}/vl{x}/ctr", format,
            [&](std::string_view piece) {
                if (piece.find("c9999 ") != std::string_view::npos)
                    last = piece;
                std::string text = tail + std::string(piece);
                for (size_t at = 0; (at = text.find(marker, at)) != std::string::npos; ++at)
                    ++rows;
                const size_t keep = std::min(text.size(), strlen(marker) - 1);
                tail = text.substr(text.size() - keep);
                lag = std::max(lag, d_.served - served0 - std::min(rows, d_.served - served0));
                const size_t heap = mallinfo2().uordblks;
                heap_growth = std::max(heap_growth, heap > heap0 ? heap - heap0 : 0);
            },
            err);
        ASSERT_TRUE(ok) << err;
        EXPECT_EQ(rows, kRows);
        EXPECT_LE(lag, 80u) << "entries are printed as they are read, not after the list";
        EXPECT_LT(heap_growth, 512u * 1024) << "memory grows with the list";
    }
    // The wide last row keeps its columns apart.
    EXPECT_EQ(last, "a    x   c9999  18446744073709551615  1\n");
    confd_client::forget_sock(fd);
    close(fd);
}

TEST_F(DaemonTest, ObjectCallbacksAnswerFirstNextEndAndMissingParent) {
    int fd = cli_socket();
    cdbcli::DpResult r;
    auto ctr = kp({"oper", "pol", "{a}", "vl", "{x}", "ctr"});
    // The counter "c1b" no longer exists: the walk continues with the next greater one.
    confd_value_t key;
    CONFD_SET_BUF(&key, "c1b", 3);
    ASSERT_EQ(cdbcli::dp_find_next_object(fd, ctr, CONFD_FIND_NEXT, &key, 1, r), CONFD_OK);
    ASSERT_EQ(r.kind, confd_wire::DpReply::NextObject);
    EXPECT_EQ(pp_tvs(r.values.data(), 3), "cname=c2 packets=0 bytes=0");
    EXPECT_EQ(r.next, -1);
    CONFD_SET_BUF(&key, "c2", 2);
    ASSERT_EQ(cdbcli::dp_find_next_object(fd, ctr, CONFD_FIND_SAME_OR_NEXT, &key, 1, r), CONFD_OK);
    EXPECT_EQ(pp_tvs(r.values.data(), 1), "cname=c2");
    ASSERT_EQ(cdbcli::dp_find_next_object(fd, ctr, CONFD_FIND_NEXT, &key, 1, r), CONFD_OK);
    EXPECT_EQ(r.kind, confd_wire::DpReply::NextKey);
    EXPECT_TRUE(r.end);
    ASSERT_EQ(cdbcli::dp_get_next_object(fd, ctr, 5, r), CONFD_OK);
    EXPECT_TRUE(r.end);
    // A parent that does not exist.
    auto gone = kp({"oper", "pol", "{zz}", "vl"});
    ASSERT_EQ(cdbcli::dp_get_next_object(fd, gone, -1, r), CONFD_OK);
    EXPECT_EQ(r.kind, confd_wire::DpReply::NotFound);
    auto entry = kp({"oper", "pol", "{a}", "vl", "{x}", "ctr", "{c1}"});
    ASSERT_EQ(cdbcli::dp_get_object(fd, entry, r), CONFD_OK);
    EXPECT_EQ(pp_tvs(r.values.data(), 3), "cname=c1 packets=10 bytes=1000");
    // A list without a callpoint, and a key path that names nothing.
    EXPECT_EQ(cdbcli::dp_get_next_object(fd, kp({"stats", "intf"}), -1, r), CONFD_ERR);
    EXPECT_NE(std::string(confd_lasterr()).find("no callpoint"), std::string::npos);
    EXPECT_EQ(cdbcli::dp_get_next_object(fd, kp({"oper", "nope"}), -1, r), CONFD_ERR);
    confd_client::forget_sock(fd);
    close(fd);
}

TEST_F(DaemonTest, SlowDaemonFailsTheReadAndTheServerGoesOn) {
    d_.slow_ms = 600;
    std::string err;
    EXPECT_EQ(read_oper("/oper/slow", &err), "");
    EXPECT_NE(err.find("daemon testd did not answer"), std::string::npos) << err;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the late reply is dropped
    d_.slow_ms = 0;
    EXPECT_NE(read_oper("/oper/pol").find("a\nb\n"), std::string::npos);
}

TEST_F(DaemonTest, ActionPrintsToTheSessionAndReportsItsResult) {
    EXPECT_EQ(cdbcli("request /cmd/dump name acl count 3"),
              "acl line 1\nacl line 2\nacl line 3\n/cmd/dump: ok\n");
    EXPECT_EQ(cdbcli("request /cmd/dump name fail"),
              "cdbcli: error: daemon testd: cannot dump fail\n");
    EXPECT_NE(cdbcli("request /cmd/dump colour red").find("takes no parameter colour"),
              std::string::npos);
    EXPECT_NE(cdbcli("request /cmd/dump count 300").find("bad value"), std::string::npos);
    EXPECT_NE(cdbcli("request /cmd/nothing").find("not an action"), std::string::npos);
}

TEST_F(DaemonTest, CommitIsValidatedWithTheDaemonAttached) {
    for (int round = 1; round <= 2; ++round) {
        EXPECT_EQ(set("/top/level", std::to_string(round)), CONFD_OK) << confd_lasterr();
        for (int i = 0; i < 200 && d_.validate_stop < round; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(d_.validate_init.load(), round);
        EXPECT_EQ(d_.validate_stop.load(), round);
        EXPECT_EQ(d_.detach_rc.load(), CONFD_OK);  // still attached when told to stop
    }
}

TEST_F(DaemonTest, NotificationsAreKeptInOrderAndFollowed) {
    int fd = follow_notifications();
    confd_wire::Frame reply;
    ASSERT_EQ(confd_wire::read_frame(fd, reply), 0);  // the (empty) backlog
    ASSERT_EQ(d_.notify(2, "dp1", true), CONFD_OK);
    ASSERT_EQ(d_.notify(1, "dp2", false), CONFD_OK);
    ASSERT_EQ(confd_wire::read_frame(fd, reply), 0);
    EXPECT_EQ(reply.op, confd_wire::Op::NotifEvent);
    confd_client::forget_sock(fd);
    close(fd);
    std::string text = cdbcli("notifications");
    auto at = text.find(" status\n  severity-level major\n  name dp1\n  ok true\n");
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_GT(text.find("severity-level critical\n  name dp2\n  ok false"), at) << text;
    EXPECT_EQ(text.substr(0, 2), "20");  // the event time leads
    std::string xml = cdbcli("notifications --format xml");
    EXPECT_NE(xml.find("<eventTime>"), std::string::npos);
    EXPECT_NE(xml.find("<status xmlns=\"urn:test:cdbt-dp\">\n    <severity-level>major"),
              std::string::npos)
        << xml;
    // A malformed notification is refused by the library.
    confd_tag_value_t one[1];
    CONFD_SET_TAG_XMLBEGIN(&one[0], confd_str2hash("status"), 0);
    EXPECT_EQ(confd_notification_send(d_.stream, nullptr, one, 1), CONFD_ERR);
    EXPECT_EQ(srv_->notifications().size(), 2u);
}

class SnmpDaemonTest : public DaemonTest {
  protected:
    SnmpDaemonTest() {
        tune_ = [this, base = tune_](cdbd::ServerOptions &o) {
            snmp_config_ = dir_ + "/targets";
            std::ofstream(snmp_config_)
                << "notify grp1 target 127.0.0.1 " << trapd_.port() << " public\n";
            base(o);
        };
    }
    void SetUp() override {
        if (!snmpt::SnmpTrapd::available())
            GTEST_SKIP() << "snmptrapd is not installed";
        ASSERT_TRUE(trapd_.start()) << trapd_.error();
        DaemonTest::SetUp();
    }
    void TearDown() override {
        if (!dir_.empty())
            DaemonTest::TearDown();
    }
    snmpt::SnmpTrapd trapd_;
};

TEST_F(SnmpDaemonTest, SnmpNotificationBecomesATrapForItsNotifyName) {
    confd_snmp_varbind vb[2]{};
    vb[0].type = CONFD_SNMP_VARIABLE;
    snprintf(vb[0].var.name, sizeof vb[0].var.name, "quorvelPolicyName");
    CONFD_SET_BUF(&vb[0].val, "dp1", 3);
    vb[1].type = CONFD_SNMP_VARIABLE;
    snprintf(vb[1].var.name, sizeof vb[1].var.name, "quorvelPolicyStatus");
    CONFD_SET_BUF(&vb[1].val, "Success", 7);
    ASSERT_EQ(confd_notification_set_snmp_notify_name(d_.snmp, "grp1"), CONFD_OK);
    ASSERT_EQ(
        confd_notification_send_snmp(d_.snmp, "quorvelPolicyDataPolicyAssociationStatus", vb, 2),
        CONFD_OK);
    auto traps = trapd_.wait_for(1);
    ASSERT_EQ(traps.size(), 1u) << trapd_.log();
    EXPECT_EQ(traps[0].community, "public");
    EXPECT_EQ(traps[0].trap_oid(), "1.3.6.1.4.1.99417.10.0.84");
    EXPECT_EQ(traps[0].value("1.3.6.1.4.1.99417.10.1.1"), "STRING: \"dp1\"");
    EXPECT_EQ(traps[0].value("1.3.6.1.4.1.99417.10.1.4"), "STRING: \"Success\"");
    // Another notify name has no targets: nothing more arrives.
    confd_notification_set_snmp_notify_name(d_.snmp, "grp2");
    confd_notification_send_snmp(d_.snmp, "quorvelPolicyDataPolicyAssociationStatus", vb, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(trapd_.traps().size(), 1u);
}

class AccessTest : public DaemonTest {
  protected:
    AccessTest() {
        tune_ = [this, base = tune_](cdbd::ServerOptions &o) {
            access_file_ = dir_ + "/secret";
            std::ofstream(access_file_) << "s3cret";
            std::ofstream(dir_ + "/wrong") << "guess";
            setenv("CONFD_IPC_ACCESS_FILE", access_file_.c_str(), 1);
            base(o);
        };
    }
    void TearDown() override {
        DaemonTest::TearDown();
        unsetenv("CONFD_IPC_ACCESS_FILE");
    }
};

TEST_F(AccessTest, OnlyClientsWithTheSecretConnect) {
    // The daemon started with the secret and serves reads.
    EXPECT_NE(read_oper("/oper/pol").find("a\nb\n"), std::string::npos);
    for (const char *env : {"wrong", ""}) {
        if (*env)
            setenv("CONFD_IPC_ACCESS_FILE", (dir_ + "/" + env).c_str(), 1);
        else
            unsetenv("CONFD_IPC_ACCESS_FILE");
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(cdb_connect(fd, CDB_DATA_SOCKET, nullptr, 0), CONFD_OK) << env;
        EXPECT_EQ(confd_errno, CONFD_ERR_ACCESS_DENIED) << env << ": " << confd_lasterr();
        close(fd);
    }
    EXPECT_NE(cdbcli("status").find("IPC access secret"), std::string::npos);
    setenv("CONFD_IPC_ACCESS_FILE", access_file_.c_str(), 1);
    EXPECT_NE(cdbcli("status").find("testd"), std::string::npos);
}

// Whoever listens on the database's port while it is away cannot pose as it: a client holding
// the secret refuses a server that never challenges it and one that cannot prove the secret.
TEST_F(AccessTest, ClientRefusesAServerThatDoesNotProveTheSecret) {
    for (bool challenge : {false, true}) {
        int lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sin;
        ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sin), len), 0);
        ASSERT_EQ(listen(lfd, 1), 0);
        getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &len);
        std::thread fake([lfd, challenge] {
            int fd = accept(lfd, nullptr, nullptr);
            confd_wire::Frame f;
            confd_wire::read_frame(fd, f);
            if (challenge) {  // any nonce; then accepts whatever answer comes
                confd_wire::WireWriter c(confd_wire::Op::Hello, confd_wire::kStatusChallenge);
                const std::vector<uint8_t> nonce(32, 7);
                c.bytes(nonce.data(), nonce.size());
                const auto &cf = c.finish();
                confd_wire::send_all(fd, cf.data(), cf.size());
                confd_wire::read_frame(fd, f);
            }
            confd_wire::WireWriter w(challenge ? confd_wire::Op::Auth : confd_wire::Op::Hello);
            w.u64(1);
            const std::vector<uint8_t> junk(32, 1);
            w.bytes(junk.data(), junk.size());
            const auto &wf = w.finish();
            confd_wire::send_all(fd, wf.data(), wf.size());
            close(fd);
        });
        setenv("CONFD_IPC_PORT", std::to_string(ntohs(sin.sin_port)).c_str(), 1);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(cdb_connect(fd, CDB_DATA_SOCKET, nullptr, 0), CONFD_OK) << challenge;
        EXPECT_EQ(confd_errno, CONFD_ERR_ACCESS_DENIED) << confd_lasterr();
        EXPECT_NE(std::string(confd_lasterr()).find("not the database"), std::string::npos);
        close(fd);
        fake.join();
        close(lfd);
    }
    setenv("CONFD_IPC_PORT", std::to_string(srv_->port()).c_str(), 1);
    EXPECT_NE(read_oper("/oper/pol").find("a\nb\n"), std::string::npos);
}

// Commits and actions are logged with the user owning the client's socket.
TEST_F(DaemonTest, PeerUidComesFromTheKernelSocketTable) {
    int fd = raw_socket(srv_->port());
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    const std::string peer = "127.0.0.1:" + std::to_string(ntohs(sin.sin_port));
    EXPECT_EQ(cdbd::tcp_peer_uid(peer, srv_->port()), static_cast<long>(getuid()));
    EXPECT_EQ(cdbd::tcp_peer_uid(peer, static_cast<uint16_t>(srv_->port() + 1)), -1);
    close(fd);
}

// A command line that follows notifications and stops reading is closed once its unsent
// output passes the bound; the server goes on.
class SmallOutputTest : public DaemonTest {
  protected:
    SmallOutputTest() {
        tune_ = [base = tune_](cdbd::ServerOptions &o) {
            base(o);
            o.max_output = 64 << 10;
        };
    }
};

TEST_F(SmallOutputTest, FollowerThatStopsReadingIsClosed) {
    int fd = follow_notifications();
    const std::string name(2000, 'n');
    bool gone = false;
    // Far more than the socket buffers take, unless the follower is dropped.
    for (int batch = 0; batch < 100 && !gone; ++batch) {
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(d_.notify(1, name.c_str(), true), CONFD_OK);
        std::string status;
        confd_wire::WireWriter st(confd_wire::Op::CliStatus);
        ASSERT_EQ(cli(st, &status), CONFD_OK);
        gone = status.find("#" + std::to_string(confd_client::sock_state(fd)->server_id) +
                           " cli") == std::string::npos;
    }
    EXPECT_TRUE(gone);
    confd_client::forget_sock(fd);
    close(fd);
    EXPECT_NE(cdbcli("status").find("testd"), std::string::npos);
}

// A socket's state belongs to the socket: the daemon's sockets closed by hand and their
// numbers reused by another thread's new socket, releasing the daemon leaves that one alone.
TEST_F(DaemonTest, ReleasingADaemonKeepsSocketsThatReusedItsNumbers) {
    confd_daemon_ctx *dx = confd_init_daemon("reuse");
    int ctl = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(confd_connect(dx, ctl, CONTROL_SOCKET, nullptr, 0), CONFD_OK) << confd_lasterr();
    close(ctl);
    int data = 0;
    std::thread([&data] { data = data_socket(); }).join();
    ASSERT_EQ(data, ctl) << "the descriptor number was not reused";
    confd_release_daemon(dx);
    EXPECT_EQ(cdb_start_session(data, CDB_OPERATIONAL), CONFD_OK) << confd_lasterr();
    EXPECT_EQ(cdb_end_session(data), CONFD_OK);
    cdb_close(data);
}

TEST_F(DaemonTest, DaemonReconnectsAfterTheServerRestarts) {
    stop();
    for (int i = 0; i < 100 && !d_.eof; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(d_.eof.load(), 1);
    d_.stop();
    ASSERT_TRUE(start()) << start_err_;
    ASSERT_TRUE(d_.start()) << confd_lasterr();
    std::string err;
    EXPECT_NE(read_oper("/oper/pol{a}/vl", &err).find("a    y"), std::string::npos) << err;
}

}  // namespace
}  // namespace cdbt
