#include "peers/fwdplane/fp_engine.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstring>
#include <iterator>
#include <string_view>

#include "fplink/fp_common.h"

namespace {

template <typename T>
void atomic_add(T &v, T d) {
    std::atomic_ref<T>(v).fetch_add(d, std::memory_order_relaxed);
}

constexpr const char *kVerdictNames[FP_VERDICT_COUNT] = {"forwarded",
                                                         "dropped by ingress access list",
                                                         "dropped by data policy",
                                                         "dropped by app-route policy",
                                                         "dropped by policer",
                                                         "dropped by egress access list"};

// Data and app-route policies hold IPv4 prefixes only.
bool ipv4_policy_stage(const char *label) {
    std::string_view l(label);
    return l == "data" || l == "app-route";
}

}  // namespace

bool fp_program_tests_addresses(const PolicyProgram *prog) {
    uint32_t n = std::min<uint32_t>(prog->field_map_count, PLX_MAX_FIELD_SLOTS);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t f = prog->field_map[i].field_id;
        if (f == PLX_FIELD_SRC_ADDR || f == PLX_FIELD_DST_ADDR)
            return true;
    }
    return false;
}

const char *fp_verdict_name(fp_verdict v) {
    return v >= 0 && v < FP_VERDICT_COUNT ? kVerdictNames[v] : "?";
}

const char *fp_stage_name(fp_stage s) {
    static constexpr const char *kStageNames[] = {"acl-in", "data", "app-route", "acl-out"};
    static_assert(FP_STAGE_ACL_OUT + 1 == std::size(kStageNames));
    return s >= 0 && s < static_cast<int>(std::size(kStageNames)) ? kStageNames[s] : "?";
}

fp_tables fp_tables_from_shm() {
    fp_tables t;
    t.filter_mem = fp_filter_mem();
    t.num_blocks = g_fp_scaling.num_filter_mem_blocks;
    auto f = fp_filters();
    t.filters = f.data();
    t.num_filters = static_cast<uint32_t>(f.size());
    t.bindings = fp_binding_tables_from_shm();
    return t;
}

uint8_t *fp_action_entry(const PolicyProgram *prog, int64_t index, uint32_t *n_entries) {
    if (prog->n_dir_entries == 0)
        return nullptr;
    auto *dir = reinterpret_cast<const ProgramDirEntry *>(reinterpret_cast<const uint8_t *>(prog) +
                                                          PLX_PROGRAM_HEADER_SIZE);
    const ProgramDirEntry &act = dir[prog->n_dir_entries - 1];
    if (n_entries)
        *n_entries = act.n_entries;
    if (index < 0 || static_cast<uint64_t>(index) >= act.n_entries)
        return nullptr;
    auto *base = const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(prog));
    return base + prog->action_offset * 4ull + static_cast<uint64_t>(index) * act.entry_size;
}

std::string fp_action_text(const uint8_t *data) {
    std::string out;
    auto add = [&out](const std::string &s) {
        if (!out.empty())
            out += ' ';
        out += s;
    };
    for (unsigned i = 0; i < PLX_ACTION_SLOTS; ++i) {
        const auto *s = plx_action_slot<ActionSlot>(data, i);
        if (s->base_action == PLX_ACT_REJECT)
            add("reject");
        if (s->base_action == PLX_ACT_ACCEPT)
            add("accept");
        switch (s->action_type) {
            case PLX_ACT_NONE:
            case PLX_ACT_REJECT:
            case PLX_ACT_ACCEPT:
                break;
            case PLX_ACT_COUNT: {
                const auto *c = plx_action_slot<CountSlot>(data, i);
                add("count:" + std::string(c->name, strnlen(c->name, PLX_ACTION_NAME_LEN)));
                break;
            }
            case PLX_ACT_POLICE: {
                const auto *p = plx_action_slot<PoliceSlot>(data, i);
                add("police:" + std::string(p->name, strnlen(p->name, PLX_ACTION_NAME_LEN)));
                break;
            }
            case PLX_ACT_SET_DSCP:
                add("set-dscp:" + std::to_string(plx_action_slot<U8Slot>(data, i)->value));
                break;
            case PLX_ACT_SET_TRAFFIC_CLASS:
                add("set-traffic-class:" + std::to_string(plx_action_slot<U8Slot>(data, i)->value));
                break;
            case PLX_ACT_SET_FC:
                add("set-fc:" + std::to_string(plx_action_slot<FcSlot>(data, i)->fc));
                break;
            default: {
                const char *n = plx_action_name(s->action_type);
                add(n ? n : "type-" + std::to_string(s->action_type));
                break;
            }
        }
    }
    return out.empty() ? "-" : out;
}

