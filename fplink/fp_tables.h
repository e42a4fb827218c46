// Records that live in the forwarding plane's shared object and are read or written by more than
// one process (forwarding plane, fibd, plxd). Every layout here is binding byte for byte.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// One word of shared memory accessed atomically (the other side runs concurrently).
template <typename T>
inline T fp_load(const T &v) {
    return std::atomic_ref<T>(const_cast<T &>(v)).load(std::memory_order_acquire);
}
template <typename T>
inline void fp_store(T &v, T value) {
    std::atomic_ref<T>(v).store(value, std::memory_order_release);
}

// Entry i of "fp_shmem_info": where table i ends and how large it is.
struct fp_shmem_info {
    uint32_t end_offset;  // relative to byte 128 of the object
    uint32_t size;        // bytes over all copies of the table
};
static_assert(sizeof(fp_shmem_info) == 8);

// "fp-global-ctrl": the forwarding plane's global control record (584 bytes).
struct fp_global_ctrl {
    uint8_t reserved0[19];
    uint8_t flags19;      // bit 2: tables ready
    uint32_t pid;         // process id of the forwarding plane
    uint64_t clock_rate;  // forwarding-plane clock, cycles per second (policer arithmetic)
    uint64_t packets;     // packets processed since start
    uint8_t reserved[584 - 40];
};
static_assert(sizeof(fp_global_ctrl) == 584);
static_assert(offsetof(fp_global_ctrl, flags19) == 19);
static_assert(offsetof(fp_global_ctrl, pid) == 20);
static_assert(offsetof(fp_global_ctrl, clock_rate) == 24);
inline constexpr uint8_t FP_GLOBAL_READY_BIT = 1u << 2;

inline bool fp_global_ready(const fp_global_ctrl &g) {
    return (fp_load(g.flags19) & FP_GLOBAL_READY_BIT) != 0;
}

// "fp_filters": one entry per filter number; tells the forwarding plane where a program lies.
struct FilterEntry {
    uint8_t valid;     // 1 while a program holds the number
    uint8_t zero;      // always 0 (valid and this byte read together as a halfword)
    uint8_t activity;  // bit 0: set by the forwarding plane when it uses the filter
    uint8_t reserved;
    uint32_t hw_index;    // first 128-byte block of the program
    uint32_t num_blocks;  // blocks it takes
};
static_assert(sizeof(FilterEntry) == 12);
static_assert(offsetof(FilterEntry, activity) == 2 && offsetof(FilterEntry, hw_index) == 4 &&
              offsetof(FilterEntry, num_blocks) == 8);
inline constexpr uint8_t FP_FILTER_ACTIVITY_BIT = 1u << 0;
inline constexpr uint32_t FP_FILTER_BLOCK_SIZE = 128;
inline constexpr uint32_t FP_FILTER_NONE = 0xFFFFFFFFu;

inline uint16_t fp_filter_valid_halfword(const FilterEntry &f) {
    return static_cast<uint16_t>(fp_load(f.valid) | (fp_load(f.zero) << 8));
}

// Sets the activity bit, keeping the other bits of the byte.
inline void fp_filter_mark_active(FilterEntry &f) {
    std::atomic_ref<uint8_t>(f.activity)
        .fetch_or(FP_FILTER_ACTIVITY_BIT, std::memory_order_relaxed);
}
// Clears the activity bit; returns whether it was set.
inline bool fp_filter_test_clear_active(FilterEntry &f) {
    uint8_t old =
        std::atomic_ref<uint8_t>(f.activity)
            .fetch_and(static_cast<uint8_t>(~FP_FILTER_ACTIVITY_BIT), std::memory_order_relaxed);
    return (old & FP_FILTER_ACTIVITY_BIT) != 0;
}

// ---- Bindings that fibd hands to the forwarding plane -------------------------------------------

// Policy filter types of the forwarding-table messages.
inline constexpr uint8_t FP_FILTER_TYPE_DATA = 1;
inline constexpr uint8_t FP_FILTER_TYPE_APP_ROUTE = 2;

// Data-policy directions: which packets of the VPN a data policy sees.
inline constexpr uint8_t FP_DIR_FROM_SERVICE = 1;  // arriving from the service side
inline constexpr uint8_t FP_DIR_FROM_TUNNEL = 2;   // arriving from the tunnel side
inline constexpr uint8_t FP_DIR_ALL = 3;           // both
inline constexpr unsigned FP_DATA_DIRS = 3;

