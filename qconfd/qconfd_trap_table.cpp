// The trap table: which notifications and notification leaves have a MIB name, and which
// trap indices each module and level of a trap group's "enable" entry selects.
//
// The table holds 262 rows: 100 notifications (trap indices 1-100) and 162 variables (index
// 0). The policy manager's own rows carry the tags of its data model. The rows of the other
// components' notifications keep their places (index, module) under names and tags of their
// own until those components bring their models; no notification of this daemon reaches them.
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_trap.h"
#include "qconfd/qconfd_trap_internal.h"

namespace {

struct TrapRow {
    uint32_t tag;
    uint32_t ns;
    char mib_name[64];
    uint32_t trap_index;  // 1-100 for a notification, 0 for a variable
};

constexpr int kBuckets = 256;
constexpr int kNotifications = 100;
constexpr int kVariables = 162;

std::array<std::vector<TrapRow>, kBuckets> table;
int table_rows = 0;

constexpr uint32_t kPolicyNs = 627311236;

struct KnownRow {
    const char *name;
    uint32_t tag;
    uint32_t trap_index;
};
constexpr KnownRow kPolicyRows[] = {
    {"quorvelPolicyDataPolicyAssociationStatus", 1944655528, 84},
    {"quorvelPolicyAccessListAssociationStatus", 40743124, 85},
    {"quorvelPolicyName", 248830179, 0},
    {"quorvelPolicyVpnListName", 1644036174, 0},
    {"quorvelPolicyAccessListName", 337693690, 0},
    {"quorvelPolicyStatus", 1950810920, 0},
};

// Module labels of the "enable" list (module 0 is "all").
constexpr const char *kModuleLabels[QCONFD_TRAP_MODULE_MAX + 1] = {
    "All",     "Aaa",     "Bfd",    "Hardware", "Dhcp",     "Interface", "Tunnel",
    "Routing", "Control", "System", "Policy",   "Security", "Vrrp",      "Wireless"};

// Trap indices of each module (1-13) and level (0 critical, 1 major, 2 minor).
struct LevelSets {
    std::vector<int> level[QCONFD_TRAP_LEVELS];
};
const LevelSets kModuleLevels[QCONFD_TRAP_MODULE_MAX + 1] = {
    {},                                                                // 0: the union
    {{{}, {5}, {}}},                                                   // 1
    {{{}, {4}, {}}},                                                   // 2
    {{{29, 30}, {25, 26, 27, 28}, {}}},                                // 3
    {{{}, {63, 64, 65}, {61, 62}}},                                    // 4
    {{{}, {6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, {}}},  // 5
    {{{}, {20, 21, 22, 23, 24}, {}}},                                  // 6
    {{{}, {56, 66, 67, 68, 69, 70}, {}}},                              // 7
    {{{}, {36, 37, 38, 39, 40, 41, 42, 43, 72, 98, 99, 100}, {31, 32, 33, 34, 35, 82, 86}}},  // 8
    {{{97}, {2, 3, 44, 45, 46, 47, 54, 71, 77, 81, 96}, {1, 48, 49, 50, 51, 52, 53, 55}}},    // 9
    {{{}, {57, 58, 80, 83, 84, 85, 87, 88, 89, 92}, {59, 60, 73}}},                           // 10
    {{{}, {}, {74, 75, 76}}},                                                                 // 11
    {{{}, {79}, {78}}},                                                                       // 12
    {{{}, {90, 93, 94, 95}, {}}},                                                             // 13
};

uint32_t fnv1a(const std::string &s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s)
        h = (h ^ c) * 16777619u;
    return h & 0x7FFFFFFF;
}

// The module whose levels list the index (0 when none does).
int module_of(int index) {
    for (int m = 1; m <= QCONFD_TRAP_MODULE_MAX; ++m)
        for (const auto &level : kModuleLevels[m].level)
            for (int i : level)
                if (i == index)
                    return m;
    return 0;
}

bool add_row(uint32_t tag, uint32_t ns, const char *name, uint32_t index) {
    TrapRow row{tag, ns, {}, index};
    std::snprintf(row.mib_name, sizeof row.mib_name, "%s", name);
    try {
        table[tag & 0xFF].push_back(row);
    } catch (const std::bad_alloc &) {
        PLX_LOG("Failed to allocate memory for hash entry");
        return false;
    }
    ++table_rows;
    return true;
}

const TrapRow *find_row(uint32_t tag, uint32_t ns) {
    for (const TrapRow &row : table[tag & 0xFF])
        if (row.tag == tag && (ns == 0 || row.ns == ns))
            return &row;
    return nullptr;
}

}  // namespace

void qconfd_trap_table_fill() {
    qconfd_trap_table_clear();
    for (const KnownRow &row : kPolicyRows)
        add_row(row.tag, kPolicyNs, row.name, row.trap_index);
    // The other components' rows: one notification per remaining index, named after its
    // module, and the variables they carry, spread over those notifications in turn.
    std::vector<std::pair<std::string, uint32_t>> others;  // name, namespace
    for (int index = 1; index <= kNotifications; ++index) {
        bool own = false;
        for (const KnownRow &row : kPolicyRows)
            own = own || row.trap_index == static_cast<uint32_t>(index);
        if (own)
            continue;
        const char *label = module_of(index) ? kModuleLabels[module_of(index)] : "Other";
        const uint32_t ns = fnv1a(std::string("urn:quorvel:traps:") + label);
        const std::string name =
            "quorvel" + std::string(label) + "Notification" + std::to_string(index);
        add_row(fnv1a(name), ns, name.c_str(), static_cast<uint32_t>(index));
        others.emplace_back(name, ns);
    }
    const int own_variables = 4;
    static_assert(std::size(kPolicyRows) == 2 + own_variables);
    for (int k = 0; k < kVariables - own_variables; ++k) {
        const auto &[notification, ns] = others[k % others.size()];
        const std::string name = notification + "Object" + std::to_string(k / others.size() + 1);
        add_row(fnv1a(name), ns, name.c_str(), 0);
    }
}

void qconfd_trap_table_clear() {
    for (auto &bucket : table) {
        bucket.clear();
        bucket.shrink_to_fit();
    }
    table_rows = 0;
}

int qconfd_trap_table_size() {
    return table_rows;
}

const char *qconfd_trap_get_mib_name(uint32_t tag, uint32_t ns) {
    if (const TrapRow *row = find_row(tag, ns))
        return row->mib_name;
    PLX_LOG("Failed to find MIB name for tag %u ns %u", tag, ns);
    return nullptr;
}

uint32_t qconfd_trap_get_index(uint32_t tag, uint32_t ns) {
    const TrapRow *row = find_row(tag, ns);
    return row ? row->trap_index : 0;
}

const char *qconfd_trap_lookup(uint32_t tag, uint32_t ns, uint32_t *trap_index) {
    const TrapRow *row = find_row(tag, ns);
    if (row && trap_index)
        *trap_index = row->trap_index;
    return row ? row->mib_name : nullptr;
}

const std::vector<int> &qconfd_trap_module_level(int module, int level) {
    static const std::vector<int> none;
    if (module < 1 || module > QCONFD_TRAP_MODULE_MAX || level < 0 || level >= QCONFD_TRAP_LEVELS)
        return none;
    return kModuleLevels[module].level[level];
}
