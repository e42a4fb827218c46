// Turning the configured leaves of a sequence into the conditions of its rule.
#include "policy/plx_confd_rule.h"

#include <cstring>
#include <memory>

namespace plx::confd {

using namespace plx::cfg;

namespace {

bool wanted(uint32_t tag, match_flavour f) {
    switch (tag) {
        case tag::SOURCE_PORT:
        case tag::DESTINATION_PORT:
        case tag::PACKET_LENGTH:
        case tag::TCP:
        case tag::PLP:
            return true;
        case tag::PROTOCOL:
        case tag::SOURCE_IP:
        case tag::DESTINATION_IP:
        case tag::SOURCE_PFX_LIST:
        case tag::DESTINATION_PFX_LIST:
        case tag::DSCP:
        case tag::DNS:
        case tag::APP_LIST:
        case tag::DNS_APP_LIST:
            return f != match_flavour::acl6;
        case tag::CLASS:
            return f != match_flavour::policy;
        case tag::NEXT_HEADER:
        case tag::TRAFFIC_CLASS:
            return f == match_flavour::acl6;
        default:
            return false;
    }
}

uint32_t number_of(const cfg_value &e) {
    switch (e.v.type) {
        case C_UINT8:
            return e.v.val.u8;
        case C_UINT16:
            return e.v.val.u16;
        case C_UINT32:
            return e.v.val.u32;
        case C_ENUM_VALUE:
            return static_cast<uint32_t>(e.v.val.enumvalue);
        default:
            PLX_ASSERT((&e.v)->type == C_UINT8);
            return 0;
    }
}

// The conditions of one match leaf.
int add_leaf(plx_policy_db *db, rule &r, uint32_t leaf, const cfg_value &v, uint32_t &type) {
    auto each = [&](uint32_t field, auto &&value_of) -> int {
        type = field;
        for (const cfg_value *e : v.elements())
            if (int err = plx_config_match_add(db, &r, field, value_of(*e)))
                return err;
        return PLX_OK;
    };
    auto number = [](const cfg_value &e) { return match_value::number(number_of(e)); };
    auto range = [](const cfg_value &e) {
        PLX_ASSERT((&e.v)->type == C_BUF);
        uint64_t lo = 0, hi = 0;
        bool parsed = parse_range(e.str(), lo, hi);
        PLX_ASSERT(parsed);
        return match_value::range(static_cast<uint32_t>(lo), static_cast<uint32_t>(hi));
    };
    auto prefix = [](const cfg_value &e) {
        PLX_ASSERT((&e.v)->type == C_IPV4PREFIX);
        std::array<uint8_t, 4> a{};
        std::memcpy(a.data(), &e.v.val.ipv4prefix.ip, 4);
        return match_value::prefix(a, e.v.val.ipv4prefix.len);
    };
    auto name = [](const cfg_value &e) {
        PLX_ASSERT((&e.v)->type == C_BUF);
        return match_value::named(e.str());
    };
    switch (leaf) {
        case tag::PROTOCOL:
            return each(PLX_MATCH_PROTOCOL, number);
        case tag::NEXT_HEADER:
            return each(PLX_MATCH_NEXT_HEADER, number);
        case tag::DSCP:
            return each(PLX_MATCH_DSCP, number);
        case tag::TRAFFIC_CLASS:
            return each(PLX_MATCH_TRAFFIC_CLASS, number);
        case tag::PLP:
            return each(PLX_MATCH_PLP, number);
        case tag::DNS:
            return each(PLX_MATCH_DNS, number);
        case tag::SOURCE_PORT:
            return each(PLX_MATCH_SRC_PORT, range);
        case tag::DESTINATION_PORT:
            return each(PLX_MATCH_DST_PORT, range);
        case tag::PACKET_LENGTH:
            return each(PLX_MATCH_PKT_LEN, range);
        case tag::SOURCE_IP:
            return each(PLX_MATCH_SRC_ADDR, prefix);
        case tag::DESTINATION_IP:
            return each(PLX_MATCH_DST_ADDR, prefix);
        case tag::SOURCE_PFX_LIST:
            return each(PLX_MATCH_SRC_PFX_LIST, name);
        case tag::DESTINATION_PFX_LIST:
            return each(PLX_MATCH_DST_PFX_LIST, name);
        case tag::APP_LIST:
            return each(PLX_MATCH_APP_LIST, name);
        case tag::DNS_APP_LIST:
            return each(PLX_MATCH_DNS_APP_LIST, name);
        case tag::CLASS:
            return each(PLX_MATCH_FC, name);
        case tag::TCP:
            return each(PLX_MATCH_TCP, [](const cfg_value &e) {
                PLX_ASSERT((&e.v)->type == C_BIT32);
                return match_value::number((e.v.val.b32 & 1u) ? 2 : 0);
            });
        default:
            return PLX_OK;
    }
}

}  // namespace

int add_matches(plx_policy_db *db, rule &r, const cfg_leaves &cfg, match_flavour f,
                uint32_t *failed_type) {
    for (const auto &[path, v] : cfg.leaves()) {
        uint32_t leaf = path.back();
        if (!wanted(leaf, f) || cfg_leaves::inside(path, tag::SET))
            continue;
        uint32_t type = 0;
        if (int err = add_leaf(db, r, leaf, v, type)) {
            if (failed_type)
                *failed_type = type;
            return err;
        }
    }
    return PLX_OK;
}

uint32_t verb_of(const confd_value_t *v) {
    PLX_ASSERT(v->type == C_ENUM_VALUE);
    return CONFD_GET_ENUM_VALUE(v) == 1 ? PLX_ACTION_VERB_REJECT : PLX_ACTION_VERB_ACCEPT;
}

int reset_policy_rule(plx_policy_db *db, rule &r) {
    plx_config_rule_release(db, r);
    return plx_config_match_add(db, &r, PLX_MATCH_ANY, match_value{});
}

uint32_t color_bits(const cfg_value &v) {
    uint32_t bits = 0;
    for (const cfg_value *e : v.elements()) {
        PLX_ASSERT((&e->v)->type == C_ENUM_VALUE);
        int32_t c = e->v.val.enumvalue;
        if (c > 0 && c < 32)
            bits |= 1u << c;
    }
    return bits;
}

uint32_t encap_bits(const cfg_value &v) {
    uint32_t bits = 0;
    for (const cfg_value *e : v.elements()) {
        PLX_ASSERT((&e->v)->type == C_ENUM_VALUE);
        bits |= e->v.val.enumvalue == 1 ? PLX_ENCAP_BIT_GRE : PLX_ENCAP_BIT_IPSEC;
    }
    return bits;
}

std::string bad_next_hop(const confd_tag_value_t *values, uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) {
        const confd_value_t &v = values[i].v;
        if (values[i].tag.tag != tag::NEXT_HOP || (v.type != C_BUF && v.type != C_STR))
            continue;
        plx_ip_addr ip{};
        if (!value_to_ip(v, ip))
            return std::string(buf_view(&v));
    }
    return {};
}

cfg_leaves &rule_leaves(rule &r) {
    if (!r.reader_state)
        r.reader_state = std::make_shared<cfg_leaves>();
    return *static_cast<cfg_leaves *>(r.reader_state.get());
}

}  // namespace plx::confd
