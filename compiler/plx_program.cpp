// Operations on a placed program: counters, policer counters, action visits and the dump.
#include "compiler/plx_program.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/ip_util.h"
#include "common/qrv_util.h"

namespace {

uint32_t word_at(const uint8_t *base, uint32_t off) {
    uint32_t v;
    std::memcpy(&v, base + off, 4);
    return v;
}

// Calls fn(entry) for every action entry of the program.
template <typename Fn>
void for_each_action(const PolicyProgram *prog, Fn &&fn) {
    const auto *base = reinterpret_cast<const uint8_t *>(prog);
    const auto *dir = reinterpret_cast<const ProgramDirEntry *>(base + PLX_PROGRAM_HEADER_SIZE);
    for (uint32_t d = 0; d < prog->n_dir_entries; ++d) {
        uint32_t off = dir[d].offset;
        if ((word_at(base, off) & 0xFF) != PLX_TABLE_ACTION)
            continue;
        off += 4;
        if ((reinterpret_cast<uintptr_t>(base) + off) % 8)
            off += 4;
        for (uint32_t e = 0; e < dir[d].n_entries; ++e) {
            const auto *rec = reinterpret_cast<const ActionRecord *>(base + off);
            fn(const_cast<uint8_t *>(base + off));
            if (rec->length == 0)
                break;  // a zero length would never advance
            off += rec->length;
        }
    }
}

bool name_is(const char *slot_name, const char *name) {
    return std::strncmp(slot_name, name, PLX_ACTION_NAME_LEN) == 0;
}

template <typename Fn>
void for_each_slot(const PolicyProgram *prog, uint32_t type, Fn &&fn) {
    for_each_action(prog, [&](uint8_t *entry) {
        const auto *rec = reinterpret_cast<const ActionRecord *>(entry);
        uint32_t nslots = (rec->length - sizeof(ActionRecord)) / PLX_ACTION_SLOT_SIZE;
        uint8_t *data = entry + sizeof(ActionRecord);
        for (uint32_t i = 0; i < nslots && i < PLX_ACTION_SLOTS; ++i) {
            if (plx_action_slot<ActionSlot>(data, i)->action_type == type)
                fn(data + i * PLX_ACTION_SLOT_SIZE);
        }
    });
}

void write_stdout(void *, const char *text) {
    std::fputs(text, stdout);
}

}  // namespace

const char *plx_action_name(uint32_t code) {
    return qrv_action_name(code);
}

void plx_program_sum_counters(const PolicyProgram *prog, const char *name, uint64_t *packets,
                              uint64_t *bytes) {
    for_each_slot(prog, PLX_ACT_COUNT, [&](uint8_t *p) {
        const auto *s = reinterpret_cast<const CountSlot *>(p);
        if (!name_is(s->name, name))
            return;
        *packets += s->packets[s->bank & 1];
        *bytes += s->bytes[s->bank & 1];
    });
}

void plx_program_clear_counters(PolicyProgram *prog, const char *name) {
    for_each_slot(prog, PLX_ACT_COUNT, [&](uint8_t *p) {
        auto *s = reinterpret_cast<CountSlot *>(p);
        if (!name_is(s->name, name))
            return;
        uint8_t old = s->bank & 1;
        s->bank = old ^ 1;
        s->packets[old] = 0;
        s->bytes[old] = 0;
    });
}

void plx_program_sum_policer_counters(const PolicyProgram *prog, const char *name, uint64_t *drops,
                                      uint64_t *bytes) {
    for_each_slot(prog, PLX_ACT_POLICE, [&](uint8_t *p) {
        const auto *s = reinterpret_cast<const PoliceSlot *>(p);
        if (!name_is(s->name, name))
            return;
        *drops += s->drops[s->bank & 1];
        *bytes += s->bytes[s->bank & 1];
    });
}

void plx_program_clear_policer_counters(PolicyProgram *prog, const char *name) {
    for_each_slot(prog, PLX_ACT_POLICE, [&](uint8_t *p) {
        auto *s = reinterpret_cast<PoliceSlot *>(p);
        if (!name_is(s->name, name))
            return;
        uint8_t old = s->bank & 1;
        s->bank = old ^ 1;
        s->drops[old] = 0;
        s->bytes[old] = 0;
    });
}

void plx_program_visit_actions(PolicyProgram *prog, void *arg, plx_action_visit_fn fn) {
    for_each_action(prog, [&](uint8_t *entry) { fn(entry + sizeof(ActionRecord), arg); });
}

void plx_printf(const PlxPrinter &out, const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    (out.write ? out.write : write_stdout)(out.arg, buf);
}

