// A whole simulated router run from the test: the configuration database, the system manager, the
// forwarding plane, fibd, hbusd and plxd as child processes under a temporary root, a replay of
// the demo captures through the forwarding plane, and the operator's view of it (cdbcli, fibd's
// state dump) read the way an operator would read it.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_process.h"

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct CmdResult {
    int rc = -1;
    std::string out;
};

// Runs a shell command line; its standard output and error together.
inline CmdResult run_cmd(const std::string &cmd) {
    CmdResult r;
    r.out = run_output(cmd, &r.rc);
    return r;
}

inline std::string read_file(const fs::path &p) {
    return read_text(p.string());
}

// What fibd says it has written into the forwarding plane's binding tables.
struct FibdBindings {
    std::set<uint32_t> filters;    // every filter id bound somewhere
    std::set<std::string> places;  // "vpn 10 all", "vpn 10 app-route", "ge0/1 in v4", ...
    std::map<std::string, uint32_t> filter_of;  // place -> filter id
};

class Router {
  public:
    static constexpr const char *kPrograms[] = {"cdbd",  "sysmgrd", "fwdplane", "fibd",
                                                "hbusd", "plxd",    "replay"};

    Router() {
        char tmpl[] = "/tmp/plx-e2e.XXXXXX";
        root_ = mkdtemp(tmpl);
        for (const char *d : {"log", "capture", "var/run", "var/confd/cdb", "etc/default", "boot"})
            fs::create_directories(root_ / d);
        std::ofstream(root_ / "etc/default/sim_size") << "small\n";
        shm_prefix_ = "plx-e2e-" + std::to_string(getpid()) + "-" + root_.filename().string() + "-";
        setenv("PLX_ROOT", root_.c_str(), 1);
        setenv("PLX_SHM_PREFIX", shm_prefix_.c_str(), 1);
        setenv("CONFD_IPC_ADDR", "127.0.0.1", 1);
        setenv("PLX_LOG_STDOUT", "1", 1);
    }
    ~Router() {
        for (auto it = std::rbegin(kPrograms); it != std::rend(kPrograms); ++it)
            kill9(*it);
        shm_unlink(("/" + shm_prefix_ + "almushtarika").c_str());
        if (!HasFailure())
            fs::remove_all(root_);
        else
            std::printf("router root kept for inspection: %s\n", root_.c_str());
    }
    static bool HasFailure() { return ::testing::Test::HasFailure(); }

    const fs::path &root() const { return root_; }
    pid_t pid(const std::string &name) const {
        auto it = pids_.find(name);
        return it == pids_.end() ? -1 : it->second;
    }

    // Starts one program (again), appending its output to log/NAME.log.
    // Returns once the program is ready for what the test does next (signals included: a
    // program killed by SIGUSR1 before it set its handler would be a fault of the test's own).
    void start(const std::string &name) {
        const size_t from = log(name).size();
        pids_[name] = spawn(command(name), (root_ / "log" / (name + ".log")).string());
        const char *ready = name == "fwdplane" ? "tables ready"
                            : name == "fibd"   ? "fibd: started"
                            : name == "hbusd"  ? "TLOCs"
                                               : nullptr;
        if (name == "cdbd")
            wait_cdbd();
        if (ready) {
            EXPECT_TRUE(wait_for([&] {
                std::string l = log(name);
                return l.size() > from && l.find(ready, from) != std::string::npos;
            })) << name
                << " did not start:\n"
                << log(name).substr(from);
        }
    }
    // SIGKILL, reaped; nothing when it is not running.
    void kill9(const std::string &name) {
        pid_t p = pid(name);
        if (p > 0) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        pids_.erase(name);
    }
    bool alive(const std::string &name) {
        pid_t p = pid(name);
        return p > 0 && waitpid(p, nullptr, WNOHANG) == 0;
    }
    std::string log(const std::string &name) const {
        return read_file(root_ / "log" / (name + ".log"));
    }

    // The database's command line: cdbcli ARGS (quoted by the caller).
    CmdResult cli(const std::string &args) const {
        return run_cmd(std::string(CDBCLI) + " " + args);
    }

    // The router as make run brings it up, with the given configuration; with a rate, the replay
    // of the demo captures goes on for ever at `rate` packets a second.
    void bring_up(const std::string &config, int rate = 0) {
        start("cdbd");
        CmdResult r = cli("load " + config);
        ASSERT_EQ(r.rc, 0) << r.out;
        mark_early_readers();
        for (const char *p : {"sysmgrd", "fwdplane", "fibd", "hbusd", "plxd"})
            start(p);
        if (rate == 0)
            return;
        rate_ = rate;
        write_captures();
        start("replay");
    }

