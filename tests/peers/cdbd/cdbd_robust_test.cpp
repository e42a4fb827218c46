// The server against clients that misbehave: malformed and oversized frames, subscribers that
// stop reading, points of sockets still subscribing; keys written as values.
#include <poll.h>

#include <chrono>
#include <cstring>
#include <future>

#include "tests/peers/cdbd/cdbd_fixture.h"

using namespace cdbt;
using confd_wire::Op;
using confd_wire::WireWriter;

namespace {

// Is a frame or the end of the connection readable on fd within ms?
bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// Reads until the server closes fd; false if it stays open for 5 s.
bool closed_by_server(int fd) {
    char buf[4096];
    while (readable(fd, 5000))
        if (recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    return false;
}

std::string path_of(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = confd_client::format_path(fmt, ap);
    va_end(ap);
    return s;
}

}  // namespace

class CdbRobust : public CdbFixture {
  protected:
    CdbRobust() {
        extra_yang_ = {"cdbt-keys.yang"};
        tune_ = [](cdbd::ServerOptions &o) {
            o.sync_timeout_ms = 300;
            o.max_frame = 4096;
            o.max_input_total = 4u << 20;
            o.hello_timeout_ms = 500;
        };
    }
};

// A value nested 400,000 lists deep gets an error reply instead of exhausting the server's
// stack; a large frame before the hello closes the connection; other clients are served.
TEST_F(CdbRobust, MalformedFramesAreRefusedAndOthersAreServed) {
    int fd = data_socket();
    ASSERT_EQ(cdb_start_session(fd, CDB_OPERATIONAL), CONFD_OK);
    WireWriter w(Op::SetElem);
    for (int i = 0; i < 400000; ++i) {
        w.u8(C_LIST);
        w.u32(1);
    }
    w.u8(C_UINT32);
    w.u64(1);
    w.str("/stats/count");
    const auto &f = w.finish();
    ASSERT_EQ(confd_wire::send_all(fd, f.data(), f.size()), 0);
    confd_wire::Frame reply;
    ASSERT_EQ(confd_wire::read_frame(fd, reply), 0);
    EXPECT_EQ(reply.status, confd_wire::kStatusError);

    int early = raw_socket(srv_->port());
    WireWriter big(Op::Hello);
    big.u32(0);
    big.str(std::string(1 << 20, 'x'));
    const auto &bf = big.finish();
    ASSERT_EQ(confd_wire::send_all(early, bf.data(), confd_wire::kHeaderSize), 0);
    EXPECT_TRUE(closed_by_server(early));
    close(early);

    confd_value_t v;
    CONFD_SET_UINT64(&v, 5);
    EXPECT_EQ(cdb_set_elem(fd, &v, "/stats/count"), CONFD_OK) << confd_lasterr();
    EXPECT_EQ(cdb_end_session(fd), CONFD_OK);
    cdb_close(fd);
    EXPECT_EQ(set("/top/flag", "true"), CONFD_OK);
}

// A subscriber that stops reading, or whose notification would pass the frame limit, is
// closed; the commit completes and the other subscribers get it.
TEST_F(CdbRobust, StalledOrOversizedSubscribersDoNotHangCommits) {
    int stalled = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(cdb_connect(stalled, CDB_SUBSCRIPTION_SOCKET, nullptr, 0), CONFD_OK);
    int id = 0;
    ASSERT_EQ(cdb_subscribe(stalled, 1, 0, &id, "/top"), CONFD_OK);
    ASSERT_EQ(cdb_subscribe_done(stalled), CONFD_OK);
    Subscriber good;
    good.subscribe(2, "/top", "top");
    good.start();
    auto commit = std::async(std::launch::async, [this] { return set("/top/flag", "true"); });
    ASSERT_EQ(commit.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(commit.get(), CONFD_OK);
    EXPECT_TRUE(closed_by_server(stalled));
    cdb_close(stalled);
    EXPECT_EQ(good.take().front(), "notify top");

    // Larger than the 4096-byte frame limit of this server.
    std::string text(6000, 'd');
    EXPECT_EQ(set("/top/lists/vpn-list{big}/descr", text), CONFD_OK);
    for (int i = 0; i < 100 && good.take() != std::vector<std::string>{"EOF"}; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(good.last_rc, CONFD_EOF);
}

// What clients make the server hold stays bounded: partial frames over all connections (the
// connections that pass the bound go), clients that never say hello, and subscribers that
// would be told of changes before the daemons.
TEST_F(CdbRobust, PartialFramesSilentClientsAndEarlySubscribersAreBounded) {
    std::vector<int> fds;
    const std::vector<uint8_t> chunk(1u << 20, 'p');
    for (int i = 0; i < 8; ++i) {
        int fd = data_socket();
        uint8_t hdr[confd_wire::kHeaderSize] = {};
        const uint32_t len = 60u << 20;  // announced, never completed
        std::memcpy(hdr, &len, 4);
        hdr[4] = static_cast<uint8_t>(Op::Get);
        ASSERT_EQ(confd_wire::send_all(fd, hdr, sizeof hdr), 0);
        send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        fds.push_back(fd);
    }
    int closed = 0;
    for (int fd : fds) {
        closed += readable(fd, 1000) && closed_by_server(fd);
        cdb_close(fd);
    }
    EXPECT_GE(closed, 4);
    EXPECT_LT(closed, 8);

    int silent = raw_socket(srv_->port());
    EXPECT_TRUE(closed_by_server(silent));
    close(silent);

    int sub = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(cdb_connect(sub, CDB_SUBSCRIPTION_SOCKET, nullptr, 0), CONFD_OK);
    int id = 0;
    EXPECT_NE(cdb_subscribe(sub, 0, 0, &id, "/top"), CONFD_OK);
    EXPECT_NE(std::string(confd_lasterr()).find("priority 0 is below 1"), std::string::npos);
    EXPECT_EQ(cdb_subscribe(sub, 1, 0, &id, "/top"), CONFD_OK);
    cdb_close(sub);
    EXPECT_EQ(set("/top/flag", "true"), CONFD_OK);
}

// A trigger fires the points of sockets that called cdb_subscribe_done only.
TEST_F(CdbRobust, TriggerSkipsSocketsStillSubscribing) {
    ASSERT_EQ(set("/top/flag", "true"), CONFD_OK);
    int early = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(cdb_connect(early, CDB_SUBSCRIPTION_SOCKET, nullptr, 0), CONFD_OK);
    int early_id = 0;
    ASSERT_EQ(cdb_subscribe(early, 1, 0, &early_id, "/top"), CONFD_OK);
    Subscriber done;
    int done_id = done.subscribe(1, "/top", "top");
    done.start();
    int fd = data_socket();
    int points[] = {early_id, done_id};
    EXPECT_EQ(cdb_trigger_subscriptions(fd, points, 2), CONFD_OK) << confd_lasterr();
    EXPECT_EQ(cdb_trigger_subscriptions(fd, nullptr, 0), CONFD_OK) << confd_lasterr();
    EXPECT_FALSE(readable(early, 100));
    auto log = done.take();
    EXPECT_EQ(std::count(log.begin(), log.end(), "notify(trigger) top"), 2);
    cdb_close(fd);
    cdb_close(early);
}

// Keys given as values ("%x", "%*x") reach the right entries, and an enumeration key is found
// by its label or by its number.
TEST_F(CdbRobust, ValueKeysAndEnumerationKeysByNumber) {
    confd_value_t keys[2];
    CONFD_SET_ENUM_VALUE(&keys[0], 7);
    CONFD_SET_STR(&keys[1], const_cast<char *>("a \"b\""));
    EXPECT_EQ(path_of("/keyed/by-shade{%*x}/count", 2, keys),
              "/keyed/by-shade{7 \"a \\\"b\\\"\"}/count");
    EXPECT_EQ(path_of("/a{%x}/%s/%d%%%lu/%.*s", &keys[0], "b", -3, 4ul, 2, "xyz"),
              "/a{7}/b/-3%4/xy");

    int fd = data_socket();
    ASSERT_EQ(cdb_start_session(fd, CDB_OPERATIONAL), CONFD_OK);
    confd_value_t v;
    CONFD_SET_UINT32(&v, 42);
    ASSERT_EQ(cdb_set_elem(fd, &v, "/keyed/by-shade{%*x}/count", 2, keys), CONFD_OK)
        << confd_lasterr();
    EXPECT_EQ(cdb_exists(fd, "/keyed/by-shade{\"dark blue\" \"a \\\"b\\\"\"}"), 1);
    confd_value_t name;
    CONFD_SET_STR(&name, const_cast<char *>("n"));
    ASSERT_EQ(cdb_create(fd, "/keyed/by-shade{green %x}", &name), CONFD_OK) << confd_lasterr();
    EXPECT_EQ(cdb_exists(fd, "/keyed/by-shade{2 n}"), 1);
    EXPECT_EQ(cdb_num_instances(fd, "/keyed/by-shade"), 2);
    EXPECT_EQ(cdb_exists(fd, "/keyed/by-shade{3 n}"), 0);
    cdb_end_session(fd);
    cdb_close(fd);
}
