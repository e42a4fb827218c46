// From the policy model to the compiler's input: the rule table of a policy VPN list, with each
// rule's conditions as ranges of the compiler's fields and its actions as a 3072-byte block of
// twelve 256-byte slots.
#pragma once

#include <cstdint>
#include <string>

#include "compiler/plx_compiler.h"
#include "compiler/plx_program.h"
#include "policy/plx_config.h"

// Compiler field of a model match type (0 for the list types and the bounds, which never reach
// a rule table).
uint32_t plx_match_field(uint32_t match_type);

// Forwarding-plane clock cycles per byte for a rate in bits per second. A rate below 8 bits per
// second (less than a byte a second) is taken as exactly that many bits; 0 gives the largest
// value, which lets nothing through.
uint64_t plx_policer_ticks_per_byte(uint64_t clock_rate, uint64_t rate_bps);

// Slot 0 of the default block: the VPN list's default action.
void plx_default_action_block(const plx::cfg::config_action &def, ActionData &out);

// The action block of one rule. Actions fill consecutive slots in list order; a forwarding-class
// action whose class is unresolved takes none; a policer found in the third slot or later
// changes places with the action in slot 1. Returns false (with *reason) when the rule has more
// actions than the twelve slots hold.
bool plx_rule_action_block(const plx::cfg::rule &r, uint64_t clock_rate, ActionData &out,
                           std::string *reason);

// The 16 positions of a TLOC-list slot. Eligible entries (TLOC resolved and up, label not 0) of
// the highest preference present are written first; the remaining positions go round-robin over
// them when their weights are equal, and otherwise in proportion to the weights, the heaviest
// TLOC first. A slot without an eligible entry keeps only its type.
void plx_tloc_list_slot(const plx::cfg::config_action &a, TlocListSlot &slot);

// Sequences in ascending order, as policy VPN lists and access lists keep them.
using rule_list = plx::dl_list<plx::cfg::rule, &plx::cfg::rule::seq_link>;

// Builds a rule table: one rule per sequence, named by its sequence id, with its conditions as
// ranges of the compiler's fields and its actions as a block; the default block is the table's
// default action. PLX_OK with `out` set; PLX_ENOMEM when memory ran out (the compile context is
// reset); PLX_EINVAL with *reason when a rule cannot be expressed (too many actions). Calls
// between_rules(arg), when given, after each rule.
int plx_rules_ruletable_build(plx_compiler_ctx *cc, const char *name, const char *alias,
                              const ActionData &default_block, const rule_list &rules,
                              uint64_t clock_rate, PlxRuleTablePtr &out, std::string *reason,
                              void (*between_rules)(void *) = nullptr, void *arg = nullptr);

// The rule table of a VPN list (as plx_rules_ruletable_build): name = the policy name, alias =
// "<type><VPN list>", default = the VPN list's default action.
int plx_policy_ruletable_build(plx_compiler_ctx *cc, const plx::cfg::policy &p,
                               const plx::cfg::policy_vpn_list &v, uint64_t clock_rate,
                               PlxRuleTablePtr &out, std::string *reason,
                               void (*between_rules)(void *) = nullptr, void *arg = nullptr);

// What compiling a rule table gave: a program placed at filter `placed_id`, or none with the
// reason (`no_memory` when only a lack of memory refused it, `len` then the size it needed).
struct plx_compiled {
    PolicyProgram *prog = nullptr;
    uint32_t len = 0;
    uint32_t placed_id = 0;
    bool no_memory = false;
    std::string why;
};

// Compiles a built rule table (none when the build refused the rules) and places the program.
// `slot` holds the table while the compile runs and is emptied after; the compile context is
// reset. `nothing_tested` is the reason when no rule tests a field.
plx_compiled plx_rules_compile(plx_compiler_ctx *cc, PlxRuleTablePtr table, PlxRuleTablePtr &slot,
                               const char *nothing_tested);
