#include "peers/fibd/fibd_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class FibdStateTest : public ::testing::Test {
  protected:
    FibdStateTest() : vpn_(100), intf_(2), state_(tables()) {}
    FibdTables tables() { return FibdTables{vpn_.data(), 100, intf_.data(), 2, &ctrl_, &knob_}; }
    fib_policy_msg policy(uint8_t type, uint8_t ftype, uint32_t filter, std::vector<uint32_t> ids,
                          uint8_t dir = FP_DIR_ALL, const char *name = "p") {
        fib_policy_msg m;
        m.type = type;
        m.filter_type = ftype;
        m.direction = ftype == FP_FILTER_TYPE_DATA ? dir : 0;
        m.filter_id = filter;
        m.name = name;
        m.vpn_ids = std::move(ids);
        return m;
    }
    fib_acl_msg acl(uint8_t type, uint8_t family, uint32_t filter, std::vector<fib_acl_binding> b) {
        fib_acl_msg m;
        m.type = type;
        m.family = family;
        m.filter_id = filter;
        m.name = "a";
        m.bindings = std::move(b);
        return m;
    }
    std::vector<fp_vpn_binding> vpn_;
    std::vector<fp_intf_acl_binding> intf_;
    fp_fib_ctrl ctrl_{};
    uint32_t knob_ = 0;
    FibdState state_;
    std::vector<std::string> warnings_;
};

TEST_F(FibdStateTest, PolicyBindingsPerVpnAndType) {
    state_.apply(policy(1, 1, 4, {1, 2, 3, 10}), &warnings_);
    state_.apply(policy(1, 2, 6, {2}), &warnings_);
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(vpn_[3].bound, fp_data_bound_bit(FP_DIR_ALL));
    EXPECT_EQ(fp_vpn_data_filter(vpn_[3], FP_DIR_ALL), 4u);
    EXPECT_EQ(vpn_[2].bound, fp_data_bound_bit(FP_DIR_ALL) | FP_BIND_APP_ROUTE);
    EXPECT_EQ(fp_vpn_app_route_filter(vpn_[2]), 6u);
    EXPECT_EQ(vpn_[4].bound, 0);
    EXPECT_EQ(ctrl_.generation, 2u);
    // Rebinding replaces the filter; unbinding a filter that is not bound changes nothing.
    state_.apply(policy(1, 1, 9, {3}), &warnings_);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[3], FP_DIR_ALL), 9u);
    state_.apply(policy(2, 1, 4, {3, 10}), &warnings_);
    ASSERT_EQ(warnings_.size(), 1u) << "VPN 3 now holds filter 9";
    EXPECT_EQ(vpn_[3].bound, fp_data_bound_bit(FP_DIR_ALL));
    EXPECT_EQ(vpn_[10].bound, 0);
    state_.apply(policy(2, 2, 6, {2}), &warnings_);
    EXPECT_EQ(vpn_[2].bound, fp_data_bound_bit(FP_DIR_ALL));
    EXPECT_EQ(state_.vpns().count(10), 0u);
    // Ids beyond the table, unknown filter types and data directions are reported, the rest
    // applies.
    warnings_.clear();
    state_.apply(policy(1, 1, 5, {99, 100}), &warnings_);
    state_.apply(policy(1, 0, 5, {1}), &warnings_);
    state_.apply(policy(1, 1, 5, {1}, 0), &warnings_);
    EXPECT_EQ(warnings_.size(), 3u);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[99], FP_DIR_ALL), 5u);
    EXPECT_EQ(vpn_[1].bound, fp_data_bound_bit(FP_DIR_ALL)) << "refused binds change nothing";
    EXPECT_EQ(fp_vpn_data_filter(vpn_[1], FP_DIR_ALL), 4u);
}

