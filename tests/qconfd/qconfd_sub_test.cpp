// The configuration-database layer against a real database: the initial-read order, the
// reading of changes in priority order with adds and deletes split, a failing reader, and the
// reconnection after the database restarts (trap groups included).
#include <gtest/gtest.h>

#include "common/plx_events.h"
#include "common/plx_log.h"
#include "qconfd/qconfd_int.h"
#include "qconfd/qconfd_resync.h"
#include "qconfd/qconfd_trap.h"
#include "tests/qconfd/qconfd_fixture.h"

namespace {

qct::Recorder g_rec;
std::atomic<int> g_done{0}, g_done_triggered{0};

// "<path> <op> {keys} [values]"
int record(SubscriptionPoint *point, int op, uint8_t key_count, confd_value_t *keys,
           uint16_t value_count, confd_tag_value_t *values) {
    std::string line = std::string(point->path) + " " + cdbt::op_name(op) + " {";
    for (uint8_t i = 0; i < key_count; ++i) {
        char buf[64];
        confd_pp_value(buf, sizeof buf, &keys[i]);
        line += (i ? " " : "") + std::string(buf);
    }
    line += "}";
    if (value_count)
        line += " [" + cdbt::pp_tvs(values, value_count) + "]";
    g_rec.add(line);
    return 0;
}

// Fails on VPN 10 (as a reader that cannot apply an element), records every other object.
int fail_ten(SubscriptionPoint *point, int op, uint8_t key_count, confd_value_t *keys,
             uint16_t value_count, confd_tag_value_t *values) {
    if (key_count == 2 &&
        std::string(CONFD_GET_CBUFPTR(&keys[1]), CONFD_GET_BUFSIZE(&keys[1])) == "10")
        return 22;
    return record(point, op, key_count, keys, value_count, values);
}

std::atomic<int> g_not_applied{0};
void count_events(int, int event, va_list) {
    if (event == PLX_EVENT_CONFIG_NOT_APPLIED)
        ++g_not_applied;
}

// The initial read arrives as one triggered notification per priority level of the test table.
constexpr int TRIGGERED_LEVELS = 2;

constexpr char SLA[] = "policy-from-qctrl/sla-class";
constexpr char VPN_LIST[] = "policy-from-qctrl/lists/vpn-list";
constexpr char VPN[] = "policy-from-qctrl/lists/vpn-list/vpn";

class SubTest : public qct::QconfdFixture {
  protected:
    void SetUp() override {
        QconfdFixture::SetUp();
        g_rec.clear();
        g_done = g_done_triggered = 0;
        spec_.sub_done = [](QconfdContext *, int trigger) {
            ++g_done;
            if (trigger)
                ++g_done_triggered;
        };
    }
    // Connects, lets the modules before this one finish and waits for the initial read.
    void connect_and_read(size_t lines) {
        ASSERT_EQ(connect(table_, nullptr), QCONFD_INIT_OK);
        ASSERT_TRUE(wait_for([&] { return subscribed(); }));
        set_order(7);
        ASSERT_TRUE(g_rec.wait_size(lines)) << ::testing::PrintToString(g_rec.lines());
        ASSERT_TRUE(wait_for([] { return g_done_triggered == TRIGGERED_LEVELS; }));
    }
    SubscriptionPoint table_[5] = {
        qct::row(SLA, 1, 6, 1, record),
        qct::row(VPN_LIST, 1, 1, 6, record),
        qct::row(VPN, 2, 1, 6, record),
        qct::row("policy", 0, 1, 6, record),
        {},
    };
};

TEST_F(SubTest, InitialReadWaitsForTheModulesBeforeAndHappensOnce) {
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{10}"), CONFD_OK);
    ASSERT_EQ(connect(table_, nullptr), QCONFD_INIT_OK);
    ASSERT_TRUE(wait_for([&] { return subscribed(); }));

    // Two of the three modules are done: nothing is read, and a change made now is dropped
    // (the commit returns once the layer has taken it).
    set_order(1 | 2);
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{20}"), CONFD_OK);
    EXPECT_TRUE(g_rec.lines().empty());
    EXPECT_GE(g_done, 1);  // the dropped change still completes its notification

    // The last one finishes: one triggered read of everything, the dropped change included.
    set_order(7);
    ASSERT_TRUE(g_rec.wait_size(3));
    ASSERT_TRUE(wait_for([] { return g_done_triggered == TRIGGERED_LEVELS; }));
    EXPECT_EQ(g_rec.lines(), (std::vector<std::string>{
                                 "policy-from-qctrl/lists/vpn-list + {corp} [BEGIN(vpn-list) "
                                 "END(vpn-list)]",
                                 "policy-from-qctrl/lists/vpn-list/vpn + {corp 10} [BEGIN(vpn) "
                                 "END(vpn)]",
                                 "policy-from-qctrl/lists/vpn-list/vpn + {corp 20} [BEGIN(vpn) "
                                 "END(vpn)]",
                             }));
    EXPECT_EQ(loop_.run([&] { return ctx_->initial_read_done; }), 1u);

    // Further changes of the order leaf never start a second read; later changes are read.
    g_rec.clear();
    set_order(3);
    set_order(7);
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{30}"), CONFD_OK);
    ASSERT_TRUE(g_rec.wait_size(1));
    EXPECT_EQ(g_rec.lines(), (std::vector<std::string>{
                                 "policy-from-qctrl/lists/vpn-list/vpn + {corp 30} [BEGIN(vpn) "
                                 "END(vpn)]"}));
    EXPECT_EQ(g_done_triggered, TRIGGERED_LEVELS);
}

TEST_F(SubTest, ReadsInPriorityOrderWithAddsAndDeletesSplit) {
    ASSERT_EQ(load_xml(R"(<policy-from-qctrl xmlns="urn:quorvel:yang:policy">
        <sla-class><name>gold</name><loss>5</loss><latency>100</latency></sla-class>
        <lists><vpn-list><name>old</name><vpn><id>1</id></vpn></vpn-list></lists>
      </policy-from-qctrl>)"),
              CONFD_OK);
    connect_and_read(3);
    g_rec.clear();

    // One commit: a list replaced by another, a leaf of a class removed, a class added.
    std::string err;
    ASSERT_EQ(load_xml(R"(<policy-from-qctrl xmlns="urn:quorvel:yang:policy">
        <sla-class><name>gold</name><latency>100</latency></sla-class>
        <sla-class><name>silver</name><loss>1</loss></sla-class>
        <lists><vpn-list><name>new</name><vpn><id>5</id></vpn></vpn-list></lists>
      </policy-from-qctrl>)",
                       &err, true),
              CONFD_OK)
        << err;
    ASSERT_TRUE(g_rec.wait_size(6)) << ::testing::PrintToString(g_rec.lines());
    EXPECT_EQ(g_rec.lines(),
              (std::vector<std::string>{
                  // level 1: the class's removed leaf (its delete level), the new lists
                  "policy-from-qctrl/sla-class ~ {gold} [loss:-]",
                  "policy-from-qctrl/lists/vpn-list + {new} [BEGIN(vpn-list) END(vpn-list)]",
                  "policy-from-qctrl/lists/vpn-list/vpn + {new 5} [BEGIN(vpn) END(vpn)]",
                  // level 6: the new class (its add level), the deleted lists
                  "policy-from-qctrl/sla-class + {silver} [loss=1]",
                  "policy-from-qctrl/lists/vpn-list - {old}",
                  "policy-from-qctrl/lists/vpn-list/vpn - {old 1}",
              }));

