#include "platform/hbus/hbus_msg.h"

#include <array>
#include <cstring>
#include <span>

#include "common/byte_order.h"

namespace {

constexpr uint8_t kMagic0 = 0x48;  // 'H'
constexpr uint8_t kMagic1 = 0x42;  // 'B'
constexpr uint16_t kTagOpaque = 100;
constexpr uint32_t kBodyStart = 8;
constexpr uint32_t kAttrHdrLen = 4;

struct Field {
    uint16_t tag;
    uint16_t offset;  // in the record
    uint8_t size;
};

constexpr std::array<Field, 3> kSubscribeFields{{
    {1, offsetof(hbus_msg, selector), 4},
    {2, offsetof(hbus_msg, flag_a), 1},
    {3, offsetof(hbus_msg, flag_b), 1},
}};
constexpr std::array<Field, 9> kTlocFields{{
    {4, offsetof(hbus_msg, family), 4},
    {5, offsetof(hbus_msg, originator), 4},
    {6, offsetof(hbus_msg, color), 1},
    {7, offsetof(hbus_msg, encap), 1},
    {8, offsetof(hbus_msg, local), 1},
    {9, offsetof(hbus_msg, status), 4},
    {10, offsetof(hbus_msg, index), 4},
    {11, offsetof(hbus_msg, preference), 4},
    {12, offsetof(hbus_msg, weight), 4},
}};

// The named fields of a message type; empty for types whose body is opaque.
std::span<const Field> fields_of(uint32_t type) {
    switch (type) {
        case HBUS_MSG_SUBSCRIBE:
            return kSubscribeFields;
        case HBUS_MSG_TLOC_UPDATE:
        case HBUS_MSG_TLOC_WITHDRAW:
            return kTlocFields;
        default:
            return {};
    }
}

const Field *field_by_tag(uint16_t tag) {
    for (const Field &f : kSubscribeFields)
        if (f.tag == tag)
            return &f;
    for (const Field &f : kTlocFields)
        if (f.tag == tag)
            return &f;
    return nullptr;
}

// A field's value as a number (host order in the record, any size up to 4).
uint32_t read_field(const hbus_msg &rec, const Field &f) {
    const auto *base = reinterpret_cast<const uint8_t *>(&rec);
    if (f.size == 1)
        return base[f.offset];
    uint32_t v;
    std::memcpy(&v, base + f.offset, sizeof v);
    return v;
}
void write_field(hbus_msg &rec, const Field &f, uint32_t v) {
    auto *base = reinterpret_cast<uint8_t *>(&rec);
    if (f.size == 1)
        base[f.offset] = static_cast<uint8_t>(v);
    else
        std::memcpy(base + f.offset, &v, sizeof v);
}

plx::Status refuse(hbus_msg *rec, std::string *err, std::string why) {
    std::memset(rec, 0, sizeof *rec);
    if (err)
        *err = std::move(why);
    return PLX_EINVAL;
}

}  // namespace

plx::Status hbus_msg_encode(const hbus_msg *rec, uint8_t *out, uint16_t *out_len) {
    if (!rec || !out || !out_len)
        return PLX_EINVAL;
    uint32_t pos = HBUS_WIRE_HDR_LEN;
    std::span<const Field> fields = fields_of(rec->type);
    for (const Field &f : fields) {
        put_be16(out + pos, f.tag);
        put_be16(out + pos + 2, f.size);
        uint32_t v = read_field(*rec, f);
        if (f.size == 1)
            out[pos + kAttrHdrLen] = static_cast<uint8_t>(v);
        else
            put_be32(out + pos + kAttrHdrLen, v);
        pos += kAttrHdrLen + f.size;
    }
    if (fields.empty()) {
        const auto *body = reinterpret_cast<const uint8_t *>(rec) + kBodyStart;
        uint32_t used = HBUS_RECORD_SIZE - kBodyStart;
        while (used > 0 && body[used - 1] == 0)
            --used;
        if (used > 0) {
            if (pos + kAttrHdrLen + 2 + used > HBUS_WIRE_MAX)
                return PLX_EINVAL;
            put_be16(out + pos, kTagOpaque);
            put_be16(out + pos + 2, 2 + used);
            put_be16(out + pos + 4, kBodyStart);
            std::memcpy(out + pos + 6, body, used);
            pos += kAttrHdrLen + 2 + used;
        }
    }
    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = HBUS_WIRE_VERSION;
    out[3] = 0;
    put_be32(out + 4, rec->type);
    put_be32(out + 8, rec->source);
    put_be16(out + 12, pos - HBUS_WIRE_HDR_LEN);
    *out_len = static_cast<uint16_t>(pos);
    return PLX_OK;
}

