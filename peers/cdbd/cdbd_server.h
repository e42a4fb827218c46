// The configuration database server: one libevent loop serving client sockets, the running
// datastore (persisted on every commit), the operational datastore, start phases, and the
// delivery of changes to subscribers priority level by priority level.
#pragma once

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "peers/cdbd/cdbd_diff.h"
#include "peers/cdbd/cdbd_journal.h"
#include "peers/cdbd/cdbd_schema.h"
#include "peers/cdbd/cdbd_validate.h"
#include "platform/confd/confd_wire.h"

namespace cdbd {

struct ServerOptions {
    std::string yang_dir;  // every *.yang here is loaded
    std::string db_dir;    // holds running.json and running.journal
    std::string addr = "127.0.0.1";
    uint16_t port = 4565;  // 0: any free port (see CdbServer::port)
    int start_phase = 2;   // 0 holds clients in cdb_wait_start until the CLI advances it
    // How long a daemon may take to answer one request before the request fails.
    int daemon_timeout_ms = 10000;
    // How long a subscriber may take to synchronise one notification before it is closed and
    // the delivery goes on without it (0: wait for ever). The router's daemons synchronise once
    // they have applied a change, well within this.
    int sync_timeout_ms = 15000;
    // Unsent output a connection may hold: a client that stops reading while more is queued
    // for it (notifications it follows, requests to a daemon) is closed.
    size_t max_output = 16u << 20;
    // The largest frame clients accept; a change notification that would be larger closes its
    // subscriber instead of stalling the commit.
    size_t max_frame = confd_wire::kMaxFrame;
    // Bounds on what clients can make the server hold: connections at once, the bytes of
    // partial frames buffered over all connections, time to send the Hello, and subscription
    // points per connection.
    size_t max_conns = 1024;
    size_t max_input_total = 256u << 20;
    int hello_timeout_ms = 10000;
    size_t max_subs_per_conn = 4096;
    // Received notifications kept for the command line (oldest dropped first).
    size_t notif_log_size = 1000;
    // A secret file: every connection must prove that it knows its contents (empty: open).
    std::string access_file;
    // SNMP trap targets per notify name (empty: no traps are sent).
    std::string snmp_config;
};

// A notification received from a daemon, as the command line prints it.
struct NotifEntry {
    uint64_t seq = 0;
    std::string stream;
    std::string text;  // readable form
    std::string xml;   // NETCONF-style XML
};

// An SNMP notification as a daemon sent it (the trap built from it goes to the notify name's
// targets).
struct SnmpVar {
    std::string name;
    confd_value_t value{};
};
struct SnmpNotif {
    std::string notify_name;
    std::string notification;
    std::vector<SnmpVar> vars;
};
using SnmpSender = std::function<void(const SnmpNotif &)>;

struct Conn;
struct Job;
}  // namespace cdbd
struct plx_listen_guard;
namespace cdbd {

// Configuration subscriptions are notified lowest priority first. The router's daemons
// subscribe at priorities 1 and above; nothing may subscribe ahead of them.
inline constexpr int kMinSubscriptionPriority = 1;

class CdbServer {
  public:
    explicit CdbServer(ServerOptions opts);
    ~CdbServer();
    CdbServer(const CdbServer &) = delete;
    CdbServer &operator=(const CdbServer &) = delete;

    // Loads the schema and the running datastore, binds the listener. False with a message
    // on any failure (a damaged datastore file is reported and left untouched).
    bool init(std::string &err);
    uint16_t port() const { return port_; }
    const std::string &running_file() const { return running_file_; }
    // Runs the loop until stop() or SIGINT/SIGTERM (when install_signals was called).
    void run();
    // Runs the callbacks that are ready now, without waiting (for a caller driving the loop).
    void run_once();
    // Serves a client over a stream that is already connected, as an accepted TCP client is
    // served; the server owns bev from here on (a bufferevent on this server's event base, e.g.
    // one end of a bufferevent pair). Returns the connection's id.
    uint64_t serve_stream(bufferevent *bev, const std::string &peer);
    bool conn_open(uint64_t id) const { return conns_.count(id) != 0; }
    event_base *base() const { return base_; }
    // Thread-safe: makes run() return. Every client socket is closed when the server is
    // destroyed.
    void stop();
    void install_signals();
    // The notifications received so far, oldest first (thread-safe copy).
    std::vector<NotifEntry> notifications() const;
    // Replaces how SNMP notifications leave the server (by default: traps to the targets of
    // the configuration file).
    void set_snmp_sender(SnmpSender sender);

