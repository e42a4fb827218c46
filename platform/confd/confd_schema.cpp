// Client library: the schema the client loads from the server, and the name, node and type
// helpers that read it.
#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <unistd.h>

#include <array>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/confd/confd_client.h"
#include "platform/confd/confd_lib.h"

using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireSock;
using confd_wire::WireWriter;

// A YANG type as the client sees it: the value type and, for enumerations and bits, labels.
struct confd_type {
    int kind = 0;  // 0 plain, 1 enumeration, 2 bits
    confd_vtype shallow = C_BUF;
    std::vector<std::pair<int64_t, std::string>> items;
};

namespace {

struct Schema {
    std::vector<confd_nsinfo> nslist;
    std::vector<std::string> strings;  // backing store (deque-like: reserve before use)
    std::unordered_map<uint32_t, std::string> names;
    std::unordered_map<std::string, uint32_t> name_to_tag;
    std::vector<std::unique_ptr<confd_type>> types;
    std::map<std::pair<uint32_t, std::string>, confd_type *> named_types;
    std::vector<confd_cs_node> nodes;
    std::vector<std::vector<uint32_t>> keys;
    std::vector<confd_value_t> defvals;
    std::vector<confd_cs_node *> roots;
    std::unordered_map<const confd_cs_node *, std::string> callpoints, actionpoints;
    ~Schema() {
        for (auto &v : defvals)
            confd_free_value(&v);
    }
};

std::mutex g_schema_mu;
std::vector<std::unique_ptr<Schema>> g_schemas;  // every schema ever loaded; last is current
Schema *g_schema = nullptr;

Schema *schema() {
    std::lock_guard lk(g_schema_mu);
    return g_schema;
}

}  // namespace

