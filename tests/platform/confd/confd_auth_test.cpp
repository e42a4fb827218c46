// Access control: the HMAC proof, the secret file, both ends of the exchange and the exchange
// over a real socket pair with good, wrong, missing and truncated answers.
#include "platform/confd/confd_auth.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/temp_dir.h"

using namespace confd_auth;

namespace {

std::span<const uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

TEST(ConfdAuthMac, IsHmacSha256OfNonceThenRoleAndVerifiesOnlyTheExactAnswer) {
    // RFC 4231 test case 2, the message split into nonce and role.
    Mac m = compute_mac("Jefe", bytes("what do ya want "), "for nothing?");
    const uint8_t want[] = {0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e, 0x6a, 0x04, 0x24,
                            0x26, 0x08, 0x95, 0x75, 0xc7, 0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27,
                            0x39, 0x83, 0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
    EXPECT_TRUE(std::equal(m.begin(), m.end(), std::begin(want)));

    Nonce n{}, other{};
    std::string err;
    ASSERT_TRUE(make_nonce(n, err)) << err;
    ASSERT_TRUE(make_nonce(other, err)) << err;
    EXPECT_NE(n, other);
    Mac good = compute_mac("secret\n", n, "worker plxd");
    EXPECT_TRUE(verify_mac("secret\n", n, "worker plxd", good));
    EXPECT_FALSE(verify_mac("secret", n, "worker plxd", good));  // wrong secret
    EXPECT_FALSE(verify_mac("secret\n", n, "control plxd", good));
    EXPECT_FALSE(verify_mac("secret\n", other, "worker plxd", good));
    EXPECT_FALSE(verify_mac("secret\n", n, "worker plxd", std::span(good).first(31)));
    Mac flipped = good;
    flipped[31] ^= 1;
    EXPECT_FALSE(verify_mac("secret\n", n, "worker plxd", flipped));
    EXPECT_FALSE(verify_mac("", n, "worker plxd", compute_mac("", n, "worker plxd")));
}

class ConfdAuthFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir("confd-auth-test");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        unsetenv("CONFD_IPC_ACCESS_FILE");
        std::filesystem::remove_all(dir_);
    }
    std::string file(const std::string &name, const std::string &contents) {
        std::string p = dir_ + "/" + name;
        std::ofstream(p, std::ios::binary) << contents;
        return p;
    }
    std::string dir_;
};

TEST_F(ConfdAuthFiles, SecretIsTheWholeFileAndBadFilesAreRefusedClearly) {
    std::string key, err;
    const std::string raw("k\0e y\n\n", 7);
    ASSERT_TRUE(read_secret(file("s", raw), key, err)) << err;
    EXPECT_EQ(key, raw);

    const std::pair<std::string, std::string> bad[] = {
        {dir_ + "/missing", "cannot read the access secret: No such file or directory"},
        {file("empty", ""), "the access secret file is empty"},
        {dir_, "is not a regular file"},
        {file("big", std::string(kMaxSecretSize + 1, 'x')), "larger than 65536 bytes"},
    };
    for (const auto &[path, why] : bad) {
        key = "unchanged";
        EXPECT_FALSE(read_secret(path, key, err)) << path;
        EXPECT_EQ(err.rfind(path + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(why), std::string::npos) << err;
        EXPECT_EQ(key, "unchanged");
    }

    unsetenv("CONFD_IPC_ACCESS_FILE");
    EXPECT_FALSE(secret_from_env(err));
    EXPECT_EQ(err, "");
    setenv("CONFD_IPC_ACCESS_FILE", file("env", "abc").c_str(), 1);
    EXPECT_EQ(secret_from_env(err), "abc");
    setenv("CONFD_IPC_ACCESS_FILE", (dir_ + "/missing").c_str(), 1);
    EXPECT_FALSE(secret_from_env(err));
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;
    // A client whose file is unreadable says so when challenged.
    Nonce n{};
    EXPECT_FALSE(ClientAuth::from_env().respond(n, "cli", err));
    EXPECT_NE(err.find("asks for the IPC access secret: " + dir_ + "/missing"), std::string::npos)
        << err;
}

TEST(ConfdAuthServer, OneAnswerDecidesAndOpenModeAcceptsEverything) {
    ServerAuth open(std::nullopt);
    EXPECT_EQ(open.state(), ServerAuth::State::Open);
    EXPECT_TRUE(open.answer("x", {}));
    EXPECT_TRUE(open.accepted());

    ServerAuth a(std::string("key")), b(std::string("key"));
    ASSERT_EQ(a.state(), ServerAuth::State::Challenged);
    EXPECT_FALSE(std::equal(a.challenge().begin(), a.challenge().end(), b.challenge().begin()));
    std::string err;
    auto mac = ClientAuth(std::string("key")).respond(a.challenge(), "worker", err);
    ASSERT_TRUE(mac) << err;
    EXPECT_FALSE(b.answer("worker", *mac));  // answer to another connection's challenge
    EXPECT_EQ(b.state(), ServerAuth::State::Refused);
    EXPECT_TRUE(a.answer("worker", *mac));
    EXPECT_TRUE(a.accepted());
    EXPECT_FALSE(a.answer("worker", *mac));  // a replay on the same connection
    EXPECT_FALSE(a.accepted());

    ServerAuth c(std::string("key"));
    c.truncated(5);
    EXPECT_EQ(c.reason(), "incomplete access answer (5 bytes)");
    EXPECT_FALSE(c.accepted());
    ServerAuth d(std::string("key"));
    EXPECT_FALSE(d.answer(std::string(kMaxRole + 1, 'r'), *mac));
    EXPECT_FALSE(ClientAuth(std::string("key")).respond(std::span(*mac).first(8), "w", err));
}

// Both ends over a socket pair; the server runs on a thread of its own.
struct Exchange {
    bool server_ok = false, client_ok = false;
    std::string role, server_err, client_err;
};

Exchange run(const std::optional<std::string> &server_key, const ClientAuth &client,
             int client_timeout_ms = 2000) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Exchange x;
    std::thread srv([&] {
        x.server_ok = server_handshake(sv[0], server_key, 2000, x.role, x.server_err);
        close(sv[0]);
    });
    x.client_ok = client_handshake(sv[1], client, "worker plxd", client_timeout_ms, x.client_err);
    close(sv[1]);
    srv.join();
    return x;
}

