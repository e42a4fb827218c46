// fibd's binding state: which filters apply to which VPN (data policies per direction and the
// app-route policy) and to which interface and direction (access lists, per family), and whether
// application recognition is off. The state is kept here and mirrored entry by entry into the
// shared tables that the forwarding plane reads ("fp_vpn_policy_bindings",
// "fp_intf_acl_bindings", "fp_fib_ctrl").
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fplink/fib_msgs.h"
#include "fplink/fp_tables.h"

// Where the state is mirrored (normally the attached shared object).
using FibdTables = fp_binding_tables;

class FibdState {
  public:
    // Takes over the application-recognition state recorded in the control record, so that a
    // restarted fibd keeps what plxd told its predecessor.
    explicit FibdState(FibdTables t);

    // Applies one decoded message. Parts that cannot be applied (a VPN id beyond the table, an
    // unbind of a filter that is not bound, a full interface table) are skipped and described in
    // *warnings; the rest takes effect.
    void apply(const fib_msg &m, std::vector<std::string> *warnings);

    // Forgets every binding and clears the binding tables (a new connection: plxd resends all of
    // them). Application recognition stays as it was: plxd does not repeat that it is off.
    void reset();

    // Writes the whole state into the tables again (after the forwarding plane restarted).
    void rewrite();

    // Application recognition is off from plxd's message until plxd counts a policy using it
    // again in the shared visibility word. Looks at that word; true when the state changed.
    bool refresh_dpi();

    // One policy bound to a VPN.
    struct Binding {
        uint32_t filter = FP_FILTER_NONE;
        std::string policy;
        bool bound = false;
    };
    struct Vpn {
        Binding data[FP_DATA_DIRS];  // [direction - 1]: from-service, from-tunnel, all
        Binding app_route;
        uint8_t bound_bits() const;
    };
    struct Intf {
        uint32_t vpn_id = 0;
        uint32_t filter[2][2] = {{FP_FILTER_NONE, FP_FILTER_NONE},
                                 {FP_FILTER_NONE, FP_FILTER_NONE}};
        uint8_t bound = 0;
        int slot = -1;  // entry of the shared table
    };
    const std::map<uint32_t, Vpn> &vpns() const { return vpns_; }
    const std::map<std::string, Intf> &intfs() const { return intfs_; }
    bool dpi_off() const { return dpi_off_; }

  private:
    void apply_policy(const fib_policy_msg &m, std::vector<std::string> *warnings);
    void apply_acl(const fib_acl_msg &m, std::vector<std::string> *warnings);
    void write_vpn(uint32_t id);
    void write_intf(const std::string &name, Intf &st, std::vector<std::string> *warnings);
    void write_dpi();
    void bump();

    FibdTables t_;
    std::map<uint32_t, Vpn> vpns_;
    std::map<std::string, Intf> intfs_;
    bool dpi_off_ = false;
};
