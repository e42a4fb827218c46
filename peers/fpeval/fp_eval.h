// Reference evaluation of a match program, the way the forwarding plane runs it for a packet:
// leaf lookups of packet fields, combined lookups of register values, multiply and add steps,
// and the final step selecting an action record. Every lookup searches its table's tree from
// the root, going left while v < lo and right while v >= hi.
//
// The intervals of a field tile 0..0xFFFFFFFE only; a packet value of 0xFFFFFFFF (such as the
// broadcast address) is looked up as 0xFFFFFFFE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "compiler/plx_program.h"

// Packet field values indexed by field id (index 0 unused; 1..18 as in plx_program.h).
struct FpPacket {
    uint32_t field[PLX_NUM_FIELDS + 1] = {};
};

enum FpEvalStatus : int {
    FP_EVAL_OK = 0,
    FP_EVAL_NO_INTERVAL = 1,  // some looked-up value lies in no interval (malformed tables)
    FP_EVAL_BAD_PROGRAM = 2,  // the program breaks its own layout
};

struct FpEvalResult {
    int status = FP_EVAL_BAD_PROGRAM;
    int64_t index = -1;                    // action entry selected (the final ec_id)
    const ActionRecord *record = nullptr;  // that entry
};

// Checks that a program's header, directory, instructions and tables lie inside `bytes` and
// that every link and operand is in range, so that fp_eval never reads outside the program.
// Returns nullptr when valid, else a description of the first problem found.
const char *fp_validate(std::span<const uint8_t> bytes);

// Evaluates a program (validated, or written by the compiler) for one packet.
FpEvalResult fp_eval(const PolicyProgram *prog, const FpPacket &pkt);
