// Applying policy changes, timed on the daemon's own pieces over real transport queues:
//
//   commit A data policy loaded with the command line's request into the configuration
//          database, delivered to the daemon's subscriptions and readers, processed by the
//          daemon's subscription-done callback, to the bind message sent to fibd (the end of
//          the callback that wrote it). fibd runs in a process of its own in the router; the
//          stand-in here shares the daemon's event loop and reads the bind only after the loop
//          has served what came in meanwhile (the commit's later priority levels), so its read
//          is reported apart.
//   tloc   A TLOC update sent by hbusd (its server, driven by its control command) to the last
//          bind message fibd receives for the policies that name the TLOC (plxd's hbus link,
//          the TLOC db, the reprocessing: unbind, rule-table build, compile, placement, bind).
//   yield  A ClassBench set loaded as one data policy and processed on the event loop while
//          the system-manager hello timer runs, with the compiler's yield hook and without it:
//          the longest gap between two hellos as the system manager receives them.
//
//   plx_bench_apply commit [SEQUENCES [RUNS]]              defaults 100 20
//   plx_bench_apply tloc [POLICIES [SEQUENCES [RUNS]]]     defaults 10 10 20
//   plx_bench_apply yield [SET [RULES [MIB]]]              defaults acl1_10k, all rules, 128 MiB
//                                           (ClassBench sets from PLX_BENCH_DATA when set;
//                                           PLX_BENCH_WHERE=1 prints where the longest
//                                           stretch without a yield began and ended)
#include <arpa/inet.h>
#include <dlfcn.h>
#include <event2/event.h>
#include <execinfo.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/msgq_util.h"
#include "common/qrv_util.h"
#include "common/sysmgr_client.h"
#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "compiler/plx_mem_ops.h"
#include "daemon/plx_confd_module.h"
#include "daemon/plx_ctx.h"
#include "daemon/plx_daemon.h"
#include "fplink/fib_msgs.h"
#include "fplink/plx_fibd.h"
#include "fplink/plx_hbus.h"
#include "peers/cdbd/cdbd_server.h"
#include "peers/hbusd/hbusd_server.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_client.h"
#include "policy/plx_class.h"
#include "policy/plx_config.h"
#include "policy/plx_process.h"
#include "progmem/plx_if_fpmem.h"
#include "qconfd/qconfd_api.h"

extern char **environ;

namespace {

namespace cfg = plx::cfg;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// plxd's pieces on one event loop: the policy model, program memory over private tables, the
// compiler, the processing, the fibd link with a fibd that decodes what it receives.
class Daemon {
  public:
    bool start(uint32_t blocks, uint32_t filters) {
        char tmpl[] = "/tmp/apply-bench-XXXXXX";
        if (!mkdtemp(tmpl))
            return false;
        root_ = tmpl;
        setenv("PLX_ROOT", root_.c_str(), 1);
        fs::create_directories(root_ + "/var/run");
        base_ = event_base_new();
        tm_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ctx.evbase = base_;
        ctx.tmr_mgr = tm_;
        ctx.policy = &db;
        tick_ = event_new(base_, -1, EV_PERSIST, on_tick, this);
        timeval ten{0, 10000};
        event_add(tick_, &ten);
        if (cfg::plx_control_fc_init(&db) || cfg::plx_sla_class_init(&db) ||
            cfg::plx_policy_init(&db))
            return false;
        mem_.assign(size_t{blocks} * 128, 0);
        filters_.assign(filters, FilterEntry{});
        ops_ = plx_fpmem_ops(plx_process_oom_policies);
        ctx.mem_ops = &ops_;
        if (plx_mem_init_tables(&ctx, {mem_.data(), blocks, filters_.data(), filters}, true))
            return false;
        ctx.compiler = plx_compiler_create();
        plx_compiler_set_mem_ops(ctx.compiler, plx_mem_alloc, plx_mem_free);
        plx_compiler_set_filter_id_fn(ctx.compiler, plx_mem_current_filter);
        plx_process_opts opts;
        opts.num_filters = filters;
        opts.clock_rate = [] { return uint64_t{800'000'000}; };
        plx_process_attach(&ctx, opts);
        if (plx_fibd_link_init(&ctx) != 0)
            return false;
        msgq_params params = msgq_local_params(base_, tm_);
        msgq_callbacks client{fibd_up, nullptr, nothing, fibd_recv, nullptr, nullptr};
        fibd_ =
            msgq_init(QRV_MOD_FIBD, QRV_MOD_PLXD, MSGQ_HANDLE_TYPE_CLIENT, &params, &client, this);
        return run_until([this] { return fibd_up_; }, 5000);
    }
    void stop() {
        std::vector<std::pair<uint32_t, std::string>> names;
        for (cfg::policy &p : db.policies)
            names.emplace_back(p.type, std::string(p.name.view()));
        for (auto &[type, name] : names)
            cfg::plx_config_policy_delete(&db, type, name);
        plx_process_detach(&ctx);
        if (fibd_)
            msgq_deinit(fibd_);
        plx_fibd_link_deinit(&ctx);
        if (ctx.compiler)
            plx_compiler_destroy(ctx.compiler);
        plx_mem_destroy();
        cfg::plx_policy_teardown(&db);
        if (tick_)
            event_free(tick_);
        timer_mgr_delete(tm_);
        event_base_free(base_);
        fs::remove_all(root_);
    }
    // Runs the loop until done() or the time-out; true when done.
    template <class F>
    bool run_until(F done, int timeout_ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (Clock::now() > end)
                return false;
            event_base_loop(base_, EVLOOP_ONCE);
        }
        return true;
    }
    void run_for(int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        run_until([&] { return Clock::now() > end; }, ms + 1000);
    }

