// The message-queue transport's receive side: a peer's byte stream, cut into pieces of varying
// size, arrives on a real local connection to a listening queue, exactly as fibd's or a
// sibling daemon's bytes would. Input:
//   byte 0  bit 0: app-header mode (4-byte peer header, big-endian size at offset 2);
//           bit 1: send no registration first (transport mode only)
//   byte 1  seed of the piece sizes
//   rest    the stream
// The messages delivered must be exactly those that a plain reading of the stream finds, in
// order, and the connection must end cleanly when the peer goes away.
#include <event2/event.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/plx_paths.h"
#include "common/qrv_util.h"
#include "common/timer.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAppHdrLen = 4;
constexpr uint8_t kAppSizeOffset = 2;

struct Harness {
    event_base *base = nullptr;
    timer_mgr *tm = nullptr;
    msgq_handle *server = nullptr;  // transport framing, plxd's side of fibd
    msgq_handle *app = nullptr;     // app-header framing
    std::string server_path, app_path;
    std::vector<Bytes> got;
};
Harness h;

void on_recv(msgq_handle *q, uint8_t *payload, uint32_t len, void *) {
    h.got.emplace_back(payload, payload + len);
    msgq_free(q, payload);
}
void on_nothing(msgq_handle *, void *) {}

msgq_handle *open_server(uint32_t target, bool app_mode, const std::string &path) {
    msgq_params p = msgq_local_params(h.base, h.tm);
    if (app_mode) {
        p.use_app_header = 1;
        p.app_hdr_len = kAppHdrLen;
        p.size_offset = kAppSizeOffset;
    }
    std::snprintf(p.path, sizeof p.path, "%s", path.c_str());
    msgq_callbacks cbs{on_nothing, on_nothing, on_nothing, on_recv, nullptr, nullptr};
    return msgq_init(QRV_MOD_PLXD, target, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, nullptr);
}

int connect_to(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0) {
        std::perror("connect");
        std::abort();
    }
    return fd;
}

void send_piece(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            event_base_loop(h.base, EVLOOP_NONBLOCK);
            continue;
        }
        if (w < 0)
            return;  // the queue closed the connection: the rest goes nowhere
        p += w;
        n -= static_cast<size_t>(w);
    }
}

Bytes header(uint8_t type, uint16_t size) {
    msgq_hdr hdr{
        MAGIC1, size,  static_cast<uint8_t>(QRV_MOD_FIBD), static_cast<uint8_t>(QRV_MOD_PLXD),
        type,   MAGIC2};
    Bytes b(sizeof hdr);
    std::memcpy(b.data(), &hdr, sizeof hdr);
    return b;
}

// What a reader of the whole stream delivers: every complete message up to the first framing
// error that closes the connection.
std::vector<Bytes> expected(const Bytes &s, bool app_mode) {
    std::vector<Bytes> out;
    size_t pos = 0;
    if (app_mode) {
        while (s.size() - pos >= kAppHdrLen) {
            size_t size = size_t{s[pos + kAppSizeOffset]} << 8 | s[pos + kAppSizeOffset + 1];
            if (size <= kAppHdrLen || s.size() - pos < size)
                break;
            out.emplace_back(s.begin() + pos, s.begin() + pos + size);
            pos += size;
        }
        return out;
    }
    // Nothing is delivered before the peer registers as fibd towards plxd.
    if (s.size() < MSGQ_HDR_LEN)
        return out;
    msgq_hdr reg;
    std::memcpy(&reg, s.data(), sizeof reg);
    if (reg.magic1 != MAGIC1 || reg.magic2 != MAGIC2 || reg.type != MSGQ_MSG_TYPE_REGISTER ||
        reg.size != MSGQ_HDR_LEN || reg.source != QRV_MOD_FIBD || reg.target != QRV_MOD_PLXD)
        return out;
    pos = MSGQ_HDR_LEN;
    while (s.size() - pos >= MSGQ_HDR_LEN) {
        msgq_hdr hdr;
        std::memcpy(&hdr, s.data() + pos, sizeof hdr);
        if (hdr.magic1 != MAGIC1 || hdr.magic2 != MAGIC2 || hdr.type != MSGQ_MSG_TYPE_DATA)
            break;
        if (hdr.size <= MSGQ_HDR_LEN) {  // dropped; the stream goes on after its header
            pos += MSGQ_HDR_LEN;
            continue;
        }
        if (s.size() - pos < hdr.size)
            break;
        out.emplace_back(s.begin() + pos + MSGQ_HDR_LEN, s.begin() + pos + hdr.size);
        pos += hdr.size;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/tmp/plx-msgq-fuzz-XXXXXX";
    if (!mkdtemp(tmpl))
        std::abort();
    setenv("PLX_ROOT", tmpl, 1);
    std::filesystem::create_directories(std::string(tmpl) + "/var/run");
    h.base = event_base_new();
    h.tm = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    h.server_path = plx_path("/var/run/.plxd");
    h.app_path = plx_path("/var/run/.plxd-app");
    h.server = open_server(QRV_MOD_FIBD, false, h.server_path);
    h.app = open_server(QRV_MOD_SYSMGR, true, h.app_path);
    if (!h.base || !h.tm || !h.server || !h.app)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const bool app_mode = data[0] & 1;
    const bool registered = !app_mode && !(data[0] & 2);
    uint32_t seed = data[1] * 2654435761u + 1;
    Bytes stream;
    if (registered)
        stream = header(MSGQ_MSG_TYPE_REGISTER, MSGQ_HDR_LEN);
    stream.insert(stream.end(), data + 2, data + size);
    msgq_handle *q = app_mode ? h.app : h.server;

    h.got.clear();
    int fd = connect_to(app_mode ? h.app_path : h.server_path);
    int spins = 0;
    while (!msgq_is_connected(q) && msgq_unregistered_count() == 0) {
        if (++spins > 10000) {
            std::fprintf(stderr, "the queue never accepted the connection\n");
            std::abort();
        }
        event_base_loop(h.base, EVLOOP_NONBLOCK);
    }
    for (size_t pos = 0; pos < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = 1 + (seed >> 16) % 97;
        if (piece > stream.size() - pos)
            piece = stream.size() - pos;
        send_piece(fd, stream.data() + pos, piece);
        pos += piece;
        event_base_loop(h.base, EVLOOP_NONBLOCK);
    }
    close(fd);
    // The queue reads what is left and sees the end of the stream.
    spins = 0;
    while (msgq_is_connected(q) || msgq_unregistered_count() != 0) {
        if (++spins > 10000) {
            std::fprintf(stderr, "the queue never saw its peer go away\n");
            std::abort();
        }
        event_base_loop(h.base, EVLOOP_NONBLOCK);
    }
    if (h.got != expected(stream, app_mode)) {
        std::fprintf(stderr, "delivered %zu messages, the stream holds %zu\n", h.got.size(),
                     expected(stream, app_mode).size());
        std::abort();
    }
    return 0;
}
