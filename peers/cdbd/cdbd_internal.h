// Server internals shared by its source files: connections and jobs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "peers/cdbd/cdbd_server.h"
#include "platform/confd/confd_cdb.h"

struct event;

namespace cdbd {

// The wire vocabulary every part of the server speaks.
using confd_wire::EditMode;
using confd_wire::Op;
using confd_wire::WireReader;
using confd_wire::WireSock;
using confd_wire::WireWriter;

struct Conn {
    uint64_t id = 0;
    bufferevent *bev = nullptr;
    bool hello = false;
    bool closing = false;  // close_later was called: nothing more is sent or read
    confd_wire::WireSock kind = confd_wire::WireSock::CdbData;
    std::string name;
    std::string peer;
    // data session
    int session_db = 0;
    bool wrote = false;
    DataTree oper_before;  // the operational tree at the session's first write
    // subscription socket
    bool sub_done = false;
    // access control: the Hello waiting for the answer to the challenge
    std::vector<uint8_t> nonce;
    std::vector<uint8_t> pending_hello;
    std::vector<uint8_t> server_proof;  // sent with the Hello reply (the client's nonce answered)
    // The user owning the client's socket, looked up at its first commit or action (-1: unknown)
    long uid = -2;  // -2: not looked up yet
    // daemon sockets: the daemon's token
    uint64_t daemon = 0;
    // command line: its operational transaction (0: none), its notification follow format
    int thandle = 0;
    int follow = -1;
};

struct Job {
    Job() = default;
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;
    ~Job();
    enum Kind { Commit, Trigger, Oper } kind = Commit;
    // Commit: the command-line request, applied when the job starts.
    confd_wire::Op cli_op = confd_wire::Op::CliEdit;
    std::vector<uint8_t> cli_payload;
    // Trigger: the points (empty: every point of its kind); oper trigger flag.
    std::vector<int> points;
    bool oper_trigger = false;
    uint64_t requester = 0;
    confd_wire::Op reply_op = confd_wire::Op::Trigger;
    DataTree old_tree;  // Commit: the pre-commit running tree; Oper: the tree before
    DataTree new_tree;  // Oper: the tree after (a copy)
    std::vector<Change> changes;
    NotifyCache notify;  // the changes as notifications encode them, shared by every level
    std::string message;
    // Delivery: priority levels left, subscribers still to synchronise.
    std::vector<std::pair<int, std::vector<int>>> levels;  // priority -> point ids
    size_t level = 0;
    size_t encoded_ahead = 0;  // the last level encoded while the one before was waited for
    std::set<uint64_t> pending;
    event *sync_timer = nullptr;  // bounds the wait for the pending subscribers
    int sub_type = CDB_SUB_COMMIT;
    int sub_flags = 0;
    // Commit: validation by daemons before the change is applied
    bool validated = false;
    int vthandle = 0;
    size_t validating = 0;  // init requests still unanswered
    std::string validation_error;
    // Commit: its journal record is reaching the disk; delivered, waiting for that to ack.
    bool flushing = false;
    bool delivered = false;
    std::string durability_error;  // the flush failed and no snapshot holds the commit
};

// A request sent to a daemon, waiting for its reply or its deadline.
struct CdbServer::Call {
    uint32_t id = 0;
    uint64_t conn = 0;
    confd_wire::Op op = confd_wire::Op::Hello;
    CdbServer *srv = nullptr;
    CallDone done;
    event *timer = nullptr;
    Call() = default;
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    ~Call();
};

// The kind of a client socket as logs and the status print it.
std::string kind_name(confd_wire::WireSock k);

// Frees a node of a forest, keeping root pointing at the forest's first node.
void free_node(DataTree &t, lyd_node *n);
// Frees every node of t that xpath selects; returns how many there were.
uint32_t free_matches(DataTree &t, const std::string &xpath);
// Builds the node at xpath (value: a leaf's text) and merges it into t. 0, or the error code
// with libyang's reason in err.
int merge_new_node(ly_ctx *ctx, DataTree &t, const std::string &xpath, const char *value,
                   uint32_t options, std::string &err);

// Lines about connections (refused, closed, misbehaving), rate-limited per source line: a flood
// of bad clients writes a few lines a second and a count of what was held back.
void conn_log(int line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
#define CDBD_CONN_LOG(...) ::cdbd::conn_log(__LINE__, __VA_ARGS__)

// Access control helpers.
std::vector<uint8_t> random_bytes(size_t n);
// Does answer (the MAC, then the client's nonce) prove the secret for the connection that sent
// hello and got nonce? On success proof holds the server's answer to the client's nonce.
bool auth_ok(const std::vector<uint8_t> &secret, const std::vector<uint8_t> &nonce,
             const std::vector<uint8_t> &hello, const std::vector<uint8_t> &answer,
             std::vector<uint8_t> &proof);
// The user id owning the loopback TCP socket whose local end is peer ("a.b.c.d:port") and whose
// remote end is server_addr:server_port, from the kernel's socket table; -1 when it is not found.
long tcp_peer_uid(const std::string &peer, uint16_t server_port,
                  in_addr server_addr = {htonl(INADDR_LOOPBACK)});
// "name (uid N) from peer": who made a commit or ran an action, for the log.
std::string conn_owner_text(Conn &c, uint16_t server_port);
bool read_access_secret(const std::string &path, std::vector<uint8_t> &out, std::string &err);

// A received notification in its readable (xml false) or XML form.
std::string format_notification(const SchemaDb &schema, const confd_value_t &time,
                                const std::vector<confd_tag_value_t> &values, bool xml);

}  // namespace cdbd
