#include "platform/confd/confd_wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace confd_wire {

WireWriter::WireWriter(Op op, uint16_t status) {
    buf_.resize(4);
    u16(static_cast<uint16_t>(op));
    u16(status);
}

void WireWriter::bytes(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    buf_.insert(buf_.end(), b, b + n);
}

void WireWriter::str(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    bytes(s.data(), s.size());
}

bool WireWriter::value(const confd_value_t &v, unsigned depth) {
    const size_t mark = buf_.size();
    u8(static_cast<uint8_t>(v.type));
    switch (v.type) {
        case C_NOEXISTS:
        case C_XMLTAG:
        case C_XMLBEGIN:
        case C_XMLEND:
        case C_XMLBEGINDEL:
            u32(v.val.xmltag.tag);
            u32(v.val.xmltag.ns);
            return true;
        case C_BUF:
        case C_BINARY:
        case C_HEXSTR:
            u32(v.val.buf.size);
            bytes(v.val.buf.ptr, v.val.buf.size);
            return true;
        case C_STR:
            str(v.val.s ? std::string_view(v.val.s) : std::string_view());
            return true;
        case C_INT8:
            u64(static_cast<uint64_t>(static_cast<int64_t>(v.val.i8)));
            return true;
        case C_INT16:
            u64(static_cast<uint64_t>(static_cast<int64_t>(v.val.i16)));
            return true;
        case C_INT32:
            u64(static_cast<uint64_t>(static_cast<int64_t>(v.val.i32)));
            return true;
        case C_INT64:
            u64(static_cast<uint64_t>(v.val.i64));
            return true;
        case C_UINT8:
            u64(v.val.u8);
            return true;
        case C_UINT16:
            u64(v.val.u16);
            return true;
        case C_UINT32:
        case C_BIT32:
        case C_SYMBOL:
            u64(v.val.u32);
            return true;
        case C_UINT64:
        case C_BIT64:
            u64(v.val.u64);
            return true;
        case C_BOOL:
            u64(v.val.boolean ? 1 : 0);
            return true;
        case C_ENUM_VALUE:
            u64(static_cast<uint64_t>(static_cast<int64_t>(v.val.enumvalue)));
            return true;
        case C_DOUBLE: {
            uint64_t bits;
            std::memcpy(&bits, &v.val.d, sizeof bits);
            u64(bits);
            return true;
        }
        case C_IPV4:
            bytes(&v.val.ip, 4);
            return true;
        case C_IPV6:
            bytes(&v.val.ip6, 16);
            return true;
        case C_IPV4PREFIX:
            bytes(&v.val.ipv4prefix.ip, 4);
            u8(v.val.ipv4prefix.len);
            return true;
        case C_IPV6PREFIX:
            bytes(&v.val.ipv6prefix.ip6, 16);
            u8(v.val.ipv6prefix.len);
            return true;
        case C_DATETIME: {
            const auto &d = v.val.datetime;
            u16(static_cast<uint16_t>(d.year));
            u8(d.month);
            u8(d.day);
            u8(d.hour);
            u8(d.min);
            u8(d.sec);
            u32(d.micro);
            u8(static_cast<uint8_t>(d.timezone));
            u8(static_cast<uint8_t>(d.timezone_minutes));
            return true;
        }
        case C_DECIMAL64:
            u64(static_cast<uint64_t>(v.val.d64.value));
            u8(v.val.d64.fraction_digits);
            return true;
        case C_IDENTITYREF:
            u32(v.val.idref.ns);
            u32(v.val.idref.id);
            return true;
        case C_LIST:
            if (depth >= kMaxValueDepth) {
                buf_.resize(mark);
                return false;
            }
            u32(v.val.list.size);
            for (unsigned i = 0; i < v.val.list.size; ++i) {
                if (!value(v.val.list.ptr[i], depth + 1)) {
                    buf_.resize(mark);
                    return false;
                }
            }
            return true;
        default:
            buf_.resize(mark);
            return false;
    }
}

bool WireWriter::tagged(const confd_tag_value_t &tv) {
    const size_t mark = buf_.size();
    u32(tv.tag.tag);
    u32(tv.tag.ns);
    if (!value(tv.v)) {
        buf_.resize(mark);
        return false;
    }
    return true;
}

bool WireWriter::tagged_list(std::span<const confd_tag_value_t> tvs) {
    u32(static_cast<uint32_t>(tvs.size()));
    for (const auto &tv : tvs)
        if (!tagged(tv))
            return false;
    return true;
}

