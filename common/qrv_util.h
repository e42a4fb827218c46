// The router's daemon-name table, pid-file names and small name tables.
#pragma once

#include <cstdint>
#include <string>

// Module identifiers of the router's daemons (rows of the daemon-name table).
enum qrv_module : int {
    QRV_MOD_UNKNOWN = 0,
    QRV_MOD_HBUSD = 2,
    QRV_MOD_FIBD = 3,
    QRV_MOD_IFMGRD = 5,
    QRV_MOD_SYSMGR = 7,
    QRV_MOD_PLXD = 9,
    QRV_MOD_CHMGRD = 21,
    QRV_MOD_MAX = 164,  // last valid row
    QRV_MOD_COUNT = 165,
};

// Daemon name of a module identifier; an identifier above QRV_MOD_MAX is an internal error.
const char *qrv_daemon_name(int module_id);

// Module identifier of a daemon name, or -1.
int qrv_daemon_id(const char *name);

// "/var/run/<daemon>.<instance>.pid", redirected by PLX_ROOT.
std::string qrv_pid_file_name(int module_id, unsigned long instance);

// TLOC colour names ("default", "mpls", ...; "--" for an unknown number) and encapsulations
// (1 "gre", 2 "ipsec", otherwise "--").
const char *qrv_color_name(uint32_t color);
int qrv_color_number(const char *name);  // -1 when unknown
const char *qrv_encap_name(uint32_t encap);

// Names of policy action types as dumps print them: 1 "reject" and 2 "accept" (the verbs share
// the table), 3 "set tloc" ... 25 "redirect-dns"; nullptr for 0 and any number above 25.
const char *qrv_action_name(uint32_t type);
