// Log lines of the configuration-database layer.
//
// Error lines always go out (PLX_LOG). Trace lines of the layer (QCONFD_DEBUG) go out while the
// layer's debug switch is on, and also while no module has registered yet: a daemon that
// cannot get its connection up should say why without anyone switching traces on.
#pragma once

#include <cstdint>

#include "common/plx_log.h"

// The layer's debug switch, driven by the daemon's "all" debug switch.
void qconfd_debug_enable(int level);
void qconfd_debug_disable();
int qconfd_debug_level();

// The module the layer serves (0: none registered yet). Its name from the router's daemon
// table names the daemon in operator lines.
void qconfd_log_set_module(uint8_t module_id);
uint8_t qconfd_log_module();
// Upper-case daemon name of the registered module ("PLXD"); "QCONFD" when none is.
const char *qconfd_log_daemon_name();

// True while trace lines of the layer are written.
bool qconfd_debug_wanted();

#define QCONFD_DEBUG(...)          \
    do {                           \
        if (qconfd_debug_wanted()) \
            PLX_LOG(__VA_ARGS__);  \
    } while (0)
