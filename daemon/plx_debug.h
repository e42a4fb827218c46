// The daemon's debug switches as the operator sets them: six actions of the configuration
// database, and the operational containers under /debugs/plx that record which switches are on.
#pragma once

#include <cstdint>

#include "qconfd/qconfd_api.h"

struct confd_user_info;
struct xml_tag;

// Operational paths of the switches.
inline constexpr char PLX_DEBUG_PATH_CONFIG[] = "/debugs/plx/config";
inline constexpr char PLX_DEBUG_PATH_HBUS[] = "/debugs/plx/hbus";
inline constexpr char PLX_DEBUG_PATH_DPI[] = "/debugs/plx/dpi";
inline constexpr char PLX_DEBUG_PATH_POLICY[] = "/debugs/plx/policy";
inline constexpr char PLX_DEBUG_PATH_ALL[] = "/debugs/plx/all";

// The action handlers: CONFD_OK on success, CONFD_ERR when the operational write could not be
// started (the word is then left as it was and the operator gets the error).
#define PLX_DEBUG_ACTION(name)                                                                  \
    int name(struct confd_user_info *uinfo, [[maybe_unused]] struct xml_tag *action,            \
             [[maybe_unused]] confd_hkeypath_t *kp, [[maybe_unused]] confd_tag_value_t *params, \
             [[maybe_unused]] int nparams)
PLX_DEBUG_ACTION(plx_debug_config);
PLX_DEBUG_ACTION(plx_debug_hbus);
PLX_DEBUG_ACTION(plx_debug_dpi);
PLX_DEBUG_ACTION(plx_debug_policy);
PLX_DEBUG_ACTION(plx_debug_all);
PLX_DEBUG_ACTION(plx_debug_disable_all);

// Writes one switch's operational container (QCONFD_OPER_CREATE or QCONFD_OPER_DELETE); PLX_OK
// once the write is under way. The default hands it to the configuration-database layer; tests
// substitute their own. Null restores the default.
using plx_debug_writer = int (*)(const char *path, int operation);
void plx_debug_set_writer(plx_debug_writer writer);

// Reader of the operational row debugs/plx: a container created there switches its area on, a
// container deleted switches it off ("all" drives every area and the layer's own trace lines).
// The daemon starts with every switch off whatever the database still holds, so the initial
// (triggered) read changes nothing.
int plx_config_debugs(SubscriptionPoint *point, int operation, uint8_t key_count,
                      confd_value_t *keys, uint16_t value_count, confd_tag_value_t *values);
