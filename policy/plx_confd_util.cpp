// What the configuration readers share.
#include "policy/plx_confd_util.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

#include "daemon/plx_ctx.h"

namespace plx::confd {

plx_ctx *reader_ctx(const SubscriptionPoint *point) {
    PLX_ASSERT(point != nullptr && point->owner != nullptr);
    return static_cast<plx_ctx *>(point->owner->spec.app_ctx);
}

cfg::plx_policy_db *reader_policy(const SubscriptionPoint *point) {
    cfg::plx_policy_db *db = reader_ctx(point)->policy;
    PLX_ASSERT(db != nullptr);
    return db;
}

std::string key_name(const confd_value_t *keys, int i) {
    PLX_READER_KEY(p_key, keys, i, C_BUF);
    return std::string(buf_view(p_key));
}

std::string_view buf_view(const confd_value_t *v) {
    if (v->type == C_STR)
        return v->val.s ? std::string_view(v->val.s) : std::string_view();
    return {reinterpret_cast<const char *>(CONFD_GET_BUFPTR(v)), CONFD_GET_BUFSIZE(v)};
}

const confd_tag_value_t *find_value(const confd_tag_value_t *values, uint16_t count, uint32_t tag) {
    int depth = 0;
    for (uint16_t i = 0; i < count; ++i) {
        const confd_tag_value_t &tv = values[i];
        if (tv.v.type == C_XMLBEGIN) {
            ++depth;
        } else if (tv.v.type == C_XMLEND) {
            --depth;
        } else if (depth <= 0 && tv.tag.tag == tag) {
            return &tv;
        }
    }
    return nullptr;
}

cfg_value cfg_value::copy(const confd_value_t &src) {
    cfg_value out;
    out.v = src;
    switch (src.type) {
        case C_BUF:
        case C_STR: {
            std::string_view t = buf_view(&src);
            out.buf.assign(t);
            out.v.type = C_BUF;
            out.v.val.buf = {};
            break;
        }
        case C_LIST:
            out.v.val.list = {};
            for (unsigned i = 0; i < CONFD_GET_LISTSIZE(&src); ++i)
                out.list.push_back(copy(CONFD_GET_LIST(&src)[i]));
            break;
        default:
            break;
    }
    return out;
}

std::vector<const cfg_value *> cfg_value::elements() const {
    std::vector<const cfg_value *> out;
    if (v.type == C_LIST) {
        for (const cfg_value &e : list)
            out.push_back(&e);
    } else if (v.type != C_NOEXISTS) {
        out.push_back(this);
    }
    return out;
}

void cfg_leaves::apply(const confd_tag_value_t *values, uint16_t count) {
    path at;
    for (uint16_t i = 0; i < count; ++i) {
        const confd_tag_value_t &tv = values[i];
        switch (tv.v.type) {
            case C_XMLBEGIN:
            case C_XMLBEGINDEL:
                at.push_back(tv.tag.tag);
                break;
            case C_XMLEND:
                if (!at.empty())
                    at.pop_back();
                break;
            case C_NOEXISTS: {
                // A removed leaf, or a removed container with everything below it.
                path p = at;
                p.push_back(tv.tag.tag);
                std::erase_if(leaves_, [&](const auto &kv) {
                    return kv.first.size() >= p.size() &&
                           std::equal(p.begin(), p.end(), kv.first.begin());
                });
                break;
            }
            default: {
                path p = at;
                p.push_back(tv.tag.tag);
                leaves_[std::move(p)] = cfg_value::copy(tv.v);
                break;
            }
        }
    }
}

std::vector<const std::pair<const cfg_leaves::path, cfg_value> *> cfg_leaves::in_order(
    const char *schema_path) const {
    using leaf = std::pair<const path, cfg_value>;
    // Position of each node of a path among its schema siblings, level by level.
    const confd_cs_node *root = confd_cs_node_cd(nullptr, "/%s", schema_path);
    auto position = [root](const path &p) {
        std::vector<int> pos;
        const confd_cs_node *n = root;
        for (uint32_t tag : p) {
            int i = 0;
            const confd_cs_node *c = n ? n->children : nullptr;
            while (c && c->tag != tag) {
                c = c->next;
                ++i;
            }
            pos.push_back(c ? i : INT32_MAX);
            n = c;
        }
        return pos;
    };
    std::vector<std::pair<std::vector<int>, const leaf *>> keyed;
    for (const leaf &l : leaves_)
        keyed.emplace_back(root ? position(l.first) : std::vector<int>{}, &l);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<const leaf *> out;
    for (const auto &[pos, l] : keyed)
        out.push_back(l);
    return out;
}

bool cfg_leaves::inside(const path &p, uint32_t tag) {
    return p.size() > 1 && std::find(p.begin(), p.end() - 1, tag) != p.end() - 1;
}

namespace {
bool parse_u64(std::string_view t, uint64_t &out) {
    if (t.empty())
        return false;
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    return ec == std::errc() && ptr == t.data() + t.size();
}
}  // namespace

bool parse_range(std::string_view text, uint64_t &low, uint64_t &high) {
    size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        if (!parse_u64(text, low))
            return false;
        high = low;
        return true;
    }
    return parse_u64(text.substr(0, dash), low) && parse_u64(text.substr(dash + 1), high);
}

bool value_to_ip(const confd_value_t &v, plx_ip_addr &out) {
    out = {};
    switch (v.type) {
        case C_IPV4:
            std::memcpy(out.addr, &v.val.ip, 4);
            out.family = PLX_AF_IPV4;
            return true;
        case C_IPV6:
            std::memcpy(out.addr, &v.val.ip6, 16);
            out.family = PLX_AF_IPV6;
            return true;
        case C_BUF:
        case C_STR: {
            std::string t(buf_view(&v));
            return plx_ip_from_str(t.c_str(), &out) == 0;
        }
        default:
            return false;
    }
}

bool value_to_ip(const cfg_value &v, plx_ip_addr &out) {
    if (v.v.type == C_BUF) {
        out = {};
        return plx_ip_from_str(v.buf.c_str(), &out) == 0;
    }
    return value_to_ip(v.v, out);
}

}  // namespace plx::confd
