// The configuration-database layer: one module's connection to the configuration database, its
// subscriptions and the reading of configuration changes. Any daemon of the router can link it;
// the daemon hands over one QconfdModuleSpec and gets back a QconfdContext.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/confd/confd_lib.h"

struct QconfdContext;
struct SubscriptionPoint;

// Called once per changed object under a subscribed path. `keys` are the object's list keys from
// the outermost inwards; `values` the changed leaves below it in document order (C_XMLBEGIN /
// C_XMLEND around nested containers and list entries, C_NOEXISTS for a deleted leaf). For a
// delete, value_count is 0 and values null; for a path without keys the operation is always
// MOP_MODIFIED and keys is null. Returns 0 on success. The layer frees keys and values after the
// call. The reader reaches its daemon as point->owner->spec.app_ctx.
using SubscriptionReader = int (*)(SubscriptionPoint *point, int operation, uint8_t key_count,
                                   confd_value_t *keys, uint16_t value_count,
                                   confd_tag_value_t *values);

// Flag bits of a subscription row.
inline constexpr uint8_t QCONFD_SUB_FLAG_INITIALISED = 1u << 6;  // has seen its triggered read
inline constexpr uint8_t QCONFD_SUB_FLAG_FAILED = 1u << 7;       // last reader call failed
inline constexpr uint8_t QCONFD_SUB_READ_TRIGGERED = 1u << 0;    // read flag: triggered delivery

// One row of a subscription table; a row with an empty path ends the table.
struct SubscriptionPoint {
    QconfdContext *owner;       // set by the layer when it subscribes the row
    char path[128];             // relative to the root, no leading slash
    SubscriptionReader reader;  // called for every changed object under the path
    void *bulk_list;            // always null here
    uint32_t ns;                // namespace hash of the path's data model
    int add_point;              // point id of the main subscription
    int delete_point;           // point id of the delete-only subscription
    uint8_t key_count;          // list keys from the root to the path
    uint8_t priorities;         // low 4 bits: main priority; high 4 bits: delete priority or 0
    uint8_t flags;              // QCONFD_SUB_FLAG_*
    uint8_t read_flags;         // QCONFD_SUB_READ_TRIGGERED
    time_t read_started;
    time_t read_ended;
};

// Packs a row's two priorities.
constexpr uint8_t qconfd_priorities(uint8_t add, uint8_t del) {
    return static_cast<uint8_t>((add & 0x0F) | ((del & 0x0F) << 4));
}