    // chmgrd and ifmgrd read their configuration before fibd and plxd; the simulated router runs
    // neither, so their bits are set for them (again after every restart of the database).
    void mark_early_readers() {
        ASSERT_TRUE(wait_for([&] {
            std::string bits = cli("oper get /qconfd-initial-read-priority").out;
            std::string want = "chmgrd ifmgrd";
            if (bits.find("fibd") != std::string::npos)
                want += " fibd";
            return cli("oper set /qconfd-initial-read-priority \"" + want + "\"").rc == 0;
        }));
    }

    FibdBindings fibd_bindings() {
        FibdBindings b;
        const size_t before = log("fibd").size();
        if (!alive("fibd") || kill(pid("fibd"), SIGUSR1) != 0)
            return b;
        std::string dump;
        wait_for(
            [&] {
                std::string l = log("fibd");
                dump = l.size() > before ? l.substr(before) : "";
                return dump.find("DPI off:") != std::string::npos;
            },
            3000);
        static const std::regex vpn(
            R"(vpn (\d+): data from-service (-?\d+) from-tunnel (-?\d+) all (-?\d+), app-route (-?\d+))");
        static const std::regex intf(
            R"(  (\S+) \(vpn \d+\): in v4 (-?\d+) v6 (-?\d+), out v4 (-?\d+) v6 (-?\d+))");
        auto add = [&](const std::string &place, const std::string &f) {
            if (f[0] != '-') {
                b.filters.insert(static_cast<uint32_t>(std::stoul(f)));
                b.places.insert(place);
                b.filter_of[place] = static_cast<uint32_t>(std::stoul(f));
            }
        };
        std::istringstream in(dump);
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (std::regex_search(line, m, vpn)) {
                const char *dirs[] = {"from-service", "from-tunnel", "all", "app-route"};
                for (int i = 0; i < 4; ++i)
                    add("vpn " + m[1].str() + " " + dirs[i], m[i + 2].str());
            } else if (std::regex_search(line, m, intf)) {
                const char *dirs[] = {"in v4", "in v6", "out v4", "out v6"};
                for (int i = 0; i < 4; ++i)
                    add(m[1].str() + " " + dirs[i], m[i + 2].str());
            }
        }
        return b;
    }

    // The filters plxd says it has placed (its program-memory dump); empty with `err` set when
    // plxd does not answer.
    std::set<uint32_t> plxd_filters(std::string *err = nullptr) {
        std::set<uint32_t> ids;
        CmdResult r = cli("request /plx/dump/memory-stats");
        if (r.rc != 0) {
            if (err)
                *err = r.out;
            return ids;
        }
        static const std::regex row(R"(^\s*(\d+)\t\s*(\d+)\t)");
        static const std::regex total(R"(Number of filters: \d+/(\d+))");
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            if (std::regex_search(line, m, row) && m[2] != "0")
                ids.insert(static_cast<uint32_t>(std::stoul(m[1])));
            else if (std::regex_search(line, m, total))
                num_filters_ = static_cast<uint32_t>(std::stoul(m[1]));
        }
        return ids;
    }

    // The filter id plxd binds a policy to when its program found no room: the number of
    // filters program memory offers (known after the first plxd_filters()).
    uint32_t invalid_filter() const { return num_filters_; }

    // Sum of every packet counter plxd shows.
    uint64_t shown_packets() {
        CmdResult r = cli("show /policy-oper --format json");
        static const std::regex pk(R"re("packets": "(\d+)")re");
        uint64_t sum = 0;
        for (std::sregex_iterator it(r.out.begin(), r.out.end(), pk), end; it != end; ++it)
            sum += std::stoull((*it)[1]);
        return sum;
    }

  private:
    std::vector<std::string> command(const std::string &name) const {
        const std::string r = root_.string();
        if (name == "cdbd")
            return {CDBD,
                    "--yang-dir",
                    PLX_YANG_MODELS_DIR,
                    "--db-dir",
                    r + "/var/confd/cdb",
                    "--port",
                    std::to_string(port_),
                    "--restconf-port",
                    "0",
                    "--restconf-dir",
                    r + "/var/run",
                    "--restconf-timeout",
                    "2",
                    "--sysmgr-status",
                    r + "/var/run/sysmgrd.json"};
        if (name == "sysmgrd")
            return {SYSMGRD, "--status-file", r + "/var/run/sysmgrd.json"};
        if (name == "fwdplane")
            return {FWDPLANE, "-w", "-q"};
        if (name == "fibd")
            return {FIBD, "-c", "-j", r + "/fibd.journal"};
        if (name == "hbusd")
            return {HBUSD, "-t", std::string(PLX_SOURCE_DIR) + "/examples/tlocs.txt"};
        if (name == "plxd")
            return {PLXD, "-f"};
        std::vector<std::string> cmd = {
            FWDPLANE, "-r", "-q", "-n",   "0", "-R", std::to_string(rate_),
            "-v",     "10", "-i", "ge0/1"};
        for (const auto &e : fs::directory_iterator(root_ / "capture"))
            cmd.push_back(e.path().string());
        return cmd;
    }

    void wait_cdbd() {
        // The first start takes a free port; restarts take the same one, as clients expect.
        port_ = wait_cdbd_port((root_ / "log/cdbd.log").string());
        ASSERT_NE(port_, 0) << log("cdbd");
        setenv("CONFD_IPC_PORT", std::to_string(port_).c_str(), 1);
        ASSERT_TRUE(wait_for([&] { return cli("status").rc == 0; })) << log("cdbd");
    }

    void write_captures() {
        const std::string demo = std::string(PLX_SOURCE_DIR) + "/examples/demo/";
        const std::string cap = (root_ / "capture").string() + "/";
        for (const std::string &args : {"--flows " + demo + "flows.txt " + cap + "flows.pcap",
                                        "-L 200 " + demo + "plain.txt " + cap + "plain.pcap",
                                        "-T 184 " + demo + "voice.txt " + cap + "voice.pcap",
                                        "--ipv6 " + demo + "v6.txt " + cap + "v6.pcap"}) {
            CmdResult r = run_cmd(std::string(PCAPGEN) + " -q -g 5000 " + args);
            ASSERT_EQ(r.rc, 0) << r.out;
        }
    }

    fs::path root_;
    std::string shm_prefix_;
    int port_ = 0;
    uint32_t num_filters_ = 0xFFFFFFFF;
    int rate_ = 200;
    std::map<std::string, pid_t> pids_;
};

