#include "fplink/fp_common.h"
#include "common/plx_shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/plx_log.h"
#include "common/plx_paths.h"

fp_scaling g_fp_scaling;

namespace {

// ---- Profiles -------------------------------------------------------------------------------

constexpr uint64_t MIB = 1024ull * 1024;

// Builds a profile: the sizes the daemon relies on are given, the forwarding plane's own tables
// grow with the scale factor k.
constexpr fp_scaling make_profile(uint32_t total, uint32_t blocks, uint32_t filters,
                                  uint32_t hugepages, uint32_t k, uint32_t mem_class) {
    fp_scaling s{};
    s.shmem_info_tbl_size = 128;
    s.shmem_size = total;
    s.num_ports = 16 * (k < 4 ? k : 4);
    s.num_vrfs = 64 * k;
    s.num_labels = 4096 * k;
    s.num_interfaces = 256 * k;
    s.num_tunnels = 512 * k;
    s.num_arp = 4096 * k;
    s.num_nexthops = 4096 * k;
    s.num_classifiers = 1024 * k;
    s.num_policers = 1024 * k;
    s.num_rewrites = 1024 * k;
    s.num_fc_map = 64;
    s.num_fib_blocks = 4096 * k;
    s.num_ipsec_sa = 1024 * k;
    s.num_bfd = 512 * k;
    s.num_ctrl_tunnels = 64;
    s.num_mcast_groups = 256 * k;
    s.num_nat_intf = 64;
    s.num_nat_maps = 4096 * k;
    s.num_nat_filters = 1024 * k;
    s.num_tunnel_db = 512 * k;
    s.num_paths = 2048 * k;
    s.num_flows = 16384 * k;
    s.num_fib6_blocks = 1024 * k;
    s.num_bridges = 64;
    s.num_mac_entries = 4096 * k;
    s.num_debug = 64;
    s.dpi_mem_bytes = static_cast<uint32_t>(2 * MIB * k);
    s.num_nat_pools = 64 * k;
    s.num_cloud_apps = 256;
    s.num_tcp_opt = 1024 * k;
    s.num_frag = 1024 * k;
    s.num_frag_hash = 1024 * k;
    s.num_filter_mem_blocks = blocks;
    s.num_filters = filters;
    s.num_hugepages = hugepages;
    s.num_dpi_proto = 4096;
    s.num_global_ctrl = 1;
    s.num_dpi_knob = 1;
    s.num_log_cfg = 1;
    s.num_flow_knob = 1;
    s.num_vpn_bindings = FP_VPN_ID_MAX + 1;
    s.num_intf_acl_bindings = 256 * k;
    s.num_fib_ctrl = 1;
    s.num_one = 1;
    s.num_cpus = 1;
    s.num_ctrl_cores = 1;
    s.first_fwd_core = 0;
    s.last_fwd_core = 0;
    s.num_fwd_cores = 1;
    s.memory_class = mem_class;
    return s;
}

// [0] board 40001, [1..4] memory classes.
constexpr std::array<fp_scaling, 5> kProfiles = {
    make_profile(1610612736u, 1048576, 512, 4096, 8, 0),
    make_profile(104857600u, 6144, 256, 64, 1, 1),
    make_profile(184549376u, 65536, 256, 128, 2, 2),
    make_profile(536870912u, 1048576, 512, 256, 4, 3),
    make_profile(1610612736u, 1048576, 512, 512, 8, 4),
};

// ---- Table list -----------------------------------------------------------------------------

void *g_tbl_addr[FP_SHMEM_NUM_TABLES];
void *g_frag_addr[FP_MAX_CORES];
void *g_frag_hash_addr[FP_MAX_CORES];

uint8_t *g_base;
size_t g_mapped_size;
size_t g_free_offset;
size_t g_free_bytes;
std::optional<fp_machine> g_machine_override;
uint32_t g_board_type;

}  // namespace

