// Contract tests: a subscriber written against the client library, driven through a real
// server by command-line commits.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>

#include "tests/peers/cdbd/cdbd_fixture.h"
#include "tests/support/test_process.h"

using namespace cdbt;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const char kPolicy[] = R"(<top xmlns="urn:test:cdbt">
  <lists><vpn-list><name>corp</name><vpn><id>10</id></vpn></vpn-list></lists>
  <policy><name>p1</name>
    <sequence><seq>5</seq><vpn>7</vpn><col>green</col><dscp>10</dscp><dscp>12</dscp>
      <set><dscp>46</dscp><nexthop>10.0.0.1</nexthop></set></sequence>
  </policy>
</top>)";

}  // namespace

class CdbContract : public CdbFixture {};

// Levels are delivered lowest priority first, one notification per socket and level, and a
// second subscription of one path at another priority fires at its own level.
TEST_F(CdbContract, PrioritiesOrderLevelsAndSplitAddDelete) {
    Subscriber s;
    s.subscribe(6, "/top/lists/vpn-list", "vl-del");
    s.subscribe(1, "/top/lists/vpn-list", "vl-add");
    s.subscribe(1, "/top/lists/vpn-list/vpn", "vpn-add");
    s.subscribe(2, "/top/policy", "pol");
    s.subscribe(4, "/top/policy/sequence", "seq");
    s.start();
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    EXPECT_THAT(
        s.take(),
        ElementsAre("notify vl-add vpn-add",
                    "  + /top/lists/vpn-list{corp} [BEGIN(vpn-list) END(vpn-list)]",
                    "  + /top/lists/vpn-list{corp}/vpn{10} [BEGIN(vpn) END(vpn)]", "notify pol",
                    "  + /top/policy{p1} [BEGIN(policy) END(policy)]", "notify seq",
                    "  + /top/policy{p1}/sequence{5} [vpn=7 col=2 dscp=[10 12] BEGIN(set) "
                    "dscp=46 nexthop=10.0.0.1 END(set)]",
                    "notify vl-del",
                    "  + /top/lists/vpn-list{corp} [BEGIN(vpn-list) END(vpn-list)]"));
    // Deleting the list entry reports its nested entries as deleted too, at their paths.
    ASSERT_EQ(del("/top/lists/vpn-list{corp}"), CONFD_OK);
    EXPECT_THAT(s.take(), ElementsAre("notify vl-add vpn-add", "  - /top/lists/vpn-list{corp}",
                                      "  - /top/lists/vpn-list{corp}/vpn{10}", "notify vl-del",
                                      "  - /top/lists/vpn-list{corp}"));
}

// A level waits for every notified socket's sync; the commit returns after the last level.
TEST_F(CdbContract, NextLevelWaitsForEverySync) {
    std::atomic<int> seq{0};
    std::atomic<int> slow_synced{0}, fast_seen{0};
    Subscriber slow, fast;
    slow.subscribe(1, "/top/policy", "slow");
    slow.hook = [&](Subscriber &) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        slow_synced = ++seq;
    };
    fast.subscribe(3, "/top/policy/sequence", "fast");
    fast.hook = [&](Subscriber &) { fast_seen = ++seq; };
    slow.start();
    fast.start();
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    EXPECT_EQ(slow_synced, 1);
    EXPECT_EQ(fast_seen, 2);
}

