#include "peers/hbusd/hbusd_tlocs.h"

#include <arpa/inet.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

#include "common/qrv_util.h"

namespace {

bool parse_number(std::string_view text, uint64_t max, uint32_t *out) {
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || v > max)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parse_color(const std::string &text, uint8_t *out) {
    int n = qrv_color_number(text.c_str());
    uint32_t v = 0;
    if (n < 0 && !parse_number(text, 255, &v))
        return false;
    *out = static_cast<uint8_t>(n >= 0 ? static_cast<uint32_t>(n) : v);
    return true;
}

bool parse_encap(const std::string &text, uint8_t *out) {
    uint32_t v = 0;
    if (text == "gre")
        v = 1;
    else if (text == "ipsec")
        v = 2;
    else if (!parse_number(text, 255, &v))
        return false;
    *out = static_cast<uint8_t>(v);
    return true;
}

bool parse_flag(std::string_view text, bool *out) {
    if (text == "yes" || text == "1" || text == "true") {
        *out = true;
        return true;
    }
    if (text == "no" || text == "0" || text == "false") {
        *out = false;
        return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> hbus_split_words(std::string_view line) {
    if (size_t hash = line.find('#'); hash != std::string_view::npos)
        line = line.substr(0, hash);
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::strchr(" \t\r\n", line[i]))
            ++i;
        size_t start = i;
        while (i < line.size() && !std::strchr(" \t\r\n", line[i]))
            ++i;
        if (i > start)
            words.emplace_back(line.substr(start, i - start));
    }
    return words;
}

std::string hbus_parse_key(const std::vector<std::string> &words, HbusTlocKey *key) {
    if (words.size() < 3)
        return "expected <originator> <color> <encap>";
    in_addr a{};
    if (inet_pton(AF_INET, words[0].c_str(), &a) != 1)
        return "bad originator address '" + words[0] + "'";
    key->originator = ntohl(a.s_addr);
    if (!parse_color(words[1], &key->color))
        return "bad color '" + words[1] + "'";
    if (!parse_encap(words[2], &key->encap))
        return "bad encapsulation '" + words[2] + "' (gre, ipsec or a number)";
    return "";
}

std::string hbus_parse_tloc(const std::vector<std::string> &words, const HbusTlocTable &table,
                            HbusTloc *out) {
    HbusTloc t;
    if (std::string err = hbus_parse_key(words, &t.key); !err.empty())
        return err;
    if (auto it = table.find(t.key); it != table.end())
        t = it->second;
    for (size_t i = 3; i < words.size(); ++i) {
        const std::string &w = words[i];
        size_t eq = w.find('=');
        if (eq == std::string::npos)
            return "expected name=value, got '" + w + "'";
        std::string_view name(w.data(), eq), value(w.data() + eq + 1, w.size() - eq - 1);
        uint32_t v = 0;
        bool ok;
        if (name == "index")
            ok = parse_number(value, UINT32_MAX, &t.index);
        else if (name == "preference")
            ok = parse_number(value, UINT32_MAX, &t.preference);
        else if (name == "weight")
            ok = parse_number(value, UINT32_MAX, &t.weight);
        else if (name == "status") {
            ok = value == "up" || value == "down" || parse_number(value, 255, &v);
            t.status = value == "up" ? 1 : value == "down" ? 0 : static_cast<uint8_t>(v);
        } else if (name == "local")
            ok = parse_flag(value, &t.local);
        else
            return "unknown attribute '" + std::string(name) + "'";
        if (!ok)
            return "bad value for " + std::string(name) + ": '" + std::string(value) + "'";
    }
    *out = t;
    return "";
}

std::string hbus_format_tloc(const HbusTloc &t) {
    in_addr a{htonl(t.key.originator)};
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, addr, sizeof addr);
    std::string color = qrv_color_name(t.key.color);
    if (color == "--")
        color = std::to_string(t.key.color);
    std::string encap = qrv_encap_name(t.key.encap);
    if (encap == "--")
        encap = std::to_string(t.key.encap);
    return std::string(addr) + " " + color + " " + encap + " index=" + std::to_string(t.index) +
           " preference=" + std::to_string(t.preference) + " weight=" + std::to_string(t.weight) +
           " status=" +
           (t.status == 1   ? std::string("up")
            : t.status == 0 ? std::string("down")
                            : std::to_string(t.status)) +
           " local=" + (t.local ? "yes" : "no");
}

std::string hbus_load_tloc_file(const std::string &path, HbusTlocTable *table) {
    std::ifstream in(path);
    if (!in)
        return path + ": " + std::strerror(errno);
    HbusTlocTable loaded = *table;
    int lineno = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineno;
        std::vector<std::string> words = hbus_split_words(line);
        if (words.empty())
            continue;
        HbusTloc t;
        if (std::string err = hbus_parse_tloc(words, loaded, &t); !err.empty())
            return path + ":" + std::to_string(lineno) + ": " + err;
        loaded[t.key] = t;
    }
    *table = std::move(loaded);
    return "";
}
