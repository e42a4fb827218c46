// sysmgrd: the router's system manager as far as the daemon hello goes. Listens as module 7,
// prints one line per hello, and reports per client the last hello and the number of hellos.

#include <event2/event.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/msgq_util.h"
#include "common/plx_log.h"
#include "peers/peer_util/peer_loop.h"
#include "peers/peer_util/peer_main.h"
#include "peers/sysmgrd/sysmgrd_server.h"

namespace {

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: sysmgrd [--status-file PATH] [--verbose] [--help]\n"
                 "\n"
                 "Listens on /var/run/.sysmgrd (under $PLX_ROOT when set) for the hellos of the\n"
                 "router's daemons and prints one line per hello:\n"
                 "  hello from plxd (9) pid 1234 #5\n"
                 "\n"
                 "Options:\n"
                 "  -s, --status-file PATH  rewrite PATH (JSON: per client module its pid,\n"
                 "                          hellos, malformed messages, connection state and\n"
                 "                          last hello in ms since the epoch) on every change\n"
                 "  -v, --verbose           also print transport errors on standard error\n"
                 "  -h, --help              show this text\n"
                 "\n"
                 "Signals: SIGUSR1 prints a table of the clients; SIGTERM, SIGINT and SIGUSR2\n"
                 "stop the program cleanly.\n");
}

}  // namespace

int main(int argc, char **argv) {
    SysmgrdOptions options;
    static const option long_options[] = {
        {"status-file", required_argument, nullptr, 's'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool verbose = false;
    const PeerCommandLine cl{"sysmgrd", usage, "s:vh", long_options};
    int status = peer_parse_options(cl, argc, argv, [&](int c, const char *arg) {
        if (c == 's')
            options.status_file = arg;
        verbose = verbose || c == 'v';
    });
    if (status >= 0)
        return status;
    if (verbose)
        msgq_set_log_hook(peer_print_transport_error);

    PeerLoop loop;
    if (!loop.ok()) {
        std::fprintf(stderr, "sysmgrd: out of memory\n");
        return 1;
    }
    SysmgrdServer server(loop.base(), loop.tmr(), options);
    if (int err = server.start(); err != 0) {
        std::fprintf(stderr, "sysmgrd: cannot listen on %s: %s\n", server.socket_path().c_str(),
                     std::strerror(err));
        return 1;
    }
    if (!options.status_file.empty()) {
        if (int err = server.write_status_file(); err != 0)
            std::fprintf(stderr, "sysmgrd: cannot write %s: %s\n", options.status_file.c_str(),
                         std::strerror(err));
    }
    loop.serve_peer_signals(
        [](int sig) {
            std::printf("sysmgrd: signal %d, stopping\n", sig);
            std::fflush(stdout);
        },
        [&server] { server.print_table(stdout); });

    std::printf("sysmgrd: listening on %s (pid %d)\n", server.socket_path().c_str(),
                static_cast<int>(getpid()));
    std::fflush(stdout);
    loop.run();
    server.stop();
    return 0;
}
