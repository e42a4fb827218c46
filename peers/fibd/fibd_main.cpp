// fibd: the router's forwarding-table manager as far as filters go. Connects to plxd's listening
// queue as module 3, decodes the forwarding-table messages (types 1 to 5), keeps the binding
// state, writes it into the shared tables the forwarding plane reads, and appends every message
// as one JSON line to a journal.

#include <event2/event.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "common/timer.h"
#include "fplink/fib_msgs.h"
#include "fplink/fp_common.h"
#include "peers/fibd/fibd_cdb.h"
#include "peers/fibd/fibd_state.h"
#include "peers/peer_util/peer_loop.h"
#include "peers/peer_util/peer_main.h"

namespace {

constexpr uint32_t kWatchMs = 1000;

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: fibd [-j JOURNAL] [-c] [-q] [-d] [-h]\n"
                 "\n"
                 "Waits for the forwarding plane's shared tables to be ready, connects to plxd\n"
                 "(/var/run/.plxd under $PLX_ROOT, shared memory under $PLX_SHM_PREFIX) as\n"
                 "module 3 and reconnects whenever the connection is lost. Every forwarding-table\n"
                 "message is decoded, applied to the VPN and interface binding tables and, with\n"
                 "-j, appended to JOURNAL as one JSON line:\n"
                 "  {\"seq\":1,\"len\":147,\"type\":1,\"op\":\"policy-bind\",...}\n"
                 "A malformed message is logged, journalled with its \"error\" and dropped; the\n"
                 "connection stays up.\n"
                 "\n"
                 "Options:\n"
                 "  -j, --journal FILE  append decoded messages to FILE\n"
                 "  -c, --cdb           be a configuration-database client: set fibd's bit in\n"
                 "                      /qconfd-initial-read-priority once connected, and again\n"
                 "                      after the database restarts (127.0.0.1:4565, moved by\n"
                 "                      CONFD_IPC_ADDR and CONFD_IPC_PORT)\n"
                 "  -q, --quiet         no log lines on standard output\n"
                 "  -d, --daemon        detach from the terminal\n"
                 "  -h, --help          show this text\n"
                 "\n"
                 "Signals: SIGTERM, SIGINT and SIGUSR2 stop the program; SIGUSR1 prints the\n"
                 "binding state.\n");
}

struct Fibd {
    msgq_handle *q = nullptr;
    timer *watch = nullptr;
    FibdState *state = nullptr;
    FILE *journal = nullptr;
    std::string journal_path;
    uint64_t seq = 0;
    uint32_t fp_pid = 0;
};

// The journal is kept to two files of at most this size: FILE and FILE.1, the older lines.
constexpr long kJournalMaxBytes = 16L << 20;

FILE *open_journal(const std::string &path) {
    // A link planted in the journal's place is not followed.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    FILE *f = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (fd >= 0 && !f)
        close(fd);
    return f;
}

void journal_line(Fibd *d, uint32_t len, const std::string &body) {
    if (!d->journal)
        return;
    if (std::ftell(d->journal) > kJournalMaxBytes) {
        std::fclose(d->journal);
        std::rename(d->journal_path.c_str(), (d->journal_path + ".1").c_str());
        d->journal = open_journal(d->journal_path);
        if (!d->journal) {
            PLX_LOG("fibd: cannot reopen journal %s: %s\n", d->journal_path.c_str(),
                    std::strerror(errno));
            return;
        }
    }
    std::fprintf(d->journal, "{\"seq\":%llu,\"len\":%u,%s\n",
                 static_cast<unsigned long long>(d->seq), len, body.c_str() + 1);
    std::fflush(d->journal);
}

void on_up(msgq_handle *, void *arg) {
    auto *d = static_cast<Fibd *>(arg);
    PLX_LOG("fibd: connected to plxd; bindings cleared until plxd resends them\n");
    d->state->reset();
}

void on_down(msgq_handle *, void *) {
    PLX_LOG("fibd: connection to plxd lost\n");
}

void on_reserved(msgq_handle *, void *) {}

void on_recv(msgq_handle *q, uint8_t *payload, uint32_t len, void *arg) {
    auto *d = static_cast<Fibd *>(arg);
    ++d->seq;
    fib_msg m;
    std::string err;
    if (fib_msg_decode(std::span<const uint8_t>(payload, len), m, &err) != 0) {
        PLX_LOG("fibd: dropped malformed message #%llu (type %u, %u bytes): %s\n",
                static_cast<unsigned long long>(d->seq), len ? payload[0] : 0u, len, err.c_str());
        journal_line(d, len,
                     "{\"type\":" + std::to_string(len ? payload[0] : 0) +
                         ",\"error\":" + fib_json_string(err) + "}");
        if (fp_fib_ctrl *c = fp_fib_ctrl_tbl())
            fp_store(c->rejected, fp_load(c->rejected) + 1);
        msgq_free(q, payload);
        return;
    }
    std::string json = fib_msg_json(m);
    PLX_LOG("fibd: message #%llu %s\n", static_cast<unsigned long long>(d->seq), json.c_str());
    journal_line(d, len, json);
    std::vector<std::string> warnings;
    d->state->apply(m, &warnings);
    for (const std::string &w : warnings)
        PLX_LOG("fibd: %s\n", w.c_str());
    msgq_free(q, payload);
}

