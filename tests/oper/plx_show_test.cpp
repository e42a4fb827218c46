#include "tests/oper/oper_fixture.h"

namespace opertest {
namespace {

using Cells = std::vector<std::string>;

// Data policy dp1 on VPN 7: "web" counted by two rules (ports 80 and 443), "ssh" by one.
// App-route policy ar1 on the same VPN: "all" counts every packet.
class Counters : public OperFixture {
  protected:
    void SetUp() override {
        OperFixture::SetUp();
        dp_ = add_policy(cfg::PLX_POLICY_TYPE_DATA, "dp1", "vl1", {"web", "ssh"});
        ar_ = add_policy(cfg::PLX_POLICY_TYPE_PFR, "ar1", "vl1", {"all"});
        dp_->filter_id =
            place({port_rule(80, "web"), port_rule(443, "web"), port_rule(22, "ssh")}, &dp_prog_);
        TestRule any{{{PLX_FIELD_MATCH_ANY, 1, 1}}, test_action(PLX_ACT_ACCEPT)};
        add_count(any.action, 1, "all");
        ar_->filter_id = place({any});
        vpn_[7] = fp_vpn_binding{{FP_FILTER_NONE, FP_FILTER_NONE, dp_->filter_id},
                                 ar_->filter_id,
                                 fp_data_bound_bit(FP_DIR_ALL) | FP_BIND_APP_ROUTE,
                                 {}};
    }
    std::string show() { return run_cli("show /policy-oper"); }
    Cells dp(const std::string &out, const char *c) { return row(out, {"dp1", "vl1", c}); }
    Cells ar(const std::string &out) { return row(out, {"ar1", "vl1", "all"}); }

