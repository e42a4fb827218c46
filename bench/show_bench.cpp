// `cdbcli show` of the counters of many policies, end to end: the configuration database
// server, the show provider on a daemon thread the way plxd serves it (programs placed in
// filter memory, counters read from them on every request) and the command line, as a child
// process printing to /dev/null and in process.
//
// The same lists read over RESTCONF (curl, JSON) and a metrics scrape of every counter are
// measured the same way.
//
// Reports the median and best wall-clock time of a show, the rows per second (median), and the CPU
// time of each part: the provider's thread, the database's thread and the command line (the child's
// rusage, or the calling thread in process).
//
//   plx_bench_show [POLICIES [COUNTERS [RUNS]]]     defaults 1000 10 5
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "daemon/plx_ctx.h"
#include "oper/plx_show.h"
#include "peers/cdbd/cdbcli_oper.h"
#include "peers/cdbd/cdbd_server.h"
#include "peers/cdbd/restconf_server.h"
#include "platform/confd/confd_client.h"
#include "policy/plx_config.h"
#include "progmem/plx_if_fpmem.h"
#include "qconfd/qconfd_api.h"
#include "tests/peers/fwdplane/fp_test_programs.h"

extern char **environ;

namespace {

namespace cfg = plx::cfg;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double thread_cpu_ms(pthread_t t) {
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(t, &id) != 0 || clock_gettime(id, &ts) != 0)
        return 0;
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The database, the provider and the model they serve.
class Setup {
  public:
    bool start(int policies, int counters, std::string &err) {
        char tmpl[] = "/tmp/show-bench-XXXXXX";
        if (!mkdtemp(tmpl))
            return fail(err, "mkdtemp");
        dir_ = tmpl;
        cdbd::ServerOptions o;
        o.yang_dir = PLX_YANG_MODELS_DIR;
        o.db_dir = dir_ + "/db";
        o.port = 0;
        srv_ = std::make_unique<cdbd::CdbServer>(o);
        if (!srv_->init(err))
            return false;
        setenv("CONFD_IPC_PORT", std::to_string(srv_->port()).c_str(), 1);
        srv_th_ = std::thread([this] { srv_->run(); });
        if (confd_load_schemas(nullptr, 0) != CONFD_OK)
            return fail(err, confd_lasterr());
        if (!model(policies, counters, err))
            return false;
        return daemon(err);
    }
    void stop() {
        stop_ = true;
        if (dp_th_.joinable())
            dp_th_.join();
        if (q_.dctx)
            confd_release_daemon(q_.dctx);
        for (int fd : {q_.control_sock, q_.worker_sock})
            if (fd >= 0)
                close(fd);
        if (srv_) {
            srv_->stop();
            srv_th_.join();
        }
        cfg::plx_policy_teardown(&db_);
        plx_mem_destroy();
        if (mgr_)
            timer_mgr_delete(mgr_);
        fs::remove_all(dir_);
    }
    pthread_t server_thread() { return srv_th_.native_handle(); }
    pthread_t provider_thread() { return dp_th_.native_handle(); }
    double provider_busy_ms() const { return busy_ns_ / 1e6; }

  private:
    static bool fail(std::string &err, const std::string &msg) {
        err = msg;
        return false;
    }

