// State the processing of policy changes keeps per daemon context, shared by its source files.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include "policy/plx_process.h"

namespace plx::process {

// A policy VPN list by its keys: policy type, policy name, VPN list name.
using list_key = std::tuple<uint32_t, std::string, std::string>;
list_key key_of(const plx::cfg::policy &p, const plx::cfg::policy_vpn_list &v);

struct state {
    plx_process_opts opts;
    bool running = false;  // a processing run is in progress
    bool pending = false;  // more marks arrived during that run
    // Lists whose rule tables the compiler refused: retrying them after a release of program
    // memory would fail the same way, so only a change of the list retries them.
    std::set<list_key> refused;
    int64_t last_pump_ns = 0;
};

// The state of a context (created with default options on first use).
state &state_of(plx_ctx *ctx);

}  // namespace plx::process