    cfg::policy_vpn_list *dp_ = nullptr, *ar_ = nullptr;
    PolicyProgram *dp_prog_ = nullptr;
};

TEST_F(Counters, ShownCountersEqualTheForwardingPlanesCounts) {
    replay(7, 80, 5);
    replay(7, 443, 3, 200);
    replay(7, 22, 2);
    replay(7, 53, 4);  // default record, counted only by the app-route policy
    // The engine's own view: hits per action record of the data policy's program.
    uint64_t web_hits = 0;
    for (const auto &[key, st] : engine_->stats())
        if (st.filter == dp_->filter_id)
            for (size_t i = 0; i < st.hits.size(); ++i)
                if (st.record_text[i].find("count:web") != std::string::npos)
                    web_hits += st.hits[i];
    EXPECT_EQ(web_hits, 8u);

    const std::string out = show();
    EXPECT_EQ(dp(out, "web"), (Cells{"8", "1100"})) << out;
    EXPECT_EQ(dp(out, "ssh"), (Cells{"2", "200"})) << out;
    EXPECT_EQ(ar(out), (Cells{"14", "1700"})) << out;
    // One object per request, the same numbers.
    EXPECT_NE(run_cli("show '/policy-oper/data-policy-filters{dp1}/data-policy-vpnlist{vl1}/"
                      "data-policy-counters{web}' --format json")
                  .find("\"packets\": \"8\""),
              std::string::npos);
}

TEST_F(Counters, ClearFlipsTheBankAndCountingGoesOn) {
    replay(7, 80, 5);
    replay(7, 22, 1);
    EXPECT_EQ(run_cli("request /plx/clear/data-policy name dp1"),
              "cleared 2 counters and 0 policers\n/plx/clear/data-policy: ok\n");
    std::string out = show();
    EXPECT_EQ(dp(out, "web"), (Cells{"0", "0"})) << out;
    EXPECT_EQ(dp(out, "ssh"), (Cells{"0", "0"})) << out;
    EXPECT_EQ(ar(out), (Cells{"6", "600"})) << "clearing data policies leaves app-route ones";

    // The forwarding plane goes on counting into the bank the clear selected.
    replay(7, 80, 2);
    out = show();
    EXPECT_EQ(dp(out, "web"), (Cells{"2", "200"})) << out;

    // Two clears in a row: both banks zero, the selector back where it was; every rule that
    // counts "web" was cleared.
    auto banks = [&] {
        std::vector<int> sel;
        plx_program_visit_actions(dp_prog_, &sel, [](uint8_t *data, void *arg) {
            for (unsigned s = 0; s < PLX_ACTION_SLOTS; ++s) {
                auto *c = plx_action_slot<CountSlot>(data, s);
                if (c->action_type == PLX_ACT_COUNT) {
                    static_cast<std::vector<int> *>(arg)->push_back(c->bank);
                    EXPECT_EQ(c->packets[0] + c->packets[1], 0u) << c->name;
                }
            }
        });
        return sel;
    };
    const uint8_t before =
        plx_action_slot<CountSlot>(fp_action_entry(dp_prog_, 1) + sizeof(ActionRecord), 1)->bank;
    run_cli("request /plx/clear/data-policy");
    run_cli("request /plx/clear/data-policy");
    std::vector<int> sel = banks();
    ASSERT_EQ(sel.size(), 3u);
    for (int b : sel)
        EXPECT_EQ(b, before);
    out = show();
    EXPECT_EQ(ar(out), (Cells{"8", "800"}));
    run_cli("request /plx/clear/app-route-policy");
    EXPECT_EQ(ar(show()), (Cells{"0", "0"}));

    // A name that matches nothing is an error naming it, and nothing is cleared.
    replay(7, 22, 1);
    EXPECT_EQ(run_cli("request /plx/clear/data-policy name nosuch"),
              "cdbcli: error: daemon plxd: no data policy named nosuch\n");
    EXPECT_EQ(run_cli("request /plx/clear/ipv6-access-list name dp1"),
              "cdbcli: error: daemon plxd: no IPv6 access list named dp1\n");
    EXPECT_EQ(dp(show(), "ssh"), (Cells{"1", "100"}));
}

// Every VPN list shows whether its program is in the forwarding plane and where it applies; the
// counters of a list without a program have their names only.
TEST_F(Counters, VpnListsShowTheirProgrammingState) {
    {
        std::lock_guard lk(mu_);
        ASSERT_EQ(cfg::plx_config_vpn_range_add(&db_, "vl1", 7, 7), 0);
        ASSERT_EQ(cfg::plx_config_vpn_range_add(&db_, "vl1", 20, 22), 0);
        cfg::policy_vpn_list *refused = add_policy(cfg::PLX_POLICY_TYPE_DATA, "dp6", "vl1", {});
        refused->filter_id = kFilters;  // a build that ended without a program
        refused->refused_why = "too many actions";
        add_policy(cfg::PLX_POLICY_TYPE_DATA, "dp7", "vl1", {"c1"})->filter_id = kFilters;
    }
    const std::string out = run_cli("show /policy-oper/data-policy-filters --format json");
    auto entry = [&](const char *policy) {
        const auto at = out.find("\"name\": \"" + std::string(policy) + "\"");
        return at == std::string::npos ? std::string() : out.substr(at, out.find(']', at) - at);
    };
    const std::string bound = entry("dp1");
    EXPECT_NE(bound.find("\"program-state\": \"bound\""), std::string::npos) << out;
    EXPECT_NE(bound.find("\"filter-id\": " + std::to_string(dp_->filter_id)), std::string::npos);
    EXPECT_NE(bound.find("\"bound-to\": \"7 20-22\""), std::string::npos) << bound;
    EXPECT_NE(entry("dp6").find("\"program-state\": \"refused\",\n"), std::string::npos);
    EXPECT_NE(entry("dp6").find("\"program-reason\": \"too many actions\""), std::string::npos);
    EXPECT_EQ(entry("dp6").find("filter-id"), std::string::npos) << "no program, no filter";
    EXPECT_NE(entry("dp7").find("\"program-reason\": \"out of filter memory\""), std::string::npos)
        << out;
    const auto c1 = out.find("\"counter-name\": \"c1\"");
    ASSERT_NE(c1, std::string::npos) << out;
    EXPECT_EQ(out.substr(c1, out.find('}', c1) - c1).find("packets"), std::string::npos);
}

// Find-next as the database sends it while walking: from a key that is gone, and from the last.
TEST_F(Counters, FindNextFromVanishedKeysAndTheEnd) {
    {
        std::lock_guard lk(mu_);
        add_policy(cfg::PLX_POLICY_TYPE_DATA, "dp3", "vl1", {"a", "c", "e"});
        add_policy(cfg::PLX_POLICY_TYPE_PFR, "dp4", "vl1", {});  // app-route between data ones
        add_policy(cfg::PLX_POLICY_TYPE_DATA, "dp5", "vl1", {});
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(confd_client::connect_sock(fd, nullptr, 0, confd_wire::WireSock::Cli, "t"), CONFD_OK);
    auto kp = [](std::vector<std::vector<confd_value_t>> elems) {
        confd_hkeypath_t k{};
        k.len = static_cast<int>(elems.size());
        for (int i = 0; i < k.len; ++i) {
            auto &src = elems[static_cast<size_t>(i)];
            for (size_t j = 0; j < src.size(); ++j)
                k.v[k.len - 1 - i][j] = src[j];
            k.v[k.len - 1 - i][src.size()].type = C_NOEXISTS;
        }
        return k;
    };
    auto tag = [](const char *name) {
        confd_value_t v;
        CONFD_SET_XMLTAG(&v, confd_str2hash(name), 0);
        return v;
    };
    auto buf = [](const char *s) {
        confd_value_t v;
        CONFD_SET_BUF(&v, s, strlen(s));
        return v;
    };
    auto next_name = [&](const confd_hkeypath_t &path, const char *after) {
        cdbcli::DpResult r;
        confd_value_t key = buf(after);
        EXPECT_EQ(cdbcli::dp_find_next_object(fd, path, CONFD_FIND_NEXT, &key, 1, r), CONFD_OK);
        if (r.end || r.values.empty())
            return std::string("<end>");
        return std::string(r.values[0].v.val.s);
    };
    const auto counters = kp({{tag("policy-oper")},
                              {tag("data-policy-filters")},
                              {buf("dp3")},
                              {tag("data-policy-vpnlist")},
                              {buf("vl1")},
                              {tag("data-policy-counters")}});
    EXPECT_EQ(next_name(counters, "a"), "c");
    EXPECT_EQ(next_name(counters, "b"), "c") << "a counter that vanished: the next greater one";
    EXPECT_EQ(next_name(counters, "e"), "<end>");
    const auto policies = kp({{tag("policy-oper")}, {tag("data-policy-filters")}});
    EXPECT_EQ(next_name(policies, "dp3"), "dp5") << "the app-route policy dp4 is skipped";
    EXPECT_EQ(next_name(policies, "dp5"), "<end>");
    EXPECT_EQ(next_name(policies, "dp0"), "<end>") << "a policy that is gone ends the walk";
    const auto missing = kp({{tag("policy-oper")},
                             {tag("data-policy-filters")},
                             {buf("gone")},
                             {tag("data-policy-vpnlist")}});
    cdbcli::DpResult r;
    EXPECT_EQ(cdbcli::dp_get_next_object(fd, missing, -1, r), CONFD_OK);
    EXPECT_EQ(r.kind, confd_wire::DpReply::NotFound);
    confd_client::forget_sock(fd);
    close(fd);

    const std::string out = run_cli("show /policy-oper/app-route-policy-filters");
    EXPECT_NE(out.find("dp4"), std::string::npos);
    EXPECT_EQ(out.find("dp3"), std::string::npos) << out;
}

// Access lists: counters and policer statistics of a policed replay, bindings, and a clear.
TEST_F(OperFixture, AccessListCountersPolicersAndBindings) {
    TestRule r80{{{PLX_FIELD_DST_PORT, 80, 80}}, test_action(PLX_ACT_ACCEPT)};
    add_count(r80.action, 1, "hits");
    auto *p = plx_action_slot<PoliceSlot>(action_bytes(r80.action), 2);
    p->action_type = PLX_ACT_POLICE;
    p->rate = 10;  // 10 ns per byte, burst 2500: two 100-byte packets in a burst fit
    p->burst = 2500;
    p->flags = 2;
    snprintf(p->name, sizeof p->name, "5.lim");
    auto acl = std::make_unique<Acl>();
    acl->name.assign("acl-in");
    acl->counters.insert(
        std::make_unique<cfg::counter_ctx>(cfg::counter_ctx{{}, cfg::plx_name("hits"), 1}));
    auto pi = std::make_unique<cfg::policer_instance>();
    pi->seq_id = 5;
    pi->policer_name.assign("lim");
    acl->policers.insert(std::move(pi));
    for (auto [intf, dir] : {std::pair{"ge0/0", 1}, {"ge0/0", 2}, {"ge0/1", 1}}) {
        auto b = std::make_unique<Binding>();
        b->intf.assign(intf);
        b->direction = static_cast<uint8_t>(dir);
        acl->bindings.insert(std::move(b));
    }
    acl->filter_id = place({r80});
    snprintf(intf_[0].name, sizeof intf_[0].name, "ge0/0");
    intf_[0].acl_filter[0][0] = acl->filter_id;
    intf_[0].bound |= fp_acl_bound_bit(FP_ACL_DIR_IN, 0);
    {
        std::lock_guard lk(mu_);
        acls_[0].insert(std::move(acl));
        auto v6 = std::make_unique<Acl>();
        v6->name.assign("six");
        acls_[1].insert(std::move(v6));
    }
    replay(1, 80, 4, 100, "ge0/0", 1000000);

    std::string out = run_cli("show /policy-oper/access-list");
    // The rule counts every packet it selects, the policer drops what exceeds the bucket.
    EXPECT_EQ(row(out, {"acl-in", "hits"}), (Cells{"4", "400"})) << out;
    uint64_t drops = 0, bytes = 0;
    plx_program_sum_policer_counters(plx_mem_program(acls_[0].first()->filter_id), "5.lim", &drops,
                                     &bytes);
    EXPECT_EQ(drops, 2u);
    EXPECT_EQ(row(out, {"acl-in", "5.lim"}), (Cells{"2", std::to_string(bytes)})) << out;
    EXPECT_EQ(row(out, {"acl-in", "ge0/0", "out"}), Cells{}) << out;
    // Its state: no reason, filter, size and the bindings (no time: this model keeps none).
    const uint32_t f = acls_[0].first()->filter_id;
    EXPECT_EQ(row(out, {"acl-in", "bound"}),
              (Cells{"-", std::to_string(f), std::to_string(plx_mem_program(f)->length), "ge0/0:in",
                     "ge0/0:out", "ge0/1:in", "-"}))
        << out;
    EXPECT_NE(out.find("ge0/1"), std::string::npos);
    EXPECT_EQ(out.find("six"), std::string::npos) << "IPv6 lists are not IPv4 lists";
    EXPECT_NE(run_cli("show /policy-oper/ipv6/access-list/access-list-names").find("six"),
              std::string::npos);
    // A binding read by its two keys.
    EXPECT_NE(run_cli("show '/policy-oper/access-list/access-list-associations{acl-in}/"
                      "access-policy-interface-list{ge0/1 in}' --format xml")
                  .find("<interface-direction>in</interface-direction>"),
              std::string::npos);

    EXPECT_EQ(run_cli("request /plx/clear/access-list name acl-in"),
              "cleared 1 counter and 1 policer\n/plx/clear/access-list: ok\n");
    out = run_cli("show /policy-oper/access-list");
    EXPECT_EQ(row(out, {"acl-in", "hits"}), (Cells{"0", "0"})) << out;
    EXPECT_EQ(row(out, {"acl-in", "5.lim"}), (Cells{"0", "0"})) << out;
}

// The dumps of filter memory describe what was placed.
TEST_F(OperFixture, MemoryDumpsAgreeWithPlacement) {
    const uint32_t a = place({port_rule(80, "x")});
    const uint32_t b = place({port_rule(80, "x"), port_rule(81, "y")});
    const std::string stats = run_cli("request /plx/dump/memory-stats");
    for (uint32_t f : {a, b}) {
        char line[128];
        snprintf(line, sizeof line, "%5d\t%5d\t%8d\t%13d\t%8d\n", static_cast<int>(f), 1,
                 static_cast<int>(filters_[f].hw_index), static_cast<int>(filters_[f].num_blocks),
                 0);
        EXPECT_NE(stats.find(line), std::string::npos) << line << stats;
    }
    char total[64];
    snprintf(total, sizeof total, "Number of blocks used: %u/%u\n",
             filters_[a].num_blocks + filters_[b].num_blocks, kBlocks);
    EXPECT_NE(stats.find("Number of filters: 2/32\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find(total), std::string::npos) << stats;

    const std::string map = run_cli("request /plx/dump/memory-map");
    EXPECT_NE(map.find("\tFilterId: " + std::to_string(b) + "\n"), std::string::npos) << map;
    const std::string dump = run_cli("request /plx/dump/filter");
    EXPECT_NE(dump.find("FILTER     " + std::to_string(b) + " Activity: 0\n"), std::string::npos);
    EXPECT_NE(dump.find("count\n  y\n"), std::string::npos) << "slots of the placed program";
}

}  // namespace
}  // namespace opertest
