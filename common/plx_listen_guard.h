// Keeps a listening socket from spinning when accept() fails: out of descriptors (EMFILE,
// ENFILE) or memory, libevent would report the same pending connection again at once, for
// ever. The guard pauses the listener for a second, logs one line per pause, and resumes it.
#pragma once

#include <event2/listener.h>

struct plx_listen_guard;

using plx_listen_log_fn = void (*)(const char *line);

// Installs the guard on the listener: accepted connections go to accept_cb with accept_arg,
// failures pause the listener. what names the listener in the line ("/var/run/.plxd",
// "127.0.0.1:4565"); log receives the line. Null when out of memory (the listener is then left
// as it was).
plx_listen_guard *plx_listen_guard_attach(evconnlistener *listener, event_base *base,
                                          evconnlistener_cb accept_cb, void *accept_arg,
                                          const char *what, plx_listen_log_fn log);
// Frees the guard (before or after the listener it guards; it no longer touches it).
void plx_listen_guard_free(plx_listen_guard *guard);
// Pauses taken so far (tests, dumps).
unsigned plx_listen_guard_pauses(const plx_listen_guard *guard);

// Pause after a failed accept, in milliseconds.
inline constexpr int PLX_LISTEN_PAUSE_MS = 1000;
