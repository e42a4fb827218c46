// Live changes: a random sequence of commits of every kind (sequences added, removed and
// renumbered, port ranges and prefixes moved by one, prefix lists refilled, the default action
// flipped, the policy moved to another VPN list, VPN ranges grown, shrunk and split, the whole
// policy replaced, the configuration replaced by the starting one) mixed with SIGKILL and restart
// of cdbd, fibd, the forwarding plane and hbusd. After every step plxd's self-check reports no
// difference, and packets replayed through the forwarding plane get what a linear first match of
// the configuration read back from the database gives them: the same verdict for every packet
// and, after a clear, the same count for every sequence.
//
// PLX_LIVE_SEED=N repeats a run; PLX_LIVE_STEPS=N sets its length (the normal suite runs a short
// one; the target router_live_long a long one).
#include <libyang/libyang.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "tests/e2e/router_harness.h"

namespace {

using e2e::CmdResult;
using e2e::Router;
namespace fs = std::filesystem;

// ---- The database's XML, parsed by libyang ---------------------------------------------------

// The children of `n` named `name`.
std::vector<const lyd_node *> all(const lyd_node *n, const char *name) {
    std::vector<const lyd_node *> out;
    for (const lyd_node *c = lyd_child(n); c; c = c->next)
        if (std::strcmp(LYD_NAME(c), name) == 0)
            out.push_back(c);
    return out;
}
const lyd_node *kid(const lyd_node *n, const char *name) {
    auto found = all(n, name);
    return found.empty() ? nullptr : found.front();
}
std::string value(const lyd_node *n, const char *name) {
    const lyd_node *k = kid(n, name);
    return k ? lyd_get_value(k) : "";
}

// The configuration trees of the policy model in `xml` (others' data is skipped).
std::unique_ptr<lyd_node, void (*)(lyd_node *)> parse_xml(const std::string &xml) {
    static ly_ctx *ctx = [] {
        ly_ctx *c = nullptr;
        ly_log_options(0);
        if (ly_ctx_new(PLX_YANG_MODELS_DIR, LY_CTX_NO_YANGLIBRARY, &c) == LY_SUCCESS)
            ly_ctx_load_module(c, "quorvel-policy", nullptr, nullptr);
        return c;
    }();
    lyd_node *tree = nullptr;
    lyd_parse_data_mem(ctx, xml.c_str(), LYD_XML, LYD_PARSE_ONLY, 0, &tree);
    return {tree, lyd_free_all};
}

// ---- The configuration the test writes, and its first-match classification -------------------

struct Seq {
    uint32_t id = 0;
    int proto = -1;             // -1: no protocol match
    uint32_t plo = 0, phi = 0;  // destination ports, when phi != 0
    std::string src_list;       // source prefix list
    std::string dst_ip;         // destination prefix "a.b.c.d/len"
    bool accept = true;
};

struct Config {
    std::string policy = "lp";
    std::string vpn_list = "lv";
    std::map<std::string, std::vector<std::pair<uint32_t, uint32_t>>> vpn_lists;
    std::map<std::string, std::vector<std::string>> pfx_lists;
    bool default_accept = true;
    std::vector<Seq> seqs;  // ascending id

    std::string xml() const {
        std::ostringstream x;
        x << "<policy-from-qctrl xmlns=\"urn:quorvel:yang:policy\"><lists>";
        for (const auto &[name, ranges] : vpn_lists) {
            x << "<vpn-list><name>" << name << "</name>";
            for (auto [lo, hi] : ranges)
                x << "<vpn><id>" << lo << (hi != lo ? "-" + std::to_string(hi) : "")
                  << "</id></vpn>";
            x << "</vpn-list>";
        }
        for (const auto &[name, pfx] : pfx_lists) {
            x << "<data-prefix-list><name>" << name << "</name>";
            for (const std::string &p : pfx)
                x << "<ip-prefix><prefix>" << p << "</prefix></ip-prefix>";
            x << "</data-prefix-list>";
        }
        x << "</lists><data-policy><name>" << policy << "</name><direction>all</direction>"
          << "<vpn-list><name>" << vpn_list << "</name><default-action>"
          << (default_accept ? "accept" : "reject") << "</default-action>";
        for (const Seq &q : seqs) {
            x << "<sequence><id>" << q.id << "</id><match>";
            if (q.proto >= 0)
                x << "<protocol>" << q.proto << "</protocol>";
            if (q.phi)
                x << "<destination-port>" << q.plo
                  << (q.phi != q.plo ? "-" + std::to_string(q.phi) : "") << "</destination-port>";
            if (!q.src_list.empty())
                x << "<source-data-prefix-list>" << q.src_list << "</source-data-prefix-list>";
            if (!q.dst_ip.empty())
                x << "<destination-ip>" << q.dst_ip << "</destination-ip>";
            x << "</match><action><base-action>" << (q.accept ? "accept" : "reject")
              << "</base-action><count>" << policy << "k" << q.id << "</count></action>"
              << "</sequence>";
        }
        x << "</vpn-list></data-policy></policy-from-qctrl>\n";
        return x.str();
    }

