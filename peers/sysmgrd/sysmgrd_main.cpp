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
#include "common/timer.h"
#include "peers/sysmgrd/sysmgrd_server.h"

namespace {

constexpr uint32_t kTimerBudgetMs = 100;

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

struct Loop {
    event_base *base = nullptr;
    timer_mgr *tmr = nullptr;
    event *tick = nullptr;
    SysmgrdServer *server = nullptr;
};

void tick_cb(evutil_socket_t, short, void *arg) {
    auto *loop = static_cast<Loop *>(arg);
    timer_exec(loop->tmr, TIMER_PRI_MASK_ALL, kTimerBudgetMs);
}

void stop_cb(evutil_socket_t sig, short, void *arg) {
    auto *loop = static_cast<Loop *>(arg);
    std::printf("sysmgrd: signal %d, stopping\n", static_cast<int>(sig));
    std::fflush(stdout);
    event_base_loopbreak(loop->base);
}

void table_cb(evutil_socket_t, short, void *arg) {
    static_cast<Loop *>(arg)->server->print_table(stdout);
}

void print_transport_error(const char *line) {
    std::fprintf(stderr, "%s\n", line);
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
    for (int c; (c = getopt_long(argc, argv, "s:vh", long_options, nullptr)) != -1;) {
        switch (c) {
            case 's':
                options.status_file = optarg;
                break;
            case 'v':
                verbose = true;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 1;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "sysmgrd: unexpected argument '%s'\n", argv[optind]);
        usage(stderr);
        return 1;
    }
    if (verbose)
        msgq_set_log_hook(print_transport_error);

    Loop loop;
    loop.base = event_base_new();
    loop.tmr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    if (!loop.base || !loop.tmr) {
        std::fprintf(stderr, "sysmgrd: out of memory\n");
        return 1;
    }
    int rc = 0;
    {
        SysmgrdServer server(loop.base, loop.tmr, options);
        loop.server = &server;
        if (int err = server.start(); err != 0) {
            std::fprintf(stderr, "sysmgrd: cannot listen on %s: %s\n", server.socket_path().c_str(),
                         std::strerror(err));
            rc = 1;
        } else {
            if (!options.status_file.empty()) {
                if (int err = server.write_status_file(); err != 0)
                    std::fprintf(stderr, "sysmgrd: cannot write %s: %s\n",
                                 options.status_file.c_str(), std::strerror(err));
            }
            timeval tick_tv{};
            timer_get_tick_interval(loop.tmr, &tick_tv);
            loop.tick = event_new(loop.base, -1, EV_PERSIST, tick_cb, &loop);
            event_add(loop.tick, &tick_tv);
            event *signals[4];
            const int stop_signals[] = {SIGTERM, SIGINT, SIGUSR2};
            for (int i = 0; i < 3; ++i) {
                signals[i] = evsignal_new(loop.base, stop_signals[i], stop_cb, &loop);
                event_add(signals[i], nullptr);
            }
            signals[3] = evsignal_new(loop.base, SIGUSR1, table_cb, &loop);
            event_add(signals[3], nullptr);

            std::printf("sysmgrd: listening on %s (pid %d)\n", server.socket_path().c_str(),
                        static_cast<int>(getpid()));
            std::fflush(stdout);
            event_base_dispatch(loop.base);

            server.stop();
            for (event *ev : signals)
                event_free(ev);
            event_free(loop.tick);
        }
    }
    timer_mgr_delete(loop.tmr);
    event_base_free(loop.base);
    return rc;
}
