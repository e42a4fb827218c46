// fibd as a client of the configuration database. The daemons that read their configuration
// from the database take turns: each sets its bit in the operational leaf
// "/qconfd-initial-read-priority" once its initial read is done, and the next one waits for
// it. fibd needs no configuration of its own, so it sets its bit (4) as soon as it is
// connected. The operational datastore does not survive a restart of the database, so fibd
// keeps a socket open to notice one, and reconnects and sets the bit again every time.
#pragma once

#include <event2/event.h>

#include <cstdint>

class FibdCdb {
  public:
    // fibd's bit in "/qconfd-initial-read-priority".
    static constexpr uint32_t kInitialReadBit = 4;
    // How often a lost or refused connection is tried again.
    static constexpr int kRetryMs = 2000;

    explicit FibdCdb(event_base *base);
    ~FibdCdb();
    FibdCdb(const FibdCdb &) = delete;
    FibdCdb &operator=(const FibdCdb &) = delete;

    // Connects now (or starts retrying); false only when memory for the events ran out.
    bool start();
    // How many times the bit was set (once per connection).
    uint32_t times_set() const { return times_set_; }

  private:
    static void on_retry(evutil_socket_t, short, void *arg);
    static void on_watch(evutil_socket_t fd, short, void *arg);
    // Connects and sets the bit; true when both succeeded and the watch is armed.
    bool connect_and_mark();
    void disconnect();
    void retry_later();

    event_base *base_;
    event *retry_ = nullptr;
    event *watch_ = nullptr;
    int sock_ = -1;
    uint32_t times_set_ = 0;
};

// Reads the mask in "/qconfd-initial-read-priority" on a connected data socket, ORs bit into
// it and writes it back in one operational session. 0, or the library's error code with the
// reason logged.
int fibd_cdb_set_initial_read_bit(int sock, uint32_t bit);
