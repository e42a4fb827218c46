#include "peers/sysmgrd/sysmgrd_server.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/msgq_util.h"
#include "common/plx_paths.h"
#include "common/qrv_util.h"

namespace {

int64_t wall_ms() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

std::string json_escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string sysmgrd_check_hello(const uint8_t *payload, uint32_t len, sysmgr_hello_msg *hello) {
    if (len != sizeof(sysmgr_hello_msg)) {
        return "payload of " + std::to_string(len) + " bytes (expected " +
               std::to_string(sizeof(sysmgr_hello_msg)) + ")";
    }
    sysmgr_hello_msg msg;
    std::memcpy(&msg, payload, sizeof(msg));
    if (msg.version != SYSMGR_MSG_VERSION)
        return "version " + std::to_string(msg.version) + " (expected " +
               std::to_string(SYSMGR_MSG_VERSION) + ")";
    if (msg.type != SYSMGR_MSG_TYPE_HELLO)
        return "message type " + std::to_string(msg.type) + " (expected " +
               std::to_string(SYSMGR_MSG_TYPE_HELLO) + ")";
    if (msg.length != sizeof(sysmgr_hello_msg))
        return "length field " + std::to_string(msg.length) + " (expected " +
               std::to_string(sizeof(sysmgr_hello_msg)) + ")";
    if (msg.pid == 0)
        return "process id 0";
    if (hello)
        *hello = msg;
    return {};
}

SysmgrdServer::SysmgrdServer(event_base *evbase, timer_mgr *tmr_mgr, SysmgrdOptions options)
    : evbase_(evbase), tmr_mgr_(tmr_mgr), options_(std::move(options)) {
    socket_path_ = plx_path(std::string("/var/run/.") + qrv_daemon_name(QRV_MOD_SYSMGR));
}

SysmgrdServer::~SysmgrdServer() {
    stop();
}

int SysmgrdServer::start() {
    if (!handles_.empty())
        return EEXIST;
    msgq_params params = msgq_local_params(evbase_, tmr_mgr_);
    msgq_callbacks callbacks{on_up, on_down, on_reserved, on_recv, nullptr, nullptr};
    // Any module may say hello: one queue per module, all sharing the listening socket; the
    // registration of a connecting daemon picks its queue.
    for (uint32_t module = 1; module <= QRV_MOD_MAX; ++module) {
        if (module == QRV_MOD_SYSMGR)
            continue;
        msgq_handle *msgq_p =
            msgq_init(QRV_MOD_SYSMGR, module, MSGQ_HANDLE_TYPE_SERVER, &params, &callbacks, this);
        if (!msgq_p) {
            stop();
            return ENOMEM;
        }
        handles_.push_back(msgq_p);
    }
    if (!msgq_is_listening(handles_.front())) {
        stop();
        return EADDRINUSE;
    }
    return 0;
}

void SysmgrdServer::stop() {
    for (msgq_handle *msgq_p : handles_)
        msgq_deinit(msgq_p);
    handles_.clear();
}

SysmgrdClient &SysmgrdServer::client(uint32_t module) {
    SysmgrdClient &c = clients_[module];
    if (c.name.empty()) {
        c.module = module;
        c.name = qrv_daemon_name(static_cast<int>(module));
    }
    return c;
}

void SysmgrdServer::changed() {
    if (!options_.status_file.empty())
        write_status_file();
}

void SysmgrdServer::on_up(msgq_handle *msgq_p, void *arg) {
    auto *self = static_cast<SysmgrdServer *>(arg);
    SysmgrdClient &c = self->client(msgq_target(msgq_p));
    c.connected = true;
    c.connects++;
    std::fprintf(self->options_.out, "connected: %s (%u)\n", c.name.c_str(), c.module);
    std::fflush(self->options_.out);
    self->changed();
}

void SysmgrdServer::on_down(msgq_handle *msgq_p, void *arg) {
    auto *self = static_cast<SysmgrdServer *>(arg);
    SysmgrdClient &c = self->client(msgq_target(msgq_p));
    c.connected = false;
    std::fprintf(self->options_.out, "disconnected: %s (%u)\n", c.name.c_str(), c.module);
    std::fflush(self->options_.out);
    self->changed();
}

void SysmgrdServer::on_reserved(msgq_handle *, void *) {}

void SysmgrdServer::on_recv(msgq_handle *msgq_p, uint8_t *payload, uint32_t len, void *arg) {
    auto *self = static_cast<SysmgrdServer *>(arg);
    SysmgrdClient &c = self->client(msgq_target(msgq_p));
    sysmgr_hello_msg hello;
    std::string why = sysmgrd_check_hello(payload, len, &hello);
    msgq_free(msgq_p, payload);
    if (!why.empty()) {
        c.malformed++;
        std::fprintf(self->options_.err, "malformed hello from %s (%u): %s\n", c.name.c_str(),
                     c.module, why.c_str());
        std::fflush(self->options_.err);
        self->changed();
        return;
    }
    c.pid = hello.pid;
    c.hellos++;
    c.last_hello_ms = wall_ms();
    std::fprintf(self->options_.out, "hello from %s (%u) pid %u #%llu\n", c.name.c_str(), c.module,
                 c.pid, static_cast<unsigned long long>(c.hellos));
    std::fflush(self->options_.out);
    self->changed();
}

void SysmgrdServer::print_table(FILE *out) const {
    const int64_t now = wall_ms();
    std::fprintf(out, "%-6s %-12s %-8s %-8s %-10s %-16s %s\n", "MODULE", "NAME", "PID", "HELLOS",
                 "MALFORMED", "LAST HELLO (s)", "STATE");
    for (const auto &[module, c] : clients_) {
        char last[32];
        if (c.last_hello_ms)
            std::snprintf(last, sizeof(last), "%.1f", (now - c.last_hello_ms) / 1000.0);
        else
            std::snprintf(last, sizeof(last), "never");
        std::fprintf(out, "%-6u %-12s %-8u %-8llu %-10llu %-16s %s\n", module, c.name.c_str(),
                     c.pid, static_cast<unsigned long long>(c.hellos),
                     static_cast<unsigned long long>(c.malformed), last,
                     c.connected ? "up" : "down");
    }
    std::fflush(out);
}

int SysmgrdServer::write_status_file() const {
    const std::string tmp = options_.status_file + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return errno;
    std::fprintf(f, "{\n  \"clients\": [");
    bool first = true;
    for (const auto &[module, c] : clients_) {
        std::fprintf(
            f,
            "%s\n    {\"module\": %u, \"name\": \"%s\", \"connected\": %s, "
            "\"connects\": %u, \"pid\": %u, \"hellos\": %llu, \"malformed\": %llu, "
            "\"last_hello_ms\": %lld}",
            first ? "" : ",", module, json_escape(c.name).c_str(), c.connected ? "true" : "false",
            c.connects, c.pid, static_cast<unsigned long long>(c.hellos),
            static_cast<unsigned long long>(c.malformed), static_cast<long long>(c.last_hello_ms));
        first = false;
    }
    std::fprintf(f, "\n  ]\n}\n");
    bool ok = std::fflush(f) == 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), options_.status_file.c_str()) != 0) {
        int err = errno ? errno : EIO;
        std::remove(tmp.c_str());
        return err;
    }
    return 0;
}
