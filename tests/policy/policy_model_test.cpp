#include <string>
#include <vector>

#include "tests/policy/model_fixture.h"

namespace plx::cfg::test {
namespace {

std::vector<uint32_t> seqs(policy_vpn_list &v) {
    std::vector<uint32_t> out;
    for (rule &r : v.rules)
        out.push_back(r.seq_id);
    return out;
}

TEST_F(ModelTest, KeysAndOrders) {
    // The type is part of a policy's key; shorter names sort first.
    ASSERT_EQ(plx_config_policy_add(&db, DATA, "shared", 1), 0);
    ASSERT_EQ(plx_config_policy_add(&db, PFR, "shared", 0), 0);
    ASSERT_EQ(plx_config_policy_add(&db, DATA, "zz", 1), 0);
    EXPECT_EQ(plx_config_policy_add(&db, DATA, "shared", 2), PLX_EEXIST);
    std::vector<std::string> order;
    for (policy &p : db.policies)
        order.push_back(std::to_string(p.type) + std::string(p.name.view()));
    EXPECT_EQ(order, (std::vector<std::string>{"1zz", "1shared", "2shared"}));
    EXPECT_NE(plx_config_policy_find(&db, DATA, "shared"),
              plx_config_policy_find(&db, PFR, "shared"));

    for (const char *n : {"bbb", "a", "cc"})
        ASSERT_EQ(plx_config_vpn_list_add(&db, n), 0);
    order.clear();
    for (vpn_list &l : db.vpn_lists)
        order.emplace_back(l.name.view());
    EXPECT_EQ(order, (std::vector<std::string>{"a", "cc", "bbb"}));

    // A 200-character name is cut to 127 and still found by its full configured name.
    std::string longname(200, 'x');
    ASSERT_EQ(plx_config_vpn_list_add(&db, longname), 0);
    EXPECT_EQ(plx_config_vpn_list_find(&db, longname)->name.view().size(), 127u);
}

TEST_F(ModelTest, RulesHeldInSequenceOrderWithMatchAny) {
    data_policy("dp", "vl");
    for (uint32_t s : {30u, 10u, 20u})
        add_rule(DATA, "dp", "vl", s);
    policy_vpn_list *v = plx_config_policy_vpn_list_find(&db, DATA, "dp", "vl");
    EXPECT_EQ(seqs(*v), (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_EQ(plx_config_rule_add(&db, DATA, "dp", "vl", 20), PLX_EEXIST);
    EXPECT_EQ(plx_config_rule_add(&db, DATA, "dp", "nope", 1), PLX_ENOENT);
    EXPECT_EQ(plx_config_rule_add(&db, PFR, "dp", "vl", 1), PLX_ENOENT);

    rule *r = plx_config_rule_find(&db, DATA, "dp", "vl", 10);
    ASSERT_EQ(r->matches.count(), 1u);
    EXPECT_EQ(r->matches.first()->field_type, PLX_MATCH_ANY);
    EXPECT_EQ(r->matches.first()->low, 1u);

    // A base action goes first whatever the order of arrival.
    ASSERT_EQ(plx_config_rule_action_add(&db, r, 7, act(PLX_ACTION_LOG)), 0);
    action_value base = act(PLX_ACTION_BASE);
    base.verb = PLX_ACTION_VERB_REJECT;
    ASSERT_EQ(plx_config_rule_action_add(&db, r, 9, base), 0);
    EXPECT_EQ(r->actions.first()->action_type, PLX_ACTION_BASE);
    EXPECT_EQ(r->actions.first()->value, PLX_ACTION_VERB_REJECT);
    EXPECT_EQ(plx_config_action_delete(&db, DATA, "dp", "vl", 10, 9), 0);
    EXPECT_EQ(plx_config_action_delete(&db, DATA, "dp", "vl", 10, 9), PLX_ENOENT);

    ASSERT_EQ(plx_config_rule_delete(&db, DATA, "dp", "vl", 20), 0);
    EXPECT_EQ(seqs(*v), (std::vector<uint32_t>{10, 30}));
    add_rule(DATA, "dp", "vl", 15);
    EXPECT_EQ(seqs(*v), (std::vector<uint32_t>{10, 15, 30}));
}

TEST_F(ModelTest, MatchConditionsAndInvalidTypes) {
    data_policy("dp", "vl");
    rule *r = add_rule(DATA, "dp", "vl", 1);
    std::string before = snapshot(db);
    for (uint32_t t : {0u, 12u, 13u, 19u, 20u, 23u, 99u})
        EXPECT_EQ(plx_config_match_add(&db, r, t, match_value::number(1)), PLX_EINVAL) << t;
    EXPECT_EQ(plx_config_match_add(&db, r, PLX_MATCH_SRC_PORT, match_value::range(9, 8)),
              PLX_EINVAL);
    EXPECT_EQ(plx_config_match_add(&db, r, PLX_MATCH_SRC_ADDR, match_value::prefix({}, 33)),
              PLX_EINVAL);
    EXPECT_EQ(plx_config_match_add(&db, r, PLX_MATCH_FC, match_value::named("nope")), PLX_EINVAL);
    EXPECT_EQ(plx_config_match_add(&db, r, PLX_MATCH_SRC_PFX_LIST, match_value::named("nope")),
              PLX_ENOENT);
    EXPECT_EQ(plx_config_match_add(&db, r, PLX_MATCH_APP_LIST, match_value::named("nope")),
              PLX_ENOENT);
    EXPECT_EQ(snapshot(db), before);

    ASSERT_EQ(plx_config_match_add(&db, r, PLX_MATCH_PLP, match_value::number(7)), 0);
    ASSERT_EQ(
        plx_config_match_add(&db, r, PLX_MATCH_DST_ADDR, match_value::prefix({10, 1, 2, 0}, 24)),
        0);
    ASSERT_EQ(plx_config_match_add(&db, r, PLX_MATCH_FC, match_value::named("__control_fc")), 0);
    match_cond *m = r->matches.next(*r->matches.first());
    EXPECT_EQ(m->low, 1u);  // PLP: any nonzero value is 1
    m = r->matches.next(*m);
    EXPECT_EQ(m->addr(), (std::array<uint8_t, 4>{10, 1, 2, 0}));
    EXPECT_EQ(m->high, 24u);
    EXPECT_EQ(r->matches.last()->low, 0u);  // the control class id

    // Deleting by type drops only that field's conditions.
    ASSERT_EQ(plx_config_match_delete_by_type(&db, r, PLX_MATCH_DST_ADDR), 0);
    EXPECT_EQ(r->matches.count(), 3u);
}

TEST_F(ModelTest, PrefixListExpansionAndReferenceCounts) {
    ASSERT_EQ(plx_config_pfx_list_add(&db, "pl", QCTRL), 0);
    ASSERT_EQ(plx_config_pfx_add(&db, "pl", QCTRL, {10, 0, 0, 0}, 16), 0);
    ASSERT_EQ(plx_config_pfx_add(&db, "pl", QCTRL, {10, 1, 0, 0}, 24), 0);
    ASSERT_EQ(plx_config_pfx_add(&db, "pl", QCTRL, {9, 0, 0, 0}, 24), 0);
    EXPECT_EQ(plx_config_pfx_add(&db, "pl", QCTRL, {9, 0, 0, 0}, 24), PLX_EEXIST);
    // A device list of the same name is a different list, not used by policies.
    ASSERT_EQ(plx_config_pfx_list_add(&db, "pl", PLX_POLICY_PFX_LIST_TYPE_LOCAL), 0);

    data_policy("dp", "vl");
    rule *r = add_rule(DATA, "dp", "vl", 1);
    ASSERT_EQ(plx_config_match_add(&db, r, PLX_MATCH_SRC_PFX_LIST, match_value::named("pl")), 0);
    ASSERT_EQ(r->matches.count(), 4u);
    // Prefix-tree order: length, then address.
    std::vector<std::string> got;
    for (match_cond &m : r->matches)
        if (m.origin_type == PLX_MATCH_SRC_PFX_LIST) {
            EXPECT_EQ(m.field_type, PLX_MATCH_SRC_ADDR);
            EXPECT_EQ(m.list_name.view(), "pl");
            got.push_back(std::to_string(m.addr()[0]) + "." + std::to_string(m.addr()[1]) + "/" +
                          std::to_string(m.high));
        }
    EXPECT_EQ(got, (std::vector<std::string>{"10.0/16", "9.0/24", "10.1/24"}));

    pfx_list *pl = plx_config_pfx_list_find(&db, "pl", QCTRL);
    policy_vpn_list *v = plx_config_policy_vpn_list_find(&db, DATA, "dp", "vl");
    ASSERT_EQ(pl->users.count(), 1u);
    EXPECT_EQ(pl->users.first()->ref_count, 3u);
    EXPECT_EQ(v->pfx_refs.first()->ref_count, 3u);

    // A second rule adds to the same entries; the list cannot go while used.
    rule *r2 = add_rule(DATA, "dp", "vl", 2);
    ASSERT_EQ(plx_config_match_add(&db, r2, PLX_MATCH_DST_PFX_LIST, match_value::named("pl")), 0);
    EXPECT_EQ(pl->users.first()->ref_count, 6u);
    EXPECT_EQ(plx_config_pfx_list_delete(&db, "pl", QCTRL), PLX_EINVAL);

    ASSERT_EQ(plx_config_match_delete_by_type(&db, r, PLX_MATCH_SRC_PFX_LIST), 0);
    EXPECT_EQ(r->matches.count(), 1u);
    EXPECT_EQ(pl->users.first()->ref_count, 3u);
    ASSERT_EQ(plx_config_rule_delete(&db, DATA, "dp", "vl", 2), 0);
    EXPECT_TRUE(pl->users.empty());
    EXPECT_TRUE(v->pfx_refs.empty());
    EXPECT_EQ(plx_config_pfx_list_delete(&db, "pl", QCTRL), 0);
}

TEST_F(ModelTest, AppListsSwitchKindAndExpand) {
    ASSERT_EQ(plx_config_app_list_add(&db, "al", PLX_APP_LIST_LOC_QCTRL), 0);
    auto add = [&](uint32_t kind, const char *n) {
        return plx_config_app_list_add_app(&db, "al", PLX_APP_LIST_LOC_QCTRL, kind, n);
    };
    ASSERT_EQ(add(PLX_APP_LIST_KIND_FAMILY, "web"), 0);
    ASSERT_EQ(add(PLX_APP_LIST_KIND_FAMILY, "file-server"), 0);
    EXPECT_EQ(add(PLX_APP_LIST_KIND_FAMILY, "web"), PLX_EEXIST);
    app_list *al = plx_config_app_list_find(&db, "al", PLX_APP_LIST_LOC_QCTRL);
    EXPECT_EQ(al->entries.count(), 2u);
    // An unknown name is skipped without change.
    EXPECT_EQ(add(PLX_APP_LIST_KIND_APP, "unknown"), 0);
    EXPECT_EQ(al->kind, PLX_APP_LIST_KIND_FAMILY);
    // An application replaces the families.
    ASSERT_EQ(add(PLX_APP_LIST_KIND_APP, "http"), 0);
    ASSERT_EQ(add(PLX_APP_LIST_KIND_APP, "ssh"), 0);
    EXPECT_EQ(al->kind, PLX_APP_LIST_KIND_APP);
    std::vector<uint32_t> ids;
    for (app_entry &e : al->entries)
        ids.push_back(e.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{101, 103}));

    data_policy("ar", "vl", PFR);
    rule *r = add_rule(PFR, "ar", "vl", 5);
    ASSERT_EQ(plx_config_match_add(&db, r, PLX_MATCH_APP_LIST, match_value::named("al")), 0);
    ASSERT_EQ(plx_config_match_add(&db, r, PLX_MATCH_DNS_APP_LIST, match_value::named("al")), 0);
    std::vector<std::string> conds;
    for (match_cond &m : r->matches)
        conds.push_back(std::to_string(m.field_type) + "/" + std::to_string(m.origin_type) + ":" +
                        std::to_string(m.low));
    EXPECT_EQ(conds, (std::vector<std::string>{"15/15:1", "12/14:101", "12/14:103", "19/21:101",
                                               "19/21:103"}));
    policy_vpn_list *v = plx_config_policy_vpn_list_find(&db, PFR, "ar", "vl");
    EXPECT_EQ(al->users.first()->count, 2u);
    EXPECT_EQ(v->app_refs.first()->count, 2u);
    EXPECT_EQ(db.dpi_ref_count, 2u);
    EXPECT_EQ(plx_config_app_list_delete(&db, "al", PLX_APP_LIST_LOC_QCTRL), PLX_EINVAL);

    // The list changes kind: users are marked, the rebuild expands families.
    take_marks(db);
    ASSERT_EQ(plx_config_app_list_change(&db, "al", PLX_APP_LIST_LOC_QCTRL), 0);
    ASSERT_EQ(add(PLX_APP_LIST_KIND_FAMILY, "web"), 0);
    EXPECT_EQ(take_marks(db).count("2/ar/vl"), 1u);
    ASSERT_EQ(plx_config_policy_vpn_list_refresh(&db, v), 0);
    conds.clear();
    for (match_cond &m : r->matches)
        conds.push_back(std::to_string(m.field_type) + ":" + std::to_string(m.low));
    EXPECT_EQ(conds, (std::vector<std::string>{"15:1", "13:201", "20:201"}));
    EXPECT_EQ(db.dpi_ref_count, 2u);

    ASSERT_EQ(plx_config_match_delete_by_type(&db, r, PLX_MATCH_APP_LIST), 0);
    EXPECT_EQ(db.dpi_ref_count, 1u);
    ASSERT_EQ(plx_config_rule_delete(&db, PFR, "ar", "vl", 5), 0);
    EXPECT_EQ(db.dpi_ref_count, 0u);
    EXPECT_TRUE(al->users.empty());
    EXPECT_TRUE(v->app_refs.empty());
    EXPECT_EQ(plx_config_app_list_delete(&db, "al", PLX_APP_LIST_LOC_QCTRL), 0);
}

TEST_F(ModelTest, SlaClassesIdsLimitAndPropagation) {
    sla_class *all = plx_sla_class_find(&db, PLX_SLA_ALL_TUNNELS);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->id, 0);

    data_policy("ar", "vl", PFR);
    data_policy("dp", "vl");
    rule *r = add_rule(PFR, "ar", "vl", 1);
    ASSERT_EQ(plx_config_rule_action_add(&db, r, 1, named_act(PLX_ACTION_SLA_CLASS, "gold")), 0);
    rule *r2 = add_rule(PFR, "ar", "vl", 2);
    ASSERT_EQ(plx_config_rule_action_add(&db, r2, 1, named_act(PLX_ACTION_SLA_CLASS, "silver")), 0);
    EXPECT_EQ(r->actions.first()->sla.id, 0);  // class not configured yet
    take_marks(db);

    ASSERT_EQ(plx_sla_class_add(&db, "gold"), 0);
    EXPECT_EQ(r->actions.first()->sla.id, 1);
    EXPECT_EQ(r2->actions.first()->sla.id, 0);
    auto marks = take_marks(db);
    EXPECT_EQ(marks, (std::map<std::string, int>{{"2/ar", 1}, {"2/ar/vl", 1}}));
    EXPECT_EQ(plx_sla_class_add(&db, "gold"), PLX_EEXIST);

    for (int i = 2; i < 8; ++i)
        // Appended rather than "c" + std::to_string(i): GCC 12 at -O3 warns falsely (-Wrestrict).
        ASSERT_EQ(plx_sla_class_add(&db, std::string(1, 'c').append(std::to_string(i))), 0);
    std::string before = snapshot(db);
    EXPECT_EQ(plx_sla_class_add(&db, "ninth"), PLX_ENOMEM);
    EXPECT_EQ(snapshot(db), before);

    // A deleted id is reused; the deleting walk keeps the id and marks the users.
    take_marks(db);
    ASSERT_EQ(plx_sla_class_delete(&db, "gold"), 0);
    EXPECT_EQ(r->actions.first()->sla.id, 1);
    EXPECT_EQ(take_marks(db).size(), 2u);
    ASSERT_EQ(plx_sla_class_add(&db, "silver"), 0);
    EXPECT_EQ(plx_sla_class_find(&db, "silver")->id, 1);
    EXPECT_EQ(r2->actions.first()->sla.id, 1);
    EXPECT_EQ(plx_sla_class_delete(&db, "gold"), PLX_ENOENT);

    // The refresh before a rebuild takes the current class ids.
    ASSERT_EQ(plx_config_policy_vpn_list_refresh(
                  &db, plx_config_policy_vpn_list_find(&db, PFR, "ar", "vl")),
              0);
    EXPECT_EQ(r->actions.first()->sla.id, 0);
}

TEST_F(ModelTest, TlocReferencesFromSetTlocAndTlocLists) {
    data_policy("dp", "vl");
    rule *r1 = add_rule(DATA, "dp", "vl", 1);
    rule *r2 = add_rule(DATA, "dp", "vl", 2);
    action_value st = act(PLX_ACTION_SET_TLOC);
    st.tloc = tk(1);
    st.label = 1000;
    ASSERT_EQ(plx_config_rule_action_add(&db, r1, 0x33c074ce, st), 0);
    ASSERT_EQ(plx_config_rule_action_add(&db, r2, 0x33c074ce, st), 0);
    tloc *t = plx_config_tloc_find(&db, tk(1));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->resolved, 0);  // named by a policy before the messaging daemon knew it
    EXPECT_EQ(t->refs.count(), 2u);
    EXPECT_EQ(r1->tloc_refs.first()->count, 1u);

