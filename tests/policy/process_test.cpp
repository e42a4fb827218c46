// Committed policies become placed programs whose evaluation equals a linear first match of
// their rules, bound where they apply; changes and events rebuild exactly what they touch.
#include <cstring>
#include <random>

#include "peers/fpeval/fp_eval.h"
#include "policy/plx_process_rules.h"
#include "tests/policy/process_fixture.h"

namespace plx::cfg::test {
namespace {

// The action data of the first rule whose conditions all hold (conditions on one field are
// alternatives), or of the default action.
ActionData first_match(const policy_vpn_list &v, const FpPacket &pkt) {
    ActionData out;
    for (const rule &r : v.rules) {
        std::map<uint32_t, bool> field_ok;
        for (const match_cond &c : r.matches) {
            // The packet field the forwarding plane reads for each match type.
            static const std::map<uint32_t, uint32_t> field_of = {
                {PLX_MATCH_PROTOCOL, 1}, {PLX_MATCH_SRC_PORT, 2}, {PLX_MATCH_DST_PORT, 3},
                {PLX_MATCH_SRC_ADDR, 4}, {PLX_MATCH_DST_ADDR, 5}, {PLX_MATCH_DSCP, 6},
                {PLX_MATCH_PKT_LEN, 9},  {PLX_MATCH_APP, 10},     {PLX_MATCH_ANY, 12}};
            uint32_t f = field_of.at(c.field_type);
            uint32_t x = pkt.field[f];
            bool hit;
            if (f == PLX_FIELD_SRC_ADDR || f == PLX_FIELD_DST_ADDR) {
                auto a = c.addr();
                uint32_t net = uint32_t(a[0]) << 24 | a[1] << 16 | a[2] << 8 | a[3];
                uint32_t mask = c.high == 0 ? 0 : ~0u << (32 - c.high);
                hit = (x & mask) == (net & mask);
            } else {
                hit = c.low <= x && x <= c.high;
            }
            field_ok[f] = field_ok[f] || hit;
        }
        bool all = true;
        for (auto &[f, ok] : field_ok)
            all = all && ok;
        if (all) {
            EXPECT_TRUE(plx_rule_action_block(r, 800'000'000, out, nullptr));
            return out;
        }
    }
    plx_default_action_block(v.default_action, out);
    return out;
}

class Process : public ProcessTest {
  protected:
    void match(rule *r, uint32_t t, match_value mv) {
        ASSERT_EQ(plx_config_match_add(&db, r, t, mv), 0);
    }
    void action(rule *r, uint32_t tag, action_value av) {
        ASSERT_EQ(plx_config_rule_action_add(&db, r, tag, av), 0);
    }
    void verb(rule *r, uint32_t v) {
        action_value a = act(PLX_ACTION_BASE);
        a.verb = v;
        action(r, 1, a);
    }
    void counter(rule *r, std::string_view name) {
        action(r, 2, named_act(PLX_ACTION_COUNT, name));
    }
    // A data policy on VPNs 10-12 and 20: web traffic to a prefix list, ssh from one subnet,
    // DSCP 46 of small packets, and anything of the app list, each counted under its own name.
    void build_data_policy() {
        ASSERT_EQ(plx_config_vpn_list_add(&db, "corp"), 0);
        ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 10, 12), 0);
        ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 20, 20), 0);
        ASSERT_EQ(plx_config_pfx_list_add(&db, "servers", QCTRL), 0);
        ASSERT_EQ(plx_config_pfx_add(&db, "servers", QCTRL, {10, 1, 0, 0}, 16), 0);
        ASSERT_EQ(plx_config_pfx_add(&db, "servers", QCTRL, {192, 168, 7, 0}, 24), 0);
        ASSERT_EQ(plx_config_app_list_add(&db, "apps", PLX_APP_LIST_LOC_QCTRL), 0);
        ASSERT_EQ(plx_config_app_list_add_app(&db, "apps", PLX_APP_LIST_LOC_QCTRL,
                                              PLX_APP_LIST_KIND_APP, "http"),
                  0);
        data_policy("dp", "corp");
        rule *r = add_rule(DATA, "dp", "corp", 10);
        match(r, PLX_MATCH_PROTOCOL, match_value::number(6));
        match(r, PLX_MATCH_DST_PORT, match_value::range(80, 80));
        match(r, PLX_MATCH_DST_PORT, match_value::range(443, 443));
        match(r, PLX_MATCH_DST_PFX_LIST, match_value::named("servers"));
        verb(r, PLX_ACTION_VERB_ACCEPT);
        counter(r, "web");
        r = add_rule(DATA, "dp", "corp", 20);
        match(r, PLX_MATCH_SRC_ADDR, match_value::prefix({172, 16, 0, 0}, 12));
        match(r, PLX_MATCH_DST_PORT, match_value::range(22, 22));
        verb(r, PLX_ACTION_VERB_REJECT);
        counter(r, "ssh");
        r = add_rule(DATA, "dp", "corp", 30);
        match(r, PLX_MATCH_DSCP, match_value::number(46));
        match(r, PLX_MATCH_PKT_LEN, match_value::range(0, 200));
        verb(r, PLX_ACTION_VERB_ACCEPT);
        counter(r, "voice");
        r = add_rule(DATA, "dp", "corp", 40);
        match(r, PLX_MATCH_APP_LIST, match_value::named("apps"));
        verb(r, PLX_ACTION_VERB_ACCEPT);
        counter(r, "apps");
    }
    // Packets drawn around the values the rules name, so that every rule and the default hit.
    static FpPacket random_packet(std::mt19937 &rng) {
        auto pick = [&](std::initializer_list<uint32_t> v) {
            return *(v.begin() + rng() % v.size());
        };
        FpPacket p;
        p.field[PLX_FIELD_PROTOCOL] = pick({6, 17, 1});
        p.field[PLX_FIELD_SRC_PORT] = rng() % 65536;
        p.field[PLX_FIELD_DST_PORT] = pick({22, 80, 443, 8080, 53});
        p.field[PLX_FIELD_SRC_ADDR] = pick({0xAC100001, 0xAC200001, 0x0A010203, 0x01020304});
        p.field[PLX_FIELD_DST_ADDR] = pick({0x0A01FFFE, 0xC0A80709, 0xC0A80809, 0x0A020000});
        p.field[PLX_FIELD_DSCP] = pick({0, 46, 10});
        p.field[PLX_FIELD_PKT_LEN] = pick({64, 200, 201, 1500});
        p.field[PLX_FIELD_APP] = pick({0, 101, 103});
        p.field[PLX_FIELD_MATCH_ANY] = 1;
        return p;
    }
    void expect_first_match(uint32_t type, std::string_view pol, std::string_view vl, int n) {
        PolicyProgram *prog = program(type, pol, vl);
        ASSERT_NE(prog, nullptr);
        const policy_vpn_list &v = *plx_config_policy_vpn_list_find(&db, type, pol, vl);
        std::mt19937 rng(7);
        for (int i = 0; i < n; ++i) {
            FpPacket pkt = random_packet(rng);
            FpEvalResult res = fp_eval(prog, pkt);
            ASSERT_EQ(res.status, FP_EVAL_OK);
            ActionData want = first_match(v, pkt);
            ASSERT_EQ(memcmp(res.record + 1, &want, sizeof want), 0) << "packet " << i;
        }
    }
};

