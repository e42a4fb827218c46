// The self-check against the forwarding plane's tables, and a forwarding-plane restart handled
// in place: after it the check finds nothing to report, and releases of the old plane's programs
// never touch the new one's.
#include <algorithm>

#include "daemon/plx_fp_restart.h"
#include "daemon/plx_verify.h"
#include "tests/policy/process_fixture.h"

namespace plx::cfg::test {
namespace {

class Verify : public ProcessTest {
  protected:
    void SetUp() override {
        ProcessTest::SetUp();
        data_policy("dp", "corp");
        data_policy("ar", "corp", PFR);
        ASSERT_EQ(plx_config_vpn_range_add(&db, "corp", 10, 11), 0);
        for (auto [name, type] : {std::pair("dp", DATA), std::pair("ar", PFR)}) {
            rule *r = add_rule(type, name, "corp", 10);
            action_value a = act(PLX_ACTION_BASE);
            a.verb = PLX_ACTION_VERB_ACCEPT;
            ASSERT_EQ(plx_config_rule_action_add(&db, r, 1, a), 0);
            ASSERT_EQ(plx_config_match_add(&db, r, PLX_MATCH_PROTOCOL, match_value::number(6)), 0);
        }
        process();
    }
    std::vector<std::string> differences() {
        take_msgs();
        plx_verify_report r = plx_verify(&ctx, fib_tables());
        programs = r.programs;
        bindings = r.bindings;
        return r.differences;
    }
    static std::string joined(const std::vector<std::string> &v) {
        std::string s;
        for (const std::string &l : v)
            s += l + "\n";
        return s;
    }
    uint32_t programs = 0, bindings = 0;
};

TEST_F(Verify, ReportsWhatTheForwardingPlaneHoldsWrongly) {
    ASSERT_EQ(differences(), std::vector<std::string>{});
    EXPECT_EQ(programs, 2u);
    EXPECT_EQ(bindings, 4u);
    EXPECT_EQ(plx_verify_lines({2, 4, {}}).back(), "verify: 2 programs, 4 bindings, 0 differences");

    const uint32_t dp = filter_of(DATA, "dp", "corp"), ar = filter_of(PFR, "ar", "corp");
    fib_vpn[10].bound = 0;      // a binding lost
    fib_vpn[12] = fib_vpn[11];  // one the configuration does not know
    std::swap(fib_vpn[11].data_filter[2], fib_vpn[11].app_route_filter);  // crossed owners
    filters_[ar].valid = 0;                                               // a program gone
    filters_[kFilters - 1].valid = 1;                                     // one without owner
    const std::string got = joined(differences());
    for (const std::string &want :
         {"vpn 10 all: nothing bound, want filter " + std::to_string(dp),
          "vpn 12 all: filter " + std::to_string(dp) +
              " (data policy dp - corp) bound, the configuration binds nothing there",
          "vpn 11 all: filter " + std::to_string(ar) + " (app-route policy ar - corp) bound",
          "app-route policy ar - corp: filter " + std::to_string(ar) + " holds no program",
          "filter " + std::to_string(kFilters - 1) + ": valid, but no list owns it"})
        EXPECT_NE(got.find(want), std::string::npos) << want << "\n in:\n" << got;
}

TEST_F(Verify, ForwardingPlaneRestartPlacesAndBindsEverythingAgain) {
    // A program of the old plane waits for its release when the plane goes.
    plx_config_mark_changed(*plx_config_policy_vpn_list_find(&db, DATA, "dp", "corp"));
    process();
    ASSERT_EQ(plx_mem_pending_releases(), 1);

    // The new plane cleared its tables; fibd wrote its bindings (old filter numbers) again.
    std::fill(mem_.begin(), mem_.end(), 0);
    std::fill(filters_.begin(), filters_.end(), FilterEntry{});
    fib.rewrite();
    EXPECT_FALSE(differences().empty());

    plx_fp_restarted(&ctx);
    EXPECT_EQ(differences(), std::vector<std::string>{});
    EXPECT_EQ(programs, 2u);
    EXPECT_TRUE(fib_warnings.empty()) << fib_warnings[0];
    EXPECT_EQ(plx_mem_pending_releases(), 0);
    advance_ms(2000);  // no release scan clears what the new plane holds
    EXPECT_EQ(differences(), std::vector<std::string>{});
    EXPECT_NE(program(DATA, "dp", "corp"), nullptr);
}

}  // namespace
}  // namespace plx::cfg::test