    // A TLOC list of 20 entries: the action takes the first 16 by index, highest preference
    // first.
    tloc_list *tl = nullptr;
    ASSERT_EQ(plx_config_tloc_list_get(&db, 3, DATA, "dp", "vl", &tl), 0);
    for (uint32_t i = 0; i < 20; ++i) {
        tloc_pref_value pv;
        pv.key = tk(static_cast<uint8_t>(i % 10));  // entries 10..19 repeat TLOCs 0..9
        pv.label = 100 + i;
        pv.preference = i % 4;
        ASSERT_EQ(plx_config_tloc_pref_add(&db, tl, i, pv), 0);
    }
    EXPECT_EQ(plx_config_tloc_pref_add(&db, tl, 0, {}), PLX_EEXIST);
    rule *r3 = add_rule(DATA, "dp", "vl", 3);
    config_action *a = nullptr;
    ASSERT_EQ(plx_config_rule_action_add(&db, r3, 0x72d28bfe, act(PLX_ACTION_TLOC_LIST), &a), 0);
    ASSERT_EQ(a->tloc_list.count, 16u);
    for (uint32_t i = 1; i < 16; ++i)
        EXPECT_GE(a->tloc_list.entries[i - 1].preference, a->tloc_list.entries[i].preference);
    EXPECT_EQ(a->tloc_list.entries[0].label, 103u);  // first entry of preference 3
    EXPECT_EQ(r3->tloc_refs.count(), 10u);
    uint32_t total = 0;
    for (tloc_ref &ref : r3->tloc_refs)
        total += ref.count;
    EXPECT_EQ(total, 16u);
    EXPECT_EQ(t->refs.count(), 3u);

