#include "common/msgq_util.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>

#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/msgq_internal.h"
#include "common/plx_status.h"
#include "common/qrv_util.h"
#include "tests/common/event_loop_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> g_logs;
void capture_log(const char *line) {
    g_logs.emplace_back(line);
}

bool logged(const std::string &needle) {
    for (const auto &l : g_logs)
        if (l.find(needle) != std::string::npos)
            return true;
    return false;
}

// One side of a queue, recording what its callbacks saw.
struct Endpoint {
    msgq_handle *h = nullptr;
    int up = 0;
    int down = 0;
    std::vector<Bytes> msgs;
    bool deinit_on_recv = false;
    bool deinit_on_down = false;

    static void on_up(msgq_handle *, void *arg) { static_cast<Endpoint *>(arg)->up++; }
    static void on_down(msgq_handle *m, void *arg) {
        auto *e = static_cast<Endpoint *>(arg);
        e->down++;
        if (e->deinit_on_down) {
            msgq_deinit(m);
            e->h = nullptr;
        }
    }
    static void reserved(msgq_handle *, void *) { ADD_FAILURE() << "reserved callback called"; }
    static void on_recv(msgq_handle *m, uint8_t *p, uint32_t len, void *arg) {
        auto *e = static_cast<Endpoint *>(arg);
        e->msgs.emplace_back(p, p + len);
        msgq_free(m, p);
        if (e->deinit_on_recv) {
            msgq_deinit(m);
            e->h = nullptr;
        }
    }
};

Bytes frame(uint8_t src, uint8_t tgt, uint8_t type, const Bytes &payload, int size = -1) {
    msgq_hdr hdr{MAGIC1, static_cast<uint16_t>(size >= 0 ? size : payload.size() + MSGQ_HDR_LEN),
                 src,    tgt,
                 type,   MAGIC2};
    // Sized once and filled: growing an 8-byte vector by insert() draws a false -Warray-bounds
    // from GCC 12 at -O3.
    Bytes out(sizeof(hdr) + payload.size());
    std::memcpy(out.data(), &hdr, sizeof(hdr));
    std::copy(payload.begin(), payload.end(), out.begin() + sizeof(hdr));
    return out;
}

Bytes reg(uint8_t src, uint8_t tgt) {
    return frame(src, tgt, MSGQ_MSG_TYPE_REGISTER, {});
}
Bytes data(uint8_t src, uint8_t tgt, const Bytes &p) {
    return frame(src, tgt, MSGQ_MSG_TYPE_DATA, p);
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

sockaddr_un unix_addr(const std::string &path) {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strncpy(sun.sun_path, path.c_str(), sizeof(sun.sun_path) - 1);
    return sun;
}

// Queues a copy of b on the handle.
int write_bytes(msgq_handle *h, const Bytes &b) {
    uint8_t *buf = msgq_alloc(h, b.size());
    std::memcpy(buf, b.data(), b.size());
    return msgq_write(h, buf, b.size());
}

void send_all(int fd, const Bytes &b) {
    ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
}

class MsgqTest : public EventLoopFixture {
  protected:
    void SetUp() override {
        EventLoopFixture::SetUp();
        g_logs.clear();
        msgq_set_log_hook(capture_log);
    }

    void TearDown() override {
        for (auto &e : eps_)
            if (e.h)
                msgq_deinit(e.h);
        for (int fd : fds_)
            close(fd);
        EXPECT_EQ(msgq_get_instance(), nullptr);
        msgq_set_log_hook(nullptr);
        EventLoopFixture::TearDown();
    }

    msgq_params params() const { return msgq_local_params(base_, tm_); }

    static msgq_callbacks callbacks() {
        return {Endpoint::on_up,   Endpoint::on_down, Endpoint::reserved,
                Endpoint::on_recv, nullptr,           nullptr};
    }

    Endpoint &open(uint32_t src, uint32_t tgt, uint32_t type, const msgq_params &p) {
        Endpoint &e = eps_.emplace_back();
        msgq_callbacks cbs = callbacks();
        e.h = msgq_init(src, tgt, type, &p, &cbs, &e);
        EXPECT_NE(e.h, nullptr);
        return e;
    }
    Endpoint &server(uint32_t src = QRV_MOD_PLXD, uint32_t tgt = QRV_MOD_FIBD) {
        return open(src, tgt, MSGQ_HANDLE_TYPE_SERVER, params());
    }
    Endpoint &client(uint32_t src = QRV_MOD_FIBD, uint32_t tgt = QRV_MOD_PLXD) {
        return open(src, tgt, MSGQ_HANDLE_TYPE_CLIENT, params());
    }

    // Server and client in this process, both up.
    std::pair<Endpoint *, Endpoint *> connected_pair() {
        Endpoint &s = server();
        Endpoint &c = client();
        advance_ms(MSGQ_CONNECT_INTERVAL_MS);
        EXPECT_TRUE(run_until([&] { return s.up == 1 && c.up == 1; }));
        return {&s, &c};
    }

    int raw_connect(const std::string &sock_path) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sun = unix_addr(sock_path);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
        fds_.push_back(fd);
        return fd;
    }
    int raw_plxd() { return raw_connect(path("/var/run/.plxd")); }
    // A raw peer registered with the server (3 to 9).
    int registered_peer(Endpoint &s) {
        int fd = raw_plxd();
        send_all(fd, reg(3, 9));
        EXPECT_TRUE(run_until([&] { return s.up == 1; }));
        return fd;
    }

    // True once the daemon side closed the raw connection (end of stream or reset).
    bool raw_closed(int fd) {
        return run_until([&] {
            uint8_t b[256];
            ssize_t n = recv(fd, b, sizeof(b), MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno != EAGAIN);
        });
    }

    // Reads n bytes from a raw connection, driving the loop meanwhile.
    Bytes raw_read(int fd, size_t n) {
        Bytes out;
        run_until([&] {
            uint8_t b[4096];
            ssize_t got = recv(fd, b, std::min(sizeof(b), n - out.size()), MSG_DONTWAIT);
            if (got > 0)
                out.insert(out.end(), b, b + got);
            return out.size() == n;
        });
        return out;
    }

    std::deque<Endpoint> eps_;
    std::vector<int> fds_;
};

