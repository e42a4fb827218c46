// Diagnostics of the message-queue transport: its error lines, the names of its statistics and
// the operator's dump of every handle.
#include <syslog.h>

#include <cstdarg>
#include <cstdio>

#include "common/msgq_internal.h"
#include "common/plx_log.h"
#include "common/plx_ratelimit.h"
#include "common/qrv_util.h"

namespace {

msgq_log_hook_fn g_log_hook = nullptr;
plx_ratelimit g_err_limit;

constexpr const char *kStatNames[MSGQ_STAT_COUNT] = {
    "tx_msg",
    "tx_fail",
    "rx_msg",
    "rx_fail",
    "tx_resched",
    "tx_write_cb",
    "rx_register",
    "tx_register",
    "conn_up",
    "conn_down",
    "conn_close",
    "conn_exist",
    "msg_allocs",
    "msg_frees",
    "alloc_failed",
    "tx_queued",
    "tx_dequeued",
    "tx_queue_failed",
    "rx_read_helper_cb",
    "rx_read_helper_scheduled",
};

const char *yes_no(bool b) {
    return b ? "TRUE" : "FALSE";
}

struct Printer {
    msgq_print_fn print;
    void *arg;
    __attribute__((format(printf, 2, 3))) void operator()(const char *fmt, ...) const {
        char text[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(text, sizeof(text), fmt, ap);
        va_end(ap);
        print(arg, text);
    }
};

void dump_handle(const Printer &out, const msgq_handle *msgq_p) {
    out("\n  msgq_p: %p", static_cast<const void *>(msgq_p));
    out("\n    Src: %s, Tgt: %s", qrv_daemon_name(static_cast<int>(msgq_p->source)),
        qrv_daemon_name(static_cast<int>(msgq_p->target)));
    out("\n    type: %s, path:%s server_p: %p",
        msgq_p->type == MSGQ_HANDLE_TYPE_SERVER ? "SERVER" : "CLIENT", msgq_p->path,
        static_cast<const void *>(msgq_p->server));
    out("\n    register: %s, user_arg: %p, down-pending: %d", yes_no(!msgq_p->no_register),
        msgq_p->user_arg, 0);
    out("\n    fd: %d, Rd ev: %p, Wr ev[0]: %p, Wr ev[1]: %p", msgq_p->sock_fd,
        static_cast<void *>(msgq_p->read_ev), static_cast<void *>(msgq_p->write_ev[0]),
        static_cast<void *>(msgq_p->write_ev[1]));
    out("\n    Read Helper ev[0]: %p (%s), Read helper ev[1]: %p (%s), index:%d",
        static_cast<void *>(msgq_p->read_helper_ev[0]), yes_no(msgq_p->read_helper_pending[0]),
        static_cast<void *>(msgq_p->read_helper_ev[1]), yes_no(msgq_p->read_helper_pending[1]),
        msgq_p->read_helper_idx);
    out("\n    List: In Reg: %s, In Unreg: %s, In Tmp: %s", yes_no(msgq_p->in_reg_list),
        yes_no(msgq_p->in_unreg_list), yes_no(msgq_p->in_tmp_list));
    out("\n STATS:");
    for (uint32_t i = 0; i < MSGQ_STAT_COUNT; ++i)
        out("\n    %-30s %-10d", kStatNames[i], static_cast<int>(msgq_p->stats[i]));
}

void file_print(void *arg, const char *text) {
    std::fputs(text, static_cast<FILE *>(arg));
}

}  // namespace

namespace msgq_detail {

void msgq_log_err(const char *func, int line, const char *fmt, ...) {
    // A burst of the same error (a peer that keeps failing) is a few lines and a count.
    uint32_t held_back = 0;
    if (!g_err_limit.allow(func, line, &held_back))
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    char full[1200];
    if (held_back)
        snprintf(full, sizeof(full), "[MSG-ERR] %s[%d]: %s (%u more like this held back)", func,
                 line, text, held_back);
    else
        snprintf(full, sizeof(full), "[MSG-ERR] %s[%d]: %s", func, line, text);
    int facility = g_inst ? static_cast<int>(g_inst->syslog_facility) : LOG_LOCAL7;
    syslog(facility | LOG_DEBUG, "%s", full);
    if (plx_debug_flags & PLX_DEBUG_CONSOLE) {
        std::printf("%s\n", full);
        std::fflush(stdout);
    }
    if (g_log_hook)
        g_log_hook(full);
}

}  // namespace msgq_detail

using msgq_detail::g_inst;

const char *msgq_stat_name(uint32_t stat) {
    return stat < MSGQ_STAT_COUNT ? kStatNames[stat] : "unknown";
}

msgq_log_hook_fn msgq_set_log_hook(msgq_log_hook_fn hook) {
    msgq_log_hook_fn old = g_log_hook;
    g_log_hook = hook;
    return old;
}

void msgq_dump_all(msgq_print_fn print, void *print_arg) {
    const Printer out{print, print_arg};
    out("\n   =============");
    out("\n   DUMPING MSGQs");
    out("\n  inst: %p", static_cast<void *>(g_inst));
    if (!g_inst)
        return;
    out("\n  event base: %p, timer: %p", static_cast<void *>(g_inst->evbase),
        static_cast<void *>(g_inst->tmr_mgr));
    msgq_handle *msgq_p;
    out("\n In Reg. list");
    TAILQ_FOREACH(msgq_p, &g_inst->reg_msgq_listhead, reg_link) dump_handle(out, msgq_p);
    out("\n In Unreg. list");
    TAILQ_FOREACH(msgq_p, &g_inst->unreg_msgq_listhead, unreg_link) dump_handle(out, msgq_p);
    out("\n In tmp list");
    TAILQ_FOREACH(msgq_p, &g_inst->tmp_msgq_listhead, tmp_link) dump_handle(out, msgq_p);
}

void msgq_dump_all(void *, FILE *out) {
    msgq_dump_all(file_print, out);
}