#define FP_TBL(i, size, field, name) \
    { &g_tbl_addr[i], size, &fp_scaling::field, name, false }

fp_shmem_tbl_entry g_shmem_tbl[FP_SHMEM_NUM_TABLES] = {
    FP_TBL(0, 8, shmem_info_tbl_size, "fp_shmem_info"),
    FP_TBL(1, 256, num_ports, "fp_ports"),
    FP_TBL(2, 128, num_ports, "fp_port_stats"),
    FP_TBL(3, 128, num_vrfs, "fp_vrfs"),
    FP_TBL(4, 16, num_labels, "fp_labels"),
    FP_TBL(5, 512, num_interfaces, "fp_interfaces"),
    FP_TBL(6, 256, num_tunnels, "fp_tunnels"),
    FP_TBL(7, 64, num_arp, "fp_arp"),
    FP_TBL(8, 64, num_nexthops, "fp_nexthops"),
    FP_TBL(9, 64, num_classifiers, "fp_classifiers"),
    FP_TBL(10, 64, num_policers, "fp_policers"),
    FP_TBL(11, 32, num_rewrites, "fp_rewrites"),
    FP_TBL(12, 8, num_fc_map, "fp_fc_map"),
    FP_TBL(13, 256, num_fib_blocks, "fp_fib_blocks"),
    FP_TBL(14, 1024, num_one, "fp_global_stats"),
    FP_TBL(15, 4096, num_cpus, "fp_core_data"),
    FP_TBL(16, 256, num_ipsec_sa, "fp_ipsec_sa"),
    FP_TBL(17, 128, num_bfd, "fp_bfd"),
    FP_TBL(18, 64, num_debug, "fp_profiler"),
    FP_TBL(19, 584, num_global_ctrl, "fp-global-ctrl"),
    FP_TBL(20, 128, num_ctrl_tunnels, "fp_ctrl_tunnels"),
    FP_TBL(21, 128, num_mcast_groups, "fp_mcast_groups"),
    FP_TBL(22, 64, num_nat_intf, "fp_nat_interfaces"),
    FP_TBL(23, 64, num_nat_maps, "fp_nat_maps"),
    FP_TBL(24, 64, num_nat_filters, "fp_nat_filters"),
    FP_TBL(25, 128, num_tunnel_db, "fp_tunnel_db"),
    FP_TBL(26, 64, num_paths, "fp_paths"),
    FP_TBL(27, 128, num_flows, "fp_flows"),
    FP_TBL(28, 512, num_fib6_blocks, "fp_fib6_blocks"),
    FP_TBL(29, 256, num_bridges, "fp_bridges"),
    FP_TBL(30, 128, num_filter_mem_blocks, "fp_filter_mem"),
    FP_TBL(31, 12, num_filters, "fp_filters"),
    FP_TBL(32, 32, num_mac_entries, "fp_mac_table"),
    FP_TBL(33, 256, num_debug, "fp_debug"),
    FP_TBL(34, 1, dpi_mem_bytes, "fp_dpi_memory"),
    FP_TBL(35, 64, num_dpi_proto, "fp_dpi_stats"),
    FP_TBL(36, 128, num_nat_pools, "fp_nat_pools"),
    FP_TBL(37, 64, num_cloud_apps, "fp_cloud_app_map"),
    FP_TBL(38, 256, num_tcp_opt, "fp_tcp_opt"),
    FP_TBL(39, 64, num_cpus, "fp_tcp_opt_stats"),
    FP_TBL(40, 64, num_ports, "fp_port_queues"),
    FP_TBL(41, 32, num_policers, "fp_policer_stats"),
    FP_TBL(42, 32, num_classifiers, "fp_classifier_stats"),
    {g_frag_addr, 64, &fp_scaling::num_frag, "fp_ip_frag", true},
    {g_frag_hash_addr, 8, &fp_scaling::num_frag_hash, "fp_ip_frag_hash", true},
    FP_TBL(45, 32, num_arp, "fp_arp_stats"),
    FP_TBL(46, 32, num_nexthops, "fp_nexthop_stats"),
    FP_TBL(47, 128, num_tunnels, "fp_tunnel_stats"),
    FP_TBL(48, 16, num_labels, "fp_label_stats"),
    FP_TBL(49, 256, num_interfaces, "fp_interface_stats"),
    FP_TBL(50, 128, num_vrfs, "fp_vrf_stats"),
    FP_TBL(51, 64, num_bfd, "fp_bfd_stats"),
    FP_TBL(52, 64, num_ipsec_sa, "fp_ipsec_sa_stats"),
    FP_TBL(53, 64, num_mcast_groups, "fp_mcast_stats"),
    FP_TBL(54, 64, num_nat_maps, "fp_nat_stats"),
    FP_TBL(55, 32, num_flows, "fp_flow_stats"),
    FP_TBL(56, 32, num_paths, "fp_path_stats"),
    FP_TBL(57, 64, num_one, "fp_fib_stats"),
    FP_TBL(58, 64, num_one, "fp_fib6_stats"),
    FP_TBL(59, 16, num_mac_entries, "fp_mac_stats"),
    FP_TBL(60, 128, num_bridges, "fp_bridge_stats"),
    FP_TBL(61, 4, num_dpi_proto, "fp_dpi_proto_family_mapping"),
    FP_TBL(62, 4, num_dpi_proto, "fp_dpi_proto_hits"),
    FP_TBL(63, 4, num_dpi_knob, "DPI App Visibility knob"),
    FP_TBL(64, 64, num_flows, "fp_dpi_flows"),
    FP_TBL(65, 64, num_cloud_apps, "fp_cloud_app_stats"),
    FP_TBL(66, 128, num_tcp_opt, "fp_tcp_opt_sessions"),
    FP_TBL(67, 140, num_log_cfg, "Filter Log Configuration"),
    FP_TBL(68, 4, num_flow_knob, "Filter Flow visibility knob"),
    FP_TBL(69, 64, num_one, "fp_flow_export"),
    FP_TBL(70, 4, num_vrf_tables, "fp_vrf_label_map"),
    FP_TBL(71, 16, num_vrf_tables, "fp_vrf_route_stats"),
    FP_TBL(72, 24, num_vpn_bindings, "fp_vpn_policy_bindings"),
    FP_TBL(73, 56, num_intf_acl_bindings, "fp_intf_acl_bindings"),
    FP_TBL(74, 64, num_fib_ctrl, "fp_fib_ctrl"),
    FP_TBL(75, 128, num_ports, "fp_qos_schedulers"),
    FP_TBL(76, 64, num_ports, "fp_qos_queues"),
    FP_TBL(77, 256, num_debug, "fp_debug_trace"),
    FP_TBL(78, 128, num_one, "fp_spare"),
};
#undef FP_TBL

