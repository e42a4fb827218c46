#include "qconfd/qconfd_log.h"

#include <atomic>
#include <cctype>
#include <cstring>

#include "common/qrv_util.h"

namespace {

std::atomic<int> debug_level{0};
std::atomic<uint8_t> module_id{0};
// Rewritten only when the module changes, on the event-loop thread, before any thread that
// reads it exists for that module.
char daemon_name[64] = "QCONFD";

}  // namespace

void qconfd_debug_enable(int level) {
    debug_level.store(level > 0 ? level : 1);
}

void qconfd_debug_disable() {
    debug_level.store(0);
}

int qconfd_debug_level() {
    return debug_level.load();
}

void qconfd_log_set_module(uint8_t id) {
    if (id == module_id.load())
        return;
    const char *name = id != 0 && id <= QRV_MOD_MAX ? qrv_daemon_name(id) : nullptr;
    if (!name || !*name)
        name = "qconfd";
    size_t i = 0;
    for (; name[i] && i + 1 < sizeof(daemon_name); ++i)
        daemon_name[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    daemon_name[i] = '\0';
    module_id.store(id);
}

uint8_t qconfd_log_module() {
    return module_id.load();
}

const char *qconfd_log_daemon_name() {
    return daemon_name;
}

bool qconfd_debug_wanted() {
    return debug_level.load() != 0 || module_id.load() == 0;
}