// "fp_vpn_policy_bindings": one entry per VPN id (the id is the index). A VPN can have one data
// policy per direction and one app-route policy at the same time; each filter id counts only
// while its bit in `bound` is set. A zeroed entry binds nothing.
struct fp_vpn_binding {
    uint32_t data_filter[FP_DATA_DIRS];  // [direction - 1]: from-service, from-tunnel, all
    uint32_t app_route_filter;
    uint8_t bound;  // fp_data_bound_bit(direction) | FP_BIND_APP_ROUTE
    uint8_t reserved[7];
};
static_assert(sizeof(fp_vpn_binding) == 24);
static_assert(offsetof(fp_vpn_binding, app_route_filter) == 12 &&
              offsetof(fp_vpn_binding, bound) == 16);
inline constexpr uint8_t fp_data_bound_bit(uint8_t dir) {
    return static_cast<uint8_t>(1u << (dir - 1));
}
inline constexpr uint8_t FP_BIND_APP_ROUTE = 1u << 3;

inline bool fp_data_dir_valid(uint8_t dir) {
    return dir >= FP_DIR_FROM_SERVICE && dir <= FP_DIR_ALL;
}
// The filter of a data policy bound in direction dir, or FP_FILTER_NONE.
inline uint32_t fp_vpn_data_filter(const fp_vpn_binding &b, uint8_t dir) {
    if (!fp_data_dir_valid(dir) || !(fp_load(b.bound) & fp_data_bound_bit(dir)))
        return FP_FILTER_NONE;
    return fp_load(b.data_filter[dir - 1]);
}
// The filter of the app-route policy, or FP_FILTER_NONE.
inline uint32_t fp_vpn_app_route_filter(const fp_vpn_binding &b) {
    return fp_load(b.bound) & FP_BIND_APP_ROUTE ? fp_load(b.app_route_filter) : FP_FILTER_NONE;
}

// Access-list binding families and directions.
inline constexpr uint32_t FP_ACL_FAMILY_V4 = 0;
inline constexpr uint32_t FP_ACL_FAMILY_V6 = 1;
inline constexpr uint8_t FP_ACL_DIR_IN = 1;
inline constexpr uint8_t FP_ACL_DIR_OUT = 2;
inline constexpr size_t FP_INTF_NAME_LEN = 33;

// "fp_intf_acl_bindings": one entry per interface that has an access list bound to it.
// acl_filter[direction - 1][family] is the filter id of the bound access list while bit
// fp_acl_bound_bit(direction, family) of `bound` is set. An entry is in use while its name is not
// empty.
struct fp_intf_acl_binding {
    char name[FP_INTF_NAME_LEN];  // NUL-terminated interface name
    uint8_t bound;
    uint8_t reserved[2];
    uint32_t vpn_id;  // VPN of the latest binding
    uint32_t acl_filter[2][2];
};
static_assert(sizeof(fp_intf_acl_binding) == 56);
inline constexpr uint8_t fp_acl_bound_bit(uint8_t dir, uint32_t family) {
    return static_cast<uint8_t>(1u << ((dir - 1) * 2 + family));
}
static_assert(offsetof(fp_intf_acl_binding, vpn_id) == 36 &&
              offsetof(fp_intf_acl_binding, acl_filter) == 40);

// "fp_fib_ctrl": fibd's control record. The generation counter grows after every change to
// the binding tables, so that readers can cache their look-ups.
struct fp_fib_ctrl {
    uint32_t generation;
    uint8_t dpi_off;  // 1 while no policy uses application recognition (as plxd last told fibd)
    uint8_t reserved0[3];
    uint32_t fibd_pid;
    uint32_t messages;  // forwarding-table messages applied
    uint32_t rejected;  // malformed messages dropped
    uint8_t reserved[44];
};
static_assert(sizeof(fp_fib_ctrl) == 64);

// Where fibd's binding tables are: fibd writes them, the forwarding plane reads them. Normally
// those of the attached shared object; tests hand in arrays of their own.
struct fp_binding_tables {
    fp_vpn_binding *vpn = nullptr;
    uint32_t num_vpn = 0;
    fp_intf_acl_binding *intf = nullptr;
    uint32_t num_intf = 0;
    fp_fib_ctrl *ctrl = nullptr;
    // "DPI App Visibility knob": plxd's count of policies using application recognition.
    const uint32_t *dpi_knob = nullptr;
};
