// Leaf classing, combination numbering, the field catalogue and the context's lifecycle.
#include <gtest/gtest.h>

#include "tests/compiler/test_util.h"

namespace {

std::vector<EcInterval> intervals(const EcTable &t) {
    std::vector<EcInterval> v;
    for (uint32_t i = 0; i < t.num_intervals(); ++i)
        v.push_back(t.interval(i));
    return v;
}

bool rule_bit(const EcTable &t, uint32_t ec, uint32_t r) {
    return (t.classes.vec(ec)[r / 64] >> (r % 64)) & 1;
}

TEST(LeafClassing, RangesPrefixesAndUntestedRules) {
    Compile c;
    plx_rule *r0 = c.rule("10", make_action(PLX_ACT_ACCEPT));
    c.range(r0, PLX_FIELD_DST_PORT, 5, 5);
    c.range(r0, PLX_FIELD_PROTOCOL, 9, 3);  // reversed pair covers 3..9
    plx_rule *r1 = c.rule("20", make_action(PLX_ACT_ACCEPT));
    const uint8_t pfx[4] = {10, 1, 0xAB, 0xCD};  // host bits beyond /16 ignored
    plx_field_add_prefix(c.ctx, r1, plx_field_get_table(c.ctx, PLX_FIELD_SRC_ADDR), pfx, 16);
    plx_rule *r2 = c.rule("30", make_action(PLX_ACT_ACCEPT));
    c.range(r2, PLX_FIELD_DST_PORT, 5, 5);  // same condition as rule 0 on this field
    plx_compiler_class_leaves(c.ctx, c.rt);

    // Tables numbered by first use; untested fields get none.
    EXPECT_EQ(c.ctx->slots[PLX_FIELD_DST_PORT].table_id, 1u);
    EXPECT_EQ(c.ctx->slots[PLX_FIELD_PROTOCOL].table_id, 2u);
    EXPECT_EQ(c.ctx->slots[PLX_FIELD_SRC_ADDR].table_id, 3u);
    EXPECT_EQ(c.ctx->slots[PLX_FIELD_DSCP].table_id, 0u);
    EXPECT_EQ(c.ctx->c_reg_allocated, 3u);

    const EcTable &port = *c.ctx->table(1);
    auto iv = intervals(port);
    ASSERT_EQ(iv.size(), 3u);
    EXPECT_EQ(iv[0].lo, 0u);
    EXPECT_EQ(iv[1].lo, 5u);
    EXPECT_EQ(iv[1].hi, 6u);
    EXPECT_EQ(iv[2].hi, 0xFFFFFFFFu);
    // Classes numbered by first interval; rule 1 (no port condition) is in every class, and
    // rules 0 and 2 agree everywhere.
    EXPECT_EQ(iv[0].ec_id, 0u);
    EXPECT_EQ(iv[1].ec_id, 1u);
    EXPECT_EQ(iv[2].ec_id, 0u);
    EXPECT_EQ(port.num_classes(), 2u);
    for (uint32_t ec = 0; ec < 2; ++ec) {
        EXPECT_TRUE(rule_bit(port, ec, 1));
        EXPECT_EQ(rule_bit(port, ec, 0), rule_bit(port, ec, 2));
    }

    auto proto = intervals(*c.ctx->table(2));
    ASSERT_EQ(proto.size(), 3u);
    EXPECT_EQ(proto[1].lo, 3u);
    EXPECT_EQ(proto[1].hi, 10u);

    auto addr = intervals(*c.ctx->table(3));
    ASSERT_EQ(addr.size(), 3u);
    EXPECT_EQ(addr[1].lo, 0x0A010000u);
    EXPECT_EQ(addr[1].hi, 0x0A020000u);
}

TEST(LeafClassing, OverlappingAlternativesAndWholeSpace) {
    Compile c;
    plx_rule *r0 = c.rule("1", make_action(PLX_ACT_ACCEPT));
    c.range(r0, PLX_FIELD_PKT_LEN, 10, 30);
    c.range(r0, PLX_FIELD_PKT_LEN, 20, 40);  // overlaps the first alternative
    plx_rule *r1 = c.rule("2", make_action(PLX_ACT_ACCEPT));
    const uint8_t any[4] = {1, 2, 3, 4};
    plx_field_add_prefix(c.ctx, r1, plx_field_get_table(c.ctx, PLX_FIELD_PKT_LEN), any, 0);
    plx_compiler_class_leaves(c.ctx, c.rt);
    const EcTable &t = *c.ctx->table(1);
    for (const EcInterval &i : intervals(t)) {
        bool in = i.lo >= 10 && i.lo <= 40;
        EXPECT_EQ(rule_bit(t, i.ec_id, 0), in) << i.lo;
        EXPECT_TRUE(rule_bit(t, i.ec_id, 1)) << i.lo;
    }
}

TEST(Combination, IndexIsLeftClassTimesRightCountPlusRightClass) {
    Compile c;
    // Field A: 3 classes; field B: 4 classes.
    plx_rule *r0 = c.rule("1", make_action(PLX_ACT_ACCEPT));
    c.range(r0, PLX_FIELD_PROTOCOL, 6, 6);
    c.range(r0, PLX_FIELD_DSCP, 1, 1);
    plx_rule *r1 = c.rule("2", make_action(PLX_ACT_ACCEPT));
    c.range(r1, PLX_FIELD_PROTOCOL, 17, 17);
    c.range(r1, PLX_FIELD_DSCP, 2, 2);
    plx_rule *r2 = c.rule("3", make_action(PLX_ACT_ACCEPT));
    c.range(r2, PLX_FIELD_DSCP, 3, 3);
    ASSERT_EQ(c.compile(), 0);
    const EcTable &a = *c.ctx->table(1), &b = *c.ctx->table(2), &t = *c.ctx->table(3);
    ASSERT_EQ(a.num_classes(), 3u);
    ASSERT_EQ(b.num_classes(), 4u);
    ASSERT_EQ(t.num_intervals(), 12u);
    EXPECT_EQ(c.ctx->final_table, &t);
    EXPECT_EQ(t.reg, 3u);

    // The combination's classes are numbered in the order of the pairs visited: A's classes
    // in vector order, and within each, B's classes in vector order.
    std::vector<uint32_t> oa = const_cast<ClassSet &>(a.classes).sorted();
    std::vector<uint32_t> ob = const_cast<ClassSet &>(b.classes).sorted();
    uint32_t next_ec = 0;
    std::vector<bool> seen(12, false);
    for (uint32_t ca : oa) {
        for (uint32_t cb : ob) {
            uint32_t ec = t.interval(ca * 4 + cb).ec_id;
            EXPECT_LE(ec, next_ec);
            if (ec == next_ec)
                ++next_ec;
            // The class holds the rules in both input classes.
            for (uint32_t r = 0; r < 3; ++r) {
                bool both = rule_bit(a, ca, r) && rule_bit(b, cb, r);
                auto first = t.first_rule(ec);
                if (both) {
                    EXPECT_TRUE(first && *first <= r);
                }
            }
        }
    }
    EXPECT_EQ(next_ec, t.num_classes());
    // Vector order is numeric: rule 2 tests no protocol, so A's classes are {2}, {0,2}, {1,2}.
    EXPECT_EQ(a.classes.vec(oa[0])[0], 0b100u);
    EXPECT_EQ(a.classes.vec(oa[2])[0], 0b110u);
    EXPECT_EQ(b.classes.vec(ob[0])[0], 0u);
}

TEST(CompilerContext, ResetRenumbersAndNoFieldMeansNoProgram) {
    Compile c;
    plx_rule *r = c.rule("1", make_action(PLX_ACT_ACCEPT));
    c.range(r, PLX_FIELD_DSCP, 1, 1);
    c.range(r, PLX_FIELD_PLP, 1, 1);
    ASSERT_EQ(c.compile(), 0);
    EXPECT_EQ(c.ctx->table_counter, 3u);
    plx_compiler_free_program(c.ctx, c.prog);
    c.prog = nullptr;
    plx_compiler_reset(c.ctx);
    EXPECT_EQ(c.ctx->slots[PLX_FIELD_DSCP].table_id, 0u);
    EXPECT_EQ(c.ctx->slots[PLX_FIELD_DSCP].max_value, 255u);
    EXPECT_EQ(c.ctx->filter_id, 0xFFFFFFFFu);
    EXPECT_EQ(plx_field_get_table(c.ctx, PLX_FIELD_PLP), 1u);
    plx_compiler_reset(c.ctx);

    // Rules without conditions: success and no program.
    PolicyProgram *keep = reinterpret_cast<PolicyProgram *>(&c);
    c.prog = keep;
    EXPECT_EQ(c.compile(), 0);
    EXPECT_EQ(c.prog, keep);
    c.prog = nullptr;
}

TEST(RuleTable, NumbersNamesAndLookup) {
    Compile c;
    std::string long_name(200, 'x');
    plx_rule *a = plx_ruletable_add_rule(c.rt, long_name.c_str());
    plx_rule *b = plx_ruletable_add_rule(c.rt, "b");
    EXPECT_EQ(a->name.size(), 127u);
    EXPECT_EQ(a->number, 1u);
    EXPECT_EQ(b->number, 2u);
    EXPECT_EQ(plx_ruletable_get_rule(c.rt, 1), b);
    EXPECT_EQ(plx_ruletable_num_rules(c.rt), 2u);
    plx_ruletable *t = plx_ruletable_create(long_name.c_str(), "7", 0, nullptr);
    EXPECT_EQ(std::strlen(t->name), 127u);
    plx_ruletable_destroy(t);
    plx_ruletable_destroy(nullptr);
    EXPECT_DEATH(plx_ruletable_get_rule(c.rt, 2), "");
}

}  // namespace
