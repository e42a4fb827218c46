// Incremental reading equals reading from scratch: random valid configurations, committed one
// after another (renames, repoints and whole subtrees going in one commit), must leave the model
// exactly as a fresh daemon that reads the same configuration at once. The number of commits
// comes from PLX_INCREMENTAL_COMMITS (the long run sets thousands), the random seed from
// PLX_INCREMENTAL_SEED, and PLX_INCREMENTAL_CHECK_EVERY=1 compares after every commit.
#include <cstdlib>
#include <random>

#include "tests/policy/reader_fixture.h"

using rt::policy_xml;
using rt::qctrl_xml;
using rt::vpn_xml;

namespace {

// Builds one configuration from a seed per section. Sections read what earlier sections
// created, so re-rolling one section keeps every reference valid.
class ConfigGen {
  public:
    enum Section {
        CLASSES,
        DEV_LISTS,
        MIRRORS,
        DEV_POLICERS,
        SWITCHES,
        ACL4,
        ACL6,
        SLA,
        VPN_LISTS,
        Q_LISTS,
        Q_POLICERS,
        DATA_POLICIES,
        APP_ROUTE,
        VPNS,
        N_SECTIONS
    };
    uint32_t seed[N_SECTIONS] = {};

    std::string xml() {
        names_.clear();
        std::string dev, q, vpn;
        dev += classes();
        dev += dev_lists();
        dev += mirrors();
        dev += policers(DEV_POLICERS, "dpol");
        dev += switches();
        std::string acl4 = acls(ACL4, false);
        std::string acl6 = acls(ACL6, true);
        dev += acl4 + (acl6.empty() ? "" : "<ipv6>" + acl6 + "</ipv6>");
        q += sla();
        q += "<lists>" + vpn_lists() + q_lists() + "</lists>";
        q += policers(Q_POLICERS, "qpol");
        q += policies(DATA_POLICIES, true);
        q += policies(APP_ROUTE, false);
        vpn = vpns();
        return policy_xml(dev) + qctrl_xml(q) + vpn_xml(vpn);
    }

  private:
    std::mt19937 rng_;
    std::map<std::string, std::vector<std::string>> names_;

    void start(Section s) { rng_.seed(seed[s] * 2654435761u + s); }
    uint32_t r(uint32_t n) { return n ? rng_() % n : 0; }
    bool coin(uint32_t pct = 50) { return r(100) < pct; }
    // The text made by f, in pct percent of the calls; f draws its numbers only then.
    template <class F>
    std::string opt(uint32_t pct, F f) {
        return coin(pct) ? std::string(f()) : std::string();
    }
    // A leaf naming an element of `kind`, in pct percent of the calls while any exists.
    std::string ref(uint32_t pct, const char *name, const char *kind) {
        return coin(pct) && !pick(kind).empty() ? leaf(name, pick(kind)) : "";
    }
    std::string pick(const char *kind) {
        auto &v = names_[kind];
        return v.empty() ? "" : v[r(static_cast<uint32_t>(v.size()))];
    }
    // Distinct names from a small pool, so that later configurations reuse and rename them.
    std::vector<std::string> some(const char *kind, const char *prefix, uint32_t max) {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < 4; ++i)
            if (out.size() < max && coin(45))
                out.push_back(std::string(prefix) + std::to_string(i));
        names_[kind] = out;
        return out;
    }
    std::string leaf(const std::string &n, const std::string &v) {
        return "<" + n + ">" + v + "</" + n + ">";
    }
    std::string num(uint32_t lo, uint32_t hi) { return std::to_string(lo + r(hi - lo + 1)); }
    std::string range() {
        uint32_t a = r(2000), b = a + r(3) * r(500);
        return a == b ? std::to_string(a) : std::to_string(a) + "-" + std::to_string(b);
    }
    std::string ip4() { return "10." + num(0, 3) + "." + num(0, 3) + "." + num(1, 4); }
    std::string color() {
        static const char *c[] = {"mpls", "gold", "red", "lte", "blue", "private1"};
        return c[r(6)];
    }

