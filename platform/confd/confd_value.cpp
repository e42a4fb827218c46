// Client library values: freeing, copying, comparing and printing values and key paths.
#include <arpa/inet.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/confd/confd_client.h"
#include "platform/confd/confd_lib.h"

namespace {

// The value types whose body is a counted buffer (val.buf) the value owns.
bool owns_buffer(int type) {
    switch (type) {
        case C_BUF:
        case C_BINARY:
        case C_HEXSTR:
        case C_QNAME:
        case C_OID:
        case C_OBJECTREF:
            return true;
        default:
            return false;
    }
}

}  // namespace

namespace {

// Frees what a value other than a list owns.
void free_scalar(confd_value_t *v) {
    if (owns_buffer(v->type)) {
        std::free(v->val.buf.ptr);
        v->val.buf.ptr = nullptr;
        v->val.buf.size = 0;
    } else if (v->type == C_STR) {
        std::free(v->val.s);
        v->val.s = nullptr;
    }
}

}  // namespace

extern "C" void confd_free_value(confd_value_t *v) {
    if (!v)
        return;
    if (v->type != C_LIST)
        return free_scalar(v);
    // Nested lists are freed from a work list, not by recursion: no nesting depth, however a
    // value was built, can exhaust the stack.
    std::vector<std::pair<confd_value_t *, unsigned>> lists{{v->val.list.ptr, v->val.list.size}};
    v->val.list.ptr = nullptr;
    v->val.list.size = 0;
    while (!lists.empty()) {
        auto [items, n] = lists.back();
        lists.pop_back();
        for (unsigned i = 0; items && i < n; ++i) {
            if (items[i].type == C_LIST)
                lists.emplace_back(items[i].val.list.ptr, items[i].val.list.size);
            else
                free_scalar(&items[i]);
        }
        std::free(items);
    }
}

extern "C" confd_value_t *confd_value_dup_to(const confd_value_t *v, confd_value_t *newv) {
    if (!v || !newv)
        return nullptr;
    confd_value_t out = *v;
    if (owns_buffer(v->type)) {
        auto *p = static_cast<unsigned char *>(std::malloc(v->val.buf.size + 1));
        if (!p)
            return nullptr;
        if (v->val.buf.size)
            std::memcpy(p, v->val.buf.ptr, v->val.buf.size);
        p[v->val.buf.size] = 0;
        out.val.buf.ptr = p;
    } else if (v->type == C_STR) {
        out.val.s = strdup(v->val.s ? v->val.s : "");
        if (!out.val.s)
            return nullptr;
    } else if (v->type == C_LIST) {
        const unsigned n = v->val.list.size;
        auto *items = static_cast<confd_value_t *>(std::calloc(n ? n : 1, sizeof(confd_value_t)));
        if (!items)
            return nullptr;
        for (unsigned i = 0; i < n; ++i) {
            if (!confd_value_dup_to(&v->val.list.ptr[i], &items[i])) {
                for (unsigned j = 0; j < i; ++j)
                    confd_free_value(&items[j]);
                std::free(items);
                return nullptr;
            }
        }
        out.val.list.ptr = items;
    }
    *newv = out;
    return newv;
}

extern "C" confd_value_t *confd_value_dup(const confd_value_t *v) {
    auto *nv = static_cast<confd_value_t *>(std::malloc(sizeof(confd_value_t)));
    if (nv && !confd_value_dup_to(v, nv)) {
        std::free(nv);
        return nullptr;
    }
    return nv;
}

