// Operator events that also reach the operator as notifications.
//
// Once the daemon's configuration-database context exists, every programming event (a data
// policy or an access list that could not be placed, or was placed again after such a failure)
// raised with plx_log_event also sends its programming notification: the one notification
// per event that the policy and access-list processing owe. Events without a notification
// ("Starting") stay syslog lines.
#pragma once

#include "common/plx_events.h"

struct QconfdContext;

// Carry events to ctx from now on; null (or detach) goes back to syslog only.
void plx_events_attach(QconfdContext *ctx);
void plx_events_detach();