TEST_F(MsgqTest, ClientAndServerExchangeMessagesUpToTheLargestSize) {
    Endpoint &s = server();
    Endpoint &c = client();

    // Down: refused at once, the caller keeps and frees the buffer.
    uint8_t *buf = msgq_alloc(c.h, 10);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(msgq_write(c.h, buf, 10), PLX_MSGQ_NOT_CONNECTED);
    EXPECT_EQ(msgq_write(c.h, nullptr, 10), PLX_MSGQ_BAD_ARGS);
    EXPECT_EQ(msgq_write(nullptr, buf, 10), PLX_MSGQ_BAD_ARGS);
    msgq_free(c.h, buf);

    advance_ms(MSGQ_CONNECT_INTERVAL_MS);
    ASSERT_TRUE(run_until([&] { return s.up == 1 && c.up == 1; }));
    EXPECT_TRUE(msgq_is_ready(c.h));
    EXPECT_EQ(msgq_get_stat(c.h, MSGQ_STAT_TX_REGISTER), 1u);

    Bytes small = {'h', 'i'}, big = pattern(MSGQ_MAX_PAYLOAD, 3);
    ASSERT_EQ(write_bytes(c.h, small), 0);
    ASSERT_EQ(write_bytes(s.h, big), 0);
    EXPECT_EQ(msgq_alloc(s.h, MSGQ_MAX_PAYLOAD + 1), nullptr);
    EXPECT_EQ(msgq_get_stat(s.h, MSGQ_STAT_ALLOC_FAILED), 1u);

    ASSERT_TRUE(run_until([&] { return s.msgs.size() == 1 && c.msgs.size() == 1; }));
    EXPECT_EQ(s.msgs[0], small);
    EXPECT_EQ(c.msgs[0], big);
    for (Endpoint *e : {&s, &c}) {
        EXPECT_EQ(msgq_get_stat(e->h, MSGQ_STAT_TX_MSG), 1u);
        EXPECT_EQ(msgq_get_stat(e->h, MSGQ_STAT_RX_MSG), 1u);
        EXPECT_EQ(msgq_get_stat(e->h, MSGQ_STAT_MSG_ALLOCS),
                  msgq_get_stat(e->h, MSGQ_STAT_MSG_FREES));
    }
}