extern "C" int confd_load_schemas(const struct sockaddr *srv, int srv_sz) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return confd_client::set_err(CONFD_ERR_OS, "socket: %s", strerror(errno));
    int rc = confd_client::connect_sock(fd, srv, srv_sz, WireSock::Schema, "schema");
    std::vector<uint8_t> payload;
    if (rc == CONFD_OK) {
        WireWriter w(Op::GetSchema);
        rc = confd_client::request(fd, w.finish(), payload);
    }
    confd_client::forget_sock(fd);
    close(fd);
    if (rc != CONFD_OK)
        return rc;

    auto s = std::make_unique<Schema>();
    WireReader r(payload.data(), payload.size());
    uint32_t n = 0;
    r.u32(n);
    // Strings referenced by confd_nsinfo must not move: reserve their room first.
    s->strings.reserve(4 * static_cast<size_t>(n) + 1);
    std::vector<std::array<size_t, 4>> ns_str;
    std::vector<uint32_t> ns_hash;
    for (uint32_t i = 0; i < n && r.ok(); ++i) {
        uint32_t h = 0;
        std::string uri, prefix, module, rev;
        r.u32(h);
        r.str(uri);
        r.str(prefix);
        r.str(module);
        r.str(rev);
        ns_hash.push_back(h);
        ns_str.push_back({s->strings.size(), s->strings.size() + 1, s->strings.size() + 2,
                          s->strings.size() + 3});
        s->strings.push_back(uri);
        s->strings.push_back(prefix);
        s->strings.push_back(module);
        s->strings.push_back(rev);
        s->names.emplace(h, module);
    }
    for (size_t i = 0; i < ns_hash.size(); ++i) {
        confd_nsinfo info{};
        info.uri = s->strings[ns_str[i][0]].c_str();
        info.prefix = s->strings[ns_str[i][1]].c_str();
        info.module = s->strings[ns_str[i][2]].c_str();
        info.revision = s->strings[ns_str[i][3]].c_str();
        info.hash = ns_hash[i];
        s->nslist.push_back(info);
    }
    r.u32(n);
    for (uint32_t i = 0; i < n && r.ok(); ++i) {
        uint32_t h = 0;
        std::string name;
        r.u32(h);
        r.str(name);
        s->names[h] = name;
        s->name_to_tag[name] = h;
    }
    r.u32(n);
    for (uint32_t i = 0; i < n && r.ok(); ++i) {
        auto t = std::make_unique<confd_type>();
        uint8_t kind = 0, shallow = 0;
        uint32_t items = 0;
        r.u8(kind);
        r.u8(shallow);
        r.u32(items);
        t->kind = kind;
        t->shallow = static_cast<confd_vtype>(shallow);
        for (uint32_t k = 0; k < items && r.ok(); ++k) {
            uint64_t val = 0;
            std::string label;
            r.u64(val);
            r.str(label);
            t->items.emplace_back(static_cast<int64_t>(val), label);
        }
        s->types.push_back(std::move(t));
    }
    r.u32(n);
    for (uint32_t i = 0; i < n && r.ok(); ++i) {
        uint32_t ns = 0, idx = 0;
        std::string name;
        r.u32(ns);
        r.str(name);
        r.u32(idx);
        if (idx < s->types.size())
            s->named_types[{ns, name}] = s->types[idx].get();
    }
    r.u32(n);
    if (r.ok() && n > payload.size())
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "bad schema from the database");
    s->nodes.resize(r.ok() ? n : 0);
    s->keys.resize(s->nodes.size());
    std::vector<int32_t> parents(s->nodes.size(), -1);
    std::vector<int32_t> defidx(s->nodes.size(), -1);
    for (uint32_t i = 0; i < s->nodes.size() && r.ok(); ++i) {
        confd_cs_node &nd = s->nodes[i];
        nd = confd_cs_node{};
        int32_t type_idx = -1;
        uint32_t flags = 0, nkeys = 0;
        uint8_t shallow = 0, has_def = 0;
        r.i32(parents[i]);
        r.u32(nd.tag);
        r.u32(nd.ns);
        r.u32(flags);
        r.u8(shallow);
        r.i32(type_idx);
        r.i32(nd.info.minOccurs);
        r.i32(nd.info.maxOccurs);
        r.u32(nkeys);
        for (uint32_t k = 0; k < nkeys && r.ok(); ++k) {
            uint32_t kt = 0;
            r.u32(kt);
            s->keys[i].push_back(kt);
        }
        r.u8(has_def);
        if (has_def) {
            confd_value_t dv{};
            if (r.value(dv)) {
                defidx[i] = static_cast<int32_t>(s->defvals.size());
                s->defvals.push_back(dv);
            }
        }
        nd.info.flags = static_cast<int>(flags);
        nd.info.shallow_type = static_cast<confd_vtype>(shallow);
        if (type_idx >= 0 && static_cast<size_t>(type_idx) < s->types.size())
            nd.info.type = s->types[type_idx].get();
    }
    if (!r.ok())
        return confd_client::set_err(CONFD_ERR_PROTOUSAGE, "bad schema from the database");
    // Link the tree: children in order, the roots in a list of their own.
    std::vector<confd_cs_node *> last_child(s->nodes.size(), nullptr);
    confd_cs_node *last_root = nullptr;
    for (size_t i = 0; i < s->nodes.size(); ++i) {
        confd_cs_node &nd = s->nodes[i];
        if (!s->keys[i].empty()) {
            s->keys[i].push_back(0);
            nd.info.keys = s->keys[i].data();
        }
        if (defidx[i] >= 0)
            nd.info.defval = &s->defvals[defidx[i]];
        const int32_t p = parents[i];
        if (p >= 0 && static_cast<size_t>(p) < i) {
            nd.parent = &s->nodes[p];
            if (last_child[p])
                last_child[p]->next = &nd;
            else
                s->nodes[p].children = &nd;
            last_child[p] = &nd;
        } else {
            if (last_root)
                last_root->next = &nd;
            last_root = &nd;
            s->roots.push_back(&nd);
        }
    }
    // Callpoints and action points of the nodes (absent from older servers).
    if (!r.at_end()) {
        r.u32(n);
        for (uint32_t i = 0; i < n && r.ok(); ++i) {
            uint32_t idx = 0;
            uint8_t kind = 0;
            std::string name;
            if (r.u32(idx) && r.u8(kind) && r.str(name) && idx < s->nodes.size())
                (kind ? s->actionpoints : s->callpoints)[&s->nodes[idx]] = name;
        }
    }
    std::lock_guard lk(g_schema_mu);
    g_schemas.push_back(std::move(s));
    g_schema = g_schemas.back().get();
    return CONFD_OK;
}

const char *confd_client::cs_node_point(const confd_cs_node *node, bool action) {
    Schema *s = schema();
    if (!s || !node)
        return nullptr;
    const auto &m = action ? s->actionpoints : s->callpoints;
    auto it = m.find(node);
    return it == m.end() ? nullptr : it->second.c_str();
}