    // The configuration as the database holds it (what the test wrote, unless a commit was lost).
    static Config read_back(const Router &r) {
        Config c;
        c.vpn_lists.clear();
        c.pfx_lists.clear();
        auto doc = parse_xml(r.cli("show --format xml").out);
        const lyd_node *q = nullptr;
        for (const lyd_node *n = doc.get(); n && !q; n = n->next)
            q = std::strcmp(LYD_NAME(n), "policy-from-qctrl") == 0 ? n : nullptr;
        if (!q)
            return c;
        if (const lyd_node *l = kid(q, "lists")) {
            for (const lyd_node *v : all(l, "vpn-list")) {
                auto &ranges = c.vpn_lists[value(v, "name")];
                for (const lyd_node *id : all(v, "vpn")) {
                    unsigned lo = 0, hi = 0;
                    int n = std::sscanf(value(id, "id").c_str(), "%u-%u", &lo, &hi);
                    ranges.emplace_back(lo, n == 2 ? hi : lo);
                }
            }
            for (const lyd_node *p : all(l, "data-prefix-list")) {
                auto &pfx = c.pfx_lists[value(p, "name")];
                for (const lyd_node *e : all(p, "ip-prefix"))
                    pfx.push_back(value(e, "prefix"));
            }
        }
        const lyd_node *dp = kid(q, "data-policy");
        const lyd_node *vl = dp ? kid(dp, "vpn-list") : nullptr;
        if (!vl)
            return c;
        c.policy = value(dp, "name");
        c.vpn_list = value(vl, "name");
        c.default_accept = value(vl, "default-action") != "reject";
        for (const lyd_node *s : all(vl, "sequence")) {
            Seq e;
            e.id = static_cast<uint32_t>(std::stoul(value(s, "id")));
            if (const lyd_node *m = kid(s, "match")) {
                if (kid(m, "protocol"))
                    e.proto = std::stoi(value(m, "protocol"));
                if (kid(m, "destination-port")) {
                    unsigned lo = 0, hi = 0;
                    int n = std::sscanf(value(m, "destination-port").c_str(), "%u-%u", &lo, &hi);
                    e.plo = lo;
                    e.phi = n == 2 ? hi : lo;
                }
                e.src_list = value(m, "source-data-prefix-list");
                e.dst_ip = value(m, "destination-ip");
            }
            if (const lyd_node *a = kid(s, "action"))
                e.accept = value(a, "base-action") != "reject";
            c.seqs.push_back(e);
        }
        std::sort(c.seqs.begin(), c.seqs.end(), [](auto &a, auto &b) { return a.id < b.id; });
        return c;
    }

    // Ranges and prefixes in a fixed order, as the database may list them in its own.
    Config normal() const {
        Config c = *this;
        for (auto &[name, r] : c.vpn_lists)
            std::sort(r.begin(), r.end());
        for (auto &[name, l] : c.pfx_lists)
            std::sort(l.begin(), l.end());
        return c;
    }

