#include "peers/cdbd/restconf_metrics.h"

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

#include "peers/cdbd/cdbcli_oper.h"
#include "peers/cdbd/cdbcli_oper_print.h"
#include "peers/cdbd/restconf_data.h"
#include "platform/confd/confd_client.h"

namespace cdbd::restconf {

namespace {

// The samples of one metric, printed together.
struct Metric {
    const char *type;
    const char *help;
    std::vector<std::pair<std::string, std::string>> samples;  // labels, value
};

class Metrics {
  public:
    void add(const std::string &name, const char *type, const char *help, const std::string &labels,
             const std::string &value) {
        auto [it, fresh] = metrics_.try_emplace(name, Metric{type, help, {}});
        if (fresh)
            order_.push_back(name);
        it->second.samples.emplace_back(labels, value);
    }
    void declare(const std::string &name, const char *type, const char *help) {
        if (metrics_.try_emplace(name, Metric{type, help, {}}).second)
            order_.push_back(name);
    }
    std::string text() const {
        std::string out;
        for (const std::string &name : order_) {
            const Metric &m = metrics_.at(name);
            out += "# HELP " + name + " " + m.help + "\n# TYPE " + name + " " + m.type + "\n";
            for (const auto &[labels, value] : m.samples)
                out += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
        }
        return out;
    }