extern "C" char *confd_hash2str(uint32_t hash) {
    Schema *s = schema();
    if (!s)
        return nullptr;
    auto it = s->names.find(hash);
    return it == s->names.end() ? nullptr : const_cast<char *>(it->second.c_str());
}

extern "C" uint32_t confd_str2hash(const char *str) {
    if (Schema *s = schema()) {
        auto it = s->name_to_tag.find(str);
        if (it != s->name_to_tag.end())
            return it->second;
    }
    return confd_wire::name_hash(str);
}

extern "C" int confd_get_nslist(struct confd_nsinfo **listp) {
    Schema *s = schema();
    if (!s) {
        *listp = nullptr;
        return 0;
    }
    *listp = s->nslist.data();
    return static_cast<int>(s->nslist.size());
}

extern "C" struct confd_cs_node *confd_find_cs_root(uint32_t ns) {
    Schema *s = schema();
    if (!s)
        return nullptr;
    for (auto *r : s->roots)
        if (r->ns == ns)
            return r;
    return nullptr;
}

extern "C" struct confd_cs_node *confd_find_cs_node_child(const struct confd_cs_node *parent,
                                                          struct xml_tag xmltag) {
    for (confd_cs_node *c = parent ? parent->children : nullptr; c; c = c->next)
        if (c->tag == xmltag.tag && (xmltag.ns == 0 || c->ns == xmltag.ns))
            return c;
    return nullptr;
}

extern "C" struct confd_cs_node *confd_cs_node_cd(const struct confd_cs_node *start,
                                                  const char *fmt, ...) {
    Schema *s = schema();
    if (!s) {
        confd_client::set_err(CONFD_ERR_NO_SCHEMA, "schema not loaded");
        return nullptr;
    }
    va_list ap;
    va_start(ap, fmt);
    const std::string formatted = confd_client::format_path(fmt, ap);
    va_end(ap);
    const char *path = formatted.c_str();
    // Split into names, skipping "{...}" key parts and "prefix:".
    std::vector<std::string> names;
    std::string cur;
    int depth = 0;
    for (const char *p = path;; ++p) {
        const char c = *p;
        if (c == '{') {
            ++depth;
            continue;
        }
        if (c == '}') {
            --depth;
            continue;
        }
        if (depth > 0 && c)
            continue;
        if (c == '/' || c == 0) {
            if (!cur.empty()) {
                auto colon = cur.find(':');
                names.push_back(colon == std::string::npos ? cur : cur.substr(colon + 1));
            }
            cur.clear();
            if (!c)
                break;
            continue;
        }
        cur.push_back(c);
    }
    const confd_cs_node *node = (path[0] == '/') ? nullptr : start;
    for (const auto &name : names) {
        auto it = s->name_to_tag.find(name);
        if (it == s->name_to_tag.end())
            return nullptr;
        const confd_cs_node *next = nullptr;
        if (!node) {
            for (auto *r : s->roots)
                if (r->tag == it->second) {
                    next = r;
                    break;
                }
        } else {
            next = confd_find_cs_node_child(node, xml_tag{it->second, 0});
        }
        if (!next)
            return nullptr;
        node = next;
    }
    return const_cast<confd_cs_node *>(node);
}

extern "C" struct confd_type *confd_find_ns_type(uint32_t nshash, const char *name) {
    Schema *s = schema();
    if (!s)
        return nullptr;
    auto it = s->named_types.find({nshash, name});
    return it == s->named_types.end() ? nullptr : it->second;
}

extern "C" int confd_val2str_ptr(struct confd_type *type, const confd_value_t *val,
                                 const char **strp) {
    if (!type || type->kind != 1 || val->type != C_ENUM_VALUE)
        return confd_client::set_err(CONFD_ERR_BADTYPE, "not an enumeration value");
    for (const auto &[v, label] : type->items)
        if (v == val->val.enumvalue) {
            *strp = label.c_str();
            return static_cast<int>(label.size());
        }
    return confd_client::set_err(CONFD_ERR_BADTYPE, "enumeration value %d not in its type",
                                 val->val.enumvalue);
}