    std::set<uint32_t> vpn_ids() const {
        std::set<uint32_t> ids;
        auto it = vpn_lists.find(vpn_list);
        if (it != vpn_lists.end())
            for (auto [lo, hi] : it->second)
                for (uint32_t id = lo; id <= hi; ++id)
                    ids.insert(id);
        return ids;
    }
};

struct Packet {
    uint32_t src = 0, dst = 0, sport = 1024, dport = 0, proto = 6;
};

bool in_prefix(uint32_t a, const std::string &p) {
    unsigned b[4], len = 32;
    if (std::sscanf(p.c_str(), "%u.%u.%u.%u/%u", &b[0], &b[1], &b[2], &b[3], &len) < 4)
        return false;
    uint32_t net = b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
    uint32_t mask = len == 0 ? 0 : ~0u << (32 - len);
    return (a & mask) == (net & mask);
}

// The first sequence whose conditions all hold; null for the default action.
const Seq *first_match(const Config &c, const Packet &p) {
    for (const Seq &q : c.seqs) {
        if (q.proto >= 0 && p.proto != static_cast<uint32_t>(q.proto))
            continue;
        if (q.phi && (p.dport < q.plo || p.dport > q.phi))
            continue;
        if (!q.dst_ip.empty() && !in_prefix(p.dst, q.dst_ip))
            continue;
        if (!q.src_list.empty()) {
            auto it = c.pfx_lists.find(q.src_list);
            bool any = false;
            for (const std::string &pfx :
                 it == c.pfx_lists.end() ? std::vector<std::string>{} : it->second)
                any = any || in_prefix(p.src, pfx);
            if (!any)
                continue;
        }
        return &q;
    }
    return nullptr;
}

// ---- The test -------------------------------------------------------------------------------

class RouterLive : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *env = std::getenv("PLX_LIVE_SEED");
        seed_ =
            env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : std::random_device{}();
        const char *steps = std::getenv("PLX_LIVE_STEPS");
        steps_ = steps ? std::atoi(steps) : 12;
        std::printf("live-change seed %u (PLX_LIVE_SEED=%u repeats this run), %d steps\n", seed_,
                    seed_, steps_);
        rng_.seed(seed_);
        start_ = initial();
        const fs::path file = router_.root() / "start.xml";
        std::ofstream(file) << start_.xml();
        router_.bring_up(file.string());
    }

    static size_t count(const std::string &s, const std::string &what) {
        size_t n = 0;
        for (size_t at = 0; (at = s.find(what, at)) != std::string::npos; at += what.size())
            ++n;
        return n;
    }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    std::string ip(uint32_t a) {
        return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
               std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
    }

    Seq random_seq(uint32_t id, const Config &c) {
        Seq q;
        q.id = id;
        q.accept = pick(0, 1);
        if (pick(0, 2))
            q.proto = pick(0, 1) ? 6 : 17;
        if (pick(0, 1)) {
            q.plo = static_cast<uint32_t>(pick(20, 90));
            q.phi = q.plo + static_cast<uint32_t>(pick(0, 1) ? 0 : pick(1, 20));
        }
        if (pick(0, 2) == 0 && !c.pfx_lists.empty())
            q.src_list = pick(0, 1) ? "pa" : "pb";
        if (pick(0, 2) == 0)
            q.dst_ip = "10.9." + std::to_string(pick(0, 7)) + ".0/24";
        if (q.proto < 0 && !q.phi && q.src_list.empty() && q.dst_ip.empty())
            q.proto = 17;  // a sequence tests at least one field
        return q;
    }

    Config initial() {
        Config c;
        c.vpn_lists["lv"] = {{905, 905}};
        c.vpn_lists["lw"] = {{910, 911}};
        c.pfx_lists["pa"] = {"172.16.1.0/24", "172.16.3.0/24"};
        c.pfx_lists["pb"] = {"172.16.2.0/24"};
        for (uint32_t id = 10; id <= 60; id += 10)
            c.seqs.push_back(random_seq(id, c));
        return c;
    }

    // One random edit of the configuration; its name in *what.
    Config edit(Config c, std::string *what) {
        auto &ranges = c.vpn_lists[c.vpn_list];
        auto seq_at = [&]() -> Seq & { return c.seqs[pick(0, int(c.seqs.size()) - 1)]; };
        switch (pick(0, 11)) {
            case 0: {
                uint32_t id = static_cast<uint32_t>(pick(1, 99));
                if (std::none_of(c.seqs.begin(), c.seqs.end(), [&](auto &q) { return q.id == id; }))
                    c.seqs.push_back(random_seq(id, c));
                *what = "sequence " + std::to_string(id) + " added";
                break;
            }
            case 1:
                if (c.seqs.size() > 1) {
                    size_t i = static_cast<size_t>(pick(0, int(c.seqs.size()) - 1));
                    *what = "sequence " + std::to_string(c.seqs[i].id) + " removed";
                    c.seqs.erase(c.seqs.begin() + static_cast<long>(i));
                    break;
                }
                [[fallthrough]];
            case 2: {
                Seq &q = seq_at();
                uint32_t id = static_cast<uint32_t>(pick(1, 99));
                if (std::none_of(c.seqs.begin(), c.seqs.end(), [&](auto &s) { return s.id == id; }))
                    q.id = id;
                *what = "sequence renumbered to " + std::to_string(q.id);
                break;
            }
            case 3: {
                Seq &q = seq_at();
                if (!q.phi)
                    q.plo = q.phi = 53;
                int d = pick(0, 1) ? 1 : -1;
                q.plo = static_cast<uint32_t>(static_cast<int>(q.plo) + d);
                q.phi = static_cast<uint32_t>(static_cast<int>(q.phi) + d);
                *what = "port range of sequence " + std::to_string(q.id) + " moved by one";
                break;
            }
            case 4: {
                auto &l = c.pfx_lists[pick(0, 1) ? "pa" : "pb"];
                unsigned third = static_cast<unsigned>(pick(1, 6));
                l[static_cast<size_t>(pick(0, int(l.size()) - 1))] =
                    "172.16." + std::to_string(third) + ".0/24";
                std::sort(l.begin(), l.end());
                l.erase(std::unique(l.begin(), l.end()), l.end());
                *what = "prefix moved";
                break;
            }
            case 5:
                c.pfx_lists["pb"] = {"172.16." + std::to_string(pick(1, 6)) + ".0/24",
                                     "172.16." + std::to_string(pick(7, 9)) + ".0/24"};
                *what = "prefix list refilled";
                break;
            case 6:
                c.default_accept = !c.default_accept;
                *what = "default action flipped";
                break;
            case 7:
                c.vpn_list = c.vpn_list == "lv" ? "lw" : "lv";
                *what = "policy moved to VPN list " + c.vpn_list;
                break;
            case 8: {
                auto [lo, hi] = ranges.back();
                ranges.back() = {lo > 900 ? lo - 1 : lo, hi + 1};
                *what = "VPN range grown";
                break;
            }
            case 9: {
                auto &r = ranges.back();
                if (r.second > r.first)
                    --r.second;
                *what = "VPN range shrunk";
                break;
            }
            case 10: {
                auto [lo, hi] = ranges.back();
                if (hi - lo >= 2) {
                    ranges.back() = {lo, lo};
                    ranges.emplace_back(lo + 2, hi);
                } else {
                    ranges.emplace_back(hi + 2, hi + 3);
                }
                *what = "VPN range split";
                break;
            }
            default: {
                c.policy = c.policy == "lp" ? "lq" : "lp";
                c.seqs.clear();
                for (uint32_t id = 5; id <= 45; id += 10)
                    c.seqs.push_back(random_seq(id, c));
                *what = "policy replaced by " + c.policy;
                break;
            }
        }
        std::sort(c.seqs.begin(), c.seqs.end(), [](auto &a, auto &b) { return a.id < b.id; });
        return c;
    }

    bool commit(const Config &c) {
        const fs::path file = router_.root() / "step.xml";
        std::ofstream(file) << c.xml();
        CmdResult r = router_.cli("load --replace " + file.string());
        return r.rc == 0;
    }

    void restart(const std::string &peer) {
        const size_t events = count(router_.log("plxd"), "Forwarding plane restarted: ");
        router_.kill9(peer);
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 800)));
        router_.start(peer);
        if (peer == "fwdplane") {
            EXPECT_TRUE(wait_for(
                [&] { return count(router_.log("plxd"), "Forwarding plane restarted: ") > events; },
                10000))
                << "no operator event for the new forwarding plane";
        }
        if (peer != "cdbd")
            return;
        router_.mark_early_readers();
        // Commits wait until plxd has subscribed again.
        EXPECT_TRUE(wait_for(
            [&] {
                const std::string st = router_.cli("status").out;
                return st.find(" policy-from-qctrl/data-policy/vpn-list/sequence\n") !=
                       std::string::npos;
            },
            30000));
    }

    // Packets around the values the configuration names.
    std::vector<Packet> packets(const Config &c) {
        std::vector<Packet> pkts;
        for (int i = 0; i < 80; ++i) {
            Packet p;
            p.proto = pick(0, 3) ? (pick(0, 1) ? 6 : 17) : 1;
            const Seq &q = c.seqs.empty() ? Seq{} : c.seqs[size_t(pick(0, int(c.seqs.size()) - 1))];
            const uint32_t base = q.phi ? q.plo : 53;
            p.dport = static_cast<uint32_t>(std::max(0, int(base) + pick(-1, 2)));
            if (q.phi && pick(0, 1))
                p.dport = q.phi + static_cast<uint32_t>(pick(0, 1));
            p.src = 0xAC100000u | uint32_t(pick(0, 9)) << 8 | uint32_t(pick(1, 254));
            p.dst = 0x0A090000u | uint32_t(pick(0, 8)) << 8 | uint32_t(pick(1, 254));
            pkts.push_back(p);
        }
        return pkts;
    }

    // The packets replayed in each VPN of the list and one outside it; their verdicts and
    // per-sequence counts against a first match of `c`. Empty when they agree.
    std::string replay_disagrees(const Config &c, const std::vector<Packet> &pkts) {
        std::set<uint32_t> vpns = c.vpn_ids();
        vpns.insert(899);
        const fs::path trace = router_.root() / "packets.trace";
        {
            std::ofstream t(trace);
            for (const Packet &p : pkts)
                t << p.src << " " << p.dst << " " << p.sport << " " << p.dport << " " << p.proto
                  << " 0\n";
        }
        if (router_.cli("request /plx/clear/data-policy").rc != 0)
            return "clear failed";
        std::map<uint32_t, uint64_t> want_counts;
        std::ostringstream diff;
        const std::set<uint32_t> bound = c.vpn_ids();
        for (uint32_t vpn : vpns) {
            CmdResult r = e2e::run_cmd(std::string(FWDPLANE) + " -r -q -p -v " +
                                       std::to_string(vpn) + " -i ge0/7 " + trace.string());
            std::istringstream in(r.out);
            size_t k = 0;
            for (std::string line; std::getline(in, line);) {
                size_t at = line.find(" => ");
                if (at == std::string::npos)
                    continue;
                if (k >= pkts.size())
                    break;
                const Packet &p = pkts[k++];
                const Seq *m = bound.count(vpn) ? first_match(c, p) : nullptr;
                const bool accept = !bound.count(vpn) || (m ? m->accept : c.default_accept);
                if (m)
                    ++want_counts[m->id];
                const bool forwarded = line.compare(at + 4, 9, "forwarded") == 0;
                if (forwarded != accept && diff.tellp() < 2000)
                    diff << "vpn " << vpn << " packet " << k << " (" << ip(p.src) << " -> "
                         << ip(p.dst) << " proto " << p.proto << " port " << p.dport
                         << "): " << line.substr(at + 4) << ", first match "
                         << (m ? "sequence " + std::to_string(m->id) : "default") << "\n";
            }
            if (k != pkts.size())
                return "replay in vpn " + std::to_string(vpn) + " printed " + std::to_string(k) +
                       " packets:\n" + r.out;
        }
        // Counters: every sequence of the policy, after the clear.
        const std::string oper = router_.cli("show /policy-oper --format json").out;
        const std::regex row("\"counter-name\": \"" + c.policy +
                             R"re(k(\d+)"[^}]*?"packets": "(\d+)")re");
        std::map<uint32_t, uint64_t> got;
        for (std::sregex_iterator it(oper.begin(), oper.end(), row), end; it != end; ++it)
            got[static_cast<uint32_t>(std::stoul((*it)[1]))] += std::stoull((*it)[2]);
        for (const Seq &q : c.seqs)
            if (got[q.id] != want_counts[q.id])
                diff << "sequence " << q.id << ": counted " << got[q.id] << ", first match "
                     << want_counts[q.id] << "\n";
        return diff.str();
    }

    Router router_;
    unsigned seed_ = 0;
    int steps_ = 12;
    std::mt19937 rng_;
    Config start_;
};

