#include "policy/plx_process_rules.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "common/plx_log.h"
#include "common/plx_status.h"
#include "policy/plx_process_fold.h"

using namespace plx::cfg;

uint32_t plx_match_field(uint32_t match_type) {
    switch (match_type) {
        case PLX_MATCH_PROTOCOL:
            return PLX_FIELD_PROTOCOL;
        case PLX_MATCH_SRC_PORT:
            return PLX_FIELD_SRC_PORT;
        case PLX_MATCH_DST_PORT:
            return PLX_FIELD_DST_PORT;
        case PLX_MATCH_SRC_ADDR:
            return PLX_FIELD_SRC_ADDR;
        case PLX_MATCH_DST_ADDR:
            return PLX_FIELD_DST_ADDR;
        case PLX_MATCH_DSCP:
            return PLX_FIELD_DSCP;
        case PLX_MATCH_FC:
            return PLX_FIELD_FC;
        case PLX_MATCH_TCP:
            return PLX_FIELD_TCP;
        case PLX_MATCH_PKT_LEN:
            return PLX_FIELD_PKT_LEN;
        case PLX_MATCH_APP:
            return PLX_FIELD_APP;
        case PLX_MATCH_APP_FAMILY:
            return PLX_FIELD_APP_FAMILY;
        case PLX_MATCH_ANY:
            return PLX_FIELD_MATCH_ANY;
        case PLX_MATCH_TRAFFIC_CLASS:
            return PLX_FIELD_TRAFFIC_CLASS;
        case PLX_MATCH_NEXT_HEADER:
            return PLX_FIELD_NEXT_HEADER;
        case PLX_MATCH_PLP:
            return PLX_FIELD_PLP;
        case PLX_MATCH_DNS_APP:
            return PLX_FIELD_DNS_APP;
        case PLX_MATCH_DNS_APP_FAMILY:
            return PLX_FIELD_DNS_APP_FAMILY;
        case PLX_MATCH_DNS:
            return PLX_FIELD_DNS;
        default:
            return 0;
    }
}

uint64_t plx_policer_ticks_per_byte(uint64_t clock_rate, uint64_t rate_bps) {
    if (rate_bps == 0)
        return std::numeric_limits<uint64_t>::max();
    if (rate_bps >= 8)
        return clock_rate / (rate_bps / 8);
    unsigned __int128 t = static_cast<unsigned __int128>(clock_rate) * 8 / rate_bps;
    return t > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
                                                    : static_cast<uint64_t>(t);
}

