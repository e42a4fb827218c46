#include "fplink/fp_common.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "common/plx_log.h"
#include "common/plx_paths.h"
#include "tests/support/fp_test_env.h"

namespace {

constexpr uint64_t GIB = 1024ull * 1024 * 1024;

TEST(FpScaling, MemoryClassHugepagesAndCores) {
    // Without a size file the class follows the memory size; the file's words win over it.
    const struct {
        uint64_t mem;
        uint32_t cls;
    } by_mem[] = {{1610612736ull - 1, 1},
                  {1610612736ull, 2},
                  {2684354560ull, 3},
                  {4 * GIB - 1, 3},
                  {4 * GIB, 4}};
    for (const auto &c : by_mem)
        EXPECT_EQ(fp_memory_class(std::nullopt, c.mem), c.cls) << c.mem;
    EXPECT_EQ(fp_memory_class(std::string("small\n"), 64 * GIB), 1u);
    EXPECT_EQ(fp_memory_class(std::string("sim=regular"), 64 * GIB), 2u);
    EXPECT_EQ(fp_memory_class(std::string("large"), GIB), 3u);
    EXPECT_EQ(fp_memory_class(std::string("huge"), GIB), 1u);
    // Class 1 adds one page per 4 MiB above 1 GiB, capped at 512.
    EXPECT_EQ(fp_hugepages(1, GIB), 64u);
    EXPECT_EQ(fp_hugepages(1, GIB + 40 * 4194304ull), 104u);
    EXPECT_EQ(fp_hugepages(1, 64 * GIB), 512u);
    EXPECT_EQ(fp_hugepages(2, GIB), 128u);
    EXPECT_EQ(fp_hugepages(3, 4 * GIB), 256u);
    EXPECT_EQ(fp_hugepages(4, 8 * GIB), 512u);

    // Processors: control cores, first and last forwarding core, forwarding cores, setting.
    const struct {
        long n;
        uint32_t want[5];
    } cores[] = {{1, {1, 0, 0, 1, 0}}, {2, {1, 1, 1, 1, 0}},    {3, {1, 1, 2, 2, 0}},
                 {4, {1, 1, 3, 3, 1}}, {16, {1, 1, 15, 15, 2}}, {17, {2, 2, 16, 15, 0}}};
    for (const auto &c : cores) {
        fp_scaling s{};
        fp_set_cores(s, c.n);
        const uint32_t got[5] = {s.num_ctrl_cores, s.first_fwd_core, s.last_fwd_core,
                                 s.num_fwd_cores, s.core_setting};
        EXPECT_TRUE(std::equal(got, got + 5, c.want)) << c.n;
    }
}

TEST(FpScaling, InitReadsSizeFileAndWritesHugepages) {
    FpTestEnv env;
    fp_set_machine_probe(fp_machine{GIB + 8 * 4194304ull, 4});
    fp_scaling_init(0);
    EXPECT_EQ(g_fp_scaling.shmem_size, fp_profile(1).shmem_size);
    EXPECT_EQ(g_fp_scaling.num_filters, fp_profile(1).num_filters);
    EXPECT_EQ(g_fp_scaling.num_hugepages, 72u);
    EXPECT_EQ(g_fp_scaling.num_vrf_tables, g_fp_scaling.num_vrfs * 64);
    EXPECT_EQ(g_fp_scaling.last_fwd_core, 3u);
    std::string text;
    std::ifstream(env.root() + "/boot/hugepage.conf") >> text;
    EXPECT_EQ(text, "72");
    // Filled once per process.
    fp_set_machine_probe(fp_machine{64 * GIB, 4});
    fp_scaling_init(FP_BOARD_TYPE_40001);
    EXPECT_EQ(g_fp_scaling.num_hugepages, 72u);
    fp_shm_detach();
    fp_scaling_init(FP_BOARD_TYPE_40001);
    EXPECT_EQ(g_fp_scaling.num_filter_mem_blocks, fp_profile(0).num_filter_mem_blocks);
    fp_set_machine_probe(std::nullopt);
}

TEST(FpShm, PlacementAndInfoTable) {
    FpTestEnv env;
    fp_set_machine_probe(fp_machine{8 * GIB, 3});
    ASSERT_EQ(fp_shm_attach(true, true), 0);
    uint8_t *base = fp_shm_base();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(*reinterpret_cast<uint32_t *>(base), 0u) << "lock released";
    auto *info = reinterpret_cast<fp_shmem_info *>(base + FP_SHMEM_HDR_SIZE);
    EXPECT_EQ(fp_tbl_addr(FP_TBL_SHMEM_INFO), base + FP_SHMEM_HDR_SIZE);
    size_t pos = FP_SHMEM_HDR_SIZE;
    for (int i = 0; i < FP_SHMEM_NUM_TABLES; ++i) {
        size_t one = size_t{g_shmem_tbl[i].elem_size} * fp_tbl_count(i);
        size_t copies = g_shmem_tbl[i].per_core ? 2 : 1;  // forwarding cores 1 and 2
        EXPECT_EQ(fp_tbl_addr(i, g_shmem_tbl[i].per_core ? 1 : 0), base + pos) << i;
        EXPECT_EQ(info[i].size, one * copies) << i;
        pos += copies * ((one + 127) / 128 * 128);
        EXPECT_EQ(info[i].end_offset, pos - FP_SHMEM_HDR_SIZE) << i;
    }
    EXPECT_EQ(fp_tbl_addr(FP_TBL_FRAG, 2),
              static_cast<uint8_t *>(fp_tbl_addr(FP_TBL_FRAG, 1)) +
                  (size_t{64} * g_fp_scaling.num_frag + 127) / 128 * 128);
    EXPECT_EQ(fp_shm_free_offset(), pos);
    EXPECT_GT(fp_shm_free_bytes(), 0u);
    EXPECT_EQ(fp_filters().size(), fp_tbl_count(FP_TBL_FILTERS));
    fp_set_machine_probe(std::nullopt);
}

TEST(FpShm, SecondProcessAgreesOrStops) {
    FpTestEnv env;
    fp_set_machine_probe(fp_machine{8 * GIB, 2});
    ASSERT_EQ(fp_shm_attach(true, true), 0);
    fp_global_ctrl_tbl()->pid = 4242;

    ChildResult same = run_in_child([] {
        fp_shm_detach();
        if (fp_shm_attach(false, true) != 0)
            return 3;
        return fp_global_ctrl_tbl()->pid == 4242 ? 0 : 4;
    });
    EXPECT_TRUE(same.exited_ok()) << same.output;

    ChildResult differ = run_in_child([] {
        fp_shm_detach();
        plx_debug_flags |= PLX_DEBUG_CONSOLE;
        g_shmem_tbl[5].elem_size += 8;
        fp_shm_attach(false, true);
        return 0;
    });
    EXPECT_TRUE(differ.aborted()) << differ.output;
    EXPECT_NE(differ.output.find("fp and fibd images not compatible! tbl-num 5 Expected size"),
              std::string::npos)
        << differ.output;
    // The lock was released before stopping, so a later attach still works.
    EXPECT_EQ(*reinterpret_cast<uint32_t *>(fp_shm_base()), 0u);
    ChildResult again = run_in_child([] {
        fp_shm_detach();
        return fp_shm_attach(false, true);
    });
    EXPECT_TRUE(again.exited_ok()) << again.output;
    fp_set_machine_probe(std::nullopt);
}

// An object that someone else created first, that others may touch, or that was truncated (a
// mapping would end in SIGBUS) is refused with a message, never mapped.
TEST(FpShm, ForeignOpenOrTruncatedObjectIsRefused) {
    FpTestEnv env;
    fp_scaling_init(0);
    const off_t full = g_fp_scaling.shmem_size;
    struct Case {
        mode_t mode;
        off_t size;
        uid_t owner;
        const char *why;
    } cases[] = {{0666, full, 0, "mode 0666 lets other users in"},
                 {0600, 4096, 0, "its size is 4096 bytes"},
                 {0600, full, 65534, "owned by uid 65534"}};
    const std::string name = plx_shm_name(FP_SHMEM_NAME);
    for (const Case &c : cases) {
        if (c.owner && geteuid() != 0)
            continue;
        int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchmod(fd, c.mode), 0);
        ASSERT_EQ(ftruncate(fd, c.size), 0);
        if (c.owner) {
            ASSERT_EQ(fchown(fd, c.owner, c.owner), 0);
        }
        close(fd);
        ChildResult r = run_in_child([] {
            plx_debug_flags |= PLX_DEBUG_CONSOLE;
            return fp_shm_attach(false, true) == -1 ? 0 : 1;
        });
        EXPECT_TRUE(r.exited_ok()) << c.why << ": " << r.output;
        EXPECT_NE(r.output.find(c.why), std::string::npos) << r.output;
        shm_unlink(name.c_str());
    }
    // No object at all.
    setenv("PLX_SHM_PREFIX", "no/such/dir/", 1);
    EXPECT_EQ(fp_shm_attach(false, true), -1);
    EXPECT_EQ(fp_shm_base(), nullptr);
}

}  // namespace
