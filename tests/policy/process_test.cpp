// Committed policies become placed programs whose evaluation equals a linear first match of
// their rules, bound where they apply; changes and events rebuild exactly what they touch.
#include <cstring>
#include <random>

#include "oper/plx_program_state.h"
#include "peers/fpeval/fp_eval.h"
#include "policy/plx_process_fold.h"
#include "policy/plx_process_rules.h"
#include "tests/policy/process_fixture.h"

namespace plx::cfg::test {
namespace {

// The family the forwarding plane gives an application: entry p of the family table for ids it
// covers, else 0.
uint32_t family_of(uint32_t app) {
    auto t = plx_fold_family_table();
    return app == 0 || app >= t.size() || app > t[0] ? 0 : t[app];
}

// Action data of the first rule whose conditions all hold (conditions on one field are
// alternatives), else of the default action.
ActionData first_match(const policy_vpn_list &v, const FpPacket &pkt) {
    ActionData out;
    for (const rule &r : v.rules) {
        std::map<uint32_t, bool> ok;
        for (const match_cond &c : r.matches) {
            uint32_t f = plx_match_field(c.field_type), x = pkt.field[f];
            auto a = c.addr();
            uint32_t net = uint32_t(a[0]) << 24 | a[1] << 16 | a[2] << 8 | a[3];
            uint32_t mask = c.high == 0 || c.high > 32 ? 0 : ~0u << (32 - c.high);
            ok[f] = ok[f] || (f == PLX_FIELD_SRC_ADDR || f == PLX_FIELD_DST_ADDR
                                  ? (x & mask) == (net & mask)
                                  : c.low <= x && x <= c.high);
        }
        if (std::all_of(ok.begin(), ok.end(), [](auto &e) { return e.second; })) {
            plx_rule_action_block(r, 800'000'000, out, nullptr);
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
    rule *seq(std::string_view p, uint32_t id, uint32_t verb, uint32_t type = DATA) {
        rule *r = add_rule(type, p, "corp", id);
        action_value a = act(PLX_ACTION_BASE);
        a.verb = verb;
        EXPECT_EQ(plx_config_rule_action_add(&db, r, 1, a), 0);
        return r;
    }
    // Web traffic to a prefix list, ssh from a subnet, small DSCP-46 packets, an app list.
    void build_data_policy() {
        add_vpn_list("corp", {{10, 12}, {20, 20}});
        ASSERT_EQ(plx_config_pfx_list_add(&db, "servers", QCTRL), 0);
        ASSERT_EQ(plx_config_pfx_add(&db, "servers", QCTRL, {10, 1, 0, 0}, 16), 0);
        ASSERT_EQ(plx_config_pfx_add(&db, "servers", QCTRL, {192, 168, 7, 0}, 24), 0);
        add_app_list("apps", PLX_APP_LIST_KIND_APP, {"http"});
        data_policy("dp", "corp");
        rule *r = seq("dp", 10, PLX_ACTION_VERB_ACCEPT);
        match(r, PLX_MATCH_PROTOCOL, match_value::number(6));
        match(r, PLX_MATCH_DST_PORT, match_value::range(80, 80));
        match(r, PLX_MATCH_DST_PORT, match_value::range(443, 443));
        match(r, PLX_MATCH_DST_PFX_LIST, match_value::named("servers"));
        action(r, 2, named_act(PLX_ACTION_COUNT, "web"));
        r = seq("dp", 20, PLX_ACTION_VERB_REJECT);
        match(r, PLX_MATCH_SRC_ADDR, match_value::prefix({172, 16, 0, 0}, 12));
        match(r, PLX_MATCH_DST_PORT, match_value::range(22, 22));
        r = seq("dp", 30, PLX_ACTION_VERB_ACCEPT);
        match(r, PLX_MATCH_DSCP, match_value::number(46));
        match(r, PLX_MATCH_PKT_LEN, match_value::range(0, 200));
        action(r, 2, named_act(PLX_ACTION_COUNT, "voice"));
        match(seq("dp", 40, PLX_ACTION_VERB_ACCEPT), PLX_MATCH_APP_LIST,
              match_value::named("apps"));
    }
    // Packets drawn around the values the rules name, so that every rule and the default hit.
    void expect_first_match(uint32_t type, std::string_view pol, int n) {
        PolicyProgram *prog = program(type, pol, "corp");
        ASSERT_NE(prog, nullptr);
        const policy_vpn_list &v = *plx_config_policy_vpn_list_find(&db, type, pol, "corp");
        std::mt19937 rng(7);
        auto pick = [&](std::initializer_list<uint32_t> l) { return l.begin()[rng() % l.size()]; };
        for (int i = 0; i < n; ++i) {
            FpPacket p;
            p.field[1] = pick({6, 17, 1});
            p.field[3] = pick({22, 80, 443, 8080, 5060});
            p.field[4] = pick({0xAC100001, 0xAC200001, 0x01020304});
            p.field[5] = pick({0x0A01FFFE, 0xC0A80709, 0xC0A80809, 0x01020309});
            p.field[6] = pick({0, 46});
            p.field[9] = pick({64, 200, 201});
            p.field[2] = pick({1000, 40000});
            p.field[10] = pick({0, 101, 102, 103, 160});
            p.field[11] = family_of(p.field[10]);
            p.field[12] = 1;
            p.field[18] = pick({0, 1, 2});
            FpEvalResult res = fp_eval(prog, p);
            ASSERT_EQ(res.status, FP_EVAL_OK);
            ActionData want = first_match(v, p);
            ASSERT_EQ(memcmp(res.record + 1, &want, sizeof want), 0) << "packet " << i;
        }
    }
    // The action data the program selects for a packet that only carries MATCH_ANY and app.
    const uint8_t *selected(std::string_view pol, uint32_t type = DATA, uint32_t app = 0) {
        FpPacket p;
        p.field[12] = 1;
        p.field[10] = app;
        auto *rec = fp_eval(program(type, pol, "corp"), p).record;
        return rec ? reinterpret_cast<const uint8_t *>(rec + 1) : nullptr;
    }
    template <class Slot>
    Slot slot(std::string_view pol, unsigned i, uint32_t type = DATA, uint32_t app = 0) {
        return *plx_action_slot<Slot>(selected(pol, type, app), i);
    }
};

TEST_F(Process, PoliciesBecomeBoundProgramsThatMatchLinearFirstMatch) {
    build_data_policy();
    ASSERT_EQ(plx_sla_class_add(&db, "gold"), 0);
    data_policy("ar", "corp", PFR);
    add_app_list("remote", PLX_APP_LIST_KIND_APP, {"ssh"});
    rule *r = add_rule(PFR, "ar", "corp", 1);
    match(r, PLX_MATCH_APP_LIST, match_value::named("remote"));
    action_value sla = named_act(PLX_ACTION_SLA_CLASS, "gold");
    sla.strict = 1;
    sla.color_bits = 1u << 4;
    action(r, 3, sla);
    match(add_rule(PFR, "ar", "corp", 2), PLX_MATCH_DST_PORT, match_value::range(5060, 5061));

    auto m = process();
    ASSERT_EQ(m.size(), 2u);
    for (auto &[x, type, dir, name] : {std::tuple{m[0], 1, 3, "dp"}, {m[1], 2, 0, "ar"}}) {
        EXPECT_EQ(x.type, FIB_MSG_POLICY_BIND);
        EXPECT_EQ(x.filter_type, type);
        EXPECT_EQ(x.direction, dir);
        EXPECT_EQ(x.name, name);
        EXPECT_EQ(x.filter_id, filter_of(type, name, "corp"));
        EXPECT_EQ(x.vpn_ids, (std::vector<uint32_t>{10, 11, 12, 20}));
    }
    EXPECT_NE(m[0].filter_id, m[1].filter_id);
    expect_first_match(DATA, "dp", 2000);
    expect_first_match(PFR, "ar", 500);
    auto s = slot<SlaClassSlot>("ar", 0, PFR, 103);
    EXPECT_EQ(s.primary, plx_sla_class_find(&db, "gold")->id);
    EXPECT_EQ(s.backup, 5);
    EXPECT_EQ(s.preferred_color, 1u << 4);
    EXPECT_TRUE(process().empty()) << "nothing marked, nothing sent";
}

// A condition on a list that expands to nothing (an empty prefix list, an app list of
// applications the recognition engine does not know) matches no packet: its sequence must not
// turn into one that matches every packet.
TEST_F(Process, SequencesOnListsThatExpandToNothingMatchNoPacket) {
    add_vpn_list("corp", {{10, 10}});
    ASSERT_EQ(plx_config_pfx_list_add(&db, "none", QCTRL), 0);
    add_app_list("odd", PLX_APP_LIST_KIND_APP, {"no-such-app"});
    data_policy("dp", "corp");
    match(seq("dp", 10, PLX_ACTION_VERB_REJECT), PLX_MATCH_SRC_PFX_LIST,
          match_value::named("none"));
    match(seq("dp", 20, PLX_ACTION_VERB_REJECT), PLX_MATCH_APP_LIST, match_value::named("odd"));
    match(seq("dp", 30, PLX_ACTION_VERB_ACCEPT), PLX_MATCH_DSCP, match_value::number(46));
    ASSERT_EQ(process().size(), 1u);
    const policy_vpn_list &v = *plx_config_policy_vpn_list_find(&db, DATA, "dp", "corp");
    ActionData want;
    plx_default_action_block(v.default_action, want);
    for (uint32_t app : {0u, 7u}) {
        const uint8_t *got = selected("dp", DATA, app);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(memcmp(got, &want, sizeof want), 0) << "app " << app;
    }
}

// Nine tested fields do not fit a program: the family list is folded into the application
// field through the forwarding plane's family table, and the program still classifies as the
// rules read. A tenth field cannot be folded away and is refused as before.
TEST_F(Process, FamilyConditionsFoldWhenAPolicyTestsTooManyFields) {
    std::vector<uint32_t> families(200, 0);
    families[0] = 150;  // ids above it have no family, whatever their entry says
    for (uint32_t p = 1; p <= 150; ++p)
        families[p] = p % 3 == 0 ? 201 : p % 3 == 1 ? 202 : 0;
    families[160] = 201;
    plx_fold_use_family_table(families);
    build_data_policy();  // protocol, ports, addresses, DSCP, length, applications
    add_app_list("fams", PLX_APP_LIST_KIND_FAMILY, {"web"});
    rule *r = seq("dp", 50, PLX_ACTION_VERB_REJECT);
    match(r, PLX_MATCH_APP_LIST, match_value::named("fams"));
    match(r, PLX_MATCH_DSCP, match_value::number(0));
    r = seq("dp", 60, PLX_ACTION_VERB_ACCEPT);
    match(r, PLX_MATCH_DNS, match_value::number(1));
    action(r, 2, named_act(PLX_ACTION_COUNT, "dns"));
    auto m = process();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_LT(m[0].filter_id, kFilters);
    expect_first_match(DATA, "dp", 3000);

    match(seq("dp", 70, PLX_ACTION_VERB_ACCEPT), PLX_MATCH_SRC_PORT,
          match_value::range(1000, 1000));
    m = process();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(std::tuple(m[1].type, m[1].filter_id), std::tuple(FIB_MSG_POLICY_BIND, kFilters));
    EXPECT_EQ(notes.back(), "dp/corp Failed");
    plx_fold_use_family_table({});
}

TEST_F(Process, ChangesWithdrawAndRebindOnlyTheListsTheyTouch) {
    build_data_policy();
    data_policy("dp2", "corp");
    match(seq("dp2", 1, PLX_ACTION_VERB_REJECT), PLX_MATCH_SRC_PFX_LIST,
          match_value::named("servers"));
    data_policy("other", "corp");
    seq("other", 1, PLX_ACTION_VERB_ACCEPT);
    ASSERT_EQ(process().size(), 3u);
    uint32_t dp = filter_of(DATA, "dp", "corp"), other = filter_of(DATA, "other", "corp");

    // A prefix-list change recompiles and rebinds both users, the old id withdrawn first.
    ASSERT_EQ(plx_config_pfx_add(&db, "servers", QCTRL, {1, 2, 3, 0}, 24), 0);
    ASSERT_EQ(plx_config_pfx_list_change(&db, "servers", QCTRL), 0);
    auto m = process();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(std::tuple(m[0].type, m[0].filter_id), std::tuple(FIB_MSG_POLICY_UNBIND, dp));
    EXPECT_EQ(m[1].type, FIB_MSG_POLICY_BIND);
    EXPECT_NE(m[1].filter_id, dp) << "the old program still waits for its release";
    EXPECT_EQ(m[3].name, "dp2");
    EXPECT_EQ(filter_of(DATA, "other", "corp"), other);
    expect_first_match(DATA, "dp", 500);
    expect_first_match(DATA, "dp2", 200);

    // A list whose last sequence is deleted ends unbound.
    ASSERT_EQ(plx_config_rule_delete(&db, DATA, "other", "corp", 1), 0);
    m = process();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_UNBIND);
    EXPECT_EQ(filter_of(DATA, "other", "corp"), PLX_FILTER_ID_NONE);
}

TEST_F(Process, TlocChangeReprocessesExactlyThePoliciesNamingIt) {
    tloc *t = nullptr;
    ASSERT_EQ(plx_config_tloc_get(&db, tk(1), 1, &t), 0);
    t->index = 7;
    t->status = 1;
    action_value st = act(PLX_ACTION_SET_TLOC);
    st.tloc = tk(1);
    st.label = 1000;
    for (const char *name : {"a", "b", "c"}) {
        data_policy(name, "corp");
        rule *r = seq(name, 1, PLX_ACTION_VERB_ACCEPT);
        if (name[0] != 'c')
            action(r, 4, st);
    }
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 1), 0);
    ASSERT_EQ(process().size(), 3u);
    EXPECT_EQ(slot<TlocSlot>("a", 1).resolved, 1);
    uint32_t c = filter_of(DATA, "c", "corp");