namespace {

void set_head(ActionSlot &s, const config_action &a) {
    s.base_action = a.value;
    s.action_type = a.action_type;
}

void copy_addr(SlotAddr &out, const plx_ip_addr &ip) {
    memcpy(out.addr, ip.addr, sizeof out.addr);
    out.family = ip.family == PLX_AF_IPV4 ? PLX_AF_IPV4 : PLX_AF_IPV6;
}

void copy_name(char (&out)[PLX_ACTION_NAME_LEN], std::string_view name) {
    size_t n = std::min(name.size(), size_t{PLX_ACTION_NAME_LEN - 1});
    memcpy(out, name.data(), n);
}

bool tloc_usable(const tloc *t) {
    return t && t->resolved && t->status == 1;
}

// Fills one slot from one action.
void fill_slot(ActionSlot &raw, const config_action &a, uint32_t seq_id, uint64_t clock_rate) {
    set_head(raw, a);
    auto *bytes = reinterpret_cast<uint8_t *>(&raw);
    switch (a.action_type) {
        case PLX_ACTION_SET_TLOC: {
            auto *s = reinterpret_cast<TlocSlot *>(bytes);
            const tloc *t = a.set_tloc.p_tloc;
            s->tloc_index = t ? static_cast<int32_t>(t->index) : 0;
            s->vpn_label = a.set_tloc.label;
            s->resolved = tloc_usable(t) ? 1 : 0;
            break;
        }
        case PLX_ACTION_SET_TLOC_COLOR_ENCAP: {
            auto *s = reinterpret_cast<ColorEncapSlot *>(bytes);
            s->color = a.colors.color_bits;
            s->encap = a.colors.encap_bits;
            break;
        }
        case PLX_ACTION_MIRROR: {
            auto *s = reinterpret_cast<MirrorSlot *>(bytes);
            s->kind = a.mirror.kind;
            if (!a.mirror.remote_dests.empty()) {
                copy_addr(s->src, a.mirror.remote_dests.front().source);
                copy_addr(s->dst, a.mirror.remote_dests.front().destination);
            }
            break;
        }
        case PLX_ACTION_POLICE: {
            auto *s = reinterpret_cast<PoliceSlot *>(bytes);
            uint64_t ticks = plx_policer_ticks_per_byte(clock_rate, a.police.params.rate);
            s->rate = ticks;
            s->burst = ticks * a.police.params.burst;
            s->oob_action = a.police.params.exceed;
            s->flags |= 2;
            copy_name(s->name, std::to_string(seq_id) + "." + std::string(a.police.name.view()));
            break;
        }
        case PLX_ACTION_COUNT:
            copy_name(reinterpret_cast<CountSlot *>(bytes)->name, a.counter_name.view());
            break;
        case PLX_ACTION_SET_FC:
            reinterpret_cast<FcSlot *>(bytes)->fc = static_cast<int32_t>(a.fc.class_id);
            break;
        case PLX_ACTION_SET_NEXT_HOP:
        case PLX_ACTION_REDIRECT_DNS:
            copy_addr(reinterpret_cast<AddrSlot *>(bytes)->addr, a.ip);
            break;
        case PLX_ACTION_SET_NAT_USE_VPN:
            reinterpret_cast<NatVpnSlot *>(bytes)->vrid = a.vrf_id;
            break;
        case PLX_ACTION_SLA_CLASS: {
            auto *s = reinterpret_cast<SlaClassSlot *>(bytes);
            s->primary = a.sla.id;
            s->backup = a.sla.strict ? 5 : 0;
            s->preferred_color = a.sla.pref_color;
            break;
        }
        case PLX_ACTION_TLOC_LIST:
            plx_tloc_list_slot(a, *reinterpret_cast<TlocListSlot *>(bytes));
            break;
        case PLX_ACTION_SET_DSCP:
        case PLX_ACTION_SET_SVC_TYPE:
        case PLX_ACTION_SET_TRAFFIC_CLASS:
            reinterpret_cast<U8Slot *>(bytes)->value = a.u8_value;
            break;
        case PLX_ACTION_SET_NAT_POOL:
            reinterpret_cast<U32Slot *>(bytes)->value = a.u32_value;
            break;
        case PLX_ACTION_SET_BACKUP_PREF_COLOR:
            reinterpret_cast<U32Slot *>(bytes)->value = a.colors.color_bits;
            break;
        case PLX_ACTION_SET_LOCAL_TLOC_LIST: {
            auto *s = reinterpret_cast<LocalTlocListSlot *>(bytes);
            s->color_mask = a.colors.color_bits;
            s->encap_mask = a.colors.encap_bits;
            s->restrict_ = a.colors.restrict_flag;
            break;
        }
        default:  // the verb, flow export, log, service-local, TCP optimization, fallback
            break;
    }
}

}  // namespace

void plx_default_action_block(const config_action &def, ActionData &out) {
    out = ActionData{};
    ActionSlot &s = out.slot[0];
    set_head(s, def);
    if (def.action_type == PLX_ACTION_SLA_CLASS) {
        auto *sla = reinterpret_cast<SlaClassSlot *>(&s);
        sla->primary = def.sla.id;
        sla->backup = def.sla.strict ? 5 : 0;
        sla->preferred_color = def.sla.pref_color;
    }
}

