// The match program: the compiled form of a policy or access list, written by the compiler into
// filter memory and executed there by the forwarding plane for every packet.
//
// A program is one contiguous block, in this order:
//   1. header (PolicyProgram, 472 bytes);
//   2. table directory: one ProgramDirEntry per lookup table, then one for the action table;
//   3. instructions, one 32-bit word each;
//   4. lookup tables, in directory order: a header word, then LookupEntry records forming a
//      binary search tree (root first, links are word offsets from the first entry);
//   5. the action table: a header word, a pad word when needed for 8-byte alignment, then one
//      action record (ActionRecord + action data) per class of the final table.
// All words are 32-bit host byte order. A "word offset" counts 4-byte units from byte 0 of the
// program. Every record below is shared byte for byte with the forwarding plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------------------------
// Fields a rule can test. The id is also what the forwarding plane uses to pick the packet value.
inline constexpr uint32_t PLX_FIELD_PROTOCOL = 1;
inline constexpr uint32_t PLX_FIELD_SRC_PORT = 2;
inline constexpr uint32_t PLX_FIELD_DST_PORT = 3;
inline constexpr uint32_t PLX_FIELD_SRC_ADDR = 4;
inline constexpr uint32_t PLX_FIELD_DST_ADDR = 5;
inline constexpr uint32_t PLX_FIELD_DSCP = 6;
inline constexpr uint32_t PLX_FIELD_FC = 7;
inline constexpr uint32_t PLX_FIELD_TCP = 8;
inline constexpr uint32_t PLX_FIELD_PKT_LEN = 9;
inline constexpr uint32_t PLX_FIELD_APP = 10;
inline constexpr uint32_t PLX_FIELD_APP_FAMILY = 11;
inline constexpr uint32_t PLX_FIELD_MATCH_ANY = 12;
inline constexpr uint32_t PLX_FIELD_TRAFFIC_CLASS = 13;
inline constexpr uint32_t PLX_FIELD_NEXT_HEADER = 14;
inline constexpr uint32_t PLX_FIELD_PLP = 15;
inline constexpr uint32_t PLX_FIELD_DNS_APP = 16;
inline constexpr uint32_t PLX_FIELD_DNS_APP_FAMILY = 17;
inline constexpr uint32_t PLX_FIELD_DNS = 18;
inline constexpr uint32_t PLX_NUM_FIELDS = 18;       // defined ids are 1..18
inline constexpr uint32_t PLX_MAX_FIELD_SLOTS = 32;  // field and table ids index 32-entry arrays
// Every packet carries this value in the MATCH_ANY field; rules match it with the range [1, 1].
inline constexpr uint32_t PLX_MATCH_ANY_VALUE = 1;

inline constexpr uint32_t PLX_MAX_REGISTERS = 32;
// Instructions name tables and registers in 4-bit operands: a program has tables 1 to 15.
inline constexpr uint32_t PLX_MAX_TABLE_ID = 15;

// ---------------------------------------------------------------------------------------------
// Header.
struct FieldMapPair {
    uint8_t field_id;
    uint8_t table_id;
};
static_assert(sizeof(FieldMapPair) == 2);

struct PolicyProgram {
    uint32_t reserved;       // 0
    uint32_t length;         // whole program, bytes
    char name[128];          // rule table name, NUL-padded
    uint32_t n_dir_entries;  // lookup tables + 1
    uint32_t n_instructions;
    uint32_t action_offset;      // word offset of the first action entry
    uint32_t table_base[32];     // by table id: word offset of the first lookup entry
    uint32_t field_map_count;    // used pairs of field_map
    FieldMapPair field_map[32];  // {field id, table id} per leaf table, ascending field id
    uint32_t table_field[32];    // by table id: field a leaf table reads; 0 otherwise
};
static_assert(sizeof(PolicyProgram) == 472);
static_assert(offsetof(PolicyProgram, length) == 4);
static_assert(offsetof(PolicyProgram, name) == 8);
static_assert(offsetof(PolicyProgram, n_dir_entries) == 136);
static_assert(offsetof(PolicyProgram, n_instructions) == 140);
static_assert(offsetof(PolicyProgram, action_offset) == 144);
static_assert(offsetof(PolicyProgram, table_base) == 148);
static_assert(offsetof(PolicyProgram, field_map_count) == 276);
static_assert(offsetof(PolicyProgram, field_map) == 280);
static_assert(offsetof(PolicyProgram, table_field) == 344);
inline constexpr uint32_t PLX_PROGRAM_HEADER_SIZE = sizeof(PolicyProgram);

