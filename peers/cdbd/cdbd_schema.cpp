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

namespace cdbd {

namespace {

constexpr const char *kExtModule = "plx-ext";
constexpr const char *kExtName = "id-value";

bool pinned_value(const lysc_ext_instance *exts, bool module_level, uint32_t &out) {
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(exts, i) {
        const lysc_ext_instance &e = exts[i];
        if (!e.def || !e.def->name || !e.def->module || strcmp(e.def->name, kExtName) != 0 ||
            strcmp(e.def->module->name, kExtModule) != 0 || !e.argument)
            continue;
        // Instances written on a uses or augment also reach the target node: keep only those
        // written in the node (or the module) itself.
        const bool own = module_level ? e.parent_stmt == LY_STMT_MODULE
                                      : (e.parent_stmt & (LY_STMT_DATA_NODE_MASK | LY_STMT_OP_MASK |
                                                          LY_STMT_NOTIFICATION)) != 0;
        if (!own)
            continue;
        char *end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(e.argument, &end, 10);
        if (errno || end == e.argument || *end || v > 0xffffffffull)
            continue;
        out = static_cast<uint32_t>(v);
        return true;
    }
    return false;
}

const lysc_type *resolve_type(const lysc_type *t) {
    while (t && t->basetype == LY_TYPE_LEAFREF)
        t = reinterpret_cast<const lysc_type_leafref *>(t)->realtype;
    return t;
}

bool plugin_is(const lysc_type *t, const char *name) {
    if (!t || !t->plugin || !t->plugin->id)
        return false;
    // Plugin ids read "libyang 2 - <name>, version 1".
    const char *p = strstr(t->plugin->id, name);
    if (!p)
        return false;
    const char after = p[strlen(name)];
    return (p == t->plugin->id || p[-1] == ' ') && (after == ',' || after == 0);
}

confd_vtype vtype_of(const lysc_type *t) {
    t = resolve_type(t);
    if (!t)
        return C_BUF;
    switch (t->basetype) {
        case LY_TYPE_UNION: {
            auto *u = reinterpret_cast<const lysc_type_union *>(t);
            return LY_ARRAY_COUNT(u->types) ? vtype_of(u->types[0]) : C_BUF;
        }
        case LY_TYPE_STRING:
            if (plugin_is(t, "ipv4-address") || plugin_is(t, "ipv4-address-no-zone"))
                return C_IPV4;
            if (plugin_is(t, "ipv6-address") || plugin_is(t, "ipv6-address-no-zone"))
                return C_IPV6;
            if (plugin_is(t, "ipv4-prefix"))
                return C_IPV4PREFIX;
            if (plugin_is(t, "ipv6-prefix"))
                return C_IPV6PREFIX;
            if (plugin_is(t, "date-and-time"))
                return C_DATETIME;
            return C_BUF;
        case LY_TYPE_BINARY:
            return C_BINARY;
        case LY_TYPE_UINT8:
            return C_UINT8;
        case LY_TYPE_UINT16:
            return C_UINT16;
        case LY_TYPE_UINT32:
            return C_UINT32;
        case LY_TYPE_UINT64:
            return C_UINT64;
        case LY_TYPE_INT8:
            return C_INT8;
        case LY_TYPE_INT16:
            return C_INT16;
        case LY_TYPE_INT32:
            return C_INT32;
        case LY_TYPE_INT64:
            return C_INT64;
        case LY_TYPE_BOOL:
            return C_BOOL;
        case LY_TYPE_DEC64:
            return C_DECIMAL64;
        case LY_TYPE_EMPTY:
            return C_XMLTAG;
        case LY_TYPE_ENUM:
            return C_ENUM_VALUE;
        case LY_TYPE_BITS: {
            auto *b = reinterpret_cast<const lysc_type_bits *>(t);
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(b->bits, i) {
                if (b->bits[i].position >= 32)
                    return C_BIT64;
            }
            return C_BIT32;
        }
        default:
            return C_BUF;
    }
}

bool set_buf(confd_value_t &out, std::string_view s, confd_vtype type = C_BUF) {
    auto *p = static_cast<unsigned char *>(std::malloc(s.size() + 1));
    if (!p)
        return false;
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = 0;
    out.type = type;
    out.val.buf.ptr = p;
    out.val.buf.size = static_cast<unsigned>(s.size());
    return true;
}

bool parse_datetime(std::string_view s, confd_datetime &d) {
    int y, mo, da, h, mi, se, n = 0;
    std::string str(s);
    if (sscanf(str.c_str(), "%d-%d-%dT%d:%d:%d%n", &y, &mo, &da, &h, &mi, &se, &n) != 6)
        return false;
    d = confd_datetime{};
    d.year = static_cast<int16_t>(y);
    d.month = static_cast<uint8_t>(mo);
    d.day = static_cast<uint8_t>(da);
    d.hour = static_cast<uint8_t>(h);
    d.min = static_cast<uint8_t>(mi);
    d.sec = static_cast<uint8_t>(se);
    const char *p = str.c_str() + n;
    if (*p == '.') {
        ++p;
        uint32_t micro = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (digits < 6) {
                micro = micro * 10 + static_cast<uint32_t>(*p - '0');
                ++digits;
            }
            ++p;
        }
        while (digits++ < 6)
            micro *= 10;
        d.micro = micro;
    }
    if (*p == '+' || *p == '-') {
        int th = 0, tm = 0;
        if (sscanf(p + 1, "%d:%d", &th, &tm) != 2)
            return false;
        d.timezone = static_cast<int8_t>(*p == '-' ? -th : th);
        d.timezone_minutes = static_cast<int8_t>(*p == '-' ? -tm : tm);
    }
    return true;
}

// Converts one stored value. leaf gives the tag of empty-typed leaves.
bool value_from(const SchemaDb &db, const lysc_node *leaf, const lyd_value &value,
                confd_value_t &out) {
    std::memset(&out, 0, sizeof out);
    const lyd_value *val = &value;
    const lysc_type *t = val->realtype;
    for (;;) {
        if (t && t->basetype == LY_TYPE_LEAFREF) {
            t = reinterpret_cast<const lysc_type_leafref *>(t)->realtype;
        } else if (t && t->basetype == LY_TYPE_UNION && val->subvalue) {
            val = &val->subvalue->value;
            t = val->realtype;
        } else {
            break;
        }
    }
    const char *canon = lyd_value_get_canonical(db.ctx(), val);
    const std::string_view text = canon ? canon : "";
    const confd_vtype vt = vtype_of(t);
    const std::string s(text);
    switch (vt) {
        case C_BUF:
            return set_buf(out, text);
        case C_BINARY:
            return set_buf(out, text, C_BINARY);
        case C_IPV4: {
            std::string a = s.substr(0, s.find('%'));
            if (inet_pton(AF_INET, a.c_str(), &out.val.ip) != 1)
                return false;
            out.type = C_IPV4;
            return true;
        }
        case C_IPV6: {
            std::string a = s.substr(0, s.find('%'));
            if (inet_pton(AF_INET6, a.c_str(), &out.val.ip6) != 1)
                return false;
            out.type = C_IPV6;
            return true;
        }
        case C_IPV4PREFIX:
        case C_IPV6PREFIX: {
            auto slash = s.find('/');
            if (slash == std::string::npos)
                return false;
            std::string a = s.substr(0, slash);
            const auto len = static_cast<uint8_t>(atoi(s.c_str() + slash + 1));
            if (vt == C_IPV4PREFIX) {
                if (inet_pton(AF_INET, a.c_str(), &out.val.ipv4prefix.ip) != 1)
                    return false;
                out.val.ipv4prefix.len = len;
            } else {
                if (inet_pton(AF_INET6, a.c_str(), &out.val.ipv6prefix.ip6) != 1)
                    return false;
                out.val.ipv6prefix.len = len;
            }
            out.type = vt;
            return true;
        }
        case C_DATETIME:
            if (!parse_datetime(text, out.val.datetime))
                return false;
            out.type = C_DATETIME;
            return true;
        case C_INT8:
        case C_INT16:
        case C_INT32:
        case C_INT64:
        case C_UINT8:
        case C_UINT16:
        case C_UINT32:
        case C_UINT64: {
            const uint64_t x = vt <= C_INT64
                                   ? static_cast<uint64_t>(strtoll(s.c_str(), nullptr, 10))
                                   : strtoull(s.c_str(), nullptr, 10);
            out.type = vt;
            confd_wire::set_scalar(out, vt, x);
            return true;
        }
        case C_BOOL:
            CONFD_SET_BOOL(&out, s == "true");
            return true;
        case C_XMLTAG:
            CONFD_SET_XMLTAG(&out, db.tag(leaf), db.ns(leaf->module));
            return true;
        case C_DECIMAL64: {
            auto *d = reinterpret_cast<const lysc_type_dec *>(t);
            const int fd = d->fraction_digits;
            const bool neg = !s.empty() && s[0] == '-';
            std::string digits;
            int frac = -1;
            for (char c : s) {
                if (c == '.')
                    frac = 0;
                else if (c >= '0' && c <= '9') {
                    digits.push_back(c);
                    if (frac >= 0)
                        ++frac;
                }
            }
            if (frac < 0)
                frac = 0;
            for (; frac < fd; ++frac)
                digits.push_back('0');
            long long x = strtoll(digits.c_str(), nullptr, 10);
            out.type = C_DECIMAL64;
            out.val.d64.value = neg ? -x : x;
            out.val.d64.fraction_digits = static_cast<uint8_t>(fd);
            return true;
        }
        case C_ENUM_VALUE: {
            auto *e = reinterpret_cast<const lysc_type_enum *>(t);
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(e->enums, i) {
                if (s == e->enums[i].name) {
                    CONFD_SET_ENUM_VALUE(&out, e->enums[i].value);
                    return true;
                }
            }
            return false;
        }
        case C_BIT32:
        case C_BIT64: {
            auto *b = reinterpret_cast<const lysc_type_bits *>(t);
            uint64_t bits = 0;
            size_t pos = 0;
            while (pos < s.size()) {
                size_t e = s.find(' ', pos);
                std::string word =
                    s.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
                pos = e == std::string::npos ? s.size() : e + 1;
                LY_ARRAY_COUNT_TYPE i;
                LY_ARRAY_FOR(b->bits, i) {
                    if (word == b->bits[i].name)
                        bits |= uint64_t{1} << b->bits[i].position;
                }
            }
            if (vt == C_BIT32)
                CONFD_SET_BIT32(&out, static_cast<uint32_t>(bits));
            else
                CONFD_SET_BIT64(&out, bits);
            return true;
        }
        default:
            return set_buf(out, text);
    }
}

// Finds a label for an enumeration or bits value in t or, for a union, its members.
const lysc_type *find_member(const lysc_type *t, LY_DATA_TYPE base) {
    t = resolve_type(t);
    if (!t)
        return nullptr;
    if (t->basetype == base)
        return t;
    if (t->basetype == LY_TYPE_UNION) {
        auto *u = reinterpret_cast<const lysc_type_union *>(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i) {
            if (const lysc_type *m = find_member(u->types[i], base))
                return m;
        }
    }
    return nullptr;
}

const lysc_type *leaf_type(const lysc_node *n) {
    if (n->nodetype == LYS_LEAF)
        return reinterpret_cast<const lysc_node_leaf *>(n)->type;
    if (n->nodetype == LYS_LEAFLIST)
        return reinterpret_cast<const lysc_node_leaflist *>(n)->type;
    return nullptr;
}

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

}  // namespace

