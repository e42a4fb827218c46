// Application recognition in the daemon: family names, name look-ups, the shared tables filled
// at start-up, the app-visibility count and the dump and clear actions.
#include <gtest/gtest.h>

#include <string>

#include "daemon/plx_ctx.h"
#include "dpi/plx_dpi.h"
#include "oper/plx_cli_print.h"
#include "platform/dpi/dpi_engine.h"
#include "policy/plx_config.h"
#include "tests/support/fp_test_env.h"

namespace {

TEST(PlxDpiFamily, NamesMapBothWaysAndEverythingElseIsUnknown) {
    for (uint32_t id = 1; id < PLX_APP_FAMILY_MAX; ++id) {
        const plx_app_family &f = plx_app_family_get(id);
        EXPECT_EQ(plx_family_from_config_name(f.config_name), id) << f.config_name;
        EXPECT_EQ(plx_family_from_engine_name(f.display_name), id) << f.display_name;
    }
    // No family starts with Z (nor with a lower-case letter): no comparison, unknown.
    EXPECT_EQ(plx_family_from_engine_name("Zero Trust"), 32u);
    EXPECT_EQ(plx_family_from_engine_name("web"), 32u);
    EXPECT_EQ(plx_family_from_engine_name("Webmai"), 32u);
    EXPECT_EQ(plx_family_from_engine_name(""), 32u);
    EXPECT_EQ(plx_family_from_config_name("Web"), 32u);
    EXPECT_EQ(plx_family_from_config_name("max"), 32u);
    EXPECT_STREQ(plx_app_family_get(40).display_name, "Max");
}

TEST(PlxDpiNames, UnclassifiedNeedsNoEngine) {
    ASSERT_EQ(dpi_get_handle(), nullptr);
    EXPECT_EQ(plx_dpi_get_engine_id("unclassified"), 1u);
    EXPECT_EQ(plx_dpi_get_engine_id("unclassified2"), 0u);
    EXPECT_EQ(plx_dpi_get_engine_id("http"), 0u);
    EXPECT_EQ(plx_dpi_app_id("unclassified", 1), 1u);
    EXPECT_EQ(plx_dpi_app_id("peer_to_peer", 2), 20u);
    EXPECT_EQ(plx_dpi_app_id("no_family", 2), 0u);
}

class PlxDpi : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(fp_shm_attach(true, true), 0);
        ctx_.policy = &db_;
        ASSERT_EQ(plx_dpi_init(&ctx_), 0);
        t_ = plx_dpi_tables_from_shm();
        plx_cli_set_sink([this](int usid, std::string_view s) {
            EXPECT_EQ(usid, 7);
            out_ += s;
        });
        uinfo_.usid = 7;
    }
    void TearDown() override {
        plx_cli_set_sink(nullptr);
        plx_dpi_destroy();
    }
    std::string run(int (*action)(confd_user_info *, xml_tag *, confd_hkeypath_t *,
                                  confd_tag_value_t *, int)) {
        out_.clear();
        EXPECT_EQ(action(&uinfo_, nullptr, nullptr, nullptr, 0), CONFD_OK);
        return out_;
    }

    FpTestEnv env_;
    plx::cfg::plx_policy_db db_;
    plx_ctx ctx_{};
    plx_dpi_tables t_;
    confd_user_info uinfo_{};
    std::string out_;
};

TEST_F(PlxDpi, StartUpFillsTheFamilyTableAndOpensTheHitsTable) {
    uint32_t http = plx_dpi_get_engine_id("http");
    ASSERT_GT(http, 1u);
    EXPECT_EQ(t_.family[0], dpi_max_proto_id());
    EXPECT_EQ(t_.hits[0], t_.family[0]);
    EXPECT_EQ(t_.family[http], 30u);  // Web
    EXPECT_EQ(t_.family[plx_dpi_get_engine_id("bittorrent")], 20u);
    EXPECT_EQ(t_.family[1], 0u);  // unclassified has no family
    for (uint32_t p = 2; p <= t_.family[0]; ++p) {
        const dpi_proto_info *info = dpi_get_proto_info(p);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(t_.family[p] == 0, std::string(info->family).empty()) << p;
    }
    // The policy readers resolve app-list names through the engine.
    ASSERT_TRUE(db_.resolve_app_id);
    EXPECT_EQ(db_.resolve_app_id("http", 1), http);
    EXPECT_EQ(db_.resolve_app_id("HTTP", 1), http);
    EXPECT_EQ(db_.resolve_app_id("not-an-app", 1), 0u);
}