// ---------------------------------------------------------------------------------------------
// Table directory.
struct ProgramDirEntry {
    uint32_t offset;  // byte offset of the table's header word from the program start
    uint32_t n_entries;
    uint32_t entry_size;  // 20 for a lookup table; the action-record length for the action table
    uint32_t reserved[3];
};
static_assert(sizeof(ProgramDirEntry) == 24);
static_assert(offsetof(ProgramDirEntry, entry_size) == 8);

// Low byte of a table's header word; a lookup table carries its table id in bits 8 and up.
inline constexpr uint32_t PLX_TABLE_LOOKUP = 1;
inline constexpr uint32_t PLX_TABLE_ACTION = 2;

// ---------------------------------------------------------------------------------------------
// Instructions: opcode 28-31, mode 24-27, A 20-23, B 16-19, C 12-15, immediate 0-15 (opcode 3).
inline constexpr uint32_t PLX_OP_LOOKUP = 1;  // mode 1: leaf lookup; mode 2: combined lookup
inline constexpr uint32_t PLX_OP_ADD = 2;     // B <- A + B
inline constexpr uint32_t PLX_OP_MUL = 3;     // B <- A * immediate
inline constexpr uint32_t PLX_OP_FINAL = 4;   // A holds the final ec_id; B is 15
inline constexpr uint32_t PLX_MODE_LEAF = 1;
inline constexpr uint32_t PLX_MODE_REG = 2;

constexpr uint32_t plx_insn(uint32_t op, uint32_t mode, uint32_t a, uint32_t b, uint32_t c) {
    return (op & 0xF) << 28 | (mode & 0xF) << 24 | (a & 0xF) << 20 | (b & 0xF) << 16 |
           (c & 0xF) << 12;
}
constexpr uint32_t plx_insn_imm(uint32_t op, uint32_t mode, uint32_t a, uint32_t b, uint32_t imm) {
    return (op & 0xF) << 28 | (mode & 0xF) << 24 | (a & 0xF) << 20 | (b & 0xF) << 16 |
           (imm & 0xFFFF);
}
constexpr uint32_t plx_insn_op(uint32_t w) {
    return w >> 28;
}
constexpr uint32_t plx_insn_mode(uint32_t w) {
    return (w >> 24) & 0xF;
}
constexpr uint32_t plx_insn_a(uint32_t w) {
    return (w >> 20) & 0xF;
}
constexpr uint32_t plx_insn_b(uint32_t w) {
    return (w >> 16) & 0xF;
}
constexpr uint32_t plx_insn_c(uint32_t w) {
    return (w >> 12) & 0xF;
}
constexpr uint32_t plx_insn_imm16(uint32_t w) {
    return w & 0xFFFF;
}
static_assert(plx_insn(1, 1, 1, 1, 1) == 0x11111000);
static_assert(plx_insn(4, 2, 1, 15, 0) == 0x421F0000);

// ---------------------------------------------------------------------------------------------
// Lookup entry: the interval [lo, hi) maps to ec_id. Search: left while v < lo, right while
// v >= hi. Links are word offsets from the table's first entry; 0 means none (the root is 0).
struct LookupEntry {
    uint32_t lo;
    uint32_t hi;
    uint32_t ec_id;
    uint32_t left;
    uint32_t right;
};
static_assert(sizeof(LookupEntry) == 20);
static_assert(offsetof(LookupEntry, right) == 16);

