// Rule files as the offline compiler reads them (text format and ClassBench filter sets), and
// the packet lines it evaluates. A rule file that parses and builds is compiled; the program
// must pass the forwarding plane's validation and pick, for packets made from the rules' own
// values, the action of the first rule that matches them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "peers/fpeval/fp_eval.h"
#include "tools/plxc/plxc_input.h"

namespace {

// Small rule sets only: the compiler's cost grows with fields times rules, and the harness
// runs it on every input.
constexpr size_t kMaxRules = 24;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

bool value_matches(const PlxcValue &v, uint32_t x) {
    if (!v.prefix)
        return v.lo <= x && x <= v.hi;
    uint32_t a =
        static_cast<uint32_t>(v.addr[0]) << 24 | v.addr[1] << 16 | v.addr[2] << 8 | v.addr[3];
    uint32_t mask = v.len == 0 ? 0 : ~0u << (32 - v.len);
    return (a & mask) == (x & mask);
}

bool rule_matches(const PlxcRule &r, const FpPacket &pkt) {
    for (const PlxcCond &c : r.conds) {
        bool any = false;
        for (const PlxcValue &v : c.values)
            any = any || value_matches(v, pkt.field[c.field]);
        if (!any)
            return false;
    }
    return true;
}

// A packet with, for every condition of r, the low end of its first alternative.
FpPacket packet_for(const PlxcRule &r) {
    FpPacket pkt;
    pkt.field[PLX_FIELD_MATCH_ANY] = PLX_MATCH_ANY_VALUE;
    for (const PlxcCond &c : r.conds) {
        const PlxcValue &v = c.values.front();
        pkt.field[c.field] = v.prefix ? (static_cast<uint32_t>(v.addr[0]) << 24 | v.addr[1] << 16 |
                                         v.addr[2] << 8 | v.addr[3])
                                      : v.lo;
    }
    return pkt;
}

void compile_and_check(const PlxcRules &rules) {
    plx_compiler_ctx *ctx = plx_compiler_create();
    PlxRuleTablePtr table;
    if (plxc_build(rules, true, ctx, table).empty()) {
        PolicyProgram *prog = nullptr;
        uint32_t len = 0;
        if (plx_compile(ctx, table.get(), &prog, &len) == 0 && prog) {
            std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(prog), len);
            if (const char *why = fp_validate(bytes)) {
                std::fprintf(stderr, "compiled program invalid: %s\n", why);
                std::abort();
            }
            for (const PlxcRule &r : rules.rules) {
                FpPacket pkt = packet_for(r);
                const ActionData *want = &rules.default_action;
                for (const PlxcRule &first : rules.rules) {
                    if (rule_matches(first, pkt)) {
                        want = &first.action;
                        break;
                    }
                }
                FpEvalResult res = fp_eval(prog, pkt);
                if (res.status != FP_EVAL_OK || !res.record)
                    fail("a compiled program failed to evaluate");
                if (std::memcmp(res.record + 1, want, sizeof *want) != 0)
                    fail("a compiled program picked another rule than the first match");
            }
        }
        plx_compiler_free_program(ctx, prog);
    }
    table.reset();
    plx_compiler_destroy(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    PlxcRules rules;
    std::string err = plxc_parse_rules("fuzz.rules", text, rules);
    if (err.empty()) {
        for (const PlxcRule &r : rules.rules)
            for (const PlxcCond &c : r.conds)
                if (c.field < 1 || c.field > PLX_NUM_FIELDS || c.values.empty())
                    fail("a parsed condition names no field or has no value");
        if (rules.rules.size() <= kMaxRules)
            compile_and_check(rules);
    }
    // Every line is also tried as a packet line.
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        FpPacket pkt;
        (void)plxc_parse_packet(text.substr(start, nl - start), pkt);
        start = nl + 1;
    }
    return 0;
}