static_assert(sizeof(fp_global_ctrl) == 584 && sizeof(FilterEntry) == 12 &&
              sizeof(fp_vpn_binding) == 24 && sizeof(fp_intf_acl_binding) == 56 &&
              sizeof(fp_fib_ctrl) == 64);

// ---- Scaling --------------------------------------------------------------------------------

void fp_set_machine_probe(std::optional<fp_machine> m) {
    g_machine_override = m;
}

fp_machine fp_machine_probe() {
    if (g_machine_override)
        return *g_machine_override;
    fp_machine m{};
    struct sysinfo si {};
    if (sysinfo(&si) == 0)
        m.total_mem = static_cast<uint64_t>(si.totalram) * si.mem_unit;
    m.ncpu = sysconf(_SC_NPROCESSORS_ONLN);
    if (m.ncpu < 1)
        m.ncpu = 1;
    return m;
}

uint32_t fp_memory_class(const std::optional<std::string> &line, uint64_t total_mem) {
    if (line) {
        if (line->find("large") != std::string::npos)
            return 3;
        if (line->find("regular") != std::string::npos)
            return 2;
        if (line->find("small") != std::string::npos)
            return 1;
    }
    if (total_mem < 1610612736ull)
        return 1;
    if (total_mem < 2684354560ull)
        return 2;
    if (total_mem <= 4294967295ull)
        return 3;
    return 4;
}

