// Access control: secret file, nonce, HMAC-SHA256 proof, and the exchange over a socket.
#include "platform/confd/confd_auth.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace confd_auth {

namespace {

std::string openssl_error() {
    unsigned long e = ERR_get_error();
    if (e == 0)
        return "unknown OpenSSL error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

// Reads exactly out.size() bytes before the deadline. Returns the number of bytes read
// (fewer on end of file, timeout or error; err says which).
size_t read_full(int fd, std::span<uint8_t> out, std::chrono::steady_clock::time_point deadline,
                 std::string &err) {
    size_t got = 0;
    while (got < out.size()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            err = "timed out";
            return got;
        }
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            err = std::string("poll: ") + strerror(errno);
            return got;
        }
        if (rc == 0)
            continue;  // the deadline check above ends the wait
        ssize_t n = recv(fd, out.data() + got, out.size() - got, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            err = std::string("read: ") + strerror(errno);
            return got;
        }
        if (n == 0) {
            err = "connection closed";
            return got;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

bool write_full(int fd, std::span<const uint8_t> data, std::string &err) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = std::string("write: ") + strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool read_secret(const std::string &path, std::string &key, std::string &err) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = path + ": cannot read the access secret: " + strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        close(fd);
        err = path + ": the access secret is not a regular file";
        return false;
    }
    std::string data;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = path + ": cannot read the access secret: " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > kMaxSecretSize) {
            close(fd);
            err = path + ": the access secret is larger than " + std::to_string(kMaxSecretSize) +
                  " bytes";
            return false;
        }
    }
    close(fd);
    if (data.empty()) {
        err = path + ": the access secret file is empty";
        return false;
    }
    key = std::move(data);
    return true;
}

std::optional<std::string> secret_from_env(std::string &err) {
    err.clear();
    const char *path = getenv("CONFD_IPC_ACCESS_FILE");
    if (!path || !*path)
        return std::nullopt;
    std::string key;
    if (!read_secret(path, key, err))
        return std::nullopt;
    return key;
}

bool make_nonce(Nonce &nonce, std::string &err) {
    if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
        err = "cannot make a challenge: " + openssl_error();
        return false;
    }
    return true;
}

Mac compute_mac(std::string_view key, std::span<const uint8_t> nonce, std::string_view role) {
    std::vector<uint8_t> msg(nonce.begin(), nonce.end());
    msg.insert(msg.end(), role.begin(), role.end());
    Mac mac{};
    unsigned int len = 0;
    // HMAC with SHA-256 only fails when the library cannot allocate; a zero MAC then matches
    // nothing a real key produces, so the proof fails closed.
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(),
              mac.data(), &len) ||
        len != mac.size())
        mac.fill(0);
    return mac;
}

bool verify_mac(std::string_view key, std::span<const uint8_t> nonce, std::string_view role,
                std::span<const uint8_t> mac) {
    if (mac.size() != kMacSize || key.empty())
        return false;
    Mac want = compute_mac(key, nonce, role);
    return CRYPTO_memcmp(want.data(), mac.data(), kMacSize) == 0;
}

Mac server_proof(std::string_view key, std::span<const uint8_t> client_nonce,
                 std::string_view role) {
    return compute_mac(key, client_nonce, "server:" + std::string(role));
}

bool verify_server_proof(std::string_view key, std::span<const uint8_t> client_nonce,
                         std::string_view role, std::span<const uint8_t> proof) {
    if (proof.size() != kMacSize || key.empty() || client_nonce.size() != kNonceSize)
        return false;
    Mac want = server_proof(key, client_nonce, role);
    return CRYPTO_memcmp(want.data(), proof.data(), kMacSize) == 0;
}

ServerAuth::ServerAuth(std::optional<std::string> key) : key_(std::move(key)) {
    if (!key_)
        return;
    state_ = make_nonce(nonce_, reason_) ? State::Challenged : State::Refused;
}

