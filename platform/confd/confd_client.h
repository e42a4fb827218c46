// Client-side internals shared by the parts of the library: the socket table, requests and
// replies, error reporting.
#pragma once

#include <stdarg.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/confd/confd_cdb.h"
#include "platform/confd/confd_wire.h"

namespace confd_client {

// A tagged-value array owned by the library (freed with the owner).
struct TvArray {
    std::vector<confd_tag_value_t> items;
    TvArray() = default;
    TvArray(const TvArray &) = delete;
    TvArray &operator=(const TvArray &) = delete;
    TvArray(TvArray &&) = default;
    TvArray &operator=(TvArray &&) = default;
    ~TvArray();
};

// The decoded parts of one change event.
struct EventData {
    // The key path, kept compact (a whole confd_hkeypath_t is about 6 KB): for each element
    // from the outermost, its number of values in kp_counts and the values in kp_values.
    std::vector<uint8_t> kp_counts;
    std::vector<confd_value_t> kp_values;
    confd_value_t oldv{};
    confd_value_t newv{};
    TvArray mods;
    EventData() = default;
    EventData(const EventData &) = delete;
    EventData &operator=(const EventData &) = delete;
    ~EventData();
    // Reads the key path, old and new value and modifications as the wire carries them; false
    // on a malformed event (what was read is freed with this).
    bool read(confd_wire::WireReader &r);
    // Writes the key path into kp (only the slots the path uses, each element ended by a
    // C_NOEXISTS slot when it has fewer than MAXKEYLEN values). The values stay owned here.
    void fill_keypath(confd_hkeypath_t &kp) const;
};

// One change event of a delivered notification (see confd_cdb.h). The whole notification is
// checked when it arrives, but only each event's depth and operation are kept then: the rest
// is decoded when the event is visited. A commit delivers thousands of events of which an
// iterator that goes on past each subtree (ITER_CONTINUE) visits a few.
struct Event {
    uint32_t depth = 0;
    int op = 0;
    std::span<const uint8_t> body;  // key path, values and modifications, in the notification
    // The decoded event, or null when memory ran out (error recorded).
    const EventData *data() const;

  private:
    mutable std::unique_ptr<EventData> data_;
};

struct PointChanges {
    int id = 0;
    bool list_point = false;
    std::vector<Event> events;
    std::span<const uint8_t> mods_body;  // the point's array, in the notification
    // The point's array, decoded on first use; null when memory ran out (error recorded).
    const TvArray *point_mods() const;

  private:
    mutable std::unique_ptr<TvArray> point_mods_;
};

struct SockState {
    confd_wire::WireSock kind = confd_wire::WireSock::CdbData;
    std::mutex send_mu;  // one frame at a time on the socket
    // The notification being read on a subscription socket.
    bool in_delivery = false;
    int sub_type = 0;
    int sub_flags = 0;
    std::vector<PointChanges> points;
    std::vector<uint8_t> notification;  // the payload the points' events lie in
    const Event *current = nullptr;     // the event whose iterator call is running
    bool in_session = false;
    uint64_t server_id = 0;  // the server's id of this connection (from the Hello reply)
    // The open socket the state belongs to: a descriptor number that was closed and handed
    // out again names another socket, which this state must never answer for.
    dev_t dev = 0;
    ino_t ino = 0;
};

// Records an error for the calling thread and returns CONFD_ERR.
int set_err(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Copies the text into buf (at most bufsiz bytes with the terminator); returns its full length.
int copy_out(const std::string &s, char *buf, int bufsiz);
// The socket's state, or null when the library does not know the socket (error recorded).
std::shared_ptr<SockState> sock_state(int fd);
// The socket's state without checking that fd still names the socket it was made for: only for
// calls made inside a call that checked it (an iterator callback of cdb_diff_iterate), where
// the check would cost a system call for every event visited.
std::shared_ptr<SockState> sock_state_checked_by_caller(int fd);
// Connects fd to the server (address possibly overridden by the environment) as a socket of
// the given kind and registers it. A daemon's control and worker sockets pass its token.
// When CONFD_IPC_ACCESS_FILE names a secret file, the connection proves the secret when the
// server asks for it.
int connect_sock(int fd, const struct sockaddr *srv, int srv_sz, confd_wire::WireSock kind,
                 const char *name, uint64_t daemon_token = 0);
// Forgets the state of the socket open on fd.
void forget_sock(int fd);
// Forgets fd's state only when it is still st: the holder of a socket closed earlier never
// forgets a newer socket that was given the same number meanwhile (by another thread).
void forget_sock(int fd, const SockState *st);
// Reads one frame from the server. CONFD_OK, CONFD_EOF (recorded with the text closed) when the
// server closed the socket, or CONFD_ERR.
int read_reply(int fd, confd_wire::Frame &reply,
               const char *closed = "the database closed the socket");
// Sends a frame under the socket's send lock.
int send_frame(int fd, SockState &st, const std::vector<uint8_t> &frame);
// Sends a request and reads its reply into payload. CONFD_OK, CONFD_EOF or CONFD_ERR
// (server errors become confd_errno/confd_lasterr).
int request(int fd, const std::vector<uint8_t> &frame, std::vector<uint8_t> &payload);
// The answer to the server's access challenge: HMAC-SHA256 of the nonce keyed with the
// secret file named by CONFD_IPC_ACCESS_FILE, and a fresh nonce (client_nonce) that the server
// must answer in turn. False with a reason when there is no secret. role names the connection
// (auth_role), so that an answer proves the secret for it only.
bool auth_answer(const std::vector<uint8_t> &nonce, const std::string &role,
                 std::vector<uint8_t> &mac, std::vector<uint8_t> &client_nonce, std::string &err);
// A client that holds a secret (CONFD_IPC_ACCESS_FILE names a readable file) talks only to a
// server that proves it.
bool auth_expects_proof();
// Does proof show that the server knows the secret for the connection that sent client_nonce?
bool auth_server_proven(const std::vector<uint8_t> &client_nonce, const std::string &role,
                        const std::vector<uint8_t> &proof);
std::string auth_role(confd_wire::WireSock kind, const std::string &name);
// The callpoint (action false) or action point of a node of the loaded schema, or null.
const char *cs_node_point(const confd_cs_node *node, bool action);
// Formats a path as printf does, and a key given as a value: "%x" takes a confd_value_t *,
// "%*x" an int count and an array of that many values (written space-separated). Keys are
// written as the server parses them back (quoted when needed; enumerations by number).
std::string format_path(const char *fmt, va_list ap);
// Sends a frame that has no reply. CONFD_OK, CONFD_EOF or CONFD_ERR.
int send_oneway(int fd, const std::vector<uint8_t> &frame);
// Reads the payload of a Notify frame: the notification's type and flags and the changes of
// every point that fired, appended to points (their events lie in payload, which must outlive
// them). False when the payload is malformed (an unknown notification type or change operation
// included).
bool parse_notification(std::span<const uint8_t> payload, uint32_t &type, uint32_t &flags,
                        std::vector<PointChanges> &points);

}  // namespace confd_client