uint32_t fp_hugepages(uint32_t mem_class, uint64_t total_mem) {
    PLX_ASSERT(mem_class >= 1 && mem_class <= 4);
    uint64_t pages = kProfiles[mem_class].num_hugepages;
    if (mem_class == 2 && total_mem > 1610612736ull)
        pages += (total_mem - 1610612736ull) / 4194304;
    if (mem_class == 1 && total_mem > 1073741824ull)
        pages += (total_mem - 1073741824ull) / 4194304;
    return static_cast<uint32_t>(pages > 512 ? 512 : pages);
}

void fp_set_cores(fp_scaling &s, long n) {
    if (n < 1)
        n = 1;
    s.num_cpus = static_cast<uint32_t>(n);
    if (n < 2) {
        s.num_ctrl_cores = 1;
        s.first_fwd_core = 0;
    } else if (n <= 16) {
        s.num_ctrl_cores = 1;
        s.first_fwd_core = 1;
        s.core_setting = n < 4 ? 0 : n < 8 ? 1 : 2;
    } else {
        s.num_ctrl_cores = 2;
        s.first_fwd_core = 2;
    }
    s.last_fwd_core = static_cast<uint32_t>(n - 1);
    s.num_fwd_cores = static_cast<uint32_t>(n) - s.first_fwd_core;
}

const fp_scaling &fp_profile(uint32_t mem_class) {
    PLX_ASSERT(mem_class <= 4);
    return kProfiles[mem_class];
}

void fp_set_board_type(uint32_t board_type) {
    g_board_type = board_type;
}
uint32_t fp_board_type() {
    return g_board_type;
}

static std::optional<std::string> read_size_file() {
    std::string path = plx_path("/etc/default/sim_size");
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return std::nullopt;
    char buf[64] = {};
    std::optional<std::string> line;
    if (fgets(buf, sizeof buf, f))
        line = std::string(buf);
    fclose(f);
    return line;
}

static void write_hugepages(uint32_t pages) {
    std::string path = plx_path("/boot/hugepage.conf");
    plx_make_parent_dirs(path);
    FILE *f = fopen(path.c_str(), "w");
    if (!f) {
        PLX_LOG("cannot write %s: %s\n", path.c_str(), strerror(errno));
        return;
    }
    fprintf(f, "%u", pages);
    fclose(f);
}

void fp_scaling_init(uint32_t board_type) {
    if (g_fp_scaling.shmem_info_tbl_size != 0)
        return;
    fp_machine m = fp_machine_probe();
    if (board_type == FP_BOARD_TYPE_40001) {
        g_fp_scaling = kProfiles[0];
        write_hugepages(g_fp_scaling.num_hugepages);
    } else {
        uint32_t mem_class = fp_memory_class(read_size_file(), m.total_mem);
        g_fp_scaling = kProfiles[mem_class];
        g_fp_scaling.num_hugepages = fp_hugepages(mem_class, m.total_mem);
        write_hugepages(g_fp_scaling.num_hugepages);
        fp_set_cores(g_fp_scaling, m.ncpu);
    }
    if (g_fp_scaling.last_fwd_core >= FP_MAX_CORES) {
        g_fp_scaling.last_fwd_core = FP_MAX_CORES - 1;
        g_fp_scaling.num_fwd_cores = FP_MAX_CORES - g_fp_scaling.first_fwd_core;
    }
    g_fp_scaling.num_vrf_tables = g_fp_scaling.num_vrfs * 64;
}

// ---- The shared object ----------------------------------------------------------------------

