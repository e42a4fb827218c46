// Access-list configuration readers.
#include "acl/plx_intf_confd.h"

#include "common/plx_log.h"

namespace {

// Logs the element a reader was given; the model operations come with the readers themselves.
int plx_config_note(const char *reader, const SubscriptionPoint *point, int operation,
                    uint8_t key_count, uint16_t value_count) {
    PLX_TRACE(PLX_DEBUG_CONFIG, "%s: %s oper:%d keys:%u values:%u", reader,
              point ? point->path : "", operation, key_count, value_count);
    return 0;
}

}  // namespace

PLX_SUBSCRIPTION_READER(plx_config_access_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_access_list_seq) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_access_list6) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_access_list6_seq) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_vpn_instance) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_vpn_interface) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_intf_access_list) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}

PLX_SUBSCRIPTION_READER(plx_config_intf_access_list6) {
    (void)keys;
    (void)values;
    return plx_config_note(__func__, point, operation, key_count, value_count);
}
