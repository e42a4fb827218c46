// The daemon's operator events: their numbers, and the arguments that follow each event's text.
// Events are raised with plx_log_event; the programming events also reach the operator as
// program-status notifications (see daemon/plx_event_notify.h), so whoever raises one sends no
// notification of its own.
#pragma once

enum plx_event : int {
    PLX_EVENT_STARTING = 1100001,
    // A policy VPN list could not be placed for want of filter memory: policy, VPN list.
    PLX_EVENT_POLICY_NO_MEMORY = 1100002,
    // An access list could not be placed for want of filter memory: access list.
    PLX_EVENT_ACCESS_LIST_NO_MEMORY = 1100003,
    // Placed again after such a failure: policy, VPN list.
    PLX_EVENT_POLICY_REPROGRAMMED = 1100004,
    // Placed again after such a failure: access list.
    PLX_EVENT_ACCESS_LIST_REPROGRAMMED = 1100005,
    // The compiler refused a policy VPN list's rules (too many fields, classes or too large a
    // program); only a change of the rules can help: policy, VPN list.
    PLX_EVENT_POLICY_REFUSED = 1100006,
    // The same for an access list: access list.
    PLX_EVENT_ACCESS_LIST_REFUSED = 1100007,
    // A committed configuration change could not be applied by its reader (or could not be read):
    // the daemon logs the change's path, keeps what it had built before and goes on. Arguments: the
    // key path (or the subscribed path), the reader's result.
    PLX_EVENT_CONFIG_NOT_APPLIED = 1100008,
    // The forwarding plane restarted with empty filter memory and every program was placed and
    // bound again: number of programs placed.
    PLX_EVENT_FORWARDING_PLANE_RESTARTED = 1100009,
};
