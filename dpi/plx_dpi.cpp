#include "dpi/plx_dpi.h"

#include <cstring>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "daemon/plx_ctx.h"
#include "dpi/plx_dpi_session.h"
#include "fplink/fib_msgs.h"
#include "platform/dpi/dpi_engine.h"
#include "policy/plx_config.h"

static_assert(DPI_MAX_PROTO_IDS <= FP_NUM_DPI_PROTO_FAMILY_MAPPING);

plx_dpi_state &plx_dpi_module() {
    static plx_dpi_state s;
    return s;
}

namespace {

constexpr size_t kErrTextLen = 256;
constexpr size_t kWalkErrTextLen = 128;

int family_mapping_callback(const dpi_proto *p_proto, void *arg) {
    auto *t = static_cast<plx_dpi_tables *>(arg);
    PLX_ASSERT(((int)p_proto->unique_id) < (int)FP_NUM_DPI_PROTO_FAMILY_MAPPING);
    PLX_ASSERT(p_proto->unique_id < t->entries);
    if (p_proto->unique_id > fp_load(t->family[0]))
        fp_store(t->family[0], p_proto->unique_id);
    uint32_t family = plx_family_from_engine_name(p_proto->family);
    if (family == PLX_APP_FAMILY_UNKNOWN) {
        PLX_LOG("Error when getting the family for protocol [%d] %s - %s\n",
                static_cast<int>(p_proto->unique_id), p_proto->name, p_proto->family);
        return 0;
    }
    fp_store(t->family[p_proto->unique_id], family);
    return 0;
}

// Fills the shared protocol-to-family table from the engine's protocol walk and lets the
// forwarding plane count hits up to the highest id. 0, or -1 on an engine error.
int init_proto_family_mapping(plx_dpi_tables &t) {
    int rc = dpi_walk_protocols(DPI_PROTO_ALL, family_mapping_callback, &t);
    if (rc < 0) {
        char text[kWalkErrTextLen];
        dpi_error_text(rc, text, sizeof text);
        PLX_LOG("Error when getting the protocol list for protocol-family init - %s\n", text);
        return -1;
    }
    fp_store(t.hits[0], fp_load(t.family[0]));
    return 0;
}

// The policy model counts the users of recognition: the app-visibility switch and every
// application match.
uint32_t policy_users(const plx_ctx *ctx) {
    return ctx->policy ? ctx->policy->dpi_ref_count : 0;
}

}  // namespace

int plx_dpi_init(plx_ctx *ctx) {
    plx_dpi_state &m = plx_dpi_module();
    PLX_TRACE(PLX_DEBUG_DPI, "Initializing DPI...\n");
    m.tables = plx_dpi_tables_from_shm();
    m.ctx = ctx;

    dpi_config cfg;
    dpi_config_defaults(&cfg);
    cfg.guess_on_giveup = true;
    cfg.skip_tor_hosts = true;
    cfg.ja3_plus = true;
    cfg.tls_block_dissection = true;
    cfg.giveup_on_close = true;
    cfg.dns_subclassify = true;
    cfg.extra_dissection = true;
    cfg.count_unclassified = true;
    cfg.host_names = true;

    dpi_register_exception_handler(plx_dpi_exception_handler);
    if (int rc = dpi_init(cfg); rc < 0) {
        char text[kErrTextLen];
        dpi_error_text(rc, text, sizeof text);
        PLX_LOG("Error: Could not initialize DPI engine: err: %s", text);
        return rc;
    }
    if (int rc = dpi_enable_all_protocols(); rc < 0) {
        char text[kErrTextLen];
        dpi_error_text(rc, text, sizeof text);
        PLX_LOG("Error: Could not enable all available protocols: err: %s", text);
        dpi_release();
        return rc;
    }
    if (!m.tables.valid()) {
        PLX_LOG("Error: Could not register for protocol families; err: %d", -1);
        dpi_release();
        return -1;
    }
    if (int rc = init_proto_family_mapping(m.tables); rc != 0) {
        PLX_LOG("Error: Could not register for protocol families; err: %d", rc);
        dpi_release();
        return rc;
    }
    std::strncpy(m.version, dpi_get_version(dpi_get_handle()), sizeof m.version - 1);
    m.version[sizeof m.version - 1] = '\0';
    if (ctx && ctx->policy)
        ctx->policy->resolve_app_id = plx_dpi_app_id;
    PLX_TRACE(PLX_DEBUG_DPI, "DPI Initialization done! Version: %s\n", m.version);
    return 0;
}