std::vector<const lysc_node *> list_keys(const lysc_node *list) {
    std::vector<const lysc_node *> keys;
    for (const lysc_node *c = lysc_node_child(list); c; c = c->next)
        if (lysc_is_key(c))
            keys.push_back(c);
    return keys;
}

DataTree &DataTree::operator=(DataTree &&o) noexcept {
    if (this != &o) {
        reset(o.root);
        o.root = nullptr;
    }
    return *this;
}

DataTree::~DataTree() {
    lyd_free_all(root);
}

void DataTree::reset(lyd_node *r) {
    if (root != r)
        lyd_free_all(root);
    root = r;
}

bool DataTree::dup_from(const lyd_node *src) {
    lyd_node *copy = nullptr;
    if (src &&
        lyd_dup_siblings(src, nullptr, LYD_DUP_RECURSIVE | LYD_DUP_WITH_FLAGS, &copy) != LY_SUCCESS)
        return false;
    reset(copy);
    return true;
}

std::string ly_error_text(const ly_ctx *ctx) {
    const ly_err_item *e = ly_err_last(ctx);
    if (!e || !e->msg)
        return "unknown error";
    std::string s = e->msg;
    if (e->path && *e->path && s.find(e->path) == std::string::npos)
        s += std::string(" (path ") + e->path + ")";
    return s;
}

