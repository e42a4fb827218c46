#include "common/plx_listen_guard.h"

#include <event2/event.h>
#include <event2/listener.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

struct plx_listen_guard {
    evconnlistener *listener = nullptr;
    evconnlistener_cb accept_cb = nullptr;
    void *accept_arg = nullptr;
    event *resume = nullptr;
    std::string what;
    plx_listen_log_fn log = nullptr;
    unsigned pauses = 0;
};

namespace {

void resume_cb(evutil_socket_t, short, void *arg) {
    auto *g = static_cast<plx_listen_guard *>(arg);
    if (g->listener)
        evconnlistener_enable(g->listener);
}

void accept_cb(evconnlistener *listener, evutil_socket_t fd, sockaddr *addr, int len, void *arg) {
    auto *g = static_cast<plx_listen_guard *>(arg);
    g->accept_cb(listener, fd, addr, len, g->accept_arg);
}

void error_cb(evconnlistener *listener, void *arg) {
    auto *g = static_cast<plx_listen_guard *>(arg);
    const int err = EVUTIL_SOCKET_ERROR();
    evconnlistener_disable(listener);
    ++g->pauses;
    if (g->log) {
        char line[512];
        std::snprintf(line, sizeof line, "accept on %s failed: %s; listener paused for %d ms",
                      g->what.c_str(), std::strerror(err), PLX_LISTEN_PAUSE_MS);
        g->log(line);
    }
    const timeval tv{PLX_LISTEN_PAUSE_MS / 1000, (PLX_LISTEN_PAUSE_MS % 1000) * 1000};
    event_add(g->resume, &tv);
}

}  // namespace

plx_listen_guard *plx_listen_guard_attach(evconnlistener *listener, event_base *base,
                                          evconnlistener_cb accept, void *accept_arg,
                                          const char *what, plx_listen_log_fn log) {
    auto *g = new (std::nothrow) plx_listen_guard;
    if (!g)
        return nullptr;
    g->listener = listener;
    g->accept_cb = accept;
    g->accept_arg = accept_arg;
    g->what = what ? what : "";
    g->log = log;
    g->resume = evtimer_new(base, resume_cb, g);
    if (!g->resume) {
        delete g;
        return nullptr;
    }
    // Both callbacks share the listener's argument: the guard, which forwards accepts.
    evconnlistener_set_cb(listener, accept_cb, g);
    evconnlistener_set_error_cb(listener, error_cb);
    return g;
}

void plx_listen_guard_free(plx_listen_guard *g) {
    if (!g)
        return;
    event_free(g->resume);
    delete g;
}

unsigned plx_listen_guard_pauses(const plx_listen_guard *g) {
    return g ? g->pauses : 0;
}
