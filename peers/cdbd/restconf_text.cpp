#include "peers/cdbd/restconf_text.h"

#include <cctype>
#include <cstdio>

#include "peers/cdbd/restconf_data.h"

namespace cdbd::restconf {

std::string pct_decode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() + 0 && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string pct_encode(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i)
        if (i == s.size() || s[i] == sep) {
            out.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

// A value in an XPath predicate.
bool xpath_literal(const std::string &v, std::string &out) {
    if (v.find('\'') == std::string::npos)
        out = "'" + v + "'";
    else if (v.find('"') == std::string::npos)
        out = "\"" + v + "\"";
    else
        return false;
    return true;
}

// A key in the command line's path text.
bool cli_key(const std::string &v, std::string &out) {
    if (v.find('"') != std::string::npos)
        return false;
    const bool quote = v.empty() || v.find_first_of(" {}") != std::string::npos;
    out = quote ? "\"" + v + "\"" : v;
    return true;
}

// Flat members of the action input object {"mod:input": {"name": "x", ...}} (strings, numbers,
// booleans). False when the body is not such an object.
bool parse_input(std::string_view s, std::vector<std::pair<std::string, std::string>> &out) {
    size_t i = 0;
    auto ws = [&] {
        while (i < s.size() && isspace(static_cast<unsigned char>(s[i])))
            ++i;
    };
    auto lit = [&](char c) {
        ws();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    };
    auto str = [&](std::string &v) {
        if (!lit('"'))
            return false;
        v.clear();
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\' && i + 1 < s.size()) {
                const char e = s[++i];
                v += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else {
                v += s[i];
            }
            ++i;
        }
        return lit('"');
    };
    auto scalar = [&](std::string &v) {
        ws();
        if (i < s.size() && s[i] == '"')
            return str(v);
        v.clear();
        while (i < s.size() && (isalnum(static_cast<unsigned char>(s[i])) || s[i] == '-' ||
                                s[i] == '.' || s[i] == '+'))
            v += s[i++];
        return !v.empty();
    };
    ws();
    if (i == s.size())
        return true;  // no body: no input
    std::string key;
    if (!lit('{') || !str(key) || (key != "input" && !key.ends_with(":input")) || !lit(':') ||
        !lit('{'))
        return false;
    if (!lit('}')) {
        do {
            std::string name, value;
            if (!str(name) || !lit(':') || !scalar(value))
                return false;
            if (auto colon = name.find(':'); colon != std::string::npos)
                name = name.substr(colon + 1);
            out.emplace_back(name, value);
        } while (lit(','));
        if (!lit('}'))
            return false;
    }
    if (!lit('}'))
        return false;
    ws();
    return i == s.size();
}

// The api path of a data node ("mod:a/b=k1,k2"), for Location.
std::string api_path(const lyd_node *n) {
    std::string out;
    for (; n; n = lyd_parent(n)) {
        std::string seg = n->schema->name;
        if (!lyd_parent(n) || lyd_parent(n)->schema->module != n->schema->module)
            seg = std::string(n->schema->module->name) + ":" + seg;
        if (n->schema->nodetype == LYS_LIST) {
            std::string keys;
            for (const lyd_node *k = lyd_child(n); k && lysc_is_key(k->schema); k = k->next)
                keys += (keys.empty() ? "" : ",") + pct_encode(lyd_get_value(k));
            seg += "=" + keys;
        }
        out = "/" + seg + out;
    }
    return out;
}

const char *content_type(Format f) {
    return f == Format::Xml ? "application/yang-data+xml" : "application/yang-data+json";
}

std::string json_quote(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

Response error(int status, const std::string &tag, const std::string &message, Format f) {
    Response r;
    r.status = status;
    r.content_type = content_type(f);
    const char *type = status == 400 && tag != "malformed-message" ? "application" : "protocol";
    if (f == Format::Xml)
        r.body =
            "<errors xmlns=\"urn:ietf:params:xml:ns:yang:ietf-restconf\"><error>"
            "<error-type>" +
            std::string(type) + "</error-type><error-tag>" + tag + "</error-tag><error-message>" +
            xml_escape(message) + "</error-message></error></errors>\n";
    else
        r.body = "{\"ietf-restconf:errors\":{\"error\":[{\"error-type\":\"" + std::string(type) +
                 "\",\"error-tag\":\"" + tag + "\",\"error-message\":" + json_quote(message) +
                 "}]}}\n";
    return r;
}

}  // namespace cdbd::restconf
