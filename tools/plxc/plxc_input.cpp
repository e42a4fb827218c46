#include "tools/plxc/plxc_input.h"

#include <cstring>
#include <fstream>
#include <span>
#include <sstream>
#include <vector>

#include "policy/plx_fold.h"

namespace {

std::vector<std::string> split(const std::string &s, const char *seps) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        i = s.find_first_not_of(seps, i);
        if (i == std::string::npos)
            break;
        size_t j = s.find_first_of(seps, i);
        out.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
        i = j;
    }
    return out;
}

// A 32-bit number, decimal or 0x-hexadecimal.
bool parse_u32(const std::string &s, uint32_t &v) {
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long x = std::strtoull(s.c_str(), &end, 0);
    if (errno || *end || x > 0xFFFFFFFFull)
        return false;
    v = static_cast<uint32_t>(x);
    return true;
}

bool parse_dotted(const std::string &s, uint8_t out[4]) {
    auto parts = split(s, ".");
    if (parts.size() != 4 || s.front() == '.' || s.back() == '.' || s.find("..") != s.npos)
        return false;
    for (int i = 0; i < 4; ++i) {
        uint32_t v;
        if (!parse_u32(parts[i], v) || v > 255 ||
            parts[i].find_first_not_of("0123456789") != parts[i].npos)
            return false;
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

uint32_t dotted_value(const uint8_t a[4]) {
    return uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 | uint32_t{a[2]} << 8 | a[3];
}

bool is_addr_field(uint32_t f) {
    return f == PLX_FIELD_SRC_ADDR || f == PLX_FIELD_DST_ADDR;
}

// "a.b.c.d/len" into a prefix value.
std::string parse_prefix(const std::string &s, PlxcValue &v) {
    size_t slash = s.find('/');
    std::string a = s.substr(0, slash);
    if (!parse_dotted(a, v.addr))
        return "bad address '" + a + "'";
    v.prefix = true;
    v.len = 32;
    if (slash != std::string::npos) {
        if (!parse_u32(s.substr(slash + 1), v.len) || v.len > 32)
            return "bad prefix length in '" + s + "'";
    }
    return "";
}

// One alternative of FIELD=VALUES: a number, lo-hi, or for addresses a.b.c.d[/len].
std::string parse_value(uint32_t field, const std::string &s, PlxcValue &v) {
    if (s.find('.') != std::string::npos) {
        if (!is_addr_field(field))
            return "'" + s + "': only src-addr and dst-addr take addresses";
        return parse_prefix(s, v);
    }
    size_t dash = s.find('-');
    if (dash == std::string::npos) {
        if (!parse_u32(s, v.lo))
            return "bad number '" + s + "'";
        v.hi = v.lo;
        return "";
    }
    if (!parse_u32(s.substr(0, dash), v.lo) || !parse_u32(s.substr(dash + 1), v.hi))
        return "bad range '" + s + "'";
    if (v.lo > v.hi)
        return "range '" + s + "' runs backwards";
    return "";
}

// The largest value a rule may give the field: what the configuration can carry, which for some
// fields is less than the field's 32-bit packet value could hold.
uint32_t field_largest_value(uint32_t field) {
    switch (field) {
        case PLX_FIELD_DSCP:
        case PLX_FIELD_TRAFFIC_CLASS:
            return 63;  // 6-bit code points
        case PLX_FIELD_TCP:
            return 2;  // 2 for "syn", else 0
        case PLX_FIELD_PLP:
            return 1;  // low 0, high 1
        case PLX_FIELD_DNS:
            return 2;  // request 1, response 2
        default:
            return plx_field_catalogue[field - 1].max_value;
    }
}

// Next free slot after the base-verb slot 0.
ActionSlot *next_slot(ActionData &d) {
    for (unsigned i = 1; i < PLX_ACTION_SLOTS; ++i) {
        if (!d.slot[i].action_type && !d.slot[i].base_action)
            return &d.slot[i];
    }
    return nullptr;
}

std::string parse_actions(const std::vector<std::string> &tok, size_t i, ActionData &d) {
    auto arg = [&](const std::string &what, std::string &out) -> std::string {
        if (i + 1 >= tok.size())
            return "'" + tok[i] + "' needs " + what;
        out = tok[++i];
        return "";
    };
    for (; i < tok.size(); ++i) {
        const std::string &a = tok[i];
        if (a == "accept" || a == "reject") {
            if (d.slot[0].base_action)
                return "more than one of accept and reject";
            d.slot[0].base_action = a == "accept" ? PLX_ACT_ACCEPT : PLX_ACT_REJECT;
            continue;
        }
        ActionSlot *s = next_slot(d);
        if (!s)
            return "more than 11 actions besides accept or reject";
        auto *raw = reinterpret_cast<uint8_t *>(s);
        std::string v;
        std::string err;
        if (a == "count") {
            if (!(err = arg("a counter name", v)).empty())
                return err;
            if (v.size() >= PLX_ACTION_NAME_LEN)
                return "counter name '" + v + "' longer than 63 characters";
            auto *c = reinterpret_cast<CountSlot *>(raw);
            c->action_type = PLX_ACT_COUNT;
            std::memcpy(c->name, v.data(), v.size());
        } else if (a == "set-dscp" || a == "set-traffic-class" || a == "set-fc") {
            uint32_t n;
            if (!(err = arg("a number", v)).empty())
                return err;
            uint32_t max = a == "set-dscp" ? 63 : (a == "set-fc" ? 0x7FFFFFFF : 255);
            if (!parse_u32(v, n) || n > max)
                return "bad value '" + v + "' for " + a;
            if (a == "set-fc") {
                auto *f = reinterpret_cast<FcSlot *>(raw);
                f->action_type = PLX_ACT_SET_FC;
                f->fc = static_cast<int32_t>(n);
            } else {
                auto *u = reinterpret_cast<U8Slot *>(raw);
                u->action_type = a == "set-dscp" ? PLX_ACT_SET_DSCP : PLX_ACT_SET_TRAFFIC_CLASS;
                u->value = static_cast<uint8_t>(n);
            }
        } else if (a == "log") {
            s->action_type = PLX_ACT_LOG;
        } else {
            return "unknown action '" + a + "'";
        }
    }
    return "";
}

std::string parse_text_line(const std::vector<std::string> &tok, PlxcRules &out, bool &default_seen,
                            PlxcRule &rule, bool &is_rule) {
    is_rule = false;
    if (tok[0] == "default") {
        if (tok.size() != 2 || (tok[1] != "accept" && tok[1] != "reject"))
            return "expected 'default accept' or 'default reject'";
        if (default_seen)
            return "default given twice";
        default_seen = true;
        out.default_action.slot[0].base_action =
            tok[1] == "accept" ? PLX_ACT_ACCEPT : PLX_ACT_REJECT;
        return "";
    }
    if (tok[0] != "rule")
        return "expected 'rule' or 'default', found '" + tok[0] + "'";
    if (tok.size() < 2 || tok[1] == "->" || tok[1].find('=') != std::string::npos)
        return "rule without a name";
    is_rule = true;
    rule.name = tok[1];
    size_t i = 2;
    for (; i < tok.size() && tok[i] != "->"; ++i) {
        size_t eq = tok[i].find('=');
        if (eq == std::string::npos)
            return "expected FIELD=VALUES, found '" + tok[i] + "'";
        std::string fname = tok[i].substr(0, eq);
        uint32_t f = plx_field_by_name(fname.c_str());
        if (!f)
            return "unknown field '" + fname + "'";
        for (const PlxcCond &c : rule.conds) {
            if (c.field == f)
                return "field '" + fname + "' given twice";
        }
        PlxcCond cond{f, {}};
        std::string vals = tok[i].substr(eq + 1);
        if (vals.empty() || vals.front() == ',' || vals.back() == ',' ||
            vals.find(",,") != std::string::npos)
            return "missing value for '" + fname + "'";
        for (const std::string &s : split(vals, ",")) {
            PlxcValue v;
            std::string err = parse_value(f, s, v);
            if (!err.empty())
                return err;
            const uint32_t largest = field_largest_value(f);
            if (!v.prefix && v.hi > largest)
                return "'" + s + "' is above the largest value of " + fname + "; " + fname +
                       " takes 0-" + std::to_string(largest);
            cond.values.push_back(v);
        }
        rule.conds.push_back(std::move(cond));
    }
    if (i < tok.size()) {
        if (i + 1 == tok.size())
            return "'->' without actions";
        return parse_actions(tok, i + 1, rule.action);
    }
    return "";
}

std::string parse_classbench_line(const std::vector<std::string> &tok, PlxcRule &rule) {
    if (tok.size() < 9 || tok[0].size() < 2 || tok[0][0] != '@' || tok[3] != ":" || tok[6] != ":")
        return "expected '@src/len dst/len lo : hi lo : hi 0xPP/0xMM'";
    PlxcCond src{PLX_FIELD_SRC_ADDR, {PlxcValue{}}}, dst{PLX_FIELD_DST_ADDR, {PlxcValue{}}};
    std::string err = parse_prefix(tok[0].substr(1), src.values[0]);
    if (err.empty())
        err = parse_prefix(tok[1], dst.values[0]);
    if (!err.empty())
        return err;
    PlxcCond sp{PLX_FIELD_SRC_PORT, {PlxcValue{}}}, dp{PLX_FIELD_DST_PORT, {PlxcValue{}}};
    if (!parse_u32(tok[2], sp.values[0].lo) || !parse_u32(tok[4], sp.values[0].hi) ||
        !parse_u32(tok[5], dp.values[0].lo) || !parse_u32(tok[7], dp.values[0].hi))
        return "bad port range";
    if (sp.values[0].lo > sp.values[0].hi || dp.values[0].lo > dp.values[0].hi)
        return "port range runs backwards";
    rule.conds = {src, dst, sp, dp};
    size_t slash = tok[8].find('/');
    uint32_t proto, mask;
    if (slash == std::string::npos || !parse_u32(tok[8].substr(0, slash), proto) ||
        !parse_u32(tok[8].substr(slash + 1), mask) || proto > 255)
        return "bad protocol '" + tok[8] + "'";
    if (mask == 0xFF) {
        PlxcValue v;
        v.lo = v.hi = proto;
        rule.conds.push_back({PLX_FIELD_PROTOCOL, {v}});
    } else if (mask != 0) {
        return "protocol mask '" + tok[8].substr(slash + 1) + "' is neither 0x00 nor 0xFF";
    }
    return "";
}

}  // namespace

std::string plxc_parse_rules(const std::string &path, const std::string &text, PlxcRules &out) {
    out = PlxcRules{};
    out.path = path;
    size_t slash = path.find_last_of('/');
    out.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    out.default_action.slot[0].base_action = PLX_ACT_REJECT;
    std::istringstream in(text);
    std::string line;
    unsigned lineno = 0;
    bool default_seen = false, format_known = false;
    while (std::getline(in, line)) {
        ++lineno;
        std::string body = line;
        if (!out.classbench) {
            size_t hash = body.find('#');
            if (hash != std::string::npos)
                body.resize(hash);
        }
        auto tok = split(body, " \t\r");
        if (tok.empty())
            continue;
        if (!format_known) {
            out.classbench = tok[0][0] == '@';
            format_known = true;
        }
        auto where = [&](const std::string &what) {
            return path + ":" + std::to_string(lineno) + ": " + what;
        };
        PlxcRule rule{};
        rule.line = lineno;
        if (out.classbench) {
            std::string err = parse_classbench_line(tok, rule);
            if (!err.empty())
                return where(err);
            rule.name = std::to_string(lineno);
            rule.action.slot[0].base_action = PLX_ACT_ACCEPT;
            auto *c = reinterpret_cast<CountSlot *>(&rule.action.slot[1]);
            c->action_type = PLX_ACT_COUNT;
            std::snprintf(c->name, sizeof c->name, "r%u", lineno);
            out.rules.push_back(std::move(rule));
            continue;
        }
        bool is_rule = false;
        std::string err = parse_text_line(tok, out, default_seen, rule, is_rule);
        if (!err.empty())
            return where(err);
        if (is_rule)
            out.rules.push_back(std::move(rule));
    }
    if (out.rules.empty())
        return path + ": no rules";
    return "";
}

std::string plxc_read_rules(const std::string &path, PlxcRules &out) {
    std::ifstream f(path);
    if (!f)
        return path + ": cannot open: " + std::strerror(errno);
    std::stringstream ss;
    ss << f.rdbuf();
    return plxc_parse_rules(path, ss.str(), out);
}

std::string plxc_build(const PlxcRules &rules, bool match_any, plx_compiler_ctx *ctx,
                       PlxRuleTablePtr &table) {
    // A program names tables in 4-bit fields: n tested fields take 2n - 1 tables. Beyond the
    // limit the family conditions are folded into the application fields, as plxd folds them.
    uint32_t tested = match_any ? 1u << PLX_FIELD_MATCH_ANY : 0;
    for (const PlxcRule &r : rules.rules)
        for (const PlxcCond &c : r.conds)
            tested |= 1u << c.field;
    const bool fold = plx_fold_needed(tested);
    const std::span<const uint32_t> families =
        fold ? plx_fold_family_table() : std::span<const uint32_t>{};
    auto field_of = [&](const PlxcCond &c) { return fold ? plx_fold_target(c.field) : c.field; };
    bool used[PLX_NUM_FIELDS + 1] = {};
    unsigned nused = 0;
    if (match_any) {
        used[PLX_FIELD_MATCH_ANY] = true;
        nused = 1;
    }
    for (const PlxcRule &r : rules.rules) {
        for (const PlxcCond &c : r.conds) {
            if (!used[field_of(c)]) {
                used[field_of(c)] = true;
                if (++nused > PLX_MAX_TESTED_FIELDS)
                    return rules.path + ":" + std::to_string(r.line) + ": '" +
                           plx_field_catalogue[c.field - 1].name +
                           "' is a 9th tested field; a program addresses at most 15 tables "
                           "(8 fields)";
            }
        }
    }
    table.reset(
        plx_ruletable_create(rules.name.c_str(), "0", sizeof(ActionData), &rules.default_action));
    if (!table)
        return "out of memory";
    for (const PlxcRule &r : rules.rules) {
        plx_rule *rule = plx_ruletable_add_rule(table.get(), r.name.c_str());
        if (!rule)
            return "out of memory";
        if (match_any) {
            plx_field_add_range(ctx, rule, plx_field_get_table(ctx, PLX_FIELD_MATCH_ANY),
                                PLX_MATCH_ANY_VALUE, PLX_MATCH_ANY_VALUE);
        }
        uint32_t folded = 0;  // application fields whose folded condition is added
        for (const PlxcCond &c : r.conds) {
            const uint32_t app = field_of(c);
            if (fold && (app == PLX_FIELD_APP || app == PLX_FIELD_DNS_APP)) {
                // The rule's whole condition on the application field, at its first use.
                if (folded & 1u << app)
                    continue;
                folded |= 1u << app;
                std::vector<plx_fold_cond> conds;
                for (const PlxcCond &o : r.conds)
                    for (const PlxcValue &v : o.values)
                        conds.push_back({o.field, v.lo, v.hi});
                const uint32_t t = plx_field_get_table(ctx, app);
                for (auto [lo, hi] : plx_fold_apps(conds, app, families))
                    plx_field_add_range(ctx, rule, t, lo, hi);
                continue;
            }
            uint32_t t = plx_field_get_table(ctx, c.field);
            for (const PlxcValue &v : c.values) {
                if (v.prefix)
                    plx_field_add_prefix(ctx, rule, t, v.addr, v.len);
                else
                    plx_field_add_range(ctx, rule, t, v.lo, v.hi);
            }
        }
        if (!plx_ruletable_set_action(rule, sizeof(ActionData), &r.action))
            return "out of memory";
    }
    return "";
}

std::string plxc_parse_packet(const std::string &line, FpPacket &pkt) {
    pkt = FpPacket{};
    pkt.field[PLX_FIELD_MATCH_ANY] = PLX_MATCH_ANY_VALUE;
    auto tok = split(line, " \t\r");
    if (tok.empty())
        return "empty packet";
    if (tok[0].find('=') == std::string::npos) {
        // ClassBench trace: src dst sport dport proto [flags filter]
        static const uint32_t order[] = {PLX_FIELD_SRC_ADDR, PLX_FIELD_DST_ADDR, PLX_FIELD_SRC_PORT,
                                         PLX_FIELD_DST_PORT, PLX_FIELD_PROTOCOL};
        if (tok.size() < 5)
            return "expected 'src dst sport dport proto' or FIELD=VALUE";
        for (int i = 0; i < 5; ++i) {
            uint8_t a[4];
            if (parse_dotted(tok[i], a))
                pkt.field[order[i]] = dotted_value(a);
            else if (!parse_u32(tok[i], pkt.field[order[i]]))
                return "bad value '" + tok[i] + "'";
        }
        return "";
    }
    for (const std::string &t : tok) {
        size_t eq = t.find('=');
        if (eq == std::string::npos)
            return "expected FIELD=VALUE, found '" + t + "'";
        std::string name = t.substr(0, eq), val = t.substr(eq + 1);
        uint32_t f = plx_field_by_name(name.c_str());
        if (!f)
            return "unknown field '" + name + "'";
        uint8_t a[4];
        if (is_addr_field(f) && parse_dotted(val, a))
            pkt.field[f] = dotted_value(a);
        else if (!parse_u32(val, pkt.field[f]))
            return "bad value '" + val + "' for " + name;
    }
    return "";
}