    // Policies "dp0000".. on VPN list "vl1", each with `counters` rules counting c0, c1, ..
    // and a placed program of as many rules, one per counter.
    bool model(int policies, int counters, std::string &err) {
        const uint32_t blocks = static_cast<uint32_t>(policies) * (counters + 2) * 32 + 4096;
        const uint32_t filters = static_cast<uint32_t>(policies) + 16;
        mem_.assign(size_t{blocks} * 128, 0);
        filters_.assign(filters, FilterEntry{});
        mgr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ctx_.tmr_mgr = mgr_;
        ctx_.policy = &db_;
        if (plx_mem_init_tables(&ctx_, {mem_.data(), blocks, filters_.data(), filters}, true) != 0)
            return fail(err, "program memory");
        if (cfg::plx_policy_init(&db_) != 0)
            return fail(err, "policy model");
        cfg::plx_config_vpn_list_add(&db_, "vl1");
        std::vector<TestRule> rules;
        for (int c = 0; c < counters; ++c) {
            TestRule r{{{PLX_FIELD_DST_PORT, 1000u + c, 1000u + c}}, test_action(PLX_ACT_ACCEPT)};
            add_count(r.action, 1, ("c" + std::to_string(c)).c_str());
            rules.push_back(r);
        }
        const uint32_t type = cfg::PLX_POLICY_TYPE_DATA;
        for (int p = 0; p < policies; ++p) {
            char name[16];
            snprintf(name, sizeof name, "dp%04d", p);
            if (cfg::plx_config_policy_add(&db_, type, name, 0) != 0 ||
                cfg::plx_config_policy_vpn_list_add(&db_, type, name, "vl1",
                                                    cfg::PLX_ACTION_VERB_ACCEPT, "") != 0)
                return fail(err, std::string("policy ") + name);
            for (int c = 0; c < counters; ++c) {
                const uint32_t seq = 10u * (c + 1);
                cfg::action_value v;
                v.action_type = cfg::PLX_ACTION_COUNT;
                v.name = "c" + std::to_string(c);
                if (cfg::plx_config_rule_add(&db_, type, name, "vl1", seq) != 0 ||
                    cfg::plx_config_action_add(&db_, type, name, "vl1", seq, 1, v) != 0)
                    return fail(err, std::string("rule of ") + name);
            }
            if (!compile_rules(name, rules, test_action(PLX_ACT_ACCEPT)))
                return fail(err, "filter memory is full");
            cfg::plx_config_policy_vpn_list_find(&db_, type, name, "vl1")->filter_id =
                plx_mem_current_filter();
        }
        return true;
    }

    bool daemon(std::string &err) {
        q_.spec.app_ctx = &ctx_;
        q_.dctx = confd_init_daemon("plxd");
        q_.control_sock = socket(AF_INET, SOCK_STREAM, 0);
        q_.worker_sock = socket(AF_INET, SOCK_STREAM, 0);
        q_.dctx->d_opaque = &q_;
        if (confd_connect(q_.dctx, q_.control_sock, CONTROL_SOCKET, nullptr, 0) != CONFD_OK ||
            confd_connect(q_.dctx, q_.worker_sock, WORKER_SOCKET, nullptr, 0) != CONFD_OK)
            return fail(err, confd_lasterr());
        confd_trans_cbs tcb{};
        tcb.init = [](confd_trans_ctx *t) {
            return confd_trans_set_fd(t,
                                      static_cast<QconfdContext *>(t->dx->d_opaque)->worker_sock);
        };
        if (confd_register_trans_cb(q_.dctx, &tcb) != CONFD_OK || plx_show_init(&q_) != 0 ||
            confd_register_done(q_.dctx) != CONFD_OK)
            return fail(err, confd_lasterr());
        dp_th_ = std::thread([this] {
            while (!stop_) {
                pollfd p[2] = {{q_.control_sock, POLLIN, 0}, {q_.worker_sock, POLLIN, 0}};
                if (poll(p, 2, 20) <= 0)
                    continue;
                for (auto &x : p)
                    if (x.revents & (POLLIN | POLLHUP)) {
                        const auto t0 = Clock::now();
                        const int rc = confd_fd_ready(q_.dctx, x.fd);
                        busy_ns_ += static_cast<uint64_t>(
                            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0)
                                .count());
                        if (rc == CONFD_EOF)
                            return;
                    }
            }
        });
        return true;
    }

    std::string dir_;
    std::unique_ptr<cdbd::CdbServer> srv_;
    std::thread srv_th_, dp_th_;
    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filters_;
    timer_mgr *mgr_ = nullptr;
    cfg::plx_policy_db db_;
    plx_ctx ctx_{};
    QconfdContext q_{};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> busy_ns_{0};
};

