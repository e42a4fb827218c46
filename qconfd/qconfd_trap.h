// SNMP traps: the table of trap-capable notifications, the trap groups configured under
// snmp/trap/group, and the sending of a selected notification as an SNMP trap.
#pragma once

#include "qconfd/qconfd_api.h"

// Fills the trap table, empties the group list (every initialisation of the connection).
void qconfd_trap_init();
// Frees the trap table and every trap group (teardown at reconnection and stop).
void qconfd_trap_clear();

// Readers of snmp/trap/group and snmp/trap/group/enable.
int qconfd_config_trap_group(SubscriptionPoint *point, int operation, uint8_t key_count,
                             confd_value_t *keys, uint16_t value_count, confd_tag_value_t *values);
int qconfd_config_trap_group_enable(SubscriptionPoint *point, int operation, uint8_t key_count,
                                    confd_value_t *keys, uint16_t value_count,
                                    confd_tag_value_t *values);
