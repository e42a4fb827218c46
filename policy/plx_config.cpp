// The policy model: names and keys, start-up and teardown, change marks.
#include "policy/plx_config.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "policy/plx_config_int.h"

namespace plx::cfg {

using namespace detail;

// ---------------------------------------------------------------------------------------------
// Names and keys

const char *plx_match_type_name(uint32_t type) {
    static const char *const names[] = {"MIN",          "PROTOCOL",      "SRC_PORT",
                                        "DST_PORT",     "SRC_ADDR",      "DST_ADDR",
                                        "SRC_PFX_LIST", "DST_PFX_LIST",  "DSCP",
                                        "FC",           "TCP",           "PKT_LEN",
                                        "APP",          "APP_FAMILY",    "APP_LIST",
                                        "MATCH_ANY",    "TRAFFIC_CLASS", "NEXT_HEADER",
                                        "PLP",          "DNS_APP",       "DNS_APP_FAMILY",
                                        "DNS_APP_LIST", "DNS",           "MAX"};
    return type < std::size(names) ? names[type] : "--";
}

const char *plx_action_type_name(uint32_t type) {
    const char *name = qrv_action_name(type);
    return name ? name : "-";
}

tloc_key tloc_key_v4(uint32_t addr_net, uint8_t color, uint8_t encap) {
    tloc_key k;
    k.family = PLX_AF_INET;
    std::memcpy(k.addr, &addr_net, 4);
    k.color = color;
    k.encap = encap;
    return k;
}

int tloc_key_cmp(const tloc_key &a, const tloc_key &b) {
    if (int c = avl_cmp(a.family, b.family))
        return c;
    // Bytewise over network-order bytes: an IPv4 address compares as its number.
    size_t n = a.family == PLX_AF_INET ? 4 : 16;
    if (int c = std::memcmp(a.addr, b.addr, n))
        return c < 0 ? -1 : 1;
    if (int c = avl_cmp(a.color, b.color))
        return c;
    return avl_cmp(a.encap, b.encap);
}

std::string tloc_key_str(const tloc_key &k) {
    plx_ip_addr ip{};
    std::memcpy(ip.addr, k.addr, 16);
    ip.family = k.family == PLX_AF_INET ? PLX_AF_IPV4 : PLX_AF_IPV6;
    char buf[192];
    std::snprintf(buf, sizeof buf, "%s : %s : %s", plx_ip_to_str(&ip), qrv_color_name(k.color),
                  qrv_encap_name(k.encap));
    return buf;
}

std::array<uint8_t, 4> match_cond::addr() const {
    std::array<uint8_t, 4> a;
    std::memcpy(a.data(), &low, 4);
    return a;
}

// ---------------------------------------------------------------------------------------------
// Allocation failures for tests

namespace {
int g_alloc_fail_after = -1;
}

void plx_policy_fail_alloc_after(int n) {
    g_alloc_fail_after = n;
}

bool detail::alloc_should_fail() {
    if (g_alloc_fail_after < 0)
        return false;
    if (g_alloc_fail_after == 0) {
        g_alloc_fail_after = -1;
        return true;
    }
    --g_alloc_fail_after;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Start-up and teardown

plx_policy_db::~plx_policy_db() {
    plx_policy_teardown(this);
    plx_sla_class_teardown(this);
    plx_control_fc_teardown(this);
}

int plx_policy_init(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    plx_policy_teardown(db);
    return PLX_OK;
}

int plx_policy_teardown(plx_policy_db *db) {
    if (!db)
        return PLX_EBADMSG;
    // Policer instances belong to the policy VPN lists; unlink them from the policers first.
    for (policer &p : db->policers)
        p.instances.destroy_all();
    db->policers.destroy_all();
    db->policies.destroy_all();
    db->tloc_lists.destroy_all();
    db->mirrors.destroy_all();
    db->app_lists.destroy_all();
    db->pfx_lists.destroy_all();
    db->vpn_lists.destroy_all();
    db->tlocs.destroy_all();
    db->app_visibility = db->dpi_ref_count = 0;
    db->flow_visibility = db->flow_ref_count = 0;
    return PLX_OK;
}

// ---------------------------------------------------------------------------------------------
// Change marks

void plx_config_mark_changed(policy_vpn_list &pvl) {
    pvl.changed = 1;
    if (pvl.p_policy)
        pvl.p_policy->changed = 1;
}

void plx_config_mark_rule_owner(plx_policy_db *db, rule &r) {
    if (r.p_vpn_list)
        plx_config_mark_changed(*r.p_vpn_list);
    if (r.p_acl && db->hooks.access_list_changed)
        db->hooks.access_list_changed(r.p_acl);
}

policy_vpn_list *detail::find_pvl(plx_policy_db *db, uint32_t type, std::string_view policy_name,
                                  std::string_view vpn_list_name) {
    policy *p = plx_config_policy_find(db, type, policy_name);
    return p ? p->vpn_lists.find(plx_name_cut(vpn_list_name)) : nullptr;
}

}  // namespace plx::cfg