// The router's HTTP northbound (RESTCONF and metrics on its database), reached with curl.
struct HttpResult {
    int status = 0;
    std::string body;
};
class Northbound {
  public:
    explicit Northbound(const Router &r) : root_(r.root()) {}
    std::string base() const {
        std::ifstream in(root_ / "var/run/restconf.port");
        int port = 0;
        in >> port;
        return "http://127.0.0.1:" + std::to_string(port);
    }
    std::string token() const {
        std::ifstream in(root_ / "var/run/restconf.token");
        std::string t;
        in >> t;
        return t;
    }
    // curl [ARGS] URL with the bearer token (unless auth is given: the whole header value, or
    // "" for none); the status and the body.
    HttpResult request(const std::string &args, const std::string &path,
                       const std::string *auth = nullptr) const {
        const std::string a = auth ? *auth : "Bearer " + token();
        CmdResult c = run_cmd("curl -s -w '\\n%{http_code}' " +
                              (a.empty() ? std::string() : "-H 'Authorization: " + a + "' ") +
                              args + " '" + base() + path + "'");
        HttpResult h;
        const auto nl = c.out.rfind('\n');
        if (nl == std::string::npos)
            return h;
        h.status = atoi(c.out.c_str() + nl + 1);
        h.body = c.out.substr(0, nl);
        return h;
    }
    HttpResult get(const std::string &path) const { return request("", path); }

  private:
    fs::path root_;
};

// JSON text without the blanks between tokens, for comparing two printings of the same data.
inline std::string json_canon(const std::string &s) {
    std::string out;
    bool in_str = false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (in_str) {
            out += c;
            if (c == '\\' && i + 1 < s.size())
                out += s[++i];
            else if (c == '"')
                in_str = false;
        } else if (c == '"') {
            in_str = true;
            out += c;
        } else if (!isspace(static_cast<unsigned char>(c))) {
            out += c;
        }
    }
    return out;
}

}  // namespace e2e

namespace e2e {

// plxd's self-check: true when `request /plx/verify` reports no difference; its text in *out.
inline bool plxd_verify(const Router &r, std::string *out = nullptr) {
    CmdResult v = r.cli("request /plx/verify");
    if (out)
        *out = v.out;
    return v.rc == 0 && v.out.find(" 0 differences") != std::string::npos;
}

}  // namespace e2e