// Modified entries list changed leaves, deleted leaves as C_NOEXISTS inside their container
// brackets (deleting a non-presence container empties it); a keyless container is read with
// cdb_get_modifications.
TEST_F(CdbContract, ModificationArrays) {
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    Subscriber s;
    s.subscribe(1, "/top/policy/sequence", "seq");
    int top = s.subscribe(1, "/top", "top");
    s.keyless.push_back(top);
    s.start();
    ASSERT_EQ(del("/top/policy{p1}/sequence{5}/set/nexthop"), CONFD_OK);
    EXPECT_THAT(s.take(),
                ElementsAre("notify seq top",
                            "  ~ /top/policy{p1}/sequence{5} [BEGIN(set) nexthop:- END(set)]",
                            "  mods []"));
    ASSERT_EQ(set("/top/policy{p1}/sequence{5}/col", "blue"), CONFD_OK);
    ASSERT_EQ(del("/top/policy{p1}/sequence{5}/dscp"), CONFD_OK);
    ASSERT_EQ(del("/top/policy{p1}/sequence{5}/set"), CONFD_OK);
    EXPECT_THAT(
        s.take(),
        ElementsAre("notify seq top", "  ~ /top/policy{p1}/sequence{5} [col=3]", "  mods []",
                    "notify seq top", "  ~ /top/policy{p1}/sequence{5} [dscp:-]", "  mods []",
                    "notify seq top",
                    "  ~ /top/policy{p1}/sequence{5} [BEGIN(set) dscp:- END(set)]", "  mods []"));
    // A leaf given its default value explicitly is a change (the default was implicit).
    ASSERT_EQ(set("/top/flag", "false"), CONFD_OK);
    EXPECT_THAT(s.take(), ElementsAre("notify top", "  mods [flag=false]"));
    ASSERT_EQ(set("/top/flag", "true"), CONFD_OK);
    EXPECT_THAT(s.take(), ElementsAre("notify top", "  mods [flag=true]"));
    ASSERT_EQ(set("/top/policy{p1}/sequence{6}"), CONFD_OK);
    EXPECT_THAT(s.take(),
                ElementsAre("notify seq top",
                            "  + /top/policy{p1}/sequence{6} [BEGIN(sequence) END(sequence)]",
                            "  mods []"));
}

// ITER_RECURSE descends into the changed leaves of an entry.
TEST_F(CdbContract, DiffIterateRecurses) {
    Subscriber s;
    s.subscribe(1, "/top/lists/vpn-list", "vl");
    s.iter_ret = ITER_RECURSE;
    s.start();
    ASSERT_EQ(load_xml(R"(<top xmlns="urn:test:cdbt"><lists><vpn-list><name>a</name>
        <descr>x y</descr><vpn><id>1</id></vpn></vpn-list></lists></top>)"),
              CONFD_OK);
    EXPECT_THAT(s.take(), ElementsAre("notify vl", "  + /top/lists/vpn-list{a} [descr=x y]",
                                      "  = /top/lists/vpn-list{a}/name := a",
                                      "  = /top/lists/vpn-list{a}/descr := x y",
                                      "  + /top/lists/vpn-list{a}/vpn{1} [BEGIN(vpn) END(vpn)]",
                                      "  = /top/lists/vpn-list{a}/vpn{1}/id := 1"));
}

// A trigger presents the whole configuration under the listed points as created, flags it,
// fires listed points that have no data, and returns once synchronised.
TEST_F(CdbContract, TriggerPresentsConfigurationAsCreated) {
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    Subscriber s;
    int vl = s.subscribe(1, "/top/lists/vpn-list", "vl");
    int seq = s.subscribe(4, "/top/policy/sequence", "seq");
    s.subscribe(2, "/top/policy", "pol");
    int empty = s.subscribe(3, "/top/lists/vpn-list/vpn", "vpn");
    s.start();
    ASSERT_EQ(del("/top/lists/vpn-list{corp}/vpn{10}"), CONFD_OK);
    s.take();
    int fd = data_socket();
    int points[] = {seq, vl, empty};
    ASSERT_EQ(cdb_trigger_subscriptions(fd, points, 3), CONFD_OK) << confd_lasterr();
    EXPECT_THAT(s.take(),
                ElementsAre("notify(trigger) vl",
                            "  + /top/lists/vpn-list{corp} [BEGIN(vpn-list) END(vpn-list)]",
                            "notify(trigger) vpn", "notify(trigger) seq",
                            HasSubstr("+ /top/policy{p1}/sequence{5} [vpn=7")));
    int bogus = 999;
    EXPECT_EQ(err_of(cdb_trigger_subscriptions(fd, &bogus, 1)), CONFD_ERR_NOEXISTS);
    cdb_close(fd);
}

// A session on the pre-commit running datastore reads the old configuration during delivery.
TEST_F(CdbContract, PreCommitReadsDuringDelivery) {
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    Subscriber s;
    s.subscribe(1, "/top/policy/sequence", "seq");
    s.hook = [&](Subscriber &sub) {
        int fd = data_socket();
        confd_value_t v;
        for (auto db : {CDB_PRE_COMMIT_RUNNING, CDB_RUNNING}) {
            cdb_start_session(fd, db);
            if (cdb_get(fd, &v, "/top/policy{p1}/sequence{5}/vpn") == CONFD_OK)
                sub.add("  read " + std::to_string(CONFD_GET_UINT32(&v)));
            cdb_end_session(fd);
        }
        cdb_close(fd);
    };
    s.start();
    ASSERT_EQ(set("/top/policy{p1}/sequence{5}/vpn", "8"), CONFD_OK);
    EXPECT_THAT(s.take(), ElementsAre("notify seq", "  ~ /top/policy{p1}/sequence{5} [vpn=8]",
                                      "  read 7", "  read 8"));
}