extern "C" int confd_val_eq(const confd_value_t *a, const confd_value_t *b) {
    if (a->type != b->type)
        return 0;
    switch (a->type) {
        case C_BUF:
        case C_BINARY:
        case C_HEXSTR:
            return a->val.buf.size == b->val.buf.size &&
                   (a->val.buf.size == 0 ||
                    std::memcmp(a->val.buf.ptr, b->val.buf.ptr, a->val.buf.size) == 0);
        case C_STR:
            return std::strcmp(a->val.s ? a->val.s : "", b->val.s ? b->val.s : "") == 0;
        case C_LIST:
            if (a->val.list.size != b->val.list.size)
                return 0;
            for (unsigned i = 0; i < a->val.list.size; ++i)
                if (!confd_val_eq(&a->val.list.ptr[i], &b->val.list.ptr[i]))
                    return 0;
            return 1;
        case C_NOEXISTS:
            return 1;
        case C_XMLTAG:
        case C_XMLBEGIN:
        case C_XMLEND:
        case C_XMLBEGINDEL:
            return a->val.xmltag.tag == b->val.xmltag.tag && a->val.xmltag.ns == b->val.xmltag.ns;
        case C_INT8:
            return a->val.i8 == b->val.i8;
        case C_INT16:
            return a->val.i16 == b->val.i16;
        case C_INT32:
            return a->val.i32 == b->val.i32;
        case C_INT64:
            return a->val.i64 == b->val.i64;
        case C_UINT8:
            return a->val.u8 == b->val.u8;
        case C_UINT16:
            return a->val.u16 == b->val.u16;
        case C_UINT32:
        case C_BIT32:
            return a->val.u32 == b->val.u32;
        case C_UINT64:
        case C_BIT64:
            return a->val.u64 == b->val.u64;
        case C_BOOL:
            return (a->val.boolean != 0) == (b->val.boolean != 0);
        case C_ENUM_VALUE:
            return a->val.enumvalue == b->val.enumvalue;
        case C_DOUBLE:
            return a->val.d == b->val.d;
        case C_IPV4:
            return a->val.ip.s_addr == b->val.ip.s_addr;
        case C_IPV6:
            return std::memcmp(&a->val.ip6, &b->val.ip6, 16) == 0;
        case C_IPV4PREFIX:
            return a->val.ipv4prefix.ip.s_addr == b->val.ipv4prefix.ip.s_addr &&
                   a->val.ipv4prefix.len == b->val.ipv4prefix.len;
        case C_IPV6PREFIX:
            return std::memcmp(&a->val.ipv6prefix.ip6, &b->val.ipv6prefix.ip6, 16) == 0 &&
                   a->val.ipv6prefix.len == b->val.ipv6prefix.len;
        case C_DECIMAL64:
            return a->val.d64.value == b->val.d64.value &&
                   a->val.d64.fraction_digits == b->val.d64.fraction_digits;
        case C_DATETIME: {
            const auto &x = a->val.datetime, &y = b->val.datetime;
            return x.year == y.year && x.month == y.month && x.day == y.day && x.hour == y.hour &&
                   x.min == y.min && x.sec == y.sec && x.micro == y.micro &&
                   x.timezone == y.timezone && x.timezone_minutes == y.timezone_minutes;
        }
        case C_IDENTITYREF:
            return a->val.idref.ns == b->val.idref.ns && a->val.idref.id == b->val.idref.id;
        default:
            return std::memcmp(&a->val, &b->val, sizeof a->val) == 0;
    }
}