bool ServerAuth::answer(std::string_view role, std::span<const uint8_t> mac) {
    switch (state_) {
        case State::Open:
            return true;
        case State::Challenged:
            break;
        case State::Accepted:
        case State::Refused:
            state_ = State::Refused;
            reason_ = "more than one answer to the access challenge";
            return false;
    }
    if (role.size() > kMaxRole) {
        state_ = State::Refused;
        reason_ = "access answer with a role of " + std::to_string(role.size()) + " bytes";
        return false;
    }
    if (mac.size() != kMacSize) {
        state_ = State::Refused;
        reason_ = "access answer of " + std::to_string(mac.size()) + " bytes instead of " +
                  std::to_string(kMacSize);
        return false;
    }
    if (!verify_mac(*key_, nonce_, role, mac)) {
        state_ = State::Refused;
        reason_ = "wrong access answer for '" + std::string(role) + "' (secret differs)";
        return false;
    }
    state_ = State::Accepted;
    return true;
}

void ServerAuth::truncated(size_t got) {
    if (state_ != State::Challenged)
        return;
    state_ = State::Refused;
    reason_ = "incomplete access answer (" + std::to_string(got) + " bytes)";
}

ClientAuth ClientAuth::from_env() {
    std::string err;
    std::optional<std::string> key = secret_from_env(err);
    return ClientAuth(std::move(key), std::move(err));
}

std::optional<Mac> ClientAuth::respond(std::span<const uint8_t> nonce, std::string_view role,
                                       std::string &err) const {
    if (!key_) {
        err = env_err_.empty() ? "the server asks for the IPC access secret and "
                                 "CONFD_IPC_ACCESS_FILE is not set"
                               : "the server asks for the IPC access secret: " + env_err_;
        return std::nullopt;
    }
    if (nonce.size() != kNonceSize) {
        err = "access challenge of " + std::to_string(nonce.size()) + " bytes instead of " +
              std::to_string(kNonceSize);
        return std::nullopt;
    }
    if (role.size() > kMaxRole) {
        err = "role longer than " + std::to_string(kMaxRole) + " bytes";
        return std::nullopt;
    }
    return compute_mac(*key_, nonce, role);
}

bool server_handshake(int fd, const std::optional<std::string> &key, int timeout_ms,
                      std::string &role, std::string &err) {
    ServerAuth auth(key);
    role.clear();
    if (auth.state() == ServerAuth::State::Open)
        return true;
    if (auth.state() == ServerAuth::State::Refused) {
        err = auth.reason();
        return false;
    }
    if (!write_full(fd, auth.challenge(), err))
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t len = 0;
    std::string why;
    if (read_full(fd, std::span(&len, 1), deadline, why) != 1) {
        auth.truncated(0);
        err = auth.reason() + ": " + why;
        return false;
    }
    std::vector<uint8_t> rest(len + kMacSize);
    size_t got = read_full(fd, rest, deadline, why);
    if (got != rest.size()) {
        auth.truncated(1 + got);
        err = auth.reason() + ": " + why;
        return false;
    }
    std::string r(rest.begin(), rest.begin() + len);
    if (!auth.answer(r, std::span(rest).subspan(len))) {
        err = auth.reason();
        return false;
    }
    const uint8_t ok = 0;
    if (!write_full(fd, std::span(&ok, 1), err))
        return false;
    role = std::move(r);
    return true;
}

bool client_handshake(int fd, const ClientAuth &auth, std::string_view role, int timeout_ms,
                      std::string &err) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Nonce nonce{};
    std::string why;
    if (read_full(fd, nonce, deadline, why) != nonce.size()) {
        err = "no access challenge from the server: " + why;
        return false;
    }
    std::optional<Mac> mac = auth.respond(nonce, role, err);
    if (!mac)
        return false;
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>(role.size()));
    out.insert(out.end(), role.begin(), role.end());
    out.insert(out.end(), mac->begin(), mac->end());
    if (!write_full(fd, out, err))
        return false;
    uint8_t verdict = 1;
    if (read_full(fd, std::span(&verdict, 1), deadline, why) != 1 || verdict != 0) {
        err = "the server refused the connection (access secret differs?): " +
              (why.empty() ? "verdict " + std::to_string(verdict) : why);
        return false;
    }
    return true;
}

}  // namespace confd_auth