FpEngine::FpEngine(fp_tables tables, fp_eval_fn eval, uint64_t clock_rate)
    : t_(tables), eval_(std::move(eval)), clock_rate_(clock_rate ? clock_rate : 1000000000ull) {}

const PolicyProgram *FpEngine::program_of(uint32_t filter, FilterEntry **entry) const {
    if (filter >= t_.num_filters)
        return nullptr;
    FilterEntry &f = t_.filters[filter];
    if (fp_load(f.valid) != 1)
        return nullptr;
    uint32_t hw = fp_load(f.hw_index), n = fp_load(f.num_blocks);
    if (n == 0 || hw >= t_.num_blocks || n > t_.num_blocks - hw)
        return nullptr;
    auto *prog =
        reinterpret_cast<const PolicyProgram *>(t_.filter_mem + size_t{hw} * FP_FILTER_BLOCK_SIZE);
    // A program still being written (or a damaged one) does not fit its blocks.
    if (prog->length < PLX_PROGRAM_HEADER_SIZE || prog->length > size_t{n} * FP_FILTER_BLOCK_SIZE)
        return nullptr;
    *entry = &f;
    return prog;
}

FpEngine::StageResult FpEngine::run_stage(uint32_t filter, fp_packet &pkt, std::string *trace,
                                          const char *label) {
    StageResult r;
    FilterEntry *fe = nullptr;
    const PolicyProgram *prog = program_of(filter, &fe);
    if (!prog)
        return r;
    if (pkt.family == 6 && ipv4_policy_stage(label) && fp_program_tests_addresses(prog)) {
        if (trace)
            *trace += std::string(" ") + label + "[" + std::to_string(filter) + "]:ipv4-only";
        return r;
    }
    fp_filter_mark_active(*fe);
    int64_t idx = eval_(prog, pkt.field.data());
    uint32_t n_entries = 0;
    uint8_t *entry = fp_action_entry(prog, idx, &n_entries);
    auto key = std::make_pair(filter, fp_load(fe->hw_index));
    fp_filter_stats &st = stats_[key];
    if (st.hits.empty()) {
        st.filter = filter;
        st.name.assign(prog->name, strnlen(prog->name, sizeof prog->name));
        st.hits.assign(n_entries, 0);
        st.record_text.resize(n_entries);
        for (uint32_t i = 0; i < n_entries; ++i) {
            uint8_t *e = fp_action_entry(prog, i);
            auto *rec = reinterpret_cast<ActionRecord *>(e);
            st.record_text[i] = (rec->flags & PLX_ACTION_FLAG_DEFAULT ? "default " : "") +
                                fp_action_text(e + sizeof(ActionRecord));
        }
    }
    ++st.evaluated;
    r.ran = true;
    if (!entry) {
        if (trace)
            *trace += std::string(" ") + label + "[" + std::to_string(filter) + "]:error";
        return r;
    }
    if (static_cast<size_t>(idx) < st.hits.size())
        ++st.hits[idx];
    if (trace)
        *trace += std::string(" ") + label + "[" + std::to_string(filter) +
                  "]:rec=" + std::to_string(idx);
    apply_actions(entry + sizeof(ActionRecord), pkt, r, trace);
    return r;
}

