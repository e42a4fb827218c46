// The forwarding plane's shared object: scaling profiles, the table list, the placement of the
// tables and the layout-compatibility check shared by every process that maps the object
// (forwarding plane, fibd, plxd).
//
// The object "almushtarika" (POSIX shared memory, name through plx_shm_name) starts with a
// 128-byte header whose first word is a spin lock; the tables follow in list order, each copy
// starting on a 128-byte boundary. Table 0 ("fp_shmem_info") records, for every table, its end
// offset and size as seen by the first process to attach; every later attach compares its own
// layout with that record and stops on a difference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "fplink/fp_tables.h"

inline constexpr uint32_t FP_BOARD_TYPE_40001 = 40001;
inline constexpr int FP_SHMEM_NUM_TABLES = 79;
inline constexpr uint32_t FP_SHMEM_HDR_SIZE = 128;
inline constexpr uint32_t FP_SHMEM_ALIGN = 128;
inline constexpr uint32_t FP_MAX_CORES = 256;
inline constexpr const char *FP_SHMEM_NAME = "almushtarika";
inline constexpr uint32_t FP_VPN_ID_MAX = 65535;  // VPN ids index "fp_vpn_policy_bindings"

// Scaling profile: sizes every table. 74 u32 fields, 296 bytes.
struct fp_scaling {
    uint32_t shmem_info_tbl_size;
    uint32_t shmem_size;  // total size of the object in bytes
    uint32_t num_ports;
    uint32_t num_vrfs;
    uint32_t num_labels;
    uint32_t num_interfaces;
    uint32_t num_tunnels;
    uint32_t num_arp;
    uint32_t num_nexthops;
    uint32_t num_classifiers;
    uint32_t num_policers;
    uint32_t num_rewrites;
    uint32_t num_fc_map;
    uint32_t num_fib_blocks;
    uint32_t num_ipsec_sa;
    uint32_t num_bfd;
    uint32_t num_ctrl_tunnels;
    uint32_t num_mcast_groups;
    uint32_t num_nat_intf;
    uint32_t num_nat_maps;
    uint32_t num_nat_filters;
    uint32_t num_tunnel_db;
    uint32_t num_paths;
    uint32_t num_flows;
    uint32_t num_fib6_blocks;
    uint32_t num_bridges;
    uint32_t num_mac_entries;
    uint32_t num_debug;
    uint32_t dpi_mem_bytes;
    uint32_t num_nat_pools;
    uint32_t num_cloud_apps;
    uint32_t num_tcp_opt;
    uint32_t num_frag;       // per forwarding core
    uint32_t num_frag_hash;  // per forwarding core
    uint32_t num_filter_mem_blocks;
    uint32_t num_filters;
    uint32_t num_hugepages;
    uint32_t num_dpi_proto;
    uint32_t num_global_ctrl;
    uint32_t num_dpi_knob;
    uint32_t num_log_cfg;
    uint32_t num_flow_knob;
    uint32_t num_vpn_bindings;
    uint32_t num_intf_acl_bindings;
    uint32_t num_fib_ctrl;
    uint32_t num_one;         // count of the other single-record tables
    uint32_t num_vrf_tables;  // derived: num_vrfs * 64 (entries 70 and 71)
    uint32_t num_cpus;        // online processors
    uint32_t num_ctrl_cores;
    uint32_t first_fwd_core;
    uint32_t last_fwd_core;
    uint32_t core_setting;
    uint32_t num_fwd_cores;
    uint32_t memory_class;  // 1..4, or 0 for board 40001
    uint32_t reserved[20];
};
static_assert(sizeof(fp_scaling) == 296);
static_assert(offsetof(fp_scaling, shmem_size) == 4);

extern fp_scaling g_fp_scaling;

// One row of the table list.
struct fp_shmem_tbl_entry {
    void **addr;  // where the address goes; for a per-core table an array indexed by core
    uint32_t elem_size;
    uint32_t fp_scaling::*count;  // field of g_fp_scaling giving the element count
    const char *name;
    bool per_core;
};