    t->status = 0;
    plx_config_tloc_mark_users(&db, t);  // as the hbusd link does
    ASSERT_EQ(plx_process_all_changed(&ctx), 0);
    auto m = take_msgs();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(std::tuple(m[1].name, m[3].name), std::tuple("a", "b"));
    EXPECT_EQ(filter_of(DATA, "c", "corp"), c);
    auto s = slot<TlocSlot>("a", 1);
    EXPECT_EQ(s.tloc_index, 7);
    EXPECT_EQ(s.vpn_label, 1000u);
    EXPECT_EQ(s.resolved, 0) << "a TLOC that is down is not usable";
}

TEST_F(Process, RangesDirectionAndPolicersChangeNoProgram) {
    ASSERT_EQ(plx_config_policer_add(&db, "pol", PLX_POLICER_OWNER_QCTRL, {8'000'000, 1000, 0}), 0);
    data_policy("p1", "corp");
    data_policy("p2", "corp");
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 2), 0);
    rule *r = seq("p1", 7, PLX_ACTION_VERB_ACCEPT);
    action(r, 2, named_act(PLX_ACTION_COUNT, "c"));
    action(r, 5, act(PLX_ACTION_LOG));
    action(r, 6, named_act(PLX_ACTION_POLICE, "pol"));
    seq("p2", 1, PLX_ACTION_VERB_REJECT);
    ASSERT_EQ(process().size(), 2u);
    uint32_t f1 = filter_of(DATA, "p1", "corp");
    // Base action, counter, log, policer: the policer moves to slot 1.
    auto police = slot<PoliceSlot>("p1", 1);
    EXPECT_EQ(police.action_type, PLX_ACTION_POLICE);
    EXPECT_EQ(police.rate, kClock / 1'000'000);
    EXPECT_EQ(police.burst, kClock / 1'000'000 * 1000);
    EXPECT_STREQ(police.name, "7.pol");
    EXPECT_EQ(slot<CountSlot>("p1", 3).action_type, PLX_ACTION_COUNT);

    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 100, 100), 0);
    auto m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(std::tuple(m[1].type, m[1].vpn_ids),
              std::tuple(FIB_MSG_POLICY_BIND, std::vector<uint32_t>{100}));
    ASSERT_EQ(plx_config_vpn_range_delete(&db, "corp", 1, 2), 0);
    m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].type, FIB_MSG_POLICY_UNBIND);
    EXPECT_EQ(m[0].vpn_ids, (std::vector<uint32_t>{1, 2}));

    ASSERT_EQ(plx_config_policy_direction_update(&db, plx_config_policy_find(&db, DATA, "p1"), 1),
              0);
    m = take_msgs();
    ASSERT_EQ(m.size(), 1u) << "one bind moves the policy to its new direction";
    EXPECT_EQ(std::tuple(m[0].type, m[0].direction), std::tuple(FIB_MSG_POLICY_BIND, 1));
    EXPECT_EQ(fib.vpns().at(100).data[0].policy, "p1");

    ASSERT_EQ(plx_config_policer_update(&db, "pol", PLX_POLICER_OWNER_QCTRL, {16'000'000, 0, 1},
                                        PLX_POLICER_RATE | PLX_POLICER_EXCEED),
              0);
    EXPECT_TRUE(take_msgs().empty());
    EXPECT_EQ(filter_of(DATA, "p1", "corp"), f1);
    police = slot<PoliceSlot>("p1", 1);
    EXPECT_EQ(police.rate, kClock / 2'000'000);
    EXPECT_EQ(police.burst, kClock / 2'000'000 * 1000);
    EXPECT_EQ(police.oob_action, 1u);
    plx_config_mark_changed(*plx_config_policy_vpn_list_find(&db, DATA, "p1", "corp"));
    process();
    EXPECT_EQ(slot<PoliceSlot>("p1", 1).rate, kClock / 2'000'000) << "a rebuild keeps the rate";
}

