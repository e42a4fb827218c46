// The configuration database server's handling of what clients send: frames arriving in pieces
// on one connection, served by a real server (the router's YANG models, a datastore in a
// temporary directory) over an in-memory stream. Input:
//   byte 0  the socket kind announced by a Hello sent first (a value past the table: no Hello)
//   byte 1  seed of the piece sizes
//   rest    the frames
// The connection must end cleanly once the client goes away, whatever it sent.
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "peers/cdbd/cdbd_server.h"
#include "platform/confd/confd_wire.h"

using confd_wire::Op;
using confd_wire::WireSock;

namespace {

std::unique_ptr<cdbd::CdbServer> g_server;

const WireSock kKinds[] = {WireSock::CdbRead, WireSock::CdbSubscription, WireSock::CdbData,
                           WireSock::Schema,  WireSock::Maapi,           WireSock::Cli,
                           WireSock::Control, WireSock::Worker};

std::vector<uint8_t> hello(WireSock kind) {
    confd_wire::WireWriter w(Op::Hello);
    w.u32(static_cast<uint32_t>(kind));
    w.str("fuzz");
    w.u64(kind == WireSock::Control || kind == WireSock::Worker ? 42 : 0);
    return w.finish();
}

void drain(bufferevent *client) {
    evbuffer *in = bufferevent_get_input(client);
    evbuffer_drain(in, evbuffer_get_length(in));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/tmp/plx-cdbd-fuzz-XXXXXX";
    if (!mkdtemp(tmpl))
        std::abort();
    cdbd::ServerOptions o;
    o.yang_dir = PLX_YANG_DIR;
    o.db_dir = tmpl;
    o.port = 0;
    o.daemon_timeout_ms = 50;
    o.sync_timeout_ms = 50;
    g_server = std::make_unique<cdbd::CdbServer>(o);
    std::string err;
    if (!g_server->init(err)) {
        std::fprintf(stderr, "cdbd: %s\n", err.c_str());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    std::vector<uint8_t> stream;
    if (data[0] < std::size(kKinds))
        stream = hello(kKinds[data[0]]);
    stream.insert(stream.end(), data + 2, data + size);
    uint32_t seed = data[1] * 2654435761u + 1;

    bufferevent *pair[2];
    if (bufferevent_pair_new(g_server->base(), BEV_OPT_CLOSE_ON_FREE, pair) != 0)
        std::abort();
    bufferevent_enable(pair[0], EV_READ | EV_WRITE);
    const uint64_t id = g_server->serve_stream(pair[1], "fuzz");
    for (size_t pos = 0; pos < stream.size() && g_server->conn_open(id);) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = 1 + (seed >> 16) % 257;
        if (piece > stream.size() - pos)
            piece = stream.size() - pos;
        bufferevent_write(pair[0], stream.data() + pos, piece);
        pos += piece;
        g_server->run_once();
        drain(pair[0]);
    }
    // The client goes away: a finishing flush is how a pair tells its other end about the end
    // of the stream.
    bufferevent_flush(pair[0], EV_WRITE, BEV_FINISHED);
    bufferevent_free(pair[0]);
    for (int spins = 0; g_server->conn_open(id); ++spins) {
        if (spins > 10000) {
            std::fprintf(stderr, "the server kept a connection whose client went away\n");
            std::abort();
        }
        g_server->run_once();
    }
    return 0;
}
