// The programming state of a policy VPN list or an access list, as the operator sees it: is its
// program in the forwarding plane and applied somewhere, and if not, why not.
//
//   bound    placed in filter memory and applied to at least one VPN or interface
//   unbound  no program (no rules, not built yet), or placed but applied nowhere
//   failed   the last build found no room in filter memory; retried when memory is released
//   refused  the compiler refused the rules (reason given); retried only when the list changes
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "oper/plx_oper_acl.h"

namespace plx::cfg {
struct plx_policy_db;
struct policy_vpn_list;
}  // namespace plx::cfg

namespace plx::oper {

// Values of the model's program-state enumeration.
enum class ProgramState : int32_t { Bound = 0, Unbound = 1, Failed = 2, Refused = 3 };

struct ProgramStatus {
    ProgramState state = ProgramState::Unbound;
    std::string reason;                 // failed and refused
    std::optional<uint32_t> filter_id;  // placed programs only
    std::optional<uint32_t> bytes;      // program size, placed programs only
    std::string bound_to;               // "10 20-22" (VPNs) or "ge0/1:in ge0/2:out"
    int64_t programmed_at_ms = 0;       // 0: never placed
};

const char *program_state_name(ProgramState s);
// RFC 3339 UTC text of a wall-clock time in ms ("2026-12-06T17:40:27.123Z").
std::string program_time_text(int64_t ms);

ProgramStatus policy_program_status(const cfg::plx_policy_db *db, const cfg::policy_vpn_list &v);
ProgramStatus acl_program_status(AclSource &src, const AclRef &acl);

}  // namespace plx::oper
