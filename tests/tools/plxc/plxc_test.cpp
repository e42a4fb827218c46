// The offline compiler: input parsing with located errors, and the command end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "policy/plx_fold.h"
#include "tests/support/test_process.h"
#include "tools/plxc/plxc_input.h"

namespace {

std::string parse_error(const std::string &text) {
    PlxcRules r;
    return plxc_parse_rules("p.rules", text, r);
}

TEST(PlxcInput, ErrorsNameFileLineAndProblem) {
    EXPECT_EQ(parse_error("# c\n\nrule a protocol=6\nrule b foo=1\n"),
              "p.rules:4: unknown field 'foo'");
    EXPECT_EQ(parse_error("rule a dst-port=80-20\n"), "p.rules:1: range '80-20' runs backwards");
    EXPECT_EQ(parse_error("rule a dst-port=4294967296\n"), "p.rules:1: bad number '4294967296'");
    EXPECT_EQ(parse_error("rule a dst-port=1,,2\n"), "p.rules:1: missing value for 'dst-port'");
    EXPECT_EQ(parse_error("rule a protocol=6 protocol=17\n"),
              "p.rules:1: field 'protocol' given twice");
    EXPECT_EQ(parse_error("rule a src-addr=10.0.0.0/33\n"),
              "p.rules:1: bad prefix length in '10.0.0.0/33'");
    EXPECT_EQ(parse_error("rule a dscp=1.2.3.4\n"),
              "p.rules:1: '1.2.3.4': only src-addr and dst-addr take addresses");
    EXPECT_EQ(parse_error("rule a -> accept reject\n"),
              "p.rules:1: more than one of accept and reject");
    EXPECT_EQ(parse_error("rule a -> count\n"), "p.rules:1: 'count' needs a counter name");
    EXPECT_EQ(parse_error("rule a -> set-dscp 64\n"), "p.rules:1: bad value '64' for set-dscp");
    // Values beyond what the configuration can give a field are refused with its range.
    EXPECT_EQ(parse_error("rule a dscp=10,99\n"),
              "p.rules:1: '99' is above the largest value of dscp; dscp takes 0-63");
    EXPECT_EQ(parse_error("rule a dst-port=80-65536\n"),
              "p.rules:1: '80-65536' is above the largest value of dst-port; dst-port takes "
              "0-65535");
    EXPECT_EQ(parse_error("rule a plp=2\n"),
              "p.rules:1: '2' is above the largest value of plp; plp takes 0-1");
    EXPECT_EQ(parse_error("default drop\n"),
              "p.rules:1: expected 'default accept' or 'default reject'");
    EXPECT_EQ(parse_error("# only a comment\n"), "p.rules: no rules");
    EXPECT_EQ(parse_error("@1.2.3.4/32 5.6.7.8/32 0 : 10 0 : 10 0x06/0x0F 0/0\n"),
              "p.rules:1: protocol mask '0x0F' is neither 0x00 nor 0xFF");
}

TEST(PlxcInput, RulesBuildInWrittenOrderAfterMatchAny) {
    PlxcRules r;
    ASSERT_EQ(plxc_parse_rules("x/pol.rules",
                               "default accept\n"
                               "rule web dst-port=80,443 src-addr=10.1.2.3/16 -> reject count w\n"
                               "rule any -> log\n",
                               r),
              "");
    EXPECT_EQ(r.name, "pol.rules");
    EXPECT_EQ(r.default_action.slot[0].base_action, PLX_ACT_ACCEPT);
    ASSERT_EQ(r.rules.size(), 2u);
    EXPECT_EQ(r.rules[0].action.slot[0].base_action, PLX_ACT_REJECT);
    EXPECT_EQ(r.rules[0].action.slot[1].action_type, PLX_ACT_COUNT);
    EXPECT_EQ(r.rules[1].action.slot[1].action_type, PLX_ACT_LOG);

    plx_compiler_ctx *ctx = plx_compiler_create();
    PlxRuleTablePtr table;
    ASSERT_EQ(plxc_build(r, true, ctx, table), "");
    EXPECT_EQ(ctx->slots[PLX_FIELD_MATCH_ANY].table_id, 1u);
    EXPECT_EQ(ctx->slots[PLX_FIELD_DST_PORT].table_id, 2u);
    EXPECT_EQ(ctx->slots[PLX_FIELD_SRC_ADDR].table_id, 3u);
    const plx_rule *web = plx_ruletable_get_rule(table.get(), 0);
    ASSERT_EQ(web->conditions.size(), 3u);
    EXPECT_EQ(web->conditions[1].ranges.size(), 2u);
    EXPECT_EQ(web->conditions[2].ranges[0].min, 0x0A010000u);
    EXPECT_EQ(web->conditions[2].ranges[0].max_val, 0x0A01FFFFu);
    plx_compiler_destroy(ctx);
}

// Beyond eight tested fields the family conditions fold into the application field as plxd
// folds them, through the protocol-to-family table; a ninth field that cannot fold is refused
// before compiling.
TEST(PlxcInput, FamiliesFoldBeyondEightFieldsOtherFieldsAreRefused) {
    const std::string eight = "rule a protocol=1 src-port=1 dst-port=1 dscp=1\nrule b fc=1 tcp=1 ";
    PlxcRules r;
    ASSERT_EQ(plxc_parse_rules("f", eight + "pkt-len=1 app=1\n", r), "");
    plx_compiler_ctx *ctx = plx_compiler_create();
    PlxRuleTablePtr table;
    EXPECT_EQ(plxc_build(r, true, ctx, table),
              "f:2: 'app' is a 9th tested field; a program addresses at most 15 tables (8 fields)");
    plx_compiler_destroy(ctx);

    // Applications 5 and 7 are of family 30, 9 of family 20.
    const uint32_t families[] = {9, 0, 0, 0, 0, 30, 0, 30, 0, 20};
    plx_fold_use_family_table(families);
    PlxcRules folding;
    ASSERT_EQ(
        plxc_parse_rules("f", eight + "app-family=30\nrule c app=7-9 app-family=30,20\n", folding),
        "");
    ctx = plx_compiler_create();
    ASSERT_EQ(plxc_build(folding, true, ctx, table), "");
    plx_fold_use_family_table({});
    EXPECT_EQ(ctx->slots[PLX_FIELD_APP_FAMILY].table_id, 0u) << "the family is not tested";
    auto apps = [&](uint32_t rule) {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (const RuleCondition &c : plx_ruletable_get_rule(table.get(), rule)->conditions)
            if (c.field_id == PLX_FIELD_APP)
                for (const ValueRange &v : c.ranges)
                    out.emplace_back(v.min, v.max_val);
        return out;
    };
    EXPECT_EQ(apps(1), (std::vector<std::pair<uint32_t, uint32_t>>{{5, 5}, {7, 7}}));
    EXPECT_EQ(apps(2), (std::vector<std::pair<uint32_t, uint32_t>>{{7, 7}, {9, 9}}));
    plx_compiler_destroy(ctx);
}

TEST(PlxcInput, PacketsAsFieldsOrTraceLines) {
    FpPacket p;
    EXPECT_EQ(plxc_parse_packet("dst-addr=10.0.0.1 protocol=6", p), "");
    EXPECT_EQ(p.field[PLX_FIELD_DST_ADDR], 0x0A000001u);
    EXPECT_EQ(p.field[PLX_FIELD_MATCH_ANY], 1u);
    EXPECT_EQ(plxc_parse_packet("1659995185\t3710312904\t0\t32201\t6\t4294967295\t127", p), "");
    EXPECT_EQ(p.field[PLX_FIELD_SRC_ADDR], 1659995185u);
    EXPECT_EQ(p.field[PLX_FIELD_DST_PORT], 32201u);
    EXPECT_EQ(p.field[PLX_FIELD_PROTOCOL], 6u);
    EXPECT_EQ(plxc_parse_packet("protocol=x", p), "bad value 'x' for protocol");
    EXPECT_EQ(plxc_parse_packet("1 2 3", p), "expected 'src dst sport dport proto' or FIELD=VALUE");
}

// Runs plxc with arguments, returning its exit status and standard output.
int run(const std::string &args, std::string *out) {
    int status = 0;
    *out += run_output(std::string(PLXC_PATH) + " " + args, &status);
    return status;
}

class PlxcCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("plxc_test." + std::to_string(getpid()) + "." +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string &name, const std::string &text) {
        std::string p = (dir_ / name).string();
        std::ofstream(p) << text;
        return p;
    }
    std::filesystem::path dir_;
};