// Whatever order a commit brings ranges in, fibd ends with each policy bound to exactly the VPN
// ids of its list, each id announced once, and every unbind finds its binding.
TEST_F(Process, BindingsFollowVpnIdsNotRanges) {
    data_policy("p1", "corp");
    data_policy("p2", "corp", PFR);
    seq("p1", 1, PLX_ACTION_VERB_ACCEPT);
    seq("p2", 1, PLX_ACTION_VERB_ACCEPT, PFR);
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 905, 905), 0);
    process();
    auto expect_bound = [&](std::set<uint32_t> want, const char *when) {
        for (const fib_policy_msg &m : take_msgs())
            EXPECT_EQ(std::set<uint32_t>(m.vpn_ids.begin(), m.vpn_ids.end()).size(),
                      m.vpn_ids.size())
                << when << ": an id sent twice";
        for (const char *pol : {"p1", "p2"}) {
            std::set<uint32_t> got;
            for (const auto &[id, vpn] : fib.vpns())
                if (vpn.data[2].policy == pol || vpn.app_route.policy == pol)
                    got.insert(id);
            EXPECT_EQ(got, want) << when << ", policy " << pol;
        }
        EXPECT_TRUE(fib_warnings.empty()) << when << ": " << fib_warnings[0];
        fib_warnings.clear();
    };
    expect_bound({905}, "first commit");
    // vpn{905} replaced by vpn{904-905}: the new range comes before the old one leaves.
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 904, 905), 0);
    ASSERT_EQ(plx_config_vpn_range_delete(&db, "corp", 905, 905), 0);
    expect_bound({904, 905}, "range grown in place");
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 900, 906), 0);
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 906, 906), 0);
    expect_bound({900, 901, 902, 903, 904, 905, 906}, "overlapping ranges");
    ASSERT_EQ(plx_config_vpn_range_delete(&db, "corp", 900, 906), 0);
    expect_bound({904, 905, 906}, "a range removed under another");
    plx_config_mark_changed(*plx_config_policy_vpn_list_find(&db, DATA, "p1", "corp"));
    ASSERT_EQ(plx_config_vpn_range_delete(&db, "corp", 904, 905), 0);
    process();
    expect_bound({906}, "range removed before a rebuild");
    // A VPN instance configured: every policy bound to it announces it again, and only it.
    db.hooks.vpn_configured(906);
    db.hooks.vpn_configured(907);
    auto m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].vpn_ids, std::vector<uint32_t>{906});
    EXPECT_EQ(m[1].type, FIB_MSG_POLICY_BIND);
}