// Changes are read only while a notification is being read, and only of a point that fired.
TEST_F(CdbContract, ChangesOfFiredPointsOnly) {
    Subscriber s;
    int flag = s.subscribe(1, "/top/flag", "flag");
    int level = s.subscribe(1, "/top/level", "level");
    s.keyless = {flag, level};
    confd_tag_value_t *tv = nullptr;
    int n = 0;
    EXPECT_EQ(err_of(cdb_get_modifications(s.fd(), flag, 0, &tv, &n, nullptr)), CONFD_ERR_BADSTATE);
    s.hook = [&](Subscriber &sub) {
        auto noop = [](confd_hkeypath_t *, enum cdb_iter_op, confd_value_t *, confd_value_t *,
                       void *) { return ITER_CONTINUE; };
        if (cdb_diff_iterate(sub.fd(), level, noop, 0, nullptr) == CONFD_ERR &&
            confd_errno == CONFD_ERR_NOEXISTS)
            sub.add("  level did not fire");
    };
    s.start();
    ASSERT_EQ(set("/top/flag", "true"), CONFD_OK);
    EXPECT_THAT(s.take(), ElementsAre("notify flag", "  mods [flag=true]", "  level did not fire"));
}

// Operational data: typed reads and writes, tolerated error codes, oper subscriptions after
// the session ends.
TEST_F(CdbContract, OperationalDataAndSubscriptions) {
    Subscriber s;
    s.oper_subscribe("/initial-prio", "prio");
    s.oper_subscribe("/stats/intf", "intf");
    s.start();
    int fd = data_socket();
    ASSERT_EQ(cdb_start_session2(fd, CDB_OPERATIONAL, CDB_LOCK_SESSION | CDB_LOCK_PARTIAL),
              CONFD_OK);
    confd_value_t v;
    EXPECT_EQ(err_of(cdb_get(fd, &v, "/initial-prio")), CONFD_ERR_NOEXISTS);
    CONFD_SET_BIT32(&v, 5);
    ASSERT_EQ(cdb_set_elem(fd, &v, "/initial-prio"), CONFD_OK) << confd_lasterr();
    ASSERT_EQ(cdb_create(fd, "/stats/intf{%s}", "ge0/1"), CONFD_OK) << confd_lasterr();
    EXPECT_EQ(err_of(cdb_create(fd, "/stats/intf{ge0/1}")), CONFD_ERR_ALREADY_EXISTS);
    EXPECT_EQ(err_of(cdb_delete(fd, "/stats/intf{nope}")), CONFD_ERR_NOEXISTS);
    CONFD_SET_BIT32(&v, 1u << 7);
    EXPECT_EQ(err_of(cdb_set_elem(fd, &v, "/initial-prio")), CONFD_ERR_BADTYPE);
    CONFD_SET_UINT32(&v, 1);
    EXPECT_EQ(err_of(cdb_set_elem(fd, &v, "/top/level")), CONFD_ERR_NOT_WRITABLE);
    ASSERT_EQ(cdb_get(fd, &v, "/initial-prio"), CONFD_OK);
    EXPECT_EQ(v.type, C_BIT32);
    EXPECT_EQ(CONFD_GET_BIT32(&v), 5u);
    char text[32];
    ASSERT_EQ(cdb_get_str(fd, text, sizeof text, "/initial-prio"), CONFD_OK);
    EXPECT_STREQ(text, "a c");
    EXPECT_TRUE(s.take().empty());  // nothing before the session ends
    ASSERT_EQ(cdb_end_session(fd), CONFD_OK);
    int n = 0;
    for (; n < 200 && s.take().empty(); ++n)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LT(n, 200);
    cdb_close(fd);
}