int plx_dpi_tables_refill(plx_ctx *ctx) {
    plx_dpi_state &m = plx_dpi_module();
    if (!m.tables.valid())
        return 0;
    int rc = init_proto_family_mapping(m.tables);
    // The knob was cleared with the tables: publish the count of users again.
    m.control_state = 0;
    if (ctx && policy_users(ctx) != 0)
        plx_dpi_publish_state(ctx);
    return rc;
}

void plx_dpi_destroy() {
    PLX_TRACE(PLX_DEBUG_DPI, "DPI Cleanup...\n");
    dpi_release();
    PLX_TRACE(PLX_DEBUG_DPI, "DPI Cleaup done!\n");
}

uint32_t plx_dpi_get_engine_id(const char *name) {
    if (!name)
        return 0;
    // Over 13 bytes: the terminator too, so "unclassifiedx" is not it.
    if (std::strncmp(name, DPI_UNCLASSIFIED_NAME, 13) == 0)
        return DPI_PROTO_UNCLASSIFIED;
    int id = dpi_proto_id(name);
    if (id > 0)
        return static_cast<uint32_t>(id);
    PLX_LOG("Could not find protocol! : %s", name);
    return 0;
}

const char *plx_dpi_get_proto_name(uint32_t id) {
    return dpi_proto_name(id);
}

uint32_t plx_dpi_app_id(std::string_view name, uint32_t kind) {
    std::string text(name);
    if (kind == 1)
        return plx_dpi_get_engine_id(text.c_str());
    if (kind == 2) {
        uint32_t f = plx_family_from_config_name(text.c_str());
        return f == PLX_APP_FAMILY_UNKNOWN ? 0 : f;
    }
    return 0;
}

void plx_dpi_set_app_visibility(plx_ctx *ctx, bool on) {
    if (ctx && ctx->policy)
        plx::cfg::plx_config_set_app_visibility(ctx->policy, on);
}

uint32_t plx_dpi_state_word(bool control) {
    const plx_dpi_state &m = plx_dpi_module();
    if (control)
        return m.control_state;
    return m.tables.state ? fp_load(*m.tables.state) : 0u;
}

namespace {
// The policy-wide words the forwarding plane reads besides the DPI knob: the flow knob, non-zero
// while flow records are exported (the number of users: the flow-visibility switch and every
// cflowd action), and the log frequency, whose default holds until one is configured (the
// database does not deliver defaults).
void publish_policy_words(const plx_ctx *ctx) {
    if (!ctx->policy)
        return;
    if (auto *knob = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_FLOW_KNOB)))
        if (fp_load(*knob) != ctx->policy->flow_ref_count)
            fp_store(*knob, ctx->policy->flow_ref_count);
    if (auto *log = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_FILTER_LOG_CFG)))
        if (fp_load(log[0]) != ctx->policy->log_frequency)
            fp_store(log[0], ctx->policy->log_frequency);
}
}  // namespace

void plx_dpi_publish_state(plx_ctx *ctx) {
    plx_dpi_state &m = plx_dpi_module();
    if (ctx)
        publish_policy_words(ctx);
    if (!ctx || !m.tables.state)
        return;
    uint32_t users = policy_users(ctx);
    if (fp_load(*m.tables.state) == users)
        return;
    fp_store(*m.tables.state, users);
    m.control_state = users;
    if (users != 0 || !ctx->fibd_msgq)
        return;
    uint8_t *buf = msgq_alloc(ctx->fibd_msgq, FIB_DPI_OFF_BUF);
    if (!buf) {
        PLX_LOG("Failed to allocate the DPI-off message for fibd");
        return;
    }
    std::memset(buf, 0, FIB_DPI_OFF_BUF);
    buf[0] = FIB_MSG_DPI_OFF;
    if (msgq_write(ctx->fibd_msgq, buf, 1) != 0) {
        PLX_LOG("Failed to send the DPI-off message to fibd");
        msgq_free(ctx->fibd_msgq, buf);
    }
}

void plx_dpi_exception_handler(int code) {
    PLX_LOG("Error: DPI engine exception: %s\n", dpi_exception_text(code));
}

void plx_dpi_attr_callback(const char *attribute) {
    PLX_TRACE(PLX_DEBUG_DPI, "      %s\n", attribute);
    if (plx_dpi_session_active())
        plx_dpi_session_printf("      %s\n", attribute);
}
