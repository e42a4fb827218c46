// The daemon context: one static record per process, handed as the user argument to every
// callback of the daemon. Each subsystem owns the members it sets up and tears down.
#pragma once

#include <cstdint>

#include "policy/plx_process_state.h"

struct event;
struct event_base;
struct msgq_handle;
struct timer_mgr;
struct app_sysmgr_client;
struct QconfdContext;
struct ProgramMemoryOps;
struct plx_compiler_ctx;
namespace plx::cfg {
struct plx_policy_db;
}
// Owned by the messaging-daemon link and the access lists; opaque here.
struct plx_tloc_status_db;
struct plx_acl_model;
struct PlxPrinter;

// Calls from one part of the daemon into another that is set up in a later step or lives in a
// library below it. Each is optional; an unset one does nothing (a dump prints nothing or "--").
struct plx_ctx_hooks {
    // The hbusd link marked the users of a TLOC whose state changed: process them.
    void (*tloc_reprocess)(plx_ctx *ctx) = nullptr;
    // fibd connected and has had the policies' bindings: send the access lists' bindings.
    void (*acl_resend)(plx_ctx *ctx) = nullptr;

    // What the diagnostic dumps print of the parts they do not own.
    void (*dump_timer_pump)(plx_ctx *ctx) = nullptr;  // runs due processing before a full dump
    void (*dump_msgq)(const PlxPrinter &out) = nullptr;
    void (*dump_dpi)(const PlxPrinter &out) = nullptr;      // the DPI engine's own dumps
    const char *(*engine_app_name)(uint32_t id) = nullptr;  // the engine's name for an id
    uint32_t (*dpi_state)(bool control) = nullptr;
    uint32_t (*flow_state)(bool control) = nullptr;
    long (*seconds_since_hello)() = nullptr;
};

struct plx_ctx {
    event_base *evbase;         // the one event loop
    event *usr1_ev;             // SIGUSR1: debug word toggle
    event *usr2_ev;             // SIGUSR2: orderly stop
    event *base_timer_ev;       // 10 ms tick that drives the timer wheel
    msgq_handle *fibd_msgq;     // server-side queue towards fibd
    msgq_handle *hbus_msgq;     // client-side queue towards hbusd
    timer_mgr *tmr_mgr;         // 10 ms resolution, both priorities
    QconfdContext *qconfd_ctx;  // configuration-database context
    app_sysmgr_client *sysmgr;  // system-manager link (hellos)
    // The policy model: forwarding classes (__control_fc), SLA classes, policies, VPN, prefix,
    // app and TLOC lists, TLOCs, policers and mirrors.
    plx::cfg::plx_policy_db *policy;
    plx_tloc_status_db *tloc_status;  // forwarding-plane TLOC status from hbusd
    plx_acl_model *acl;               // IPv4 and IPv6 access lists and their bindings
    plx_compiler_ctx *compiler;       // compile context
    const ProgramMemoryOps *mem_ops;  // program-memory operations
    plx_ctx_hooks hooks;
    plx_process_state process;          // processing of policy changes
    plx_acl_process_state acl_process;  // its access-list pass
};

// The process's context record (a static object, empty at start).
plx_ctx &plx_context();

// Set by -f: stay in the foreground.
extern bool plx_foreground;