bool WireWriter::keypath(const confd_hkeypath_t &kp) {
    const size_t mark = buf_.size();
    if (kp.len < 0 || kp.len > MAXDEPTH)
        return false;
    u32(static_cast<uint32_t>(kp.len));
    for (int i = kp.len - 1; i >= 0; --i) {
        uint8_t n = 0;
        while (n < MAXKEYLEN && kp.v[i][n].type != C_NOEXISTS)
            ++n;
        u8(n);
        for (uint8_t k = 0; k < n; ++k) {
            if (!value(kp.v[i][k])) {
                buf_.resize(mark);
                return false;
            }
        }
    }
    return true;
}

const std::vector<uint8_t> &WireWriter::finish() {
    const auto len = static_cast<uint32_t>(buf_.size() - 4);
    for (int i = 0; i < 4; ++i)
        buf_[i] = static_cast<uint8_t>(len >> (8 * i));
    return buf_;
}

bool WireReader::i32(int32_t &v) {
    uint32_t u;
    if (!u32(u))
        return false;
    v = static_cast<int32_t>(u);
    return true;
}

bool WireReader::str(std::string &s) {
    uint32_t n;
    const uint8_t *p;
    if (!u32(n) || !take(n, p))
        return false;
    s.assign(reinterpret_cast<const char *>(p), n);
    return true;
}

bool WireReader::bytes(void *out, size_t n) {
    const uint8_t *p;
    if (!take(n, p))
        return false;
    std::memcpy(out, p, n);
    return true;
}

template <bool Keep>
bool WireReader::value_as(confd_value_t &v, unsigned depth) {
    if (Keep)
        std::memset(&v, 0, sizeof v);
    v.type = C_NOEXISTS;
    uint8_t t;
    if (!u8(t))
        return false;
    // A code past the last type is refused before it becomes a confd_vtype: the enumeration
    // cannot hold every byte value.
    if (t >= C_MAXTYPE) {
        ok_ = false;
        return false;
    }
    const auto type = static_cast<confd_vtype>(t);
    uint64_t u = 0;
    switch (type) {
        case C_NOEXISTS:
        case C_XMLTAG:
        case C_XMLBEGIN:
        case C_XMLEND:
        case C_XMLBEGINDEL:
            if (!u32(v.val.xmltag.tag) || !u32(v.val.xmltag.ns))
                return false;
            break;
        case C_BUF:
        case C_BINARY:
        case C_HEXSTR: {
            uint32_t n;
            const uint8_t *p;
            if (!u32(n) || !take(n, p))
                return false;
            if (!Keep)
                break;
            auto *mem = static_cast<unsigned char *>(std::malloc(n + 1));
            if (!mem) {
                ok_ = false;
                return false;
            }
            std::memcpy(mem, p, n);
            mem[n] = 0;
            v.val.buf.ptr = mem;
            v.val.buf.size = n;
            break;
        }
        case C_STR: {
            if (!Keep) {
                uint32_t n;
                const uint8_t *p;
                if (!u32(n) || !take(n, p))
                    return false;
                break;
            }
            std::string s;
            if (!str(s))
                return false;
            v.val.s = strdup(s.c_str());
            if (!v.val.s) {
                ok_ = false;
                return false;
            }
            break;
        }
        case C_INT8:
        case C_INT16:
        case C_INT32:
        case C_INT64:
        case C_UINT8:
        case C_UINT16:
        case C_UINT32:
        case C_UINT64:
        case C_BIT32:
        case C_BIT64:
        case C_SYMBOL:
        case C_BOOL:
        case C_ENUM_VALUE:
        case C_DOUBLE:
            if (!u64(u))
                return false;
            set_scalar(v, type, u);
            break;
        case C_IPV4:
            if (!bytes(&v.val.ip, 4))
                return false;
            break;
        case C_IPV6:
            if (!bytes(&v.val.ip6, 16))
                return false;
            break;
        case C_IPV4PREFIX:
            if (!bytes(&v.val.ipv4prefix.ip, 4) || !u8(v.val.ipv4prefix.len))
                return false;
            break;
        case C_IPV6PREFIX:
            if (!bytes(&v.val.ipv6prefix.ip6, 16) || !u8(v.val.ipv6prefix.len))
                return false;
            break;
        case C_DATETIME: {
            auto &d = v.val.datetime;
            uint16_t y;
            uint8_t tz, tzm;
            if (!u16(y) || !u8(d.month) || !u8(d.day) || !u8(d.hour) || !u8(d.min) || !u8(d.sec) ||
                !u32(d.micro) || !u8(tz) || !u8(tzm))
                return false;
            d.year = static_cast<int16_t>(y);
            d.timezone = static_cast<int8_t>(tz);
            d.timezone_minutes = static_cast<int8_t>(tzm);
            break;
        }
        case C_DECIMAL64:
            if (!u64(u) || !u8(v.val.d64.fraction_digits))
                return false;
            v.val.d64.value = static_cast<int64_t>(u);
            break;
        case C_IDENTITYREF:
            if (!u32(v.val.idref.ns) || !u32(v.val.idref.id))
                return false;
            break;
        case C_LIST: {
            uint32_t n;
            if (!u32(n))
                return false;
            if (depth >= kMaxValueDepth) {
                ok_ = false;
                return false;
            }
            if (n > static_cast<size_t>(end_ - p_)) {  // each element takes at least one byte
                ok_ = false;
                return false;
            }
            if (!Keep) {
                confd_value_t item;
                for (uint32_t i = 0; i < n; ++i) {
                    if (!value_as<false>(item, depth + 1))
                        return false;
                }
                break;
            }
            auto *items =
                static_cast<confd_value_t *>(std::calloc(n ? n : 1, sizeof(confd_value_t)));
            if (!items) {
                ok_ = false;
                return false;
            }
            v.type = C_LIST;
            v.val.list.ptr = items;
            v.val.list.size = 0;
            for (uint32_t i = 0; i < n; ++i) {
                if (!value_as<true>(items[i], depth + 1)) {
                    confd_free_value(&v);
                    v.type = C_NOEXISTS;
                    return false;
                }
                v.val.list.size = i + 1;
            }
            break;
        }
        default:
            ok_ = false;
            return false;
    }
    v.type = type;
    return true;
}