TEST_F(MsgqTest, BadIdentifiersGiveNoHandleAndDuplicatesStopTheProcess) {
    msgq_params p = params();
    msgq_callbacks cbs = callbacks();
    EXPECT_EQ(msgq_init(0, 3, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, nullptr), nullptr);
    EXPECT_EQ(msgq_init(9, 165, MSGQ_HANDLE_TYPE_CLIENT, &p, &cbs, nullptr), nullptr);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    server();
    EXPECT_DEATH(server(), "");
}

TEST_F(MsgqTest, ReassemblesHeadersAndBodiesSplitAtEveryByte) {
    Endpoint &s = server();
    int fd = raw_plxd();
    Bytes p1 = pattern(300, 1);
    Bytes p2 = {42};
    Bytes stream = reg(QRV_MOD_FIBD, QRV_MOD_PLXD);
    for (const Bytes &m : {data(3, 9, p1), data(3, 9, p2)})
        stream.insert(stream.end(), m.begin(), m.end());
    for (uint8_t byte : stream) {
        send_all(fd, {byte});
        event_base_loop(base_, EVLOOP_NONBLOCK);
    }
    ASSERT_TRUE(run_until([&] { return s.msgs.size() == 2; }));
    EXPECT_EQ(s.up, 1);
    EXPECT_EQ(s.msgs[0], p1);
    EXPECT_EQ(s.msgs[1], p2);

    // Several messages in one write are all delivered too.
    Bytes burst;
    for (uint8_t i = 0; i < 5; ++i) {
        Bytes m = data(3, 9, pattern(10 + i, i));
        burst.insert(burst.end(), m.begin(), m.end());
    }
    send_all(fd, burst);
    ASSERT_TRUE(run_until([&] { return s.msgs.size() == 7; }));
    EXPECT_EQ(s.msgs[6], pattern(14, 4));
}

TEST_F(MsgqTest, UnknownOrUnregisteredPeersAreDisconnected) {
    Endpoint &s = server();

    int stranger = raw_plxd();  // registers as a module nobody here serves
    send_all(stranger, reg(4, QRV_MOD_PLXD));
    EXPECT_TRUE(raw_closed(stranger));
    EXPECT_TRUE(logged("No queue for registration from 4 to 9"));

    int eager = raw_plxd();  // sends data before registering
    send_all(eager, data(3, 9, {1, 2, 3}));
    EXPECT_TRUE(raw_closed(eager));
    EXPECT_EQ(s.msgs.size(), 0u);
}

TEST_F(MsgqTest, BadSizeIsDroppedAndBadMagicClosesTheConnection) {
    Endpoint &s = server();
    int fd = registered_peer(s);

    send_all(fd, frame(3, 9, MSGQ_MSG_TYPE_DATA, {}, MSGQ_HDR_LEN));
    send_all(fd, data(3, 9, {7}));
    ASSERT_TRUE(run_until([&] { return s.msgs.size() == 1; }));
    EXPECT_EQ(s.msgs[0], Bytes{7});
    EXPECT_TRUE(logged("Bad message size (8). Must be more than (8)"));
    EXPECT_EQ(s.down, 0);

    Bytes corrupt = data(3, 9, {1, 2});
    corrupt[7] = 0x0D;
    send_all(fd, corrupt);
    ASSERT_TRUE(raw_closed(fd));
    EXPECT_EQ(s.down, 1);
    EXPECT_EQ(msgq_get_stat(s.h, MSGQ_STAT_RX_FAIL), 1u);
    EXPECT_FALSE(msgq_is_ready(s.h));
}

// Nobody takes over a live link by registering as its peer; once the peer is gone, its
// successor registers.
TEST_F(MsgqTest, RegistrationForALiveLinkIsRefusedUntilThePeerGoes) {
    Endpoint &s = server();
    int first = registered_peer(s);

    int impostor = raw_plxd();
    send_all(impostor, reg(3, 9));
    EXPECT_TRUE(raw_closed(impostor));
    EXPECT_TRUE(logged("refused: the link is up"));
    EXPECT_EQ(s.down, 0);

    close(first);
    int second = raw_plxd();
    send_all(second, reg(3, 9));
    ASSERT_TRUE(run_until([&] { return s.up == 2; }));
    EXPECT_EQ(s.down, 1);

    ASSERT_EQ(write_bytes(s.h, {'a', 'b', 'c'}), 0);
    EXPECT_EQ(raw_read(second, 11), frame(9, 3, MSGQ_MSG_TYPE_DATA, {'a', 'b', 'c'}));
}