SchemaDb::~SchemaDb() {
    if (ctx_)
        ly_ctx_destroy(ctx_);
}

bool SchemaDb::load(const std::string &dir, std::string &err) {
    if (ly_ctx_new(dir.c_str(), LY_CTX_NO_YANGLIBRARY, &ctx_) != LY_SUCCESS) {
        err = "cannot create the schema context for " + dir;
        return false;
    }
    ly_log_options(LY_LOSTORE_LAST);
    DIR *d = opendir(dir.c_str());
    if (!d) {
        err = "cannot read the YANG directory " + dir + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> files;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".yang") == 0)
            files.push_back(name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    const char *all_features[] = {"*", nullptr};
    for (const auto &f : files) {
        std::string mod = f.substr(0, f.size() - 5);
        mod = mod.substr(0, mod.find('@'));
        // Submodules are loaded through their module.
        std::string text;
        if (FILE *fp = fopen((dir + "/" + f).c_str(), "r")) {
            char buf[256];
            size_t n = fread(buf, 1, sizeof buf - 1, fp);
            buf[n] = 0;
            text = buf;
            fclose(fp);
        }
        size_t first = text.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && text.compare(first, 9, "submodule") == 0)
            continue;
        const lys_module *m = ly_ctx_load_module(ctx_, mod.c_str(), nullptr, all_features);
        if (!m) {
            err = "cannot load YANG module " + f + ": " + ly_error_text(ctx_);
            return false;
        }
        modules_.push_back(m);
    }
    return compute_tags(err);
}

