// hbusd: the router's messaging daemon as far as TLOC state goes. Serves plxd (module 9) as
// module 2, announces the TLOCs of a TLOC file and every change made with hbusctl.

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/msgq_util.h"
#include "peers/hbusd/hbusd_server.h"
#include "peers/peer_util/peer_loop.h"
#include "peers/peer_util/peer_main.h"

namespace {

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: hbusd [-t TLOC_FILE] [-q] [-d] [-h]\n"
                 "\n"
                 "Listens on /var/run/.hbusd (under $PLX_ROOT when set) for plxd and announces\n"
                 "TLOC state to it: every TLOC when plxd subscribes, then each change made with\n"
                 "hbusctl (control socket /var/run/.hbusctl). TLOC_FILE gives the TLOCs known at\n"
                 "start, one per line:\n"
                 "  <originator> <color> <encap> [index=N] [preference=N] [weight=N]\n"
                 "                               [status=up|down|N] [local=yes|no]\n"
                 "e.g. \"10.0.0.1 mpls ipsec index=1 preference=100 weight=1\"; '#' starts a\n"
                 "comment.\n"
                 "\n"
                 "Options:\n"
                 "  -t, --tlocs FILE  TLOCs known at start\n"
                 "  -q, --quiet       no log lines on standard output\n"
                 "  -d, --daemon      detach from the terminal\n"
                 "  -h, --help        show this text\n"
                 "\n"
                 "Signals: SIGTERM, SIGINT and SIGUSR2 stop the program; SIGUSR1 prints the\n"
                 "TLOC table.\n");
}

}  // namespace

int main(int argc, char **argv) {
    static const option long_options[] = {
        {"tlocs", required_argument, nullptr, 't'},
        {"quiet", no_argument, nullptr, 'q'},
        {"daemon", no_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::string tloc_file;
    bool quiet = false, detach = false;
    const PeerCommandLine cl{"hbusd", usage, "t:qdh", long_options};
    int status = peer_parse_options(cl, argc, argv, [&](int c, const char *arg) {
        if (c == 't')
            tloc_file = arg;
        quiet = quiet || c == 'q';
        detach = detach || c == 'd';
    });
    if (status >= 0)
        return status;
    HbusTlocTable tlocs;
    if (!tloc_file.empty()) {
        if (std::string err = hbus_load_tloc_file(tloc_file, &tlocs); !err.empty()) {
            std::fprintf(stderr, "hbusd: %s\n", err.c_str());
            return 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    if (detach && !peer_detach("hbusd"))
        return 1;
    if (!quiet)
        msgq_set_log_hook(peer_print_transport_error);

    PeerLoop loop;
    if (!loop.ok()) {
        std::fprintf(stderr, "hbusd: out of memory\n");
        return 1;
    }
    HbusdServer server(loop.base(), loop.tmr(), std::move(tlocs), quiet ? nullptr : stdout);
    if (int err = server.start(); err != 0) {
        std::fprintf(stderr, "hbusd: cannot listen: %s\n", std::strerror(err));
        return 1;
    }
    loop.serve_peer_signals(
        [quiet](int sig) {
            if (!quiet)
                std::printf("hbusd: signal %d, stopping\n", sig);
            std::fflush(stdout);
        },
        [&server] {
            std::fputs(server.run_command("list").c_str() + 3, stdout);
            std::fflush(stdout);
        });
    if (!quiet) {
        std::printf("hbusd: %zu TLOCs, waiting for plxd (pid %d)\n", server.tlocs().size(),
                    static_cast<int>(getpid()));
        std::fflush(stdout);
    }
    loop.run();
    server.stop();
    return 0;
}
