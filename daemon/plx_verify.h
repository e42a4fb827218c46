// The daemon's self-check: what the configuration model says should be placed and bound,
// compared with what the forwarding plane holds.
//
// From the model: every policy VPN list and access list with a program must hold a valid filter
// number whose entry points at that very program (named after its owner) and that is not waiting
// for release; no two owners share a number; no valid filter is left without an owner unless it
// waits for release. Every VPN id of the VPN list of a bound or failed policy VPN list must carry
// the list's filter in the policy's slot of fibd's VPN table (data policies by direction,
// app-route policies in their own slot), every binding of an access list its filter in the
// interface table (by direction and family), and nothing may be bound there that the model does
// not bind. A bound filter below the number of filters must hold a program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fplink/fp_tables.h"
#include "platform/confd/confd_dp.h"

struct plx_ctx;

struct plx_verify_report {
    uint32_t programs = 0;  // programs the model has placed
    uint32_t bindings = 0;  // places (VPN slots, interface slots) the model binds
    std::vector<std::string> differences;
};

// Compares the model of ctx with program memory and the given binding tables.
plx_verify_report plx_verify(plx_ctx *ctx, const fp_binding_tables &fib);

// The report as the operator sees it: one line per difference, then
// "verify: N programs, M bindings, K differences".
std::vector<std::string> plx_verify_lines(const plx_verify_report &r);

// Action point plx_verify: prints the report to the session; an error when anything differs.
confd_action_fn plx_verify_action;
