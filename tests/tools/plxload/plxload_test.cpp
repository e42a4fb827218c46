// The by-hand acceptance flow with the real programs: fwdplane, fibd, plxc, plxload and pcapgen,
// checked against a linear first-match classification done here.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fplink/fp_common.h"
#include "tests/support/fp_test_env.h"
#include "tests/support/test_process.h"

namespace {

int run(const std::vector<std::string> &args, const std::string &out) {
    return wait_exit(spawn(args, out));
}

// Runs a program that must succeed; its output explains a failure.
::testing::AssertionResult run_ok(const std::vector<std::string> &args, const std::string &out) {
    if (run(args, out) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << args[0] << " failed:\n" << read_text(out);
}

// Hits per counter name from a fwdplane summary ("miss" for the default record).
std::map<std::string, uint64_t> replay_hits(const std::string &summary) {
    std::map<std::string, uint64_t> hits;
    std::istringstream in(summary);
    for (std::string line; std::getline(in, line);) {
        unsigned long long n = 0;
        char text[256] = {};
        if (sscanf(line.c_str(), "  record %*u: hits %llu  [%255[^]]", &n, text) != 2 || n == 0)
            continue;
        std::string t = text;
        size_t count = t.find("count:");
        std::string key = count != std::string::npos
                              ? t.substr(count + 6, t.find(' ', count) - count - 6)
                          : t.starts_with("default") ? "miss"
                                                     : t;
        hits[key] += n;
    }
    return hits;
}

// Packets per counter name printed by plxload at exit.
std::map<std::string, uint64_t> counted(const std::string &log, uint32_t bytes_per_packet) {
    std::map<std::string, uint64_t> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        char name[65] = {};
        unsigned long long packets = 0, bytes = 0;
        if (sscanf(line.c_str(), "counter %64[^:]: packets %llu bytes %llu", name, &packets,
                   &bytes) != 3)
            continue;
        EXPECT_EQ(bytes, packets * bytes_per_packet) << line;
        if (packets)
            out[name] = packets;
    }
    return out;
}

// A ClassBench filter as address and port ranges and a protocol (-1: any).
struct Filter {
    uint32_t lo[4], hi[4];  // source, destination, source port, destination port
    int proto;
};

std::vector<Filter> read_filters(const std::string &path, size_t n, std::string *text) {
    std::vector<Filter> out;
    std::ifstream in(path);
    for (std::string line; out.size() < n && std::getline(in, line);) {
        if (line.empty() || line[0] != '@')
            continue;
        *text += line + "\n";
        unsigned a[4], b[4], alen, blen, pv, pm;
        Filter f{};
        int got = sscanf(line.c_str(), "@%u.%u.%u.%u/%u %u.%u.%u.%u/%u %u : %u %u : %u 0x%x/0x%x",
                         &a[0], &a[1], &a[2], &a[3], &alen, &b[0], &b[1], &b[2], &b[3], &blen,
                         &f.lo[2], &f.hi[2], &f.lo[3], &f.hi[3], &pv, &pm);
        EXPECT_EQ(got, 16) << line;
        auto range = [](const unsigned *q, unsigned len, uint32_t &lo, uint32_t &hi) {
            uint32_t addr = q[0] << 24 | q[1] << 16 | q[2] << 8 | q[3];
            uint32_t mask = len ? ~0u << (32 - len) : 0;
            lo = addr & mask;
            hi = lo | ~mask;
        };
        range(a, alen, f.lo[0], f.hi[0]);
        range(b, blen, f.lo[1], f.hi[1]);
        f.proto = pm ? static_cast<int>(pv) : -1;
        out.push_back(f);
    }
    return out;
}

// Linear first match of the first n trace packets, as a capture carries them (protocols
// without ports carry none): hits per counter name "r<line>", misses as "miss".
std::map<std::string, uint64_t> first_match(const std::vector<Filter> &filters,
                                            const std::string &trace, size_t n) {
    std::map<std::string, uint64_t> hits;
    std::ifstream in(trace);
    size_t seen = 0;
    for (std::string line; seen < n && std::getline(in, line);) {
        uint32_t v[5];
        if (sscanf(line.c_str(), "%u %u %u %u %u", &v[0], &v[1], &v[2], &v[3], &v[4]) != 5)
            continue;
        ++seen;
        if (v[4] != 6 && v[4] != 17 && v[4] != 132 && v[4] != 136)
            v[2] = v[3] = 0;
        std::string key = "miss";
        for (size_t i = 0; i < filters.size(); ++i) {
            const Filter &f = filters[i];
            bool ok = f.proto < 0 || static_cast<uint32_t>(f.proto) == v[4];
            for (int k = 0; k < 4 && ok; ++k)
                ok = v[k] >= f.lo[k] && v[k] <= f.hi[k];
            if (ok) {
                key = "r" + std::to_string(i + 1);
                break;
            }
        }
        ++hits[key];
    }
    return hits;
}

class PlxLoadFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = env_.root();
        std::filesystem::create_directories(dir_ + "/var/run");
        fwdplane_ = spawn({FWDPLANE_BIN, "-w", "-q"}, dir_ + "/fwdplane.log");
        ASSERT_TRUE(wait_for([&] {
            return read_text(dir_ + "/fwdplane.log").find("tables ready") != std::string::npos;
        })) << read_text(dir_ + "/fwdplane.log");
        fibd_ = spawn({FIBD_BIN, "-q", "-j", dir_ + "/fibd.journal"}, dir_ + "/fibd.log");
        ASSERT_EQ(fp_shm_attach(false, false), 0);
    }
    void TearDown() override {
        for (pid_t pid : {load_, fibd_, fwdplane_})
            stop_process(pid);
    }
    // Starts plxload and waits until fibd applied its binding.
    void load(const std::vector<std::string> &args) {
        std::vector<std::string> all{PLXLOAD_BIN};
        all.insert(all.end(), args.begin(), args.end());
        all.insert(all.end(), {"--counters", "*", "--ready", dir_ + "/bound"});
        load_ = spawn(all, dir_ + "/plxload.log");
        ASSERT_TRUE(wait_for([&] { return !read_text(dir_ + "/bound").empty(); }))
            << read_text(dir_ + "/plxload.log");
    }
    // Stops plxload (unbind, free, release) and returns its output.
    std::string unload() {
        kill(load_, SIGINT);
        EXPECT_EQ(wait_exit(load_), 0);
        load_ = -1;
        return read_text(dir_ + "/plxload.log");
    }

    FpTestEnv env_;
    std::string dir_;
    pid_t fwdplane_ = -1, fibd_ = -1, load_ = -1;
};

