#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "compiler/epi.h"
#include "compiler/rbst.h"

namespace {

using Tree = Rbst<uint32_t>;

// Checks order, parent links and subtree sizes below x; returns the subtree size.
uint32_t check_subtree(const Tree &t, Tree::Index x, Tree::Index parent) {
    if (x == Tree::NIL)
        return 0;
    const auto &n = t.node(x);
    EXPECT_EQ(n.parent, parent);
    if (n.left != Tree::NIL) {
        EXPECT_LT(t.node(n.left).key, n.key);
    }
    if (n.right != Tree::NIL) {
        EXPECT_GT(t.node(n.right).key, n.key);
    }
    uint32_t size = 1 + check_subtree(t, n.left, x) + check_subtree(t, n.right, x);
    EXPECT_EQ(n.size, size);
    return size;
}

uint32_t depth(const Tree &t, Tree::Index x) {
    if (x == Tree::NIL)
        return 0;
    return 1 + std::max(depth(t, t.node(x).left), depth(t, t.node(x).right));
}

TEST(Rbst, AscendingInsertionKeepsInvariantsAndLogarithmicDepth) {
    Tree t;
    for (uint32_t k = 0; k < 4096; ++k)
        ASSERT_EQ(t.insert(k), 1);
    EXPECT_EQ(check_subtree(t, t.root(), Tree::NIL), 4096u);
    EXPECT_LT(depth(t, t.root()), 60u);  // a degenerate list would be 4096 deep
    EXPECT_EQ(t.count(), 4096u);

    // In-order iteration yields the keys sorted; walk visits node before right before left.
    uint32_t expect = 0;
    for (auto i = t.first(); i != Tree::NIL; i = t.next(i))
        EXPECT_EQ(t.node(i).key, expect++);
    std::vector<uint32_t> walked;
    t.walk([&](Tree::Index i) { walked.push_back(i); });
    EXPECT_EQ(walked.front(), t.root());
    const auto &r = t.node(t.root());
    if (r.right != Tree::NIL) {
        EXPECT_EQ(walked[1], r.right);
    }
}

TEST(Rbst, DuplicatesRefusedAndIterationEdges) {
    Tree t;
    EXPECT_TRUE(t.is_empty());
    t.clear();  // empty clear is harmless
    EXPECT_EQ(t.first(), Tree::NIL);
    for (uint32_t k : {50u, 10u, 90u, 30u})
        t.insert(k, k * 2);
    auto before = t.node(t.root()).size;
    EXPECT_EQ(t.insert(30), 0);
    EXPECT_EQ(t.node(t.root()).size, before);
    EXPECT_EQ(t.node(t.find(90)).value, 180u);
    EXPECT_EQ(t.find(31), Tree::NIL);

    EXPECT_EQ(t.next(t.find(90)), Tree::NIL);
    auto [ab, has_b] = t.next_pair(t.find(50));
    EXPECT_EQ(t.node(ab.first).key, 90u);
    EXPECT_FALSE(has_b);
    auto [cd, has_d] = t.next_pair(Tree::NIL);
    EXPECT_TRUE(has_d);
    EXPECT_EQ(t.node(cd.first).key, 10u);
    EXPECT_EQ(t.node(cd.second).key, 30u);

    std::multiset<uint32_t> freed;
    t.clear([&](uint32_t &k, uintptr_t &) { freed.insert(k); });
    EXPECT_TRUE(t.is_empty());
    EXPECT_EQ(freed, (std::multiset<uint32_t>{10, 30, 50, 90}));
}

TEST(Rbst, CustomComparisonAndRandomShapeBuilder) {
    Tree t;
    t.set_compare([](const uint32_t &a, const uint32_t &b) { return a > b ? -1 : (a < b); });
    for (uint32_t k : {1u, 2u, 3u})
        t.insert(k);
    EXPECT_EQ(t.node(t.first()).key, 3u);  // descending order

    // The shape builder visits every item once, positions in order, and its links form a
    // search tree over the items whose walk order (node, right, left) is the position order.
    const uint32_t n = 1000;
    std::vector<uint32_t> item_at(n, n), left_at(n), right_at(n);
    uint32_t expect_pos = 0;
    rbst_random_shape(n, [&](uint32_t item, uint32_t pos, uint32_t left, uint32_t right) {
        ASSERT_EQ(pos, expect_pos++);
        item_at[pos] = item;
        left_at[pos] = left;
        right_at[pos] = right;
    });
    ASSERT_EQ(expect_pos, n);
    // Walk from the root; every subtree must hold exactly the items of its span.
    struct Frame {
        uint32_t pos, lo, hi;
    };
    std::vector<Frame> stack{{0, 0, n}};
    std::vector<bool> seen(n, false);
    uint32_t next_pos = 0;
    while (!stack.empty()) {
        Frame f = stack.back();
        stack.pop_back();
        ASSERT_EQ(f.pos, next_pos++);  // node, right subtree, left subtree
        uint32_t m = item_at[f.pos];
        ASSERT_TRUE(m >= f.lo && m < f.hi && !seen[m]);
        seen[m] = true;
        EXPECT_EQ(left_at[f.pos] != 0, m > f.lo);
        EXPECT_EQ(right_at[f.pos] != 0, m + 1 < f.hi);
        if (left_at[f.pos])
            stack.push_back({left_at[f.pos], f.lo, m});
        if (right_at[f.pos])
            stack.push_back({right_at[f.pos], m + 1, f.hi});
    }
    EXPECT_EQ(next_pos, n);
}

TEST(Epi, BitsAndOrderAsLittleEndianNumber) {
    Epi a(70), b(70), z(70);
    EXPECT_EQ(a.ndigits, 9);
    EXPECT_FALSE(a.first_set());
    a.set(3, true);
    a.set(69, true);
    EXPECT_TRUE(a.get(69));
    EXPECT_EQ(a.byte(8), 0x20);
    EXPECT_EQ(*a.first_set(), 3u);
    b.set(68, true);
    b.set(0, true);
    // The highest differing bit decides: a has bit 69.
    EXPECT_EQ(plx_cmp(a, b), 1);
    EXPECT_EQ(plx_cmp(b, a), -1);
    b.set(69, true);
    b.set(68, false);
    b.set(0, false);
    b.set(2, true);
    EXPECT_EQ(plx_cmp(a, b), 1);  // bit 3 against bit 2
    Epi::and_into(z, a, b);
    EXPECT_EQ(*z.first_set(), 69u);
    Epi c = a;
    EXPECT_EQ(plx_cmp(a, c), 0);
}

TEST(EpiDeathTest, BrokenInvariantsPrintTheAssertion) {
    Epi a(8), b(16);
    EXPECT_DEATH(a.get(8), "");  // the assertion line goes to standard output
    EXPECT_DEATH(plx_cmp(a, b), "");
}

}  // namespace
