// The configuration database server: one libevent loop serving client sockets, the running
// datastore (persisted on every commit), the operational datastore, start phases, and the
// delivery of changes to subscribers priority level by priority level.
#pragma once

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "peers/cdbd/cdbd_diff.h"
#include "peers/cdbd/cdbd_schema.h"

namespace cdbd {

struct ServerOptions {
    std::string yang_dir;  // every *.yang here is loaded
    std::string db_dir;    // holds running.json
    std::string addr = "127.0.0.1";
    uint16_t port = 4565;  // 0: any free port (see CdbServer::port)
    int start_phase = 2;   // 0 holds clients in cdb_wait_start until the CLI advances it
};

struct Conn;
struct Job;

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
    // Thread-safe: makes run() return. Every client socket is closed when the server is
    // destroyed.
    void stop();
    void install_signals();

  private:
    friend struct Conn;
    static void on_accept(evconnlistener *, evutil_socket_t fd, sockaddr *addr, int len, void *arg);
    static void on_read(bufferevent *bev, void *arg);
    static void on_event(bufferevent *bev, short what, void *arg);
    static void on_signal(evutil_socket_t, short, void *arg);

    void dispatch(Conn &c, confd_wire::Op op, const std::vector<uint8_t> &payload);
    void close_conn(uint64_t id);
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
    void deliver_level();
    void on_sync(uint64_t conn_id);
    void finish_job();

    bool save_running(const lyd_node *tree, std::string &err);
    void set_phase(int phase);

    ServerOptions opts_;
    SchemaDb schema_;
    event_base *base_ = nullptr;
    evconnlistener *listener_ = nullptr;
    event *sigint_ = nullptr;
    event *sigterm_ = nullptr;
    uint16_t port_ = 0;
    std::string running_file_;

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
};

}  // namespace cdbd
