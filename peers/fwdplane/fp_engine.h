// The forwarding plane's packet pipeline. A packet arrives on an (interface, VPN) pair and passes,
// in the router's order:
//   1. the ingress access list bound to the interface (direction 1, the packet's family),
//   2. the data policies bound to the VPN: the one for the packet's origin (from-service or
//      from-tunnel), then the one for all traffic,
//   3. the app-route policy bound to the VPN,
//   4. the egress access list bound to the output interface (direction 2), when one is given.
// Each stage evaluates its filter's program over the packet's 18 field values and applies the
// selected action record: "reject" drops the packet (later stages do not run), "count" adds to the
// slot's current bank, "police" runs the slot's token bucket, "set dscp", "set fc" and
// "set traffic-class" rewrite the packet for the later stages. Every filter used gets its
// activity bit set. A binding to a filter number that holds no valid program is skipped.
//
// Data and app-route policies are IPv4 policies: their prefixes are IPv4 prefixes. An IPv6 packet
// meets such a policy only when its program tests no address (rules on ports, DSCP,
// applications, ... apply to both families). A policy whose program tests a source or
// destination address is skipped for IPv6 packets as if none were bound: neither its rules nor
// its default action apply, its counters do not move and its activity bit is not set. Access
// lists are bound per family and always run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "compiler/plx_program.h"
#include "fplink/fp_tables.h"
#include "peers/fwdplane/fp_packet.h"

// Where packets come from.
struct fp_input {
    std::string in_if;   // receiving interface
    std::string out_if;  // sending interface; empty: no egress access list
    uint32_t vpn = 0;
    uint8_t origin = 1;  // 1 from the service side, 2 from the tunnel side
};

enum fp_verdict : int {
    FP_VERDICT_FORWARD = 0,
    FP_VERDICT_DROP_ACL_IN,
    FP_VERDICT_DROP_POLICY,
    FP_VERDICT_DROP_APP_ROUTE,
    FP_VERDICT_DROP_POLICER,
    FP_VERDICT_DROP_ACL_OUT,
    FP_VERDICT_COUNT
};
const char *fp_verdict_name(fp_verdict v);

enum fp_stage : int { FP_STAGE_ACL_IN, FP_STAGE_DATA, FP_STAGE_APP_ROUTE, FP_STAGE_ACL_OUT };
const char *fp_stage_name(fp_stage s);

// Selects the action entry of a program for a packet's field values (indexed by field id);
// returns its index, or -1 when the program cannot be evaluated.
using fp_eval_fn = std::function<int64_t(const PolicyProgram *prog, const uint32_t *fields)>;

// The shared tables the engine works on (normally the mapped object; tests may pass their own).
struct fp_tables {
    uint8_t *filter_mem = nullptr;
    uint32_t num_blocks = 0;
    FilterEntry *filters = nullptr;
    uint32_t num_filters = 0;
    fp_binding_tables bindings;
};
// The tables of the attached shared object.
fp_tables fp_tables_from_shm();

// Per-filter statistics: packets evaluated and hits per action record.
struct fp_filter_stats {
    uint32_t filter = 0;
    std::string name;  // program name
    uint64_t evaluated = 0;
    std::vector<uint64_t> hits;
    std::vector<std::string> record_text;  // short description of each action record
};

class FpEngine {
  public:
    FpEngine(fp_tables tables, fp_eval_fn eval, uint64_t clock_rate);

    // Runs one packet through the pipeline. trace (optional) receives one line describing the
    // stages that ran and the verdict.
    fp_verdict process(fp_packet &pkt, const fp_input &in, std::string *trace = nullptr);

    // Counts a frame that could not be parsed.
    void count_bad() { ++bad_; }

    uint64_t verdicts(fp_verdict v) const { return verdicts_[v]; }
    uint64_t bad() const { return bad_; }
    // Statistics keyed by (filter number, first block): a filter number reused for another
    // program gets a record of its own.
    const std::map<std::pair<uint32_t, uint32_t>, fp_filter_stats> &stats() const { return stats_; }

    // Summary: per filter the packets evaluated and the hits per action record, then the verdict
    // totals.
    void print_summary(FILE *out) const;

  private:
    struct StageResult {
        bool ran = false;
        bool drop = false;
        bool policed_drop = false;
    };
    const PolicyProgram *program_of(uint32_t filter, FilterEntry **entry) const;
    StageResult run_stage(uint32_t filter, fp_packet &pkt, std::string *trace, const char *label);
    void apply_actions(uint8_t *data, fp_packet &pkt, StageResult &r, std::string *trace);
    const fp_intf_acl_binding *intf_binding(const std::string &name);

    fp_tables t_;
    fp_eval_fn eval_;
    uint64_t clock_rate_;
    uint64_t verdicts_[FP_VERDICT_COUNT] = {};
    uint64_t bad_ = 0;
    std::map<std::pair<uint32_t, uint32_t>, fp_filter_stats> stats_;
    // Interface look-ups, valid while fibd's generation counter stays the same.
    std::map<std::string, int> intf_cache_;
    uint32_t intf_cache_gen_ = 0xFFFFFFFF;
};

// Whether a program tests the source or destination address field.
bool fp_program_tests_addresses(const PolicyProgram *prog);

// Describes one action data block in a few words ("accept count:r10 set-dscp:46").
std::string fp_action_text(const uint8_t *action_data);

// Locates action entry `index` of a program; null when out of range.
uint8_t *fp_action_entry(const PolicyProgram *prog, int64_t index, uint32_t *n_entries = nullptr);
