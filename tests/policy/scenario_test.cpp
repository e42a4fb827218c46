// A whole configuration built up, changed and torn down in every order that deletion
// priorities allow (referring elements before what they refer to): the model must end empty,
// with every reference count back at zero and nothing leaked.
#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "tests/policy/model_fixture.h"

namespace plx::cfg::test {
namespace {

class ScenarioTest : public ModelTest {
  protected:
    void ok(int status, const char *what) { ASSERT_EQ(status, 0) << what; }

    void rule_with(uint32_t type, const char *p, const char *v, uint32_t seq,
                   std::function<void(rule *)> body) {
        rule *r = add_rule(type, p, v, seq);
        ASSERT_NE(r, nullptr);
        body(r);
    }
    void match(rule *r, uint32_t t, match_value mv) {
        ok(plx_config_match_add(&db, r, t, mv), "match");
    }
    void action(rule *r, uint32_t tag, action_value av) {
        ok(plx_config_rule_action_add(&db, r, tag, av), "action");
    }

    void build() {
        ok(plx_sla_class_add(&db, "gold"), "sla gold");
        ok(plx_sla_class_add(&db, "silver"), "sla silver");
        plx_class_cfg fc{"fc-gold", 3};
        ok(plx_class_add(&db, &fc), "class");
        add_vpn_list("vpn-a", {{1, 3}, {10, 10}});
        add_vpn_list("vpn-b", {{20, 30}});
        ok(plx_config_pfx_list_add(&db, "pl", QCTRL), "pl");
        for (uint8_t i = 1; i <= 3; ++i)
            ok(plx_config_pfx_add(&db, "pl", QCTRL, {172, 16, i, 0}, 24), "prefix");
        add_app_list("apps", PLX_APP_LIST_KIND_APP, {"http", "ssh"});
        add_app_list("fams", PLX_APP_LIST_KIND_FAMILY, {"web"});
        ok(plx_config_mirror_interface_add(&db, "m", "ge0/3"), "mirror");
        ok(plx_config_policer_add(&db, "pol", PLX_POLICER_OWNER_QCTRL, {2000000, 20000, 1}), "pol");
        // One TLOC the messaging daemon announced before any policy named it.
        tloc *announced = nullptr;
        ok(plx_config_tloc_get(&db, tk(2), 1, &announced), "tloc");
        announced->status = 1;
        tloc_list *tl = nullptr;
        ok(plx_config_tloc_list_get(&db, 20, DATA, "dp1", "vpn-a", &tl), "tloc list");
        for (uint8_t i = 0; i < 3; ++i) {
            tloc_pref_value pv;
            pv.key = tk(static_cast<uint8_t>(i + 1));
            pv.label = 1000 + i;
            pv.preference = 10 * i;
            ok(plx_config_tloc_pref_add(&db, tl, i, pv), "tloc pref");
        }

        data_policy("dp1", "vpn-a");
        data_policy("dp1", "vpn-b");
        data_policy("dp2", "vpn-a");
        ok(plx_config_policy_add(&db, PFR, "ar1", 0), "ar1");
        ok(plx_config_policy_vpn_list_add(&db, PFR, "ar1", "vpn-b", 0, "gold"), "ar1 vpn-b");

        action_value set_tloc = act(PLX_ACTION_SET_TLOC);
        set_tloc.tloc = tk(1);
        set_tloc.label = 77;
        for (const char *vl : {"vpn-a", "vpn-b"}) {
            rule_with(DATA, "dp1", vl, 10, [&](rule *r) {
                match(r, PLX_MATCH_SRC_PFX_LIST, match_value::named("pl"));
                match(r, PLX_MATCH_APP_LIST, match_value::named("apps"));
                match(r, PLX_MATCH_PROTOCOL, match_value::number(6));
                action_value base = act(PLX_ACTION_BASE);
                base.verb = PLX_ACTION_VERB_ACCEPT;
                action(r, 0x369ffb7, base);
                action(r, 0xac83abe, named_act(PLX_ACTION_COUNT, "c1"));
                action(r, 0x33c074ce, set_tloc);
                action(r, 0x65975b28, named_act(PLX_ACTION_MIRROR, "m"));
                action(r, 0x58e2217b, named_act(PLX_ACTION_POLICE, "pol"));
            });
        }
        rule_with(DATA, "dp1", "vpn-a", 20, [&](rule *r) {
            match(r, PLX_MATCH_DNS_APP_LIST, match_value::named("fams"));
            action(r, 0x72d28bfe, act(PLX_ACTION_TLOC_LIST));
            action(r, 0x2bf83993, act(PLX_ACTION_CFLOWD));
            action(r, 0x6854f46f, named_act(PLX_ACTION_SET_FC, "fc-gold"));
        });
        rule_with(DATA, "dp2", "vpn-a", 5, [&](rule *r) {
            match(r, PLX_MATCH_DST_PFX_LIST, match_value::named("pl"));
            action(r, 0xac83abe, named_act(PLX_ACTION_COUNT, "c1"));
            action(r, 0x33c074ce, set_tloc);
            action(r, 0x2bf83993, act(PLX_ACTION_CFLOWD));
        });
        rule_with(PFR, "ar1", "vpn-b", 1, [&](rule *r) {
            match(r, PLX_MATCH_APP_LIST, match_value::named("apps"));
            action(r, 0x58223d85, named_act(PLX_ACTION_SLA_CLASS, "silver"));
        });
        rule_with(PFR, "ar1", "vpn-b", 2, [&](rule *r) {
            action(r, 0x58223d85, named_act(PLX_ACTION_SLA_CLASS, PLX_SLA_ALL_TUNNELS));
        });
    }