    plx_ctx ctx{};
    cfg::plx_policy_db db;
    size_t binds = 0;  // bind messages fibd received
    Clock::time_point last_bind;

  private:
    static void on_tick(evutil_socket_t, short, void *arg) {
        timer_exec(static_cast<Daemon *>(arg)->tm_, TIMER_PRI_MASK_ALL, PLX_BASE_TIMER_BUDGET_MS);
    }
    static void nothing(msgq_handle *, void *) {}
    static void fibd_up(msgq_handle *, void *arg) { static_cast<Daemon *>(arg)->fibd_up_ = true; }
    static void fibd_recv(msgq_handle *q, uint8_t *p, uint32_t len, void *arg) {
        auto *d = static_cast<Daemon *>(arg);
        fib_msg m;
        if (fib_msg_decode({p, len}, m, nullptr) == 0)
            if (auto *pm = std::get_if<fib_policy_msg>(&m); pm && pm->type == FIB_MSG_POLICY_BIND) {
                ++d->binds;
                d->last_bind = Clock::now();
            }
        msgq_free(q, p);
    }

    std::string root_;
    event_base *base_ = nullptr;
    timer_mgr *tm_ = nullptr;
    event *tick_ = nullptr;
    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filters_;
    ProgramMemoryOps ops_{};
    msgq_handle *fibd_ = nullptr;
    bool fibd_up_ = false;
};

cfg::rule *add_rule(Daemon &d, std::string_view policy, std::string_view vl, uint32_t seq) {
    cfg::rule *r = nullptr;
    if (cfg::plx_config_rule_add(&d.db, cfg::PLX_POLICY_TYPE_DATA, policy, vl, seq, &r) != 0)
        return nullptr;
    cfg::action_value a;
    a.action_type = cfg::PLX_ACTION_BASE;
    a.verb = cfg::PLX_ACTION_VERB_ACCEPT;
    cfg::plx_config_rule_action_add(&d.db, r, 1, a);
    return r;
}