extern "C" int confd_val2str(struct confd_type *type, const confd_value_t *val, char *buf,
                             int bufsiz) {
    if (type && type->kind == 1) {
        const char *label = nullptr;
        if (confd_val2str_ptr(type, val, &label) < 0)
            return CONFD_ERR;
        return confd_client::copy_out(label, buf, bufsiz);
    }
    if (type && type->kind == 2 && (val->type == C_BIT32 || val->type == C_BIT64)) {
        const uint64_t bits = val->type == C_BIT32 ? val->val.b32 : val->val.b64;
        std::string s;
        for (const auto &[pos, label] : type->items) {
            if (pos < 64 && (bits >> pos) & 1) {
                if (!s.empty())
                    s += " ";
                s += label;
            }
        }
        return confd_client::copy_out(s, buf, bufsiz);
    }
    return confd_pp_value(buf, bufsiz, val);
}

extern "C" int confd_str2val(struct confd_type *type, const char *str, confd_value_t *val) {
    if (!type)
        return confd_client::set_err(CONFD_ERR_BADTYPE, "no type");
    if (type->kind == 1) {
        for (const auto &[v, label] : type->items)
            if (label == str) {
                CONFD_SET_ENUM_VALUE(val, static_cast<int32_t>(v));
                return CONFD_OK;
            }
        return confd_client::set_err(CONFD_ERR_BADTYPE, "\"%s\" is not a label of the type", str);
    }
    if (type->kind == 2) {
        uint64_t bits = 0;
        std::string s = str;
        size_t pos = 0;
        while (pos < s.size()) {
            size_t end = s.find(' ', pos);
            std::string word = s.substr(pos, end == std::string::npos ? end : end - pos);
            pos = end == std::string::npos ? s.size() : end + 1;
            if (word.empty())
                continue;
            bool found = false;
            for (const auto &[p, label] : type->items)
                if (label == word) {
                    bits |= uint64_t{1} << p;
                    found = true;
                }
            if (!found)
                return confd_client::set_err(CONFD_ERR_BADTYPE, "\"%s\" is not a bit of the type",
                                             word.c_str());
        }
        if (type->shallow == C_BIT64)
            CONFD_SET_BIT64(val, bits);
        else
            CONFD_SET_BIT32(val, static_cast<uint32_t>(bits));
        return CONFD_OK;
    }
    char *end = nullptr;
    errno = 0;
    switch (type->shallow) {
        case C_BUF: {
            size_t n = strlen(str);
            auto *p = static_cast<unsigned char *>(std::malloc(n + 1));
            if (!p)
                return confd_client::set_err(CONFD_ERR_MALLOC, "out of memory");
            std::memcpy(p, str, n + 1);
            CONFD_SET_BUF(val, p, n);
            return CONFD_OK;
        }
        case C_INT8:
        case C_INT16:
        case C_INT32:
        case C_INT64:
        case C_UINT8:
        case C_UINT16:
        case C_UINT32:
        case C_UINT64: {
            const bool is_signed = type->shallow <= C_INT64;
            const uint64_t x =
                is_signed ? static_cast<uint64_t>(strtoll(str, &end, 10)) : strtoull(str, &end, 10);
            if (errno || end == str || *end)
                break;
            // The value must fit the type's width: "300" is no uint8.
            const int bits = 8 << (type->shallow - (is_signed ? C_INT8 : C_UINT8));
            if (bits < 64) {
                const int64_t sx = static_cast<int64_t>(x);
                const bool fits =
                    is_signed ? sx >= -(int64_t{1} << (bits - 1)) && sx < (int64_t{1} << (bits - 1))
                              : x < (uint64_t{1} << bits);
                if (!fits)
                    return confd_client::set_err(CONFD_ERR_BADTYPE,
                                                 "\"%s\" is out of range for the type", str);
            }
            val->type = type->shallow;
            confd_wire::set_scalar(*val, type->shallow, x);
            return CONFD_OK;
        }
        case C_BOOL:
            if (!strcmp(str, "true") || !strcmp(str, "false")) {
                CONFD_SET_BOOL(val, str[0] == 't');
                return CONFD_OK;
            }
            break;
        case C_IPV4: {
            in_addr a;
            if (inet_pton(AF_INET, str, &a) == 1) {
                CONFD_SET_IPV4(val, a);
                return CONFD_OK;
            }
            break;
        }
        case C_IPV6: {
            in6_addr a;
            if (inet_pton(AF_INET6, str, &a) == 1) {
                CONFD_SET_IPV6(val, a);
                return CONFD_OK;
            }
            break;
        }
        default:
            break;
    }
    return confd_client::set_err(CONFD_ERR_BADTYPE, "\"%s\" is not a valid value of the type", str);
}