// ---------------------------------------------------------------------------------------------
// Actions. Codes shared by the base action (slot word 0) and the action type (slot word 1).
enum PlxActionCode : uint32_t {
    PLX_ACT_NONE = 0,
    PLX_ACT_REJECT = 1,
    PLX_ACT_ACCEPT = 2,
    PLX_ACT_SET_TLOC = 3,
    PLX_ACT_SET_TLOC_COLOR_ENCAP = 4,
    PLX_ACT_MIRROR = 5,
    PLX_ACT_CFLOWD = 6,
    PLX_ACT_POLICE = 7,
    PLX_ACT_COUNT = 8,
    PLX_ACT_SET_FC = 9,
    PLX_ACT_SET_NEXT_HOP = 10,
    PLX_ACT_SET_NAT_USE_VPN = 11,
    PLX_ACT_SLA_CLASS = 12,
    PLX_ACT_TLOC_LIST = 13,
    PLX_ACT_SET_DSCP = 14,
    PLX_ACT_SET_SVC_TYPE = 15,
    PLX_ACT_SET_NAT_POOL = 16,
    PLX_ACT_LOG = 17,
    PLX_ACT_SET_SVC_LOCAL = 18,
    PLX_ACT_SET_SVC_LOCAL_STRICT = 19,
    PLX_ACT_SET_BACKUP_COLOR = 20,
    PLX_ACT_SET_TRAFFIC_CLASS = 21,
    PLX_ACT_SET_LOCAL_TLOC_LIST = 22,
    PLX_ACT_TCP_OPT = 23,
    PLX_ACT_FALLBACK = 24,
    PLX_ACT_REDIRECT_DNS = 25,
    PLX_ACT_MAX = 25,
};

// "reject", "accept", ... for 1..25; nullptr for any other code.
const char *plx_action_name(uint32_t code);

inline constexpr uint32_t PLX_ACTION_SLOT_SIZE = 256;
inline constexpr uint32_t PLX_ACTION_SLOTS = 12;
inline constexpr uint32_t PLX_ACTION_DATA_SIZE = PLX_ACTION_SLOT_SIZE * PLX_ACTION_SLOTS;  // 3072
inline constexpr uint32_t PLX_ACTION_NAME_LEN = 64;  // counter and policer names

// An address record inside a slot: 16 address bytes (IPv4 in the first word, network order),
// the family at 16 (1 = IPv4), 4 bytes unused.
struct SlotAddr {
    uint8_t addr[16];
    uint32_t family;
    uint32_t reserved;
};
static_assert(sizeof(SlotAddr) == 24);

// Generic slot: a base action, an action type and the type's parameters from offset 64.
struct ActionSlot {
    uint32_t base_action;
    uint32_t action_type;
    uint8_t reserved[56];
    uint8_t params[192];
};
static_assert(sizeof(ActionSlot) == PLX_ACTION_SLOT_SIZE);
static_assert(offsetof(ActionSlot, params) == 64);

#define PLX_SLOT_HEAD     \
    uint32_t base_action; \
    uint32_t action_type; \
    uint8_t reserved0[56]