plx::Status hbus_msg_decode(hbus_msg *rec, const uint8_t *in, uint32_t len, std::string *err) {
    if (!rec)
        return PLX_EINVAL;
    std::memset(rec, 0, sizeof *rec);
    if (!in || len < HBUS_WIRE_HDR_LEN)
        return refuse(rec, err, "truncated header (" + std::to_string(len) + " bytes)");
    if (len > HBUS_WIRE_MAX)
        return refuse(rec, err, "oversized message (" + std::to_string(len) + " bytes)");
    if (in[0] != kMagic0 || in[1] != kMagic1)
        return refuse(rec, err, "bad magic");
    if (in[2] != HBUS_WIRE_VERSION)
        return refuse(rec, err, "unsupported version " + std::to_string(in[2]));
    uint32_t area = get_be16(in + 12);
    if (HBUS_WIRE_HDR_LEN + area != len)
        return refuse(rec, err,
                      "attribute area of " + std::to_string(area) + " bytes in a message of " +
                          std::to_string(len) + " bytes");
    rec->type = get_be32(in + 4);
    rec->source = get_be32(in + 8);
    std::span<const Field> allowed = fields_of(rec->type);
    uint32_t seen = 0;  // bit per tag
    for (uint32_t pos = HBUS_WIRE_HDR_LEN; pos < len;) {
        if (len - pos < kAttrHdrLen)
            return refuse(rec, err, "truncated attribute header at byte " + std::to_string(pos));
        uint16_t tag = get_be16(in + pos);
        uint16_t vlen = get_be16(in + pos + 2);
        const uint8_t *value = in + pos + kAttrHdrLen;
        if (len - pos - kAttrHdrLen < vlen)
            return refuse(rec, err, "truncated attribute " + std::to_string(tag));
        pos += kAttrHdrLen + vlen;
        if (tag == kTagOpaque) {
            if (!allowed.empty())
                return refuse(rec, err,
                              "opaque body in a message of type " + std::to_string(rec->type));
            if (vlen < 2)
                return refuse(rec, err, "opaque body without its offset");
            uint32_t off = get_be16(value);
            uint32_t n = vlen - 2u;
            if (off < kBodyStart || off + n > HBUS_RECORD_SIZE)
                return refuse(rec, err,
                              "opaque body of " + std::to_string(n) + " bytes at offset " +
                                  std::to_string(off));
            std::memcpy(reinterpret_cast<uint8_t *>(rec) + off, value + 2, n);
            continue;
        }
        const Field *f = field_by_tag(tag);
        if (!f)
            return refuse(rec, err, "unknown attribute " + std::to_string(tag));
        bool ours = false;
        for (const Field &a : allowed)
            ours = ours || a.tag == tag;
        if (!ours)
            return refuse(rec, err,
                          "attribute " + std::to_string(tag) + " in a message of type " +
                              std::to_string(rec->type));
        if (vlen != f->size)
            return refuse(rec, err,
                          "attribute " + std::to_string(tag) + " of " + std::to_string(vlen) +
                              " bytes, expected " + std::to_string(f->size));
        if (seen & (1u << tag))
            return refuse(rec, err, "attribute " + std::to_string(tag) + " given twice");
        seen |= 1u << tag;
        write_field(*rec, *f, f->size == 1 ? value[0] : get_be32(value));
    }
    return PLX_OK;
}
