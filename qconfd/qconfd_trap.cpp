// SNMP traps (placeholders until the trap table lands: no group, nothing sent).
#include "qconfd/qconfd_trap.h"

void qconfd_trap_init() {}
void qconfd_trap_clear() {}

int qconfd_config_trap_group(SubscriptionPoint *, int, uint8_t, confd_value_t *, uint16_t,
                             confd_tag_value_t *) {
    return 0;
}
int qconfd_config_trap_group_enable(SubscriptionPoint *, int, uint8_t, confd_value_t *, uint16_t,
                                    confd_tag_value_t *) {
    return 0;
}