TEST_F(RouterLive, EveryStepLeavesTheForwardingPlaneAsConfigured) {
    Config model = start_;
    std::string why;
    for (int step = 0; step <= steps_ && !HasFailure(); ++step) {
        std::string what = "start";
        if (step > 0 && pick(0, 3) == 0) {
            const char *peers[] = {"cdbd", "fibd", "fwdplane", "hbusd"};
            what = std::string("restart of ") + peers[pick(0, 3)];
            restart(what.substr(11));
        } else if (step > 0 && pick(0, 9) == 0) {
            what = "load --replace of the start";
            model = start_;
            ASSERT_TRUE(commit(model)) << what;
        } else if (step > 0) {
            Config next = edit(model, &what);
            if (commit(next))
                model = next;
            else
                what += " (refused)";
        }
        std::printf("step %d: %s\n", step, what.c_str());
        SCOPED_TRACE("step " + std::to_string(step) + ": " + what + " (seed " +
                     std::to_string(seed_) + ")");
        ASSERT_TRUE(router_.alive("plxd")) << router_.log("plxd");
        EXPECT_TRUE(wait_for([&] { return e2e::plxd_verify(router_, &why); }, 30000)) << why;
        const Config back = Config::read_back(router_);
        const std::vector<Packet> pkts = packets(back);
        EXPECT_EQ(back.normal().xml(), model.normal().xml())
            << "the database does not hold what was committed";
        EXPECT_TRUE(wait_for([&] { return (why = replay_disagrees(back, pkts)).empty(); }, 20000))
            << why;
    }
}

}  // namespace