void FpEngine::apply_actions(uint8_t *data, fp_packet &pkt, StageResult &r, std::string *trace) {
    for (unsigned i = 0; i < PLX_ACTION_SLOTS; ++i) {
        auto *s = plx_action_slot<ActionSlot>(data, i);
        uint32_t base = fp_load(s->base_action), type = fp_load(s->action_type);
        if (base == PLX_ACT_REJECT || type == PLX_ACT_REJECT)
            r.drop = true;
        switch (type) {
            case PLX_ACT_COUNT: {
                auto *c = plx_action_slot<CountSlot>(data, i);
                unsigned bank = fp_load(c->bank) & 1;
                atomic_add<uint64_t>(c->packets[bank], 1);
                atomic_add<uint64_t>(c->bytes[bank], pkt.length);
                break;
            }
            case PLX_ACT_POLICE: {
                auto *p = plx_action_slot<PoliceSlot>(data, i);
                unsigned bank = fp_load(p->bank) & 1;
                uint64_t now = static_cast<uint64_t>(static_cast<unsigned __int128>(pkt.time_ns) *
                                                     clock_rate_ / 1000000000ull);
                uint64_t rate = fp_load(p->rate), burst = fp_load(p->burst);
                uint64_t last = p->last_seen, tokens = p->tokens;
                uint64_t elapsed = now > last ? now - last : 0;
                tokens = tokens + elapsed > burst || tokens + elapsed < tokens ? burst
                                                                               : tokens + elapsed;
                uint64_t cost = rate * pkt.length;
                p->last_seen = now;
                if (tokens >= cost) {
                    tokens -= cost;
                    atomic_add<uint64_t>(p->bytes[bank], pkt.length);
                } else {
                    atomic_add<uint64_t>(p->drops[bank], 1);
                    if (fp_load(p->oob_action) == 0) {
                        r.drop = true;
                        r.policed_drop = true;
                        if (trace)
                            *trace += " policed:drop";
                    } else {
                        pkt.field[FPF_PLP] = 1;
                        atomic_add<uint64_t>(p->bytes[bank], pkt.length);
                        if (trace)
                            *trace += " policed:plp-high";
                    }
                }
                p->tokens = tokens;
                break;
            }
            case PLX_ACT_SET_DSCP:
                pkt.set_dscp(plx_action_slot<U8Slot>(data, i)->value);
                break;
            case PLX_ACT_SET_TRAFFIC_CLASS:
                pkt.set_traffic_class(plx_action_slot<U8Slot>(data, i)->value);
                break;
            case PLX_ACT_SET_FC: {
                int32_t fc = plx_action_slot<FcSlot>(data, i)->fc;
                pkt.field[FPF_FC] = fc < 0 ? 0 : static_cast<uint32_t>(fc);
                break;
            }
            default:
                break;
        }
    }
}

const fp_intf_acl_binding *FpEngine::intf_binding(const std::string &name) {
    const fp_binding_tables &b = t_.bindings;
    if (name.empty() || !b.intf)
        return nullptr;
    uint32_t gen = b.ctrl ? fp_load(b.ctrl->generation) : 0;
    if (gen != intf_cache_gen_) {
        intf_cache_.clear();
        intf_cache_gen_ = gen;
    }
    auto it = intf_cache_.find(name);
    if (it == intf_cache_.end()) {
        int found = -1;
        for (uint32_t i = 0; i < b.num_intf; ++i) {
            if (strncmp(b.intf[i].name, name.c_str(), FP_INTF_NAME_LEN) == 0) {
                found = static_cast<int>(i);
                break;
            }
        }
        it = intf_cache_.emplace(name, found).first;
    }
    return it->second < 0 ? nullptr : &b.intf[it->second];
}