// The list, in its fixed order. Mutable so that tests can build a disagreeing layout.
extern fp_shmem_tbl_entry g_shmem_tbl[FP_SHMEM_NUM_TABLES];

// Indices of the tables that the daemon, fibd and the forwarding plane share.
enum fp_tbl_index : int {
    FP_TBL_SHMEM_INFO = 0,
    FP_TBL_GLOBAL_CTRL = 19,
    FP_TBL_FILTER_MEM = 30,
    FP_TBL_FILTERS = 31,
    FP_TBL_FRAG = 43,
    FP_TBL_FRAG_HASH = 44,
    FP_TBL_DPI_PROTO_FAMILY = 61,
    FP_TBL_DPI_PROTO_HITS = 62,
    FP_TBL_DPI_KNOB = 63,
    FP_TBL_FILTER_LOG_CFG = 67,
    FP_TBL_FLOW_KNOB = 68,
    FP_TBL_VRF_MAP = 70,
    FP_TBL_VRF_STATS = 71,
    FP_TBL_VPN_BINDINGS = 72,
    FP_TBL_INTF_ACL_BINDINGS = 73,
    FP_TBL_FIB_CTRL = 74,
};

// ---- Scaling ----------------------------------------------------------------------------------

// What the profile choice needs to know about the machine.
struct fp_machine {
    uint64_t total_mem;  // bytes
    long ncpu;           // online processors
};

// Machine probe: sysinfo() and sysconf() unless tests install their own (null restores).
void fp_set_machine_probe(std::optional<fp_machine> m);
fp_machine fp_machine_probe();

// Memory class 1..4 from the first line of the size file (nullopt: no file) and the memory size.
uint32_t fp_memory_class(const std::optional<std::string> &sim_size_line, uint64_t total_mem);

// Hugepage count for a memory class (not board 40001), at most 512.
uint32_t fp_hugepages(uint32_t mem_class, uint64_t total_mem);

// Fills the core fields of a profile from the number of online processors.
void fp_set_cores(fp_scaling &s, long ncpu);

// The constant profile of board 40001 (mem_class 0) or of a memory class 1..4.
const fp_scaling &fp_profile(uint32_t mem_class);

// Chooses and fills g_fp_scaling once per process (no effect while it is filled); writes the
// hugepage count to "/boot/hugepage.conf".
void fp_scaling_init(uint32_t board_type);

// Board type of the platform's board record: 0 (x86) unless set.
void fp_set_board_type(uint32_t board_type);
uint32_t fp_board_type();

// ---- The shared object ------------------------------------------------------------------------

// shm_open + ftruncate + mmap of the whole object; null on failure.
void *fp_shm_create(size_t size, size_t alignment, const char *name);

// Maps the object, places the tables and checks them against the recorded layout. clear: zero
// every table (the forwarding plane does this at its start). lock: hold the spin lock during the
// walk. 0, or -1 when the object cannot be mapped. A disagreeing layout stops the process.
int fp_shm_attach(bool clear, bool lock);

// Unmaps the object and forgets the profile and table addresses (tests, tools).
void fp_shm_detach();

// Removes the object's name (the mapping of every process stays valid).
int fp_shm_unlink();

// Address of the mapped object, null when not attached.
uint8_t *fp_shm_base();
// Start (offset from the object's start) and size of the free area after the tables.
size_t fp_shm_free_offset();
size_t fp_shm_free_bytes();

// Address of table i (core copy for per-core tables), null when not attached.
void *fp_tbl_addr(int index, uint32_t core = 0);
// Element count of table i under the current profile.
uint32_t fp_tbl_count(int index);

// Typed views of the shared tables.
fp_global_ctrl *fp_global_ctrl_tbl();
uint8_t *fp_filter_mem();  // num_filter_mem_blocks blocks of 128 bytes
std::span<FilterEntry> fp_filters();
std::span<fp_vpn_binding> fp_vpn_bindings();
std::span<fp_intf_acl_binding> fp_intf_acl_bindings();
fp_fib_ctrl *fp_fib_ctrl_tbl();
// The binding tables of the attached object (all null when not attached).
fp_binding_tables fp_binding_tables_from_shm();