  private:
    friend struct Conn;
    static void on_accept(evconnlistener *, evutil_socket_t fd, sockaddr *addr, int len, void *arg);
    static void on_read(bufferevent *bev, void *arg);
    static void on_write(bufferevent *bev, void *arg);
    static void on_event(bufferevent *bev, short what, void *arg);
    static void on_signal(evutil_socket_t, short, void *arg);

    void dispatch(Conn &c, confd_wire::Op op, uint16_t status, const std::vector<uint8_t> &payload);
    void close_conn(uint64_t id);
    // True when buffering more of a partial frame would pass the input bound over all
    // connections (the connection is then closed).
    bool input_over_cap() const;
    // Closes the connection from the event loop once the current callback has returned;
    // nothing more is sent to it or read from it meanwhile. why is logged.
    void close_later(Conn &c, const std::string &why);
    static void on_sync_timeout(evutil_socket_t, short, void *arg);
    void send(Conn &c, const std::vector<uint8_t> &frame);
    void reply_ok(Conn &c, confd_wire::Op op);
    void reply_err(Conn &c, confd_wire::Op op, int code, const std::string &msg);

    // data sockets
    void do_session(Conn &c, confd_wire::Op op, confd_wire::WireReader &r);
    void do_read(Conn &c, confd_wire::Op op, confd_wire::WireReader &r);
    void do_oper_write(Conn &c, confd_wire::Op op, confd_wire::WireReader &r);
    void end_session(Conn &c);
    const lyd_node *tree_for(int db) const;
    // subscription sockets
    void do_subscribe(Conn &c, confd_wire::WireReader &r);
    void do_trigger(Conn &c, confd_wire::Op op, confd_wire::WireReader &r);
    // command line
    void do_cli(Conn &c, confd_wire::Op op, const std::vector<uint8_t> &payload);
    std::string status_text() const;

    // operational writes shared by sessions and the command line
    int oper_set(const std::string &path, const confd_value_t *v, const std::string *text,
                 std::string &err);
    int oper_create(const std::string &path, std::string &err);
    int oper_delete(const std::string &path, std::string &err);
    void enqueue_oper(DataTree before);

    // jobs: commits, triggers and operational changes, one at a time
    void enqueue(std::unique_ptr<Job> job);
    void start_next_job();
    bool prepare_commit(Job &job);
    // Makes the journal record just written durable on a helper thread; on_flushed runs on the
    // loop when it is done and acknowledges the commit if it was delivered meanwhile.
    void start_flush(Job &job);
    static void on_flushed(evutil_socket_t, short, void *arg);
    void flush_failed(Job &job, const std::string &why);
    void deliver_level();
    // Once the level's notifications are all written, encodes the next level's while the
    // subscribers work on theirs.
    void encode_ahead();
    void on_sync(uint64_t conn_id);
    void finish_job();

    // daemons (cdbd_daemons.cpp; the command line's reads and actions: cdbd_daemon_relay.cpp)
    struct CallResult {
        bool ok = false;
        int code = 0;
        std::string msg;
        std::vector<uint8_t> payload;  // the reply after the call id
    };
    using CallDone = std::function<void(CallResult &)>;
    void hello_done(Conn &c, const std::vector<uint8_t> &hello);
    bool do_daemon(Conn &c, confd_wire::Op op, confd_wire::WireReader &r,
                   const std::vector<uint8_t> &payload, uint16_t status);
    void call_daemon(uint64_t conn, confd_wire::Op op,
                     const std::function<void(confd_wire::WireWriter &)> &fill, CallDone done);
    void on_call_reply(Conn &c, confd_wire::Op op, uint16_t status,
                       const std::vector<uint8_t> &payload);
    void call_timeout(uint32_t id);
    void fail_calls_to(uint64_t conn, const std::string &why);
    void daemon_conn_closed(Conn &c);
    void cli_conn_closed(Conn &c);
    std::string daemon_name(uint64_t token) const;
    void do_dp(Conn &c, const std::vector<uint8_t> &payload);
    void dp_send(uint64_t cli, int thandle, uint64_t daemon, uint64_t worker,
                 std::shared_ptr<std::vector<uint8_t>> args, confd_wire::Op cbop);
    // Relays a daemon's answer to the command line cli as the reply to op (an error names the
    // daemon).
    CallDone reply_to_cli(uint64_t cli, uint64_t daemon, confd_wire::Op op);
    // The worker socket a daemon's init reply binds the request to: 0, with `res` made an
    // error, when the call failed or the socket is not one of that daemon's workers.
    uint64_t bound_worker(CallResult &res, uint64_t daemon, const char *what);
    // The token of the registered daemon that owns point in owners, or 0.
    uint64_t serving_daemon(const std::map<std::string, uint64_t> &owners,
                            const std::string &point) const;
    void do_action(Conn &c, confd_wire::WireReader &r);
    void do_maapi(Conn &c, confd_wire::Op op, confd_wire::WireReader &r);
    void do_notif(Conn &c, confd_wire::Op op, confd_wire::WireReader &r);
    void do_cli_notifs(Conn &c, confd_wire::WireReader &r);
    bool start_validation(Job &j);
    void stop_validation(Job &j);
    void run_active();
    std::string daemons_text() const;
    bool init_snmp(std::string &err);