template bool WireReader::value_as<true>(confd_value_t &, unsigned);

namespace {

// Bytes after the type code of the encodings of fixed size (value_as above); 0 for the others.
constexpr std::array<uint8_t, C_MAXTYPE> kFixedSize = [] {
    std::array<uint8_t, C_MAXTYPE> t{};
    for (int c :
         {C_NOEXISTS, C_XMLTAG, C_XMLBEGIN, C_XMLEND, C_XMLBEGINDEL, C_IDENTITYREF, C_INT8,
          C_INT16,    C_INT32,  C_INT64,    C_UINT8,  C_UINT16,      C_UINT32,      C_UINT64,
          C_BIT32,    C_BIT64,  C_SYMBOL,   C_BOOL,   C_ENUM_VALUE,  C_DOUBLE})
        t[c] = 8;
    t[C_IPV4] = 4;
    t[C_IPV6] = 16;
    t[C_IPV4PREFIX] = 5;
    t[C_IPV6PREFIX] = 17;
    t[C_DATETIME] = 13;
    t[C_DECIMAL64] = 9;
    return t;
}();

}  // namespace

// Fixed-size values and byte strings are stepped over by their length alone (a notification
// carries tens of thousands of them, most never decoded); lists and bad codes take the
// decoding way, which checks them.
bool WireReader::skip_value() {
    const size_t left = static_cast<size_t>(end_ - p_);
    if (ok_ && left > 0 && p_[0] < C_MAXTYPE) {
        const uint8_t t = p_[0];
        if (const size_t n = kFixedSize[t]; n && left > n) {
            p_ += 1 + n;
            return true;
        }
        if ((t == C_BUF || t == C_STR || t == C_BINARY || t == C_HEXSTR) && left >= 5) {
            uint32_t n;
            std::memcpy(&n, p_ + 1, 4);
            if constexpr (std::endian::native != std::endian::little)
                n = __builtin_bswap32(n);
            if (left - 5 >= n) {
                p_ += 5 + size_t{n};
                return true;
            }
        }
    }
    confd_value_t v;
    return value_as<false>(v, 0);
}

bool WireReader::skip_tagged_list() {
    uint32_t n = 0, tag = 0, ns = 0;
    if (!u32(n))
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        if (!u32(tag) || !u32(ns) || !skip_value())
            return false;
    }
    return true;
}

bool WireReader::tagged(confd_tag_value_t &tv) {
    return u32(tv.tag.tag) && u32(tv.tag.ns) && value(tv.v);
}

bool WireReader::tagged_list(std::vector<confd_tag_value_t> &out) {
    uint32_t n = 0;
    if (!u32(n))
        return false;
    out.reserve(out.size() + (n < 4096 ? n : 4096));
    for (uint32_t i = 0; i < n; ++i) {
        confd_tag_value_t tv{};
        if (!tagged(tv))
            return false;
        out.push_back(tv);
    }
    return true;
}