    void check_built() {
        EXPECT_EQ(db.dpi_ref_count, 4u);  // dp1 twice, dp1 DNS once, ar1 once
        EXPECT_EQ(db.flow_ref_count, 2u);
        pfx_list *pl = plx_config_pfx_list_find(&db, "pl", QCTRL);
        EXPECT_EQ(pl->users.count(), 3u);  // dp1/vpn-a, dp1/vpn-b, dp2/vpn-a
        tloc *t1 = plx_config_tloc_find(&db, tk(1));
        EXPECT_EQ(t1->refs.count(), 4u);  // three set-tloc rules and the TLOC-list rule
        EXPECT_EQ(db.tlocs.count(), 3u);
        policy_vpn_list *a = plx_config_policy_vpn_list_find(&db, DATA, "dp1", "vpn-a");
        EXPECT_EQ(a->counters.first()->ref_count, 1u);
        EXPECT_EQ(plx_config_policy_vpn_list_find(&db, PFR, "ar1", "vpn-b")->default_action.sla.id,
                  1);
        EXPECT_EQ(plx_config_vpn_list_find(&db, "vpn-a")->users.count(), 2u);
    }

    // Changes of every kind, then the refresh that precedes each rebuild.
    void change() {
        ok(plx_config_pfx_add(&db, "pl", QCTRL, {192, 168, 0, 0}, 16), "prefix add");
        ok(plx_config_pfx_delete(&db, "pl", QCTRL, {172, 16, 2, 0}, 24), "prefix delete");
        ok(plx_config_pfx_list_change(&db, "pl", QCTRL), "pl change");
        ok(plx_config_app_list_change(&db, "apps", PLX_APP_LIST_LOC_QCTRL), "apps change");
        ok(plx_config_app_list_add_app(&db, "apps", PLX_APP_LIST_LOC_QCTRL,
                                       PLX_APP_LIST_KIND_FAMILY, "file-server"),
           "apps -> families");
        ok(plx_sla_class_delete(&db, "gold"), "gold delete");
        ok(plx_sla_class_add(&db, "gold"), "gold again");
        plx_class_cfg fc{"fc-gold", 5};
        ok(plx_class_modify(&db, &fc), "class modify");
        ok(plx_config_policy_direction_update(&db, plx_config_policy_find(&db, DATA, "dp2"), 1),
           "direction");
        ok(plx_config_policy_vpn_list_modify(&db, PFR, "ar1", "vpn-b", 0, "silver"), "default");
        tloc_list *tl = plx_config_tloc_list_find(&db, 20, DATA, "dp1", "vpn-a");
        tloc_pref_value pv;
        pv.key = tk(9);
        pv.preference = 99;
        ok(plx_config_tloc_pref_modify(&db, tl, 0, pv), "tloc pref modify");
        ok(plx_config_action_delete(&db, DATA, "dp2", "vpn-a", 5, 0xac83abe), "counter delete");
        action_value cnt = named_act(PLX_ACTION_COUNT, "c2");
        ok(plx_config_action_add(&db, DATA, "dp2", "vpn-a", 5, 0xac83abe, cnt), "counter add");
        rule *r = plx_config_rule_find(&db, DATA, "dp2", "vpn-a", 5);
        ok(plx_config_match_delete_by_type(&db, r, PLX_MATCH_DST_PFX_LIST), "match delete");
        match(r, PLX_MATCH_SRC_PFX_LIST, match_value::named("pl"));
        ok(plx_config_mirror_remote_dest_add(&db, "m", plx_ip_addr{{10, 9, 9, 9}, PLX_AF_IPV4},
                                             plx_ip_addr{{10, 0, 0, 1}, PLX_AF_IPV4}),
           "remote dest");
        for (policy &p : db.policies)
            for (policy_vpn_list &v : p.vpn_lists)
                ok(plx_config_policy_vpn_list_refresh(&db, &v), "refresh");
        // After the refresh the TLOC-list rule names tk(9) first instead of tk(1).
        config_action *tla = plx_config_action_find(&db, DATA, "dp1", "vpn-a", 20, 0x72d28bfe);
        EXPECT_EQ(tla->tloc_list.entries[0].p_tloc->key.addr[3], 9);
        EXPECT_EQ(plx_config_tloc_find(&db, tk(1))->refs.count(), 3u);
    }