bool SchemaDb::compute_tags(std::string &err) {
    std::vector<const lysc_node *> nodes;
    auto collect = [&](const lysc_node *root) {
        lysc_tree_dfs_full(
            root,
            [](lysc_node *node, void *data, ly_bool *) -> LY_ERR {
                static_cast<std::vector<const lysc_node *> *>(data)->push_back(node);
                return LY_SUCCESS;
            },
            &nodes);
    };
    for (const lys_module *m : modules_) {
        if (!m->compiled)
            continue;
        for (const lysc_node *n = m->compiled->data; n; n = n->next)
            collect(n);
        for (const lysc_node_action *n = m->compiled->rpcs; n;
             n = reinterpret_cast<const lysc_node_action *>(n->next))
            collect(&n->node);
        for (const lysc_node_notif *n = m->compiled->notifs; n;
             n = reinterpret_cast<const lysc_node_notif *>(n->next))
            collect(&n->node);
    }
    std::unordered_map<std::string, uint32_t> pinned;
    for (const lysc_node *n : nodes) {
        uint32_t v;
        if (!pinned_value(n->exts, false, v))
            continue;
        auto [it, fresh] = pinned.emplace(n->name, v);
        if (!fresh && it->second != v) {
            err = std::string("name '") + n->name + "' is pinned to two tags, " +
                  std::to_string(it->second) + " and " + std::to_string(v);
            return false;
        }
    }
    std::unordered_map<uint32_t, std::string> tag_name;
    for (const lysc_node *n : nodes) {
        if (n->nodetype & (LYS_INPUT | LYS_OUTPUT))
            continue;
        auto it = pinned.find(n->name);
        const uint32_t t = it != pinned.end() ? it->second : confd_wire::name_hash(n->name);
        auto [tn, fresh] = tag_name.emplace(t, n->name);
        if (!fresh && tn->second != n->name) {
            err = "tag " + std::to_string(t) + " of '" + n->name + "' collides with '" +
                  tn->second + "'";
            return false;
        }
        tags_[n] = t;
        name_tag_[n->name] = t;
    }
    std::unordered_map<uint32_t, const lys_module *> ns_mod;
    for (const lys_module *m : modules_) {
        uint32_t v;
        if (!(m->compiled && pinned_value(m->compiled->exts, true, v)))
            v = confd_wire::name_hash(m->ns);
        auto [it, fresh] = ns_mod.emplace(v, m);
        if (!fresh) {
            err = "namespace " + std::to_string(v) + " of module " + m->name +
                  " collides with module " + it->second->name;
            return false;
        }
        ns_[m] = v;
    }
    return true;
}

