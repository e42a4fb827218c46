// Trap groups as their readers build them, and a notification reaching a real snmptrapd
// through the database for the groups that select it only.
#include <string>
#include <vector>

#include "qconfd/plx_program_status.h"
#include "qconfd/qconfd_trap.h"
#include "qconfd/qconfd_util.h"
#include "tests/peers/cdbd/snmp/snmptrapd_fixture.h"
#include "tests/qconfd/qconfd_test_env.h"
#include "tests/support/test_process.h"

namespace {

int group(const char *name, int op) {
    confd_value_t key;
    CONFD_SET_BUF(&key, name, strlen(name));
    return qconfd_config_trap_group(nullptr, op, 1, &key, 0, nullptr);
}

int enable(const char *name, int module, int op, std::vector<int> levels) {
    confd_value_t keys[2];
    CONFD_SET_BUF(&keys[0], name, strlen(name));
    CONFD_SET_ENUM_VALUE(&keys[1], module);
    std::vector<confd_value_t> list(levels.size());
    for (size_t i = 0; i < levels.size(); ++i)
        CONFD_SET_ENUM_VALUE(&list[i], levels[i]);
    confd_tag_value_t tv;
    tv.tag = {QCONFD_TRAP_LEVEL_TAG, 0};
    CONFD_SET_LIST(&tv.v, list.data(), static_cast<unsigned>(list.size()));
    return qconfd_config_trap_group_enable(nullptr, op, 2, keys, op == MOP_DELETED ? 0 : 1, &tv);
}

bool on(const char *g, int index) {
    return qconfd_trap_group_bitmap(g).at(index - 1) == '1';
}

TEST(TrapGroups, ModuleAllAndSingleModulesKeepSeparateSettings) {
    qconfd_trap_init();
    ASSERT_EQ(group("ops", MOP_CREATED), 0);
    ASSERT_EQ(enable("ops", 0, MOP_CREATED, {1}), 0);
    ASSERT_EQ(enable("ops", 10, MOP_CREATED, {2}), 0);
    for (int i : {5, 25, 84, 85, 96, 59, 60, 73})
        EXPECT_TRUE(on("ops", i)) << i;
    for (int i : {1, 29, 61, 74, 91})
        EXPECT_FALSE(on("ops", i)) << i;

    // Deleting module 10 leaves what module 0 enabled; re-listing replaces the levels.
    ASSERT_EQ(enable("ops", 10, MOP_DELETED, {}), 0);
    EXPECT_FALSE(on("ops", 59));
    EXPECT_TRUE(on("ops", 84));
    ASSERT_EQ(enable("ops", 0, MOP_MODIFIED, {2}), 0);
    EXPECT_FALSE(on("ops", 84));
    EXPECT_TRUE(on("ops", 61));

    // Every level of every module covers every index but 91.
    ASSERT_EQ(enable("ops", 0, MOP_MODIFIED, {0, 1, 2}), 0);
    EXPECT_EQ(qconfd_trap_group_bitmap("ops"), std::string(90, '1') + "0" + std::string(9, '1'));

    // Entries and groups in any order: an entry brings its group, a group deleted before its
    // entries leaves them nothing to clear.
    EXPECT_EQ(enable("early", 3, MOP_CREATED, {1}), 0);
    EXPECT_TRUE(on("early", 25));
    ASSERT_EQ(group("early", MOP_DELETED), 0);
    EXPECT_EQ(enable("early", 3, MOP_DELETED, {}), 0);
    EXPECT_EQ(qconfd_trap_group_bitmap("early"), "");
    confd_value_t key;
    CONFD_SET_BUF(&key, "ops", 3);
    EXPECT_EQ(qconfd_config_trap_group(nullptr, MOP_CREATED, 2, &key, 0, nullptr), 1);
    ASSERT_EQ(group("ops", MOP_DELETED), 0);
    EXPECT_EQ(qconfd_trap_group_bitmap("ops"), "");
    qconfd_trap_clear();
}

TEST(TrapTable, HoldsEveryNotificationIndexOnceAndThePolicyRows) {
    qconfd_trap_init();
    EXPECT_EQ(qconfd_trap_table_size(), 262);
    EXPECT_EQ(qconfd_trap_get_index(PLX_NOTIF_DATA_POLICY_STATUS, PLX_NOTIF_NS), 84u);
    EXPECT_EQ(qconfd_trap_get_index(PLX_NOTIF_ACCESS_LIST_STATUS, 0), 85u);
    EXPECT_STREQ(qconfd_trap_get_mib_name(PLX_NOTIF_POLICY_NAME, 0), "quorvelPolicyName");
    EXPECT_EQ(qconfd_trap_get_mib_name(PLX_NOTIF_POLICY_NAME, 1), nullptr);
    qconfd_trap_clear();
    EXPECT_EQ(qconfd_trap_table_size(), 0);
}

class Traps : public QconfdEnv {
  protected:
    void SetUp() override {
        if (!snmpt::SnmpTrapd::available())
            GTEST_SKIP() << "snmptrapd is not installed";
        ASSERT_TRUE(trapd_.start()) << trapd_.error();
        const std::string port = std::to_string(trapd_.port());
        snmp_targets_ = "notify ops target 127.0.0.1 " + port + " opscomm\n" +
                        "notify hw target 127.0.0.1 " + port + " hwcomm\n";
        QconfdEnv::SetUp();
        qconfd_trap_init();
        qconfd_notification_throttler_init(&ctx_);
    }
    void TearDown() override {
        qconfd_notification_throttler_free();
        qconfd_trap_clear();
        QconfdEnv::TearDown();
    }
    snmpt::SnmpTrapd trapd_;
};

TEST_F(Traps, ANotificationReachesTheGroupsThatSelectItOnly) {
    ASSERT_EQ(group("ops", MOP_CREATED), 0);
    ASSERT_EQ(enable("ops", 10, MOP_CREATED, {1}), 0);
    ASSERT_EQ(group("hw", MOP_CREATED), 0);
    ASSERT_EQ(enable("hw", 3, MOP_CREATED, {0, 1, 2}), 0);
    ASSERT_EQ(enable("hw", 0, MOP_CREATED, {2}), 0);

    ASSERT_EQ(plx_send_data_policy_status(&ctx_, "corp-vpns", "dp-corp", false), 0);
    auto traps = trapd_.wait_for(1);
    ASSERT_EQ(traps.size(), 1u) << trapd_.log();
    EXPECT_EQ(traps[0].community, "opscomm");
    EXPECT_EQ(traps[0].trap_oid(), "1.3.6.1.4.1.99417.10.0.84");
    EXPECT_EQ(traps[0].value("1.3.6.1.4.1.99417.10.1.1"), "STRING: \"dp-corp\"");
    EXPECT_EQ(traps[0].value("1.3.6.1.4.1.99417.10.1.4"), "STRING: \"Failed\"");
    EXPECT_EQ(traps[0].value("1.3.6.1.4.1.99417.1.2"), "INTEGER: 2");

    // hw now takes module 10's minor traps only: the next notification selects nobody.
    ASSERT_EQ(plx_send_access_list_status(&ctx_, "acl1", true), 0);
    ASSERT_TRUE(wait_for([&] { return received("acl1").size() == 1; }, 3000));
    ASSERT_EQ(enable("ops", 10, MOP_DELETED, {}), 0);
    ASSERT_EQ(plx_send_access_list_status(&ctx_, "acl2", true), 0);
    ASSERT_TRUE(wait_for([&] { return received("acl2").size() == 1; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    traps = trapd_.traps();
    ASSERT_EQ(traps.size(), 2u) << trapd_.log();
    EXPECT_EQ(traps[1].trap_oid(), "1.3.6.1.4.1.99417.10.0.85");
    EXPECT_EQ(traps[1].value("1.3.6.1.4.1.99417.10.1.3"), "STRING: \"acl1\"");
}

}  // namespace
