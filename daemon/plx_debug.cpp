// Debug switches: the word plx_debug_flags gates the trace lines of each area. The operator
// switches areas with the debug actions, which also record the switches that are on as
// operational containers under /debugs/plx; a container created or deleted there (for example
// with the command line) switches its area as well.
#include "daemon/plx_debug.h"

#include <cinttypes>
#include <cstring>
#include <string_view>

#include "common/plx_log.h"
#include "daemon/plx_ctx.h"
#include "platform/confd/confd_dp.h"
#include "qconfd/qconfd_log.h"
#include "qconfd/qconfd_util.h"

namespace {

int layer_writer(const char *path, int operation) {
    return qconfd_set_cdb_oper_value(plx_context().qconfd_ctx, nullptr, path, operation, 1);
}

plx_debug_writer g_writer = layer_writer;

struct Area {
    uint64_t bit;
    const char *path;
    const char *name;  // the container's name under /debugs/plx
};

constexpr Area AREAS[] = {
    {PLX_DEBUG_CONFIG, PLX_DEBUG_PATH_CONFIG, "config"},
    {PLX_DEBUG_HBUS, PLX_DEBUG_PATH_HBUS, "hbus"},
    {PLX_DEBUG_DPI, PLX_DEBUG_PATH_DPI, "dpi"},
    {PLX_DEBUG_POLICY, PLX_DEBUG_PATH_POLICY, "policy"},
};

bool all_on() {
    return (plx_debug_flags & ~PLX_DEBUG_CONSOLE) == (PLX_DEBUG_ALL_ON & ~PLX_DEBUG_CONSOLE);
}

// Logs a failed write and tells the operator.
int write_failed(confd_user_info *uinfo, const char *what) {
    PLX_LOG("Failed to %s value in cdb %s (%d) : %s", what, confd_strerror(confd_errno),
            confd_errno, confd_lasterr());
    if (uinfo)
        confd_action_seterr(uinfo, "Failed to %s value in cdb %s (%d) : %s", what,
                            confd_strerror(confd_errno), confd_errno, confd_lasterr());
    return CONFD_ERR;
}

int switch_area_on(confd_user_info *uinfo, const Area &area) {
    if (all_on())
        return CONFD_OK;
    if (g_writer(area.path, QCONFD_OPER_CREATE) != 0)
        return write_failed(uinfo, "create");
    plx_debug_flags |= area.bit;
    return CONFD_OK;
}

int disable_all(confd_user_info *uinfo) {
    if (!all_on()) {
        for (const Area &area : AREAS) {
            if ((plx_debug_flags & area.bit) && g_writer(area.path, QCONFD_OPER_DELETE) != 0)
                return write_failed(uinfo, "delete");
        }
    } else if (g_writer(PLX_DEBUG_PATH_ALL, QCONFD_OPER_DELETE) != 0) {
        return write_failed(uinfo, "delete");
    }
    qconfd_debug_disable();
    plx_debug_flags = PLX_DEBUG_ALL_OFF;
    return CONFD_OK;
}

const Area *area_named(uint32_t tag) {
    for (const Area &area : AREAS) {
        if (confd_str2hash(area.name) == tag)
            return &area;
    }
    return nullptr;
}

void log_word(const char *what, bool on) {
    PLX_LOG("Debug %s switched %s: debug-flags %#" PRIx64, what, on ? "on" : "off",
            plx_debug_flags);
}

// One container of /debugs/plx appeared (on) or went away (off). While everything is on only
// "all" itself counts: the single switches' containers are removed when "all" goes on.
void container_changed(uint32_t tag, bool on) {
    if (tag == confd_str2hash("all")) {
        if (on && !all_on()) {
            plx_debug_flags = PLX_DEBUG_ALL_ON | (plx_debug_flags & PLX_DEBUG_CONSOLE);
            qconfd_debug_enable(1);
            log_word("all", true);
        } else if (!on && all_on()) {
            plx_debug_flags = PLX_DEBUG_ALL_OFF | (plx_debug_flags & PLX_DEBUG_CONSOLE);
            qconfd_debug_disable();
            log_word("all", false);
        }
        return;
    }
    const Area *area = area_named(tag);
    if (!area || all_on())
        return;
    if (on == static_cast<bool>(plx_debug_flags & area->bit))
        return;
    if (on)
        plx_debug_flags |= area->bit;
    else
        plx_debug_flags &= ~area->bit;
    log_word(area->name, on);
}

}  // namespace

void plx_debug_set_writer(plx_debug_writer writer) {
    g_writer = writer ? writer : layer_writer;
}

PLX_DEBUG_ACTION(plx_debug_config) {
    return switch_area_on(uinfo, AREAS[0]);
}
PLX_DEBUG_ACTION(plx_debug_hbus) {
    return switch_area_on(uinfo, AREAS[1]);
}
PLX_DEBUG_ACTION(plx_debug_dpi) {
    return switch_area_on(uinfo, AREAS[2]);
}
PLX_DEBUG_ACTION(plx_debug_policy) {
    return switch_area_on(uinfo, AREAS[3]);
}

PLX_DEBUG_ACTION(plx_debug_all) {
    // Switching off first removes the single switches' containers; "all" replaces them.
    if (plx_debug_flags != 0)
        disable_all(uinfo);
    qconfd_debug_enable(1);
    if (g_writer(PLX_DEBUG_PATH_ALL, QCONFD_OPER_CREATE) != 0)
        return write_failed(uinfo, "create");
    plx_debug_flags |= PLX_DEBUG_ALL_ON;
    return CONFD_OK;
}

PLX_DEBUG_ACTION(plx_debug_disable_all) {
    return disable_all(uinfo);
}

int plx_config_debugs(SubscriptionPoint *point, int, uint8_t, confd_value_t *, uint16_t count,
                      confd_tag_value_t *values) {
    if (point->read_flags & QCONFD_SUB_READ_TRIGGERED)
        return 0;
    int depth = 0;
    for (uint16_t i = 0; i < count; ++i) {
        const confd_vtype type = values[i].v.type;
        if (type == C_XMLEND) {
            --depth;
            continue;
        }
        if (depth == 0 && (type == C_XMLBEGIN || type == C_NOEXISTS))
            container_changed(values[i].tag.tag, type == C_XMLBEGIN);
        if (type == C_XMLBEGIN)
            ++depth;
    }
    return 0;
}