    // A resolved TLOC outlives its users; unresolved ones go with their last user.
    t->resolved = 1;
    ASSERT_EQ(plx_config_rule_delete(&db, DATA, "dp", "vl", 3), 0);
    EXPECT_EQ(plx_config_tloc_list_find(&db, 3, DATA, "dp", "vl"), nullptr);
    EXPECT_EQ(db.tlocs.count(), 1u);
    ASSERT_EQ(plx_config_action_delete(&db, DATA, "dp", "vl", 1, 0x33c074ce), 0);
    ASSERT_EQ(plx_config_rule_delete(&db, DATA, "dp", "vl", 2), 0);
    ASSERT_EQ(db.tlocs.count(), 1u);
    EXPECT_TRUE(t->refs.empty());
    EXPECT_EQ(plx_config_tloc_delete(&db, t), 0);
}

TEST_F(ModelTest, EachChangeMarksExactlyItsUsers) {
    ASSERT_EQ(plx_config_pfx_list_add(&db, "pl", QCTRL), 0);
    ASSERT_EQ(plx_config_pfx_add(&db, "pl", QCTRL, {10, 0, 0, 0}, 8), 0);
    ASSERT_EQ(plx_config_mirror_add(&db, "m"), 0);
    plx_class_cfg gold{"gold", 3};
    ASSERT_EQ(plx_class_add(&db, &gold), 0);
    data_policy("a", "v1");
    data_policy("a", "v2");
    data_policy("b", "v1");
    data_policy("c", "v1");
    rule *ra = add_rule(DATA, "a", "v1", 1);
    rule *rb = add_rule(DATA, "b", "v1", 1);
    rule *rc = add_rule(DATA, "c", "v1", 1);
    add_rule(DATA, "a", "v2", 1);
    ASSERT_EQ(plx_config_match_add(&db, ra, PLX_MATCH_SRC_PFX_LIST, match_value::named("pl")), 0);
    ASSERT_EQ(plx_config_rule_action_add(&db, rb, 1, named_act(PLX_ACTION_MIRROR, "m")), 0);
    ASSERT_EQ(plx_config_rule_action_add(&db, rc, 1, named_act(PLX_ACTION_SET_FC, "gold")), 0);
    action_value st = act(PLX_ACTION_SET_TLOC);
    st.tloc = tk(9);
    ASSERT_EQ(plx_config_rule_action_add(&db, rb, 2, st), 0);
    take_marks(db);

    using marks = std::map<std::string, int>;
    ASSERT_EQ(plx_config_pfx_list_change(&db, "pl", QCTRL), 0);
    EXPECT_EQ(take_marks(db), (marks{{"1/a", 1}, {"1/a/v1", 1}}));
    ASSERT_EQ(plx_config_mirror_interface_add(&db, "m", "ge0/1"), 0);
    EXPECT_EQ(take_marks(db), (marks{{"1/b", 1}, {"1/b/v1", 1}}));
    EXPECT_EQ(plx_config_mirror_find(&db, "m")->data.kind, 1u);
    plx_class_cfg q{"gold", 5};
    ASSERT_EQ(plx_class_modify(&db, &q), 0);
    EXPECT_EQ(take_marks(db), (marks{{"1/c", 1}, {"1/c/v1", 1}}));
    plx_config_tloc_mark_users(&db, plx_config_tloc_find(&db, tk(9)));
    EXPECT_EQ(take_marks(db), (marks{{"1/b", 1}, {"1/b/v1", 1}}));
    // A range change is announced through the hook and marks nothing.
    int announced = 0;
    db.hooks.vpn_range_added = [&](vpn_list &l, const vpn_range &r) {
        announced += l.name == "v1" && r.low == 100 && r.high == 100;
    };
    ASSERT_EQ(plx_config_vpn_range_add(&db, "v1", 100, 100), 0);
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(plx_config_vpn_range_add(&db, "v1", 100, 100), PLX_EEXIST);
    EXPECT_TRUE(take_marks(db).empty());
}

TEST_F(ModelTest, DirectionUpdateTouchesEveryVpnListOnce) {
    data_policy("dp", "v1");
    data_policy("dp", "v2");
    std::vector<std::string> bound;
    db.hooks.direction_changed = [&](policy &p, policy_vpn_list &v) {
        bound.push_back(std::string(v.name.view()) + ":" + std::to_string(v.direction) + "/" +
                        std::to_string(p.old_direction));
    };
    policy *p = plx_config_policy_find(&db, DATA, "dp");
    ASSERT_EQ(plx_config_policy_direction_update(&db, p, 3), 0);  // unchanged
    EXPECT_TRUE(bound.empty());
    ASSERT_EQ(plx_config_policy_direction_update(&db, p, 1), 0);
    EXPECT_EQ(bound, (std::vector<std::string>{"v1:1/3", "v2:1/3"}));
    EXPECT_EQ(p->direction, 1u);
}

// Rules of access lists use the device lists and report changes through the hook.
TEST_F(ModelTest, AccessListRulesReferenceDeviceLists) {
    const uint32_t local = PLX_POLICY_PFX_LIST_TYPE_LOCAL;
    ASSERT_EQ(plx_config_pfx_list_add(&db, "pl", local), 0);
    ASSERT_EQ(plx_config_pfx_add(&db, "pl", local, {10, 0, 0, 0}, 8), 0);
    ASSERT_EQ(plx_config_pfx_add(&db, "pl", local, {11, 0, 0, 0}, 8), 0);
    ASSERT_EQ(plx_config_pfx_list_add(&db, "pl", QCTRL), 0);  // not for access lists
    ASSERT_EQ(plx_config_app_list_add(&db, "al", PLX_APP_LIST_LOC_LOCAL), 0);

    auto *acl = reinterpret_cast<plx_access_list *>(0x1000);
    rule r;
    r.seq_id = 10;
    r.p_acl = acl;
    r.acl_name.assign("acl1");
    ASSERT_EQ(plx_config_match_add(&db, &r, PLX_MATCH_DST_PFX_LIST, match_value::named("pl")), 0);
    ASSERT_EQ(plx_config_match_add(&db, &r, PLX_MATCH_APP_LIST, match_value::named("al")), 0);
    EXPECT_EQ(r.matches.count(), 2u);
    pfx_list *pl = plx_config_pfx_list_find(&db, "pl", local);
    ASSERT_EQ(pl->acl_users.count(), 1u);
    EXPECT_EQ(pl->acl_users.first()->ref_count, 2u);
    EXPECT_TRUE(plx_config_pfx_list_find(&db, "pl", QCTRL)->acl_users.empty());
    EXPECT_EQ(db.dpi_ref_count, 1u);

    std::vector<plx_access_list *> changed;
    db.hooks.access_list_changed = [&](plx_access_list *a) { changed.push_back(a); };
    ASSERT_EQ(plx_config_pfx_list_change(&db, "pl", local), 0);
    ASSERT_EQ(plx_config_app_list_change(&db, "al", PLX_APP_LIST_LOC_LOCAL), 0);
    EXPECT_EQ(changed, (std::vector<plx_access_list *>{acl, acl}));

    plx_config_rule_release(&db, r);
    EXPECT_TRUE(r.matches.empty());
    EXPECT_TRUE(pl->acl_users.empty());
    EXPECT_EQ(db.dpi_ref_count, 0u);
}

TEST_F(ModelTest, VpnListsWithUsersStayAndRangesAreWithdrawn) {
    data_policy("dp", "vl");
    ASSERT_EQ(plx_config_vpn_range_add(&db, "vl", 1, 3), 0);
    ASSERT_EQ(plx_config_vpn_range_add(&db, "vl", 10, 10), 0);
    EXPECT_EQ(plx_config_vpn_range_add(&db, "vl", 5, 4), PLX_EINVAL);
    EXPECT_EQ(plx_config_vpn_list_delete(&db, "vl"), PLX_EINVAL);
    EXPECT_EQ(plx_config_policy_vpn_list_add(&db, DATA, "dp", "missing", 2, ""), PLX_ENOENT);

    std::vector<std::string> events;
    db.hooks.vpn_range_removing = [&](vpn_list &, const vpn_range &r) {
        events.push_back("unbind " + std::to_string(r.low) + "-" + std::to_string(r.high));
    };
    db.hooks.vpn_list_releasing = [&](policy &p, policy_vpn_list &v) {
        events.push_back("release " + std::string(p.name.view()) + "/" +
                         std::string(v.name.view()));
    };
    ASSERT_EQ(plx_config_policy_delete(&db, DATA, "dp"), 0);
    ASSERT_EQ(plx_config_vpn_list_delete(&db, "vl"), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"release dp/vl", "unbind 1-3", "unbind 10-10"}));
}

