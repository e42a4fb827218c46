#include "common/plx_log.h"

#include "common/plx_ratelimit.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

uint64_t plx_debug_flags = 0;
char plx_hostname[128] = "qDevice";

static std::atomic<plx_event_hook_fn> event_hook{nullptr};

// A router without a syslog daemon (the simulated one) keeps each program's log in a file:
// with PLX_LOG_STDOUT set, every line that goes to syslog is copied to standard output.
static bool g_log_stdout = false;

static void copy_to_stdout(const char *text) {
    if (!g_log_stdout)
        return;
    size_t n = std::strlen(text);
    std::printf("%s%s", text, n == 0 || text[n - 1] != '\n' ? "\n" : "");
    std::fflush(stdout);
}

void plx_log_copy(const char *text) {
    copy_to_stdout(text);
}

void plx_set_event_hook(plx_event_hook_fn hook) {
    event_hook.store(hook);
}

void plx_log_open(const char *ident) {
    if (gethostname(plx_hostname, sizeof(plx_hostname)) != 0) {
        std::strncpy(plx_hostname, "qDevice", sizeof(plx_hostname));
    }
    plx_hostname[sizeof(plx_hostname) - 1] = '\0';
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_LOCAL7);
    const char *copy = std::getenv("PLX_LOG_STDOUT");
    g_log_stdout = copy && *copy && std::strcmp(copy, "0") != 0;
}

// One source line that fires in a burst (a peer failing over and over) writes a few lines per
// second and then the count of what it held back.
static plx_ratelimit g_line_limit;

static void vlog_line(const char *func, int line, const char *fmt, va_list ap,
                      bool limited = false) {
    uint32_t held_back = 0;
    if (limited && !g_line_limit.allow(func, line, &held_back))
        return;
    char text[2048];
    int n = vsnprintf(text, sizeof(text), fmt, ap);
    if (held_back && n >= 0 && static_cast<size_t>(n) < sizeof(text)) {
        while (n > 0 && text[n - 1] == '\n')
            text[--n] = '\0';
        std::snprintf(text + n, sizeof(text) - static_cast<size_t>(n),
                      " (%u more like this held back)", held_back);
    }
    if (plx_debug_flags & PLX_DEBUG_CONSOLE) {
        std::printf("%s:%d: %s", func, line, text);
        size_t n = std::strlen(text);
        if (n == 0 || text[n - 1] != '\n')
            std::putchar('\n');
        std::fflush(stdout);
    } else {
        syslog(LOG_LOCAL7 | LOG_DEBUG, "%s[%d]: %s", func, line, text);
        if (g_log_stdout) {
            char copy[2200];
            std::snprintf(copy, sizeof(copy), "%s[%d]: %s", func, line, text);
            copy_to_stdout(copy);
        }
    }
}

void plx_log_line(const char *func, int line, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_line(func, line, fmt, ap);
    va_end(ap);
}

void plx_log_error(const char *func, int line, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_line(func, line, fmt, ap, true);
    va_end(ap);
}

void plx_log_event(int severity, const char *severity_name, int event, const char *fmt, ...) {
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    syslog(LOG_LOCAL7 | severity, "%%Quorvel-%s-%s-%d-%s-%d: %s", plx_hostname, "PLXD", severity,
           severity_name, event, text);
    if (g_log_stdout) {
        char copy[2300];
        std::snprintf(copy, sizeof(copy), "%%Quorvel-%s-%s-%d-%s-%d: %s", plx_hostname, "PLXD",
                      severity, severity_name, event, text);
        copy_to_stdout(copy);
    }
    if (plx_event_hook_fn hook = event_hook.load()) {
        va_start(ap, fmt);
        hook(severity, event, ap);
        va_end(ap);
    }
}

void plx_assert_fail(const char *file, unsigned line, const char *expr) {
    std::string name = file;
    if (auto slash = name.rfind('/'); slash != std::string::npos)
        name.erase(0, slash + 1);
    if (auto dot = name.rfind('.'); dot != std::string::npos)
        name.erase(dot);
    std::printf("%s:%u: failed assertion `%s'\n", name.c_str(), line, expr);
    std::fflush(stdout);
    std::abort();
}
