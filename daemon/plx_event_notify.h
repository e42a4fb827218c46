// Operator events that also reach the operator as notifications.
//
// Once the daemon's configuration-database context exists, every programming event (a data
// policy or an access list that could not be placed, or was placed again after such a failure)
// raised with plx_log_event also sends its programming notification: the one notification
// per event that the policy and access-list processing owe. Events without a notification
// ("Starting") stay syslog lines.
#pragma once

struct QconfdContext;

// Operator event numbers and what follows each event's format.
inline constexpr int PLX_EVENT_STARTING = 1100001;
inline constexpr int PLX_EVENT_POLICY_NO_MEMORY = 1100002;          // policy, VPN list
inline constexpr int PLX_EVENT_ACCESS_LIST_NO_MEMORY = 1100003;     // access list
inline constexpr int PLX_EVENT_POLICY_REPROGRAMMED = 1100004;       // policy, VPN list
inline constexpr int PLX_EVENT_ACCESS_LIST_REPROGRAMMED = 1100005;  // access list

// Carry events to ctx from now on; null (or detach) goes back to syslog only.
void plx_events_attach(QconfdContext *ctx);
void plx_events_detach();