    std::string classes() {
        start(CLASSES);
        std::string s;
        for (auto &n : some("class", "cls", 4))
            s +=
                "<class>" + leaf("name", n) + (coin() ? leaf("queue", num(0, 7)) : "") + "</class>";
        return s.empty() ? "" : "<class-map>" + s + "</class-map>";
    }
    std::string prefix_lists(const char *kind, const char *prefix) {
        std::string s;
        for (auto &n : some(kind, prefix, 3)) {
            s += "<data-prefix-list>" + leaf("name", n);
            for (uint32_t i = 0, k = 1 + r(3); i < k; ++i)
                s += "<ip-prefix>" +
                     leaf("prefix", "10." + num(0, 3) + ".0.0/" + std::to_string(16 + i)) +
                     "</ip-prefix>";
            s += "</data-prefix-list>";
        }
        return s;
    }
    std::string app_lists(const char *kind, const char *prefix) {
        static const char *apps[] = {"http", "dns", "ssh", "sip", "netflix"};
        static const char *fams[] = {"mail", "web", "game", "routing"};
        std::string s;
        for (auto &n : some(kind, prefix, 3)) {
            s += "<app-list>" + leaf("name", n);
            bool fam = coin();
            for (uint32_t i = r(2), k = 1 + r(3); i < k + 1 && i < 4; i += 1 + r(2))
                s += fam ? "<app-family>" + leaf("name", fams[i]) + "</app-family>"
                         : "<app>" + leaf("name", apps[i]) + "</app>";
            s += "</app-list>";
        }
        return s;
    }
    std::string dev_lists() {
        start(DEV_LISTS);
        std::string s = prefix_lists("dpfx", "dp") + app_lists("dapp", "da");
        return s.empty() ? "" : "<lists>" + s + "</lists>";
    }
    std::string mirrors() {
        start(MIRRORS);
        std::string s;
        for (auto &n : some("mirror", "mir", 3)) {
            s += "<mirror>" + leaf("name", n);
            if (coin())
                s += "<interface>" + leaf("name", "ge0/" + num(1, 3)) + "</interface>";
            if (coin())
                s += "<remote-dest>" + leaf("destination", "10.9.0." + num(1, 3)) +
                     leaf("source", ip4()) + "</remote-dest>";
            s += "</mirror>";
        }
        return s;
    }
    std::string policers(Section sec, const char *prefix) {
        start(sec);
        std::string s;
        for (auto &n : some(sec == DEV_POLICERS ? "dpol" : "qpol", prefix, 3)) {
            s += "<policer>" + leaf("name", n);
            s += leaf("rate", num(8, 90000)) + leaf("burst", num(15000, 20000));
            s += opt(50, [&] { return leaf("exceed", coin() ? "drop" : "remark"); });
            s += "</policer>";
        }
        return s;
    }
    std::string switches() {
        start(SWITCHES);
        std::string s;
        s += opt(50, [&] { return leaf("app-visibility", coin() ? "true" : "false"); });
        s += opt(50, [&] { return leaf("flow-visibility", coin() ? "true" : "false"); });
        s += opt(50, [&] { return leaf("log-frequency", num(0, 5000)); });
        return s;
    }
    std::string port_match(bool v6) {
        std::string s;
        s += opt(30, [&] { return leaf("source-port", range()); });
        s += opt(30, [&] { return leaf("destination-port", range()); });
        s += opt(20, [&] { return leaf("packet-length", range()); });
        s += opt(20, [&] { return leaf("tcp", "syn"); });
        s += opt(20, [&] { return leaf("plp", coin() ? "low" : "high"); });
        if (!v6) {
            s += opt(30, [&] { return leaf("protocol", num(1, 20)); });
            s += opt(30, [&] { return leaf("source-ip", "10." + num(0, 9) + ".0.0/16"); });
            s += opt(20, [&] { return leaf("dscp", num(0, 63)); });
            s += opt(20, [&] { return leaf("dns", coin() ? "request" : "response"); });
        }
        return s;
    }
    std::string acls(Section sec, bool v6) {
        start(sec);
        std::string s;
        for (auto &n : some(v6 ? "acl6" : "acl4", v6 ? "six" : "four", 3)) {
            s += "<access-list>" + leaf("name", n);
            s += opt(50, [&] { return leaf("default-action", coin() ? "accept" : "reject"); });
            for (uint32_t i = 0, k = r(4), id = 0; i < k; ++i) {
                id += 10 * (1 + r(3));
                s += "<sequence>" + leaf("id", std::to_string(id));
                std::string m = port_match(v6);
                if (v6 && coin(30))
                    m += leaf("next-header", num(0, 60));
                if (v6 && coin(30))
                    m += leaf("traffic-class", num(0, 63));
                m += v6 ? "" : ref(30, "source-data-prefix-list", "dpfx");
                m += v6 ? "" : ref(20, "app-list", "dapp");
                m += ref(20, "class", "class");
                std::string a;
                a += opt(50, [&] { return leaf("base-action", coin() ? "accept" : "reject"); });
                a += opt(30, [&] { return leaf("count", "cnt" + num(0, 2)); });
                a += opt(20, [&] { return "<log/>"; });
                a += ref(30, "policer", "dpol");
                a += ref(30, "mirror", "mirror");
                std::string set;
                set += opt(30, [&] { return leaf(v6 ? "traffic-class" : "dscp", num(0, 63)); });
                set += ref(20, "class", "class");
                set += opt(20,
                           [&] { return leaf("next-hop", v6 ? "2001:db8::" + num(1, 9) : ip4()); });
                if (!set.empty())
                    a += "<set>" + set + "</set>";
                s += (m.empty() ? "" : "<match>" + m + "</match>") +
                     (a.empty() ? "" : "<action>" + a + "</action>") + "</sequence>";
            }
            s += "</access-list>";
        }
        return s;
    }
    std::string sla() {
        start(SLA);
        std::string s;
        for (auto &n : some("sla", "sla", 4))
            s += "<sla-class>" + leaf("name", n) + "</sla-class>";
        return s;
    }
    std::string vpn_lists() {
        start(VPN_LISTS);
        std::string s;
        for (auto &n : some("vpnl", "vl", 3)) {
            s += "<vpn-list>" + leaf("name", n);
            for (uint32_t i = 0, k = r(3), base = 0; i < k; ++i, base += 3000)
                s += "<vpn>" + leaf("id", std::to_string(base + r(1000))) + "</vpn>";
            s += "</vpn-list>";
        }
        return s;
    }
    std::string q_lists() {
        start(Q_LISTS);
        return prefix_lists("qpfx", "qp") + app_lists("qapp", "qa");
    }
    std::string policies(Section sec, bool data) {
        start(sec);
        std::string s;
        if (names_["vpnl"].empty())
            return s;
        for (auto &n : some(data ? "dpol_" : "arp", data ? "dpolicy" : "arpolicy", 2)) {
            s += std::string(data ? "<data-policy>" : "<app-route-policy>") + leaf("name", n);
            if (data && coin())
                s += leaf("direction", coin() ? "from-site" : "from-overlay");
            std::set<std::string> used;
            for (uint32_t v = 0, nv = 1 + r(2); v < nv; ++v) {
                std::string vl = pick("vpnl");
                if (!used.insert(vl).second)
                    continue;
                s += "<vpn-list>" + leaf("name", vl);
                if (data && coin())
                    s += leaf("default-action", coin() ? "accept" : "reject");
                if (!data && coin())
                    s += leaf("sla-class",
                              coin() && !pick("sla").empty() ? pick("sla") : "__all_tunnels__");
                for (uint32_t i = 0, k = r(4), id = 0; i < k; ++i)
                    s += sequence(data, id += 1 + r(3));
                s += "</vpn-list>";
            }
            s += data ? "</data-policy>" : "</app-route-policy>";
        }
        return s;
    }
    std::string sequence(bool data, uint32_t id) {
        std::string s = "<sequence>" + leaf("id", std::to_string(id));
        std::string m = port_match(false);
        m += ref(30, "destination-data-prefix-list", "qpfx");
        m += ref(20, "app-list", "qapp");
        m += ref(10, "dns-app-list", "qapp");
        if (!m.empty())
            s += "<match>" + m + "</match>";
        std::string a;
        a += opt(30, [&] { return leaf("count", "cnt" + num(0, 2)); });
        a += opt(20, [&] { return "<log/>"; });
        if (!data && coin(20))
            a += leaf("backup-preferred-color", color());
        if (data) {
            a += opt(50, [&] { return leaf("base-action", coin() ? "accept" : "reject"); });
            a += opt(15, [&] { return "<cflowd/>"; });
            a += opt(15, [&] { return "<tcp-optimization/>"; });
            a += opt(15, [&] { return leaf("redirect-dns", ip4()); });
            a += ref(25, "policer", "qpol");
            a += ref(25, "mirror", "mirror");
            if (coin(20))
                a += "<nat>" + (coin() ? leaf("pool", num(1, 31)) : "") +
                     (coin() ? leaf("use-vpn", num(0, 9)) : "") + (coin() ? "<fallback/>" : "") +
                     "</nat>";
            std::string set;
            set += opt(25, [&] { return leaf("dscp", num(0, 63)); });
            set += opt(20, [&] { return leaf("backup-preferred-color", color()); });
            set += ref(20, "forwarding-class", "class");
            set += opt(15, [&] { return leaf("next-hop", ip4()); });
            uint32_t t = r(4);
            if (t == 1) {
                std::string tl;
                tl += leaf("ip", ip4());
                tl += opt(50, [&] { return leaf("color", color()); });
                tl += opt(50, [&] { return leaf("encap", coin() ? "gre" : "ipsec"); });
                tl += opt(50, [&] { return leaf("label", num(0, 100)); });
                if (!tl.empty())
                    set += "<tloc>" + tl + "</tloc>";
            } else if (t == 2) {
                set += leaf("tloc-list", "tl" + num(0, 1));
            }
            for (uint32_t i = 0, k = t == 2 ? 1 + r(3) : 0, index = 0; i < k; ++i)
                set += "<qrv-tloc-pref-list>" + leaf("index", std::to_string(index += 1 + r(2))) +
                       leaf("address", ip4()) + leaf("tloc-color", color()) +
                       (coin() ? leaf("preference", num(0, 9)) : "") + "</qrv-tloc-pref-list>";
            if (coin(20))
                set += "<service>" + (coin(70) ? leaf("type", "firewall") : "") +
                       (coin() ? "<local/>" : "") + (coin() ? "<restrict/>" : "") + "</service>";
            set += opt(15, [&] {
                return "<tloc-color-encap>" + leaf("color", color()) + "</tloc-color-encap>";
            });
            if (coin(15))
                set += "<local-tloc-list>" + leaf("color", "mpls") +
                       (coin() ? leaf("color", "gold") : "") +
                       (coin() ? leaf("encap", "gre") : "") + (coin() ? "<restrict/>" : "") +
                       "</local-tloc-list>";
            if (!set.empty())
                a += "<set>" + set + "</set>";
        } else if (coin(60)) {
            std::string sl;
            sl += ref(50, "sla-class", "sla");
            sl += opt(50, [&] { return leaf("strict", coin() ? "true" : "false"); });
            sl += opt(50, [&] { return leaf("preferred-color", color()); });
            a += "<sla>" + sl + "</sla>";
        }
        if (!a.empty())
            s += "<action>" + a + "</action>";
        return s + "</sequence>";
    }
    std::string vpns() {
        start(VPNS);
        std::string s;
        for (uint32_t v = 0; v < 2; ++v) {
            if (!coin(70))
                continue;
            s += "<vpn-instance>" + leaf("id", std::to_string(v + 1));
            for (uint32_t i = 1; i <= 3; ++i) {
                if (!coin(60))
                    continue;
                s += "<interface>" +
                     leaf("if-name", "ge" + std::to_string(v) + "/" + std::to_string(i));
                for (const char *dir : {"in", "out"})
                    if (coin(40) && !pick("acl4").empty())
                        s += "<access-list>" + leaf("direction", dir) +
                             leaf("acl-name", pick("acl4")) + "</access-list>";
                if (coin(30) && !pick("acl6").empty())
                    s += "<ipv6><access-list>" + leaf("direction", "in") +
                         leaf("acl-name", pick("acl6")) + "</access-list></ipv6>";
                s += "</interface>";
            }
            s += "</vpn-instance>";
        }
        return s;
    }
};

