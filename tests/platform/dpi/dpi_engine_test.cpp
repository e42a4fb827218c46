// The engine layer over nDPI: ids, names, families and errors.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/dpi/dpi_engine.h"
#include "platform/dpi/dpi_family_map.h"

namespace {

struct Walked {
    uint32_t id;
    std::string name, family;
};

int collect(const dpi_proto *p, void *arg) {
    static_cast<std::vector<Walked> *>(arg)->push_back({p->unique_id, p->name, p->family});
    return 0;
}

class DpiEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        dpi_config cfg;
        dpi_config_defaults(&cfg);
        ASSERT_EQ(dpi_init(cfg), 0);
        ASSERT_EQ(dpi_enable_all_protocols(), 0);
        ASSERT_EQ(dpi_walk_protocols(DPI_PROTO_ALL, collect, &protos_), 0);
    }
    void TearDown() override { dpi_release(); }
    std::vector<Walked> protos_;
};

TEST_F(DpiEngine, WalkGivesUniqueIdsWithinTheSharedTablesAndNamesThatRoundTrip) {
    ASSERT_GT(protos_.size(), 200u);
    EXPECT_EQ(protos_[0].id, DPI_PROTO_UNCLASSIFIED);
    EXPECT_EQ(protos_[0].name, "unclassified");
    std::set<uint32_t> ids;
    std::set<std::string> names;
    for (const Walked &p : protos_) {
        EXPECT_TRUE(ids.insert(p.id).second) << p.id;
        EXPECT_TRUE(names.insert(p.name).second) << p.name;
        EXPECT_LT(p.id, DPI_MAX_PROTO_IDS);
        EXPECT_EQ(dpi_proto_id(p.name.c_str()), static_cast<int>(p.id)) << p.name;
        EXPECT_STREQ(dpi_proto_name(p.id), p.name.c_str());
        const dpi_proto_info *info = dpi_get_proto_info(p.id);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(p.family, info->family);
    }
    EXPECT_EQ(dpi_max_proto_id(), *ids.rbegin());
    // Names are looked up in any case; the long name keeps the engine's spelling.
    int bt = dpi_proto_id("BitTorrent");
    ASSERT_GT(bt, 1);
    EXPECT_STREQ(dpi_proto_name(static_cast<uint32_t>(bt)), "bittorrent");
    EXPECT_STREQ(dpi_get_proto_info(static_cast<uint32_t>(bt))->long_name, "BitTorrent");
    EXPECT_STREQ(dpi_get_proto_info(static_cast<uint32_t>(bt))->family, "Peer to Peer");
    EXPECT_EQ(dpi_proto_id("no-such-application"), 0);
    EXPECT_EQ(dpi_proto_name(0), nullptr);
    EXPECT_EQ(dpi_get_proto_info(dpi_max_proto_id() + 1), nullptr);
    EXPECT_EQ(std::string(dpi_get_version(dpi_get_handle())).rfind("nDPI ", 0), 0u);
}

// Adding a protocol to the engine, or a category to it, must not leave a protocol without a
// family by accident: the ones without are exactly these.
TEST_F(DpiEngine, OnlyTheListedProtocolsHaveNoFamily) {
    std::set<std::string> unmapped;
    for (const Walked &p : protos_)
        if (p.family.empty())
            unmapped.insert(dpi_get_proto_info(p.id)->long_name);
    EXPECT_EQ(unmapped, (std::set<std::string>{"Unclassified", "Mining"}));
    std::vector<std::string_view> listed = dpi_unmapped_protocols();
    EXPECT_EQ(std::set<std::string_view>(listed.begin(), listed.end()),
              (std::set<std::string_view>{"Unknown", "Mining"}));
}

TEST_F(DpiEngine, ErrorsAreCodesWithText) {
    dpi_config cfg;
    dpi_config_defaults(&cfg);
    EXPECT_EQ(dpi_init(cfg), DPI_ERR_STARTED);
    EXPECT_EQ(dpi_walk_protocols(DPI_PROTO_ALL, nullptr, nullptr), DPI_ERR_INVALID);
    // A callback that stops the walk is reported.
    EXPECT_EQ(dpi_walk_protocols(
                  DPI_PROTO_ALL, [](const dpi_proto *, void *) { return 1; }, nullptr),
              DPI_ERR_CALLBACK);
    dpi_release();
    EXPECT_EQ(dpi_walk_protocols(DPI_PROTO_ALL, collect, &protos_), DPI_ERR_NOT_STARTED);
    EXPECT_EQ(dpi_enable_all_protocols(), DPI_ERR_NOT_STARTED);
    EXPECT_EQ(dpi_proto_id("http"), 0);
    EXPECT_EQ(dpi_get_handle(), nullptr);
    char text[64];
    dpi_error_text(DPI_ERR_NOT_STARTED, text, sizeof text);
    EXPECT_STREQ(text, "engine not started (-1)");
    dpi_error_text(DPI_ERR_NOT_STARTED, text, 4);
    EXPECT_STREQ(text, "eng");
}

}  // namespace