// Filter memory for one small and one larger program, not for both at once.
class ProcessSmallMemory : public Process {
  protected:
    void SetUp() override { start(130); }
};

// One small policy placed, a larger one short of memory and retried alone once the small one's
// program is released, one refused by the compiler; the operator sees each state with its reason.
TEST_F(ProcessSmallMemory, FailuresAreStatesAndOnlyMemoryShortageIsRetried) {
    using plx::oper::ProgramState;
    data_policy("s", "corp");  // sorts first, placed first
    seq("s", 1, PLX_ACTION_VERB_ACCEPT);
    data_policy("big", "corp");
    seq("big", 1, PLX_ACTION_VERB_ACCEPT);
    rule *r = seq("big", 2, PLX_ACTION_VERB_REJECT);
    for (uint32_t p = 1; p <= 100; ++p)
        match(r, PLX_MATCH_DST_PORT, match_value::range(p * 3, p * 3));
    data_policy("refused", "corp");  // more actions than twelve slots
    r = seq("refused", 1, PLX_ACTION_VERB_ACCEPT);
    for (uint32_t i = 0; i < 12; ++i)
        // Appended rather than "c" + std::to_string(i): GCC 12 at -O3 warns falsely (-Wrestrict).
        action(r, 2, named_act(PLX_ACTION_COUNT, std::string(1, 'c').append(std::to_string(i))));
    ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 1, 1), 0);

    auto m = process();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(std::tuple(m[0].name, m[0].filter_id), std::tuple("s", 0u));
    EXPECT_EQ(std::tuple(m[1].name, m[1].filter_id), std::tuple("big", kFilters));
    EXPECT_EQ(std::tuple(m[2].name, m[2].filter_id), std::tuple("refused", kFilters));
    EXPECT_EQ(notes, (std::vector<std::string>{"big/corp Failed", "refused/corp Failed"}));
    auto status = [&](const char *name) {
        return plx::oper::policy_program_status(
            &db, *plx_config_policy_vpn_list_find(&db, DATA, name, "corp"));
    };
    const plx::oper::ProgramStatus s = status("s");
    EXPECT_EQ(s.state, ProgramState::Bound);
    EXPECT_EQ(s.filter_id, 0u);
    EXPECT_EQ(s.bytes, plx_mem_program(0)->length);
    EXPECT_EQ(s.bound_to, "1");
    EXPECT_GT(s.programmed_at_ms, 0);
    EXPECT_EQ(status("big").state, ProgramState::Failed);
    EXPECT_EQ(status("big").reason, "out of filter memory");
    EXPECT_FALSE(status("big").filter_id);
    EXPECT_EQ(status("refused").state, ProgramState::Refused);
    EXPECT_EQ(status("refused").reason, "sequence 1 has more than 12 actions");

    ASSERT_EQ(plx_config_policy_delete(&db, DATA, "s"), 0);
    ASSERT_EQ(take_msgs().size(), 1u);  // the unbind of "s"
    advance_ms(600);                    // the delayed release, then the retry of "big" alone
    m = take_msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(std::tuple(m[0].type, m[0].filter_id), std::tuple(FIB_MSG_POLICY_UNBIND, kFilters));
    EXPECT_EQ(m[1].type, FIB_MSG_POLICY_BIND);
    EXPECT_LT(m[1].filter_id, kFilters);
    EXPECT_EQ(notes.back(), "big/corp Success");
    expect_first_match(DATA, "big", 200);
    EXPECT_EQ(status("big").state, ProgramState::Bound);
    EXPECT_TRUE(status("big").reason.empty());
    EXPECT_EQ(status("refused").state, ProgramState::Refused) << "memory cannot help it";
}

}  // namespace
}  // namespace plx::cfg::test
