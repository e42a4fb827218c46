// Combination by parts against the direct method: the same intervals, the same class numbering,
// the same rule vectors (or, for a final table, the same first rules).
#include <gtest/gtest.h>

#include <random>

#include "compiler/combine.h"

namespace {

// A class table over nbits rules whose vectors repeat words the way real rule sets do: each
// word is drawn from a small pool for its position, and runs of words are often copied from
// the previous class.
void fill_classes(EcTable &t, uint32_t nbits, uint32_t n, uint32_t pool, std::mt19937_64 &rng) {
    t.classes = ClassSet(nbits);
    const uint32_t nw = t.classes.nwords();
    std::vector<std::vector<uint64_t>> words(nw);
    for (auto &p : words) {
        p.push_back(0);
        p.push_back(~uint64_t{0});
        while (p.size() < pool)
            p.push_back(rng() & rng());
    }
    std::vector<uint64_t> v(nw, 0);
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t w = 0; w < nw; ++w) {
            if (i == 0 || rng() % 3)
                v[w] = words[w][rng() % pool];
        }
        if (nbits % 64)
            v[nw - 1] &= (uint64_t{1} << (nbits % 64)) - 1;
        t.classes.find_or_add(v.data(), plx_vec_hash(v.data(), nw));
    }
}

struct Combined {
    EcTable t;
    PlxCombineMethod used;
};

std::unique_ptr<Combined> combine(EcTable &a, EcTable &b, bool final_table, PlxCombineMethod m) {
    auto c = std::make_unique<Combined>();
    c->t.combined = 1;
    c->t.left = &a;
    c->t.right = &b;
    c->used = plx_combine_classes(c->t, a, b, final_table, m);
    return c;
}

struct Shape {
    uint32_t nbits, na, nb, pool;
};

class ByParts : public ::testing::TestWithParam<Shape> {};

TEST_P(ByParts, SameTableAsDirect) {
    const Shape s = GetParam();
    std::mt19937_64 rng(s.nbits * 7919 + s.na);
    EcTable a, b;
    fill_classes(a, s.nbits, s.na, s.pool, rng);
    fill_classes(b, s.nbits, s.nb, s.pool, rng);
    for (bool final_table : {false, true}) {
        auto direct = combine(a, b, final_table, PlxCombineMethod::direct);
        auto parts = combine(a, b, final_table, PlxCombineMethod::by_parts);
        EXPECT_EQ(direct->used, PlxCombineMethod::direct);
        EXPECT_EQ(parts->used, PlxCombineMethod::by_parts);
        const EcTable &d = direct->t, &p = parts->t;
        ASSERT_EQ(d.combo_ec, p.combo_ec);
        ASSERT_EQ(d.num_classes(), p.num_classes());
        const uint32_t nw = d.classes.nwords();
        for (uint32_t ec = 0; ec < d.num_classes(); ++ec) {
            ASSERT_EQ(d.first_rule(ec), p.first_rule(ec)) << ec;
            if (!final_table) {
                ASSERT_TRUE(
                    std::equal(d.classes.vec(ec), d.classes.vec(ec) + nw, p.classes.vec(ec)));
            } else {
                // The pair a class was made from is its first pair in visiting order.
                EXPECT_EQ(d.classes.pair_a(ec), p.classes.pair_a(ec));
                EXPECT_EQ(d.classes.pair_b(ec), p.classes.pair_b(ec));
            }
        }
        // Every class is reachable, numbered in order of first appearance.
        EXPECT_GE(d.num_classes(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ByParts,
                         ::testing::Values(Shape{130, 40, 300, 4},     // three words
                                           Shape{848, 30, 2000, 6},    // fw1-like final
                                           Shape{900, 200, 150, 3},    // many rows, few columns
                                           Shape{4000, 20, 400, 5}));  // long vectors, many groups

TEST(ByParts, AutomaticPicksDirectForSmallOrOneWordTables) {
    std::mt19937_64 rng(5);
    EcTable a, b;
    fill_classes(a, 64, 300, 50, rng);
    fill_classes(b, 64, 300, 50, rng);
    EXPECT_EQ(combine(a, b, false, PlxCombineMethod::automatic)->used, PlxCombineMethod::direct);
    fill_classes(a, 200, 10, 4, rng);
    fill_classes(b, 200, 10, 4, rng);
    EXPECT_EQ(combine(a, b, false, PlxCombineMethod::automatic)->used, PlxCombineMethod::direct);
}

}  // namespace