TEST(ConfdAuthHandshake, SameSecretIsAcceptedAndEveryOtherClientRefused) {
    Exchange ok = run(std::string("s3cret"), ClientAuth(std::string("s3cret")));
    EXPECT_TRUE(ok.server_ok) << ok.server_err;
    EXPECT_TRUE(ok.client_ok) << ok.client_err;
    EXPECT_EQ(ok.role, "worker plxd");

    Exchange wrong = run(std::string("s3cret"), ClientAuth(std::string("guess")));
    EXPECT_FALSE(wrong.server_ok);
    EXPECT_EQ(wrong.server_err, "wrong access answer for 'worker plxd' (secret differs)");
    EXPECT_FALSE(wrong.client_ok);
    EXPECT_NE(wrong.client_err.find("the server refused the connection"), std::string::npos)
        << wrong.client_err;

    Exchange none = run(std::string("s3cret"), ClientAuth(std::nullopt));
    EXPECT_FALSE(none.server_ok);
    EXPECT_EQ(none.server_err, "incomplete access answer (0 bytes): connection closed");
    EXPECT_FALSE(none.client_ok);
    EXPECT_NE(none.client_err.find("CONFD_IPC_ACCESS_FILE is not set"), std::string::npos);

    Exchange open = run(std::nullopt, ClientAuth(std::string("s3cret")), 50);
    EXPECT_TRUE(open.server_ok);
    EXPECT_FALSE(open.client_ok);
    EXPECT_NE(open.client_err.find("no access challenge from the server"), std::string::npos);
}

TEST(ConfdAuthHandshake, TruncatedOrSilentAnswerIsRefused) {
    for (size_t cut : {size_t{1}, size_t{12}, size_t{1 + 4 + 31}}) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::string role, err;
        std::thread srv([&] { server_handshake(sv[0], std::string("k"), 2000, role, err); });
        Nonce n{};
        ASSERT_EQ(recv(sv[1], n.data(), n.size(), MSG_WAITALL), 32);
        std::vector<uint8_t> ans{4, 'r', 'o', 'l', 'e'};
        Mac m = compute_mac("k", n, "role");
        ans.insert(ans.end(), m.begin(), m.end());
        ASSERT_EQ(send(sv[1], ans.data(), cut, 0), static_cast<ssize_t>(cut));
        shutdown(sv[1], SHUT_WR);
        srv.join();
        EXPECT_EQ(
            err, "incomplete access answer (" + std::to_string(cut) + " bytes): connection closed");
        close(sv[0]);
        close(sv[1]);
    }
    // A client that never answers is dropped at the deadline.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::string role, err;
    EXPECT_FALSE(server_handshake(sv[0], std::string("k"), 30, role, err));
    EXPECT_EQ(err, "incomplete access answer (0 bytes): timed out");
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
