// Printing to the operator's command-line session from an action callback.
//
// An action runs on the worker socket of the daemon's configuration-database connection; its
// text goes to the session that invoked it (the user info's usid) through the connection's
// management socket. The printer collects text and sends it a line at a time, so that dumps
// built from many small pieces reach the session as whole lines. Every operator action of the
// daemon prints through it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "compiler/plx_program.h"
#include "platform/confd/confd_dp.h"

struct QconfdContext;

// The connection context behind an action's user info (the daemon context's user-data slot),
// or null.
QconfdContext *plx_cli_qconfd(const confd_user_info *uinfo);

// Where the printers' text goes: by default maapi_cli_write to the session on the management
// socket (nothing without a socket). Tests install their own (null restores the default).
using PlxCliSink = std::function<void(int usid, std::string_view text)>;
void plx_cli_set_sink(PlxCliSink sink);

class PlxCliPrinter {
  public:
    // Text goes to session usid through the management socket sock.
    PlxCliPrinter(int sock, int usid) : sock_(sock), usid_(usid) {}
    // The session of an action: the management socket of its connection context.
    explicit PlxCliPrinter(const confd_user_info *uinfo);
    ~PlxCliPrinter() { flush(); }
    PlxCliPrinter(const PlxCliPrinter &) = delete;
    PlxCliPrinter &operator=(const PlxCliPrinter &) = delete;

    // A printer for the dump functions that take one.
    PlxPrinter printer() { return PlxPrinter{&PlxCliPrinter::write_cb, this}; }
    void write(const char *text);
    // Sends what is left of an unfinished line.
    void flush();
    bool usable() const { return sock_ >= 0; }

  private:
    void send(std::string_view text) const;
    static void write_cb(void *arg, const char *text) {
        static_cast<PlxCliPrinter *>(arg)->write(text);
    }
    int sock_;
    int usid_;
    std::string pending_;
};