uint32_t SchemaDb::tag(const lysc_node *node) const {
    auto it = tags_.find(node);
    return it != tags_.end() ? it->second : confd_wire::name_hash(node->name);
}

uint32_t SchemaDb::ns(const lys_module *mod) const {
    auto it = ns_.find(mod);
    return it != ns_.end() ? it->second : confd_wire::name_hash(mod->ns);
}

std::string plx_ext_arg(const lysc_node *node, const char *ext_name) {
    if (!node)
        return "";
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(node->exts, i) {
        const lysc_ext_instance &e = node->exts[i];
        if (e.def && e.def->name && e.def->module && strcmp(e.def->name, ext_name) == 0 &&
            strcmp(e.def->module->name, kExtModule) == 0 && e.argument)
            return e.argument;
    }
    return "";
}

namespace {

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

bool SchemaDb::to_value(const lyd_node *node, confd_value_t &out) const {
    if (!node->schema || !(node->schema->nodetype & (LYS_LEAF | LYS_LEAFLIST)))
        return false;
    if (node->schema->nodetype == LYS_LEAFLIST)
        return to_leaflist_value(node->schema, node, out);
    return value_from(*this, node->schema, reinterpret_cast<const lyd_node_term *>(node)->value,
                      out);
}

bool SchemaDb::to_leaflist_value(const lysc_node *schema, const lyd_node *first,
                                 confd_value_t &out) const {
    std::vector<const lyd_node *> items;
    for (const lyd_node *n = first; n && n->schema == schema; n = n->next) {
        if (!is_default(n))
            items.push_back(n);
        if (n->next == first)
            break;
    }
    auto *vals = static_cast<confd_value_t *>(
        std::calloc(items.empty() ? 1 : items.size(), sizeof(confd_value_t)));
    if (!vals)
        return false;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!value_from(*this, schema, reinterpret_cast<const lyd_node_term *>(items[i])->value,
                        vals[i])) {
            for (size_t j = 0; j < i; ++j)
                confd_free_value(&vals[j]);
            std::free(vals);
            return false;
        }
    }
    CONFD_SET_LIST(&out, vals, static_cast<unsigned>(items.size()));
    return true;
}