    enum class mode { rules_first, vpn_lists_first, policies_only };

    void tear_down(mode m, const std::array<const char *, 3> &policies,
                   const std::array<int, 5> &list_order) {
        auto type_of = [](const char *p) { return std::string(p) == "ar1" ? PFR : DATA; };
        if (m == mode::rules_first) {
            for (const char *p : policies) {
                policy *pol = plx_config_policy_find(&db, type_of(p), p);
                for (policy_vpn_list &v : pol->vpn_lists)
                    v.rules.walk([&](rule &r) {
                        ok(plx_config_rule_delete(&db, pol->type, p, v.name.view(), r.seq_id),
                           "rule delete");
                    });
            }
        }
        if (m != mode::policies_only) {
            for (const char *p : policies) {
                policy *pol = plx_config_policy_find(&db, type_of(p), p);
                pol->vpn_lists.walk([&](policy_vpn_list &v) {
                    ok(plx_config_policy_vpn_list_delete(&db, pol->type, p, v.name.view()),
                       "vpn list delete");
                });
            }
        }
        for (const char *p : policies)
            ok(plx_config_policy_delete(&db, type_of(p), p), "policy delete");

        for (int kind : list_order) {
            switch (kind) {
                case 0:
                    ok(plx_config_vpn_list_delete(&db, "vpn-a"), "vpn-a");
                    ok(plx_config_vpn_list_delete(&db, "vpn-b"), "vpn-b");
                    break;
                case 1:
                    ok(plx_config_pfx_list_delete(&db, "pl", QCTRL), "pl");
                    break;
                case 2:
                    ok(plx_config_app_list_delete(&db, "apps", PLX_APP_LIST_LOC_QCTRL), "apps");
                    ok(plx_config_app_list_delete(&db, "fams", PLX_APP_LIST_LOC_QCTRL), "fams");
                    break;
                case 3:
                    ok(plx_sla_class_delete(&db, "gold"), "gold");
                    ok(plx_sla_class_delete(&db, "silver"), "silver");
                    ok(plx_class_delete(&db, "fc-gold"), "fc");
                    break;
                case 4:
                    ok(plx_config_mirror_delete(&db, "m"), "mirror");
                    ok(plx_config_policer_delete(&db, "pol", PLX_POLICER_OWNER_QCTRL), "pol");
                    // The messaging daemon withdraws the TLOC it had announced.
                    ok(plx_config_tloc_delete(&db, plx_config_tloc_find(&db, tk(2))), "tloc");
                    break;
            }
        }
    }

    // The model ends as it started, with only the classes the daemon creates itself, their ids
    // and their id maps.
    void check_empty(const std::string &fresh) {
        EXPECT_EQ(snapshot(db), fresh);
        EXPECT_EQ(db.sla_id_map, 1);
        EXPECT_EQ(db.classes.id_pool[0], 1);
    }
};

TEST_F(ScenarioTest, BuildChangeAndTearDownInEveryAllowedOrder) {
    const std::array<mode, 3> modes{mode::rules_first, mode::vpn_lists_first, mode::policies_only};
    const std::string fresh = snapshot(db);
    int runs = 0;
    for (mode m : modes) {
        // Each policy order meets a sixth of the list orders, so that every list order is
        // run once per mode.
        std::array<const char *, 3> policies{"ar1", "dp1", "dp2"};
        for (int pi = 0; pi < 6; ++pi) {
            std::array<int, 5> lists{0, 1, 2, 3, 4};
            int li = 0;
            do {
                if (li++ % 6 != pi)
                    continue;
                build();
                if (HasFatalFailure())
                    return;
                check_built();
                if (runs % 2)
                    change();
                tear_down(m, policies, lists);
                if (HasFatalFailure())
                    return;
                check_empty(fresh);
                ++runs;
            } while (std::next_permutation(lists.begin(), lists.end()));
            std::next_permutation(policies.begin(), policies.end(),
                                  [](const char *a, const char *b) {
                                      return std::string_view(a) < std::string_view(b);
                                  });
        }
    }
    EXPECT_EQ(runs, 3 * 120);
}

}  // namespace
}  // namespace plx::cfg::test
