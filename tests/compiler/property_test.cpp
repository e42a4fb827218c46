// Random rule sets and packets: the evaluated program must select exactly the record of the
// first rule that matches by a plain linear scan, or the default record.
#include <gtest/gtest.h>

#include <random>

#include "tests/compiler/test_util.h"

namespace {

struct Cond {
    uint32_t field;
    std::vector<ValueRange> ranges;
};
using RuleSpec = std::vector<Cond>;

bool matches(const RuleSpec &rule, const FpPacket &p) {
    for (const Cond &c : rule) {
        bool any = false;
        for (const ValueRange &r : c.ranges)
            any |= p.field[c.field] >= r.min && p.field[c.field] <= r.max_val;
        if (!any)
            return false;
    }
    return true;
}

class Property : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Property, EvaluatorAgreesWithFirstMatch) {
    std::mt19937 rng(GetParam());
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    // A small value space per field makes overlaps and shadowing common.
    const uint32_t fields[] = {PLX_FIELD_PROTOCOL, PLX_FIELD_SRC_PORT, PLX_FIELD_DST_ADDR,
                               PLX_FIELD_DSCP,     PLX_FIELD_PKT_LEN,  PLX_FIELD_APP,
                               PLX_FIELD_MATCH_ANY};
    for (int round = 0; round < 8; ++round) {
        Compile c;
        std::vector<RuleSpec> rules(1 + pick(40));
        const uint32_t nfields = 1 + pick(7);
        std::vector<std::vector<uint32_t>> points(PLX_NUM_FIELDS + 1);
        for (size_t r = 0; r < rules.size(); ++r) {
            ActionData d = make_action(PLX_ACT_ACCEPT);
            auto *fc = plx_action_slot<FcSlot>(reinterpret_cast<uint8_t *>(&d), 1);
            fc->action_type = PLX_ACT_SET_FC;
            fc->fc = static_cast<int32_t>(r);
            plx_rule *rule = c.rule(std::to_string(r).c_str(), d);
            for (uint32_t k = 0, n = pick(4); k < n; ++k) {
                uint32_t f = fields[pick(nfields)];
                Cond *cond = nullptr;
                for (Cond &x : rules[r])
                    cond = x.field == f ? &x : cond;
                if (!cond) {
                    rules[r].push_back({f, {}});
                    cond = &rules[r].back();
                }
                uint32_t table = plx_field_get_table(c.ctx, f);
                ValueRange vr;
                if (f == PLX_FIELD_DST_ADDR && pick(2)) {
                    uint32_t len = pick(33);
                    uint32_t v = 0x0A000000 | pick(1 << 12) << 12 | pick(4096);
                    uint8_t pfx[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8),
                                      uint8_t(v)};
                    plx_field_add_prefix(c.ctx, rule, table, pfx, len);
                    uint32_t host = len ? (len == 32 ? 0 : (1u << (32 - len)) - 1) : 0xFFFFFFFF;
                    vr = {v & ~host, (v & ~host) + host};
                } else {
                    uint32_t a = pick(64), b = pick(64);
                    if (pick(8) == 0)
                        b = 0xFFFFFFFF;  // up to the end of the space
                    plx_field_add_range(c.ctx, rule, table, a, b);
                    vr = {std::min(a, b), std::max(a, b)};
                }
                cond->ranges.push_back(vr);
                points[f].insert(points[f].end(), {vr.min, vr.max_val, vr.max_val + 1});
            }
        }
        ASSERT_EQ(c.compile(), 0);
        if (!c.prog)
            continue;  // no rule tested any field
        ASSERT_EQ(fp_validate({c.bytes(), c.len}), nullptr);

        for (int n = 0; n < 300; ++n) {
            FpPacket p;
            for (uint32_t f : fields) {
                auto &pts = points[f];
                p.field[f] = !pts.empty() && pick(4) ? pts[pick(pts.size())] : pick(70);
            }
            int64_t want = -1;
            for (size_t r = 0; r < rules.size() && want < 0; ++r) {
                if (matches(rules[r], p))
                    want = static_cast<int64_t>(r);
            }
            FpEvalResult res = fp_eval(c.prog, p);
            ASSERT_EQ(res.status, FP_EVAL_OK);
            const ActionData *d = record_data(res.record);
            if (want < 0) {
                EXPECT_EQ(res.record->flags, PLX_ACTION_FLAG_DEFAULT);
            } else {
                EXPECT_EQ(res.record->flags, 0u);
                EXPECT_EQ(plx_action_slot<FcSlot>(reinterpret_cast<const uint8_t *>(d), 1)->fc,
                          want);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Property, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
