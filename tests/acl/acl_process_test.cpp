// Access lists become placed programs bound to their interfaces; lists that do not fit filter
// memory are failed states that a release of memory retries, unlike lists the compiler refuses.
#include "acl/plx_acl_process.h"
#include "daemon/plx_verify.h"
#include "peers/fpeval/fp_eval.h"
#include "tests/policy/process_fixture.h"

namespace plx::cfg::test {
namespace {

constexpr uint32_t TAG_BASE_ACTION = 0x369ffb7;

// Filter memory (20 KiB) for a one-sequence list and a four-sequence list, not for both.
class AclProcess : public ProcessTest {
  protected:
    void SetUp() override {
        start(160);
        ASSERT_EQ(plx_acl_model_init(&model_, &db), 0);
        model_.ctx = &ctx;
        ctx.acl = &model_;
        plx_acl_process_attach(&ctx);
        plx_process_opts opts;
        opts.num_filters = kFilters;
        opts.clock_rate = [] { return kClock; };
        opts.process_access_lists = plx_process_access_lists;
        opts.retry_access_lists = plx_acl_retry_failed;
        plx_process_attach(&ctx, opts);
    }
    void TearDown() override {
        for (uint32_t family : {PLX_ACL_FAMILY_IPV4, PLX_ACL_FAMILY_IPV6})
            while (plx_access_list *l = model_.lists[family].first())
                plx_intf_config_acl_delete(&model_, std::string(l->name.view()), family);
        plx_acl_process_detach(&ctx);
        plx_acl_model_teardown(&model_);
        ProcessTest::TearDown();
    }
    void match(rule *r, uint32_t t, match_value mv) {
        ASSERT_EQ(plx_config_match_add(&db, r, t, mv), 0);
    }
    rule *acl_seq(std::string_view name, uint32_t family, uint32_t seq) {
        rule *r = nullptr;
        EXPECT_EQ(plx_intf_config_rule_add(&model_, name, family, seq, &r), 0);
        action_value a;
        a.verb = PLX_ACTION_VERB_ACCEPT;
        EXPECT_EQ(plx_intf_config_action_add(&model_, *r, TAG_BASE_ACTION, a), 0);
        return r;
    }
    // IPv4 list "s": TCP at sequence 10, bound inbound on ge0/1.
    void small_list_on_ge0_1() {
        ASSERT_EQ(plx_intf_config_acl_add(&model_, "s", PLX_ACL_FAMILY_IPV4, 2), 0);
        match(acl_seq("s", PLX_ACL_FAMILY_IPV4, 10), PLX_MATCH_PROTOCOL, match_value::number(6));
        ASSERT_EQ(plx_intf_config_bind(&model_, "s", PLX_ACL_FAMILY_IPV4, "ge0/1", 1, 7), 0);
    }
    std::vector<fib_acl_msg> take_acl() {
        for (size_t seen = SIZE_MAX; seen != acl_msgs.size();) {
            seen = acl_msgs.size();
            take_msgs();
        }
        return std::exchange(acl_msgs, {});
    }