// The start phase holds cdb_wait_start until the command line advances it.
TEST_F(CdbContract, StartPhases) {
    stop();
    ASSERT_TRUE(start(0));
    int fd = data_socket();
    cdb_phase ph{};
    ASSERT_EQ(cdb_get_phase(fd, &ph), CONFD_OK);
    EXPECT_EQ(ph.phase, 0);
    std::atomic<bool> started{false};
    std::thread waiter([&] {
        int w = data_socket();
        EXPECT_EQ(cdb_wait_start(w), CONFD_OK);
        started = true;
        cdb_close(w);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(started);
    confd_wire::WireWriter w(confd_wire::Op::CliPhase);
    w.i32(-1);
    ASSERT_EQ(cli(w), CONFD_OK);
    waiter.join();
    EXPECT_TRUE(started);
    ASSERT_EQ(cdb_get_phase(fd, &ph), CONFD_OK);
    EXPECT_EQ(ph.phase, 1);
    cdb_close(fd);
}

// Invalid commits are refused with a message naming the path, and change nothing.
TEST_F(CdbContract, InvalidCommitsChangeNothing) {
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    Subscriber s;
    s.subscribe(1, "/top/policy/sequence", "seq");
    s.start();
    const std::string file = read_text(db_ + "/running.json");
    const std::string before = show();
    std::string err;
    EXPECT_EQ(set("/top/policy{p1}/sequence{5}/vpn", "70000", &err), CONFD_ERR);
    EXPECT_THAT(err, HasSubstr("/top/policy{p1}/sequence{5}/vpn"));
    EXPECT_EQ(set("/top/policy{p1}/sequence{5}/col", "purple", &err), CONFD_ERR);
    EXPECT_THAT(err, HasSubstr("purple"));
    EXPECT_EQ(load_xml(R"(<top xmlns="urn:test:cdbt"><policy><sequence><seq>1</seq></sequence>
        </policy></top>)",
                       &err),
              CONFD_ERR);
    EXPECT_THAT(err, HasSubstr("/cdbt:top/policy"));
    EXPECT_EQ(set("/top/nosuch", "1", &err), CONFD_ERR);
    EXPECT_THAT(err, HasSubstr("nosuch"));
    EXPECT_EQ(del("/top/lists/vpn-list{none}", &err), CONFD_ERR);
    EXPECT_EQ(show(), before);
    EXPECT_EQ(read_text(db_ + "/running.json"), file);
    EXPECT_TRUE(s.take().empty());
}

// Commits persist; a restart reads them back; a damaged file stops the server untouched.
TEST_F(CdbContract, PersistenceAcrossRestart) {
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    // The 64th commit folds the journal into a new snapshot: the last 7 commits are journalled.
    for (int i = 1; i <= 70; ++i)
        ASSERT_EQ(set("/top/policy{p1}/sequence{5}/vpn", std::to_string(i)), CONFD_OK);
    std::vector<cdbd::JournalRecord> recs;
    std::string err;
    ASSERT_TRUE(cdbd::CommitJournal::read(db_ + "/running.journal",
                                          read_text(db_ + "/running.json"), recs, err));
    EXPECT_EQ(recs.size(), 7u);
    ASSERT_EQ(set("/top/policy{p1}/sequence{5}/vpn", "7"), CONFD_OK);
    stop();
    ASSERT_TRUE(start());
    int fd = data_socket();
    ASSERT_EQ(cdb_start_session(fd, CDB_RUNNING), CONFD_OK);
    confd_value_t v;
    ASSERT_EQ(cdb_get(fd, &v, "/top/policy{p1}/sequence{5}/col"), CONFD_OK);
    EXPECT_EQ(CONFD_GET_ENUM_VALUE(&v), 2);
    ASSERT_EQ(cdb_get(fd, &v, "/top/policy{p1}/sequence{5}/vpn"), CONFD_OK);
    EXPECT_EQ(CONFD_GET_UINT32(&v), 7u);
    EXPECT_EQ(cdb_num_instances(fd, "/top/policy{p1}/sequence"), 1);
    EXPECT_EQ(cdb_exists(fd, "/top/lists/vpn-list{corp}/vpn{10}"), 1);
    EXPECT_EQ(cdb_exists(fd, "/top/lists/vpn-list{corp}/vpn{11}"), 0);
    cdb_close(fd);
    stop();
    {
        std::ofstream out(db_ + "/running.json");
        out << "{\"cdbt:top\": {\"policy\": [{\"name\": ";
    }
    const std::string damaged = read_text(db_ + "/running.json");
    EXPECT_FALSE(start());
    EXPECT_THAT(start_err_, HasSubstr("damaged"));
    EXPECT_EQ(read_text(db_ + "/running.json"), damaged);
}

// Every client socket sees CONFD_EOF once the server is gone.
TEST_F(CdbContract, EofOnEverySocketWhenServerStops) {
    Subscriber s;
    s.subscribe(1, "/top", "top");
    s.start();
    int fd = data_socket();
    int m = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(maapi_connect(m, nullptr, 0), CONFD_OK);
    stop();
    cdb_phase ph{};
    EXPECT_EQ(cdb_get_phase(fd, &ph), CONFD_EOF);
    for (int i = 0; i < 200 && s.last_rc == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(s.last_rc, CONFD_EOF);
    cdb_close(fd);
    maapi_close(m);
}

// Names, tags, namespaces and types come from the loaded schema, and text parses by them.
TEST_F(CdbContract, SchemaHelpers) {
    EXPECT_EQ(confd_str2hash("vpn"), 4242u);  // pinned
    EXPECT_STREQ(confd_hash2str(4242), "vpn");
    EXPECT_STREQ(confd_hash2str(confd_str2hash("sequence")), "sequence");
    confd_cs_node *root = confd_find_cs_root(1234567);
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(confd_hash2str(root->tag), "top");
    confd_cs_node *col = confd_cs_node_cd(nullptr, "/top/policy{p1}/sequence{5}/col");
    ASSERT_NE(col, nullptr);
    confd_value_t v;
    CONFD_SET_ENUM_VALUE(&v, 3);
    char buf[32];
    EXPECT_EQ(confd_val2str(col->info.type, &v, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "blue");
    struct confd_type *color = confd_find_ns_type(1234567, "color");
    ASSERT_NE(color, nullptr);
    const char *label = nullptr;
    CONFD_SET_ENUM_VALUE(&v, 1);
    ASSERT_GE(confd_val2str_ptr(color, &v, &label), 0);
    EXPECT_STREQ(label, "red");
    confd_cs_node *seq = confd_cs_node_cd(nullptr, "/top/policy/sequence");
    ASSERT_NE(seq, nullptr);
    EXPECT_TRUE(seq->info.flags & CS_NODE_IS_LIST);
    EXPECT_EQ(seq->info.keys[0], confd_str2hash("seq"));
    confd_cs_node *level = confd_cs_node_cd(nullptr, "/top/level");
    ASSERT_NE(level, nullptr);
    ASSERT_NE(level->info.defval, nullptr);
    EXPECT_EQ(CONFD_GET_INT32(level->info.defval), 1000);

    // Text parses into the node's integer type, signed or not; junk is refused.
    confd_cs_node *seq_key = confd_cs_node_cd(nullptr, "/top/policy/sequence/seq");
    ASSERT_NE(seq_key, nullptr);
    ASSERT_EQ(confd_str2val(level->info.type, "-7", &v), CONFD_OK);
    EXPECT_EQ(v.type, C_INT32);
    EXPECT_EQ(CONFD_GET_INT32(&v), -7);
    ASSERT_EQ(confd_str2val(seq_key->info.type, "65530", &v), CONFD_OK);
    EXPECT_EQ(v.type, C_UINT16);
    EXPECT_EQ(CONFD_GET_UINT16(&v), 65530);
    EXPECT_EQ(err_of(confd_str2val(seq_key->info.type, "12x", &v)), CONFD_ERR_BADTYPE);
    EXPECT_EQ(err_of(confd_str2val(seq_key->info.type, "65536", &v)), CONFD_ERR_BADTYPE)
        << "wider than uint16";
}

// Two different names given one tag, or one name two tags, are refused at load.
TEST_F(CdbContract, TagCollisionsRefused) {
    stop();
    auto write = [&](const char *body) {
        std::ofstream out(yang_ + "/clash.yang");
        out << "module clash { yang-version 1.1; namespace \"urn:test:clash\"; prefix c;\n"
               "import plx-ext { prefix plxe; }\n"
            << body << "}\n";
    };
    write("leaf a { plxe:id-value \"4242\"; type string; }");
    EXPECT_FALSE(start());
    EXPECT_THAT(start_err_, HasSubstr("collides"));
    write("leaf vpn { plxe:id-value \"77\"; type string; }");
    EXPECT_FALSE(start());
    EXPECT_THAT(start_err_, HasSubstr("two tags"));
}

// The server killed at any moment: a commit it acknowledged is there after the restart, a
// commit on its way is there whole or not at all. Sets and a delete journalled after the load
// replay on top of it.
TEST_F(CdbContract, KilledServerKeepsAcknowledgedCommitsWhole) {
    stop();
    auto spawn = [&]() {
        pid_t pid = ::spawn(
            {CDBD_BIN, "--yang-dir", yang_, "--db-dir", db_, "--port", getenv("CONFD_IPC_PORT")});
        wait_for([] { return confd_load_schemas(nullptr, 0) == CONFD_OK; }, 4000);  // answers
        return pid;
    };
    auto sequences = [&](const std::string &policy) {
        int fd = data_socket();
        EXPECT_EQ(cdb_start_session(fd, CDB_RUNNING), CONFD_OK);
        int n = cdb_num_instances(fd, "/top/policy{%s}/sequence", policy.c_str());
        cdb_close(fd);
        return std::max(n, 0);
    };
    pid_t pid = spawn();
    ASSERT_EQ(load_xml(kPolicy), CONFD_OK);
    ASSERT_EQ(set("/top/policy{p1}/sequence{5}/vpn", "9"), CONFD_OK);
    ASSERT_EQ(del("/top/lists/vpn-list{corp}/vpn{10}"), CONFD_OK);
    std::mt19937 rng(11);
    for (int k = 0; k < 6; ++k) {
        std::string name = "k" + std::to_string(k), xml = "<top xmlns=\"urn:test:cdbt\"><policy>";
        xml += "<name>" + name + "</name>";
        for (int q = 1; q <= 50; ++q)
            xml += "<sequence><seq>" + std::to_string(q) + "</seq><vpn>7</vpn></sequence>";
        xml += "</policy></top>";
        int rc = -1;
        std::thread t([&] { rc = load_xml(xml); });
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 8000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        t.join();
        pid = spawn();
        const int n = sequences(name);
        EXPECT_TRUE(n == 0 || n == 50) << name << ": " << n << " sequences";
        if (rc == CONFD_OK) {
            EXPECT_EQ(n, 50) << name << " was acknowledged";
        }
    }
    int fd = data_socket();
    ASSERT_EQ(cdb_start_session(fd, CDB_RUNNING), CONFD_OK);
    confd_value_t v;
    ASSERT_EQ(cdb_get(fd, &v, "/top/policy{p1}/sequence{5}/vpn"), CONFD_OK);
    EXPECT_EQ(CONFD_GET_UINT32(&v), 9u);
    EXPECT_EQ(cdb_exists(fd, "/top/lists/vpn-list{corp}/vpn{10}"), 0);
    EXPECT_EQ(cdb_exists(fd, "/top/lists/vpn-list{corp}"), 1);
    cdb_close(fd);
    stop_process(pid);
}

// A journal cut anywhere gives back its whole records before the cut and nothing of the one it
// cuts; a journal written for another snapshot gives nothing.
TEST(CommitJournal, CutJournalKeepsWholeRecordsOnly) {
    const std::string dir = fs::temp_directory_path() / ("cdbj-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = dir + "/running.journal";
    cdbd::CommitJournal j;
    std::string err;
    ASSERT_TRUE(j.reset(path, "{}", err)) << err;
    std::vector<uint64_t> ends{j.size()};
    for (uint8_t k = 1; k <= 3; ++k) {
        ASSERT_TRUE(j.append(50 + k, std::vector<uint8_t>(k * 7u, k), err)) << err;
        ends.push_back(j.size());
    }
    const std::string full = read_text(path);
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << full.substr(0, cut);
        std::vector<cdbd::JournalRecord> recs;
        ASSERT_TRUE(cdbd::CommitJournal::read(path, "{}", recs, err));
        size_t whole = std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin();
        ASSERT_EQ(recs.size(), whole == 0 ? 0 : whole - 1) << "cut at " << cut;
        for (size_t i = 0; i < recs.size(); ++i)
            EXPECT_EQ(recs[i].payload, std::vector<uint8_t>((i + 1) * 7, uint8_t(i + 1)));
    }
    std::vector<cdbd::JournalRecord> recs;
    ASSERT_TRUE(cdbd::CommitJournal::read(path, "{ }", recs, err));
    EXPECT_TRUE(recs.empty());
    fs::remove_all(dir);
}
