// Program bytes, directory order, first-match action tables, counters and the dump.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <thread>

#include "tests/compiler/test_util.h"

namespace {

TEST(Program, OneRuleOneFieldIsTheDocumentedLayout) {
    Compile c(PLX_ACT_REJECT, "acl-web");
    plx_rule *r = c.rule("10", make_action(PLX_ACT_ACCEPT));
    c.range(r, PLX_FIELD_PROTOCOL, 6, 6);
    ASSERT_EQ(c.compile(), 0);
    ASSERT_NE(c.prog, nullptr);
    EXPECT_EQ(c.len, 6760u);
    EXPECT_STREQ(reinterpret_cast<const char *>(c.bytes() + 8), "acl-web");
    EXPECT_EQ(std::vector<uint8_t>(c.bytes() + 280, c.bytes() + 283),
              (std::vector<uint8_t>{1, 1, 0}));
    // Header, field map, directory, instructions, table headers and the action entries (default
    // first, then the rule's): byte offset, word.
    // clang-format off
    const uint32_t words[] = {
        0, 0, 4, 6760, 136, 2, 140, 2, 144, 150, 152, 133, 276, 1, 348, 1,
        472, 528, 476, 3, 480, 20, 496, 592, 500, 2, 504, 3080,
        520, 0x11111000, 524, 0x421F0000, 528, 0x101, 592, 2, 596, 0,
        600, 1, 604, 3080, 608, PLX_ACT_REJECT, 3680, 0, 3684, 3080, 3688, PLX_ACT_ACCEPT};
    // clang-format on
    for (size_t i = 0; i < std::size(words); i += 2)
        EXPECT_EQ(c.word(words[i]), words[i + 1]) << "word at " << words[i];
    // The three entries form a search tree rooted at the first entry; which interval is the
    // root is random, the set of intervals is not.
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> got;
    const auto *e = reinterpret_cast<const LookupEntry *>(c.bytes() + 532);
    uint32_t links = 0;
    for (int i = 0; i < 3; ++i) {
        got.insert({e[i].lo, e[i].hi, e[i].ec_id});
        links += (e[i].left != 0) + (e[i].right != 0);
    }
    EXPECT_EQ(links, 2u);
    EXPECT_EQ(got, (std::set<std::tuple<uint32_t, uint32_t, uint32_t>>{
                       {0, 6, 0}, {6, 7, 1}, {7, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(fp_validate({c.bytes(), c.len}), nullptr);

    // 0xFFFFFFFF is in no interval: looked up as 0xFFFFFFFE.
    for (auto [proto, index] : {std::pair{6u, 1}, {17u, 0}, {0xFFFFFFFFu, 0}}) {
        FpPacket p;
        p.field[PLX_FIELD_PROTOCOL] = proto;
        EXPECT_EQ(fp_eval(c.prog, p).index, index) << proto;
    }
}

TEST(Program, ThreeFieldsCombineInPostOrder) {
    Compile c;
    plx_rule *r = c.rule("1", make_action(PLX_ACT_ACCEPT));
    c.range(r, PLX_FIELD_DSCP, 10, 10);         // table 1
    c.range(r, PLX_FIELD_SRC_PORT, 80, 80);     // table 2
    c.range(r, PLX_FIELD_NEXT_HEADER, 17, 17);  // table 3
    ASSERT_EQ(c.compile(), 0);
    EXPECT_EQ(c.word(136), 6u);
    ASSERT_EQ(c.word(140), 10u);
    std::vector<uint32_t> ids;
    for (uint32_t d = 0; d < 5; ++d)
        ids.push_back(c.word(c.word(472 + 24 * d)) >> 8);
    EXPECT_EQ(ids, (std::vector<uint32_t>{3, 1, 2, 4, 5}));
    // 4 = combine(1, 2), 5 = combine(3, 4); each leaf has 2 classes, 4 has 2 as well.
    const uint32_t ins = 472 + 24 * 6;
    std::vector<uint32_t> want = {
        plx_insn(1, 1, 3, 3, 3),
        plx_insn(1, 1, 1, 1, 1),
        plx_insn(1, 1, 2, 2, 2),
        plx_insn_imm(3, 2, 1, 1, 2),
        plx_insn(2, 2, 1, 2, 0),
        plx_insn(1, 2, 2, 4, 4),
        plx_insn_imm(3, 2, 3, 3, c.ctx->table(4)->num_classes()),
        plx_insn(2, 2, 3, 4, 0),
        plx_insn(1, 2, 4, 5, 5),
        plx_insn(4, 2, 5, 15, 0),
    };
    for (uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(c.word(ins + 4 * i), want[i]) << "instruction " << i;
    EXPECT_EQ(c.word(344 + 4 * 1), PLX_FIELD_DSCP);
    EXPECT_EQ(c.word(344 + 4 * 3), PLX_FIELD_NEXT_HEADER);
    EXPECT_EQ(c.word(344 + 4 * 4), 0u);
    // Field map in ascending field id.
    EXPECT_EQ((std::vector<int>{c.bytes()[280], c.bytes()[282], c.bytes()[284]}),
              (std::vector<int>{PLX_FIELD_SRC_PORT, PLX_FIELD_DSCP, PLX_FIELD_NEXT_HEADER}));
    EXPECT_EQ(fp_validate({c.bytes(), c.len}), nullptr);
}

TEST(Program, ShadowedRuleNeverSelectedAndEmptyClassGetsDefault) {
    Compile c;
    plx_rule *wide = c.rule("1", make_action(PLX_ACT_ACCEPT, "wide"));
    c.range(wide, PLX_FIELD_DST_PORT, 1000, 2000);
    plx_rule *narrow = c.rule("2", make_action(PLX_ACT_REJECT, "narrow"));
    c.range(narrow, PLX_FIELD_DST_PORT, 1500, 1600);
    c.range(narrow, PLX_FIELD_PROTOCOL, 6, 6);
    ASSERT_EQ(c.compile(), 0);
    std::set<std::string> seen;  // names of the counters in the program
    plx_program_visit_actions(c.prog, &seen, [](uint8_t *data, void *arg) {
        auto *c = plx_action_slot<CountSlot>(data, 1);
        if (c->action_type == PLX_ACT_COUNT)
            static_cast<std::set<std::string> *>(arg)->insert(c->name);
    });
    EXPECT_EQ(seen, std::set<std::string>{"wide"});
    uint32_t defaults = 0;
    const auto *dir = reinterpret_cast<const ProgramDirEntry *>(c.bytes() + 472);
    const ProgramDirEntry &act = dir[c.prog->n_dir_entries - 1];
    for (uint32_t e = 0; e < act.n_entries; ++e)
        defaults += c.word(c.prog->action_offset * 4 + e * 3080) & 1;
    EXPECT_EQ(defaults, 1u);
}

TEST(Program, CountersSummedAndClearedByNameAcrossRules) {
    Compile c;
    plx_rule *a = c.rule("1", make_action(PLX_ACT_ACCEPT, "web"));
    c.range(a, PLX_FIELD_DST_PORT, 80, 80);
    plx_rule *b = c.rule("2", make_action(PLX_ACT_ACCEPT, "web"));
    c.range(b, PLX_FIELD_DST_PORT, 443, 443);
    plx_rule *d = c.rule("3", make_action(PLX_ACT_ACCEPT, "dns"));
    c.range(d, PLX_FIELD_DST_PORT, 53, 53);
    ASSERT_EQ(c.compile(), 0);

    // The forwarding plane counts into the current bank of each selected record.
    auto count = [&](uint32_t port, uint64_t pkts, uint64_t bytes) {
        FpPacket p;
        p.field[PLX_FIELD_DST_PORT] = port;
        auto res = fp_eval(c.prog, p);
        auto *s = plx_action_slot<CountSlot>(
            const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(res.record) + 8), 1);
        s->packets[s->bank] += pkts;
        s->bytes[s->bank] += bytes;
    };
    // Packets and bytes of every action with the name.
    auto sum = [&](const char *name) {
        uint64_t pk = 0, by = 0;
        plx_program_sum_counters(c.prog, name, &pk, &by);
        return std::pair{pk, by};
    };
    count(80, 2, 200);
    count(443, 3, 300);
    count(53, 7, 700);
    EXPECT_EQ(sum("web"), (std::pair<uint64_t, uint64_t>{5, 500}));
    plx_program_clear_counters(c.prog, "web");
    EXPECT_EQ(sum("web"), (std::pair<uint64_t, uint64_t>{0, 0}));
    count(80, 1, 10);  // counts into the new bank
    EXPECT_EQ(sum("web"), (std::pair<uint64_t, uint64_t>{1, 10}));
    EXPECT_EQ(sum("dns").first, 7u);
    // Clearing twice returns to bank 0 with it zeroed.
    plx_program_clear_counters(c.prog, "web");
    plx_program_clear_counters(c.prog, "web");
    EXPECT_EQ(sum("web").first, 0u);
}

TEST(Program, PolicerCountersAndDumpWithSlots) {
    Compile c;
    ActionData d = make_action(PLX_ACT_ACCEPT);
    auto *pol = plx_action_slot<PoliceSlot>(reinterpret_cast<uint8_t *>(&d), 2);
    pol->action_type = PLX_ACT_POLICE;
    pol->rate = 0x10;
    pol->drops[0] = 4;
    pol->bytes[0] = 400;
    std::strcpy(pol->name, "3.slow");
    auto *dscp = plx_action_slot<U8Slot>(reinterpret_cast<uint8_t *>(&d), 3);
    dscp->action_type = PLX_ACT_SET_DSCP;
    dscp->value = 46;
    plx_rule *r = c.rule("1", d);
    c.range(r, PLX_FIELD_PROTOCOL, 6, 6);
    ASSERT_EQ(c.compile(), 0);
    uint64_t drops = 0, bytes = 0;
    plx_program_sum_policer_counters(c.prog, "3.slow", &drops, &bytes);
    EXPECT_EQ(std::pair(drops, bytes), (std::pair<uint64_t, uint64_t>{4, 400}));
    plx_program_clear_policer_counters(c.prog, "3.slow");
    drops = bytes = 0;
    plx_program_sum_policer_counters(c.prog, "3.slow", &drops, &bytes);
    EXPECT_EQ(drops + bytes, 0u);

    std::string dump = plx_program_dump_string(c.prog, true);
    EXPECT_EQ(dump.rfind("length = 6760 \n(field type, ec) map size = 1 \n"
                         "Entry 0: field type = 1, ec_id = 1 \nTable dir length = 2 \n"
                         "n instructions = 2 \nLookup Table:  \n",
                         0),
              0u);
    EXPECT_NE(dump.find("] -> 1\n"), std::string::npos);
    EXPECT_NE(dump.find("Action Table:  \nflags = 0x1 \nlength = 3080 \nreject\nflags = 0x0"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("flags = 0x0 \nlength = 3080 \naccept\npolice\n\t      name: 3.slow\n"
                        "\t      rate: 0x00000000000010\n"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("set dscp\n\tdscp: 46\n"), std::string::npos);
}

// Allocators that hand out memory full of garbage or zeroes.
void *garbage_alloc(uint32_t len) {
    void *p = std::malloc(len);
    std::memset(p, 0xAA, len);
    return p;
}
void *zero_alloc(uint32_t len) {
    return std::calloc(1, len);
}

TEST(Program, EveryByteIsWrittenWhateverTheMemoryHeld) {
    auto build = [](plx_mem_alloc_fn alloc) {
        Compile c;
        plx_compiler_set_mem_ops(c.ctx, alloc, std::free);
        for (uint32_t r = 0; r < 5; ++r) {
            plx_rule *rule = c.rule(std::to_string(r).c_str(), make_action(PLX_ACT_ACCEPT, "x"));
            c.range(rule, PLX_FIELD_DST_PORT, 10 * r, 10 * r + 15);
            c.range(rule, PLX_FIELD_PROTOCOL, r, r + 1);
        }
        srandom(7);  // same tree shapes in both compiles
        EXPECT_EQ(c.compile(), 0);
        return std::vector<uint8_t>(c.bytes(), c.bytes() + c.len);
    };
    std::vector<uint8_t> a = build(garbage_alloc), b = build(zero_alloc);
    EXPECT_EQ(a, b);
}

}  // namespace

// A rule set large enough that a compile on two threads splits the final combination's pairs
// and the final lookup tree into pieces: the program must not depend on the thread count, the
// yield hook runs on the compiling thread only, and each context keeps its own memory and hook.
TEST(Program, ThreadsWriteTheSameProgramAndEachContextKeepsItsOwnHooks) {
    auto fill = [](Compile &c) {
        std::mt19937 rng(11);
        for (uint32_t r = 0; r < 300; ++r) {
            plx_rule *rule = c.rule(std::to_string(r).c_str(), make_action(PLX_ACT_ACCEPT, "x"));
            // Wide port ranges make thousands of port classes; narrow lengths make each row of
            // the final combination (a length class) repeat a few keys along it.
            for (uint32_t f : {PLX_FIELD_SRC_PORT, PLX_FIELD_DST_PORT, PLX_FIELD_PKT_LEN}) {
                uint32_t lo = rng() % 60000;
                c.range(rule, f, lo, lo + rng() % (f == PLX_FIELD_PKT_LEN ? 300 : 20000));
            }
        }
    };
    struct Hook {
        std::thread::id caller = std::this_thread::get_id();
        uint32_t calls = 0, elsewhere = 0;
        static void count(void *arg) {
            auto *h = static_cast<Hook *>(arg);
            ++h->calls;
            h->elsewhere += std::this_thread::get_id() != h->caller;
        }
    };
    std::vector<uint8_t> programs[2];
    for (uint32_t threads : {1u, 2u}) {
        Compile c, refused;
        Hook hook, other;
        c.ctx->threads = threads;
        plx_compiler_set_yield(c.ctx, Hook::count, &hook);
        plx_compiler_set_yield(refused.ctx, Hook::count, &other);
        plx_compiler_set_mem_ops(
            refused.ctx, [](uint32_t) -> void * { return nullptr; }, std::free);
        fill(c);
        fill(refused);
        srandom(7);
        ASSERT_EQ(c.compile(), PLX_COMPILE_OK);
        EXPECT_GT(c.ctx->final_table->num_intervals(), 1u << 17);
        programs[threads - 1].assign(c.bytes(), c.bytes() + c.len);
        EXPECT_GT(hook.calls, 0u);
        EXPECT_EQ(hook.elsewhere, 0u);
        EXPECT_EQ(other.calls, 0u);
        EXPECT_EQ(refused.compile(), PLX_COMPILE_NO_MEMORY);
        EXPECT_GT(other.calls, 0u);
    }
    EXPECT_TRUE(programs[0] == programs[1]);  // megabytes: not printed
}