// The socket is closed to other users, and a peer of another user is refused even when it
// reaches the socket.
TEST_F(MsgqTest, OnlyTheDaemonsUserReachesItsSocket) {
    Endpoint &s = server();
    struct stat st {};
    ASSERT_EQ(stat(path("/var/run/.plxd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    for (const char *dir : {"", "/var", "/var/run"})
        chmod((root_ + dir).c_str(), 0755);
    chmod(path("/var/run/.plxd").c_str(), 0666);
    // Made before the fork: the child of a threaded process may only make system calls (another
    // thread may have held the allocator's lock when it forked).
    const sockaddr_un sun = unix_addr(path("/var/run/.plxd"));
    const Bytes r = reg(3, 9);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&sun), sizeof(sun)) != 0)
            _exit(3);
        send(fd, r.data(), r.size(), MSG_NOSIGNAL);
        uint8_t b;
        _exit(recv(fd, &b, 1, 0) <= 0 ? 0 : 4);  // closed by the daemon
    }
    int status = 0;
    // The child forks, changes user and connects: allow for a loaded machine.
    ASSERT_TRUE(run_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(logged("from uid 65534"));
    EXPECT_EQ(s.up, 0);
}

// Out of descriptors, the listener pauses instead of spinning, and the log stays short.
TEST_F(MsgqTest, ThousandsOfIdleConnectionsNeitherSpinNorFloodTheLog) {
    server();
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    const int spare = dup(0);
    close(spare);
    const rlimit tight{static_cast<rlim_t>(spare + 16), old.rlim_max};
    setrlimit(RLIMIT_NOFILE, &tight);
    const sockaddr_un sun = unix_addr(path("/var/run/.plxd"));
    pid_t child = fork();
    if (child == 0) {
        const rlimit lim{4096, old.rlim_max};
        setrlimit(RLIMIT_NOFILE, &lim);
        for (int i = 0; i < 2000; ++i) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<const sockaddr *>(&sun), sizeof(sun));
        }
        pause();
        _exit(0);
    }
    // Each loop pass waits for something to happen: a listener that spins makes every pass
    // return at once; a 100 ms tick bounds the wait otherwise.
    event *tick = event_new(
        base_, -1, EV_PERSIST, [](evutil_socket_t, short, void *) {}, nullptr);
    const timeval tv{0, 100000};
    event_add(tick, &tv);
    int passes = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        event_base_loop(base_, EVLOOP_ONCE);
        ++passes;
    }
    event_free(tick);
    setrlimit(RLIMIT_NOFILE, &old);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(logged("listener paused"));
    EXPECT_LT(g_logs.size(), 40u);
    EXPECT_LT(passes, 200);
}

TEST_F(MsgqTest, ClientReconnectsHalfASecondAfterTheServerReturns) {
    Endpoint *s, *c;
    std::tie(s, c) = connected_pair();
    msgq_deinit(s->h);
    s->h = nullptr;
    ASSERT_TRUE(run_until([&] { return c->down == 1; }));
    EXPECT_FALSE(msgq_is_ready(c->h));

    advance_ms(1000);  // two failed attempts while nobody listens
    Endpoint &s2 = server();
    advance_ms(MSGQ_CONNECT_INTERVAL_MS - 10);
    spin();
    EXPECT_EQ(c->up, 1);
    advance_ms(10);
    ASSERT_TRUE(run_until([&] { return c->up == 2 && s2.up == 1; }));
    EXPECT_EQ(msgq_get_stat(c->h, MSGQ_STAT_TX_REGISTER), 2u);
    EXPECT_EQ(msgq_get_stat(c->h, MSGQ_STAT_CONN_DOWN), 1u);
}

TEST_F(MsgqTest, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    Endpoint &s = server();
    int fd = registered_peer(s);
    close(fd);
    fds_.clear();

    // The write is accepted into the queue; the send fails with EPIPE (no SIGPIPE), the handle
    // stops being ready and the connection is closed on the next write event.
    uint8_t *buf = msgq_alloc(s.h, 4);
    ASSERT_EQ(msgq_write(s.h, buf, 4), 0);
    EXPECT_EQ(msgq_get_stat(s.h, MSGQ_STAT_TX_FAIL), 1u);
    EXPECT_FALSE(msgq_is_ready(s.h));
    buf = msgq_alloc(s.h, 4);
    EXPECT_EQ(msgq_write(s.h, buf, 4), PLX_MSGQ_NOT_CONNECTED);
    msgq_free(s.h, buf);
    ASSERT_TRUE(run_until([&] { return s.down == 1; }));
    EXPECT_EQ(msgq_get_stat(s.h, MSGQ_STAT_MSG_ALLOCS), msgq_get_stat(s.h, MSGQ_STAT_MSG_FREES));
}