namespace {

std::string pp_value(const confd_value_t *v) {
    char buf[128];
    switch (v->type) {
        case C_NOEXISTS:
            return "NOEXISTS";
        case C_XMLTAG:
        case C_XMLBEGIN:
        case C_XMLEND:
        case C_XMLBEGINDEL: {
            const char *name = confd_hash2str(v->val.xmltag.tag);
            if (name)
                return name;
            return std::to_string(v->val.xmltag.tag);
        }
        case C_BUF:
        case C_BINARY:
        case C_HEXSTR:
            return std::string(reinterpret_cast<const char *>(v->val.buf.ptr), v->val.buf.size);
        case C_STR:
            return v->val.s ? v->val.s : "";
        case C_INT8:
            return std::to_string(v->val.i8);
        case C_INT16:
            return std::to_string(v->val.i16);
        case C_INT32:
            return std::to_string(v->val.i32);
        case C_INT64:
            return std::to_string(v->val.i64);
        case C_UINT8:
            return std::to_string(v->val.u8);
        case C_UINT16:
            return std::to_string(v->val.u16);
        case C_UINT32:
            return std::to_string(v->val.u32);
        case C_UINT64:
            return std::to_string(v->val.u64);
        case C_ENUM_VALUE:
            return std::to_string(v->val.enumvalue);
        case C_BIT32:
            snprintf(buf, sizeof buf, "0x%x", v->val.b32);
            return buf;
        case C_BIT64:
            snprintf(buf, sizeof buf, "0x%" PRIx64, v->val.b64);
            return buf;
        case C_BOOL:
            return v->val.boolean ? "true" : "false";
        case C_DOUBLE:
            snprintf(buf, sizeof buf, "%g", v->val.d);
            return buf;
        case C_IPV4:
            inet_ntop(AF_INET, &v->val.ip, buf, sizeof buf);
            return buf;
        case C_IPV6:
            inet_ntop(AF_INET6, &v->val.ip6, buf, sizeof buf);
            return buf;
        case C_IPV4PREFIX:
            inet_ntop(AF_INET, &v->val.ipv4prefix.ip, buf, sizeof buf);
            return std::string(buf) + "/" + std::to_string(v->val.ipv4prefix.len);
        case C_IPV6PREFIX:
            inet_ntop(AF_INET6, &v->val.ipv6prefix.ip6, buf, sizeof buf);
            return std::string(buf) + "/" + std::to_string(v->val.ipv6prefix.len);
        case C_DECIMAL64: {
            const int64_t val = v->val.d64.value;
            const int fd = v->val.d64.fraction_digits > 18 ? 18 : v->val.d64.fraction_digits;
            uint64_t mag =
                val < 0 ? static_cast<uint64_t>(-(val + 1)) + 1 : static_cast<uint64_t>(val);
            uint64_t div = 1;
            for (int i = 0; i < fd; ++i)
                div *= 10;
            std::string frac = std::to_string(fd ? mag % div : 0);
            if (static_cast<int>(frac.size()) < (fd ? fd : 1))
                frac.insert(0, static_cast<size_t>((fd ? fd : 1) - static_cast<int>(frac.size())),
                            '0');
            return std::string(val < 0 ? "-" : "") + std::to_string(mag / div) + "." + frac;
        }
        case C_DATETIME: {
            const auto &d = v->val.datetime;
            snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02u:%02u:%02u", d.year, d.month, d.day,
                     d.hour, d.min, d.sec);
            std::string s = buf;
            if (d.micro) {
                snprintf(buf, sizeof buf, ".%06u", d.micro);
                s += buf;
            }
            if (d.timezone == 0 && d.timezone_minutes == 0) {
                s += "Z";
            } else {
                snprintf(buf, sizeof buf, "%c%02d:%02d", d.timezone < 0 ? '-' : '+',
                         d.timezone < 0 ? -d.timezone : d.timezone,
                         d.timezone_minutes < 0 ? -d.timezone_minutes : d.timezone_minutes);
                s += buf;
            }
            return s;
        }
        case C_LIST: {
            std::string s = "[";
            for (unsigned i = 0; i < v->val.list.size; ++i) {
                if (i)
                    s += " ";
                s += pp_value(&v->val.list.ptr[i]);
            }
            return s + "]";
        }
        case C_IDENTITYREF: {
            const char *name = confd_hash2str(v->val.idref.id);
            return name ? name : std::to_string(v->val.idref.id);
        }
        default:
            return "<unknown value>";
    }
}

}  // namespace

int confd_client::copy_out(const std::string &s, char *buf, int bufsiz) {
    if (buf && bufsiz > 0)
        snprintf(buf, static_cast<size_t>(bufsiz), "%s", s.c_str());
    return static_cast<int>(s.size());
}

extern "C" int confd_pp_value(char *buf, int bufsiz, const confd_value_t *v) {
    return confd_client::copy_out(pp_value(v), buf, bufsiz);
}

extern "C" int confd_pp_kpath(char *buf, int bufsiz, const confd_hkeypath_t *kp) {
    std::string s;
    for (int i = kp->len - 1; i >= 0; --i) {
        const confd_value_t *e = kp->v[i];
        if (e[0].type == C_XMLTAG) {
            s += '/';
            s += pp_value(&e[0]);
            continue;
        }
        s += "{";
        for (int k = 0; k < MAXKEYLEN && e[k].type != C_NOEXISTS; ++k) {
            if (k)
                s += " ";
            std::string key = pp_value(&e[k]);
            if (key.empty() || key.find_first_of(" \"{}") != std::string::npos)
                key = "\"" + key + "\"";
            s += key;
        }
        s += "}";
    }
    return confd_client::copy_out(s, buf, bufsiz);
}
