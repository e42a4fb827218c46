#include "peers/fpeval/fp_eval.h"

#include <cstring>

namespace {

inline const uint32_t *words(const PolicyProgram *p) {
    return reinterpret_cast<const uint32_t *>(p);
}

// Searches the tree of lookup table `id`; returns false when v lies in no interval.
inline bool lookup(const PolicyProgram *prog, uint32_t id, uint32_t v, uint32_t *ec) {
    const uint32_t *e = words(prog) + prog->table_base[id];
    uint32_t at = 0;
    for (;;) {
        const uint32_t *n = e + at;
        if (v < n[0])
            at = n[3];
        else if (v >= n[1])
            at = n[4];
        else {
            *ec = n[2];
            return true;
        }
        if (at == 0)
            return false;
    }
}

}  // namespace

FpEvalResult fp_eval(const PolicyProgram *prog, const FpPacket &pkt) {
    FpEvalResult res;
    uint32_t reg[16] = {};
    const uint32_t *ins =
        words(prog) + (PLX_PROGRAM_HEADER_SIZE + sizeof(ProgramDirEntry) * prog->n_dir_entries) / 4;
    for (uint32_t i = 0; i < prog->n_instructions; ++i) {
        uint32_t w = ins[i];
        uint32_t a = plx_insn_a(w), b = plx_insn_b(w);
        switch (plx_insn_op(w)) {
            case PLX_OP_LOOKUP: {
                uint32_t v;
                if (plx_insn_mode(w) == PLX_MODE_LEAF) {
                    uint32_t f = prog->table_field[a];
                    v = f <= PLX_NUM_FIELDS ? pkt.field[f] : 0;
                } else {
                    v = reg[a];
                }
                // The interval set tiles 0..0xFFFFFFFE; a field value of 0xFFFFFFFF (an all-ones
                // address) is looked up as 0xFFFFFFFE, which is exact unless a rule's range ends
                // at 0xFFFFFFFE or starts at 0xFFFFFFFF.
                if (!lookup(prog, plx_insn_c(w), v, &reg[b]) &&
                    !(v == 0xFFFFFFFF && lookup(prog, plx_insn_c(w), v - 1, &reg[b]))) {
                    res.status = FP_EVAL_NO_INTERVAL;
                    return res;
                }
                break;
            }
            case PLX_OP_MUL:
                reg[b] = reg[a] * plx_insn_imm16(w);
                break;
            case PLX_OP_ADD:
                reg[b] = reg[a] + reg[b];
                break;
            case PLX_OP_FINAL: {
                const auto *dir = reinterpret_cast<const ProgramDirEntry *>(
                    reinterpret_cast<const uint8_t *>(prog) + PLX_PROGRAM_HEADER_SIZE);
                const ProgramDirEntry &act = dir[prog->n_dir_entries - 1];
                uint32_t ec = reg[a];
                if (ec >= act.n_entries)
                    return res;
                res.status = FP_EVAL_OK;
                res.index = ec;
                res.record = reinterpret_cast<const ActionRecord *>(
                    reinterpret_cast<const uint8_t *>(prog) + size_t{prog->action_offset} * 4 +
                    size_t{ec} * act.entry_size);
                return res;
            }
            default:
                return res;
        }
    }
    return res;
}

const char *fp_validate(std::span<const uint8_t> bytes) {
    const size_t size = bytes.size();
    if (size < PLX_PROGRAM_HEADER_SIZE)
        return "shorter than the program header";
    if (reinterpret_cast<uintptr_t>(bytes.data()) % 8)
        return "program not 8-byte aligned";
    const auto *prog = reinterpret_cast<const PolicyProgram *>(bytes.data());
    if (prog->length > size)
        return "length field exceeds the data";
    const uint64_t len = prog->length;
    // Instructions name tables in 4-bit operands: ids 1 to 15, so at most 15 lookup tables.
    if (prog->n_dir_entries < 2 || prog->n_dir_entries > PLX_MAX_TABLE_ID + 1)
        return "bad number of directory entries";
    uint64_t ins_off = PLX_PROGRAM_HEADER_SIZE + uint64_t{24} * prog->n_dir_entries;
    if (ins_off + 4ull * prog->n_instructions > len)
        return "instructions beyond the program";
    const uint8_t *base = bytes.data();
    const auto *dir = reinterpret_cast<const ProgramDirEntry *>(base + PLX_PROGRAM_HEADER_SIZE);

    // Lookup tables: every table the instructions name must be a well-formed tree.
    bool table_ok[16] = {};
    for (uint32_t d = 0; d + 1 < prog->n_dir_entries; ++d) {
        const ProgramDirEntry &de = dir[d];
        if (de.offset % 4 || de.offset + 4ull + 20ull * de.n_entries > len || de.n_entries == 0)
            return "lookup table beyond the program";
        uint32_t head;
        std::memcpy(&head, base + de.offset, 4);
        uint32_t id = head >> 8;
        if ((head & 0xFF) != PLX_TABLE_LOOKUP || id == 0)
            return "bad lookup table header";
        if (id > PLX_MAX_TABLE_ID)
            return "lookup table id above 15, beyond the instructions' 4-bit operands";
        if (prog->table_base[id] != de.offset / 4 + 1)
            return "table base disagrees with the directory";
        const auto *e = reinterpret_cast<const LookupEntry *>(base + de.offset + 4);
        for (uint32_t i = 0; i < de.n_entries; ++i) {
            for (uint32_t link : {e[i].left, e[i].right}) {
                if (link % 5 || link / 5 >= de.n_entries || (link && link / 5 <= i))
                    return "bad lookup tree link";
            }
        }
        table_ok[id] = true;
    }
    const ProgramDirEntry &act = dir[prog->n_dir_entries - 1];
    uint32_t head;
    if (act.offset % 4 || act.offset + 4ull > len)
        return "action table beyond the program";
    std::memcpy(&head, base + act.offset, 4);
    if ((head & 0xFF) != PLX_TABLE_ACTION)
        return "bad action table header";
    if (act.entry_size < sizeof(ActionRecord) || act.entry_size % 8)
        return "bad action entry size";
    if (uint64_t{prog->action_offset} * 4 + uint64_t{act.n_entries} * act.entry_size > len ||
        prog->action_offset * 4ull < act.offset + 4ull)
        return "action entries beyond the program";

    const auto *ins = reinterpret_cast<const uint32_t *>(base + ins_off);
    bool final_seen = false;
    for (uint32_t i = 0; i < prog->n_instructions; ++i) {
        uint32_t w = ins[i];
        switch (plx_insn_op(w)) {
            case PLX_OP_LOOKUP:
                if (!table_ok[plx_insn_c(w)])
                    return "instruction names a missing table";
                if (plx_insn_mode(w) == PLX_MODE_LEAF &&
                    prog->table_field[plx_insn_a(w)] > PLX_NUM_FIELDS)
                    return "leaf table reads an unknown field";
                break;
            case PLX_OP_MUL:
            case PLX_OP_ADD:
                break;
            case PLX_OP_FINAL:
                final_seen = i + 1 == prog->n_instructions;
                break;
            default:
                return "unknown opcode";
        }
    }
    if (!final_seen)
        return "program does not end with the final instruction";
    return nullptr;
}
