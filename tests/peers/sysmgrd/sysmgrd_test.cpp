#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/msgq_util.h"
#include "common/qrv_util.h"
#include "common/sysmgr_client.h"
#include "peers/sysmgrd/sysmgrd_server.h"
#include "tests/common/event_loop_fixture.h"
#include "tests/support/test_process.h"

namespace {

// A FILE* whose text the test can read back.
struct Capture {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    ~Capture() {
        std::fclose(f);
        std::free(buf);
    }
    std::string text() {
        std::fflush(f);
        return std::string(buf, len);
    }
};

class SysmgrdTest : public EventLoopFixture {
  protected:
    void SetUp() override {
        EventLoopFixture::SetUp();
        SysmgrdOptions options;
        options.status_file = root_ + "/status.json";
        options.out = out_.f;
        options.err = err_.f;
        server_ = std::make_unique<SysmgrdServer>(base_, tm_, options);
        ASSERT_EQ(server_->start(), 0);
    }
    void TearDown() override {
        app_sysmgr_close(client_);
        server_.reset();
        EXPECT_EQ(msgq_get_instance(), nullptr);
        EventLoopFixture::TearDown();
    }

    uint64_t hellos(uint32_t module) {
        auto it = server_->clients().find(module);
        return it == server_->clients().end() ? 0 : it->second.hellos;
    }

    Capture out_, err_;
    std::unique_ptr<SysmgrdServer> server_;
    app_sysmgr_client *client_ = nullptr;
};

TEST_F(SysmgrdTest, CountsTheHellosAndResumesThemOnReconnection) {
    client_ = app_sysmgr_connect(base_, tm_, nullptr, QRV_MOD_PLXD, this, nullptr);
    ASSERT_NE(client_, nullptr);
    EXPECT_EQ(app_sysmgr_last_hello_ms(client_), 0);

    // Connected after the 500 ms connect timer: one hello at once, then one per second.
    advance_ms(MSGQ_CONNECT_INTERVAL_MS);
    ASSERT_TRUE(run_until([&] { return hellos(QRV_MOD_PLXD) == 1; }));
    advance_ms(990);
    spin();
    EXPECT_EQ(hellos(QRV_MOD_PLXD), 1u);
    advance_ms(10);
    ASSERT_TRUE(run_until([&] { return hellos(QRV_MOD_PLXD) == 2; }));
    advance_ms(1000);
    ASSERT_TRUE(run_until([&] { return hellos(QRV_MOD_PLXD) == 3; }));

    const SysmgrdClient &c = server_->clients().at(QRV_MOD_PLXD);
    EXPECT_TRUE(c.connected);
    EXPECT_EQ(c.pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(c.malformed, 0u);
    EXPECT_EQ(client_->hellos_sent, 3u);
    EXPECT_GT(app_sysmgr_last_hello_ms(client_), 0);

    std::string pid = std::to_string(getpid());
    EXPECT_NE(out_.text().find("connected: plxd (9)\nhello from plxd (9) pid " + pid +
                               " #1\nhello from plxd (9) pid " + pid + " #2\n"),
              std::string::npos);
    std::string status = read_text(root_ + "/status.json");
    EXPECT_NE(status.find("\"module\": 9, \"name\": \"plxd\", \"connected\": true"),
              std::string::npos);
    EXPECT_NE(status.find("\"hellos\": 3"), std::string::npos);

    Capture table;
    server_->print_table(table.f);
    EXPECT_NE(table.text().find("plxd"), std::string::npos);

    // No hellos while the server is down, only failed connection attempts; they resume once it
    // is back.
    server_->stop();
    ASSERT_TRUE(run_until([&] { return !msgq_is_ready(client_->msgq); }));
    advance_ms(3000);
    EXPECT_EQ(client_->hellos_sent, 3u);
    ASSERT_EQ(server_->start(), 0);
    advance_ms(MSGQ_CONNECT_INTERVAL_MS);
    ASSERT_TRUE(run_until([&] { return hellos(QRV_MOD_PLXD) == 4; }));
    EXPECT_EQ(server_->clients().at(QRV_MOD_PLXD).connects, 2u);
    EXPECT_EQ(client_->hellos_sent, 4u);
}

TEST_F(SysmgrdTest, MalformedHellosAreReportedAndNotCounted) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strncpy(sun.sun_path, server_->socket_path().c_str(), sizeof(sun.sun_path) - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);

    auto send_msg = [&](uint8_t type, const std::vector<uint8_t> &payload) {
        msgq_hdr hdr{MAGIC1,        static_cast<uint16_t>(8 + payload.size()),
                     QRV_MOD_HBUSD, QRV_MOD_SYSMGR,
                     type,          MAGIC2};
        std::vector<uint8_t> m(sizeof(hdr));
        std::memcpy(m.data(), &hdr, sizeof(hdr));
        m.insert(m.end(), payload.begin(), payload.end());
        ASSERT_EQ(send(fd, m.data(), m.size(), MSG_NOSIGNAL), static_cast<ssize_t>(m.size()));
    };
    send_msg(MSGQ_MSG_TYPE_REGISTER, {});
    sysmgr_hello_msg good{};
    good.version = SYSMGR_MSG_VERSION;
    good.type = SYSMGR_MSG_TYPE_HELLO;
    good.length = sizeof(good);
    good.pid = 4242;
    auto bytes = [](const sysmgr_hello_msg &m) {
        std::vector<uint8_t> v(sizeof(m));
        std::memcpy(v.data(), &m, sizeof(m));
        return v;
    };
    sysmgr_hello_msg bad_version = good;
    bad_version.version = 2;
    sysmgr_hello_msg bad_length = good;
    bad_length.length = 16;
    send_msg(MSGQ_MSG_TYPE_DATA, {1, 1, 32});
    send_msg(MSGQ_MSG_TYPE_DATA, bytes(bad_version));
    send_msg(MSGQ_MSG_TYPE_DATA, bytes(bad_length));
    send_msg(MSGQ_MSG_TYPE_DATA, bytes(good));
    ASSERT_TRUE(run_until([&] { return hellos(QRV_MOD_HBUSD) == 1; }));

    const SysmgrdClient &c = server_->clients().at(QRV_MOD_HBUSD);
    EXPECT_EQ(c.malformed, 3u);
    EXPECT_EQ(c.pid, 4242u);
    std::string err = err_.text();
    EXPECT_NE(err.find("malformed hello from hbusd (2): payload of 3 bytes"), std::string::npos);
    EXPECT_NE(err.find("version 2 (expected 1)"), std::string::npos);
    EXPECT_NE(err.find("length field 16 (expected 32)"), std::string::npos);
    close(fd);
    ASSERT_TRUE(run_until([&] { return !server_->clients().at(QRV_MOD_HBUSD).connected; }));
}

}  // namespace
