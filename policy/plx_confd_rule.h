// Turning the configured leaves of a sequence into the conditions of its rule: shared by the
// policy sequence readers and the access-list sequence readers.
#pragma once

#include "policy/plx_confd_util.h"
#include "policy/plx_config.h"

namespace plx::confd {

// Which match leaves a sequence may carry.
enum class match_flavour {
    policy,  // data and app-route policies: IPv4 fields, prefix lists, app lists, DNS
    acl,     // IPv4 access lists: the same and the forwarding class
    acl6,    // IPv6 access lists: next header, traffic class, ports, lengths, TCP, PLP, class
};

// Adds the condition of every match leaf in `cfg` to the rule (which holds only MATCH_ANY). A
// leaf of an unexpected value type is a broken promise of the schema. Returns the status of the
// first model operation that failed, with the field type in *failed_type.
int add_matches(cfg::plx_policy_db *db, cfg::rule &r, const cfg_leaves &cfg, match_flavour f,
                uint32_t *failed_type = nullptr);

// The verb of a base or default action (an enumeration): drop rejects, accept accepts.
uint32_t verb_of(const confd_value_t *v);

// Drops every condition and action of the rule and gives it its MATCH_ANY condition again.
int reset_policy_rule(cfg::plx_policy_db *db, cfg::rule &r);

// The bit of a colour in a colour set, and the set of a colour leaf-list.
uint32_t color_bits(const cfg_value &v);
// The bit of an encapsulation (1 gre, otherwise ipsec) and the set of an encapsulation list.
uint32_t encap_bits(const cfg_value &v);

// The text of the first next-hop among the changed values that is not an address, or empty when
// every one is. A sequence reader refuses such a change before it touches the rule.
std::string bad_next_hop(const confd_tag_value_t *values, uint16_t count);

// The reader state of a rule (its configured leaves), created on first use.
cfg_leaves &rule_leaves(cfg::rule &r);

}  // namespace plx::confd