struct TlocSlot {  // 3 "set tloc"
    PLX_SLOT_HEAD;
    int32_t tloc_index;
    uint32_t vpn_label;
    uint8_t resolved;
    uint8_t reserved1[183];
};
struct ColorEncapSlot {  // 4 "set tloc-color-encap"
    PLX_SLOT_HEAD;
    uint32_t color;
    uint32_t encap;
    uint8_t reserved1[184];
};
struct MirrorSlot {  // 5 "mirror"
    PLX_SLOT_HEAD;
    uint32_t kind;  // 1 interfaces, 2 remote destinations, 3 both
    uint8_t reserved1[36];
    SlotAddr src;  // 104
    SlotAddr dst;  // 128
    uint8_t reserved2[104];
};
struct PoliceSlot {  // 7 "police"
    PLX_SLOT_HEAD;
    uint8_t bank;  // 64: counter bank, 0 or 1
    uint8_t reserved1[7];
    uint64_t rate;       // 72: forwarding-plane clock cycles per byte
    uint64_t burst;      // 80
    uint64_t last_seen;  // 88
    uint64_t tokens;     // 96
    uint64_t drops[2];   // 104, 112
    uint8_t reserved2[8];
    uint64_t bytes[2];               // 128, 136
    uint32_t oob_action;             // 144: 0 drop, otherwise plp-high
    uint8_t flags;                   // 148: bit 1 set
    char name[PLX_ACTION_NAME_LEN];  // 149: "%d.%s" (number, policer name)
    uint8_t reserved3[43];
};
struct CountSlot {  // 8 "count"
    PLX_SLOT_HEAD;
    uint8_t bank;  // 64
    uint8_t reserved1[7];
    uint64_t packets[2];             // 72, 80
    uint64_t bytes[2];               // 88, 96
    char name[PLX_ACTION_NAME_LEN];  // 104
    uint8_t reserved2[88];
};
struct FcSlot {  // 9 "set fc"
    PLX_SLOT_HEAD;
    int32_t fc;
    uint8_t reserved1[188];
};
struct AddrSlot {  // 10 "set next-hop", 25 "redirect-dns"
    PLX_SLOT_HEAD;
    SlotAddr addr;
    uint8_t reserved1[168];
};
struct NatVpnSlot {  // 11 "set nat use-vpn"
    PLX_SLOT_HEAD;
    uint16_t vrid;
    uint8_t reserved1[190];
};
struct SlaClassSlot {  // 12 "sla-class"
    PLX_SLOT_HEAD;
    uint8_t primary;
    uint8_t backup;
    uint8_t reserved1[2];
    uint32_t preferred_color;
    uint8_t reserved2[184];
};
struct TlocListEntry {
    int32_t tloc_index;
    uint32_t vpn_label;
    uint8_t resolved;
    uint8_t reserved[3];
};
static_assert(sizeof(TlocListEntry) == 12);
struct TlocListSlot {  // 13 "tloc-list"
    PLX_SLOT_HEAD;
    TlocListEntry tlocs[16];
};
struct U8Slot {  // 14 "set dscp", 15 "set svc-type", 21 "set traffic-class"
    PLX_SLOT_HEAD;
    uint8_t value;
    uint8_t reserved1[191];
};
struct U32Slot {  // 16 "set nat pool-id", 20 "set backup-preferred-color"
    PLX_SLOT_HEAD;
    uint32_t value;
    uint8_t reserved1[188];
};
struct LocalTlocListSlot {  // 22 "set local-tloc-list"
    PLX_SLOT_HEAD;
    uint32_t color_mask;
    uint32_t encap_mask;
    uint8_t restrict_;
    uint8_t reserved1[183];
};
#undef PLX_SLOT_HEAD

static_assert(sizeof(TlocSlot) == 256 && offsetof(TlocSlot, resolved) == 72);
static_assert(sizeof(ColorEncapSlot) == 256 && offsetof(ColorEncapSlot, encap) == 68);
static_assert(sizeof(MirrorSlot) == 256 && offsetof(MirrorSlot, src) == 104 &&
              offsetof(MirrorSlot, dst) == 128);
static_assert(sizeof(PoliceSlot) == 256 && offsetof(PoliceSlot, rate) == 72 &&
              offsetof(PoliceSlot, burst) == 80 && offsetof(PoliceSlot, last_seen) == 88 &&
              offsetof(PoliceSlot, tokens) == 96 && offsetof(PoliceSlot, drops) == 104 &&
              offsetof(PoliceSlot, bytes) == 128 && offsetof(PoliceSlot, oob_action) == 144 &&
              offsetof(PoliceSlot, flags) == 148 && offsetof(PoliceSlot, name) == 149);
static_assert(sizeof(CountSlot) == 256 && offsetof(CountSlot, bank) == 64 &&
              offsetof(CountSlot, packets) == 72 && offsetof(CountSlot, bytes) == 88 &&
              offsetof(CountSlot, name) == 104);
static_assert(sizeof(FcSlot) == 256 && offsetof(FcSlot, fc) == 64);
static_assert(sizeof(AddrSlot) == 256 && offsetof(AddrSlot, addr) == 64);
static_assert(sizeof(NatVpnSlot) == 256 && offsetof(NatVpnSlot, vrid) == 64);
static_assert(sizeof(SlaClassSlot) == 256 && offsetof(SlaClassSlot, backup) == 65 &&
              offsetof(SlaClassSlot, preferred_color) == 68);
