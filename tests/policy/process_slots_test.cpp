// The TLOC-list slot: which entries are used and how the 16 positions are shared among them.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "policy/plx_process_rules.h"

namespace plx::cfg {
namespace {

struct TlocListSlotTest : ::testing::Test {
    tloc t[4];
    config_action a;

    void SetUp() override {
        for (uint32_t i = 0; i < 4; ++i) {
            t[i].index = 100 + i;  // A = 100, B = 101, ...
            t[i].resolved = 1;
            t[i].status = 1;
            t[i].weight = 1;
        }
        a.action_type = PLX_ACTION_TLOC_LIST;
    }
    void entry(uint32_t i, uint32_t label, uint32_t pref) {
        a.tloc_list.entries[a.tloc_list.count++] = {label, pref, &t[i]};
    }
    // The 16 positions as letters, A for index 100; "-" for an empty one.
    std::string fill() {
        TlocListSlot slot{};
        plx_tloc_list_slot(a, slot);
        std::string out;
        for (const TlocListEntry &e : slot.tlocs) {
            if (!e.resolved) {
                out += '-';
                continue;
            }
            out += static_cast<char>('A' + (e.tloc_index - 100));
            EXPECT_EQ(e.vpn_label, 10u + (e.tloc_index - 100));
        }
        return out;
    }
};

TEST_F(TlocListSlotTest, PositionsAreSharedByWeight) {
    for (uint32_t i = 0; i < 3; ++i)
        entry(i, 10 + i, 5);
    EXPECT_EQ(fill(), "ABCABCABCABCABCA") << "equal weights: round robin";
    t[0].weight = 2;
    EXPECT_EQ(fill(), "ABCAAAAAAABBBCCC") << "heaviest first, by share of 16";
    t[0].weight = 100;
    EXPECT_EQ(fill(), "ABCAAAAAAAAAAAAA") << "a share that rounds to nothing keeps one position";
}

TEST_F(TlocListSlotTest, OnlyUsableEntriesOfTheBestPreferenceCount) {
    entry(3, 0, 9);   // label 0: never used
    entry(0, 10, 7);  // fixes the preference
    entry(1, 11, 7);
    entry(2, 12, 3);  // lower preference: skipped
    t[1].status = 0;  // down
    EXPECT_EQ(fill(), "AAAAAAAAAAAAAAAA");
    t[0].resolved = 0;
    EXPECT_EQ(fill(), "CCCCCCCCCCCCCCCC") << "the next preference once none of the best is usable";
    t[2].status = 0;
    EXPECT_EQ(fill(), "----------------") << "no usable entry: the slot keeps only its type";
}

}  // namespace
}  // namespace plx::cfg
