// The system manager's side of the daemon hello: listens as module 7 on "/var/run/.sysmgrd",
// accepts the registration of any other module, decodes each hello and keeps, per client
// module, its process id, the number of hellos and the time of the last one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/sysmgr_client.h"

struct event_base;
struct msgq_handle;
struct timer_mgr;

struct SysmgrdClient {
    uint32_t module = 0;
    std::string name;
    bool connected = false;
    uint32_t connects = 0;
    uint32_t pid = 0;           // from the last good hello
    uint64_t hellos = 0;        // good hellos
    uint64_t malformed = 0;     // refused hellos and unknown messages
    int64_t last_hello_ms = 0;  // wall clock, ms since the epoch; 0: none yet
};

struct SysmgrdOptions {
    std::string status_file;  // rewritten on every change when not empty
    FILE *out = stdout;       // one line per hello and per connection change
    FILE *err = stderr;       // malformed input
};

// Checks a hello payload. Returns an empty string when it is good (and fills *hello), otherwise
// what is wrong with it.
std::string sysmgrd_check_hello(const uint8_t *payload, uint32_t len, sysmgr_hello_msg *hello);

class SysmgrdServer {
  public:
    SysmgrdServer(event_base *evbase, timer_mgr *tmr_mgr, SysmgrdOptions options);
    ~SysmgrdServer();
    SysmgrdServer(const SysmgrdServer &) = delete;
    SysmgrdServer &operator=(const SysmgrdServer &) = delete;

    // Opens one server queue per possible client module on the shared listening socket.
    // Returns 0, or an errno value when the socket cannot be listened on.
    int start();
    // Closes every queue (and the listening socket).
    void stop();

    const std::map<uint32_t, SysmgrdClient> &clients() const { return clients_; }
    const std::string &socket_path() const { return socket_path_; }

    // Table of every client that ever connected, with seconds since its last hello.
    void print_table(FILE *out) const;
    // Writes the status file (JSON) atomically. Returns 0 or an errno value.
    int write_status_file() const;

  private:
    static void on_up(msgq_handle *msgq_p, void *arg);
    static void on_down(msgq_handle *msgq_p, void *arg);
    static void on_reserved(msgq_handle *msgq_p, void *arg);
    static void on_recv(msgq_handle *msgq_p, uint8_t *payload, uint32_t len, void *arg);

    SysmgrdClient &client(uint32_t module);
    void changed();

    event_base *evbase_;
    timer_mgr *tmr_mgr_;
    SysmgrdOptions options_;
    std::string socket_path_;
    std::vector<msgq_handle *> handles_;
    std::map<uint32_t, SysmgrdClient> clients_;
};