TEST_F(Process, DataPolicyBecomesBoundProgramThatMatchesLinearFirstMatch) {
    build_data_policy();
    auto m = process();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_BIND);
    EXPECT_EQ(m[0].filter_type, 1);
    EXPECT_EQ(m[0].direction, 3);
    EXPECT_EQ(m[0].filter_id, filter_of(DATA, "dp", "corp"));
    EXPECT_LT(m[0].filter_id, kFilters);
    EXPECT_EQ(m[0].name, "dp");
    EXPECT_EQ(m[0].vpn_ids, (std::vector<uint32_t>{10, 11, 12, 20}));
    expect_first_match(DATA, "dp", "corp", 2000);
    // Nothing marked: a second run sends nothing.
    EXPECT_TRUE(process().empty());
}

TEST_F(Process, AppRoutePolicyBindsAsType2WithSlaSlots) {
    ASSERT_EQ(plx_sla_class_add(&db, "gold"), 0);
    data_policy("ar", "corp", PFR);
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 5, 5), 0);
    rule *r = add_rule(PFR, "ar", "corp", 1);
    ASSERT_EQ(plx_config_app_list_add(&db, "remote", PLX_APP_LIST_LOC_QCTRL), 0);
    ASSERT_EQ(plx_config_app_list_add_app(&db, "remote", PLX_APP_LIST_LOC_QCTRL,
                                          PLX_APP_LIST_KIND_APP, "ssh"),
              0);
    match(r, PLX_MATCH_APP_LIST, match_value::named("remote"));
    action_value sla = named_act(PLX_ACTION_SLA_CLASS, "gold");
    sla.strict = 1;
    sla.color_bits = 1u << 4;
    action(r, 3, sla);
    r = add_rule(PFR, "ar", "corp", 2);
    match(r, PLX_MATCH_DST_PORT, match_value::range(5060, 5061));
    action(r, 3, named_act(PLX_ACTION_SLA_CLASS, "gold"));
    auto m = process();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].filter_type, 2);
    EXPECT_EQ(m[0].direction, 0);
    EXPECT_EQ(m[0].vpn_ids, std::vector<uint32_t>{5});
    expect_first_match(PFR, "ar", "corp", 500);

    FpPacket ssh;
    ssh.field[PLX_FIELD_APP] = 103;
    ssh.field[PLX_FIELD_MATCH_ANY] = 1;
    FpEvalResult res = fp_eval(program(PFR, "ar", "corp"), ssh);
    auto *slot =
        plx_action_slot<SlaClassSlot>(reinterpret_cast<const uint8_t *>(res.record + 1), 0);
    EXPECT_EQ(slot->action_type, PLX_ACTION_SLA_CLASS);
    EXPECT_EQ(slot->primary, plx_sla_class_find(&db, "gold")->id);
    EXPECT_EQ(slot->backup, 5);
    EXPECT_EQ(slot->preferred_color, 1u << 4);
}