namespace {

const char *addr_text(const SlotAddr &a) {
    plx_ip_addr ip;
    std::memcpy(ip.addr, a.addr, sizeof ip.addr);
    ip.family = a.family;
    return plx_ip_to_str(&ip);
}

// Copies a slot out of the action data so that it is read through one type only.
template <typename Slot>
Slot slot_copy(const uint8_t *p) {
    Slot s;
    std::memcpy(&s, p, sizeof s);
    return s;
}

void print_slot_params(const PlxPrinter &out, uint32_t type, const uint8_t *p) {
    switch (type) {
        case PLX_ACT_SET_TLOC: {
            auto s = slot_copy<TlocSlot>(p);
            plx_printf(out, "\tresolved: %d\n", s.resolved);
            plx_printf(out, "\tvpn-label: %d\n", static_cast<int>(s.vpn_label));
            plx_printf(out, "\ttloc-index: %d\n", s.tloc_index);
            break;
        }
        case PLX_ACT_SET_TLOC_COLOR_ENCAP: {
            auto s = slot_copy<ColorEncapSlot>(p);
            plx_printf(out, "\tcolor: 0x%x\n", s.color);
            plx_printf(out, "\tencap: 0x%x\n", s.encap);
            break;
        }
        case PLX_ACT_MIRROR: {
            auto s = slot_copy<MirrorSlot>(p);
            plx_printf(out, "\tsrc-ip: %s\n", addr_text(s.src));
            plx_printf(out, "\tdst-ip: %s\n", addr_text(s.dst));
            break;
        }
        case PLX_ACT_POLICE: {
            auto s = slot_copy<PoliceSlot>(p);
            char name[PLX_ACTION_NAME_LEN + 1] = {};
            std::memcpy(name, s.name, PLX_ACTION_NAME_LEN);
            uint8_t bank = s.bank & 1;
            plx_printf(out, "\t%11s %s\n", "name:", name);
            plx_printf(out, "\t%11s %#016lx\n", "rate:", static_cast<unsigned long>(s.rate));
            plx_printf(out, "\t%11s %#016lx\n", "burst:", static_cast<unsigned long>(s.burst));
            plx_printf(out, "\t%11s %s\n", "oob-action:", s.oob_action ? "plp-high" : "drop");
            plx_printf(out, "\t%11s %#016lx\n",
                       "Last Seen:", static_cast<unsigned long>(s.last_seen));
            plx_printf(out, "\t%11s %#016lx\n", "Tokens:", static_cast<unsigned long>(s.tokens));
            plx_printf(out, "\t%11s %#016lx\n",
                       "Drops:", static_cast<unsigned long>(s.drops[bank]));
            plx_printf(out, "\t%11s %#016lx\n",
                       "Bytes:", static_cast<unsigned long>(s.bytes[bank]));
            break;
        }
        case PLX_ACT_COUNT: {
            auto s = slot_copy<CountSlot>(p);
            char name[PLX_ACTION_NAME_LEN + 1] = {};
            std::memcpy(name, s.name, PLX_ACTION_NAME_LEN);
            plx_printf(out, "  %s\n", name);
            break;
        }
        case PLX_ACT_SET_FC:
            plx_printf(out, "  %d\n", slot_copy<FcSlot>(p).fc);
            break;
        case PLX_ACT_SET_NEXT_HOP:
            plx_printf(out, "\tnext-hop: %s\n", addr_text(slot_copy<AddrSlot>(p).addr));
            break;
        case PLX_ACT_SET_NAT_USE_VPN:
            plx_printf(out, "\tnat use-vpn (vrid): %u\n", slot_copy<NatVpnSlot>(p).vrid);
            break;
        case PLX_ACT_SLA_CLASS: {
            auto s = slot_copy<SlaClassSlot>(p);
            plx_printf(out, "\tprimary: %d\n", s.primary);
            plx_printf(out, "\tbackup: %d\n", s.backup);
            plx_printf(out, "\tpreferred_color: 0x%x\n", s.preferred_color);
            break;
        }
        case PLX_ACT_TLOC_LIST: {
            auto s = slot_copy<TlocListSlot>(p);
            for (const TlocListEntry &t : s.tlocs) {
                plx_printf(out, "\tresolved: %d\n", t.resolved);
                plx_printf(out, "\tvpn-label: %d\n", static_cast<int>(t.vpn_label));
                plx_printf(out, "\ttloc-index: %d\n", t.tloc_index);
            }
            break;
        }
        case PLX_ACT_SET_DSCP:
            plx_printf(out, "\tdscp: %u\n", slot_copy<U8Slot>(p).value);
            break;
        case PLX_ACT_SET_SVC_TYPE:
            plx_printf(out, "\tsvc-type: %d\n", slot_copy<U8Slot>(p).value);
            break;
        case PLX_ACT_SET_NAT_POOL:
            plx_printf(out, "\tnat pool-id: %u\n", slot_copy<U32Slot>(p).value);
            break;
        case PLX_ACT_LOG:
            plx_printf(out, "\tLog\n");
            break;
        case PLX_ACT_SET_SVC_LOCAL:
            plx_printf(out, "\tSvc-Local\n");
            break;
        case PLX_ACT_SET_SVC_LOCAL_STRICT:
            plx_printf(out, "\tSvc-Local-Strict\n");
            break;
        case PLX_ACT_SET_BACKUP_COLOR:
            plx_printf(out, "\tBackup preferred color: 0x%x\n", slot_copy<U32Slot>(p).value);
            break;
        case PLX_ACT_SET_TRAFFIC_CLASS:
            plx_printf(out, "\tTraffic-Class: %u\n", slot_copy<U8Slot>(p).value);
            break;
        case PLX_ACT_SET_LOCAL_TLOC_LIST: {
            auto s = slot_copy<LocalTlocListSlot>(p);
            plx_printf(out, "\tColor Mask: 0x%x, Encap Mask: 0x%x, Restrict: %s\n", s.color_mask,
                       s.encap_mask, s.restrict_ ? "Yes" : "No");
            break;
        }
        case PLX_ACT_TCP_OPT:
            plx_printf(out, "\tTCP Optimization\n");
            break;
        case PLX_ACT_FALLBACK:
            plx_printf(out, "\tFallback\n");
            break;
        case PLX_ACT_REDIRECT_DNS:
            plx_printf(out, "\tRedirect DNS next-hop: %s\n",
                       addr_text(slot_copy<AddrSlot>(p).addr));
            break;
        default:
            break;
    }
}

}  // namespace