static_assert(sizeof(TlocListSlot) == 256 && offsetof(TlocListSlot, tlocs) == 64);
static_assert(sizeof(U8Slot) == 256 && offsetof(U8Slot, value) == 64);
static_assert(sizeof(U32Slot) == 256 && offsetof(U32Slot, value) == 64);
static_assert(sizeof(LocalTlocListSlot) == 256 && offsetof(LocalTlocListSlot, restrict_) == 72);

// The 3072-byte action data of data policies and access lists: twelve slots.
struct ActionData {
    ActionSlot slot[PLX_ACTION_SLOTS];
};
static_assert(sizeof(ActionData) == PLX_ACTION_DATA_SIZE);

// Head of an action record; length counts the whole record (8 + action data).
struct ActionRecord {
    uint32_t flags;  // bit 0: the default action (no rule matched)
    uint32_t length;
};
static_assert(sizeof(ActionRecord) == 8);
inline constexpr uint32_t PLX_ACTION_FLAG_DEFAULT = 1;

// The action record as data policies and access lists build it.
struct ActionEntry {
    ActionRecord head;
    ActionData data;
};
static_assert(sizeof(ActionEntry) == 3080);
static_assert(offsetof(ActionEntry, data) == 8);

// Slot i of a 3072-byte action data block, viewed as one of the slot records above.
template <typename Slot>
inline Slot *plx_action_slot(uint8_t *action_data, unsigned i) {
    static_assert(sizeof(Slot) == PLX_ACTION_SLOT_SIZE);
    return reinterpret_cast<Slot *>(action_data + i * PLX_ACTION_SLOT_SIZE);
}
template <typename Slot>
inline const Slot *plx_action_slot(const uint8_t *action_data, unsigned i) {
    static_assert(sizeof(Slot) == PLX_ACTION_SLOT_SIZE);
    return reinterpret_cast<const Slot *>(action_data + i * PLX_ACTION_SLOT_SIZE);
}

// ---------------------------------------------------------------------------------------------
// Operations on a placed program. Each walks the table directory, skips lookup tables and
// visits the entries of the action table one by one (advancing by each entry's length).

// Adds the packets and bytes of the current bank of every "count" slot named `name` (at most
// 64 characters compared).
void plx_program_sum_counters(const PolicyProgram *prog, const char *name, uint64_t *packets,
                              uint64_t *bytes);
// For every such slot: flips the bank byte, then zeroes the bank that was current before.
void plx_program_clear_counters(PolicyProgram *prog, const char *name);
// As above for "police" slots, by the name at offset 149: drops and bytes of the current bank.
void plx_program_sum_policer_counters(const PolicyProgram *prog, const char *name, uint64_t *drops,
                                      uint64_t *bytes);
void plx_program_clear_policer_counters(PolicyProgram *prog, const char *name);

// Calls fn(action data, arg) for each action entry, in entry order.
using plx_action_visit_fn = void (*)(uint8_t *action_data, void *arg);
void plx_program_visit_actions(PolicyProgram *prog, void *arg, plx_action_visit_fn fn);

// Where dumps go: write(arg, text) for each piece of text. A null writer means standard output.
struct PlxPrinter {
    void (*write)(void *arg, const char *text) = nullptr;
    void *arg = nullptr;
};
// printf-style output through a printer.
void plx_printf(const PlxPrinter &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The slot printer: for each of the 12 slots of one action data block that is not empty, the
// name of its type (or of its base action) and the type's parameters.
void plx_print_action_slots(const PlxPrinter &out, const uint8_t *action_data);

// Prints the program (header summary, lookup tables, action table; slots when print_slots).
void plx_program_dump(const PolicyProgram *prog, const PlxPrinter &out, bool print_slots);
// The same dump into a string (tests and tools).
std::string plx_program_dump_string(const PolicyProgram *prog, bool print_slots);