struct Run {
    double wall_ms, client_ms, server_ms, provider_ms, provider_busy_ms;
    size_t bytes;
};

// Runs args[0] with its standard output to /dev/null and measures it: the child's CPU time,
// the wall time, and the CPU time of the server and provider threads meanwhile.
bool run_child(Setup &s, std::vector<std::string> args, Run &out) {
    const double srv0 = thread_cpu_ms(s.server_thread());
    const double dp0 = thread_cpu_ms(s.provider_thread());
    const double busy0 = s.provider_busy_ms();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        return false;
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    out.wall_ms = ms_since(t0);
    out.client_ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                    (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    out.server_ms = thread_cpu_ms(s.server_thread()) - srv0;
    out.provider_ms = thread_cpu_ms(s.provider_thread()) - dp0;
    out.provider_busy_ms = s.provider_busy_ms() - busy0;
    out.bytes = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The command line as the operator runs it, printing to /dev/null.
bool run_cli(Setup &s, const std::string &path, const std::string &format, Run &out) {
    return run_child(s, {CDBCLI_BIN, "show", path, "--format", format}, out);
}

// An HTTP GET with curl, the body to /dev/null (RESTCONF or the metrics endpoint). The HTTP
// server's thread is not measured apart: its work shows in the wall time.
bool run_http(Setup &s, const std::string &url, const std::string &token, Run &out) {
    return run_child(s, {"/usr/bin/curl", "-sf", "-H", "Authorization: Bearer " + token, url}, out);
}

// The same walk in process; the output is counted, not kept.
bool run_inproc(Setup &s, const std::string &path, cdbcli::OperFormat format, Run &out) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (confd_client::connect_sock(fd, nullptr, 0, confd_wire::WireSock::Cli, "bench") != CONFD_OK)
        return false;
    const double srv0 = thread_cpu_ms(s.server_thread());
    const double dp0 = thread_cpu_ms(s.provider_thread());
    const double me0 = thread_cpu_ms(pthread_self());
    const double busy0 = s.provider_busy_ms();
    std::string err;
    size_t bytes = 0;
    const auto t0 = Clock::now();
    bool ok = cdbcli::oper_show(
        fd, path, format, [&](std::string_view piece) { bytes += piece.size(); }, err);
    out.wall_ms = ms_since(t0);
    out.client_ms = thread_cpu_ms(pthread_self()) - me0;
    out.server_ms = thread_cpu_ms(s.server_thread()) - srv0;
    out.provider_ms = thread_cpu_ms(s.provider_thread()) - dp0;
    out.provider_busy_ms = s.provider_busy_ms() - busy0;
    out.bytes = bytes;
    confd_client::forget_sock(fd);
    close(fd);
    if (!ok)
        fprintf(stderr, "show: %s\n", err.c_str());
    return ok;
}

void report(const char *what, const std::vector<Run> &runs, size_t rows, size_t requests) {
    auto med = [&](double Run::*f) {
        std::vector<double> v;
        for (const auto &r : runs)
            v.push_back(r.*f);
        return median(v);
    };
    const double wall = med(&Run::wall_ms);
    double best = wall;
    for (const auto &r : runs)
        best = std::min(best, r.wall_ms);
    printf("%-30s %9.1f %9.1f %9.0f %9.1f %9.1f %9.1f %9.1f %7.1f\n", what, wall, best,
           rows / wall * 1e3, med(&Run::provider_ms), med(&Run::provider_busy_ms),
           med(&Run::server_ms), med(&Run::client_ms), wall * 1e3 / static_cast<double>(requests));
}

}  // namespace