TEST_F(PlxDpi, AppVisibilityCountsOnceAndThePublishedStateFollows) {
    plx_dpi_set_app_visibility(&ctx_, true);
    plx_dpi_set_app_visibility(&ctx_, true);
    EXPECT_EQ(db_.dpi_ref_count, 1u);
    plx_dpi_publish_state(&ctx_);
    EXPECT_EQ(*t_.state, 1u);
    plx_dpi_set_app_visibility(&ctx_, false);
    plx_dpi_set_app_visibility(&ctx_, false);
    EXPECT_EQ(db_.dpi_ref_count, 0u);
    plx_dpi_publish_state(&ctx_);
    EXPECT_EQ(*t_.state, 0u);
    EXPECT_NE(run(plx_dpi_dump_configuration)
                  .find("App Visibility            : 0\n"
                        "Policy DPI Reference      : 0\n"
                        "DPI state (Control)       : 0\n"),
              std::string::npos);
}

// The database delivers no defaults: an unconfigured log frequency is still 512 in the shared
// word, and every user of flow export (the switch, each cflowd action) reaches the flow knob.
TEST_F(PlxDpi, FlowKnobAndLogFrequencyReachTheirSharedWords) {
    auto *knob = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_FLOW_KNOB));
    auto *log = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_FILTER_LOG_CFG));
    ASSERT_TRUE(knob && log);
    plx_dpi_publish_state(&ctx_);
    EXPECT_EQ(log[0], 512u);
    EXPECT_EQ(*knob, 0u);
    plx::cfg::plx_config_set_flow_visibility(&db_, true);
    ++db_.flow_ref_count;  // a cflowd action
    db_.log_frequency = 64;
    plx_dpi_publish_state(&ctx_);
    EXPECT_EQ(*knob, 2u);
    EXPECT_EQ(log[0], 64u);
}

TEST_F(PlxDpi, DumpsListProtocolsFamiliesAndHitsAndClearKeepsTheBound) {
    uint32_t http = plx_dpi_get_engine_id("http");
    std::string list = run(plx_dpi_dump_protocol_list);
    EXPECT_EQ(list.rfind("[1] App: unclassified Family: \n", 0), 0u);
    EXPECT_NE(list.find("[" + std::to_string(http) + "] App: http Family: Web\n"),
              std::string::npos);

    std::string map = run(plx_dpi_dump_protocol_family_mapping);
    EXPECT_EQ(map.rfind("Dumping protocol to family mapping: " + std::to_string(t_.family[0]) +
                            " entries\n",
                        0),
              0u);
    EXPECT_NE(map.find("Protocol: [" + std::to_string(http) +
                       "] http (HTTP) Family: [30] [30] Local: Web Engine: Web\n"),
              std::string::npos);
    EXPECT_EQ(map.find("unclassified"), std::string::npos);

    t_.hits[1] = 4;
    t_.hits[http] = 9;
    std::string hits = run(plx_dpi_dump_protocol_hits);
    EXPECT_EQ(hits, "Dumping protocol hits: " + std::to_string(t_.hits[0]) +
                        " entries\n"
                        "Protocol: [1] unclassified (unclassified) Hits: 4\n"
                        "Protocol: [" +
                        std::to_string(http) +
                        "] http (HTTP) Hits: 9\n"
                        "    Family: [30] [30] Local: Web Engine: Web\n");

    uint32_t bound = t_.hits[0];
    run(plx_dpi_clear_protocol_hits);
    EXPECT_EQ(t_.hits[0], bound);
    EXPECT_EQ(t_.hits[1], 0u);
    EXPECT_EQ(t_.hits[http], 0u);
    EXPECT_EQ(run(plx_dpi_dump_protocol_hits),
              "Dumping protocol hits: " + std::to_string(bound) + " entries\n");
}

}  // namespace