TEST_F(MsgqTest, QueuedWritesDrainInOrderWhenTheSocketIsFull) {
    Endpoint *s, *c;
    std::tie(s, c) = connected_pair();
    constexpr uint32_t kCount = 40, kLen = 60000;
    for (uint32_t i = 0; i < kCount; ++i) {
        uint8_t *buf = msgq_alloc(c->h, kLen);
        std::memcpy(buf, &i, sizeof(i));
        ASSERT_EQ(msgq_write(c->h, buf, kLen), 0);
    }
    EXPECT_GT(msgq_get_stat(c->h, MSGQ_STAT_TX_RESCHED), 0u);
    ASSERT_TRUE(run_until([&] { return s->msgs.size() == kCount; }, 5000));
    for (uint32_t i = 0; i < kCount; ++i) {
        uint32_t seq;
        std::memcpy(&seq, s->msgs[i].data(), sizeof(seq));
        EXPECT_EQ(seq, i);
        EXPECT_EQ(s->msgs[i].size(), kLen);
    }
    EXPECT_GT(msgq_get_stat(c->h, MSGQ_STAT_TX_WRITE_CB), 0u);
    EXPECT_EQ(msgq_get_stat(c->h, MSGQ_STAT_TX_MSG), kCount);
    EXPECT_EQ(msgq_get_stat(c->h, MSGQ_STAT_TX_DEQUEUED), kCount);
    EXPECT_EQ(msgq_get_stat(c->h, MSGQ_STAT_MSG_FREES), kCount);
}

// A peer that never reads makes the writer wait once 16 MiB are queued for it.
TEST_F(MsgqTest, SendQueueOfAPeerThatDoesNotReadIsBounded) {
    msgq_handle *h = server().h;
    registered_peer(eps_.front());
    constexpr uint32_t kLen = 60000;
    uint32_t queued = 0;
    for (;; ++queued) {
        uint8_t *buf = msgq_alloc(h, kLen);
        if (int rc = msgq_write(h, buf, kLen); rc != 0) {
            EXPECT_EQ(rc, PLX_MSGQ_QUEUE_FULL);
            msgq_free(h, buf);
            break;
        }
        ASSERT_LT(queued, 1000u);
    }
    EXPECT_LE(h->txq_bytes, msgq_detail::kMaxQueuedBytes);
    EXPECT_GT(h->txq_bytes, msgq_detail::kMaxQueuedBytes - kLen - MSGQ_HDR_LEN);
    EXPECT_EQ(msgq_get_stat(h, MSGQ_STAT_TX_QUEUE_FAILED), 1u);
}

TEST_F(MsgqTest, CallbacksMayDeinitTheirOwnHandle) {
    Endpoint *s, *c;
    std::tie(s, c) = connected_pair();
    s->deinit_on_recv = true;
    c->deinit_on_down = true;
    for (int i = 0; i < 3; ++i) {  // queued back to back: all arrive in one read pass
        uint8_t *buf = msgq_alloc(c->h, 1);
        ASSERT_EQ(msgq_write(c->h, buf, 1), 0);
    }
    ASSERT_TRUE(run_until([&] { return s->h == nullptr; }));
    EXPECT_EQ(s->msgs.size(), 1u);
    ASSERT_TRUE(run_until([&] { return c->h == nullptr; }));
    EXPECT_EQ(c->down, 1);
}