bool plx_rule_action_block(const rule &r, uint64_t clock_rate, ActionData &out,
                           std::string *reason) {
    out = ActionData{};
    unsigned used = 0;
    for (const config_action &a : r.actions) {
        if (a.action_type == PLX_ACTION_SET_FC && a.fc.unresolved)
            continue;
        if (used == PLX_ACTION_SLOTS) {
            if (reason)
                *reason = "sequence " + std::to_string(r.seq_id) + " has more than " +
                          std::to_string(PLX_ACTION_SLOTS) + " actions";
            return false;
        }
        fill_slot(out.slot[used++], a, r.seq_id, clock_rate);
    }
    // The forwarding plane looks for the policer in slot 1.
    for (unsigned i = 2; i < used; ++i) {
        if (out.slot[i].action_type == PLX_ACTION_POLICE) {
            std::swap(out.slot[1], out.slot[i]);
            break;
        }
    }
    return true;
}

void plx_tloc_list_slot(const config_action &a, TlocListSlot &slot) {
    constexpr uint32_t N = PLX_TLOC_LIST_MAX;
    std::fill(std::begin(slot.tlocs), std::end(slot.tlocs), TlocListEntry{});

    std::vector<const tloc_list_action_entry *> eligible;
    bool have_pref = false;
    uint32_t pref = 0;
    for (uint32_t i = 0; i < a.tloc_list.count && i < N; ++i) {
        const tloc_list_action_entry &e = a.tloc_list.entries[i];
        if (!tloc_usable(e.p_tloc) || e.label == 0)
            continue;
        if (have_pref && e.preference < pref)
            continue;
        if (!have_pref) {
            have_pref = true;
            pref = e.preference;
        }
        eligible.push_back(&e);
    }
    if (eligible.empty())
        return;

    uint32_t pos = 0;
    auto put = [&](const tloc_list_action_entry *e) {
        slot.tlocs[pos++] = TlocListEntry{static_cast<int32_t>(e->p_tloc->index), e->label, 1, {}};
    };
    uint64_t total = 0;
    bool equal = true;
    for (const auto *e : eligible) {
        put(e);
        total += e->p_tloc->weight;
        equal = equal && e->p_tloc->weight == eligible.front()->p_tloc->weight;
    }

    if (!equal) {
        // Each TLOC's share of the 16 positions follows its weight; it already holds one.
        std::stable_sort(eligible.begin(), eligible.end(), [](const auto *x, const auto *y) {
            return x->p_tloc->weight > y->p_tloc->weight;
        });
        for (const auto *e : eligible) {
            uint64_t share = uint64_t{e->p_tloc->weight} * N / total;
            for (uint64_t k = 1; k < share && pos < N; ++k)
                put(e);
        }
    }
    size_t i = 0;
    while (pos < N) {  // put() advances pos
        put(eligible[i]);
        i = (i + 1) % eligible.size();
    }
}

