// The DPI dump and clear actions and the session they print to.
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/plx_log.h"
#include "daemon/plx_ctx.h"
#include "dpi/plx_dpi.h"
#include "dpi/plx_dpi_session.h"
#include "platform/confd/confd_maapi.h"
#include "platform/dpi/dpi_engine.h"
#include "policy/plx_config.h"
#include "qconfd/qconfd_api.h"

namespace {

plx_dpi_session *g_session = nullptr;

const char *family_display(uint32_t family) {
    return plx_app_family_get(family).display_name;
}

int print_protocol(const dpi_proto *p, void *) {
    plx_dpi_session_printf("[%d] App: %s Family: %s\n", static_cast<int>(p->unique_id), p->name,
                           p->family);
    return 0;
}

}  // namespace

plx_dpi_session::plx_dpi_session(const confd_user_info *uinfo) : out_(uinfo) {
    g_session = this;
}

plx_dpi_session::~plx_dpi_session() {
    g_session = nullptr;
}

bool plx_dpi_session_active() {
    return g_session != nullptr;
}

void plx_dpi_session_printf(const char *fmt, ...) {
    if (!g_session)
        return;
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n >= 0)
        g_session->out().write(buf);
}

int plx_dpi_dump_protocol_list(struct confd_user_info *uinfo, struct xml_tag *, confd_hkeypath_t *,
                               confd_tag_value_t *, int) {
    plx_dpi_session session(uinfo);
    int rc = dpi_walk_protocols(DPI_PROTO_ALL, print_protocol, nullptr);
    if (rc < 0) {
        char text[256];
        dpi_error_text(rc, text, sizeof text);
        PLX_LOG("Error when getting the protocol list - %s\n", text);
    }
    return CONFD_OK;
}

int plx_dpi_dump_protocol_family_mapping(struct confd_user_info *uinfo, struct xml_tag *,
                                         confd_hkeypath_t *, confd_tag_value_t *, int) {
    plx_dpi_session session(uinfo);
    const plx_dpi_tables &t = plx_dpi_module().tables;
    if (!t.valid())
        return CONFD_OK;
    uint32_t last = fp_load(t.family[0]);
    plx_dpi_session_printf("Dumping protocol to family mapping: %d entries\n",
                           static_cast<int>(last));
    for (uint32_t p = 1; p <= last && p < t.entries; ++p) {
        uint32_t family = fp_load(t.family[p]);
        const dpi_proto_info *info = dpi_get_proto_info(p);
        if (family == 0 || !info)
            continue;
        plx_dpi_session_printf("Protocol: [%d] %s (%s) Family: [%d] [%d] Local: %s Engine: %s\n",
                               static_cast<int>(p), dpi_proto_name(p), info->long_name,
                               static_cast<int>(family), static_cast<int>(family),
                               family_display(family), info->family);
    }
    return CONFD_OK;
}

int plx_dpi_dump_protocol_hits(struct confd_user_info *uinfo, struct xml_tag *, confd_hkeypath_t *,
                               confd_tag_value_t *, int) {
    plx_dpi_session session(uinfo);
    const plx_dpi_tables &t = plx_dpi_module().tables;
    if (!t.valid())
        return CONFD_OK;
    uint32_t last = fp_load(t.hits[0]);
    plx_dpi_session_printf("Dumping protocol hits: %d entries\n", static_cast<int>(last));
    for (uint32_t p = 1; p <= last && p < t.entries; ++p) {
        uint32_t hits = fp_load(t.hits[p]);
        if (hits == 0)
            continue;
        if (p == DPI_PROTO_UNCLASSIFIED) {
            plx_dpi_session_printf("Protocol: [%d] unclassified (unclassified) Hits: %u\n",
                                   static_cast<int>(p), hits);
            continue;
        }
        const dpi_proto_info *info = dpi_get_proto_info(p);
        if (!info)
            continue;
        plx_dpi_session_printf("Protocol: [%d] %s (%s) Hits: %u\n", static_cast<int>(p),
                               dpi_proto_name(p), info->long_name, hits);
        uint32_t family = fp_load(t.family[p]);
        if (family != 0)
            plx_dpi_session_printf("    Family: [%d] [%d] Local: %s Engine: %s\n",
                                   static_cast<int>(family), static_cast<int>(family),
                                   family_display(family), info->family);
    }
    return CONFD_OK;
}

int plx_dpi_dump_configuration(struct confd_user_info *uinfo, struct xml_tag *, confd_hkeypath_t *,
                               confd_tag_value_t *, int) {
    plx_dpi_session session(uinfo);
    plx_dpi_state &m = plx_dpi_module();
    const plx::cfg::plx_policy_db *db = m.ctx ? m.ctx->policy : nullptr;
    const uint32_t visibility = db ? db->app_visibility : 0;
    const uint32_t users = db ? db->dpi_ref_count : 0;
    plx_dpi_session_printf("Protocol bundle Version   : %s\n", m.version);
    plx_dpi_session_printf("App Visibility            : %d\n", static_cast<int>(visibility));
    plx_dpi_session_printf("Policy DPI Reference      : %d\n", static_cast<int>(users));
    plx_dpi_session_printf("DPI state (Control)       : %u\n", plx_dpi_state_word(true));
    plx_dpi_session_printf("DPI state                 : %u\n", plx_dpi_state_word(false));
    return CONFD_OK;
}

int plx_dpi_clear_protocol_hits(struct confd_user_info *uinfo, struct xml_tag *, confd_hkeypath_t *,
                                confd_tag_value_t *, int) {
    plx_dpi_session session(uinfo);
    const plx_dpi_tables &t = plx_dpi_module().tables;
    if (!t.valid())
        return CONFD_OK;
    // The forwarding plane counts only up to entry 0: with it at 0, no count lands while the
    // table is cleared.
    uint32_t bound = fp_load(t.hits[0]);
    fp_store(t.hits[0], 0u);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    usleep(1000);
    for (uint32_t p = 0; p < t.entries; ++p)
        fp_store(t.hits[p], 0u);
    fp_store(t.hits[0], bound);
    return CONFD_OK;
}
