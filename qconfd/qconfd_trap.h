// SNMP traps: the table of trap-capable notifications, the trap groups configured under
// snmp/trap/group, and the sending of a selected notification as an SNMP trap.
#pragma once

#include <cstdint>
#include <string>

#include "qconfd/qconfd_api.h"

// Fills the trap table, empties the group list (every initialisation of the connection).
void qconfd_trap_init();
// Frees the trap table and every trap group (teardown at reconnection and stop).
void qconfd_trap_clear();
// After a reconnection: asks the database (on data socket `data_sock`) to deliver the trap-group
// rows read before as a whole again, since the teardown emptied the groups. QCONFD_OK, or
// QCONFD_FAILED when the request failed.
qconfd_result qconfd_trap_reread(int data_sock);

// Readers of snmp/trap/group and snmp/trap/group/enable.
int qconfd_config_trap_group(SubscriptionPoint *point, int operation, uint8_t key_count,
                             confd_value_t *keys, uint16_t value_count, confd_tag_value_t *values);
int qconfd_config_trap_group_enable(SubscriptionPoint *point, int operation, uint8_t key_count,
                                    confd_value_t *keys, uint16_t value_count,
                                    confd_tag_value_t *values);

// Trap indices run from 1 to 100; a group's bit maps hold one bit per index.
inline constexpr int QCONFD_TRAP_INDEX_MAX = 100;
inline constexpr int QCONFD_TRAP_MAP_BYTES = 32;
inline constexpr int QCONFD_TRAP_GROUP_NAME_LEN = 32;
// Values of the "module" key of an enable entry (0: every module) and of its levels.
inline constexpr int QCONFD_TRAP_MODULE_MAX = 13;
inline constexpr int QCONFD_TRAP_LEVELS = 3;
// Tag of the "level" leaf-list of an enable entry.
inline constexpr uint32_t QCONFD_TRAP_LEVEL_TAG = 2112619197;

// One trap group. Map B holds the group's setting for module 0 (all modules), map A the
// settings of modules 1-13; an index is enabled when its bit is set in either.
struct QconfdTrapGroup {
    uint8_t map_a[QCONFD_TRAP_MAP_BYTES];
    uint8_t map_b[QCONFD_TRAP_MAP_BYTES];
    char name[QCONFD_TRAP_GROUP_NAME_LEN];
};

// Number of rows in the trap table (0 before qconfd_trap_init).
int qconfd_trap_table_size();
// The MIB name of a notification or variable (namespace 0 matches any), or null.
const char *qconfd_trap_get_mib_name(uint32_t tag, uint32_t ns);
// The trap index of a notification (0 for a variable or an unknown tag).
uint32_t qconfd_trap_get_index(uint32_t tag, uint32_t ns);

// True when the index (1-100) is enabled for the group.
bool qconfd_trap_is_enabled(const QconfdTrapGroup *group, int index);
// Sets or clears one index of a bit map.
void qconfd_trap_set(uint8_t *map, int index, bool on);

// The group list (the readers keep it; these serve them and the tests). Pointers stay valid
// until the group is deleted or the list cleared.
QconfdTrapGroup *qconfd_trap_add_tag(const char *name);
QconfdTrapGroup *qconfd_trap_find_tag(const char *name);
void qconfd_trap_delete_tag(const char *name);
// '1' or '0' for indices 1-100 of (A or B) of the named group, "" when there is no such group.
std::string qconfd_trap_group_bitmap(const char *name);