TEST_F(PlxcCommand, CompileWritesTheProgramAndEvalSelectsRecords) {
    std::string rules = write("r",
                              "default reject\nrule web protocol=6 dst-port=80 -> accept "
                              "count web\nrule dns dst-port=53 -> accept count dns\n");
    std::string prog = (dir_ / "p.plx").string();
    std::string out;
    ASSERT_EQ(run("compile " + rules + " -o " + prog + " --stats", &out), 0) << out;
    EXPECT_NE(out.find("rules: 2\n"), std::string::npos);
    EXPECT_NE(out.find("table 1: field match-any: 3 intervals, 2 classes"), std::string::npos);
    const std::string bytes = read_text(prog);
    ASSERT_GE(bytes.size(), 8u);
    uint32_t len;
    std::memcpy(&len, bytes.data() + 4, 4);
    EXPECT_EQ(len, bytes.size());

    std::string pk = write("pk", "protocol=6 dst-port=80\ndst-port=53\ndst-port=80\n");
    out.clear();
    ASSERT_EQ(run("eval " + prog + " " + pk, &out), 0) << out;
    EXPECT_NE(out.find("1: record "), std::string::npos);
    EXPECT_NE(out.find(" web\n2: record "), std::string::npos) << out;
    EXPECT_NE(out.find(" dns\n3: record "), std::string::npos) << out;
    EXPECT_NE(out.find(" default\n"), std::string::npos) << out;
    out.clear();
    ASSERT_EQ(run("eval --summary " + prog + " " + pk, &out), 0);
    EXPECT_EQ(out.rfind("packets: 3\n", 0), 0u) << out;
}

