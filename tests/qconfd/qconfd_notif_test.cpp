// Notifications through a real database: throttled by severity, dropped when a queue is full,
// sent directly while no throttler runs, and built from the shared region.
#include <fcntl.h>
#include <sys/mman.h>

#include <chrono>
#include <cstring>

#include "common/plx_paths.h"
#include "qconfd/plx_program_status.h"
#include "qconfd/qconfd_util.h"
#include "tests/qconfd/qconfd_test_env.h"
#include "tests/support/test_process.h"

namespace {

using Clock = std::chrono::steady_clock;

class Notif : public QconfdEnv {
  protected:
    void TearDown() override {
        qconfd_notification_throttler_free();
        QconfdEnv::TearDown();
    }
    // A programming notification for VPN list `name` at the given severity.
    int send(const std::string &name, int severity) {
        confd_tag_value_t v[PLX_PROGRAM_STATUS_VALUES];
        int n =
            plx_build_data_policy_status(v, {"ops", {2, {10, 0, 0, 1}}}, name.c_str(), "dp", true);
        CONFD_SET_ENUM_VALUE(&v[1].v, severity);
        return qconfd_event_send_notification(&ctx_, v, n);
    }
};

TEST_F(Notif, OneLeavesEvery200MsMostSevereFirstAndNoneWhileTheConnectionIsDown) {
    qconfd_notification_throttler_init(&ctx_);
    qconfd_notification_throttler_connection_reset();
    const std::pair<const char *, int> sent[] = {
        {"vl-a", 3}, {"vl-b", 2}, {"vl-c", 1}, {"vl-d", 3}, {"vl-e", 1}};
    for (const auto &[name, severity] : sent)
        ASSERT_EQ(send(name, severity), 0);
    EXPECT_EQ(qconfd_notification_queue_count(0), 2u);
    EXPECT_EQ(qconfd_notification_queue_count(1), 1u);
    EXPECT_EQ(qconfd_notification_queue_count(2), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(received("vl-").empty());

    qconfd_notification_throttler_init(&ctx_);  // the new connection's contexts
    std::vector<Clock::time_point> arrivals;
    ASSERT_TRUE(wait_for(
        [&] {
            if (received("vl-").size() > arrivals.size())
                arrivals.push_back(Clock::now());
            return arrivals.size() == 5;
        },
        5000));
    const auto got = received("vl-");
    const char *order[] = {"vl-c", "vl-e", "vl-b", "vl-a", "vl-d"};
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(got[i].find(order[i]), std::string::npos) << i << ": " << got[i];
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GE(arrivals[i] - arrivals[i - 1], std::chrono::milliseconds(150)) << i;
}

TEST_F(Notif, AFullQueueDropsOnlyItsSeverityAndStopDropsWhatWaits) {
    qconfd_notification_throttler_init(&ctx_);
    qconfd_notification_throttler_connection_reset();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(send("full-" + std::to_string(i), 1), 0);
    confd_tag_value_t v[PLX_PROGRAM_STATUS_VALUES];
    int n = plx_build_data_policy_status(v, {"", {}}, "over", "dp", false);
    CONFD_SET_ENUM_VALUE(&v[1].v, 1);
    EXPECT_EQ(qconfd_enqueue_notification(v, n), QCONFD_DROPPED);
    EXPECT_EQ(send("minor", 2), 0);
    EXPECT_EQ(qconfd_notification_queue_count(0), 100u);
    EXPECT_EQ(qconfd_notification_queue_count(1), 1u);

    qconfd_notification_throttler_free();
    EXPECT_EQ(qconfd_notification_queue_count(0), 0u);
    EXPECT_EQ(qconfd_enqueue_notification(v, n), QCONFD_NOT_QUEUED);
    // With no throttler the notification goes out at once, unthrottled.
    EXPECT_EQ(send("direct", 2), 0);
    EXPECT_TRUE(wait_for([&] { return received("direct").size() == 1; }, 2000));
    EXPECT_TRUE(received("full-").empty());
}

TEST_F(Notif, ProgrammingNotificationCarriesTheSharedRegionsUserAndAddress) {
    setenv("PLX_SHM_PREFIX", ("qn" + std::to_string(getpid()) + "_").c_str(), 1);
    const std::string name = plx_shm_name(QCONFD_SHM_NAME);
    int fd = shm_open(name.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, sizeof(qconfd_shared_region)), 0);
    auto *r = static_cast<qconfd_shared_region *>(
        mmap(nullptr, sizeof(qconfd_shared_region), PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    r->family = 2;
    const uint8_t addr[4] = {10, 1, 2, 3};
    std::memcpy(r->addr, addr, 4);
    std::strcpy(r->user, "alice");

    ASSERT_TRUE(qconfd_setup_shm());
    confd_tag_value_t v[PLX_PROGRAM_STATUS_VALUES];
    int n = plx_build_data_policy_status(v, plx_notif_origin(), "corp", "dp1", true);
    EXPECT_EQ(qconfd_notification_text(v, n),
              "data-policy-association-status severity:major user:alice "
              "user-address:10.1.2.3 vpn-list-name:corp policy-name:dp1 status:Success ");
    // The name is copied up to its limit even when the writer left no end.
    std::memset(r->user, 'u', sizeof r->user);
    EXPECT_EQ(std::strlen(qconfd_shared_user()), 253u);

    qconfd_free_shm();
    EXPECT_STREQ(qconfd_shared_user(), "");
    n = plx_build_access_list_status(v, plx_notif_origin(), "acl1", false);
    EXPECT_EQ(qconfd_notification_text(v, n),
              "access-list-association-status severity:major user:default "
              "user-address:10.1.2.3 access-list-name:acl1 status:Failed ");
    munmap(r, sizeof(qconfd_shared_region));
    shm_unlink(name.c_str());
    // A region that other users may write is refused; without one the daemon makes its own.
    fd = shm_open(name.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    ASSERT_EQ(ftruncate(fd, sizeof(qconfd_shared_region)), 0);
    close(fd);
    EXPECT_FALSE(qconfd_setup_shm());
    shm_unlink(name.c_str());
    ASSERT_TRUE(qconfd_setup_shm());
    EXPECT_STREQ(qconfd_shared_user(), "");
    qconfd_free_shm();
    EXPECT_NE(shm_unlink(name.c_str()), 0);  // removed by the daemon that made it

    // A router without syslog keeps the copy in the daemon's log, like every operator event.
    setenv("PLX_LOG_STDOUT", "1", 1);
    plx_log_open();
    const confd_datetime t{2026, 12, 6, 17, 5, 9, 0, 0, 0};
    testing::internal::CaptureStdout();
    qconfd_add_to_syslog(&t, v, n);
    const std::string out = testing::internal::GetCapturedStdout();
    unsetenv("PLX_LOG_STDOUT");
    plx_log_open();
    EXPECT_NE(out.find("-6-INFO-1400002: Notification: 12/6/2026 17:5:9 access-list-association"),
              std::string::npos)
        << out;
}

TEST_F(Notif, NothingIsSentBeforeTheDatabaseHasStarted) {
    qconfd_notification_throttler_init(&ctx_);
    stop();
    ASSERT_TRUE(start(1)) << start_err_;
    cdb_close(ctx_.data_sock);
    ctx_.data_sock = data_socket();
    EXPECT_EQ(send("early", 1), 0);
    EXPECT_EQ(qconfd_notification_queue_count(0), 0u);
    cdb_close(ctx_.data_sock);
    ctx_.data_sock = -1;
    EXPECT_EQ(send("no-socket", 1), 1);
}

}  // namespace
