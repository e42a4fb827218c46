// The daemon context: one static record per process, handed as the user argument to every
// callback of the daemon. Each subsystem owns the members it sets up and tears down.
#pragma once

#include <cstdint>

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
    uint32_t dpi_refcount;            // policies that use application lists
};

// The process's context record (a static object, zero at start).
plx_ctx &plx_context();

// Set by -f: stay in the foreground.
extern bool plx_foreground;
