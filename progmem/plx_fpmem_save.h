// Copying a placed program out of filter memory, for offline inspection: the bytes written are
// the program as the forwarding plane runs it, which the offline compiler's evaluator and dump
// read back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "progmem/plx_if_fpmem.h"

// The program bound under filter_id in the given tables, checked to be a whole, well-formed
// program. Returns "" and fills out, or says what is wrong (nothing placed there, an entry
// pointing outside filter memory, a program that breaks its own layout).
std::string plx_mem_copy_program(const PlxMemTables &tables, uint32_t filter_id,
                                 std::vector<uint8_t> &out);