TEST_F(FibdStateTest, PoliciesOfEveryDirectionAndTypeShareOneVpn) {
    state_.apply(policy(1, 1, 4, {7}, FP_DIR_FROM_SERVICE, "svc"), &warnings_);
    state_.apply(policy(1, 1, 5, {7}, FP_DIR_FROM_TUNNEL, "tun"), &warnings_);
    state_.apply(policy(1, 1, 6, {7}, FP_DIR_ALL, "all"), &warnings_);
    state_.apply(policy(1, 2, 8, {7}, 0, "ar"), &warnings_);
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_FROM_SERVICE), 4u);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_FROM_TUNNEL), 5u);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_ALL), 6u);
    EXPECT_EQ(fp_vpn_app_route_filter(vpn_[7]), 8u);

    // Unbinding one leaves the others.
    state_.apply(policy(2, 1, 5, {7}, FP_DIR_FROM_TUNNEL, "tun"), &warnings_);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_FROM_TUNNEL), FP_FILTER_NONE);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_FROM_SERVICE), 4u);
    EXPECT_EQ(fp_vpn_app_route_filter(vpn_[7]), 8u);

    // A direction change arrives as a bind in the new direction: the policy moves.
    state_.apply(policy(1, 1, 4, {7}, FP_DIR_FROM_TUNNEL, "svc"), &warnings_);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_FROM_SERVICE), FP_FILTER_NONE);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_FROM_TUNNEL), 4u);
    EXPECT_EQ(vpn_[7].bound, fp_data_bound_bit(FP_DIR_FROM_TUNNEL) | fp_data_bound_bit(FP_DIR_ALL) |
                                 FP_BIND_APP_ROUTE);
    EXPECT_TRUE(warnings_.empty());

    // The forwarding plane restarted: a rewrite brings every slot back.
    vpn_[7] = {};
    state_.rewrite();
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_FROM_TUNNEL), 4u);
    EXPECT_EQ(fp_vpn_data_filter(vpn_[7], FP_DIR_ALL), 6u);
}

TEST_F(FibdStateTest, ApplicationRecognitionOffSurvivesReconnectionAndTurnsOnAgain) {
    state_.apply(fib_dpi_off_msg{}, &warnings_);
    EXPECT_TRUE(state_.dpi_off());
    EXPECT_EQ(ctrl_.dpi_off, 1);
    state_.reset();  // plxd reconnects and resends its bindings, not the off state
    EXPECT_TRUE(state_.dpi_off());
    EXPECT_EQ(ctrl_.dpi_off, 1);
    EXPECT_FALSE(state_.refresh_dpi());
    // A restarted fibd takes the state over from the control record.
    EXPECT_TRUE(FibdState(tables()).dpi_off());

    // plxd counts a policy using recognition again.
    knob_ = 1;
    EXPECT_TRUE(state_.refresh_dpi());
    EXPECT_FALSE(state_.dpi_off());
    EXPECT_EQ(ctrl_.dpi_off, 0);
    EXPECT_FALSE(state_.refresh_dpi());
    // And it can be turned off again.
    knob_ = 0;
    state_.apply(fib_dpi_off_msg{}, &warnings_);
    EXPECT_EQ(ctrl_.dpi_off, 1);
}

TEST_F(FibdStateTest, AccessListBindingsPerInterfaceDirectionAndFamily) {
    state_.apply(acl(3, 0, 7, {{5, 1, "ge0/0"}, {5, 2, "ge0/0"}}), &warnings_);
    state_.apply(acl(3, 1, 8, {{6, 1, "ge0/1"}}), &warnings_);
    EXPECT_STREQ(intf_[0].name, "ge0/0");
    EXPECT_EQ(intf_[0].bound, fp_acl_bound_bit(1, 0) | fp_acl_bound_bit(2, 0));
    EXPECT_EQ(intf_[0].acl_filter[1][0], 7u);
    EXPECT_EQ(intf_[1].acl_filter[0][1], 8u);
    EXPECT_EQ(intf_[1].vpn_id, 6u);
    // The table has two entries: a third interface is reported.
    state_.apply(acl(3, 0, 7, {{5, 1, "ge0/2"}}), &warnings_);
    EXPECT_EQ(warnings_.size(), 1u);
    // Unbinding both directions frees the entry for another interface.
    state_.apply(acl(4, 0, 7, {{5, 1, "ge0/0"}, {5, 2, "ge0/0"}}), &warnings_);
    EXPECT_EQ(intf_[0].name[0], 0);
    state_.apply(acl(3, 0, 7, {{5, 1, "ge0/2"}}), &warnings_);
    EXPECT_STREQ(intf_[0].name, "ge0/2");
    state_.apply(acl(4, 1, 99, {{6, 1, "ge0/1"}}), &warnings_);
    EXPECT_EQ(warnings_.size(), 2u) << "wrong filter number";

    // A new connection starts from nothing; a rewrite restores the tables from the state.
    state_.apply(policy(1, 1, 4, {1}), &warnings_);
    intf_[1] = {};
    vpn_[1] = {};
    state_.rewrite();
    EXPECT_EQ(vpn_[1].bound, fp_data_bound_bit(FP_DIR_ALL));
    EXPECT_NE(std::string(intf_[0].name) + intf_[1].name, "");
    state_.reset();
    EXPECT_EQ(vpn_[1].bound, 0);
    EXPECT_EQ(intf_[0].name[0], 0);
}

}  // namespace