TEST_F(Process, SequenceChangeWithdrawsThenRebindsOnlyItsList) {
    build_data_policy();
    ASSERT_EQ(plx_config_vpn_list_add(&db, "guest"), 0);
    ASSERT_EQ(plx_config_vpn_range_add(&db, "guest", 30, 31), 0);
    data_policy("dp", "guest");
    verb(add_rule(DATA, "dp", "guest", 5), PLX_ACTION_VERB_REJECT);
    ASSERT_EQ(process().size(), 2u);
    uint32_t corp = filter_of(DATA, "dp", "corp");
    uint32_t guest = filter_of(DATA, "dp", "guest");

    ASSERT_EQ(plx_config_rule_delete(&db, DATA, "dp", "corp", 20), 0);
    auto m = process();
    ASSERT_EQ(m.size(), 2u) << "guest untouched";
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_UNBIND);
    EXPECT_EQ(m[0].filter_id, corp);
    EXPECT_EQ(m[1].type, FIB_MSG_POLICY_BIND);
    EXPECT_EQ(m[1].filter_id, filter_of(DATA, "dp", "corp"));
    EXPECT_NE(m[1].filter_id, corp) << "old program still pending release";
    EXPECT_EQ(filter_of(DATA, "dp", "guest"), guest);
    expect_first_match(DATA, "dp", "corp", 500);

    // Deleting the last sequence leaves the list unbound and announces nothing new.
    ASSERT_EQ(plx_config_rule_delete(&db, DATA, "dp", "guest", 5), 0);
    m = process();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_UNBIND);
    EXPECT_EQ(filter_of(DATA, "dp", "guest"), PLX_FILTER_ID_NONE);
}

TEST_F(Process, PrefixListChangeRecompilesAndRebindsEveryUser) {
    build_data_policy();
    data_policy("dp2", "corp");
    rule *r = add_rule(DATA, "dp2", "corp", 1);
    match(r, PLX_MATCH_SRC_PFX_LIST, match_value::named("servers"));
    verb(r, PLX_ACTION_VERB_REJECT);
    ASSERT_EQ(process().size(), 2u);

    ASSERT_EQ(plx_config_pfx_add(&db, "servers", QCTRL, {1, 2, 3, 0}, 24), 0);
    ASSERT_EQ(plx_config_pfx_list_change(&db, "servers", QCTRL), 0);
    auto m = process();
    ASSERT_EQ(m.size(), 4u);
    for (size_t i = 0; i < 4; i += 2) {
        EXPECT_EQ(m[i].type, FIB_MSG_POLICY_UNBIND);
        EXPECT_EQ(m[i + 1].type, FIB_MSG_POLICY_BIND);
        EXPECT_EQ(m[i].name, m[i + 1].name);
    }
    FpPacket pkt;
    pkt.field[PLX_FIELD_SRC_ADDR] = 0x01020309;
    pkt.field[PLX_FIELD_MATCH_ANY] = 1;
    FpEvalResult res = fp_eval(program(DATA, "dp2", "corp"), pkt);
    EXPECT_EQ(res.record->flags, 0u) << "the new prefix matches the rule";
    expect_first_match(DATA, "dp", "corp", 500);
}