int bench_tloc(int policies, int sequences, int runs) {
    Daemon d;
    if (!d.start(1u << 16, 64)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    // The daemon's start-up hangs the same on the hbus link: reprocess what a TLOC change marked.
    d.ctx.hooks.tloc_reprocess = [](plx_ctx *c) { plx_process_all_changed(c); };
    HbusdServer hbusd(d.ctx.evbase, d.ctx.tmr_mgr, {}, nullptr);
    if (hbusd.start() != 0 || plx_hbus_link_init(&d.ctx) != 0 ||
        !d.run_until([&] { return hbusd.subscribed(); }, 5000)) {
        fprintf(stderr, "hbusd link failed\n");
        return 1;
    }
    // The TLOC the policies name: 10.0.0.1 mpls ipsec.
    const cfg::tloc_key key = cfg::tloc_key_v4(htonl(0x0a000001u), 2, 2);
    cfg::plx_config_vpn_list_add(&d.db, "corp");
    cfg::plx_config_vpn_range_add(&d.db, "corp", 10, 12);
    for (int p = 0; p < policies; ++p) {
        const std::string name = "p" + std::to_string(p);
        cfg::plx_config_policy_add(&d.db, cfg::PLX_POLICY_TYPE_DATA, name, 3);
        cfg::plx_config_policy_vpn_list_add(&d.db, cfg::PLX_POLICY_TYPE_DATA, name, "corp",
                                            cfg::PLX_ACTION_VERB_ACCEPT, "");
        for (int s = 1; s <= sequences; ++s) {
            cfg::rule *r = add_rule(d, name, "corp", static_cast<uint32_t>(s));
            if (!r)
                return 1;
            cfg::plx_config_match_add(&d.db, r, cfg::PLX_MATCH_DST_PORT,
                                      cfg::match_value::range(1000u + s, 1000u + s));
            cfg::plx_config_match_add(&d.db, r, cfg::PLX_MATCH_PROTOCOL,
                                      cfg::match_value::number(6));
            if (s == 1) {
                cfg::action_value st;
                st.action_type = cfg::PLX_ACTION_SET_TLOC;
                st.tloc = key;
                st.label = 1000;
                cfg::plx_config_rule_action_add(&d.db, r, 4, st);
            }
        }
    }
    plx_process_all_changed(&d.ctx);
    d.run_until([&] { return d.binds >= static_cast<size_t>(policies); }, 5000);
    std::vector<double> lat;
    for (int i = 0; i < runs; ++i) {
        const size_t want = d.binds + static_cast<size_t>(policies);
        const auto t0 = Clock::now();
        hbusd.run_command(std::string("update 10.0.0.1 mpls ipsec index=7 status=") +
                          (i % 2 ? "down" : "up"));
        if (!d.run_until([&] { return d.binds >= want; }, 10000)) {
            fprintf(stderr, "run %d: %zu of %zu binds\n", i, d.binds, want);
            return 1;
        }
        lat.push_back(ms_between(t0, d.last_bind));
        d.run_for(20);
    }
    printf(
        "TLOC update -> %d policies (%d sequences each) rebound: median %.2f ms, p90 %.2f ms, "
        "max %.2f ms (%d runs)\n",
        policies, sequences, percentile(lat, 0.5), percentile(lat, 0.9), percentile(lat, 1.0),
        runs);
    plx_hbus_link_deinit(&d.ctx);
    hbusd.stop();
    d.stop();
    return 0;
}

// ClassBench filter lines: "@sa/len da/len sp_lo : sp_hi dp_lo : dp_hi proto/mask ...".
struct CbRule {
    uint32_t sa, da;
    int sl, dl;
    uint32_t sp0, sp1, dp0, dp1, proto, pmask;
};

std::vector<CbRule> load_classbench(const std::string &path, size_t limit) {
    std::vector<CbRule> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line) && out.size() < limit;) {
        unsigned a[4], b[4];
        CbRule r{};
        if (sscanf(line.c_str(), "@%u.%u.%u.%u/%d %u.%u.%u.%u/%d %u : %u %u : %u %x/%x", &a[0],
                   &a[1], &a[2], &a[3], &r.sl, &b[0], &b[1], &b[2], &b[3], &r.dl, &r.sp0, &r.sp1,
                   &r.dp0, &r.dp1, &r.proto, &r.pmask) != 16)
            continue;
        r.sa = a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3];
        r.da = b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
        out.push_back(r);
    }
    return out;
}

std::array<uint8_t, 4> bytes_of(uint32_t a) {
    return {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
            static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
}

// The system manager (the sysmgrd program: the transport allows one event base per process),
// with a thread noting when each of its "hello from" lines arrives.
class Sysmgr {
  public:
    bool start() {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        char *argv[] = {const_cast<char *>(SYSMGRD_BIN), nullptr};
        const int rc = posix_spawn(&pid_, SYSMGRD_BIN, &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            return false;
        }
        th_ = std::thread([this, fd = fds[0]] {
            FILE *in = fdopen(fd, "r");
            char line[256];
            while (fgets(line, sizeof line, in))
                if (std::string_view(line).starts_with("hello from")) {
                    std::lock_guard lk(mu_);
                    hellos_.push_back(Clock::now());
                }
            fclose(in);
        });
        return true;
    }
    void stop() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        th_.join();
    }
    std::vector<Clock::time_point> hellos() {
        std::lock_guard lk(mu_);
        return hellos_;
    }

  private:
    pid_t pid_ = -1;
    std::thread th_;
    std::mutex mu_;
    std::vector<Clock::time_point> hellos_;
};