    // Applies a commit request (a command line's load, set or delete) to a copy of the running
    // tree and validates it: 0, or an error code with msg.
    int build_commit(confd_wire::Op op, const std::vector<uint8_t> &payload, DataTree &next,
                     std::string &msg);
    // A copy of the running tree for a commit to edit: the one made ahead after the last commit
    // when it is still current, else a fresh one. False when libyang failed.
    bool running_copy(DataTree &out);
    // Makes that copy ahead, once the loop has served what is pending.
    void prepare_running_copy();
    // The running tree as the snapshot's JSON text ("" with err on failure).
    std::string running_text(std::string &err) const;
    // Writes the running tree as the new snapshot and starts an empty journal for it.
    bool compact(std::string &err);
    void set_phase(int phase);

    ServerOptions opts_;
    SchemaDb schema_;
    std::unique_ptr<CommitValidator> validator_;  // made with the schema
    // The running tree's generation (every commit and load makes a new one) and a copy of it
    // made ahead for the next commit, current while spare_gen_ equals it.
    uint64_t running_gen_ = 0;
    uint64_t spare_gen_ = UINT64_MAX;
    DataTree spare_;
    event_base *base_ = nullptr;
    evconnlistener *listener_ = nullptr;
    plx_listen_guard *listen_guard_ = nullptr;
    event *sigint_ = nullptr;
    event *sigterm_ = nullptr;
    uint16_t port_ = 0;
    std::string running_file_;
    std::string journal_file_;
    CommitJournal journal_;
    // The active commit's journal flush: "" or why it failed; the event that wakes the loop.
    std::future<std::string> flush_;
    event *flushed_ev_ = nullptr;
    // A flush failed and no snapshot holds its commit yet: the next commit writes one first.
    bool snapshot_due_ = false;

    DataTree running_;
    DataTree oper_;
    const lyd_node *precommit_ = nullptr;  // the old running tree while a commit is delivered
    int phase_ = 2;

    uint64_t next_conn_ = 1;
    std::map<uint64_t, std::unique_ptr<Conn>> conns_;
    std::set<uint64_t> start_waiters_;

    struct Sub {
        int id;
        uint64_t conn;
        int prio;
        bool oper;
        bool active;
        std::string path;
        const lysc_node *schema;
    };
    int next_point_ = 1;
    std::map<int, Sub> subs_;

    std::deque<std::unique_ptr<Job>> jobs_;
    std::unique_ptr<Job> active_;

    // Daemons, by the token their control and worker sockets present.
    struct Daemon {
        std::string name;
        uint64_t control = 0;
        std::vector<uint64_t> workers;
        bool done = false;
        bool trans_cb = false;
        bool validate_cb = false;
        std::set<std::string> callpoints, actionpoints, valpoints, streams, snmp_names;
    };
    std::map<uint64_t, Daemon> daemons_;
    std::map<std::string, uint64_t> callpoint_owner_, actionpoint_owner_;
    struct Call;
    uint32_t next_call_ = 1;
    std::map<uint32_t, std::unique_ptr<Call>> calls_;
    // Transactions daemons serve: a command line's reads, a commit's validation.
    struct Trans {
        uint64_t owner = 0;                    // the command line (0: a commit)
        std::map<uint64_t, uint64_t> workers;  // daemon token -> worker connection
    };
    int next_thandle_ = 1;
    std::map<int, Trans> trans_;
    std::vector<uint8_t> secret_;
    mutable std::mutex notif_mu_;
    std::deque<NotifEntry> notif_log_;
    uint64_t notif_seq_ = 0;
    SnmpSender snmp_sender_;
};

}  // namespace cdbd
