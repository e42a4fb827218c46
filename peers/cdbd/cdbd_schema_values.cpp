// Conversion between libyang values and client values, both ways.
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

}  // namespace

const lysc_type *resolve_type(const lysc_type *t) {
    while (t && t->basetype == LY_TYPE_LEAFREF)
        t = reinterpret_cast<const lysc_type_leafref *>(t)->realtype;
    return t;
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

}  // namespace cdbd
