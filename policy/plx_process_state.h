// What the processing of policy and access-list changes keeps per daemon: the options it was
// attached with and the lists it must not retry. The daemon context holds one of each; only the
// processing's own code reads them.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

struct plx_ctx;

// What the processing needs beyond the daemon context. Every member is optional.
struct plx_process_opts {
    // Number of filter ids program memory offers; this number is the invalid filter id of a
    // list that failed. 0: the number of the attached shared-memory profile.
    uint32_t num_filters = 0;
    // Forwarding-plane clock in cycles per second, for the policer arithmetic. Empty: the clock
    // rate the forwarding plane publishes in its global control record.
    std::function<uint64_t()> clock_rate;
    // DPI application or family id of a name (plx::cfg::plx_app_id_resolver).
    // When set it becomes the model's resolver; empty keeps the resolver the model has.
    std::function<uint32_t(std::string_view name, uint32_t kind)> resolve_app_id;
    // The access-list pass that follows the policies in every processing run: PLX_OK or the
    // status of the first list that failed.
    std::function<int(plx_ctx *)> process_access_lists;
    // Marks the access lists that failed for want of memory for a retry.
    std::function<void(plx_ctx *)> retry_access_lists;
    // Filter ids of the IPv4 and IPv6 access lists of a name (policer refresh).
    std::function<std::vector<uint32_t>(std::string_view acl_name)> acl_filter_ids;
    // Whether programs may be placed now: false while the forwarding plane restarts (its filter
    // memory is being cleared). A run asked for meanwhile keeps everything marked; the restart
    // handling processes it.
    std::function<bool()> placement_ready;
};

// The processing of policy VPN lists.
struct plx_process_state {
    // A policy VPN list by its keys: policy type, policy name, VPN list name.
    using list_key = std::tuple<uint32_t, std::string, std::string>;

    plx_process_opts opts;
    bool running = false;  // a processing run is in progress
    bool pending = false;  // more marks arrived during that run
    // Lists whose rule tables the compiler refused: retrying them after a release of program
    // memory would fail the same way, so only a change of the list retries them.
    std::set<list_key> refused;
    int64_t last_pump_ns = 0;  // when the high-priority timers last ran during a rebuild
};

// The access-list pass of the same run. Lists are keyed by family and name.
struct plx_acl_process_state {
    using list_key = std::pair<uint32_t, std::string>;

    // Lists whose rules the compiler refused: a release of memory cannot help them.
    std::set<list_key> refused;
    // Lists whose new rules could not be placed and that keep their last good program bound: a
    // release of memory tries the new rules again.
    std::set<list_key> kept;
};
