// fibd's bit in the initial-read order, against the real database program killed and started
// again on the same datastore.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <filesystem>

#include "peers/fibd/fibd_cdb.h"
#include "platform/confd/confd_cdb.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

namespace {

namespace fs = std::filesystem;

class FibdCdbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir("fibd-cdb");
        ASSERT_FALSE(dir_.empty());
        base_ = event_base_new();
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait_exit(pid_);
        }
        event_base_free(base_);
        fs::remove_all(dir_);
    }
    // Starts the database on port (0: any free one, learnt from its first line).
    void start_cdbd(uint16_t port) {
        const std::string log = dir_ + "/cdbd.log";
        fs::remove(log);
        pid_ = spawn({CDBD_BIN, "--yang-dir", std::string(PLX_YANG_MODELS_DIR), "--db-dir",
                      dir_ + "/db", "--port", std::to_string(port)},
                     log);
        port_ = static_cast<uint16_t>(wait_cdbd_port(log));
        ASSERT_NE(port_, 0);
        setenv("CONFD_IPC_PORT", std::to_string(port_).c_str(), 1);
    }
    // The mask as another client reads it (-1: none, -2: unreadable).
    long mask() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        long out = -2;
        if (cdb_connect(fd, CDB_DATA_SOCKET, nullptr, 0) == CONFD_OK &&
            cdb_start_session(fd, CDB_OPERATIONAL) == CONFD_OK) {
            confd_value_t v;
            if (cdb_get(fd, &v, "/qconfd-initial-read-priority") == CONFD_OK)
                out = v.type == C_BIT32 ? v.val.b32 : -3;
            else if (confd_errno == CONFD_ERR_NOEXISTS)
                out = -1;
            cdb_end_session(fd);
        }
        cdb_close(fd);
        return out;
    }
    bool loop_until(FibdCdb &c, uint32_t times, int ms) {
        return wait_for(
            [&] {
                event_base_loop(base_, EVLOOP_NONBLOCK);
                return c.times_set() >= times;
            },
            ms);
    }
    std::string dir_;
    event_base *base_ = nullptr;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// The bit is ORed into what the modules ahead of fibd set, and set again once the database
// comes back after being killed (its operational data gone).
TEST_F(FibdCdbTest, SetsItsBitAndSetsItAgainAfterARestart) {
    start_cdbd(0);
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(cdb_connect(fd, CDB_DATA_SOCKET, nullptr, 0), CONFD_OK) << confd_lasterr();
        ASSERT_EQ(cdb_start_session(fd, CDB_OPERATIONAL), CONFD_OK);
        confd_value_t v;
        CONFD_SET_BIT32(&v, 1);
        ASSERT_EQ(cdb_set_elem(fd, &v, "/qconfd-initial-read-priority"), CONFD_OK);
        cdb_end_session(fd);
        cdb_close(fd);
    }
    FibdCdb c(base_);
    ASSERT_TRUE(c.start());
    EXPECT_EQ(c.times_set(), 1u);
    EXPECT_EQ(mask(), 1 | 4);

    kill(pid_, SIGKILL);
    wait_exit(pid_);
    pid_ = -1;
    // Noticed at once; the retries fail while the database is away.
    for (int i = 0; i < 25; ++i) {
        event_base_loop(base_, EVLOOP_NONBLOCK);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    start_cdbd(port_);
    EXPECT_EQ(mask(), -1);
    ASSERT_TRUE(loop_until(c, 2, 3 * FibdCdb::kRetryMs));
    EXPECT_EQ(mask(), 4);
}

// Without a database fibd keeps retrying and sets the bit once one starts.
TEST_F(FibdCdbTest, RetriesUntilTheDatabaseStarts) {
    start_cdbd(0);
    const uint16_t port = port_;
    kill(pid_, SIGKILL);
    wait_exit(pid_);
    pid_ = -1;
    FibdCdb c(base_);
    ASSERT_TRUE(c.start());
    EXPECT_EQ(c.times_set(), 0u);
    start_cdbd(port);
    ASSERT_TRUE(loop_until(c, 1, 3 * FibdCdb::kRetryMs));
    EXPECT_EQ(mask(), 4);
}

}  // namespace
