// What the configuration readers share: the daemon context behind a subscription row, key and
// value access with the type checks that guard the readers' assumptions, and the configured
// leaves of one element kept across changes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ip_util.h"
#include "common/plx_log.h"
#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_lib.h"
#include "qconfd/qconfd_api.h"

struct plx_ctx;
namespace plx::cfg {
struct plx_policy_db;
}

namespace plx::confd {

// The daemon context that the layer hands to every reader, and its policy model.
plx_ctx *reader_ctx(const SubscriptionPoint *point);
cfg::plx_policy_db *reader_policy(const SubscriptionPoint *point);

// A key of the expected type; any other type is a broken promise of the configuration schema.
#define PLX_READER_KEY(p_key, keys, i, TYPE) \
    const confd_value_t *p_key = &(keys)[i]; \
    PLX_ASSERT((p_key)->type == TYPE)

std::string_view buf_view(const confd_value_t *v);  // a C_BUF (or C_STR) as text
// Key i, a name (C_BUF), as text.
std::string key_name(const confd_value_t *keys, int i);
// The number of keys a reader was given must be the number of its row.
#define PLX_READER_KEYS(key_count, expected) PLX_ASSERT((key_count) == (expected))

// The first top-level value with this tag (C_NOEXISTS included), or null.
const confd_tag_value_t *find_value(const confd_tag_value_t *values, uint16_t count, uint32_t tag);

// Tags of the configuration leaves and containers that the readers look for.
namespace tag {
inline constexpr uint32_t APP_VISIBILITY = 0xbb0ec92;
inline constexpr uint32_t FLOW_VISIBILITY = 0x209c98ce;
inline constexpr uint32_t LOG_FREQUENCY = 0x6f44232a;
inline constexpr uint32_t DIRECTION = 0x5780daa2;
inline constexpr uint32_t DEFAULT_ACTION = 0x7037c488;
inline constexpr uint32_t SLA_CLASS = 0x1fc19c53;
inline constexpr uint32_t SET = 0x6a7435bb;
inline constexpr uint32_t TLOC_COLOR_ENCAP = 0x3da6fd46;
inline constexpr uint32_t LOCAL_TLOC_LIST = 0x78cd2b7;
inline constexpr uint32_t PROTOCOL = 0x3838f6e1;
inline constexpr uint32_t SOURCE_PORT = 0xf472580;
inline constexpr uint32_t DESTINATION_PORT = 0x6475b955;
inline constexpr uint32_t SOURCE_IP = 0x553788af;
inline constexpr uint32_t DESTINATION_IP = 0x22688857;
inline constexpr uint32_t SOURCE_PFX_LIST = 0x32d6e4cb;
inline constexpr uint32_t DESTINATION_PFX_LIST = 0x4db8ee1a;
inline constexpr uint32_t DSCP = 0x42a50984;
inline constexpr uint32_t TCP = 0x4f1498b9;
inline constexpr uint32_t PACKET_LENGTH = 0x5b2c4c8c;
inline constexpr uint32_t PLP = 0x6e505df6;
inline constexpr uint32_t DNS = 0x226e9214;
inline constexpr uint32_t APP_LIST = 0x542ece51;
inline constexpr uint32_t DNS_APP_LIST = 0x5a06eb58;
inline constexpr uint32_t BASE_ACTION = 0x369ffb7;
inline constexpr uint32_t COUNT = 0xac83abe;
inline constexpr uint32_t POLICER = 0x58e2217b;
inline constexpr uint32_t MIRROR = 0x65975b28;
inline constexpr uint32_t FORWARDING_CLASS = 0x6854f46f;
inline constexpr uint32_t NEXT_HOP = 0x70a1c5a8;
inline constexpr uint32_t REDIRECT_DNS = 0x22cdcc44;
inline constexpr uint32_t NAT_POOL = 0x7273b107;
inline constexpr uint32_t NAT_USE_VPN = 0x19c134f9;
inline constexpr uint32_t BACKUP_PREFERRED_COLOR = 0x23e66386;
inline constexpr uint32_t LOG = 0x4ca57cf4;
inline constexpr uint32_t FALLBACK = 0x5023aaed;
inline constexpr uint32_t TCP_OPTIMIZATION = 0x6f889001;
inline constexpr uint32_t CFLOWD = 0x2bf83993;
inline constexpr uint32_t RESTRICT = 0xadd765d;
inline constexpr uint32_t SLA = 0x58223d85;
inline constexpr uint32_t STRICT = 0x5c327362;
inline constexpr uint32_t PREFERRED_COLOR = 0x6464ce5d;
inline constexpr uint32_t TLOC_IP = 0x61fa2cdb;
inline constexpr uint32_t COLOR = 0x2b503622;
inline constexpr uint32_t ENCAP = 0x5a62686b;
inline constexpr uint32_t LABEL = 0x22266391;
inline constexpr uint32_t TLOC = 0x33c074ce;
inline constexpr uint32_t TLOC_LIST = 0x72d28bfe;
inline constexpr uint32_t SERVICE_LOCAL = 0x7ef235bf;
inline constexpr uint32_t SERVICE_TYPE = 0x6ccfcce4;
inline constexpr uint32_t PREF_ADDRESS = 0x53af7f02;
inline constexpr uint32_t PREF_COLOR = 0xb235208;
inline constexpr uint32_t PREF_ENCAP = 0x1d213356;
inline constexpr uint32_t PREF_LABEL = 0x41bc4274;
inline constexpr uint32_t PREFERENCE = 0x6aa74198;
inline constexpr uint32_t RATE = 0x31c4ad27;
inline constexpr uint32_t BURST = 0x4b124597;
inline constexpr uint32_t EXCEED = 0x3fe4de6;
inline constexpr uint32_t SOURCE = 0x440eedc0;
inline constexpr uint32_t QUEUE = 0x47fac177;
inline constexpr uint32_t CLASS = 0x10f34729;  // access lists: class match and "set fc"
inline constexpr uint32_t TRAFFIC_CLASS = 0x63457662;
inline constexpr uint32_t NEXT_HEADER = 0x7b1a5f62;
inline constexpr uint32_t ACL_NAME = 0x1683963e;
}  // namespace tag

// The policy namespace, where the application enumerations live.
inline constexpr uint32_t PLX_POLICY_NS = 0x25640284;

// An owned copy of one configuration value (leaf-lists keep their elements).
struct cfg_value {
    confd_value_t v{};  // type and scalar payload; buffers and lists live below
    std::string buf;
    std::vector<cfg_value> list;