    // A row without keys gets its changes in one call.
    g_rec.clear();
    ASSERT_EQ(set("/policy/app-visibility", "true"), CONFD_OK);
    ASSERT_TRUE(g_rec.wait_size(1));
    EXPECT_EQ(g_rec.lines(), (std::vector<std::string>{"policy ~ {} [app-visibility=true]"}));
}

// A reader that cannot apply an object is reported (log line and operator event); the other
// objects of the notification and later changes are still read: no commit stops the daemon.
TEST_F(SubTest, FailingReaderIsReportedAndTheRestIsRead) {
    table_[2].reader = fail_ten;
    g_not_applied = 0;
    plx_set_event_hook(count_events);
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{10}"), CONFD_OK);
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{20}"), CONFD_OK);
    connect_and_read(2);
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{30}"), CONFD_OK);
    ASSERT_TRUE(g_rec.wait_size(3));
    plx_set_event_hook(nullptr);
    EXPECT_EQ(g_rec.lines().back(),
              "policy-from-qctrl/lists/vpn-list/vpn + {corp 30} [BEGIN(vpn) END(vpn)]");
    EXPECT_EQ(g_not_applied, 1);
}

// The registration thread and the loop both find the gate open when the module before this one
// finishes between them: the whole configuration is still read once.
TEST_F(SubTest, InitialReadStartsOnceWhenTwoThreadsOpenTheGate) {
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{10}"), CONFD_OK);
    ASSERT_EQ(connect(table_, nullptr), QCONFD_INIT_OK);
    ASSERT_TRUE(wait_for([&] { return subscribed(); }));
    std::thread other([&] { qconfd_read_sub_config_all(ctx_); });
    qconfd_read_sub_config_all(ctx_);
    other.join();
    ASSERT_TRUE(wait_for([] { return g_done_triggered >= TRIGGERED_LEVELS; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(g_done_triggered, TRIGGERED_LEVELS);
    EXPECT_EQ(g_rec.lines().size(), 2u) << ::testing::PrintToString(g_rec.lines());
    qconfd_read_sub_config_all(ctx_);  // done: never again
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(g_done_triggered, TRIGGERED_LEVELS);
}

// The reconnection empties the trap groups; they are read again from the database, so traps go
// on and a later edit of a group's entry is applied.
TEST_F(SubTest, TrapGroupsAreReadAgainAfterTheDatabaseRestarts) {
    ASSERT_EQ(load_xml(R"(<snmp xmlns="urn:quorvel:yang:snmp"><trap><group><name>noc</name>
        <enable><module>all</module><level>critical</level></enable></group></trap></snmp>)"),
              CONFD_OK);
    connect_and_read(0);
    const std::string read = qconfd_trap_group_bitmap("noc");
    ASSERT_NE(read.find('1'), std::string::npos);
    stop();
    ASSERT_TRUE(start()) << start_err_;
    ASSERT_TRUE(wait_for([&] { return qconfd_trap_group_bitmap("noc") == read; }, 8000));
    ASSERT_EQ(set("/snmp/trap/group{noc}/enable{policy}/level", "major"), CONFD_OK);
    EXPECT_EQ(qconfd_trap_group_bitmap("noc").at(84 - 1), '1');
    ASSERT_EQ(del("/snmp/trap/group{noc}"), CONFD_OK);
    EXPECT_EQ(qconfd_trap_group_bitmap("noc"), "");
}

TEST_F(SubTest, ReconnectsEveryTwoSecondsAfterTheDatabaseRestarts) {
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{10}"), CONFD_OK);
    connect_and_read(2);

    // The database goes away: one retry timer, kept across failed attempts.
    stop();
    ASSERT_TRUE(wait_for([&] { return loop_.run([&] { return ctx_->retry_timer; }) != nullptr; }));
    timer *retry = loop_.run([&] { return ctx_->retry_timer; });
    EXPECT_EQ(timer_ticks_to_msecs(TIMER_RES_10MS, retry->interval), QCONFD_RETRY_INTERVAL_MS);
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));  // one failed attempt
    EXPECT_EQ(loop_.run([&] { return ctx_->retry_timer; }), retry);

    // Back on the same port and datastore: registered again at the next attempt.
    auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(start()) << start_err_;
    ASSERT_TRUE(wait_for([&] { return subscribed(); }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, std::chrono::milliseconds(2500));
    EXPECT_EQ(loop_.run([&] { return ctx_->retry_timer; }), nullptr);

    // The trap groups (one level) and the daemon's rows (both levels) are read again; nothing
    // changed, so no reader is called. A later change is read.
    ASSERT_TRUE(wait_for([] { return g_done_triggered == TRIGGERED_LEVELS + 3; }));
    ASSERT_EQ(set("/policy-from-qctrl/lists/vpn-list{corp}/vpn{11}"), CONFD_OK);
    ASSERT_TRUE(g_rec.wait_size(3));
    EXPECT_EQ(g_rec.lines().back(),
              "policy-from-qctrl/lists/vpn-list/vpn + {corp 11} [BEGIN(vpn) END(vpn)]");
    EXPECT_EQ(g_rec.lines().size(), 3u);
}

// Commits made while the connection is down reach the readers after the reconnection as the
// difference to what they were handed, at the levels a commit would use; unchanged objects are
// not handed again, and the kept state follows later changes.
TEST_F(SubTest, ReconnectionHandsOverOnlyWhatChangedMeanwhile) {
    ASSERT_EQ(load_xml(R"(<policy-from-qctrl xmlns="urn:quorvel:yang:policy">
        <sla-class><name>gold</name><loss>5</loss><latency>100</latency></sla-class>
        <sla-class><name>silver</name><loss>1</loss></sla-class>
        <lists><vpn-list><name>corp</name><vpn><id>10</id></vpn></vpn-list>
        <vpn-list><name>old</name><vpn><id>1</id></vpn></vpn-list></lists>
      </policy-from-qctrl>)"),
              CONFD_OK);
    connect_and_read(6);
    ASSERT_EQ(set("/policy-from-qctrl/sla-class{silver}/latency", "50"), CONFD_OK);
    ASSERT_TRUE(g_rec.wait_size(7));
    g_rec.clear();

    // The database restarts and takes a commit before the layer's next attempt.
    stop();
    ASSERT_TRUE(wait_for([&] { return loop_.run([&] { return ctx_->retry_timer; }) != nullptr; }));
    std::string err;
    ASSERT_EQ(start_with(R"(<policy-from-qctrl xmlns="urn:quorvel:yang:policy">
            <sla-class><name>gold</name><latency>100</latency></sla-class>
            <sla-class><name>silver</name><loss>2</loss><latency>50</latency></sla-class>
            <lists><vpn-list><name>corp</name><vpn><id>10</id></vpn><vpn><id>20</id></vpn>
            </vpn-list><vpn-list><name>new</name></vpn-list></lists>
          </policy-from-qctrl>)",
                         &err),
              CONFD_OK)
        << err << start_err_;
    ASSERT_TRUE(g_rec.wait_size(6, 8000)) << ::testing::PrintToString(g_rec.lines());
    ASSERT_TRUE(wait_for([] { return g_done_triggered == TRIGGERED_LEVELS + 3; }));
    EXPECT_EQ(g_rec.lines(),
              (std::vector<std::string>{
                  "policy-from-qctrl/sla-class ~ {gold} [loss:-]",
                  "policy-from-qctrl/lists/vpn-list + {new} [BEGIN(vpn-list) END(vpn-list)]",
                  "policy-from-qctrl/lists/vpn-list/vpn + {corp 20} [BEGIN(vpn) END(vpn)]",
                  "policy-from-qctrl/sla-class ~ {silver} [loss=2]",
                  "policy-from-qctrl/lists/vpn-list - {old}",
                  "policy-from-qctrl/lists/vpn-list/vpn - {old 1}",
              }));

    // What the readers hold now is what later changes and a second restart compare with.
    ASSERT_EQ(del("/policy-from-qctrl/lists/vpn-list{corp}/vpn{20}"), CONFD_OK);
    ASSERT_TRUE(g_rec.wait_size(7));
    restart_server();
    ASSERT_EQ(set("/policy-from-qctrl/sla-class{gold}/loss", "3"), CONFD_OK);
    ASSERT_TRUE(g_rec.wait_size(8, 8000));
    ASSERT_TRUE(wait_for([] { return g_done_triggered == TRIGGERED_LEVELS + 6; }, 8000));
    EXPECT_EQ(g_rec.lines().back(), "policy-from-qctrl/sla-class ~ {gold} [loss=3]");
    EXPECT_EQ(g_rec.lines().size(), 8u) << ::testing::PrintToString(g_rec.lines());
}

TEST_F(SubTest, StartsWithoutTheDatabaseAndConnectsWhenItComes) {
    stop();
    ASSERT_EQ(connect(table_, nullptr), QCONFD_INIT_RETRY);
    ASSERT_TRUE(start()) << start_err_;
    ASSERT_TRUE(wait_for([&] { return subscribed(); }, 5000));
    set_order(7);
    ASSERT_TRUE(wait_for([] { return g_done_triggered == TRIGGERED_LEVELS; }));
}

confd_tag_value_t tv(confd_vtype type, uint32_t tag = 1) {
    confd_tag_value_t t{};
    t.tag.tag = tag;
    t.v.type = type;
    return t;
}

TEST(ModificationFilter, SplitsAChangeSetBetweenTheTwoLevels) {
    // container { leaf removed, leaf set }
    const confd_tag_value_t mixed[] = {tv(C_XMLBEGIN), tv(C_NOEXISTS), tv(C_UINT8), tv(C_XMLEND)};
    EXPECT_EQ(qconfd_filter_modifications(mixed, 4, true).size(), 3u);
    EXPECT_EQ(qconfd_filter_modifications(mixed, 4, false).size(), 3u);

    // Only a removed leaf: nothing for the add level.
    const confd_tag_value_t removed[] = {tv(C_XMLBEGIN), tv(C_NOEXISTS), tv(C_XMLEND)};
    EXPECT_TRUE(qconfd_filter_modifications(removed, 3, false).empty());
    EXPECT_EQ(qconfd_filter_modifications(removed, 3, true).size(), 3u);

    // An entry created empty counts at the add level only; brackets alone never count.
    const confd_tag_value_t empty[] = {tv(C_XMLBEGIN), tv(C_XMLEND)};
    EXPECT_EQ(qconfd_filter_modifications(empty, 2, false).size(), 2u);
    EXPECT_TRUE(qconfd_filter_modifications(empty, 2, true).empty());
    const confd_tag_value_t set_only[] = {tv(C_XMLBEGIN), tv(C_XMLBEGIN, 2), tv(C_UINT8),
                                          tv(C_XMLEND, 2), tv(C_XMLEND)};
    EXPECT_TRUE(qconfd_filter_modifications(set_only, 5, true).empty());
}

// The kept objects against a whole read: a deleted object first, then only the changed leaf
// inside its container, a removed container as one C_NOEXISTS, and a new object whole.
TEST(ResyncChanges, HandsOverOnlyTheDifference) {
    SubscriptionPoint row = qct::row("r", 1, 1, 0, record);
    auto leaf = [](uint32_t tag, uint8_t v) {
        confd_tag_value_t t = tv(C_UINT8, tag);
        CONFD_SET_UINT8(&t.v, v);
        return t;
    };
    confd_value_t key{};
    CONFD_SET_UINT8(&key, 1);
    const confd_tag_value_t kept[] = {leaf(1, 1), tv(C_XMLBEGIN, 2), leaf(3, 1),
                                      leaf(4, 2), tv(C_XMLEND, 2),   tv(C_XMLBEGIN, 5),
                                      leaf(6, 1), tv(C_XMLEND, 5)};
    qconfd_snapshot_record(&row, "/r{1}", MOP_CREATED, 1, &key, kept, 8, 9);
    qconfd_snapshot_record(&row, "/r{2}", MOP_CREATED, 1, &key, kept, 1, 9);
    const confd_tag_value_t now[] = {leaf(1, 1), tv(C_XMLBEGIN, 2), leaf(3, 1), leaf(4, 3),
                                     tv(C_XMLEND, 2)};
    auto changes =
        qconfd_resync_changes(&row, {{"/r{1}", &key, now, 5, 9}, {"/r{3}", &key, now, 1, 9}});
    qconfd_snapshot_forget_all();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].op, MOP_DELETED);
    EXPECT_EQ(changes[0].kpath, "/r{2}");
    EXPECT_EQ(changes[1].op, MOP_MODIFIED);
    std::vector<std::pair<int, uint32_t>> got;
    for (const confd_tag_value_t &t : changes[1].values)
        got.emplace_back(t.v.type, t.tag.tag);
    EXPECT_EQ(got, (std::vector<std::pair<int, uint32_t>>{
                       {C_XMLBEGIN, 2}, {C_UINT8, 4}, {C_XMLEND, 2}, {C_NOEXISTS, 5}}));
    EXPECT_EQ(changes[2].op, MOP_CREATED);
    EXPECT_EQ(changes[2].values.size(), 1u);
}

}  // namespace
