// Logging, operator events and assertions, used by every module of the daemon and its peers.
//
// Trace and error lines go to syslog (identity "PLXD", LOG_LOCAL7|LOG_DEBUG) as
// "<function>[<line>]: text", or to standard output as "<function>:<line>: text" while bit 0 of
// plx_debug_flags is set. Trace lines of an area are written only while the area's bit is set.
// An error line's source location (PLX_LOG) writes at most 10 lines a second; the next one it
// writes after a burst ends with "(N more like this held back)". Trace lines, dumps and
// operator events are never held back.
#pragma once

#include <syslog.h>

#include <cstdarg>
#include <cstdint>

// Debug word bits.
inline constexpr uint64_t PLX_DEBUG_CONSOLE = 1u << 0;
inline constexpr uint64_t PLX_DEBUG_CONFIG = 1u << 1;
inline constexpr uint64_t PLX_DEBUG_HBUS = 1u << 2;
inline constexpr uint64_t PLX_DEBUG_DPI = 1u << 3;
inline constexpr uint64_t PLX_DEBUG_POLICY = 1u << 4;
inline constexpr uint64_t PLX_DEBUG_OFF = 1u << 5;
// Whole-word values: every area on (every bit but the console bit), and everything off.
inline constexpr uint64_t PLX_DEBUG_ALL_ON = static_cast<uint64_t>(-2);
inline constexpr uint64_t PLX_DEBUG_ALL_OFF = PLX_DEBUG_OFF;

// The process-wide debug word; 0 at start. Written only on the event-loop thread.
extern uint64_t plx_debug_flags;

// Host name for operator events: gethostname(), or "qDevice" when that fails.
extern char plx_hostname[128];

// Fills plx_hostname and opens syslog with the daemon's identity, options and facility.
void plx_log_open(const char *ident = "PLXD");

// Writes one line in the daemon's convention (syslog or console form, see above).
void plx_log_line(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// The same for an error line, rate-limited per source location (see above).
void plx_log_error(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Operator event: syslog at LOG_LOCAL7 with the event's severity,
// "%Quorvel-<host>-PLXD-<sev>-<SEVNAME>-<event>: text".
void plx_log_event(int severity, const char *severity_name, int event, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Copies a line written to syslog by other means to standard output when PLX_LOG_STDOUT is
// set (what every line of plx_log_line and plx_log_event gets); nothing otherwise.
void plx_log_copy(const char *text);

// Called after every operator event has been logged, with the event's severity, number and
// the arguments that followed its format (read them as the event's format gives them). The
// daemon installs one once its configuration-database layer can carry the event further;
// null (the default) means syslog only. Set and read atomically: events may be raised from
// any thread while the daemon connects or stops.
using plx_event_hook_fn = void (*)(int severity, int event, va_list args);
void plx_set_event_hook(plx_event_hook_fn hook);

// Assertion failure: prints "<source>:<line>: failed assertion `<expr>'" to standard output
// (source name without directory or extension) and aborts, leaving a core image.
[[noreturn]] void plx_assert_fail(const char *file, unsigned line, const char *expr);

// Error lines: always written.
#define PLX_LOG(...) plx_log_error(__func__, __LINE__, __VA_ARGS__)

// Trace lines of one area (PLX_DEBUG_CONFIG, ...): written only while the area's bit is set.
#define PLX_TRACE(area, ...)                               \
    do {                                                   \
        if (plx_debug_flags & (area))                      \
            plx_log_line(__func__, __LINE__, __VA_ARGS__); \
    } while (0)

#define PLX_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : plx_assert_fail(__FILE__, __LINE__, #expr))