// The longest stretch of a processing without a call of the yield hook, and where it ended.
struct YieldGaps {
    Clock::time_point start, last, worst_end;
    double worst_ms = 0;
    std::array<void *, 12> last_bt{}, worst_from{}, worst_to{};
    int last_n = 0, from_n = 0, to_n = 0;
};
YieldGaps g_gaps;

void timed_yield_hook(void *arg) {
    const auto now = Clock::now();
    const double gap = ms_between(g_gaps.last, now);
    std::array<void *, 12> bt{};
    const int n = backtrace(bt.data(), static_cast<int>(bt.size()));
    if (gap > g_gaps.worst_ms) {
        g_gaps.worst_ms = gap;
        g_gaps.worst_end = now;
        g_gaps.worst_from = g_gaps.last_bt;
        g_gaps.from_n = g_gaps.last_n;
        g_gaps.worst_to = bt;
        g_gaps.to_n = n;
    }
    g_gaps.last_bt = bt;
    g_gaps.last_n = n;
    g_gaps.last = now;
    plx_compiler_yield_hook(arg);
}

int bench_yield(const std::string &set, size_t limit, uint32_t mib) {
    const char *dir = getenv("PLX_BENCH_DATA");
    const std::string path = std::string(dir ? dir : PLX_BENCH_DATA) + "/" + set;
    const std::vector<CbRule> rules = load_classbench(path, limit);
    if (rules.empty()) {
        fprintf(stderr, "no rules in %s\n", path.c_str());
        return 1;
    }
    Daemon d;
    if (!d.start(mib << 13, 64)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    Sysmgr sm;
    if (!sm.start()) {
        fprintf(stderr, "system manager failed\n");
        return 1;
    }
    app_sysmgr_client *hello =
        app_sysmgr_connect(d.ctx.evbase, d.ctx.tmr_mgr, nullptr, QRV_MOD_PLXD, &d.ctx, nullptr);
    cfg::plx_config_vpn_list_add(&d.db, "cb");
    cfg::plx_config_vpn_range_add(&d.db, "cb", 1, 1);
    printf("%s: %zu rules as one data policy, %u MiB of filter memory\n", set.c_str(), rules.size(),
           mib);
    for (const bool hook : {true, false}) {
        plx_compiler_set_yield(d.ctx.compiler, hook ? timed_yield_hook : nullptr, &d.ctx);
        const std::string name = hook ? "cb-yield" : "cb-noyield";
        const auto l0 = Clock::now();
        cfg::plx_config_policy_add(&d.db, cfg::PLX_POLICY_TYPE_DATA, name, 3);
        cfg::plx_config_policy_vpn_list_add(&d.db, cfg::PLX_POLICY_TYPE_DATA, name, "cb",
                                            cfg::PLX_ACTION_VERB_ACCEPT, "");
        uint32_t seq = 1;
        for (const CbRule &c : rules) {
            cfg::rule *r = add_rule(d, name, "cb", seq++);
            if (!r)
                return 1;
            cfg::plx_config_match_add(&d.db, r, cfg::PLX_MATCH_SRC_ADDR,
                                      cfg::match_value::prefix(bytes_of(c.sa), c.sl));
            cfg::plx_config_match_add(&d.db, r, cfg::PLX_MATCH_DST_ADDR,
                                      cfg::match_value::prefix(bytes_of(c.da), c.dl));
            cfg::plx_config_match_add(&d.db, r, cfg::PLX_MATCH_SRC_PORT,
                                      cfg::match_value::range(c.sp0, c.sp1));
            cfg::plx_config_match_add(&d.db, r, cfg::PLX_MATCH_DST_PORT,
                                      cfg::match_value::range(c.dp0, c.dp1));
            if (c.pmask == 0xFF)
                cfg::plx_config_match_add(&d.db, r, cfg::PLX_MATCH_PROTOCOL,
                                          cfg::match_value::number(c.proto));
        }
        const double load_ms = ms_between(l0, Clock::now());
        d.run_for(2500);  // hellos settle into their rhythm
        const auto t0 = Clock::now();
        g_gaps = {t0, t0, t0, 0};
        plx_process_all_changed(&d.ctx);
        const auto t1 = Clock::now();
        if (ms_between(g_gaps.last, t1) >
            g_gaps.worst_ms) {  // the stretch ends with the processing
            g_gaps.worst_ms = ms_between(g_gaps.last, t1);
            g_gaps.worst_end = t1;
            g_gaps.worst_from = g_gaps.last_bt;
            g_gaps.from_n = g_gaps.last_n;
            g_gaps.to_n = 0;
        }
        d.run_for(2500);
        // The longest gap between hellos that spans the processing.
        const auto hs = sm.hellos();
        double worst = 0;
        for (size_t i = 1; i < hs.size(); ++i)
            if (hs[i] > t0 && hs[i - 1] < t1)
                worst = std::max(worst, ms_between(hs[i - 1], hs[i]));
        cfg::policy_vpn_list *v =
            cfg::plx_config_policy_vpn_list_find(&d.db, cfg::PLX_POLICY_TYPE_DATA, name, "cb");
        printf(
            "  yield hook %-3s: model load %.0f ms, processing %.0f ms (filter %u), longest "
            "hello gap %.0f ms (%+.0f ms late)\n",
            hook ? "on" : "off", load_ms, ms_between(t0, t1), v ? v->filter_id : 0u, worst,
            worst - SYSMGR_HELLO_INTERVAL_MS);
        if (hook)
            printf(
                "    longest stretch without a yield: %.0f ms, ending %.0f ms into the "
                "processing\n",
                g_gaps.worst_ms, ms_between(t0, g_gaps.worst_end));
        if (hook && getenv("PLX_BENCH_WHERE")) {
            auto show = [](const char *what, const std::array<void *, 12> &bt, int n) {
                printf("    %s:", what);
                for (int i = 0; i < n; ++i) {
                    Dl_info info{};
                    if (dladdr(bt[i], &info) && info.dli_fbase)
                        printf(" %s+%#lx", info.dli_fname,
                               static_cast<unsigned long>(static_cast<char *>(bt[i]) -
                                                          static_cast<char *>(info.dli_fbase)));
                }
                printf("\n");
            };
            show("stretch from", g_gaps.worst_from, g_gaps.from_n);
            show("stretch to", g_gaps.worst_to, g_gaps.to_n);
        }
        cfg::plx_config_policy_delete(&d.db, cfg::PLX_POLICY_TYPE_DATA, name);
        d.run_for(1000);  // the delayed release of the program
    }
    plx_compiler_set_yield(d.ctx.compiler, nullptr, nullptr);
    app_sysmgr_close(hello);
    sm.stop();
    d.stop();
    return 0;
}

// ---- commit: a 100-sequence data policy through the configuration database ----

struct CommitTimes {
    Clock::time_point first_sub_done;  // the first notification of the commit read
    Clock::time_point sub_done;        // the one whose processing placed the program
    Clock::time_point alloc0, alloc1;
    Clock::time_point processed;  // that subscription-done callback returned
};
CommitTimes g_commit;

void *timed_alloc(uint32_t length) {
    g_commit.alloc0 = Clock::now();
    void *p = plx_mem_alloc(length);
    g_commit.alloc1 = Clock::now();
    return p;
}

// What the daemon's subscription-done callback does once the processing is wired in.
// The daemon's subscription-done callback, timed. A commit reaches the subscriptions one
// priority level at a time, each level ending with the callback; the policy is complete (and
// programmed) after the level of its sequences.
void commit_sub_done(QconfdContext *q, int trigger) {
    const auto t = Clock::now();
    if (g_commit.first_sub_done == Clock::time_point{})
        g_commit.first_sub_done = t;
    const auto alloc_before = g_commit.alloc0;
    plx_confd_sub_done(q, trigger);
    if (g_commit.alloc0 != alloc_before) {
        g_commit.sub_done = t;
        g_commit.processed = Clock::now();
    }
}

// One command-line request to the database; CONFD_OK or an error (text holds the reply).
int cli_request(confd_wire::WireWriter &w, std::string &text) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int rc = confd_client::connect_sock(fd, nullptr, 0, confd_wire::WireSock::Cli, "bench");
    std::vector<uint8_t> reply;
    if (rc == CONFD_OK)
        rc = confd_client::request(fd, w.finish(), reply);
    confd_wire::WireReader r(reply.data(), reply.size());
    text.clear();
    if (rc != CONFD_OK)
        text = confd_lasterr();
    else
        r.str(text);
    confd_client::forget_sock(fd);
    close(fd);
    return rc;
}

