// Access control between the configuration database server and its clients.
//
// Both sides may be given the same secret file (the client through the environment variable
// CONFD_IPC_ACCESS_FILE, the server through its own configuration); the file's whole contents,
// bytes as they are, are the key. When a connection opens, the holder of the key proves it:
//
//   1. server -> client   a challenge: 32 random bytes (the nonce), fresh for every connection;
//   2. client -> server   the answer: HMAC-SHA256(key, nonce || role), where role names what
//                         the connection is for (its socket kind and the client's name, as
//                         the two sides agree; the server takes it from what the client
//                         declared, so an answer proves the secret for that role only);
//   3. server             compares the answer with its own computation in constant time and
//                         either accepts the connection or closes it (and logs the refusal).
//
// The server proves the key in turn, so that whoever binds the port while the database is away
// cannot pose as it: the client's answer carries a nonce of its own (the client nonce), and the
// server's acceptance carries HMAC-SHA256(key, client nonce || "server:" || role)
// (server_proof()). A client that holds a key refuses a server that does not challenge it or
// whose proof is wrong.
//
// Without a configured file a side runs open: a server sends no challenge and accepts every
// connection; a client has nothing to answer with and is refused by a server that asks.
//
// The pure functions below carry the cryptography; ServerAuth and ClientAuth are the two ends
// of one exchange, independent of how the bytes travel. server_handshake() and
// client_handshake() run the exchange over a connected blocking socket with this framing:
//
//     challenge  32 bytes   the nonce
//     answer     1 byte     role length n (0-255), then n bytes role, then 32 bytes HMAC
//     verdict    1 byte     0 accepted; on refusal the server closes without a verdict
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace confd_auth {

inline constexpr size_t kNonceSize = 32;
inline constexpr size_t kMacSize = 32;
inline constexpr size_t kMaxRole = 255;
// A secret file larger than this is refused (it is a key, not a data file).
inline constexpr size_t kMaxSecretSize = 64 * 1024;

using Nonce = std::array<uint8_t, kNonceSize>;
using Mac = std::array<uint8_t, kMacSize>;

// Reads the secret file; its whole contents become key. False with err set ("<path>: ...")
// when the file cannot be read, is empty or is larger than kMaxSecretSize.
bool read_secret(const std::string &path, std::string &key, std::string &err);

// The client's key: the file named by CONFD_IPC_ACCESS_FILE. nullopt with err empty when the
// variable is unset or empty (run open); nullopt with err set when it names a file that
// read_secret() refuses. The value is used as it is: whoever sets it gives the full path.
std::optional<std::string> secret_from_env(std::string &err);

// A fresh random nonce (OpenSSL's generator). False with err set when it has no entropy.
bool make_nonce(Nonce &nonce, std::string &err);

// HMAC-SHA256(key, nonce || role).
Mac compute_mac(std::string_view key, std::span<const uint8_t> nonce, std::string_view role);

// True when mac is exactly the kMacSize-byte HMAC of nonce and role; the comparison takes the
// same time wherever the first difference is.
bool verify_mac(std::string_view key, std::span<const uint8_t> nonce, std::string_view role,
                std::span<const uint8_t> mac);

// The server's proof of the key for the connection whose client sent client_nonce for role
// (roles of clients begin with a digit, so a client's answer is never a server's proof).
Mac server_proof(std::string_view key, std::span<const uint8_t> client_nonce,
                 std::string_view role);
bool verify_server_proof(std::string_view key, std::span<const uint8_t> client_nonce,
                         std::string_view role, std::span<const uint8_t> proof);

// Server end of one connection's exchange.
//
//   ServerAuth a(key);                     // key nullopt: open
//   if (a.state() == ServerAuth::State::Challenged) send(a.challenge());
//   ... receive role and answer ...
//   if (!a.answer(role, mac)) { log(a.reason()); close(); }
class ServerAuth {
  public:
    enum class State { Open, Challenged, Accepted, Refused };

    // With a key, makes the nonce (Refused, with reason(), when no nonce can be made).
    explicit ServerAuth(std::optional<std::string> key);

    State state() const { return state_; }
    // The challenge to send (valid in Challenged).
    std::span<const uint8_t> challenge() const { return nonce_; }
    // Checks the client's answer, once: true (Accepted) when it proves the key for role.
    // Any other answer, or a second one, refuses the connection. Open: always true.
    bool answer(std::string_view role, std::span<const uint8_t> mac);
    // Refuses a connection whose answer never came in full (closed or timed out early).
    void truncated(size_t got);
    // True when the connection may be served (Open or Accepted).
    bool accepted() const { return state_ == State::Open || state_ == State::Accepted; }
    const std::string &reason() const { return reason_; }

  private:
    std::optional<std::string> key_;
    Nonce nonce_{};
    State state_ = State::Open;
    std::string reason_;
};

// Client end: the answer to a challenge.
class ClientAuth {
  public:
    // key nullopt: no secret (a challenge cannot be answered). env_err: why no key was
    // loaded, kept for the error text when a challenge does come.
    explicit ClientAuth(std::optional<std::string> key, std::string env_err = {})
        : key_(std::move(key)), env_err_(std::move(env_err)) {}
    // The client's key from the environment (secret_from_env()).
    static ClientAuth from_env();

    bool has_key() const { return key_.has_value(); }
    // The answer to nonce for role; nullopt with err set when there is no key or the
    // challenge is not kNonceSize bytes.
    std::optional<Mac> respond(std::span<const uint8_t> nonce, std::string_view role,
                               std::string &err) const;

  private:
    std::optional<std::string> key_;
    std::string env_err_;
};

// Runs the server end over a connected blocking socket (framing above), waiting at most
// timeout_ms for the answer. Open: returns true at once without sending anything. Accepted:
// sends the verdict, sets role and returns true. Otherwise false with err set (the caller
// closes the socket and logs err).
bool server_handshake(int fd, const std::optional<std::string> &key, int timeout_ms,
                      std::string &role, std::string &err);

// Runs the client end: waits at most timeout_ms for the challenge, answers it for role and
// waits for the verdict. False with err set when the server sends no challenge in time, the
// client has no key, or the server refuses (closes).
bool client_handshake(int fd, const ClientAuth &auth, std::string_view role, int timeout_ms,
                      std::string &err);

}  // namespace confd_auth
