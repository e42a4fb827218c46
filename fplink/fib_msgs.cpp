#include "fplink/fib_msgs.h"

#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "common/plx_status.h"

namespace {

int bad(std::string *err, const std::string &why) {
    if (err)
        *err = why;
    return PLX_EINVAL;
}

// A NUL-terminated text inside a fixed field; false when the field has no terminator.
bool field_text(const char *field, size_t len, std::string &out) {
    const void *nul = memchr(field, 0, len);
    if (!nul)
        return false;
    out.assign(field, static_cast<const char *>(nul) - field);
    return true;
}

void copy_text(char *field, size_t len, const std::string &s) {
    size_t n = s.size() < len - 1 ? s.size() : len - 1;
    memcpy(field, s.data(), n);
    field[n] = 0;
}

// Copies the fixed part of a bind or unbind message into w and checks that the n entries of
// `elem` bytes it counts, and nothing else, follow it.
template <class Wire>
int read_fixed(std::span<const uint8_t> in, Wire &w, size_t elem, uint32_t &n, std::string *err) {
    const size_t have = in.size();
    if (have < sizeof w)
        return bad(err, "truncated: " + std::to_string(have) + " bytes, header needs 139");
    memcpy(&w, in.data(), sizeof w);
    n = get_be32(w.count);
    uint64_t want = sizeof w + uint64_t{elem} * n;
    if (have < want)
        return bad(err, "truncated: " + std::to_string(have) + " bytes, count " +
                            std::to_string(n) + " needs " + std::to_string(want));
    if (have > want)
        return bad(err, "oversized: " + std::to_string(have) + " bytes, count " +
                            std::to_string(n) + " needs " + std::to_string(want));
    return PLX_OK;
}

// Fills in the fields that the fixed parts of bind and unbind messages share, with the count n,
// and places w at the start of out.
template <class Msg, class Wire>
void write_fixed(const Msg &m, size_t n, Wire &w, std::vector<uint8_t> &out) {
    w.type = m.type;
    put_be32(w.filter_id, m.filter_id);
    copy_text(w.name, sizeof w.name, m.name);
    put_be32(w.count, static_cast<uint32_t>(n));
    memcpy(out.data(), &w, sizeof w);
}

}  // namespace

uint8_t fib_msg_type(const fib_msg &m) {
    if (auto *p = std::get_if<fib_policy_msg>(&m))
        return p->type;
    if (auto *a = std::get_if<fib_acl_msg>(&m))
        return a->type;
    return FIB_MSG_DPI_OFF;
}

int fib_msg_decode(std::span<const uint8_t> in, fib_msg &out, std::string *err) {
    if (in.empty())
        return bad(err, "empty message");
    uint8_t type = in[0];
    switch (type) {
        case FIB_MSG_POLICY_BIND:
        case FIB_MSG_POLICY_UNBIND: {
            fib_policy_wire w;
            uint32_t n;
            if (int rc = read_fixed(in, w, 4, n, err))
                return rc;
            fib_policy_msg m;
            m.type = type;
            m.filter_type = w.filter_type;
            m.direction = w.direction;
            m.filter_id = get_be32(w.filter_id);
            if (!field_text(w.name, sizeof w.name, m.name))
                return bad(err, "policy name not terminated");
            m.vpn_ids.reserve(n);
            for (uint32_t i = 0; i < n; ++i)
                m.vpn_ids.push_back(get_be32(in.data() + sizeof w + 4 * size_t{i}));
            out = std::move(m);
            return PLX_OK;
        }
        case FIB_MSG_ACL_BIND:
        case FIB_MSG_ACL_UNBIND: {
            fib_acl_wire w;
            uint32_t n;
            if (int rc = read_fixed(in, w, sizeof(fib_acl_binding_wire), n, err))
                return rc;
            if (w.family > 1)
                return bad(err, "bad family " + std::to_string(w.family));
            fib_acl_msg m;
            m.type = type;
            m.family = w.family;
            m.filter_id = get_be32(w.filter_id);
            if (!field_text(w.name, sizeof w.name, m.name))
                return bad(err, "access-list name not terminated");
            m.bindings.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                fib_acl_binding_wire bw;
                memcpy(&bw, in.data() + sizeof w + sizeof bw * i, sizeof bw);
                fib_acl_binding b;
                b.vpn_id = get_be32(bw.vpn_id);
                b.direction = bw.direction;
                if (b.direction != 1 && b.direction != 2)
                    return bad(err, "binding " + std::to_string(i) + ": bad direction " +
                                        std::to_string(b.direction));
                if (!field_text(bw.intf, sizeof bw.intf, b.intf) || b.intf.empty())
                    return bad(err, "binding " + std::to_string(i) + ": bad interface name");
                m.bindings.push_back(std::move(b));
            }
            out = std::move(m);
            return PLX_OK;
        }
        case FIB_MSG_DPI_OFF:
            if (in.size() != 1)
                return bad(err, "oversized: " + std::to_string(in.size()) + " bytes, needs 1");
            out = fib_dpi_off_msg{};
            return PLX_OK;
        default:
            return bad(err, "unknown message type " + std::to_string(type));
    }
}

