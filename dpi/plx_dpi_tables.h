// The application-recognition tables that the daemon and the forwarding plane share:
//   "fp_dpi_proto_family_mapping"  entry 0: highest protocol id; entry p: family id of p (0 none)
//   "fp_dpi_proto_hits"            entry 0: highest protocol id the forwarding plane may count;
//                                  entry p: hits of protocol p
//   "DPI App Visibility knob"      number of policy users of recognition, as last published
// The forwarding plane counts a hit of p only while p is at most entry 0 of the hits table, so
// that a clear can stop counting by zeroing entry 0 first.
#pragma once

#include <cstdint>

#include "fplink/fp_common.h"

// Entries of the family and hits tables in every scaling profile.
inline constexpr uint32_t FP_NUM_DPI_PROTO_FAMILY_MAPPING = 4096;

struct plx_dpi_tables {
    uint32_t *family = nullptr;
    uint32_t *hits = nullptr;
    uint32_t entries = 0;  // of each table
    uint32_t *state = nullptr;

    bool valid() const { return family && hits && entries > 1 && state; }
};

// The tables of the attached shared object (all null when not attached).
inline plx_dpi_tables plx_dpi_tables_from_shm() {
    plx_dpi_tables t;
    t.family = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_DPI_PROTO_FAMILY));
    t.hits = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_DPI_PROTO_HITS));
    t.state = static_cast<uint32_t *>(fp_tbl_addr(FP_TBL_DPI_KNOB));
    if (t.family && t.hits)
        t.entries = fp_tbl_count(FP_TBL_DPI_PROTO_FAMILY);
    return t;
}
