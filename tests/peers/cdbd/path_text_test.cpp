// Path text splitting: slashes, braces and blanks inside quoted keys stay part of their key.
#include <gtest/gtest.h>

#include "peers/cdbd/path_text.h"

using cdbd::split_elems;
using cdbd::split_key_text;
using V = std::vector<std::string>;

TEST(PathText, ElementsKeepTheirKeysWhole) {
    EXPECT_EQ(split_elems("/a/b{k 1}/c"), (V{"a", "b{k 1}", "c"}));
    EXPECT_EQ(split_elems("a//b/"), (V{"a", "b"}));
    EXPECT_EQ(split_elems("/intf{\"ge0/1\"}/x"), (V{"intf{\"ge0/1\"}", "x"}));
    EXPECT_EQ(split_elems("/l{\"a}/b\"}/y"), (V{"l{\"a}/b\"}", "y"}));
    EXPECT_TRUE(split_elems("/").empty());
}

TEST(PathText, KeysSplitOnBlanksOutsideQuotes) {
    EXPECT_EQ(split_key_text("k 1"), (V{"k", "1"}));
    EXPECT_EQ(split_key_text("  k   1 "), (V{"k", "1"}));
    EXPECT_EQ(split_key_text("\"x y\" z"), (V{"x y", "z"}));
    EXPECT_EQ(split_key_text("\"\" z"), (V{"", "z"}));
    EXPECT_TRUE(split_key_text("").empty());
}
