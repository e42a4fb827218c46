#include "common/sysmgr_client.h"

#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/msgq_util.h"
#include "common/qrv_util.h"
#include "tests/common/event_loop_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The system manager's end, as a plain server queue of this process.
struct Manager {
    msgq_handle *h = nullptr;
    std::vector<Bytes> got;
    static void up(msgq_handle *, void *) {}
    static void recv(msgq_handle *m, uint8_t *p, uint32_t len, void *arg) {
        static_cast<Manager *>(arg)->got.emplace_back(p, p + len);
        msgq_free(m, p);
    }
};

struct Notices {
    std::vector<Bytes> got;
    static void cb(void *ctx, const uint8_t *msg, uint32_t len) {
        static_cast<Notices *>(ctx)->got.emplace_back(msg, msg + len);
    }
};

class SysmgrClientTest : public EventLoopFixture {
  protected:
    void SetUp() override {
        EventLoopFixture::SetUp();
        msgq_params p = msgq_local_params(base_, tm_);
        msgq_callbacks cbs{Manager::up, Manager::up, Manager::up, Manager::recv, nullptr, nullptr};
        mgr_.h = msgq_init(QRV_MOD_SYSMGR, QRV_MOD_PLXD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, &mgr_);
        ASSERT_NE(mgr_.h, nullptr);
    }
    void TearDown() override {
        app_sysmgr_close(client_);
        msgq_deinit(mgr_.h);
        EXPECT_EQ(msgq_get_instance(), nullptr);
        EventLoopFixture::TearDown();
    }
    void send_to_client(const Bytes &payload) {
        uint8_t *buf = msgq_alloc(mgr_.h, payload.size());
        std::memcpy(buf, payload.data(), payload.size());
        ASSERT_EQ(msgq_write(mgr_.h, buf, payload.size()), 0);
    }

    Manager mgr_;
    Notices notices_;
    app_sysmgr_client *client_ = nullptr;
};

TEST_F(SysmgrClientTest, HelloHasTheFixedLayoutAndNoticesReachTheCallback) {
    client_ = app_sysmgr_connect(base_, tm_, nullptr, QRV_MOD_PLXD, &notices_, Notices::cb);
    ASSERT_NE(client_, nullptr);
    advance_ms(MSGQ_CONNECT_INTERVAL_MS);
    ASSERT_TRUE(run_until([&] { return mgr_.got.size() == 1; }));

    Bytes expected(32, 0);
    expected[0] = 1;
    expected[1] = 1;
    uint16_t len = 32;
    uint32_t pid = static_cast<uint32_t>(getpid());
    std::memcpy(&expected[2], &len, sizeof(len));
    std::memcpy(&expected[8], &pid, sizeof(pid));
    EXPECT_EQ(mgr_.got[0], expected);

    // Only type-4 messages are handed on.
    send_to_client({1, 3, 0, 0});
    send_to_client({1, 4, 9, 9});
    ASSERT_TRUE(run_until([&] { return notices_.got.size() == 1; }));
    spin();
    EXPECT_EQ(notices_.got.size(), 1u);
    EXPECT_EQ(notices_.got[0], (Bytes{1, 4, 9, 9}));
    EXPECT_EQ(msgq_get_stat(client_->msgq, MSGQ_STAT_MSG_ALLOCS),
              msgq_get_stat(client_->msgq, MSGQ_STAT_MSG_FREES));
}

}  // namespace