int load_xml(const std::string &xml, std::string &text) {
    confd_wire::WireWriter w(confd_wire::Op::CliEdit);
    w.u8(0);  // merge
    w.u8(0);  // XML
    w.str(xml);
    return cli_request(w, text);
}

std::string policy_xml(int n, int sequences) {
    std::string x =
        "<policy-from-qctrl xmlns=\"urn:quorvel:yang:policy\"><lists><vpn-list>"
        "<name>corp</name><vpn><id>10</id></vpn></vpn-list></lists><data-policy>"
        "<name>dp" +
        std::to_string(n) +
        "</name><direction>from-site</direction><vpn-list><name>corp</name>"
        "<default-action>accept</default-action>";
    for (int s = 1; s <= sequences; ++s)
        x += "<sequence><id>" + std::to_string(s) +
             "</id><match><protocol>6</protocol><destination-port>" + std::to_string(1000 + s) +
             "</destination-port></match><action><base-action>accept</base-action><count>c" +
             std::to_string(s) + "</count></action></sequence>";
    return x + "</vpn-list></data-policy></policy-from-qctrl>";
}

int bench_commit(int sequences, int runs) {
    Daemon d;
    if (!d.start(1u << 18, 64)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    cdbd::ServerOptions o;
    o.yang_dir = PLX_YANG_MODELS_DIR;
    o.db_dir = std::string(getenv("PLX_ROOT")) + "/cdb";
    o.port = 0;
    auto srv = std::make_unique<cdbd::CdbServer>(o);
    std::string err;
    if (!srv->init(err)) {
        fprintf(stderr, "cdbd: %s\n", err.c_str());
        return 1;
    }
    setenv("CONFD_IPC_PORT", std::to_string(srv->port()).c_str(), 1);
    std::thread srv_th([&] { srv->run(); });
    {  // the modules read before plxd have done their initial read
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        confd_value_t v;
        CONFD_SET_BIT32(&v, 7);
        if (cdb_connect(fd, CDB_DATA_SOCKET, nullptr, 0) != CONFD_OK ||
            cdb_start_session2(fd, CDB_OPERATIONAL, 0) != CONFD_OK ||
            cdb_set_elem(fd, &v, "%s", QCONFD_INITIAL_READ_PATH) != CONFD_OK)
            fprintf(stderr, "initial-read order: %s\n", confd_lasterr());
        cdb_end_session(fd);
        cdb_close(fd);
    }
    plx_compiler_set_mem_ops(d.ctx.compiler, timed_alloc, plx_mem_free);
    QconfdModuleSpec spec = plx_confd_module_spec(&d.ctx);
    spec.sub_done = commit_sub_done;
    qconfd_module_init(&spec, nullptr, &d.ctx.qconfd_ctx);
    const bool subscribed =
        d.run_until(
            [] {
                std::string text;
                confd_wire::WireWriter w(confd_wire::Op::CliStatus);
                cli_request(w, text);
                return text.find("  point ") != std::string::npos &&
                       text.find("(not done)") == std::string::npos;
            },
            10000) &&
        d.run_until([&] { return d.ctx.qconfd_ctx->initial_read_done != 0; }, 10000);
    std::vector<double> total, read_total, first, delivery, build, place, emit, leaf, reduce,
        commit_ms, write, rest, to_fibd;
    for (int i = 0; subscribed && i < runs; ++i) {
        const std::string xml = policy_xml(i, sequences);
        const size_t want = d.binds + 1;
        std::atomic<bool> done{false};
        int rc = 0;
        std::string text;
        Clock::time_point committed;
        g_commit = {};
        const auto t0 = Clock::now();
        std::thread cli([&] {
            rc = load_xml(xml, text);
            committed = Clock::now();
            done = true;
        });
        const bool bound = d.run_until([&] { return d.binds >= want && done; }, 20000);
        cli.join();
        if (!bound || rc != CONFD_OK) {
            fprintf(stderr, "run %d: %s (%zu binds, %s, %zu policies)\n", i, text.c_str(), d.binds,
                    g_commit.sub_done == Clock::time_point{} ? "not delivered" : "delivered",
                    static_cast<size_t>(std::distance(d.db.policies.begin(), d.db.policies.end())));
            break;
        }
        const PlxCompileTimes &ct = d.ctx.compiler->times;
        total.push_back(ms_between(t0, g_commit.processed));
        read_total.push_back(ms_between(t0, d.last_bind));
        first.push_back(ms_between(t0, g_commit.first_sub_done));
        delivery.push_back(ms_between(t0, g_commit.sub_done));
        build.push_back(ms_between(g_commit.sub_done, g_commit.alloc0) -
                        (ct.leaf_ns + ct.reduce_ns) / 1e6);
        leaf.push_back((ct.leaf_ns + ct.reduce_ns) / 1e6);
        place.push_back(ms_between(g_commit.alloc0, g_commit.alloc1));
        emit.push_back(ms_between(g_commit.alloc1, d.last_bind));
        write.push_back(ct.emit_ns / 1e6);
        rest.push_back(ms_between(g_commit.alloc1, g_commit.processed));
        to_fibd.push_back(ms_between(g_commit.processed, d.last_bind));
        commit_ms.push_back(ms_between(t0, committed));
        d.run_for(50);
    }
    if (!total.empty())
        printf(
            "commit of a %d-sequence data policy -> bind sent to fibd (%zu runs, medians): %.2f "
            "ms (p90 %.2f); read by the fibd stand-in %.2f ms (p90 %.2f)\n"
            "  configuration delivery: commit to the first subscription-done %.2f ms, "
            "to "
            "the one after the sequences %.2f ms\n"
            "  rule-table build and the rest of the processing %.2f ms\n"
            "  compile: classing and combination %.2f ms\n  placement %.3f ms\n"
            "  emission into filter memory and the bind message %.2f ms to its read: the "
            "compiler's emission "
            "(sizing, allocation, writing) %.3f ms; the callback returns %.3f ms after the "
            "allocation; the fibd stand-in, on the same event loop, reads the bind %.2f ms "
            "later\n"
            "  (the command line returns after %.2f ms)\n",
            sequences, total.size(), percentile(total, 0.5), percentile(total, 0.9),
            percentile(read_total, 0.5), percentile(read_total, 0.9), percentile(first, 0.5),
            percentile(delivery, 0.5), percentile(build, 0.5), percentile(leaf, 0.5),
            percentile(place, 0.5), percentile(emit, 0.5), percentile(write, 0.5),
            percentile(rest, 0.5), percentile(to_fibd, 0.5), percentile(commit_ms, 0.5));
    qconfd_module_stop(d.ctx.qconfd_ctx);
    d.ctx.qconfd_ctx = nullptr;
    srv->stop();
    srv_th.join();
    d.stop();
    return total.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "tloc")
        return bench_tloc(argc > 2 ? atoi(argv[2]) : 10, argc > 3 ? atoi(argv[3]) : 10,
                          argc > 4 ? atoi(argv[4]) : 20);
    if (what == "commit")
        return bench_commit(argc > 2 ? atoi(argv[2]) : 100, argc > 3 ? atoi(argv[3]) : 20);
    if (what == "yield")
        return bench_yield(argc > 2 ? argv[2] : "acl1_10k",
                           argc > 3 ? static_cast<size_t>(atol(argv[3])) : SIZE_MAX,
                           argc > 4 ? static_cast<uint32_t>(atoi(argv[4])) : 128);
    fprintf(stderr,
            "usage: plx_bench_apply tloc [POLICIES [SEQUENCES [RUNS]]]\n"
            "       plx_bench_apply yield [SET [RULES [FILTER_MEMORY_MIB]]]\n");
    return 2;
}