void plx_print_action_slots(const PlxPrinter &out, const uint8_t *action_data) {
    for (unsigned i = 0; i < PLX_ACTION_SLOTS; ++i) {
        const uint8_t *p = action_data + i * PLX_ACTION_SLOT_SIZE;
        auto head = slot_copy<ActionSlot>(p);
        if (head.action_type) {
            const char *name = plx_action_name(head.action_type);
            plx_printf(out, "%s\n", name ? name : "--");
            print_slot_params(out, head.action_type, p);
        } else if (head.base_action) {
            const char *name = plx_action_name(head.base_action);
            plx_printf(out, "%s\n", name ? name : "--");
        }
    }
}

void plx_program_dump(const PolicyProgram *prog, const PlxPrinter &out, bool print_slots) {
    const auto *base = reinterpret_cast<const uint8_t *>(prog);
    plx_printf(out, "length = %d \n", static_cast<int>(prog->length));
    plx_printf(out, "(field type, ec) map size = %d \n", static_cast<int>(prog->field_map_count));
    for (uint32_t i = 0; i < prog->field_map_count && i < 32; ++i) {
        plx_printf(out, "Entry %d: field type = %d, ec_id = %d \n", static_cast<int>(i),
                   prog->field_map[i].field_id, prog->field_map[i].table_id);
    }
    plx_printf(out, "Table dir length = %d \n", static_cast<int>(prog->n_dir_entries));
    plx_printf(out, "n instructions = %d \n", static_cast<int>(prog->n_instructions));
    const auto *dir = reinterpret_cast<const ProgramDirEntry *>(base + PLX_PROGRAM_HEADER_SIZE);
    for (uint32_t d = 0; d < prog->n_dir_entries; ++d) {
        uint32_t off = dir[d].offset;
        uint32_t kind = word_at(base, off) & 0xFF;
        off += 4;
        if (kind == PLX_TABLE_LOOKUP) {
            plx_printf(out, "Lookup Table:  \n");
            const auto *e = reinterpret_cast<const LookupEntry *>(base + off);
            for (uint32_t i = 0; i < dir[d].n_entries; ++i) {
                plx_printf(out, "Entry %d: [%d - ", static_cast<int>(i), static_cast<int>(e[i].lo));
                plx_printf(out, "%d] -> ", static_cast<int>(e[i].hi));
                plx_printf(out, "%d\n", static_cast<int>(e[i].ec_id));
            }
        } else if (kind == PLX_TABLE_ACTION) {
            plx_printf(out, "Action Table:  \n");
            if ((reinterpret_cast<uintptr_t>(base) + off) % 8)
                off += 4;
            for (uint32_t i = 0; i < dir[d].n_entries; ++i) {
                const auto *rec = reinterpret_cast<const ActionRecord *>(base + off);
                plx_printf(out, "flags = 0x%x \n", rec->flags);
                plx_printf(out, "length = %d \n", static_cast<int>(rec->length));
                if (print_slots && rec->length >= sizeof(ActionRecord) + PLX_ACTION_DATA_SIZE)
                    plx_print_action_slots(out, base + off + sizeof(ActionRecord));
                if (rec->length == 0)
                    break;
                off += rec->length;
            }
        }
        plx_printf(out, "\n");
    }
}

std::string plx_program_dump_string(const PolicyProgram *prog, bool print_slots) {
    std::string s;
    PlxPrinter out{
        [](void *arg, const char *text) { static_cast<std::string *>(arg)->append(text); }, &s};
    plx_program_dump(prog, out, print_slots);
    return s;
}