TEST_F(MsgqTest, AppHeaderModeDeliversWholeMessagesWithoutRegistration) {
    msgq_params p = params();
    p.use_app_header = 1;
    p.app_hdr_len = 4;
    p.size_offset = 2;
    Endpoint &s = open(QRV_MOD_PLXD, QRV_MOD_FIBD, MSGQ_HANDLE_TYPE_SERVER, p);

    int fd = raw_plxd();
    ASSERT_TRUE(run_until([&] { return s.up == 1; }));
    Bytes m1 = {0xAA, 0xBB, 0x00, 0x07, 1, 2, 3};
    Bytes m2 = {0xAA, 0xBB, 0x00, 0x05, 9};
    send_all(fd, {m1.begin(), m1.begin() + 3});
    spin(3);
    Bytes rest(m1.begin() + 3, m1.end());
    rest.insert(rest.end(), m2.begin(), m2.end());
    send_all(fd, rest);
    ASSERT_TRUE(run_until([&] { return s.msgs.size() == 2; }));
    EXPECT_EQ(s.msgs[0], m1);
    EXPECT_EQ(s.msgs[1], m2);

    ASSERT_EQ(write_bytes(s.h, {1, 2, 0, 5, 'Z'}), 0);
    EXPECT_EQ(raw_read(fd, 5), (Bytes{1, 2, 0, 5, 'Z'}));

    // A size that leaves no body closes the connection; a new peer connection takes over.
    send_all(fd, {0, 0, 0, 4});
    ASSERT_TRUE(raw_closed(fd));
    EXPECT_EQ(s.down, 1);
    raw_plxd();
    ASSERT_TRUE(run_until([&] { return s.up == 2; }));
}

TEST_F(MsgqTest, BlockingClientSendsAndWaitsForTheReply) {
    int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun = unix_addr(path("/var/run/.fibd"));
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    fds_.push_back(lfd);

    Bytes got_reg, got_msg;
    std::thread peer([&] {
        int fd = accept(lfd, nullptr, nullptr);
        got_reg.resize(8);
        recv(fd, got_reg.data(), 8, MSG_WAITALL);
        got_msg.resize(12);
        recv(fd, got_msg.data(), 12, MSG_WAITALL);
        Bytes reply = data(3, 9, {'p', 'o', 'n', 'g'});
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(fd);
    });

    msgq_params p = params();
    p.blocking = 1;
    Endpoint &c = open(QRV_MOD_PLXD, QRV_MOD_FIBD, MSGQ_HANDLE_TYPE_CLIENT, p);
    EXPECT_EQ(c.up, 1);  // connected before msgq_init returned
    EXPECT_EQ(write_bytes(c.h, {'p', 'i', 'n', 'g'}), 0);
    ASSERT_EQ(c.msgs.size(), 1u);  // the reply was read by the write itself
    EXPECT_EQ(c.msgs[0], (Bytes{'p', 'o', 'n', 'g'}));
    peer.join();
    EXPECT_EQ(got_reg, reg(9, 3));
    EXPECT_EQ(got_msg, data(9, 3, {'p', 'i', 'n', 'g'}));

    // The peer is gone: the send fails, the connection is dropped, later writes see it down.
    uint8_t *buf = msgq_alloc(c.h, 4);
    EXPECT_EQ(msgq_write(c.h, buf, 4), PLX_MSGQ_QUEUE_FULL);
    EXPECT_EQ(c.down, 1);
    EXPECT_EQ(msgq_write(c.h, buf, 4), PLX_MSGQ_NOT_CONNECTED);
    msgq_free(c.h, buf);
}

TEST_F(MsgqTest, DumpListsEveryHandleWithItsCounters) {
    Endpoint *s, *c;
    std::tie(s, c) = connected_pair();
    Endpoint &idle = client(QRV_MOD_PLXD, QRV_MOD_HBUSD);
    std::string text;
    msgq_dump_all([](void *arg, const char *t) { *static_cast<std::string *>(arg) += t; }, &text);
    EXPECT_EQ(text.rfind("\n   =============\n   DUMPING MSGQs\n  inst: ", 0), 0u);
    size_t reg_at = text.find("\n In Reg. list"), unreg_at = text.find("\n In Unreg. list");
    size_t tmp_at = text.find("\n In tmp list");
    ASSERT_LT(reg_at, unreg_at);
    ASSERT_LT(unreg_at, tmp_at);
    size_t idle_at = text.find("\n    Src: plxd, Tgt: hbusd");
    EXPECT_GT(idle_at, unreg_at);
    EXPECT_LT(idle_at, tmp_at);
    EXPECT_LT(text.find("\n    Src: plxd, Tgt: fibd"), unreg_at);
    EXPECT_NE(text.find("\n    tx_register                    1         "), std::string::npos);
    EXPECT_NE(text.find(msgq_stat_name(MSGQ_STAT_COUNT - 1)), std::string::npos);
    (void)s, (void)c, (void)idle;
}

}  // namespace
