// A real cdbd with the router's YANG models, a policy model and an access-list model fed by the
// readers through the test harness, and the dumps of both as text.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>

#include "acl/plx_intf_config.h"
#include "daemon/plx_ctx.h"
#include "policy/plx_config.h"
#include "policy/plx_dump.h"
#include "tests/peers/cdbd/cdbd_fixture.h"
#include "tests/support/reader_harness.h"

namespace rt {

// One daemon's models, read through a harness of its own.
struct Plxd {
    plx::cfg::plx_policy_db db;
    plx_acl_model acl;
    plx_ctx ctx{};
    std::vector<std::vector<uint8_t>> sent;  // messages to the forwarding-table manager
    std::unique_ptr<rh::Harness> harness;

    // Without a harness the models are fed by whoever calls the readers (the layer itself).
    explicit Plxd(bool with_harness = true) {
        ctx.policy = &db;
        ctx.acl = &acl;
        plx::cfg::plx_control_fc_init(&db);
        plx::cfg::plx_sla_class_init(&db);
        plx::cfg::plx_policy_init(&db);
        db.resolve_app_id = [](std::string_view name, uint32_t kind) -> uint32_t {
            return static_cast<uint32_t>(std::hash<std::string_view>{}(name) % 997) + 1 +
                   (kind == plx::cfg::PLX_APP_LIST_KIND_FAMILY ? 1000 : 0);
        };
        plx_acl_model_init(&acl, &db);
        acl.send = [this](std::span<const uint8_t> m) {
            sent.emplace_back(m.begin(), m.end());
            return 0;
        };
        if (!with_harness)
            return;
        harness = std::make_unique<rh::Harness>(&ctx);
        harness->done = [](plx_ctx *c) { process(c); };
    }
    // Stands in for the processing of changes: derived data is refreshed and marks cleared;
    // `on_list` sees every access list that was marked.
    static void process(plx_ctx *c, const std::function<void(plx_access_list &)> &on_list = {}) {
        for (plx::cfg::policy &p : c->policy->policies) {
            for (plx::cfg::policy_vpn_list &v : p.vpn_lists) {
                if (p.added || p.changed || v.changed)
                    plx::cfg::plx_config_policy_vpn_list_refresh(c->policy, &v);
                v.changed = 0;
            }
            p.added = p.changed = 0;
            p.old_direction = p.direction;
        }
        plx_acl_walk_marked(c->acl, [&](plx_access_list &l) {
            if (on_list)
                on_list(l);
            plx_intf_config_refresh(c->acl, l);
        });
    }
    ~Plxd() {
        harness.reset();
        plx_acl_model_teardown(&acl);
    }

    // Every dump, with the access lists' sequences in full and record addresses left out.
    std::string dumps() {
        std::string s;
        PlxPrinter out{[](void *a, const char *t) { *static_cast<std::string *>(a) += t; }, &s};
        plx_dump_policy_db(out, db);
        for (uint32_t f : {PLX_ACL_FAMILY_IPV4, PLX_ACL_FAMILY_IPV6}) {
            plx_dump_acl_db(out, acl, f);
            for (const plx_access_list &l : acl.lists[f]) {
                plx_printf(out, "  %s default %u\n", l.name.c_str(), l.default_action);
                for (const plx_acl_binding &b : l.bindings)
                    plx_printf(out, "    bound %s dir %u vpn %lu\n", b.intf.c_str(), b.direction,
                               static_cast<unsigned long>(b.vpn));
                for (const plx::cfg::rule &r : l.rules)
                    plx_dump_rule(out, r);
            }
        }
        plx_dump_vpn_list_db(out, db);
        plx_dump_prefix_list_db(out, db);
        plx_dump_tloc_list_db(out, db);
        plx_dump_tloc_db(out, db);
        plx_dump_mirror_db(out, db);
        plx_dump_policer_db(out, db);
        plx_dump_class_db(out, db);
        plx_dump_sla_class_db(out, db);
        plx_dump_app_list_db(out, db);
        plx_printf(out, "dpi %u flow %u app-vis %u flow-vis %u log %u\n", db.dpi_ref_count,
                   db.flow_ref_count, db.app_visibility, db.flow_visibility, db.log_frequency);
        static const std::regex addr("\\[0x[0-9a-f]+\\]|\\[\\(nil\\)\\]");
        return std::regex_replace(s, addr, "[*]");
    }
};

class ReaderTest : public cdbt::CdbFixture {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/plx-readers-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        yang_ = dir_ + "/yang";
        db_ = dir_ + "/db";
        std::filesystem::create_directories(yang_);
        for (const auto &e : std::filesystem::directory_iterator(std::string(PLX_YANG_MODELS_DIR)))
            if (e.path().extension() == ".yang")
                std::filesystem::copy_file(e.path(), yang_ + "/" + e.path().filename().string());
        ASSERT_TRUE(start()) << start_err_;
        plxd_ = std::make_unique<Plxd>();
    }
    void TearDown() override {
        plxd_.reset();
        CdbFixture::TearDown();
    }

    // Commits a whole configuration (replacing what was there) and expects it accepted and read
    // without a reader failure.
    void commit(const std::string &xml, bool replace = true) {
        std::string err;
        ASSERT_EQ(load_xml(xml, &err, replace), CONFD_OK) << err << "\n" << xml;
        ASSERT_TRUE(plxd_->harness->failures().empty())
            << plxd_->harness->failures().front() << "\n"
            << xml;
    }
    // A fresh daemon that reads the running configuration at once.
    std::string scratch_dumps() {
        Plxd fresh;
        fresh.harness->initial_read();
        EXPECT_TRUE(fresh.harness->failures().empty());
        return fresh.dumps();
    }
    plx::cfg::plx_policy_db &db() { return plxd_->db; }
    plx_acl_model &acl() { return plxd_->acl; }

    std::unique_ptr<Plxd> plxd_;
};

inline std::string policy_xml(const std::string &body) {
    return "<policy xmlns=\"urn:quorvel:yang:policy\">" + body + "</policy>";
}
inline std::string qctrl_xml(const std::string &body) {
    return "<policy-from-qctrl xmlns=\"urn:quorvel:yang:policy\">" + body + "</policy-from-qctrl>";
}
inline std::string vpn_xml(const std::string &body) {
    return "<vpn xmlns=\"urn:quorvel:yang:vpn\">" + body + "</vpn>";
}

}  // namespace rt