int main(int argc, char **argv) {
    const int policies = argc > 1 ? atoi(argv[1]) : 1000;
    const int counters = argc > 2 ? atoi(argv[2]) : 10;
    const int runs = argc > 3 ? atoi(argv[3]) : 5;
    Setup s;
    std::string err;
    const auto t0 = Clock::now();
    if (!s.start(policies, counters, err)) {
        fprintf(stderr, "set-up: %s\n", err.c_str());
        s.stop();
        return 1;
    }
    printf("%d policies x %d counters, set up in %.0f ms; medians of %d runs\n", policies, counters,
           ms_since(t0), runs);
    printf("%-30s %9s %9s %9s %9s %9s %9s %9s %7s\n", "show", "wall ms", "best ms", "rows/s",
           "prov cpu", "prov busy", "cdbd cpu", "cli cpu", "us/req");
    // Rows: every policy, its VPN list and its counters. Requests: per list, one per entry
    // and one that ends it; the text tables walk the lists above each table again.
    const size_t n = static_cast<size_t>(policies);
    const size_t rows = n * (2 + static_cast<size_t>(counters));
    const size_t one_walk = (n + 1) + 2 * n + n * (counters + 1) + n;  // + empty policer lists
    const size_t text_walks =
        (n + 1) + (n + 1 + 2 * n) + (n + 1 + 2 * n + n * (counters + 1)) + (n + 1 + 2 * n + n);
    const std::string path = "/policy-oper/data-policy-filters";
    struct Case {
        const char *name;
        const char *format;
        cdbcli::OperFormat f;
        bool child;
        size_t requests;
    };
    const Case cases[] = {
        {"cdbcli show (text tables)", "text", cdbcli::OperFormat::Text, true, text_walks},
        {"cdbcli show --format json", "json", cdbcli::OperFormat::Json, true, one_walk},
        {"in process, text", "text", cdbcli::OperFormat::Text, false, text_walks},
        {"in process, json", "json", cdbcli::OperFormat::Json, false, one_walk},
    };
    int rc = 0;
    {  // the command line's own start: connect, load the schema, show one entry
        std::vector<Run> rs;
        for (int i = 0; i < runs; ++i) {
            Run r{};
            if (run_cli(s, path + "{dp0000}/data-policy-vpnlist{vl1}", "text", r))
                rs.push_back(r);
        }
        report("cdbcli start-up (one entry)", rs, 0, 1);
    }
    for (const Case &c : cases) {
        std::vector<Run> rs;
        for (int i = 0; i < runs; ++i) {
            Run r{};
            const bool ok = c.child ? run_cli(s, path, c.format, r) : run_inproc(s, path, c.f, r);
            if (!ok) {
                fprintf(stderr, "%s failed\n", c.name);
                rc = 1;
                break;
            }
            rs.push_back(r);
        }
        if (!rs.empty())
            report(c.name, rs, rows, c.requests);
    }
    // The same lists over RESTCONF, and a metrics scrape of every counter.
    cdbd::RestconfOptions ro;
    ro.yang_dir = PLX_YANG_MODELS_DIR;
    ro.token_file = "/tmp/show-bench-token-" + std::to_string(getpid());
    cdbd::RestconfServer http(ro);
    if (!http.start(err)) {
        fprintf(stderr, "RESTCONF: %s\n", err.c_str());
        rc = 1;
    } else {
        const std::string base = "http://127.0.0.1:" + std::to_string(http.port());
        const std::pair<const char *, std::string> gets[] = {
            {"RESTCONF GET (json)", base + "/restconf/data/quorvel-policy-oper:policy-oper/"
                                           "data-policy-filters"},
            {"metrics scrape", base + "/metrics"}};
        for (const auto &[name, url] : gets) {
            std::vector<Run> rs;
            for (int i = 0; i < runs; ++i) {
                Run r{};
                if (!run_http(s, url, http.token(), r)) {
                    fprintf(stderr, "%s failed\n", name);
                    rc = 1;
                    break;
                }
                rs.push_back(r);
            }
            if (!rs.empty())
                report(name, rs, rows, one_walk);
        }
        http.stop();
        unlink(ro.token_file.c_str());
    }
    s.stop();
    return rc;
}