TEST_F(PlxcCommand, FieldlessRulesNeedNoProgramAndWarningsArePrinted) {
    std::string out;
    std::string prog = (dir_ / "p.plx").string();
    EXPECT_EQ(
        run("compile --no-match-any -o " + prog + " " + write("r", "rule a -> accept\n"), &out), 0);
    EXPECT_NE(out.find("no rule tests a field: no program is needed; nothing written"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("memory"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(prog));
    out.clear();
    EXPECT_EQ(run("compile " + write("b", "rule bc dst-addr=255.255.255.255 -> accept\n"), &out),
              0);
    EXPECT_NE(out.find("warning: 'b' rule bc: dst-addr 255.255.255.255/32"), std::string::npos)
        << out;
}

TEST_F(PlxcCommand, BadInputExitsWithStatusTwo) {
    std::string out;
    EXPECT_EQ(run("compile " + write("r", "rule a dst-port=x\n"), &out), 2);
    EXPECT_NE(out.find("/r:1: bad number 'x'"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(run("eval " + write("p", "not a program") + " " + write("k", "protocol=1\n"), &out),
              2);
    EXPECT_NE(out.find("not a valid program"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(run("frobnicate", &out), 2);
    out.clear();
    EXPECT_EQ(run("--help", &out), 0);
    EXPECT_NE(out.find("plxc compile RULES"), std::string::npos);
}

}  // namespace