// Every operation that allocates more than one record is run with a failure injected at each
// of its allocations in turn: it must fail with 12 and leave the model exactly as it was.
TEST_F(ModelTest, FailingOperationsLeaveTheModelUnchanged) {
    ASSERT_EQ(plx_config_pfx_list_add(&db, "pl", QCTRL), 0);
    for (uint8_t i = 1; i <= 3; ++i)
        ASSERT_EQ(plx_config_pfx_add(&db, "pl", QCTRL, {10, i, 0, 0}, 16), 0);
    add_app_list("al", PLX_APP_LIST_KIND_APP, {"http"});
    ASSERT_EQ(plx_config_mirror_interface_add(&db, "m", "ge0/0"), 0);
    ASSERT_EQ(plx_config_policer_add(&db, "pol", PLX_POLICER_OWNER_QCTRL, {1000000, 15000, 0}), 0);
    ASSERT_EQ(plx_config_vpn_list_add(&db, "vl"), 0);
    ASSERT_EQ(plx_config_policy_add(&db, DATA, "dp", 3), 0);
    tloc_list *tl = nullptr;
    ASSERT_EQ(plx_config_tloc_list_get(&db, 1, DATA, "dp", "vl", &tl), 0);
    for (uint8_t i = 0; i < 3; ++i) {
        tloc_pref_value pv;
        pv.key = tk(i);
        pv.preference = i;
        ASSERT_EQ(plx_config_tloc_pref_add(&db, tl, i, pv), 0);
    }

    // Returns how many allocations the operation made before it succeeded.
    auto attempt = [&](const char *what, auto &&op) {
        for (int n = 0;; ++n) {
            std::string before = snapshot(db);
            plx_policy_fail_alloc_after(n);
            int err = op();
            plx_policy_fail_alloc_after(-1);
            if (err == 0)
                return n;
            EXPECT_EQ(err, PLX_ENOMEM) << what << " at allocation " << n;
            EXPECT_EQ(snapshot(db), before) << what << " at allocation " << n;
            if (err != PLX_ENOMEM)
                return -1;
        }
    };
    attempt("policy vpn list",
            [&] { return plx_config_policy_vpn_list_add(&db, DATA, "dp", "vl", 2, ""); });
    rule *r = nullptr;
    attempt("rule", [&] { return plx_config_rule_add(&db, DATA, "dp", "vl", 1, &r); });
    // Without memory for its MATCH_ANY condition the rule still stays (and is logged).
    EXPECT_EQ(r->matches.count(), 0u);
    EXPECT_EQ(attempt("prefix list match",
                      [&] {
                          return plx_config_match_add(&db, r, PLX_MATCH_SRC_PFX_LIST,
                                                      match_value::named("pl"));
                      }),
              5);  // three conditions, a user entry on both sides
    attempt("app list match", [&] {
        return plx_config_match_add(&db, r, PLX_MATCH_APP_LIST, match_value::named("al"));
    });
    action_value st = act(PLX_ACTION_SET_TLOC);
    st.tloc = tk(7);
    attempt("set tloc", [&] { return plx_config_rule_action_add(&db, r, 1, st); });
    // Three new TLOCs, each with a reference on both sides, and the action itself.
    EXPECT_EQ(
        attempt("tloc list",
                [&] { return plx_config_rule_action_add(&db, r, 2, act(PLX_ACTION_TLOC_LIST)); }),
        10);
    attempt("mirror", [&] {
        return plx_config_rule_action_add(&db, r, 3, named_act(PLX_ACTION_MIRROR, "m"));
    });
    attempt("police", [&] {
        return plx_config_rule_action_add(&db, r, 4, named_act(PLX_ACTION_POLICE, "pol"));
    });
    attempt("app", [&] {
        return plx_config_app_list_add_app(&db, "al", PLX_APP_LIST_LOC_QCTRL,
                                           PLX_APP_LIST_KIND_FAMILY, "web");
    });
    attempt("mirror interface",
            [&] { return plx_config_mirror_interface_add(&db, "m2", "ge0/2"); });

    EXPECT_EQ(r->tloc_refs.count(), 4u);
    EXPECT_EQ(plx_config_policer_find(&db, "pol", PLX_POLICER_OWNER_QCTRL)->instances.count(), 1u);
    // The same policer twice in one sequence is refused.
    EXPECT_EQ(plx_config_rule_action_add(&db, r, 5, named_act(PLX_ACTION_POLICE, "pol")),
              PLX_EEXIST);
    EXPECT_EQ(plx_config_policer_delete(&db, "pol", PLX_POLICER_OWNER_QCTRL), PLX_EINVAL);
    EXPECT_EQ(plx_config_mirror_delete(&db, "m"), PLX_EINVAL);
}

}  // namespace
}  // namespace plx::cfg::test
