// Folding of derived fields: the forwarding plane computes a packet's application family from
// its application (and the DNS-application family from the DNS application) through the shared
// protocol-to-family table. A condition on the derived field is therefore a condition on the
// field it comes from: "family in F" is "application in {p : family(p) in F}". A rule table
// that tests more fields than a program can hold is compiled with its family conditions
// folded that way, which saves one tested field (two tables) per folded family field and
// classifies every packet exactly as the unfolded rules would. The daemon folds its policies'
// rules (plx_process_fold.h) and the offline compiler its rule files the same way.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

// Inclusive value ranges of one field, ascending and disjoint.
using plx_fold_ranges = std::vector<std::pair<uint32_t, uint32_t>>;

// The protocol-to-family table the forwarding plane reads (entry 0: the highest protocol id;
// entry p: the family of p, 0 for none). Empty when the shared object is not attached, in which
// case the forwarding plane gives every packet family 0 and so does folding.
std::span<const uint32_t> plx_fold_family_table();
// Tests: use `table` instead of the shared one (an empty span restores the shared one).
void plx_fold_use_family_table(std::span<const uint32_t> table);

// The applications whose family lies in one of `families` (family 0 includes 0 itself and every
// id the table does not cover, as the forwarding plane gives them no family).
plx_fold_ranges plx_fold_family_apps(std::span<const uint32_t> table,
                                     const plx_fold_ranges &families);

// Whether rules testing these compiler fields (bit f for field f) need folding: more fields
// than a program can hold.
bool plx_fold_needed(uint32_t tested_fields);
// The application field a condition on `field` goes to once folded (the field itself when it is
// neither an application nor a family field).
uint32_t plx_fold_target(uint32_t field);

// One condition of a rule as folding reads it: a compiler field and an inclusive range
// (conditions on one field are alternatives).
struct plx_fold_cond {
    uint32_t field = 0;
    uint32_t lo = 0;
    uint32_t hi = 0;
};
// The ranges of application field `app_field` (PLX_FIELD_APP or PLX_FIELD_DNS_APP) that a rule
// with these conditions tests once its family conditions are folded in: its application
// conditions, intersected with the applications of its family conditions. A rule whose two
// conditions share no application gets [0xFFFFFFFF, 0xFFFFFFFF], a value no lookup interval
// holds: it matches no packet.
plx_fold_ranges plx_fold_apps(std::span<const plx_fold_cond> conds, uint32_t app_field,
                              std::span<const uint32_t> table);