fp_verdict FpEngine::process(fp_packet &pkt, const fp_input &in, std::string *trace) {
    uint32_t family = pkt.family == 6 ? FP_ACL_FAMILY_V6 : FP_ACL_FAMILY_V4;
    fp_verdict verdict = FP_VERDICT_FORWARD;
    auto acl_filter = [&](const fp_intf_acl_binding *b, uint8_t dir) -> uint32_t {
        if (!b || !(fp_load(b->bound) & fp_acl_bound_bit(dir, family)))
            return FP_FILTER_NONE;
        return fp_load(b->acl_filter[dir - 1][family]);
    };

    // An access list is a security boundary: one bound under the filter id that means "could not
    // be placed" (the number of filters) rejects everything until its program arrives, where a
    // policy without its program lets traffic pass.
    auto acl_drops = [&](uint32_t f, const char *label) {
        if (f == FP_FILTER_NONE)
            return false;
        if (f >= t_.num_filters) {
            if (trace)
                *trace += std::string(" ") + label + "[" + std::to_string(f) + "]:unplaced";
            return true;
        }
        return run_stage(f, pkt, trace, label).drop;
    };

    do {
        uint32_t f = acl_filter(intf_binding(in.in_if), FP_ACL_DIR_IN);
        if (acl_drops(f, "acl-in")) {
            verdict = FP_VERDICT_DROP_ACL_IN;
            break;
        }
        if (t_.bindings.vpn && in.vpn < t_.bindings.num_vpn) {
            const fp_vpn_binding &vb = t_.bindings.vpn[in.vpn];
            // The data policy of the packet's origin, then the one for all traffic, then the
            // app-route policy.
            const uint32_t data[2] = {
                in.origin == FP_DIR_ALL ? FP_FILTER_NONE : fp_vpn_data_filter(vb, in.origin),
                fp_vpn_data_filter(vb, FP_DIR_ALL)};
            bool dropped = false;
            for (uint32_t df : data) {
                if (df == FP_FILTER_NONE)
                    continue;
                StageResult r = run_stage(df, pkt, trace, "data");
                if (r.drop) {
                    verdict = r.policed_drop ? FP_VERDICT_DROP_POLICER : FP_VERDICT_DROP_POLICY;
                    dropped = true;
                    break;
                }
            }
            if (dropped)
                break;
            if (uint32_t af = fp_vpn_app_route_filter(vb); af != FP_FILTER_NONE) {
                StageResult r = run_stage(af, pkt, trace, "app-route");
                if (r.drop) {
                    verdict = r.policed_drop ? FP_VERDICT_DROP_POLICER : FP_VERDICT_DROP_APP_ROUTE;
                    break;
                }
            }
        }
        if (acl_drops(acl_filter(intf_binding(in.out_if), FP_ACL_DIR_OUT), "acl-out"))
            verdict = FP_VERDICT_DROP_ACL_OUT;
    } while (false);
    ++verdicts_[verdict];
    if (trace)
        *trace += std::string(" => ") + fp_verdict_name(verdict);
    return verdict;
}

void FpEngine::print_summary(FILE *out) const {
    fprintf(out, "Filters:\n");
    for (const auto &[key, st] : stats_) {
        fprintf(out, "filter %u (%s) block %u: evaluated %" PRIu64 "\n", st.filter, st.name.c_str(),
                key.second, st.evaluated);
        for (size_t i = 0; i < st.hits.size(); ++i)
            fprintf(out, "  record %zu: hits %" PRIu64 "  [%s]\n", i, st.hits[i],
                    st.record_text[i].c_str());
    }
    fprintf(out, "Verdicts:\n");
    uint64_t total = 0;
    for (int v = 0; v < FP_VERDICT_COUNT; ++v) {
        fprintf(out, "  %-30s %" PRIu64 "\n", kVerdictNames[v], verdicts_[v]);
        total += verdicts_[v];
    }
    fprintf(out, "  %-30s %" PRIu64 "\n", "not IP / malformed", bad_);
    fprintf(out, "  %-30s %" PRIu64 "\n", "total", total + bad_);
}