    plx_acl_model model_;
};

TEST_F(AclProcess, OutOfMemoryIsRetriedWhenMemoryIsReleasedRefusalsAreNot) {
    small_list_on_ge0_1();
    ASSERT_EQ(plx_intf_config_acl_add(&model_, "big", PLX_ACL_FAMILY_IPV6, 1), 0);
    // Added out of order: compiled in ascending sequence order all the same.
    for (uint32_t seq : {40, 10, 30, 20})
        match(acl_seq("big", PLX_ACL_FAMILY_IPV6, seq), PLX_MATCH_DST_PORT,
              match_value::range(seq, seq));
    ASSERT_EQ(plx_intf_config_bind(&model_, "big", PLX_ACL_FAMILY_IPV6, "ge0/2", 2, 7), 0);
    // Nine fields in one sequence: more than a program can address.
    ASSERT_EQ(plx_intf_config_acl_add(&model_, "wide", PLX_ACL_FAMILY_IPV4, 2), 0);
    rule *r = acl_seq("wide", PLX_ACL_FAMILY_IPV4, 1);
    for (uint32_t t : {PLX_MATCH_PROTOCOL, PLX_MATCH_SRC_PORT, PLX_MATCH_DST_PORT, PLX_MATCH_DSCP,
                       PLX_MATCH_PKT_LEN, PLX_MATCH_TCP, PLX_MATCH_PLP, PLX_MATCH_NEXT_HEADER,
                       PLX_MATCH_TRAFFIC_CLASS})
        match(r, t, match_value::number(1));
    ASSERT_EQ(plx_intf_config_bind(&model_, "wide", PLX_ACL_FAMILY_IPV4, "ge0/3", 1, 7), 0);
    // A list without sequences is never compiled.
    ASSERT_EQ(plx_intf_config_acl_add(&model_, "empty", PLX_ACL_FAMILY_IPV4, 2), 0);
    ASSERT_EQ(plx_intf_config_bind(&model_, "empty", PLX_ACL_FAMILY_IPV4, "ge0/4", 1, 7), 0);
    take_acl();  // the binds the model sends as bindings are configured

    EXPECT_EQ(plx_process_all_changed(&ctx), 0);
    auto m = take_acl();
    ASSERT_EQ(m.size(), 3u);  // IPv4 lists first, in name-length order
    EXPECT_EQ(std::tuple(m[0].name, m[0].type, m[0].family, m[0].filter_id),
              std::tuple("s", FIB_MSG_ACL_BIND, uint8_t{0}, 0u));
    EXPECT_EQ(std::tuple(m[1].name, m[1].filter_id), std::tuple("wide", kFilters));
    EXPECT_EQ(std::tuple(m[2].name, m[2].family, m[2].filter_id),
              std::tuple("big", uint8_t{1}, kFilters));
    ASSERT_EQ(m[2].bindings.size(), 1u);
    EXPECT_EQ(std::tuple(m[2].bindings[0].intf, m[2].bindings[0].direction),
              std::tuple("ge0/2", 2));
    EXPECT_EQ(notes, (std::vector<std::string>{"acl wide Failed", "acl big Failed"}));
    EXPECT_EQ(plx_intf_config_acl_find(&model_, "empty", 0)->filter_id, PLX_FILTER_ID_NONE);

    // Deleting "s" unbinds it; once its program is released "big" alone is tried again.
    ASSERT_EQ(plx_intf_config_acl_delete(&model_, "s", PLX_ACL_FAMILY_IPV4), 0);
    m = take_acl();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(std::tuple(m[0].name, m[0].type), std::tuple("s", FIB_MSG_ACL_UNBIND));
    EXPECT_EQ(plx_mem_pending_releases(), 1);
    advance_ms(600);
    EXPECT_EQ(plx_mem_pending_releases(), 0);
    m = take_acl();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(std::tuple(m[0].name, m[0].type, m[0].filter_id),
              std::tuple("big", FIB_MSG_ACL_UNBIND, kFilters));
    EXPECT_EQ(std::tuple(m[1].name, m[1].type), std::tuple("big", FIB_MSG_ACL_BIND));
    EXPECT_LT(m[1].filter_id, kFilters);
    EXPECT_EQ(notes.back(), "acl big Success");
    auto *prog = plx_intf_config_acl_find(&model_, "big", 1)->p_program;
    ASSERT_NE(prog, nullptr);
    for (uint32_t port : {10, 20, 30, 40}) {  // sequences in ascending order
        FpPacket pkt{};
        pkt.field[PLX_FIELD_DST_PORT] = port;
        pkt.field[PLX_FIELD_MATCH_ANY] = 1;
        EXPECT_EQ(fp_eval(prog, pkt).index, port / 10) << port;  // record 0: the default
    }
    EXPECT_EQ(plx_intf_config_acl_find(&model_, "wide", 0)->filter_id, kFilters);
}

// An access list is a security boundary: new rules that do not fit leave the last good program
// bound (never the invalid filter), and are placed once memory is released.
TEST_F(AclProcess, NewRulesThatDoNotFitKeepTheLastGoodProgramBound) {
    small_list_on_ge0_1();
    ASSERT_EQ(plx_process_all_changed(&ctx), 0);
    take_acl();
    const uint32_t good = plx_intf_config_acl_find(&model_, "s", 0)->filter_id;
    ASSERT_LT(good, kFilters);

    for (uint32_t seq = 20; seq < 140; seq += 10)
        match(acl_seq("s", PLX_ACL_FAMILY_IPV4, seq), PLX_MATCH_DST_PORT,
              match_value::range(seq, seq));
    plx_process_all_changed(&ctx);
    auto m = take_acl();
    EXPECT_EQ(plx_intf_config_acl_find(&model_, "s", 0)->filter_id, good);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(std::tuple(m[0].type, m[0].filter_id), std::tuple(FIB_MSG_ACL_UNBIND, good));
    EXPECT_EQ(std::tuple(m[1].type, m[1].filter_id, m[1].bindings.size()),
              std::tuple(FIB_MSG_ACL_BIND, good, size_t{1}));
    EXPECT_EQ(notes.back(), "acl s Failed");

    // With the sequences back within what memory holds, the retry places the new rules.
    for (uint32_t seq = 30; seq < 140; seq += 10)
        ASSERT_EQ(plx_intf_config_rule_delete(&model_, "s", PLX_ACL_FAMILY_IPV4, seq), 0);
    plx_acl_retry_failed(&ctx);
    plx_process_all_changed(&ctx);
    m = take_acl();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(std::tuple(m[0].type, m[0].filter_id), std::tuple(FIB_MSG_ACL_UNBIND, good));
    EXPECT_EQ(std::tuple(m[1].type, m[1].bindings.size()), std::tuple(FIB_MSG_ACL_BIND, size_t{1}));
    EXPECT_NE(m[1].filter_id, good);
    EXPECT_LT(m[1].filter_id, kFilters);
}

constexpr uint32_t TAG_POLICE = 0x58e2217b;
constexpr uint32_t TAG_MIRROR = 0x65975b28;

// What a list copied from a policer or a mirror follows every later edit of them into the next
// program; and the self-check sees the list placed and bound.
TEST_F(AclProcess, CopiedPolicersAndMirrorsFollowTheirEdits) {
    const plx_ip_addr dst{{10, 0, 0, 9}, 1}, src1{{10, 0, 0, 1}, 1}, src2{{10, 0, 0, 2}, 1};
    ASSERT_EQ(plx_config_policer_add(&db, "p", PLX_POLICER_OWNER_LOCAL, {8'000'000, 1000, 0}), 0);
    ASSERT_EQ(plx_config_mirror_remote_dest_add(&db, "m", dst, src1), 0);
    ASSERT_EQ(plx_config_mirror_interface_add(&db, "m", "ge0/9"), 0);
    ASSERT_EQ(plx_intf_config_acl_add(&model_, "a", PLX_ACL_FAMILY_IPV4, 2), 0);
    rule *r = acl_seq("a", PLX_ACL_FAMILY_IPV4, 10);
    action_value v;
    v.name = "p";
    ASSERT_EQ(plx_intf_config_action_add(&model_, *r, TAG_POLICE, v), 0);
    v.name = "m";
    ASSERT_EQ(plx_intf_config_action_add(&model_, *r, TAG_MIRROR, v), 0);
    ASSERT_EQ(plx_intf_config_bind(&model_, "a", PLX_ACL_FAMILY_IPV4, "ge0/1", 1, 7), 0);
    process();
    auto data = [&] {
        FpPacket p;
        p.field[12] = 1;
        auto *l = plx_intf_config_acl_find(&model_, "a", PLX_ACL_FAMILY_IPV4);
        return reinterpret_cast<const uint8_t *>(fp_eval(l->p_program, p).record + 1);
    };
    auto police = [&] { return *plx_action_slot<PoliceSlot>(data(), 1); };
    auto mirror = [&] { return *plx_action_slot<MirrorSlot>(data(), 2); };
    EXPECT_EQ(police().rate, kClock / 1'000'000);
    EXPECT_EQ(mirror().src.addr[3], 1);

    ASSERT_EQ(plx_config_policer_update(&db, "p", PLX_POLICER_OWNER_LOCAL, {16'000'000, 0, 0},
                                        PLX_POLICER_RATE),
              0);
    ASSERT_EQ(plx_config_mirror_remote_dest_modify(&db, "m", dst, src2), 0);
    process();
    EXPECT_EQ(police().rate, kClock / 2'000'000) << "the recompile kept the old rate";
    EXPECT_EQ(mirror().src.addr[3], 2) << "the source change did not reach the program";
    ASSERT_EQ(plx_config_mirror_remote_dest_delete(&db, "m", dst), 0);
    process();
    EXPECT_EQ(mirror().kind, 1u) << "a removed destination stays in the program";

    take_acl();
    plx_verify_report rep = plx_verify(&ctx, fib_tables());
    EXPECT_TRUE(rep.differences.empty()) << rep.differences[0];
    EXPECT_EQ(rep.programs, 1u);
    EXPECT_EQ(rep.bindings, 1u);
}

}  // namespace
}  // namespace plx::cfg::test