// The forwarding plane may restart (and clear its tables): write the bindings again.
void watch_cb(timer *, void *arg, void *, void *, void *) {
    auto *d = static_cast<Fibd *>(arg);
    fp_global_ctrl *g = fp_global_ctrl_tbl();
    uint32_t pid = fp_load(g->pid);
    if (fp_global_ready(*g) && pid != d->fp_pid) {
        PLX_LOG("fibd: forwarding plane restarted (pid %u), writing the bindings again\n", pid);
        d->fp_pid = pid;
        d->state->rewrite();
    }
    if (d->state->refresh_dpi())
        PLX_LOG("fibd: a policy uses application recognition again: DPI on\n");
}

void print_state(const FibdState &s) {
    std::printf("VPN bindings:\n");
    auto filter = [](const FibdState::Binding &b) {
        return b.bound ? static_cast<int>(b.filter) : -1;
    };
    for (const auto &[id, v] : s.vpns())
        std::printf("  vpn %u: data from-service %d from-tunnel %d all %d, app-route %d\n", id,
                    filter(v.data[0]), filter(v.data[1]), filter(v.data[2]), filter(v.app_route));
    std::printf("Interface bindings:\n");
    for (const auto &[name, b] : s.intfs())
        std::printf("  %s (vpn %u): in v4 %d v6 %d, out v4 %d v6 %d\n", name.c_str(), b.vpn_id,
                    static_cast<int>(b.filter[0][0]), static_cast<int>(b.filter[0][1]),
                    static_cast<int>(b.filter[1][0]), static_cast<int>(b.filter[1][1]));
    std::printf("DPI off: %s\n", s.dpi_off() ? "yes" : "no");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    static const option long_options[] = {
        {"journal", required_argument, nullptr, 'j'}, {"cdb", no_argument, nullptr, 'c'},
        {"quiet", no_argument, nullptr, 'q'},         {"daemon", no_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
    };
    std::string journal_path;
    bool quiet = false, detach = false, use_cdb = false;
    const PeerCommandLine cl{"fibd", usage, "j:cqdh", long_options};
    int status = peer_parse_options(cl, argc, argv, [&](int c, const char *arg) {
        if (c == 'j')
            journal_path = arg;
        use_cdb = use_cdb || c == 'c';
        quiet = quiet || c == 'q';
        detach = detach || c == 'd';
    });
    if (status >= 0)
        return status;
    plx_log_open("FIBD");
    if (!quiet)
        plx_debug_flags |= PLX_DEBUG_CONSOLE;
    signal(SIGPIPE, SIG_IGN);

    Fibd d;
    if (!journal_path.empty()) {
        d.journal_path = journal_path;
        d.journal = open_journal(journal_path);
        if (!d.journal) {
            std::fprintf(stderr, "fibd: cannot open journal %s: %s\n", journal_path.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    if (detach && !peer_detach("fibd"))
        return 1;
    if (!quiet)
        msgq_set_log_hook(peer_print_transport_error);

    if (fp_shm_attach(false, true) != 0) {
        std::fprintf(stderr, "fibd: cannot map the forwarding plane's shared memory\n");
        return 1;
    }
    // Wait for the forwarding plane (it clears the tables when it starts).
    peer_catch_stop_signals();
    fp_global_ctrl *g = fp_global_ctrl_tbl();
    if (!fp_global_ready(*g))
        PLX_LOG("fibd: waiting for the forwarding plane to become ready\n");
    if (!peer_wait_until([g] { return fp_global_ready(*g); }))
        return 0;
    d.fp_pid = fp_load(g->pid);

    FibdState state(fp_binding_tables_from_shm());
    d.state = &state;
    state.reset();

    PeerLoop loop;
    if (!loop.ok()) {
        std::fprintf(stderr, "fibd: out of memory\n");
        return 1;
    }
    msgq_params params = loop.local_queue_params();
    msgq_callbacks cbs{on_up, on_down, on_reserved, on_recv, nullptr, nullptr};
    d.q = msgq_init(QRV_MOD_FIBD, QRV_MOD_PLXD, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, &d);
    if (!d.q) {
        std::fprintf(stderr, "fibd: cannot create the queue towards plxd\n");
        return 1;
    }
    d.watch = timer_util_create(loop.tmr(), TIMER_PRI_NORMAL, TIMER_CYCLIC, kWatchMs, watch_cb, &d,
                                nullptr, nullptr, nullptr, "fibd-fp-watch");
    if (d.watch)
        timer_enable(d.watch);

    std::unique_ptr<FibdCdb> cdb;
    if (use_cdb) {
        cdb = std::make_unique<FibdCdb>(loop.base());
        if (!cdb->start()) {
            std::fprintf(stderr, "fibd: out of memory\n");
            return 1;
        }
    }

    loop.serve_peer_signals([](int sig) { PLX_LOG("fibd: signal %d, stopping\n", sig); },
                            [&state] { print_state(state); });

    PLX_LOG("fibd: started (pid %d), connecting to plxd\n", static_cast<int>(getpid()));
    loop.run();

    cdb.reset();
    msgq_deinit(d.q);
    if (d.watch)
        timer_util_delete(d.watch);
    if (d.journal)
        std::fclose(d.journal);
    return 0;
}
