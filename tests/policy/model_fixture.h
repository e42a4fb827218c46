// Shared fixture of the policy model tests: a started db with an injected DPI resolver, and a
// text snapshot of the whole model used to prove that failing operations change nothing.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "policy/plx_config.h"

namespace plx::cfg::test {

inline constexpr uint32_t DATA = PLX_POLICY_TYPE_DATA;
inline constexpr uint32_t PFR = PLX_POLICY_TYPE_PFR;
inline constexpr uint32_t QCTRL = PLX_POLICY_PFX_LIST_TYPE_QCTRL;

inline std::string snapshot(plx_policy_db &db) {
    std::ostringstream o;
    for (policy &p : db.policies) {
        o << "P " << p.type << ' ' << p.name.view() << " d" << p.direction << '/' << p.old_direction
          << " a" << int(p.added) << " c" << int(p.changed) << '\n';
        for (policy_vpn_list &v : p.vpn_lists) {
            const config_action &d = v.default_action;
            o << " V " << v.name.view() << " c" << int(v.changed) << " def " << d.value << '/'
              << d.action_type << '/' << d.sla.name.view() << '/' << int(d.sla.id) << '\n';
            for (rule &r : v.rules) {
                o << "  R " << r.seq_id << " refs" << r.list_refs.size() << '\n';
                for (match_cond &m : r.matches)
                    o << "   M " << m.field_type << '/' << m.origin_type << '/'
                      << m.list_name.view() << ' ' << m.low << '-' << m.high << '\n';
                for (config_action &a : r.actions) {
                    o << "   A " << a.action_type << " v" << a.value << " t" << a.source_tag
                      << " sla" << int(a.sla.id) << " fc" << a.fc.class_id << '/'
                      << int(a.fc.unresolved) << " tl" << a.tloc_list.count;
                    for (uint32_t i = 0; i < a.tloc_list.count; ++i)
                        o << ' ' << tloc_key_str(a.tloc_list.entries[i].p_tloc->key) << '@'
                          << a.tloc_list.entries[i].preference;
                    o << '\n';
                }
                for (tloc_ref &t : r.tloc_refs)
                    o << "   T " << tloc_key_str(t.p_tloc->key) << " #" << t.count << '\n';
            }
            for (counter_ctx &c : v.counters)
                o << "  C " << c.name.view() << " #" << c.ref_count << '\n';
            for (vpn_list_pfx_list &r : v.pfx_refs)
                o << "  PR " << r.pfx_list_name.view() << " #" << r.ref_count << '\n';
            for (dpi_app_ctx &r : v.app_refs)
                o << "  AR " << r.app_list_name.view() << " #" << r.count << '\n';
            for (policer_instance &i : v.policers)
                o << "  PI " << i.seq_id << ' ' << i.policer_name.view() << ' '
                  << i.instance_name.view() << '\n';
        }
    }
    for (vpn_list &l : db.vpn_lists) {
        o << "VL " << l.name.view();
        for (vpn_range &r : l.ranges)
            o << ' ' << r.low << '-' << r.high;
        for (vpn_list_policy &u : l.users)
            o << " u:" << u.policy_name.view() << '/' << u.policy_type << '#' << u.count;
        o << '\n';
    }
    for (pfx_list &l : db.pfx_lists) {
        o << "PL " << l.pfx_list_type << ' ' << l.name.view();
        for (pfx_entry &e : l.prefixes)
            o << ' ' << int(e.addr[0]) << '.' << int(e.addr[3]) << '/' << int(e.len);
        for (pfx_list_vpn_list &u : l.users)
            o << " u:" << u.vpn_list_name.view() << '/' << u.policy_name.view() << '#'
              << u.ref_count;
        o << '\n';
    }
    for (app_list &l : db.app_lists) {
        o << "AL " << l.name.view() << ' ' << l.location << " k" << l.kind;
        for (app_entry &e : l.entries)
            o << ' ' << e.id;
        for (app_list_user &u : l.users)
            o << " u:" << u.vpn_list_name.view() << '/' << u.policy_name.view() << '#' << u.count;
        o << '\n';
    }
    for (tloc &t : db.tlocs) {
        o << "TL " << tloc_key_str(t.key) << " r" << int(t.resolved);
        for (tloc_ref &r : t.refs)
            o << " #" << r.count;
        o << '\n';
    }
    for (tloc_list &l : db.tloc_lists) {
        o << "TLL " << l.seq_id << ' ' << l.policy_name.view() << ' ' << l.vpn_list_name.view();
        for (tloc_pref &e : l.entries)
            o << ' ' << e.entry_index << ':' << e.preference;
        o << '\n';
    }
    for (sla_class &s : db.sla_classes)
        o << "SLA " << s.name.view() << ' ' << int(s.id) << '\n';
    for (policer &p : db.policers)
        o << "POL " << p.name.view() << ' ' << p.owner_type << " i" << p.instances.count() << '\n';
    for (mirror &m : db.mirrors) {
        o << "MIR " << m.data.name.view() << " k" << m.data.kind;
        for (mirror_user &u : m.users)
            o << " u:" << u.owner_name.view() << '/' << u.vpn_list_name.view() << '#' << u.count;
        o << '\n';
    }
    for (plx_fwd_class &c : db.classes.classes)
        o << "FC " << c.name.view() << ' ' << c.class_id << ' ' << c.queue << '\n';
    o << "CNT " << db.dpi_ref_count << ' ' << db.flow_ref_count << '\n';
    return o.str();
}

// Marks of every policy VPN list as "type/policy/vpn-list" -> changed, clearing them.
inline std::map<std::string, int> take_marks(plx_policy_db &db) {
    std::map<std::string, int> marks;
    for (policy &p : db.policies) {
        for (policy_vpn_list &v : p.vpn_lists) {
            if (v.changed)
                marks[std::to_string(p.type) + "/" + std::string(p.name.view()) + "/" +
                      std::string(v.name.view())] = 1;
            v.changed = 0;
        }
        if (p.changed)
            marks[std::to_string(p.type) + "/" + std::string(p.name.view())] = 1;
        p.changed = p.added = 0;
    }
    return marks;
}

class ModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(plx_control_fc_init(&db), 0);
        ASSERT_EQ(plx_sla_class_init(&db), 0);
        ASSERT_EQ(plx_policy_init(&db), 0);
        // Applications 1xx, families 2xx; "unknown" is not supported.
        db.resolve_app_id = [](std::string_view name, uint32_t kind) -> uint32_t {
            static const std::map<std::string, uint32_t> apps = {
                {"http", 101}, {"dns", 102}, {"ssh", 103}};
            static const std::map<std::string, uint32_t> families = {{"web", 201},
                                                                     {"file-server", 202}};
            const auto &m = kind == PLX_APP_LIST_KIND_APP ? apps : families;
            auto it = m.find(std::string(name));
            return it == m.end() ? 0 : it->second;
        };
    }
    void TearDown() override {
        plx_policy_fail_alloc_after(-1);
        EXPECT_EQ(plx_policy_teardown(&db), 0);
        EXPECT_EQ(plx_sla_class_teardown(&db), 0);
        EXPECT_EQ(plx_control_fc_teardown(&db), 0);
    }

    // A data policy applied to one VPN list (created when missing).
    void data_policy(std::string_view name, std::string_view vl, uint32_t type = DATA) {
        if (!plx_config_vpn_list_find(&db, vl)) {
            ASSERT_EQ(plx_config_vpn_list_add(&db, vl), 0);
        }
        if (!plx_config_policy_find(&db, type, name)) {
            ASSERT_EQ(plx_config_policy_add(&db, type, name, type == DATA ? 3 : 0), 0);
        }
        ASSERT_EQ(plx_config_policy_vpn_list_add(&db, type, name, vl,
                                                 type == DATA ? PLX_ACTION_VERB_ACCEPT : 0,
                                                 type == DATA ? "" : PLX_SLA_ALL_TUNNELS),
                  0);
    }
    // A list of the central controller's with these applications (or families) in it.
    void add_app_list(std::string_view name, uint32_t kind,
                      std::initializer_list<std::string_view> apps) {
        ASSERT_EQ(plx_config_app_list_add(&db, name, PLX_APP_LIST_LOC_QCTRL), 0);
        for (std::string_view app : apps)
            ASSERT_EQ(plx_config_app_list_add_app(&db, name, PLX_APP_LIST_LOC_QCTRL, kind, app), 0)
                << app;
    }
    // A VPN list of the given ranges.
    void add_vpn_list(std::string_view name,
                      std::initializer_list<std::pair<uint32_t, uint32_t>> rs) {
        ASSERT_EQ(plx_config_vpn_list_add(&db, name), 0);
        for (auto [lo, hi] : rs)
            ASSERT_EQ(plx_config_vpn_range_add(&db, name, lo, hi), 0);
    }
    rule *add_rule(uint32_t type, std::string_view p, std::string_view vl, uint32_t seq) {
        rule *r = nullptr;
        EXPECT_EQ(plx_config_rule_add(&db, type, p, vl, seq, &r), 0);
        return r;
    }
    static action_value act(plx_action_type type) {
        action_value v;
        v.action_type = type;
        return v;
    }
    static action_value named_act(plx_action_type type, std::string_view name) {
        action_value v = act(type);
        v.name = name;
        return v;
    }
    static tloc_key tk(uint8_t last, uint8_t color = 2, uint8_t encap = 2) {
        return tloc_key_v4(htonl(0x0a000000u | last), color, encap);
    }

    plx_policy_db db;
};

}  // namespace plx::cfg::test
