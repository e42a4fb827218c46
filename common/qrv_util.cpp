#include "common/qrv_util.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "common/plx_log.h"
#include "common/plx_paths.h"

namespace {

// Rows not named here are reserved for daemons this router does not run; they print as
// "daemon<N>".
struct NamedRow {
    int id;
    const char *name;
};
constexpr NamedRow kNamedRows[] = {
    {0, "unknown"},   {1, "cfgmgrd"}, {2, "hbusd"},  {3, "fibd"},    {4, "rtmd"},   {5, "ifmgrd"},
    {6, "tunneld"},   {7, "sysmgrd"}, {8, "cdbd"},   {9, "plxd"},    {10, "bfdd"},  {11, "ompd"},
    {12, "dhcpd"},    {13, "snmpd"},  {14, "natd"},  {15, "vrrpd"},  {16, "ospfd"}, {17, "bgpd"},
    {18, "igmpd"},    {19, "pimd"},   {20, "certd"}, {21, "chmgrd"}, {22, "fpmd"},  {23, "logd"},
    {24, "ntpd"},     {25, "aaad"},   {26, "ttmd"},  {27, "dpid"},   {28, "qosd"},  {29, "wland"},
    {30, "cellmgrd"},
};

struct NameTable {
    std::array<char[16], QRV_MOD_COUNT> names{};
    NameTable() {
        for (int i = 0; i < QRV_MOD_COUNT; ++i)
            std::snprintf(names[i], sizeof(names[i]), "daemon%d", i);
        for (const auto &row : kNamedRows)
            std::snprintf(names[row.id], sizeof(names[row.id]), "%s", row.name);
    }
};

const NameTable &table() {
    static const NameTable t;
    return t;
}

constexpr const char *kColors[] = {
    "invalid",  "default",  "mpls",     "metro-ethernet", "biz-internet", "public-internet",
    "lte",      "3g",       "red",      "green",          "blue",         "gold",
    "silver",   "bronze",   "custom1",  "custom2",        "custom3",      "private1",
    "private2", "private3", "private4", "private5",       "private6",
};

constexpr const char *kActions[] = {
    nullptr,
    "reject",
    "accept",
    "set tloc",
    "set tloc-color-encap",
    "mirror",
    "cflowd-v9",
    "police",
    "count",
    "set fc",
    "set next-hop",
    "set nat use-vpn",
    "sla-class",
    "tloc-list",
    "set dscp",
    "set svc-type",
    "set nat pool-id",
    "log",
    "set svc-local",
    "set svc-local-strict",
    "set backup-preferred-color",
    "set traffic-class",
    "set local-tloc-list",
    "tcp optimization",
    "fallback",
    "redirect-dns",
};

}  // namespace

const char *qrv_daemon_name(int module_id) {
    PLX_ASSERT(module_id >= 0 && module_id <= QRV_MOD_MAX);
    return table().names[module_id];
}

int qrv_daemon_id(const char *name) {
    for (int i = 0; i < QRV_MOD_COUNT; ++i) {
        if (std::strcmp(table().names[i], name) == 0)
            return i;
    }
    return -1;
}

std::string qrv_pid_file_name(int module_id, unsigned long instance) {
    char buf[256];
    std::snprintf(buf, sizeof(buf), "/var/run/%s.%lu.pid", qrv_daemon_name(module_id), instance);
    return plx_path(buf);
}

const char *qrv_color_name(uint32_t color) {
    return color < std::size(kColors) ? kColors[color] : "--";
}

int qrv_color_number(const char *name) {
    for (size_t i = 0; i < std::size(kColors); ++i) {
        if (std::strcmp(kColors[i], name) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

const char *qrv_encap_name(uint32_t encap) {
    return encap == 1 ? "gre" : encap == 2 ? "ipsec" : "--";
}

const char *qrv_action_name(uint32_t type) {
    return type < std::size(kActions) ? kActions[type] : nullptr;
}