bool SchemaDb::to_text(const lysc_node *leaf, const confd_value_t &v, std::string &out,
                       std::string &err) const {
    const lysc_type *t = leaf_type(leaf);
    if (!t) {
        err = std::string(leaf->name) + " holds no value";
        return false;
    }
    switch (v.type) {
        case C_ENUM_VALUE: {
            auto *e = reinterpret_cast<const lysc_type_enum *>(find_member(t, LY_TYPE_ENUM));
            if (e) {
                LY_ARRAY_COUNT_TYPE i;
                LY_ARRAY_FOR(e->enums, i) {
                    if (e->enums[i].value == v.val.enumvalue) {
                        out = e->enums[i].name;
                        return true;
                    }
                }
            }
            err = "enumeration value " + std::to_string(v.val.enumvalue) + " is not valid for " +
                  leaf->name;
            return false;
        }
        case C_BIT32:
        case C_BIT64: {
            auto *b = reinterpret_cast<const lysc_type_bits *>(find_member(t, LY_TYPE_BITS));
            if (!b) {
                err = std::string(leaf->name) + " is not of a bits type";
                return false;
            }
            uint64_t bits = v.type == C_BIT32 ? v.val.b32 : v.val.b64;
            out.clear();
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(b->bits, i) {
                const uint32_t pos = b->bits[i].position;
                if (pos < 64 && ((bits >> pos) & 1)) {
                    if (!out.empty())
                        out += " ";
                    out += b->bits[i].name;
                    bits &= ~(uint64_t{1} << pos);
                }
            }
            if (bits) {
                err = "bits not defined for " + std::string(leaf->name);
                return false;
            }
            return true;
        }
        case C_XMLTAG:
            out.clear();
            return true;
        case C_BUF:
        case C_BINARY:
            out.assign(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.size);
            return true;
        case C_NOEXISTS:
        case C_LIST:
        case C_XMLBEGIN:
        case C_XMLEND:
            err = "a value of type " + std::to_string(v.type) + " cannot be stored in a leaf";
            return false;
        default: {
            char buf[256];
            confd_pp_value(buf, sizeof buf, &v);
            out = buf;
            return true;
        }
    }
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

std::vector<uint8_t> SchemaDb::export_schema() const {
    confd_wire::WireWriter w(confd_wire::Op::GetSchema);
    w.u32(static_cast<uint32_t>(modules_.size()));
    for (const lys_module *m : modules_) {
        w.u32(ns(m));
        w.str(m->ns ? m->ns : "");
        w.str(m->prefix ? m->prefix : "");
        w.str(m->name);
        w.str(m->revision ? m->revision : "");
    }
    w.u32(static_cast<uint32_t>(name_tag_.size()));
    for (const auto &[name, t] : name_tag_) {
        w.u32(t);
        w.str(name);
    }
    // Types: one per distinct compiled type of a leaf, then the named ones.
    struct TypeEntry {
        uint8_t kind;
        confd_vtype shallow;
        std::vector<std::pair<int64_t, std::string>> items;
    };
    std::vector<TypeEntry> types;
    std::map<const lysc_type *, int32_t> type_idx;
    auto add_type = [&](const lysc_type *t) -> int32_t {
        auto it = type_idx.find(t);
        if (it != type_idx.end())
            return it->second;
        TypeEntry e{0, vtype_of(t), {}};
        if (const lysc_type *en = find_member(t, LY_TYPE_ENUM)) {
            auto *et = reinterpret_cast<const lysc_type_enum *>(en);
            e.kind = 1;
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(et->enums, i) {
                e.items.emplace_back(et->enums[i].value, et->enums[i].name);
            }
        } else if (const lysc_type *bt = find_member(t, LY_TYPE_BITS)) {
            auto *b = reinterpret_cast<const lysc_type_bits *>(bt);
            e.kind = 2;
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(b->bits, i) {
                e.items.emplace_back(b->bits[i].position, b->bits[i].name);
            }
        }
        types.push_back(std::move(e));
        return type_idx[t] = static_cast<int32_t>(types.size() - 1);
    };
    struct NodeEntry {
        int32_t parent;
        const lysc_node *node;
        uint32_t flags;
        int32_t type;
    };
    std::vector<NodeEntry> nodes;
    std::function<void(const lysc_node *, int32_t, uint32_t)> emit = [&](const lysc_node *n,
                                                                         int32_t parent,
                                                                         uint32_t extra) {
        uint32_t flags = extra;
        int32_t t = -1;
        switch (n->nodetype) {
            case LYS_CONTAINER:
                flags |= CS_NODE_IS_CONTAINER;
                break;
            case LYS_LIST:
                flags |= CS_NODE_IS_LIST;
                break;
            case LYS_LEAFLIST:
                flags |= CS_NODE_IS_LEAF_LIST;
                break;
            case LYS_RPC:
            case LYS_ACTION:
                flags |= CS_NODE_IS_ACTION;
                break;
            case LYS_NOTIF:
                flags |= CS_NODE_IS_NOTIF;
                break;
            default:
                break;
        }
        if (n->flags & LYS_CONFIG_W)
            flags |= CS_NODE_IS_WRITE | CS_NODE_IS_CDB;
        if (const lysc_type *lt = leaf_type(n)) {
            t = add_type(lt);
            if (resolve_type(lt) && resolve_type(lt)->basetype == LY_TYPE_LEAFREF)
                flags |= CS_NODE_IS_LEAFREF;
        }
        nodes.push_back({parent, n, flags, t});
        const auto me = static_cast<int32_t>(nodes.size() - 1);
        const uint32_t child_extra = (n->nodetype & (LYS_RPC | LYS_ACTION)) ? CS_NODE_IS_PARAM : 0;
        const lysc_node *c = nullptr;
        while ((c = lys_getnext(c, n, nullptr, 0)))
            emit(c, me, child_extra);
        for (const lysc_node_action *a = lysc_node_actions(n); a;
             a = reinterpret_cast<const lysc_node_action *>(a->next))
            emit(&a->node, me, 0);
        for (const lysc_node_notif *no = lysc_node_notifs(n); no;
             no = reinterpret_cast<const lysc_node_notif *>(no->next))
            emit(&no->node, me, 0);
    };
    for (const lys_module *m : modules_) {
        if (!m->compiled)
            continue;
        const lysc_node *n = nullptr;
        while ((n = lys_getnext(n, nullptr, m->compiled, 0)))
            emit(n, -1, 0);
        for (const lysc_node_action *a = m->compiled->rpcs; a;
             a = reinterpret_cast<const lysc_node_action *>(a->next))
            emit(&a->node, -1, 0);
        for (const lysc_node_notif *no = m->compiled->notifs; no;
             no = reinterpret_cast<const lysc_node_notif *>(no->next))
            emit(&no->node, -1, 0);
    }
    // Named types (typedefs) of each module and its submodules.
    struct Named {
        uint32_t ns;
        std::string name;
        int32_t idx;
    };
    std::vector<Named> named;
    for (const lys_module *m : modules_) {
        if (!m->parsed)
            continue;
        std::vector<const lysp_tpdf *> tpdfs;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(m->parsed->typedefs, i) {
            tpdfs.push_back(&m->parsed->typedefs[i]);
        }
        LY_ARRAY_FOR(m->parsed->includes, i) {
            const lysp_submodule *sm = m->parsed->includes[i].submodule;
            LY_ARRAY_COUNT_TYPE j;
            if (sm)
                LY_ARRAY_FOR(sm->typedefs, j) {
                    tpdfs.push_back(&sm->typedefs[j]);
                }
        }
        std::function<const lysp_type *(const lysp_type *, int)> base =
            [&](const lysp_type *t, int depth) -> const lysp_type * {
            if (t->enums || t->bits || depth > 8)
                return t;
            std::string tn = t->name;
            tn = tn.substr(tn.find(':') == std::string::npos ? 0 : tn.find(':') + 1);
            for (const lysp_tpdf *td : tpdfs)
                if (tn == td->name)
                    return base(&td->type, depth + 1);
            return t;
        };
        for (const lysp_tpdf *td : tpdfs) {
            const lysp_type *bt = base(&td->type, 0);
            TypeEntry e{0, C_BUF, {}};
            if (bt->enums) {
                e.kind = 1;
                e.shallow = C_ENUM_VALUE;
                int64_t next = 0;
                LY_ARRAY_FOR(bt->enums, i) {
                    int64_t v = (bt->enums[i].flags & LYS_SET_VALUE) ? bt->enums[i].value : next;
                    e.items.emplace_back(v, bt->enums[i].name);
                    next = v + 1;
                }
            } else if (bt->bits) {
                e.kind = 2;
                e.shallow = C_BIT32;
                int64_t next = 0;
                LY_ARRAY_FOR(bt->bits, i) {
                    int64_t v = (bt->bits[i].flags & LYS_SET_VALUE) ? bt->bits[i].value : next;
                    e.items.emplace_back(v, bt->bits[i].name);
                    if (v >= 32)
                        e.shallow = C_BIT64;
                    next = v + 1;
                }
            } else if (bt->compiled) {
                e.shallow = vtype_of(bt->compiled);
            }
            types.push_back(std::move(e));
            named.push_back({ns(m), td->name, static_cast<int32_t>(types.size() - 1)});
        }
    }
    w.u32(static_cast<uint32_t>(types.size()));
    for (const auto &t : types) {
        w.u8(t.kind);
        w.u8(static_cast<uint8_t>(t.shallow));
        w.u32(static_cast<uint32_t>(t.items.size()));
        for (const auto &[v, label] : t.items) {
            w.u64(static_cast<uint64_t>(v));
            w.str(label);
        }
    }
    w.u32(static_cast<uint32_t>(named.size()));
    for (const auto &n : named) {
        w.u32(n.ns);
        w.str(n.name);
        w.u32(static_cast<uint32_t>(n.idx));
    }
    w.u32(static_cast<uint32_t>(nodes.size()));
    for (const auto &e : nodes) {
        const lysc_node *n = e.node;
        w.i32(e.parent);
        w.u32(tag(n));
        w.u32(ns(n->module));
        w.u32(e.flags);
        const lysc_type *lt = leaf_type(n);
        w.u8(static_cast<uint8_t>(lt ? vtype_of(lt) : C_NOEXISTS));
        w.i32(e.type);
        w.i32((n->flags & LYS_MAND_TRUE) ? 1 : 0);
        w.i32((n->nodetype & (LYS_LIST | LYS_LEAFLIST)) ? -1 : 1);
        if (n->nodetype == LYS_LIST) {
            auto keys = list_keys(n);
            w.u32(static_cast<uint32_t>(keys.size()));
            for (const lysc_node *k : keys)
                w.u32(tag(k));
        } else {
            w.u32(0);
        }
        confd_value_t dv{};
        const lyd_value *dflt =
            n->nodetype == LYS_LEAF ? reinterpret_cast<const lysc_node_leaf *>(n)->dflt : nullptr;
        if (dflt && value_from(*this, n, *dflt, dv)) {
            w.u8(1);
            w.value(dv);
            confd_free_value(&dv);
        } else {
            w.u8(0);
        }
    }
    // Callpoints (kind 0) and action points (kind 1) by node index.
    std::vector<std::tuple<uint32_t, uint8_t, std::string>> points;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const lysc_node *n = nodes[i].node;
        std::string cp = plx_ext_arg(n, "callpoint");
        if (!cp.empty())
            points.emplace_back(static_cast<uint32_t>(i), 0, cp);
        std::string ap = plx_ext_arg(n, "actionpoint");
        if (!ap.empty())
            points.emplace_back(static_cast<uint32_t>(i), 1, ap);
    }
    w.u32(static_cast<uint32_t>(points.size()));
    for (const auto &[idx, kind, name] : points) {
        w.u32(idx);
        w.u8(kind);
        w.str(name);
    }
    auto frame = w.finish();
    return frame;
}

}  // namespace cdbd