TEST_F(Process, TlocChangeReprocessesExactlyThePoliciesNamingIt) {
    tloc *t = nullptr;
    ASSERT_EQ(plx_config_tloc_get(&db, tk(1), 1, &t), 0);
    t->index = 7;
    t->status = 1;
    for (const char *name : {"a", "b", "c"}) {
        data_policy(name, "corp");
        rule *r = add_rule(DATA, name, "corp", 1);
        verb(r, PLX_ACTION_VERB_ACCEPT);
        if (name[0] != 'c') {
            action_value st = act(PLX_ACTION_SET_TLOC);
            st.tloc = tk(1);
            st.label = 1000;
            action(r, 4, st);
        }
    }
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 1), 0);
    ASSERT_EQ(process().size(), 3u);
    uint32_t c_filter = filter_of(DATA, "c", "corp");

    t->status = 0;  // the TLOC went down
    ASSERT_EQ(plx_process_tloc_change(&ctx, t), 0);
    auto m = take_msgs();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0].name, "a");
    EXPECT_EQ(m[2].name, "b");
    EXPECT_EQ(filter_of(DATA, "c", "corp"), c_filter);
    FpPacket pkt;
    pkt.field[PLX_FIELD_MATCH_ANY] = 1;
    auto *slot = plx_action_slot<TlocSlot>(
        reinterpret_cast<const uint8_t *>(fp_eval(program(DATA, "a", "corp"), pkt).record + 1), 1);
    EXPECT_EQ(slot->tloc_index, 7);
    EXPECT_EQ(slot->vpn_label, 1000u);
    EXPECT_EQ(slot->resolved, 0) << "a TLOC that is down is not usable";
}

TEST_F(Process, RangesAndDirectionAreSentWithoutRecompiling) {
    data_policy("p1", "corp");
    data_policy("p2", "corp");
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 2), 0);
    verb(add_rule(DATA, "p1", "corp", 1), PLX_ACTION_VERB_ACCEPT);
    verb(add_rule(DATA, "p2", "corp", 1), PLX_ACTION_VERB_REJECT);
    ASSERT_EQ(process().size(), 2u);
    uint32_t f1 = filter_of(DATA, "p1", "corp");

    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 100, 100), 0);
    auto m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    for (auto &x : m) {
        EXPECT_EQ(x.type, FIB_MSG_POLICY_BIND);
        EXPECT_EQ(x.vpn_ids, std::vector<uint32_t>{100});
    }
    ASSERT_EQ(plx_config_vpn_range_delete(&db, "corp", 1, 2), 0);
    m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_UNBIND);
    EXPECT_EQ(m[0].vpn_ids, (std::vector<uint32_t>{1, 2}));

    ASSERT_EQ(plx_config_policy_direction_update(&db, plx_config_policy_find(&db, DATA, "p1"), 1),
              0);
    m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_UNBIND);
    EXPECT_EQ(m[0].direction, 3);
    EXPECT_EQ(m[1].type, FIB_MSG_POLICY_BIND);
    EXPECT_EQ(m[1].direction, 1);
    EXPECT_EQ(m[1].filter_id, f1);
    EXPECT_EQ(m[1].vpn_ids, std::vector<uint32_t>{100});
    EXPECT_TRUE(process().empty());
}

