#include "platform/dpi/dpi_engine.h"

#include <ndpi_api.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/dpi/dpi_engine_internal.h"
#include "platform/dpi/dpi_family_map.h"

struct dpi_engine {
    ndpi_detection_module_struct *mod = nullptr;
    dpi_config cfg{};
    bool enabled = false;
    std::string version;
    // Indexed by unique id; entry 0 unused.
    std::vector<std::string> names, long_names, families;
    std::vector<dpi_proto_info> infos;
};

namespace {

dpi_engine *g_engine = nullptr;
dpi_exception_fn g_exception_fn = nullptr;

// Builds the id tables from nDPI's protocol defaults.
dpi_code load_protocols(dpi_engine &e) {
    ndpi_proto_defaults_t *d = ndpi_get_proto_defaults(e.mod);
    uint32_t n = ndpi_get_num_supported_protocols(e.mod);
    if (!d || n + 1 > DPI_MAX_PROTO_IDS)
        return DPI_ERR_TOO_MANY;
    e.names.assign(n + 1, "");
    e.long_names.assign(n + 1, "");
    e.families.assign(n + 1, "");
    for (uint32_t i = 0; i < n; ++i) {
        if (!d[i].protoName)
            continue;
        uint32_t id = i + 1;
        std::string name = d[i].protoName;
        e.long_names[id] = name;
        e.families[id] = std::string(dpi_family_of(name, d[i].protoCategory));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        e.names[id] = name;
    }
    e.names[DPI_PROTO_UNCLASSIFIED] = DPI_UNCLASSIFIED_NAME;
    e.long_names[DPI_PROTO_UNCLASSIFIED] = "Unclassified";
    e.infos.resize(n + 1);
    for (uint32_t id = 1; id <= n; ++id)
        e.infos[id] = {e.long_names[id].c_str(), e.families[id].c_str()};
    return DPI_OK;
}

bool known(const dpi_engine *e, uint32_t id) {
    return e && id >= 1 && id < e->names.size() && !e->names[id].empty();
}

}  // namespace

void dpi_config_defaults(dpi_config *cfg) {
    *cfg = dpi_config{};
}

void dpi_register_exception_handler(dpi_exception_fn fn) {
    g_exception_fn = fn;
}

void dpi_raise_exception(int code) {
    if (g_exception_fn)
        g_exception_fn(code);
}

const char *dpi_exception_text(int code) {
    // Indexed by -code: DPI_OK, then the errors from DPI_ERR_NOT_STARTED down.
    static constexpr const char *kTexts[] = {"no error",
                                             "engine not started",
                                             "engine already started",
                                             "out of memory",
                                             "protocol id beyond the shared tables",
                                             "invalid argument",
                                             "protocols not enabled",
                                             "protocol walk stopped by its callback",
                                             "flow table full"};
    static_assert(-DPI_ERR_FLOW_TABLE + 1 == std::size(kTexts));
    return code <= 0 && -code < static_cast<int>(std::size(kTexts)) ? kTexts[-code]
                                                                    : "unknown error";
}

void dpi_error_text(int code, char *buf, size_t size) {
    if (!buf || size == 0)
        return;
    std::snprintf(buf, size, "%s (%d)", dpi_exception_text(code), code);
}

dpi_code dpi_init(const dpi_config &cfg) {
    if (g_engine)
        return DPI_ERR_STARTED;
    ndpi_init_prefs prefs = ndpi_no_prefs;
    if (cfg.skip_tor_hosts)
        prefs |= ndpi_dont_load_tor_hosts;
    if (cfg.ja3_plus)
        prefs |= ndpi_enable_ja3_plus;
    auto *e = new dpi_engine;
    e->cfg = cfg;
    e->mod = ndpi_init_detection_module(prefs);
    if (!e->mod) {
        delete e;
        return DPI_ERR_NOMEM;
    }
    if (cfg.tls_block_dissection)
        ndpi_set_detection_preferences(e->mod, ndpi_pref_enable_tls_block_dissection, 1);
    e->version = std::string("nDPI ") + ndpi_revision();
    g_engine = e;
    return DPI_OK;
}

dpi_code dpi_enable_all_protocols() {
    if (!g_engine)
        return DPI_ERR_NOT_STARTED;
    if (g_engine->enabled)
        return DPI_OK;
    NDPI_PROTOCOL_BITMASK all;
    NDPI_BITMASK_SET_ALL(all);
    ndpi_set_protocol_detection_bitmask2(g_engine->mod, &all);
    ndpi_finalize_initialization(g_engine->mod);
    if (dpi_code rc = load_protocols(*g_engine); rc != DPI_OK)
        return rc;
    g_engine->enabled = true;
    return DPI_OK;
}

dpi_code dpi_walk_protocols(dpi_proto_filter, dpi_proto_walk_fn fn, void *arg) {
    if (!g_engine)
        return DPI_ERR_NOT_STARTED;
    if (!g_engine->enabled)
        return DPI_ERR_NOT_ENABLED;
    if (!fn)
        return DPI_ERR_INVALID;
    for (uint32_t id = 1; id < g_engine->names.size(); ++id) {
        if (g_engine->names[id].empty())
            continue;
        dpi_proto p{g_engine->names[id].c_str(), g_engine->families[id].c_str(), id};
        if (fn(&p, arg) != 0)
            return DPI_ERR_CALLBACK;
    }
    return DPI_OK;
}

const dpi_engine *dpi_get_handle() {
    return g_engine;
}

const char *dpi_get_version(const dpi_engine *engine) {
    return engine ? engine->version.c_str() : "";
}

const char *dpi_proto_name(uint32_t id) {
    return known(g_engine, id) ? g_engine->names[id].c_str() : nullptr;
}

int dpi_proto_id(const char *name) {
    if (!g_engine || !name)
        return 0;
    for (uint32_t id = 1; id < g_engine->names.size(); ++id)
        if (!g_engine->names[id].empty() && strcasecmp(g_engine->names[id].c_str(), name) == 0)
            return static_cast<int>(id);
    return 0;
}

const dpi_proto_info *dpi_get_proto_info(uint32_t id) {
    return known(g_engine, id) ? &g_engine->infos[id] : nullptr;
}

uint32_t dpi_max_proto_id() {
    return g_engine && g_engine->enabled ? static_cast<uint32_t>(g_engine->names.size() - 1) : 0;
}

void dpi_release() {
    if (!g_engine)
        return;
    ndpi_exit_detection_module(g_engine->mod);
    delete g_engine;
    g_engine = nullptr;
}

// ---- For the flow classifier ------------------------------------------------------------------

ndpi_detection_module_struct *dpi_internal_module() {
    return g_engine && g_engine->enabled ? g_engine->mod : nullptr;
}

const dpi_config *dpi_internal_config() {
    return g_engine ? &g_engine->cfg : nullptr;
}

uint32_t dpi_internal_unique_id(uint16_t ndpi_proto) {
    uint32_t id = uint32_t{ndpi_proto} + 1;
    return known(g_engine, id) ? id : DPI_PROTO_UNCLASSIFIED;
}