    static cfg_value copy(const confd_value_t &src);
    std::string_view str() const { return buf; }
    // The elements of a leaf-list, or the value itself for a single value.
    std::vector<const cfg_value *> elements() const;
};

// The configured leaves of one list entry: each leaf under the path of container tags that
// encloses it. A change set (the tagged values a reader gets) is applied to it: values set
// leaves, C_NOEXISTS removes a leaf or a whole container, brackets open and close containers.
class cfg_leaves {
  public:
    using path = std::vector<uint32_t>;  // enclosing container tags, then the leaf's tag

    void apply(const confd_tag_value_t *values, uint16_t count);
    const std::map<path, cfg_value> &leaves() const { return leaves_; }
    // The leaves in the order the configuration holds them: the schema order below the list
    // entry at `schema_path` ("policy/access-list/sequence"); actions fill slots in it. Without
    // a loaded schema, the order of leaves().
    std::vector<const std::pair<const path, cfg_value> *> in_order(const char *schema_path) const;
    bool empty() const { return leaves_.empty(); }
    // Whether a leaf's path passes through the container `tag`.
    static bool inside(const path &p, uint32_t tag);

  private:
    std::map<path, cfg_value> leaves_;
};

// "%u-%u" or "%u": a range of ports, lengths or VPNs. False for anything else.
bool parse_range(std::string_view text, uint64_t &low, uint64_t &high);
// An address given as text (IPv4 or IPv6) or as C_IPV4/C_IPV6.
bool value_to_ip(const cfg_value &v, plx_ip_addr &out);
bool value_to_ip(const confd_value_t &v, plx_ip_addr &out);

// Operations as the layer reports them.
inline constexpr int OP_CREATED = MOP_CREATED;
inline constexpr int OP_DELETED = MOP_DELETED;
inline constexpr int OP_MODIFIED = MOP_MODIFIED;

}  // namespace plx::confd
