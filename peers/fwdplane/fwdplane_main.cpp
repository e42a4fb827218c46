// fwdplane: the router's forwarding plane. Maps the shared object, runs the programs bound to
// each packet's interface and VPN over packets read from pcap captures and ClassBench traces,
// and prints per filter the packets evaluated and the hits per action record. Packets pass
// application recognition (fp_dpi.h) before the filters.

#include <getopt.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/plx_log.h"
#include "fplink/fp_common.h"
#include "peers/fpeval/fp_eval.h"
#include "peers/fwdplane/fp_dpi.h"
#include "peers/fwdplane/fp_engine.h"
#include "peers/peer_util/peer_loop.h"
#include "peers/peer_util/peer_main.h"
#include "platform/dpi/dpi_engine.h"

namespace {

constexpr uint64_t kClockRate = 1000000000ull;  // policer clock: one cycle per nanosecond

void usage(FILE *out) {
    std::fprintf(
        out,
        "usage: fwdplane [options] [[-i IF] [-o IF] [-v VPN] [-t] FILE]...\n"
        "\n"
        "Owner mode (default): creates or maps the shared object (/almushtarika under\n"
        "$PLX_SHM_PREFIX, size from $PLX_ROOT/etc/default/sim_size), clears its tables, sets\n"
        "the ready flag, processes the FILEs, prints the summary and exits; with no FILE, or\n"
        "with -w, it then keeps running until SIGTERM, SIGINT or SIGUSR2.\n"
        "Replay mode (-r): maps the tables of a running forwarding plane without clearing\n"
        "them, processes the FILEs against the live bindings and programs, prints the\n"
        "summary and exits.\n"
        "\n"
        "A FILE is a pcap capture (Ethernet, raw IP or Linux cooked; IPv4 and IPv6) or a\n"
        "ClassBench trace (\"SA DA SP DP PROTO FLAGS FILTER\" per line). The options before a\n"
        "FILE set where its packets arrive:\n"
        "  -i, --in IF        receiving interface (ingress access list; default ge0/0)\n"
        "  -o, --out IF       sending interface (egress access list; default none)\n"
        "  -v, --vpn VPN      VPN (data and app-route policies; default 1)\n"
        "  -t, --tunnel       packets come from the tunnel side (default: service side)\n"
        "Other options:\n"
        "  -r, --replay       replay mode (see above)\n"
        "  -w, --wait         keep running after the FILEs\n"
        "  -n, --loops N      process the FILEs N times, 0 = until stopped (default 1)\n"
        "  -R, --rate PPS     pace to PPS packets per second (default: as fast as possible)\n"
        "  -L, --trace-len N  IP length of trace packets (default 64)\n"
        "  -G, --trace-gap NS time between trace packets in ns (default 1000)\n"
        "  -p, --per-packet   print one line per packet\n"
        "  -D, --dpi          recognise applications even while no policy needs it\n"
        "  -I, --dpi-idle S   seconds of packet time after which an idle flow ends (30)\n"
        "  -S, --summary FILE write the summary to FILE instead of standard output\n"
        "  -q, --quiet        no summary\n"
        "  -h, --help         show this text\n"
        "\n"
        "Signals: SIGUSR1 prints the summary so far.\n");
}

struct Job {
    fp_input in;
    std::string path;
};

volatile sig_atomic_t g_print = 0;
void on_usr1(int) {
    g_print = 1;
}

uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void sleep_until(uint64_t t) {
    timespec ts{static_cast<time_t>(t / 1000000000ull), static_cast<long>(t % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR &&
           !peer_stop_requested()) {
    }
}

int64_t reference_eval(const PolicyProgram *prog, const uint32_t *fields) {
    FpPacket pkt;
    std::memcpy(pkt.field, fields, sizeof pkt.field);
    FpEvalResult r = fp_eval(prog, pkt);
    return r.status == FP_EVAL_OK ? r.index : -1;
}

void print_summary(const FpEngine &engine, const std::string &path) {
    FILE *out = stdout;
    if (!path.empty()) {
        out = std::fopen(path.c_str(), "w");
        if (!out) {
            std::fprintf(stderr, "fwdplane: cannot write %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return;
        }
    }
    engine.print_summary(out);
    if (out != stdout)
        std::fclose(out);
    else
        std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    static const option long_options[] = {
        {"in", required_argument, nullptr, 'i'},
        {"out", required_argument, nullptr, 'o'},
        {"vpn", required_argument, nullptr, 'v'},
        {"tunnel", no_argument, nullptr, 't'},
        {"replay", no_argument, nullptr, 'r'},
        {"wait", no_argument, nullptr, 'w'},
        {"loops", required_argument, nullptr, 'n'},
        {"rate", required_argument, nullptr, 'R'},
        {"trace-len", required_argument, nullptr, 'L'},
        {"trace-gap", required_argument, nullptr, 'G'},
        {"per-packet", no_argument, nullptr, 'p'},
        {"dpi", no_argument, nullptr, 'D'},
        {"dpi-idle", required_argument, nullptr, 'I'},
        {"summary", required_argument, nullptr, 'S'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    fp_input cur;
    cur.in_if = "ge0/0";
    cur.vpn = 1;
    std::vector<Job> jobs;
    bool replay = false, wait = false, per_packet = false, quiet = false;
    unsigned long loops = 1;
    double rate = 0;
    uint32_t trace_len = 64;
    uint64_t trace_gap = 1000;
    std::string summary_path;
    fp_dpi_options dpi_opt;
    auto number = [](const char *text, unsigned long max, const char *what) {
        char *end = nullptr;
        errno = 0;
        unsigned long v = std::strtoul(text, &end, 10);
        if (errno || !end || *end || end == text || v > max) {
            std::fprintf(stderr, "fwdplane: bad %s '%s'\n", what, text);
            std::exit(1);
        }
        return v;
    };
    // A leading '-' returns the FILEs in order (code 1), so per-file options apply.
    const PeerCommandLine cl{"fwdplane", usage, "-i:o:v:trwn:R:L:G:pDI:S:qh", long_options};
    int status = peer_parse_options(cl, argc, argv, [&](int c, const char *arg) {
        switch (c) {
            case 1:
                jobs.push_back({cur, arg});
                break;
            case 'i':
                cur.in_if = arg;
                break;
            case 'o':
                cur.out_if = arg;
                break;
            case 'v':
                cur.vpn = static_cast<uint32_t>(number(arg, 0xFFFFFFFFul, "VPN"));
                break;
            case 't':
                cur.origin = 2;
                break;
            case 'r':
                replay = true;
                break;
            case 'w':
                wait = true;
                break;
            case 'n':
                loops = number(arg, 0xFFFFFFFFul, "loop count");
                break;
            case 'R':
                rate = static_cast<double>(number(arg, 100000000ul, "rate"));
                break;
            case 'L':
                trace_len = static_cast<uint32_t>(number(arg, 65535, "trace length"));
                break;
            case 'G':
                trace_gap = number(arg, 1000000000000ul, "trace gap");
                break;
            case 'p':
                per_packet = true;
                break;
            case 'D':
                dpi_opt.force = true;
                break;
            case 'I':
                dpi_opt.idle_ns = number(arg, 86400, "idle time") * 1000000000ull;
                break;
            case 'S':
                summary_path = arg;
                break;
            case 'q':
                quiet = true;
                break;
        }
    });
    if (status >= 0)
        return status;
    if (replay && jobs.empty()) {
        std::fprintf(stderr, "fwdplane: replay mode needs at least one FILE\n");
        return 1;
    }
    plx_log_open("FWDPLANE");
    peer_catch_stop_signals();
    signal(SIGUSR1, on_usr1);

    if (fp_shm_attach(!replay, true) != 0) {
        std::fprintf(stderr, "fwdplane: cannot map the shared object\n");
        return 1;
    }
    fp_global_ctrl *g = fp_global_ctrl_tbl();
    if (replay) {
        if (!fp_global_ready(*g)) {
            std::fprintf(stderr, "fwdplane: no forwarding plane is running (tables not ready)\n");
            return 1;
        }
    } else {
        fp_store(g->clock_rate, kClockRate);
        fp_store(g->pid, static_cast<uint32_t>(getpid()));
        std::atomic_ref<uint8_t>(g->flags19).fetch_or(FP_GLOBAL_READY_BIT);
        std::printf("fwdplane: tables ready (pid %d, %u filters, %u blocks)\n",
                    static_cast<int>(getpid()), g_fp_scaling.num_filters,
                    g_fp_scaling.num_filter_mem_blocks);
        std::fflush(stdout);
    }

    FpEngine engine(fp_tables_from_shm(), reference_eval, fp_load(g->clock_rate));
    // The forwarding plane's own recognition engine: a flow's verdict is final once its first
    // packets named the application.
    dpi_config dcfg;
    dpi_config_defaults(&dcfg);
    dcfg.guess_on_giveup = true;
    dcfg.skip_tor_hosts = true;
    dcfg.dns_subclassify = true;
    dcfg.host_names = true;
    dcfg.count_unclassified = true;
    if (dpi_init(dcfg) != 0 || dpi_enable_all_protocols() != 0)
        std::fprintf(stderr, "fwdplane: application recognition unavailable\n");
    FpDpi dpi(plx_dpi_tables_from_shm(), dpi_opt);
    uint64_t seq = 0;
    uint64_t pace_ns = rate > 0 ? static_cast<uint64_t>(1e9 / rate) : 0;
    uint64_t next_send = now_ns();
    // Packet times keep increasing across files and loops, so policers see time pass.
    int64_t offset = 0;
    uint64_t last_time = 0;
    int rc = 0;
    for (unsigned long pass = 0; (loops == 0 || pass < loops) && !peer_stop_requested(); ++pass) {
        for (const Job &job : jobs) {
            if (peer_stop_requested())
                break;
            bool rebase = true;
            std::string err;
            int r = fp_read_packets(
                job.path, trace_len, trace_gap,
                [&](fp_packet &pkt) {
                    if (peer_stop_requested())
                        return;
                    if (rebase) {
                        offset = static_cast<int64_t>(last_time ? last_time + trace_gap : 0) -
                                 static_cast<int64_t>(pkt.time_ns);
                        rebase = false;
                    }
                    pkt.time_ns = static_cast<uint64_t>(static_cast<int64_t>(pkt.time_ns) + offset);
                    if (pkt.time_ns > last_time)
                        last_time = pkt.time_ns;
                    if (pace_ns) {
                        sleep_until(next_send);
                        next_send += pace_ns;
                    }
                    ++seq;
                    std::string trace;
                    dpi.classify(pkt);
                    std::string before = per_packet ? fp_packet_str(pkt) : std::string();
                    engine.process(pkt, job.in, per_packet ? &trace : nullptr);
                    std::atomic_ref<uint64_t>(g->packets).fetch_add(1, std::memory_order_relaxed);
                    if (per_packet)
                        std::printf("%" PRIu64 " %s@%u %s%s\n", seq, job.in.in_if.c_str(),
                                    job.in.vpn, before.c_str(), trace.c_str());
                    if (g_print) {
                        g_print = 0;
                        print_summary(engine, summary_path);
                    }
                },
                [&](const std::string &why) {
                    ++seq;
                    engine.count_bad();
                    if (per_packet)
                        std::printf("%" PRIu64 " dropped: %s\n", seq, why.c_str());
                },
                &err);
            if (r != 0) {
                std::fprintf(stderr, "fwdplane: %s\n", err.c_str());
                rc = 1;
            }
        }
        if (jobs.empty())
            break;
    }
    dpi.flush();
    if (!quiet && !jobs.empty()) {
        print_summary(engine, summary_path);
        const fp_dpi_stats &ds = dpi.stats();
        std::printf("Application recognition: %s; %" PRIu64 " packets, %" PRIu64 " flows, %" PRIu64
                    " counted, %" PRIu64 " without room\n",
                    dpi.active() ? "on" : "off (no policy needs it; --dpi forces it)", ds.packets,
                    ds.flows, ds.counted, ds.table_full);
    }

    if (!replay && (wait || jobs.empty())) {
        while (!peer_stop_requested()) {
            if (g_print) {
                g_print = 0;
                print_summary(engine, summary_path);
            }
            usleep(100 * 1000);
        }
    }
    dpi.flush();
    dpi_release();
    if (!replay) {
        // The tables are no longer served.
        std::atomic_ref<uint8_t>(g->flags19).fetch_and(static_cast<uint8_t>(~FP_GLOBAL_READY_BIT));
        std::printf("fwdplane: stopped\n");
    }
    return rc;
}
