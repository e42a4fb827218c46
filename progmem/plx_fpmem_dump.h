// The operator's dumps of program memory as configuration-database actions: the filter summary,
// the memory map and every placed program with its action slots, printed to the session that
// ran the action.
#pragma once

#include "platform/confd/confd_dp.h"

confd_action_fn plx_dump_memory_stats;
confd_action_fn plx_dump_memory_map;
confd_action_fn plx_dump_filter;
