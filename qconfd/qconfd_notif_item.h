// A queued notification: the values as the caller gave them (strings and buffers copied into
// memory of the item's own), the time it was queued, and the SNMP trap built from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/confd/confd_dp.h"

inline constexpr int QCONFD_NOTIF_MAX_VALUES = 20;
inline constexpr size_t QCONFD_TRAP_NAME_LEN = 64;
inline constexpr size_t QCONFD_TRAP_ADDR_TEXT_LEN = 128;

struct QconfdNotifItem {
    confd_datetime time;  // when it was queued, UTC, microseconds, time zone 0
    confd_tag_value_t val[QCONFD_NOTIF_MAX_VALUES];  // the notification, copied
    uint32_t value_count;
    void *copies[QCONFD_NOTIF_MAX_VALUES];  // private strings and buffers, in value order
    char trap_name[QCONFD_TRAP_NAME_LEN];   // MIB name of the notification, "" without trap
    confd_snmp_varbind *trap_vars;          // null without trap
    uint32_t trap_var_count;
    uint32_t trap_index;                        // 1-100
    char *addr_texts[QCONFD_NOTIF_MAX_VALUES];  // texts made for address variables
    QconfdNotifItem *next;
    QconfdNotifItem *prev;
};

// Allocation of queue items; the process allocator unless replaced (before the first item).
struct QconfdNotifAllocator {
    void *(*alloc)(size_t size);  // zeroed memory or null
    void (*free)(void *p);
};
void qconfd_notif_set_allocator(QconfdNotifAllocator allocator);

// Builds the item's SNMP trap (its name, index and variable bindings); without a trap the
// item keeps trap_vars null. Runs when the item is queued.
void qconfd_trap_populate(QconfdNotifItem *item);
// Sends the item's trap once to every trap group that enables its index.
void qconfd_trap_send(QconfdNotifItem *item, confd_notification_ctx *snmp_ctx);
// Frees what qconfd_trap_populate allocated.
void qconfd_trap_release(QconfdNotifItem *item);