// Ids that depend on the order in which classes came and went are left out of the comparison,
// and every condition's values are added to it.
std::string comparable(rt::Plxd &d) {
    std::string s = d.dumps();
    auto values = [&](const plx::cfg::rule &r) {
        for (const plx::cfg::match_cond &c : r.matches)
            if (c.field_type != plx::cfg::PLX_MATCH_FC)
                s += " " + std::to_string(c.field_type) + ":" + std::to_string(c.low) + "-" +
                     std::to_string(c.high);
        s += "\n";
    };
    for (const plx::cfg::policy &p : d.db.policies)
        for (const plx::cfg::policy_vpn_list &v : p.vpn_lists)
            for (const plx::cfg::rule &r : v.rules)
                values(r);
    for (auto &tree : d.acl.lists)
        for (const plx_access_list &l : tree)
            for (const plx::cfg::rule &r : l.rules)
                values(r);
    static const std::regex ids("(class: |SLA name: \\S+ id: |Class: \\S+ \\[|^  \\S+ id: )\\d+",
                                std::regex::ECMAScript | std::regex::multiline);
    return std::regex_replace(s, ids, "$1#");
}

int kCheckEvery = std::getenv("PLX_INCREMENTAL_CHECK_EVERY")
                      ? std::atoi(std::getenv("PLX_INCREMENTAL_CHECK_EVERY"))
                      : 5;

