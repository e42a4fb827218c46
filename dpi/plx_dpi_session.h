// State of the application-recognition module shared by its start-up code and its actions, and
// the operator session an action prints to while it runs.
#pragma once

#include <cstdint>

#include "dpi/plx_dpi_tables.h"
#include "oper/plx_cli_print.h"

struct plx_ctx;
struct confd_user_info;

struct plx_dpi_state {
    plx_ctx *ctx = nullptr;
    plx_dpi_tables tables;       // the shared family, hits and state words
    char version[128] = {};      // the engine's version text
    uint32_t control_state = 0;  // the state word as last published by the daemon
};

plx_dpi_state &plx_dpi_module();

// The session of the action in progress: set on entry, cleared (and its last line sent) on
// return.
class plx_dpi_session {
  public:
    explicit plx_dpi_session(const confd_user_info *uinfo);
    ~plx_dpi_session();
    plx_dpi_session(const plx_dpi_session &) = delete;
    plx_dpi_session &operator=(const plx_dpi_session &) = delete;

    PlxCliPrinter &out() { return out_; }

  private:
    PlxCliPrinter out_;
};

bool plx_dpi_session_active();
// Prints to the session of the action in progress; nothing without one.
void plx_dpi_session_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
