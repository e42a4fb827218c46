// Clearing the counters and policer statistics that the show provider reports, for one named
// access list or policy or for all of a kind, while the forwarding plane keeps counting.
//
// Every count and police slot of a program has two banks and a selector; the forwarding plane
// counts into the selected bank. A clear flips the selector, so counting goes on in the other
// bank at once, and zeroes the bank that was selected before. An increment that lands in the old
// bank between the flip and the zeroing is lost; nothing is ever half-cleared.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/confd/confd_dp.h"

namespace plx::cfg {
struct plx_policy_db;
}

// Tag of the optional name parameter of the clear actions.
inline constexpr uint32_t PLX_CLEAR_TAG_NAME = 1998270519;

// What a clear reset: counters and policers of programs in the forwarding plane (an object
// without a program has nothing to clear).
struct PlxClearCounts {
    uint32_t counters = 0;
    uint32_t policers = 0;
};

// Clears the access lists of a family (the one named, or all). PLX_OK, or PLX_ENOENT when a named
// list does not exist (nothing cleared). counts, when given, is added to.
int plx_clear_access_lists(bool ipv6, std::optional<std::string_view> name,
                           PlxClearCounts *counts = nullptr);
// Clears the policies of one type (PLX_POLICY_TYPE_DATA or _PFR), the one named or all. PLX_OK,
// or PLX_ENOENT when a named policy does not exist.
int plx_clear_policies(plx::cfg::plx_policy_db *db, uint32_t policy_type,
                       std::optional<std::string_view> name, PlxClearCounts *counts = nullptr);

// The actions (action points of the same names). Each takes an optional name parameter. A name
// that matches nothing fails the action with an error naming it; otherwise the action prints
// how many counters and policers it cleared to the invoking session. No reply values.
confd_action_fn plx_clear_policy_acl;
confd_action_fn plx_clear_policy_acl6;
confd_action_fn plx_clear_data_policy;
confd_action_fn plx_clear_app_route_policy;
