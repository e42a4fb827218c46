// hbusd's service: a server queue (module 2) on "/var/run/.hbusd" for plxd (module 9), and a
// control socket "/var/run/.hbusctl" for hbusctl (both under $PLX_ROOT).
//
// plxd subscribes on every connection with two type-1 messages: selector 0 opens the session,
// selector 1 asks for TLOC state, which hbusd answers with one update (type 5) per TLOC it
// knows. From then on every change made through the control socket is sent at once: an update
// for a new or changed TLOC, a withdrawal (type 6) for a removed one. A message from plxd that
// does not decode, or that hbusd does not expect, is logged and dropped; the connection stays.
//
// Control protocol: the client sends one command line and reads the reply until the server
// closes the connection. The reply's first line is "ok" or "error: <reason>"; for "list" the
// TLOC lines follow (hbusd_tlocs.h format), then "# plxd: subscribed" or "# plxd: not
// subscribed". Commands:
//   update <originator> <color> <encap> [name=value ...]
//   withdraw <originator> <color> <encap>
//   list
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "peers/hbusd/hbusd_tlocs.h"
#include "platform/hbus/hbus_msg.h"

struct event_base;
struct evconnlistener;
struct msgq_handle;
struct timer_mgr;

struct HbusdCounters {
    uint64_t subscriptions = 0;  // type-1 messages with selector 1
    uint64_t refused = 0;        // malformed or unexpected messages from plxd
    uint64_t updates_sent = 0;
    uint64_t withdrawals_sent = 0;
};

class HbusdServer {
  public:
    // Log lines (connections, refused messages, commands) go to `log` when not null.
    HbusdServer(event_base *evbase, timer_mgr *tmr_mgr, HbusTlocTable tlocs, FILE *log);
    ~HbusdServer();
    HbusdServer(const HbusdServer &) = delete;
    HbusdServer &operator=(const HbusdServer &) = delete;

    // Listens on both sockets. 0, or an errno value (nothing left open then).
    int start();
    void stop();

    // Runs one control command; returns the reply text.
    std::string run_command(std::string_view line);

    const HbusTlocTable &tlocs() const { return tlocs_; }
    bool subscribed() const { return subscribed_; }
    const HbusdCounters &counters() const { return counters_; }
    const std::string &control_path() const { return control_path_; }

  private:
    static void on_up(msgq_handle *q, void *arg);
    static void on_down(msgq_handle *q, void *arg);
    static void on_recv(msgq_handle *q, uint8_t *payload, uint32_t len, void *arg);
    void receive(const uint8_t *payload, uint32_t len);
    // Sends one TLOC message to plxd when subscribed; false when it could not be sent.
    bool send_tloc(uint32_t type, const HbusTloc &t);
    void log(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    std::string update(const std::vector<std::string> &words);
    std::string withdraw(const std::vector<std::string> &words);
    std::string list() const;
    int start_control();

    event_base *evbase_;
    timer_mgr *tmr_mgr_;
    HbusTlocTable tlocs_;
    FILE *log_;
    msgq_handle *q_ = nullptr;
    evconnlistener *control_ = nullptr;
    std::string control_path_;
    bool subscribed_ = false;
    HbusdCounters counters_;
};

// Sends one command to a running hbusd's control socket and returns its reply. An empty result
// and *err set when the socket cannot be reached.
std::string hbusctl_request(const std::string &socket_path, const std::string &command,
                            std::string *err);