class Incremental : public rt::ReaderTest {};

TEST_F(Incremental, EveryCommitLeavesTheModelAsAFreshReadWould) {
    const char *env = std::getenv("PLX_INCREMENTAL_COMMITS");
    const int commits = env ? std::atoi(env) : 150;
    const char *seed = std::getenv("PLX_INCREMENTAL_SEED");
    std::mt19937 rng(seed ? std::strtoul(seed, nullptr, 10) : 12345);
    ConfigGen gen;
    std::string xml, prev;
    for (int i = 0; i < commits; ++i) {
        // Mostly a few sections re-rolled; now and then everything, or nothing at all.
        uint32_t mode = rng() % 10;
        for (uint32_t &sd : gen.seed)
            if (mode == 0 || (mode > 1 && rng() % 4 == 0))
                sd = rng();
        prev = xml;
        xml = mode == 1 ? policy_xml("") : gen.xml();
        SCOPED_TRACE("commit " + std::to_string(i));
        commit(xml);
        if (HasFatalFailure())
            return;
        if (i % kCheckEvery != kCheckEvery - 1 && i != commits - 1)
            continue;  // a fresh read every few commits keeps the run short
        rt::Plxd fresh;
        fresh.harness->initial_read();
        ASSERT_TRUE(fresh.harness->failures().empty()) << fresh.harness->failures().front();
        ASSERT_EQ(comparable(*plxd_), comparable(fresh)) << "commit " << i << "\n"
                                                         << xml << "\nafter\n"
                                                         << prev;
    }
}

}  // namespace