TEST_F(PlxLoadFlow, PcapReplayOfBoundPolicyEqualsLinearFirstMatch) {
    const std::string data =
        std::getenv("PLX_TEST_DATA") ? std::getenv("PLX_TEST_DATA") : "/work/shared/data";
    const std::string trace = data + "/classbench/acl1_1k_trace";
    const size_t kPackets = 2000;
    std::string rules_text;
    std::vector<Filter> filters = read_filters(data + "/classbench/acl1_1k", 100, &rules_text);
    ASSERT_EQ(filters.size(), 100u);
    std::ofstream(dir_ + "/acl1.cb") << rules_text;
    ASSERT_TRUE(run_ok({PLXC_BIN, "compile", dir_ + "/acl1.cb", "-o", dir_ + "/acl1.plx"},
                       dir_ + "/plxc.log"));
    load({dir_ + "/acl1.plx", "--vpn", "7"});
    EXPECT_EQ(read_text(dir_ + "/bound"), "0\n");

    ASSERT_TRUE(run_ok({PCAPGEN_BIN, "-n", std::to_string(kPackets), trace, dir_ + "/acl1.pcap"},
                       dir_ + "/pcapgen.log"));
    ASSERT_TRUE(
        run_ok({FWDPLANE_BIN, "-r", "-v", "7", dir_ + "/acl1.pcap", "-S", dir_ + "/summary"},
               dir_ + "/replay.log"));
    std::string log = unload();

    std::map<std::string, uint64_t> expect = first_match(filters, trace, kPackets);
    ASSERT_GT(expect.size(), 10u) << "too few filters hit to tell anything";
    EXPECT_EQ(replay_hits(read_text(dir_ + "/summary")), expect);
    expect.erase("miss");
    EXPECT_EQ(counted(log, 64), expect);

    // fibd saw the bind and, at the end, the unbind; the program was released.
    std::string journal = read_text(dir_ + "/fibd.journal");
    EXPECT_NE(journal.find("\"op\":\"policy-bind\",\"filter_type\":1,\"direction\":3,"
                           "\"filter_id\":0,\"name\":\"acl1.cb\",\"vpn_ids\":[7]"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find("\"op\":\"policy-unbind\""), std::string::npos) << journal;
    EXPECT_EQ(fp_load(fp_filters()[0].valid), 0);
    EXPECT_EQ(fp_load(fp_vpn_bindings()[7].bound), 0);
}

TEST_F(PlxLoadFlow, Ipv6AccessListOnRawCaptureAndSecondProgramBesideTheFirst) {
    std::ofstream(dir_ + "/acl6.rules") << "default accept\n"
                                           "rule web protocol=6 dst-port=80 -> accept count web\n"
                                           "rule dns protocol=17 dst-port=53 -> reject count dns\n";
    ASSERT_TRUE(run_ok({PLXC_BIN, "compile", dir_ + "/acl6.rules", "-o", dir_ + "/acl6.plx"},
                       dir_ + "/plxc.log"));
    load({dir_ + "/acl6.plx", "--acl", "ge0/1:in", "--ipv6", "--acl-vpn", "3"});
    std::span<fp_intf_acl_binding> intf = fp_intf_acl_bindings();
    ASSERT_STREQ(intf[0].name, "ge0/1");
    EXPECT_EQ(intf[0].vpn_id, 3u);
    EXPECT_EQ(intf[0].bound, fp_acl_bound_bit(FP_ACL_DIR_IN, FP_ACL_FAMILY_V6));

    // A second plxload on another socket but the same forwarding plane places its program
    // after the first one and leaves the first intact.
    std::string first = read_text(dir_ + "/acl6.plx");
    std::string root2 = dir_ + "/second";
    std::filesystem::create_directories(root2 + "/etc/default");
    std::filesystem::copy_file(dir_ + "/etc/default/sim_size", root2 + "/etc/default/sim_size");
    pid_t second = spawn({PLXLOAD_BIN, dir_ + "/acl6.plx", "--vpn", "9"}, dir_ + "/second.log",
                         {{"PLX_ROOT", root2}});
    const FilterEntry &f0 = fp_filters()[0], &f1 = fp_filters()[1];
    ASSERT_TRUE(wait_for([&] { return fp_load(f1.valid) == 1; }))
        << read_text(dir_ + "/second.log");
    EXPECT_GE(f1.hw_index, f0.hw_index + f0.num_blocks);
    EXPECT_EQ(std::memcmp(fp_filter_mem() + size_t{f0.hw_index} * FP_FILTER_BLOCK_SIZE,
                          first.data(), first.size()),
              0);
    kill(second, SIGINT);
    EXPECT_EQ(wait_exit(second), 0) << read_text(dir_ + "/second.log");
    EXPECT_EQ(fp_load(f1.valid), 0);

    // While one plxload serves plxd's socket, another refuses to start and places nothing.
    EXPECT_EQ(run({PLXLOAD_BIN, dir_ + "/acl6.plx", "--vpn", "9"}, dir_ + "/third.log"), 1);
    EXPECT_NE(read_text(dir_ + "/third.log").find("is in use"), std::string::npos)
        << read_text(dir_ + "/third.log");
    EXPECT_EQ(fp_load(f1.valid), 0);

    std::ofstream(dir_ + "/v6.txt") << "# src dst sport dport proto [flags]\n"
                                       "2001:db8::1 2001:db8::80 40000 80 6 0x02\n"
                                       "2001:db8::1 2001:db8::80 40001 80 6\n"
                                       "2001:db8::1 2001:db8::53 5353 53 17\n"
                                       "fe80::1 ff02::1 0 0 58\n";
    ASSERT_TRUE(run_ok({PCAPGEN_BIN, "-6", "--raw", dir_ + "/v6.txt", dir_ + "/v6.pcap"},
                       dir_ + "/pcapgen.log"));
    ASSERT_TRUE(
        run_ok({FWDPLANE_BIN, "-r", "-i", "ge0/1", dir_ + "/v6.pcap", "-S", dir_ + "/summary"},
               dir_ + "/replay.log"));
    std::string summary = read_text(dir_ + "/summary");
    EXPECT_EQ(replay_hits(summary),
              (std::map<std::string, uint64_t>{{"web", 2}, {"dns", 1}, {"miss", 1}}))
        << summary;
    EXPECT_NE(summary.find("dropped by ingress access list 1\n"), std::string::npos) << summary;
    EXPECT_EQ(counted(unload(), 64), (std::map<std::string, uint64_t>{{"web", 2}, {"dns", 1}}));
    EXPECT_EQ(fp_load(fp_intf_acl_bindings()[0].bound), 0);
}

TEST(PlxLoadTools, BadInputIsRefusedWithAClearMessage) {
    FpTestEnv env;
    const std::string dir = env.root();
    std::ofstream(dir + "/garbage.plx") << std::string(600, 'x');
    std::ofstream(dir + "/bad.trace") << "1 2 3 4 6\n1 2 3 70000 6\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {{PLXLOAD_BIN, dir + "/garbage.plx"}, 2, "give either --vpn or --acl"},
        {{PLXLOAD_BIN, dir + "/garbage.plx", "-v", "1", "-i", "ge0/0:in"}, 2, "either"},
        {{PLXLOAD_BIN, dir + "/garbage.plx", "-v", "70000"}, 2, "bad VPN '70000'"},
        {{PLXLOAD_BIN, dir + "/garbage.plx", "-i", "ge0/0:up"}, 2, "bad access-list binding"},
        {{PLXLOAD_BIN, dir + "/garbage.plx", "-v", "1"}, 1, "not a valid program"},
        {{PLXLOAD_BIN, dir + "/none.plx", "-v", "1"}, 1, "cannot open"},
        {{PCAPGEN_BIN, dir + "/garbage.plx", dir + "/out.pcap"}, 2, "garbage.plx:1: expected"},
        {{PCAPGEN_BIN, "-L", "0", dir + "/in", dir + "/out.pcap"}, 2, "bad length"},
        {{PCAPGEN_BIN, dir + "/bad.trace", dir + "/out.pcap"},
         2,
         "bad.trace:2: bad destination port '70000'"},
    };
    for (const Case &c : cases) {
        std::string out = dir + "/out.log";
        std::filesystem::remove(out);
        EXPECT_EQ(run(c.args, out), c.status) << c.args.back();
        EXPECT_NE(read_text(out).find(c.message), std::string::npos) << read_text(out);
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.pcap")) << "no half-written capture";
}

}  // namespace
