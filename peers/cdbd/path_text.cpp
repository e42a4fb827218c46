#include "peers/cdbd/path_text.h"

namespace cdbd {

std::vector<std::string> split_elems(const std::string &path) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    bool quoted = false;
    for (char ch : path) {
        if (ch == '"' && depth > 0)
            quoted = !quoted;
        else if (ch == '{' && !quoted)
            ++depth;
        else if (ch == '}' && !quoted)
            --depth;
        if (ch == '/' && depth == 0 && !quoted) {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
            continue;
        }
        cur.push_back(ch);
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

std::vector<std::string> split_key_text(const std::string &keys) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (char ch : keys) {
        if (ch == '"') {
            quoted = !quoted;
            any = true;
        } else if (ch == ' ' && !quoted) {
            if (any)
                out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur.push_back(ch);
            any = true;
        }
    }
    if (any)
        out.push_back(cur);
    return out;
}

std::string xml_escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace cdbd