TEST_F(Process, PolicerChangeRefreshesThePlacedProgramInPlace) {
    ASSERT_EQ(plx_config_policer_add(&db, "pol", PLX_POLICER_OWNER_QCTRL, {8'000'000, 1000, 0}), 0);
    data_policy("dp", "corp");
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 1), 0);
    rule *r = add_rule(DATA, "dp", "corp", 7);
    verb(r, PLX_ACTION_VERB_ACCEPT);
    counter(r, "c");
    action(r, 5, act(PLX_ACTION_LOG));
    action(r, 6, named_act(PLX_ACTION_POLICE, "pol"));
    ASSERT_EQ(process().size(), 1u);
    uint32_t f = filter_of(DATA, "dp", "corp");
    FpPacket pkt;
    pkt.field[PLX_FIELD_MATCH_ANY] = 1;
    auto police = [&] {
        auto *data =
            reinterpret_cast<const uint8_t *>(fp_eval(program(DATA, "dp", "corp"), pkt).record + 1);
        return *plx_action_slot<PoliceSlot>(data, 1);
    };
    // Base action, counter, log, policer: the policer moves to slot 1.
    PoliceSlot s = police();
    EXPECT_EQ(s.action_type, PLX_ACTION_POLICE);
    EXPECT_EQ(s.rate, kClock / 1'000'000);
    EXPECT_EQ(s.burst, kClock / 1'000'000 * 1000);
    EXPECT_STREQ(s.name, "7.pol");
    EXPECT_EQ(s.flags & 2, 2);

    ASSERT_EQ(plx_config_policer_update(&db, "pol", PLX_POLICER_OWNER_QCTRL, {16'000'000, 0, 1},
                                        PLX_POLICER_RATE | PLX_POLICER_EXCEED),
              0);
    EXPECT_TRUE(take_msgs().empty());
    EXPECT_EQ(filter_of(DATA, "dp", "corp"), f);
    s = police();
    EXPECT_EQ(s.rate, kClock / 2'000'000);
    EXPECT_EQ(s.burst, kClock / 2'000'000 * 1000);
    EXPECT_EQ(s.oob_action, 1u);
    // A later rebuild writes the same parameters.
    plx_config_mark_changed(*plx_config_policy_vpn_list_find(&db, DATA, "dp", "corp"));
    process();
    EXPECT_EQ(police().rate, kClock / 2'000'000);
}

TEST_F(Process, RefusedRuleIsReportedAndNotRetriedOnMemoryRelease) {
    data_policy("dp", "corp");
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 1), 0);
    rule *r = add_rule(DATA, "dp", "corp", 1);
    verb(r, PLX_ACTION_VERB_ACCEPT);
    for (uint32_t i = 0; i < 12; ++i)
        counter(r, "c" + std::to_string(i));
    auto m = process();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].filter_id, kFilters) << "fibd is told the invalid filter id";
    EXPECT_EQ(notes, std::vector<std::string>{"dp/corp Failed"});
    plx_process_oom_policies(&ctx, 10);
    EXPECT_TRUE(take_msgs().empty());
}

// Filter memory for about two programs of one rule each.
class ProcessSmallMemory : public Process {
  protected:
    void SetUp() override { start(130); }
};

TEST_F(ProcessSmallMemory, ExhaustedMemoryIsAStateRetriedWhenMemoryIsReleased) {
    // "s" sorts first and is placed first.
    for (const char *name : {"s", "big"}) {
        data_policy(name, "corp");
        verb(add_rule(DATA, name, "corp", 1), PLX_ACTION_VERB_ACCEPT);
    }
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 1), 0);
    // Distinct ports make "big" need more blocks than remain after "s", but fewer than all.
    rule *r = add_rule(DATA, "big", "corp", 2);
    for (uint32_t p = 1; p <= 100; ++p)
        match(r, PLX_MATCH_DST_PORT, match_value::range(p * 3, p * 3));
    verb(r, PLX_ACTION_VERB_REJECT);

    auto m = process();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].name, "s");
    EXPECT_LT(m[0].filter_id, kFilters);
    EXPECT_EQ(m[1].name, "big");
    EXPECT_EQ(m[1].filter_id, kFilters);
    EXPECT_EQ(notes, std::vector<std::string>{"big/corp Failed"});

    ASSERT_EQ(plx_config_policy_delete(&db, DATA, "s"), 0);
    ASSERT_EQ(take_msgs().size(), 1u);  // the unbind of "s"
    advance_ms(600);                    // the delayed release, then the retry
    m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_UNBIND);
    EXPECT_EQ(m[0].filter_id, kFilters);
    EXPECT_EQ(m[1].type, FIB_MSG_POLICY_BIND);
    EXPECT_LT(m[1].filter_id, kFilters);
    EXPECT_EQ(notes.back(), "big/corp Success");
    expect_first_match(DATA, "big", "corp", 200);
}

}  // namespace
}  // namespace plx::cfg::test