void *fp_shm_create(size_t size, size_t /*alignment*/, const char *name) {
    bool created = false;
    std::string why;
    int fd = plx_shm_open_checked(name, size, &created, why);
    if (fd < 0) {
        fprintf(stderr, "shm_open: shared object %s refused: %s\n", name, why.c_str());
        PLX_LOG("fp: shared object %s refused: %s", name, why.c_str());
        return nullptr;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : p;
}

static uint32_t *shm_lock_word() {
    return reinterpret_cast<uint32_t *>(g_base);
}

static void shm_lock() {
    std::atomic_ref<uint32_t> lock(*shm_lock_word());
    while (lock.exchange(1, std::memory_order_acquire) != 0) {
        while (lock.load(std::memory_order_relaxed) != 0) {
        }
    }
}

static void shm_unlock() {
    std::atomic_ref<uint32_t>(*shm_lock_word()).store(0, std::memory_order_release);
}

static size_t round_up(size_t v) {
    return (v + FP_SHMEM_ALIGN - 1) / FP_SHMEM_ALIGN * FP_SHMEM_ALIGN;
}

int fp_shm_attach(bool clear, bool lock) {
    fp_scaling_init(fp_board_type());
    std::string name = plx_shm_name(FP_SHMEM_NAME);
    size_t total = g_fp_scaling.shmem_size;
    void *p = fp_shm_create(total, FP_SHMEM_ALIGN, name.c_str());
    if (!p) {
        PLX_LOG("fp: named-block %s size %u\n", name.c_str(), g_fp_scaling.shmem_size);
        return -1;
    }
    g_base = static_cast<uint8_t *>(p);
    g_mapped_size = total;
    if (lock)
        shm_lock();
    PLX_ASSERT(g_fp_scaling.shmem_info_tbl_size >= (int)FP_SHMEM_NUM_TABLES);

    auto *info = reinterpret_cast<fp_shmem_info *>(g_base + FP_SHMEM_HDR_SIZE);
    size_t pos = FP_SHMEM_HDR_SIZE;
    size_t sum = 0;
    bool fits = true;
    for (int i = 0; i < FP_SHMEM_NUM_TABLES; ++i) {
        const fp_shmem_tbl_entry &e = g_shmem_tbl[i];
        size_t size = static_cast<size_t>(e.elem_size) * (g_fp_scaling.*e.count);
        if (size == 0) {
            PLX_LOG("invalid fp_scaling table entry %i %s. size = 0\n", i, e.name);
            PLX_ASSERT(size != 0);
        }
        uint32_t first = e.per_core ? g_fp_scaling.first_fwd_core : 0;
        uint32_t last = e.per_core ? g_fp_scaling.last_fwd_core : 0;
        size_t tbl_total = 0;
        for (uint32_t core = first; core <= last; ++core) {
            if (pos + size > total) {
                fits = false;
                e.addr[core] = nullptr;
            } else {
                e.addr[core] = g_base + pos;
                if (clear && i != FP_TBL_SHMEM_INFO)
                    memset(g_base + pos, 0, size);
            }
            tbl_total += size;
            pos += round_up(size);
        }
        sum += tbl_total;
        auto own_end = static_cast<uint32_t>(pos - FP_SHMEM_HDR_SIZE);
        auto own_size = static_cast<uint32_t>(tbl_total);
        fp_shmem_info &rec = info[i];
        if (rec.end_offset == 0 && rec.size == 0) {
            rec.end_offset = own_end;
            rec.size = own_size;
        } else if (rec.size != own_size || rec.end_offset != own_end) {
            PLX_LOG(
                "fp and fibd images not compatible! tbl-num %d Expected size %u actual-size %u "
                "Expected offset %u actual-offset %u\n",
                i, rec.size, own_size, rec.end_offset, own_end);
            if (lock)
                shm_unlock();
            PLX_ASSERT(rec.size == own_size && rec.end_offset == own_end);
        }
        if (!fits)
            break;
    }
    g_free_offset = pos;
    g_free_bytes = fits && total > sum ? total - sum : 0;
    if (!fits || g_free_bytes == 0 || g_fp_scaling.shmem_info_tbl_size < FP_SHMEM_NUM_TABLES) {
        if (lock)
            shm_unlock();
        PLX_ASSERT(fits && g_free_bytes > 0);
    }
    if (lock)
        shm_unlock();
    return 0;
}

void fp_shm_detach() {
    if (g_base)
        munmap(g_base, g_mapped_size);
    g_base = nullptr;
    g_mapped_size = 0;
    g_free_offset = g_free_bytes = 0;
    for (auto &a : g_tbl_addr)
        a = nullptr;
    for (auto &a : g_frag_addr)
        a = nullptr;
    for (auto &a : g_frag_hash_addr)
        a = nullptr;
    g_fp_scaling = fp_scaling{};
}

int fp_shm_unlink() {
    return shm_unlink(plx_shm_name(FP_SHMEM_NAME).c_str());
}

uint8_t *fp_shm_base() {
    return g_base;
}
size_t fp_shm_free_offset() {
    return g_free_offset;
}
size_t fp_shm_free_bytes() {
    return g_free_bytes;
}

void *fp_tbl_addr(int index, uint32_t core) {
    PLX_ASSERT(index >= 0 && index < FP_SHMEM_NUM_TABLES);
    const fp_shmem_tbl_entry &e = g_shmem_tbl[index];
    if (!e.per_core)
        return e.addr[0];
    PLX_ASSERT(core < FP_MAX_CORES);
    return e.addr[core];
}

uint32_t fp_tbl_count(int index) {
    PLX_ASSERT(index >= 0 && index < FP_SHMEM_NUM_TABLES);
    return g_fp_scaling.*g_shmem_tbl[index].count;
}

fp_global_ctrl *fp_global_ctrl_tbl() {
    return static_cast<fp_global_ctrl *>(fp_tbl_addr(FP_TBL_GLOBAL_CTRL));
}
uint8_t *fp_filter_mem() {
    return static_cast<uint8_t *>(fp_tbl_addr(FP_TBL_FILTER_MEM));
}
std::span<FilterEntry> fp_filters() {
    auto *p = static_cast<FilterEntry *>(fp_tbl_addr(FP_TBL_FILTERS));
    return p ? std::span<FilterEntry>(p, g_fp_scaling.num_filters) : std::span<FilterEntry>();
}
std::span<fp_vpn_binding> fp_vpn_bindings() {
    auto *p = static_cast<fp_vpn_binding *>(fp_tbl_addr(FP_TBL_VPN_BINDINGS));
    return p ? std::span<fp_vpn_binding>(p, g_fp_scaling.num_vpn_bindings)
             : std::span<fp_vpn_binding>();
}
std::span<fp_intf_acl_binding> fp_intf_acl_bindings() {
    auto *p = static_cast<fp_intf_acl_binding *>(fp_tbl_addr(FP_TBL_INTF_ACL_BINDINGS));
    return p ? std::span<fp_intf_acl_binding>(p, g_fp_scaling.num_intf_acl_bindings)
             : std::span<fp_intf_acl_binding>();
}
fp_fib_ctrl *fp_fib_ctrl_tbl() {
    return static_cast<fp_fib_ctrl *>(fp_tbl_addr(FP_TBL_FIB_CTRL));
}
fp_binding_tables fp_binding_tables_from_shm() {
    fp_binding_tables t;
    auto v = fp_vpn_bindings();
    t.vpn = v.data();
    t.num_vpn = static_cast<uint32_t>(v.size());
    auto i = fp_intf_acl_bindings();
    t.intf = i.data();
    t.num_intf = static_cast<uint32_t>(i.size());
    t.ctrl = fp_fib_ctrl_tbl();
    t.dpi_knob = static_cast<const uint32_t *>(fp_tbl_addr(FP_TBL_DPI_KNOB));
    return t;
}
