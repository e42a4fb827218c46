// Between the trap table and the trap groups.
#pragma once

#include <cstdint>
#include <vector>

void qconfd_trap_table_fill();
void qconfd_trap_table_clear();
// Trap indices that one module (1-13) enables at one level (0-2); module 0 is handled by the
// caller as the union of all modules.
const std::vector<int> &qconfd_trap_module_level(int module, int level);
// The MIB name and trap index of a table row, without logging a miss; null when none.
const char *qconfd_trap_lookup(uint32_t tag, uint32_t ns, uint32_t *trap_index);
