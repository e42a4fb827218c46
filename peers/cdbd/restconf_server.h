// The database's HTTP northbound: RESTCONF (a subset of RFC 8040: data resources, actions, the
// discovery resources) and a Prometheus metrics endpoint, on the loopback address only.
//
// The server runs on a thread of its own with its own event loop, and reaches the database the
// way the command line does, over one command-line connection: a read of configuration is the
// command line's show, a read of operational lists is the command line's walk of the daemons'
// data providers, every write is one commit with the command line's validation, and an action
// runs as `cdbcli request` runs it. Requests are served one at a time in arrival order; slow
// clients only hold their own connection (bodies are read by the loop, bounded in size and
// time).
//
// Every request must carry "Authorization: Bearer TOKEN"; the token is made at start from
// random bytes and written to a file that only its owner can read (mode 0600).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace cdbd {

struct RestconfOptions {
    std::string addr = "127.0.0.1";  // loopback only: 127.0.0.1 or ::1
    uint16_t port = 0;               // 0: any free port (written to port_file)
    std::string token_file;          // the bearer token, written at start (0600)
    std::string port_file;           // the port actually bound, written at start ("" none)
    std::string yang_dir;            // the database's models (paths and bodies are parsed here)
    // The database the server talks to, as a command-line client.
    std::string db_addr = "127.0.0.1";
    uint16_t db_port = 4565;
    size_t max_body = 1u << 20;  // larger request bodies answer 413
    int timeout_s = 10;          // a client that sends its request slower is disconnected
    // sysmgrd's status file, for the age of plxd's last hello in the metrics ("" none).
    std::string sysmgr_status;
};

class RestconfServer {
  public:
    explicit RestconfServer(RestconfOptions opts);
    ~RestconfServer();
    RestconfServer(const RestconfServer &) = delete;
    RestconfServer &operator=(const RestconfServer &) = delete;

    // Binds, writes the token and port files and starts serving on a thread. False with a
    // message when any of it fails (nothing is left running).
    bool start(std::string &err);
    uint16_t port() const;
    const std::string &token() const;
    // Stops serving and joins the thread (also done by the destructor).
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

struct ServerOptions;
// The server of a database serving on db_port with opts, started as cdbd's options ask (files
// in dir, created when missing): the running server, or null with a message.
std::unique_ptr<RestconfServer> start_restconf(const ServerOptions &opts, uint16_t db_port,
                                               uint16_t port, const std::string &dir,
                                               const std::string &sysmgr_status, int timeout_s,
                                               std::string &err);

}  // namespace cdbd