int fib_msg_encode(const fib_msg &m, std::vector<uint8_t> &out) {
    out.clear();
    if (auto *p = std::get_if<fib_policy_msg>(&m)) {
        out.assign(fib_policy_msg_len(p->vpn_ids.size()), 0);
        fib_policy_wire w{};
        w.filter_type = p->filter_type;
        w.direction = p->direction;
        write_fixed(*p, p->vpn_ids.size(), w, out);
        for (size_t i = 0; i < p->vpn_ids.size(); ++i)
            put_be32(out.data() + sizeof w + 4 * i, p->vpn_ids[i]);
    } else if (auto *a = std::get_if<fib_acl_msg>(&m)) {
        for (const fib_acl_binding &b : a->bindings) {
            if (b.intf.size() >= FIB_INTF_NAME_LEN)
                return PLX_EINVAL;
        }
        out.assign(fib_acl_msg_len(a->bindings.size()), 0);
        fib_acl_wire w{};
        w.family = a->family;
        write_fixed(*a, a->bindings.size(), w, out);
        for (size_t i = 0; i < a->bindings.size(); ++i) {
            fib_acl_binding_wire bw{};
            put_be32(bw.vpn_id, a->bindings[i].vpn_id);
            bw.direction = a->bindings[i].direction;
            copy_text(bw.intf, sizeof bw.intf, a->bindings[i].intf);
            memcpy(out.data() + sizeof w + sizeof bw * i, &bw, sizeof bw);
        }
    } else {
        out.assign(1, FIB_MSG_DPI_OFF);
    }
    return PLX_OK;
}

std::string fib_json_string(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string fib_msg_json(const fib_msg &m) {
    std::string j;
    if (auto *p = std::get_if<fib_policy_msg>(&m)) {
        j = "{\"type\":" + std::to_string(p->type) + ",\"op\":\"" +
            (p->type == FIB_MSG_POLICY_BIND ? "policy-bind" : "policy-unbind") +
            "\",\"filter_type\":" + std::to_string(p->filter_type) +
            ",\"direction\":" + std::to_string(p->direction) +
            ",\"filter_id\":" + std::to_string(p->filter_id) +
            ",\"name\":" + fib_json_string(p->name) + ",\"vpn_ids\":[";
        for (size_t i = 0; i < p->vpn_ids.size(); ++i) {
            if (i)
                j += ',';
            j += std::to_string(p->vpn_ids[i]);
        }
        j += "]}";
    } else if (auto *a = std::get_if<fib_acl_msg>(&m)) {
        j = "{\"type\":" + std::to_string(a->type) + ",\"op\":\"" +
            (a->type == FIB_MSG_ACL_BIND ? "acl-bind" : "acl-unbind") +
            "\",\"family\":" + std::to_string(a->family) +
            ",\"filter_id\":" + std::to_string(a->filter_id) +
            ",\"name\":" + fib_json_string(a->name) + ",\"bindings\":[";
        for (size_t i = 0; i < a->bindings.size(); ++i) {
            const fib_acl_binding &b = a->bindings[i];
            j += std::string(i ? "," : "") + "{\"vpn_id\":" + std::to_string(b.vpn_id) +
                 ",\"direction\":" + std::to_string(b.direction) +
                 ",\"interface\":" + fib_json_string(b.intf) + "}";
        }
        j += "]}";
    } else {
        j = "{\"type\":5,\"op\":\"dpi-off\"}";
    }
    return j;
}
