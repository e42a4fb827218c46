// Client paths: "/a/list{key}/leaf" resolved to libyang XPath, and the key paths of data nodes.
#include "peers/cdbd/cdbd_schema.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <libyang/plugins_types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_wire.h"

#include "peers/cdbd/cdbd_schema_types.h"

namespace cdbd {

namespace {

// Splits a client path into elements, keeping "{...}" (with quotes) inside their element.
bool split_path(std::string_view path, std::vector<std::string> &out, std::string &err) {
    std::string cur;
    bool in_keys = false, in_quote = false;
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (in_quote) {
            cur.push_back(c);
            if (c == '\\' && i + 1 < path.size())
                cur.push_back(path[++i]);
            else if (c == '"')
                in_quote = false;
            continue;
        }
        if (in_keys) {
            cur.push_back(c);
            if (c == '"')
                in_quote = true;
            else if (c == '}')
                in_keys = false;
            continue;
        }
        if (c == '{') {
            in_keys = true;
            cur.push_back(c);
        } else if (c == '/') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (in_keys || in_quote) {
        err = "unbalanced braces or quotes in path";
        return false;
    }
    if (!cur.empty())
        out.push_back(cur);
    return true;
}

bool split_keys(std::string_view s, std::vector<std::string> &keys, std::string &err) {
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ')
            ++i;
        if (i >= s.size())
            break;
        std::string k;
        if (s[i] == '"') {
            ++i;
            while (i < s.size() && s[i] != '"') {
                if (s[i] == '\\' && i + 1 < s.size())
                    ++i;
                k.push_back(s[i++]);
            }
            if (i >= s.size()) {
                err = "unterminated quote in key";
                return false;
            }
            ++i;
        } else {
            while (i < s.size() && s[i] != ' ')
                k.push_back(s[i++]);
        }
        keys.push_back(k);
    }
    return true;
}

bool quote_xpath(const std::string &v, std::string &out) {
    if (v.find('\'') == std::string::npos) {
        out = "'" + v + "'";
        return true;
    }
    if (v.find('"') == std::string::npos) {
        out = "\"" + v + "\"";
        return true;
    }
    return false;
}

// Enumeration keys come by label or, as key paths print them, by number: a number that is not
// a label of the key's type but one of its values becomes that value's label.
void enum_key_label(const lysc_node *key, std::string &text) {
    const lysc_type *t = leaf_type(key);
    auto *e = t ? reinterpret_cast<const lysc_type_enum *>(find_member(t, LY_TYPE_ENUM)) : nullptr;
    if (!e || text.empty())
        return;
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(e->enums, i) {
        if (text == e->enums[i].name)
            return;
    }
    char *end = nullptr;
    errno = 0;
    const long n = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0)
        return;
    LY_ARRAY_FOR(e->enums, i) {
        if (e->enums[i].value == n) {
            text = e->enums[i].name;
            return;
        }
    }
}

}  // namespace

bool SchemaDb::resolve(std::string_view path, ResolvedPath &out, std::string &err) const {
    std::vector<std::string> elems;
    if (!split_path(path, elems, err))
        return false;
    if (elems.empty()) {
        err = "empty path";
        return false;
    }
    out = ResolvedPath{};
    const lysc_node *parent = nullptr;
    std::string seen;
    for (const auto &elem : elems) {
        std::string name = elem.substr(0, elem.find('{'));
        std::string keypart;
        if (auto b = elem.find('{'); b != std::string::npos) {
            if (elem.back() != '}') {
                err = "bad keys in path element '" + elem + "'";
                return false;
            }
            keypart = elem.substr(b + 1, elem.size() - b - 2);
        }
        if (auto colon = name.find(':'); colon != std::string::npos)
            name = name.substr(colon + 1);
        const lysc_node *found = nullptr;
        if (!parent) {
            for (const lys_module *m : modules_) {
                const lysc_node *n = nullptr;
                while ((n = lys_getnext(n, nullptr, m->compiled, 0)))
                    if (name == n->name) {
                        found = n;
                        break;
                    }
                if (found)
                    break;
            }
        } else {
            const lysc_node *n = nullptr;
            while ((n = lys_getnext(n, parent, nullptr, 0)))
                if (name == n->name) {
                    found = n;
                    break;
                }
        }
        seen += "/" + elem;
        if (!found) {
            err = "no element '" + name + "' at " + seen;
            return false;
        }
        out.xpath += "/";
        if (!parent || parent->module != found->module)
            out.xpath += std::string(found->module->name) + ":";
        out.xpath += found->name;
        if (!keypart.empty() || elem.find('{') != std::string::npos) {
            std::vector<std::string> keys;
            if (!split_keys(keypart, keys, err))
                return false;
            if (found->nodetype == LYS_LIST) {
                auto knodes = list_keys(found);
                if (knodes.size() != keys.size()) {
                    err = "list " + seen + " takes " + std::to_string(knodes.size()) + " key(s), " +
                          std::to_string(keys.size()) + " given";
                    return false;
                }
                for (size_t i = 0; i < keys.size(); ++i) {
                    enum_key_label(knodes[i], keys[i]);
                    std::string q;
                    if (!quote_xpath(keys[i], q)) {
                        err = "key '" + keys[i] + "' holds both quote characters";
                        return false;
                    }
                    out.xpath += std::string("[") + knodes[i]->name + "=" + q + "]";
                }
            } else if (found->nodetype == LYS_LEAFLIST && keys.size() == 1) {
                enum_key_label(found, keys[0]);
                std::string q;
                if (!quote_xpath(keys[0], q)) {
                    err = "value '" + keys[0] + "' holds both quote characters";
                    return false;
                }
                out.xpath += "[.=" + q + "]";
            } else {
                err = seen + " is not a list and takes no keys";
                return false;
            }
        } else if (found->nodetype == LYS_LIST) {
            out.has_all_keys = false;
        }
        parent = found;
    }
    out.schema = parent;
    return true;
}

bool SchemaDb::keypath(const lyd_node *node, confd_hkeypath_t &kp) const {
    // Elements from the node up to the root: leaf-most first.
    std::vector<std::vector<confd_value_t>> elems;
    bool ok = true;
    for (const lyd_node *n = node; n; n = lyd_parent(n)) {
        const lysc_node *s = n->schema;
        if (s->nodetype == LYS_LIST) {
            std::vector<confd_value_t> keys;
            for (const lyd_node *c = lyd_child(n); c && c->schema && lysc_is_key(c->schema);
                 c = c->next) {
                confd_value_t v{};
                if (!to_value(c, v)) {
                    ok = false;
                    break;
                }
                keys.push_back(v);
            }
            elems.push_back(std::move(keys));
        }
        confd_value_t t{};
        CONFD_SET_XMLTAG(&t, tag(s), ns(s->module));
        elems.push_back({t});
    }
    if (!ok || elems.size() > MAXDEPTH) {
        for (auto &e : elems)
            for (auto &v : e)
                confd_free_value(&v);
        return false;
    }
    kp.len = static_cast<int>(elems.size());
    for (size_t i = 0; i < elems.size(); ++i) {
        size_t k = 0;
        for (; k < elems[i].size() && k < MAXKEYLEN; ++k)
            kp.v[i][k] = elems[i][k];
        for (size_t extra = k; extra < elems[i].size(); ++extra)
            confd_free_value(&elems[i][extra]);
        if (k < MAXKEYLEN)
            kp.v[i][k].type = C_NOEXISTS;
    }
    return true;
}

}  // namespace cdbd
