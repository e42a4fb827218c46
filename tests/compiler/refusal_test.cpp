// What the compiler refuses or warns about instead of emitting a program the forwarding plane
// would run wrongly: too many tested fields, a value no lookup interval covers, no room in memory.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/compiler/test_util.h"

namespace {

// One rule per field, in field-id order, each testing value 1.
void test_fields(Compile &c, uint32_t nfields) {
    for (uint32_t f = 1; f <= nfields; ++f)
        c.range(c.rule(std::to_string(f).c_str(), make_action(PLX_ACT_ACCEPT)), f, 1, 1);
}

TEST(Refusal, MoreThanEightFieldsIsRefusedWithTheFieldsAndTheLimit) {
    Compile eight;
    test_fields(eight, 8);
    ASSERT_EQ(eight.compile(), PLX_COMPILE_OK) << plx_compiler_error(eight.ctx);
    EXPECT_EQ(fp_validate({eight.bytes(), eight.len}), nullptr);
    EXPECT_EQ(eight.ctx->table_counter, 15u);

    Compile nine(PLX_ACT_REJECT, "pol9");
    test_fields(nine, 9);
    EXPECT_EQ(nine.compile(), PLX_COMPILE_TOO_MANY_FIELDS);
    EXPECT_EQ(nine.prog, nullptr);
    std::string why = plx_compiler_error(nine.ctx);
    EXPECT_NE(why.find("'pol9' tests 9 fields"), std::string::npos) << why;
    EXPECT_NE(why.find("protocol, src-port"), std::string::npos) << why;
    EXPECT_NE(why.find("pkt-len"), std::string::npos) << why;
    EXPECT_NE(why.find("15 tables"), std::string::npos) << why;
    // The refusal leaves no program memory behind; a reset context compiles again.
    EXPECT_EQ(nine.ctx->filter_id, 0xFFFFFFFFu);
    plx_compiler_reset(nine.ctx);
    EXPECT_STREQ(plx_compiler_error(nine.ctx), "");
}

TEST(Refusal, ValidatorRejectsTableIdsBeyondFourBits) {
    Compile c;
    test_fields(c, 2);
    ASSERT_EQ(c.compile(), PLX_COMPILE_OK);
    std::vector<uint8_t> bytes(c.bytes(), c.bytes() + c.len);
    auto *p = reinterpret_cast<PolicyProgram *>(bytes.data());
    // Table 1 relabelled 17: its low four bits still name table 1 in the instructions.
    const auto *dir = reinterpret_cast<const ProgramDirEntry *>(bytes.data() + 472);
    uint32_t off = dir[0].offset, head;
    std::memcpy(&head, bytes.data() + off, 4);
    ASSERT_EQ(head >> 8, 1u);
    head = PLX_TABLE_LOOKUP | 17u << 8;
    std::memcpy(bytes.data() + off, &head, 4);
    p->table_base[17] = p->table_base[1];
    const char *why = fp_validate(bytes);
    ASSERT_NE(why, nullptr);
    EXPECT_NE(std::string(why).find("above 15"), std::string::npos) << why;
}

TEST(Refusal, RangeHoldingOnlyAllOnesIsReportedAsNeverMatching) {
    Compile c(PLX_ACT_REJECT, "bcast");
    plx_rule *r = c.rule("10", make_action(PLX_ACT_ACCEPT));
    const uint8_t all_ones[4] = {255, 255, 255, 255};
    plx_field_add_prefix(c.ctx, r, plx_field_get_table(c.ctx, PLX_FIELD_DST_ADDR), all_ones, 32);
    plx_rule *r2 = c.rule("20", make_action(PLX_ACT_ACCEPT));
    c.range(r2, PLX_FIELD_DST_ADDR, 0xFFFFFF00, 0xFFFFFFFF);  // representable in part: no warning
    ASSERT_EQ(c.compile(), PLX_COMPILE_OK);
    const auto &w = plx_compiler_warnings(c.ctx);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_NE(w[0].find("'bcast' rule 10: dst-addr 255.255.255.255/32"), std::string::npos) << w[0];
    // The warning belongs to that compile only.
    plx_compiler_reset(c.ctx);
    EXPECT_TRUE(plx_compiler_warnings(c.ctx).empty());
}

TEST(Refusal, FullFilterMemoryIsTheOnlyNoMemoryResult) {
    static int frees = 0;
    Compile c(PLX_ACT_REJECT, "big");
    plx_compiler_set_mem_ops(
        c.ctx, [](uint32_t) -> void * { return nullptr; }, [](void *) { ++frees; });
    test_fields(c, 1);
    EXPECT_EQ(c.compile(), PLX_COMPILE_NO_MEMORY);
    EXPECT_EQ(c.len, 6760u);
    EXPECT_NE(std::string(plx_compiler_error(c.ctx)).find("6760 bytes (53 blocks"),
              std::string::npos)
        << plx_compiler_error(c.ctx);
    EXPECT_EQ(frees, 0);
    EXPECT_STREQ(plx_compile_result_name(PLX_COMPILE_TOO_MANY_CLASSES), "too many classes");
}

}  // namespace