  private:
    std::map<std::string, Metric> metrics_;
    std::vector<std::string> order_;
};

std::string label_value(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string labels(std::initializer_list<std::pair<const char *, std::string>> l) {
    std::string out;
    for (const auto &[k, v] : l)
        out += (out.empty() ? "" : ",") + std::string(k) + "=\"" + label_value(v) + "\"";
    return out;
}

const confd_cs_node *child_by_tag(const confd_cs_node *n, uint32_t tag) {
    for (const confd_cs_node *c = n ? n->children : nullptr; c; c = c->next)
        if (c->tag == tag)
            return c;
    return nullptr;
}

// Turns every entry of the show lists into samples as the walk reads it.
class MetricsSink : public cdbcli::OperSink {
  public:
    explicit MetricsSink(Metrics &m) : m_(m) {}
    void container(const confd_cs_node *) override {}
    void end() override {}
    void finish() override {}

    void entry(const confd_cs_node *list, const std::vector<confd_tag_value_t> &values,
               const cdbcli::OperCtx &ctx) override {
        std::map<std::string, std::string> leaf;
        for (const confd_tag_value_t &tv : values) {
            const confd_cs_node *c = child_by_tag(list, tv.tag.tag);
            leaf[cdbcli::node_name(c)] = cdbcli::value_text(c, tv.v);
        }
        const std::string name = cdbcli::node_name(list);
        auto in_ipv6 = [list] {
            for (const confd_cs_node *p = list->parent; p; p = p->parent)
                if (cdbcli::node_name(p) == "ipv6")
                    return true;
            return false;
        };
        const std::string owner = ctx.empty() ? "" : ctx[0].second;
        const std::string vpn_list = ctx.size() > 1 ? ctx[1].second : "";
        std::string kind;
        if (name.starts_with("data-policy"))
            kind = "data-policy";
        else if (name.starts_with("app-route-policy"))
            kind = "app-route-policy";
        else
            kind = in_ipv6() ? "ipv6-access-list" : "access-list";

        if (name == "data-policy-counters" || name == "app-route-policy-counters" ||
            name == "access-policy-counter-list") {
            const std::string l = labels({{"kind", kind},
                                          {"policy", owner},
                                          {"vpn_list", vpn_list},
                                          {"counter", leaf["counter-name"]}});
            if (leaf.count("packets")) {
                m_.add("plx_counted_packets_total", "counter",
                       "Packets counted by a counter of a policy or access list.", l,
                       leaf["packets"]);
                m_.add("plx_counted_bytes_total", "counter",
                       "Bytes counted by a counter of a policy or access list.", l, leaf["bytes"]);
            }
        } else if (name == "data-policy-policers" || name == "access-policy-policer-list") {
            const std::string l = labels({{"kind", kind},
                                          {"policy", owner},
                                          {"vpn_list", vpn_list},
                                          {"policer", leaf["policer-name"]}});
            if (leaf.count("drops")) {
                m_.add("plx_policer_drops_total", "counter", "Packets a policer dropped or marked.",
                       l, leaf["drops"]);
                m_.add("plx_policer_bytes_total", "counter", "Bytes a policer saw.", l,
                       leaf["policer-bytes"]);
            }
        } else if (leaf.count("program-state")) {
            // A program's owner: a policy VPN list, or an access list of the names list.
            const bool policy = name.ends_with("-vpnlist");
            const std::string me = leaf["name"];
            const std::string pol = policy ? owner : me;
            const std::string vl = policy ? me : "";
            for (const char *st : {"bound", "unbound", "failed", "refused"})
                m_.add("plx_program_state", "gauge",
                       "Programming state of a policy VPN list or access list (1: current).",
                       labels({{"kind", kind}, {"policy", pol}, {"vpn_list", vl}, {"state", st}}),
                       leaf["program-state"] == st ? "1" : "0");
            if (leaf.count("program-bytes"))
                m_.add("plx_program_size_bytes", "gauge", "Size of a placed program.",
                       labels({{"kind", kind}, {"policy", pol}, {"vpn_list", vl}}),
                       leaf["program-bytes"]);
        }
    }

  private:
    Metrics &m_;
};

// plxd's last hello as the system manager recorded it: ms since the epoch, or 0.
int64_t last_hello_ms(const std::string &status_file) {
    std::ifstream in(status_file);
    static const std::regex line(R"("name": "plxd".*"last_hello_ms": (-?[0-9]+))");
    std::smatch m;
    for (std::string l; std::getline(in, l);)
        if (std::regex_search(l, m, line))
            return std::stoll(m[1]);
    return 0;
}

}  // namespace

bool metrics_text(DataApi &api, const std::string &sysmgr_status, std::string &out,
                  std::string &err) {
    Metrics m;
    m.declare("plx_counted_packets_total", "counter",
              "Packets counted by a counter of a policy or access list.");
    m.declare("plx_counted_bytes_total", "counter",
              "Bytes counted by a counter of a policy or access list.");
    m.declare("plx_policer_drops_total", "counter", "Packets a policer dropped or marked.");
    m.declare("plx_policer_bytes_total", "counter", "Bytes a policer saw.");

    // plxd is up while it is registered with the database.
    int fd = api.connection(err);
    if (fd < 0)
        return false;
    std::vector<uint8_t> reply;
    confd_wire::WireWriter w(confd_wire::Op::CliStatus);
    if (confd_client::request(fd, w.finish(), reply) != CONFD_OK) {
        err = confd_lasterr();
        api.reset_connection();
        return false;
    }
    std::string status;
    confd_wire::WireReader(reply.data(), reply.size()).str(status);
    const bool up = status.find("\n  plxd: ") != std::string::npos;
    if (up) {
        MetricsSink sink(m);
        if (!cdbcli::oper_walk(fd, "/policy-oper", sink, err)) {
            api.reset_connection();
            return false;
        }
        std::string printed, msg;
        int code = 0;
        if (api.run_action("/plx/dump/memory-stats", {}, printed, code, msg)) {
            static const std::regex used(R"(Number of blocks used: (\d+)/(\d+))");
            std::smatch s;
            if (std::regex_search(printed, s, used)) {
                const uint64_t u = std::stoull(s[1]), total = std::stoull(s[2]);
                const char *help = "128-byte blocks of the forwarding plane's filter memory.";
                m.add("plx_filter_memory_blocks", "gauge", help, "state=\"used\"",
                      std::to_string(u));
                m.add("plx_filter_memory_blocks", "gauge", help, "state=\"free\"",
                      std::to_string(total - u));
            }
        }
        printed.clear();
        if (api.run_action("/plx/dpi/dump/protocol-hits", {}, printed, code, msg)) {
            static const std::regex hit(R"(Protocol: \[\d+\] (\S+) .*Hits: (\d+))");
            std::istringstream in(printed);
            std::smatch s;
            for (std::string l; std::getline(in, l);)
                if (std::regex_search(l, s, hit))
                    m.add("plx_application_flows_total", "counter",
                          "Flows the forwarding plane recognised as an application.",
                          labels({{"application", s[1]}}), s[2]);
        }
    }
    m.add("plx_up", "gauge", "1 while plxd is registered with the configuration database.", "",
          up ? "1" : "0");
    if (const int64_t last = sysmgr_status.empty() ? 0 : last_hello_ms(sysmgr_status)) {
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        char age[32];
        snprintf(age, sizeof age, "%.3f", static_cast<double>(now - last) / 1000.0);
        m.add("plx_last_hello_age_seconds", "gauge",
              "Seconds since plxd's last hello to the system manager.", "", age);
    }
    out = m.text();
    return true;
}

}  // namespace cdbd::restconf
