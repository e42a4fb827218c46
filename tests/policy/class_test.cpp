#include <string>

#include "tests/policy/model_fixture.h"

namespace plx::cfg::test {
namespace {

using ClassTest = ModelTest;

int add(plx_policy_db &db, const std::string &name, uint32_t queue = 0) {
    plx_class_cfg c{name, queue};
    return plx_class_add(&db, &c);
}

TEST_F(ClassTest, ControlClassFirstThenLowestFreeIds) {
    ASSERT_EQ(db.classes.classes.count(), 1u);
    plx_fwd_class *ctl = plx_class_find(&db, "__control_fc");
    ASSERT_NE(ctl, nullptr);
    EXPECT_EQ(ctl->class_id, 0u);
    EXPECT_EQ(ctl->queue, 0u);
    EXPECT_EQ(ctl->ignore, 0u);

    ASSERT_EQ(add(db, "be", 2), 0);
    EXPECT_EQ(plx_class_find(&db, "be")->class_id, 1u);
    for (int i = 2; i < 8; ++i)
        // Appended rather than "c" + std::to_string(i): GCC 12 at -O3 warns falsely (-Wrestrict).
        ASSERT_EQ(add(db, std::string(1, 'c').append(std::to_string(i))), 0);
    // Ids are reused lowest first.
    ASSERT_EQ(plx_class_delete(&db, "c5"), 0);
    ASSERT_EQ(plx_class_delete(&db, "be"), 0);
    ASSERT_EQ(add(db, "x"), 0);
    ASSERT_EQ(add(db, "y"), 0);
    ASSERT_EQ(add(db, "z"), 0);
    EXPECT_EQ(plx_class_find(&db, "x")->class_id, 1u);
    EXPECT_EQ(plx_class_find(&db, "y")->class_id, 5u);
    EXPECT_EQ(plx_class_find(&db, "z")->class_id, 8u);

    // Restarting the db brings back only the control class.
    ASSERT_EQ(plx_control_fc_init(&db), 0);
    EXPECT_EQ(db.classes.classes.count(), 1u);
    ASSERT_EQ(add(db, "again"), 0);
    EXPECT_EQ(plx_class_find(&db, "again")->class_id, 1u);
}

// The 73rd class fails and leaves the db as it was; names are checked.
TEST_F(ClassTest, SeventyThirdClassFailsAndNamesAreChecked) {
    for (int i = 1; i < 72; ++i)
        ASSERT_EQ(add(db, "class" + std::to_string(i)), 0) << i;
    EXPECT_EQ(plx_class_find(&db, "class71")->class_id, 71u);
    std::string before = snapshot(db);
    EXPECT_EQ(add(db, "one-too-many"), PLX_ENOMEM);
    EXPECT_EQ(snapshot(db), before);
    ASSERT_EQ(plx_class_delete(&db, "class40"), 0);
    ASSERT_EQ(add(db, "one-too-many"), 0);
    EXPECT_EQ(plx_class_find(&db, "one-too-many")->class_id, 40u);

    EXPECT_EQ(add(db, "class1"), PLX_EEXIST);
    EXPECT_EQ(add(db, ""), PLX_EBADMSG);
    // Names of up to 32 characters, found by all of them.
    const std::string n32(32, 'q');
    ASSERT_EQ(plx_class_delete(&db, "class41"), 0);
    ASSERT_EQ(add(db, n32, 7), 0);
    EXPECT_EQ(plx_class_find(&db, n32)->queue, 7u);
    EXPECT_EQ(plx_class_find(&db, n32.substr(0, 31)), nullptr);
    EXPECT_EQ(add(db, n32 + "q"), PLX_EINVAL);
    EXPECT_EQ(plx_class_add(nullptr, nullptr), PLX_EBADMSG);
    EXPECT_EQ(plx_control_fc_init(nullptr), PLX_EBADMSG);
    plx_class_cfg missing{"missing", 1};
    EXPECT_EQ(plx_class_modify(&db, &missing), PLX_ENOENT);
    EXPECT_EQ(plx_class_delete(&db, "missing"), PLX_ENOENT);
}

TEST_F(ClassTest, ChangesMarkOnlyPoliciesSettingTheClass) {
    ASSERT_EQ(add(db, "gold", 1), 0);
    data_policy("uses", "vl");
    data_policy("other", "vl");
    data_policy("ar", "vl", PFR);
    ASSERT_EQ(plx_config_rule_action_add(&db, add_rule(DATA, "uses", "vl", 1), 1,
                                         named_act(PLX_ACTION_SET_FC, "gold")),
              0);
    ASSERT_EQ(plx_config_rule_action_add(&db, add_rule(DATA, "other", "vl", 1), 1,
                                         named_act(PLX_ACTION_SET_FC, "silver")),
              0);
    add_rule(PFR, "ar", "vl", 1);
    config_action *silver = plx_config_action_find(&db, DATA, "other", "vl", 1, 1);
    EXPECT_EQ(silver->fc.unresolved, 1);  // named before it exists

    using marks = std::map<std::string, int>;
    const marks uses{{"1/uses", 1}, {"1/uses/vl", 1}};
    take_marks(db);
    plx_class_cfg q{"gold", 4};
    ASSERT_EQ(plx_class_modify(&db, &q), 0);
    EXPECT_EQ(plx_class_find(&db, "gold")->queue, 4u);
    EXPECT_EQ(take_marks(db), uses);
    ASSERT_EQ(plx_class_delete(&db, "gold"), 0);
    EXPECT_EQ(take_marks(db), uses);
    ASSERT_EQ(add(db, "gold"), 0);
    EXPECT_EQ(take_marks(db), uses);
    ASSERT_EQ(add(db, "silver"), 0);
    EXPECT_EQ(take_marks(db), (marks{{"1/other", 1}, {"1/other/vl", 1}}));

    // The rebuild's refresh resolves the class.
    ASSERT_EQ(plx_config_policy_vpn_list_refresh(
                  &db, plx_config_policy_vpn_list_find(&db, DATA, "other", "vl")),
              0);
    EXPECT_EQ(silver->fc.unresolved, 0);
    EXPECT_EQ(silver->fc.class_id, plx_class_find(&db, "silver")->class_id);
}

}  // namespace
}  // namespace plx::cfg::test