bool WireReader::keypath(confd_hkeypath_t &kp) {
    uint32_t len;
    if (!u32(len) || len > MAXDEPTH) {
        ok_ = false;
        return false;
    }
    kp.len = static_cast<int>(len);
    // Every element is empty until read, so that free_keypath frees exactly what was read when
    // reading stops part way.
    for (int i = 0; i < kp.len; ++i)
        kp.v[i][0].type = C_NOEXISTS;
    for (int i = static_cast<int>(len) - 1; i >= 0; --i) {
        uint8_t n;
        if (!u8(n) || n > MAXKEYLEN) {
            ok_ = false;
            return false;
        }
        for (uint8_t k = 0; k < n; ++k) {
            if (!value(kp.v[i][k]))
                return false;
            // No value marks the end of a key set: one inside it would hide the keys after it.
            if (kp.v[i][k].type == C_NOEXISTS) {
                ok_ = false;
                return false;
            }
        }
        if (n < MAXKEYLEN) {
            kp.v[i][n].type = C_NOEXISTS;
        }
    }
    return true;
}

bool parse_header(const uint8_t *hdr, uint32_t &len, Op &op, uint16_t &status) {
    len = static_cast<uint32_t>(hdr[0]) | (static_cast<uint32_t>(hdr[1]) << 8) |
          (static_cast<uint32_t>(hdr[2]) << 16) | (static_cast<uint32_t>(hdr[3]) << 24);
    op = static_cast<Op>(hdr[4] | (hdr[5] << 8));
    status = static_cast<uint16_t>(hdr[6] | (hdr[7] << 8));
    return len >= 4 && len <= kMaxFrame;
}

int send_all(int fd, const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    while (n > 0) {
        ssize_t w = ::send(fd, b, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE || errno == ECONNRESET)
                return CONFD_EOF;
            return CONFD_ERR;
        }
        b += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

static int read_exact(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r == 0)
            return CONFD_EOF;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ECONNRESET)
                return CONFD_EOF;
            return CONFD_ERR;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

int read_frame(int fd, Frame &out) {
    uint8_t hdr[kHeaderSize];
    int rc = read_exact(fd, hdr, sizeof hdr);
    if (rc != 0)
        return rc;
    uint32_t len;
    if (!parse_header(hdr, len, out.op, out.status)) {
        errno = EPROTO;
        return CONFD_ERR;
    }
    out.payload.resize(len - 4);
    return out.payload.empty() ? 0 : read_exact(fd, out.payload.data(), out.payload.size());
}

std::vector<uint8_t> error_frame(Op op, int code, std::string_view msg) {
    WireWriter w(op, kStatusError);
    w.i32(code);
    w.str(msg);
    return w.finish();
}

void free_keypath(confd_hkeypath_t &kp) {
    for (int i = 0; i < kp.len; ++i)
        for (int k = 0; k < MAXKEYLEN && kp.v[i][k].type != C_NOEXISTS; ++k)
            confd_free_value(&kp.v[i][k]);
    kp.len = 0;
}

void set_scalar(confd_value_t &v, confd_vtype type, uint64_t u) {
    switch (type) {
        case C_INT8:
            v.val.i8 = static_cast<int8_t>(u);
            break;
        case C_INT16:
            v.val.i16 = static_cast<int16_t>(u);
            break;
        case C_INT32:
            v.val.i32 = static_cast<int32_t>(u);
            break;
        case C_INT64:
            v.val.i64 = static_cast<int64_t>(u);
            break;
        case C_UINT8:
            v.val.u8 = static_cast<uint8_t>(u);
            break;
        case C_UINT16:
            v.val.u16 = static_cast<uint16_t>(u);
            break;
        case C_UINT32:
        case C_BIT32:
        case C_SYMBOL:
            v.val.u32 = static_cast<uint32_t>(u);
            break;
        case C_UINT64:
        case C_BIT64:
            v.val.u64 = u;
            break;
        case C_BOOL:
            v.val.boolean = u != 0;
            break;
        case C_ENUM_VALUE:
            v.val.enumvalue = static_cast<int32_t>(u);
            break;
        case C_DOUBLE:
            std::memcpy(&v.val.d, &u, sizeof u);
            break;
        default:
            break;
    }
}

uint32_t name_hash(std::string_view name) {
    uint32_t h = 2166136261u;
    for (unsigned char c : name) {
        h ^= c;
        h *= 16777619u;
    }
    return h & 0x7fffffffu;
}

}  // namespace confd_wire