int plx_rules_ruletable_build(plx_compiler_ctx *cc, const char *name, const char *alias,
                              const ActionData &default_block, const rule_list &rules,
                              uint64_t clock_rate, PlxRuleTablePtr &out, std::string *reason,
                              void (*between_rules)(void *), void *arg) {
    out.reset();
    ActionData block = default_block;
    // Every packet carries MATCH_ANY = 1: when every sequence tests another field as well, the
    // field decides nothing and leaving it out saves one of the few fields a program can test.
    // (Kept, it is kept in every sequence: a sequence without it would split its classes.)
    const bool skip_match_any = std::all_of(rules.begin(), rules.end(), [](const rule &r) {
        return std::any_of(r.matches.begin(), r.matches.end(),
                           [](const match_cond &c) { return c.field_type != PLX_MATCH_ANY; });
    });
    // A program holds at most PLX_MAX_TESTED_FIELDS fields. Beyond that, conditions on the
    // fields the forwarding plane derives from another one are folded into that one; rule tables
    // within the limit are built as they stand.
    const bool fold = plx_fold_needed(plx_fold_tested_fields(rules, skip_match_any));
    const std::span<const uint32_t> families =
        fold ? plx_fold_family_table() : std::span<const uint32_t>{};
    PlxRuleTablePtr table;
    try {
        table.reset(plx_ruletable_create(name, alias, PLX_ACTION_DATA_SIZE, &block));
        if (!table)
            return PLX_ENOMEM;
        for (const rule &r : rules) {
            if (plx_config_rule_matches_nothing(r))
                continue;
            char seq[16];
            snprintf(seq, sizeof seq, "%u", r.seq_id);
            plx_rule *pr = plx_ruletable_add_rule(table.get(), seq);
            if (!pr) {
                plx_compiler_reset(cc);
                return PLX_ENOMEM;
            }
            uint32_t folded = 0;  // application fields whose folded condition is added
            for (const match_cond &c : r.matches) {
                if (skip_match_any && c.field_type == PLX_MATCH_ANY)
                    continue;
                uint32_t field = plx_match_field(c.field_type);
                PLX_ASSERT(field != 0);
                const uint32_t app = plx_fold_target(field);
                if (fold && (app == PLX_FIELD_APP || app == PLX_FIELD_DNS_APP)) {
                    // The rule's whole condition on the application field, at its first use.
                    if (folded & 1u << app)
                        continue;
                    folded |= 1u << app;
                    uint32_t table_id = plx_field_get_table(cc, app);
                    for (auto [lo, hi] : plx_fold_rule_apps(r, app, families))
                        plx_field_add_range(cc, pr, table_id, lo, hi);
                    continue;
                }
                uint32_t table_id = plx_field_get_table(cc, field);
                if (field == PLX_FIELD_SRC_ADDR || field == PLX_FIELD_DST_ADDR) {
                    std::array<uint8_t, 4> addr = c.addr();
                    plx_field_add_prefix(cc, pr, table_id, addr.data(), c.high);
                } else {
                    plx_field_add_range(cc, pr, table_id, c.low, c.high);
                }
            }
            if (!plx_rule_action_block(r, clock_rate, block, reason)) {
                plx_compiler_reset(cc);
                return PLX_EINVAL;
            }
            plx_ruletable_set_action(pr, PLX_ACTION_DATA_SIZE, &block);
            if (between_rules)
                between_rules(arg);
        }
    } catch (const std::bad_alloc &) {
        plx_compiler_reset(cc);
        return PLX_ENOMEM;
    }
    out = std::move(table);
    return PLX_OK;
}

int plx_policy_ruletable_build(plx_compiler_ctx *cc, const policy &p, const policy_vpn_list &v,
                               uint64_t clock_rate, PlxRuleTablePtr &out, std::string *reason,
                               void (*between_rules)(void *), void *arg) {
    ActionData block;
    plx_default_action_block(v.default_action, block);
    // The table keeps at most 127 characters of it.
    std::string alias = std::to_string(p.type) + std::string(v.name.view());
    return plx_rules_ruletable_build(cc, p.name.c_str(), alias.c_str(), block, v.rules, clock_rate,
                                     out, reason, between_rules, arg);
}

plx_compiled plx_rules_compile(plx_compiler_ctx *cc, PlxRuleTablePtr table, PlxRuleTablePtr &slot,
                               const char *nothing_tested) {
    plx_compiled out;
    const bool built = table != nullptr;
    if (built) {
        slot = std::move(table);
        int crc = PLX_COMPILE_NO_MEMORY;
        try {
            crc = plx_compile(cc, slot.get(), &out.prog, &out.len);
        } catch (const std::bad_alloc &) {
            crc = PLX_COMPILE_NO_MEMORY;
        }
        if (crc != PLX_COMPILE_OK) {
            // Only a lack of memory can pass later with the same rules; every other refusal
            // waits for the rules to change.
            out.prog = nullptr;
            out.no_memory = crc == PLX_COMPILE_NO_MEMORY;
            out.why = plx_compiler_error(cc);
            if (out.why.empty())
                out.why = plx_compile_result_name(crc);
        } else if (!out.prog) {
            out.why = nothing_tested;
        }
    }
    out.placed_id = cc->filter_id;
    plx_compiler_reset(cc);
    if (built)
        slot.reset();
    return out;
}
