#include "progmem/plx_fpmem_save.h"

#include <cstring>

#include "peers/fpeval/fp_eval.h"

std::string plx_mem_copy_program(const PlxMemTables &t, uint32_t filter_id,
                                 std::vector<uint8_t> &out) {
    out.clear();
    if (!t.filters || filter_id >= t.num_filters)
        return "filter " + std::to_string(filter_id) + " is out of range (" +
               std::to_string(t.num_filters) + " filters)";
    const FilterEntry &f = t.filters[filter_id];
    if (fp_filter_valid_halfword(f) == 0)
        return "no program is placed under filter " + std::to_string(filter_id);
    const uint64_t start = fp_load(f.hw_index), blocks = fp_load(f.num_blocks);
    if (blocks == 0 || start + blocks > t.num_blocks)
        return "filter " + std::to_string(filter_id) + " points outside filter memory (blocks " +
               std::to_string(start) + "+" + std::to_string(blocks) + " of " +
               std::to_string(t.num_blocks) + ")";
    const uint8_t *base = t.filter_mem + start * FP_FILTER_BLOCK_SIZE;
    uint32_t length = 0;
    std::memcpy(&length, base + offsetof(PolicyProgram, length), sizeof length);
    if (length < sizeof(PolicyProgram) || length > blocks * FP_FILTER_BLOCK_SIZE)
        return "the program of filter " + std::to_string(filter_id) + " claims " +
               std::to_string(length) + " bytes in " + std::to_string(blocks) + " blocks";
    out.assign(base, base + length);
    if (const char *why = fp_validate(out)) {
        out.clear();
        return "the program of filter " + std::to_string(filter_id) + " is malformed: " + why;
    }
    return "";
}
