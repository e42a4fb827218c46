// The show data provider: the operational lists of installed policies and access lists, with
// the counters and policer statistics their programs count in the forwarding plane.
//
// Every list is served through the configuration database's object callbacks (get-object,
// get-next-object, find-next-object), one entry per call, read from the model and, for
// counters and policers, from the placed program of the owning policy VPN list or access list
// (the current bank of every slot with that name, summed). Nothing is cached between calls.
// Every reply carries next = -1, so the database continues a walk by the keys it read last;
// each step is a tree search from those keys, never a rescan from the first entry.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/confd/confd_dp.h"

struct QconfdContext;

// Registers the callbacks of all 21 callpoints on the connection's daemon context (the module
// record's data-provider registration). PLX_OK, or -1 (the layer's error) at the first
// registration refused (the rest are not registered).
int plx_show_init(QconfdContext *ctx);

namespace plx::show {
// A callpoint and the tag of the list it serves (its keys are found in a key path by that tag).
struct ListCallpoint {
    const char *name;
    uint32_t list_tag;
};
}  // namespace plx::show
// Every callpoint plx_show_init registers, in registration order.
std::vector<plx::show::ListCallpoint> plx_show_callpoints();

// Key and leaf tags of the operational model.
namespace plx::show {
inline constexpr uint32_t TAG_NAME = 1998270519;
inline constexpr uint32_t TAG_COUNTER_NAME = 1510016334;
inline constexpr uint32_t TAG_PACKETS = 384560432;
inline constexpr uint32_t TAG_BYTES = 1113108825;
inline constexpr uint32_t TAG_POLICER_NAME = 1468043844;
inline constexpr uint32_t TAG_POLICER_DROPS = 1385167883;
inline constexpr uint32_t TAG_POLICER_BYTES = 2009698855;
inline constexpr uint32_t TAG_INTF_NAME = 1322899300;
inline constexpr uint32_t TAG_INTF_DIRECTION = 549078354;
// Programming state of policy VPN lists and access lists.
inline constexpr uint32_t TAG_PROGRAM_STATE = 1850203101;
inline constexpr uint32_t TAG_PROGRAM_REASON = 1850203102;
inline constexpr uint32_t TAG_FILTER_ID = 1850203103;
inline constexpr uint32_t TAG_PROGRAM_BYTES = 1850203104;
inline constexpr uint32_t TAG_BOUND_TO = 1850203105;
inline constexpr uint32_t TAG_LAST_PROGRAMMED = 1850203106;
}  // namespace plx::show
