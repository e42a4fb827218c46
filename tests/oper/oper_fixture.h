// The operator's surface end to end: a real configuration database loading the router's models,
// the show provider and the operator actions served by a daemon thread the way plxd serves them,
// programs placed by program memory and counted by the forwarding-plane engine, and the command
// line run as the operator runs it.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "daemon/plx_ctx.h"
#include "oper/plx_clear.h"
#include "oper/plx_oper_acl.h"
#include "oper/plx_show.h"
#include "peers/cdbd/cdbcli_oper.h"
#include "peers/fpeval/fp_eval.h"
#include "peers/fwdplane/fp_engine.h"
#include "platform/confd/confd_maapi.h"
#include "policy/plx_config.h"
#include "progmem/plx_fpmem_dump.h"
#include "progmem/plx_if_fpmem.h"
#include "qconfd/qconfd_api.h"
#include "tests/peers/cdbd/cdbd_fixture.h"
#include "tests/peers/fwdplane/fp_test_programs.h"

namespace opertest {

namespace cfg = plx::cfg;

// An access-list model of the shape the provider reads: lists by name, with counters, policers
// and bindings.
struct Binding {
    plx::avl_link link;
    cfg::fixed_name<33> intf;
    uint8_t direction = 0;
};
struct BindingOrder {
    using key_type = std::pair<std::string_view, uint8_t>;
    static key_type key(const Binding &b) { return {b.intf.view(), b.direction}; }
    static int compare(const key_type &a, const key_type &b) { return plx::avl_cmp(a, b); }
};
struct Acl {
    plx::avl_link link;
    cfg::plx_name name;
    uint32_t filter_id = cfg::PLX_FILTER_ID_NONE;
    plx::oper::counter_tree counters;
    plx::oper::policer_tree policers;
    plx::avl_tree<Binding, &Binding::link, BindingOrder> bindings;
};
struct AclOrder {
    using key_type = std::string_view;
    static key_type key(const Acl &a) { return a.name.view(); }
    static int compare(key_type a, key_type b) { return cfg::plx_name_cmp_len_first(a, b); }
};
using AclTree = plx::avl_tree<Acl, &Acl::link, AclOrder>;

// Runs an action callback and the data provider on the daemon's sockets, like plxd's worker.
class OperFixture : public cdbt::CdbFixture {
  protected:
    void SetUp() override {
        tune_ = [](cdbd::ServerOptions &o) { o.yang_dir = std::string(PLX_YANG_MODELS_DIR); };
        cdbt::CdbFixture::SetUp();
        // Filter memory, the filter table and the binding tables of a forwarding plane.
        mem_.assign(size_t{kBlocks} * 128, 0);
        filters_.assign(kFilters, FilterEntry{});
        vpn_.assign(64, fp_vpn_binding{});
        intf_.assign(8, fp_intf_acl_binding{});
        mgr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ctx_.tmr_mgr = mgr_;
        ctx_.policy = &db_;
        ASSERT_EQ(
            plx_mem_init_tables(&ctx_, {mem_.data(), kBlocks, filters_.data(), kFilters}, true), 0);
        ASSERT_EQ(cfg::plx_policy_init(&db_), 0);
        fp_tables t{mem_.data(), kBlocks, filters_.data(), kFilters, {}};
        t.bindings = {vpn_.data(), 64, intf_.data(), 8, nullptr};
        engine_ = std::make_unique<FpEngine>(
            t,
            [](const PolicyProgram *p, const uint32_t *f) {
                FpPacket pk;
                memcpy(pk.field, f, sizeof pk.field);
                FpEvalResult r = fp_eval(p, pk);
                return r.status == FP_EVAL_OK ? r.index : int64_t{-1};
            },
            1000000000ull);
        plx::oper::plx_oper_set_acl_source(&acl_source_);
        ASSERT_TRUE(start_daemon());
    }
    void TearDown() override {
        stop_ = true;
        if (th_.joinable())
            th_.join();
        if (q_.dctx)
            confd_release_daemon(q_.dctx);
        for (int fd : {q_.control_sock, q_.worker_sock})
            close(fd);
        maapi_close(q_.maapi_sock);
        plx::oper::plx_oper_set_acl_source(nullptr);
        engine_.reset();
        acls_[0].destroy_all();
        acls_[1].destroy_all();
        cfg::plx_policy_teardown(&db_);
        plx_mem_destroy();
        timer_mgr_delete(mgr_);
        cdbt::CdbFixture::TearDown();
    }

    bool start_daemon() {
        q_.spec.app_ctx = &ctx_;
        q_.dctx = confd_init_daemon("plxd");
        q_.control_sock = socket(AF_INET, SOCK_STREAM, 0);
        q_.worker_sock = socket(AF_INET, SOCK_STREAM, 0);
        q_.maapi_sock = socket(AF_INET, SOCK_STREAM, 0);
        q_.dctx->d_opaque = &q_;
        if (confd_connect(q_.dctx, q_.control_sock, CONTROL_SOCKET, nullptr, 0) != CONFD_OK ||
            confd_connect(q_.dctx, q_.worker_sock, WORKER_SOCKET, nullptr, 0) != CONFD_OK ||
            maapi_connect(q_.maapi_sock, nullptr, 0) != CONFD_OK)
            return false;
        confd_trans_cbs tcb{};
        tcb.init = [](confd_trans_ctx *t) {
            return confd_trans_set_fd(t,
                                      static_cast<QconfdContext *>(t->dx->d_opaque)->worker_sock);
        };
        if (confd_register_trans_cb(q_.dctx, &tcb) != CONFD_OK)
            return false;
        using action_fn =
            int (*)(confd_user_info *, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int);
        const std::pair<const char *, action_fn> actions[] = {
            {"plx_clear_policy_acl", plx_clear_policy_acl},
            {"plx_clear_policy_acl6", plx_clear_policy_acl6},
            {"plx_clear_data_policy", plx_clear_data_policy},
            {"plx_clear_app_route_policy", plx_clear_app_route_policy},
            {"plx_dump_memory_stats", plx_dump_memory_stats},
            {"plx_dump_memory_map", plx_dump_memory_map},
            {"plx_dump_filter", plx_dump_filter},
        };
        for (const auto &[point, fn] : actions) {
            confd_action_cbs a{};
            snprintf(a.actionpoint, sizeof a.actionpoint, "%s", point);
            a.init = [](confd_user_info *u) {
                return confd_action_set_fd(
                    u, static_cast<QconfdContext *>(u->actx.dx->d_opaque)->worker_sock);
            };
            a.action = fn;
            if (confd_register_action_cbs(q_.dctx, &a) != CONFD_OK)
                return false;
        }
        if (plx_show_init(&q_) != 0 || confd_register_done(q_.dctx) != CONFD_OK)
            return false;
        th_ = std::thread([this] {
            while (!stop_) {
                pollfd p[2] = {{q_.control_sock, POLLIN, 0}, {q_.worker_sock, POLLIN, 0}};
                if (poll(p, 2, 20) <= 0)
                    continue;
                std::lock_guard lk(mu_);
                for (auto &x : p)
                    if ((x.revents & (POLLIN | POLLHUP)) &&
                        confd_fd_ready(q_.dctx, x.fd) == CONFD_EOF)
                        return;
            }
        });
        return true;
    }

    // The command line, as the operator runs it; standard output.
    static std::string run_cli(const std::string &args) {
        std::string out;
        FILE *f = popen((std::string(CDBCLI_BIN) + " " + args + " 2>&1").c_str(), "r");
        if (!f)
            return out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        pclose(f);
        return out;
    }
    // The cells after the given leading cells of the first matching row of a text table.
    static std::vector<std::string> row(const std::string &table,
                                        const std::vector<std::string> &lead) {
        std::istringstream in(table);
        for (std::string line; std::getline(in, line);) {
            std::istringstream cells(line);
            std::vector<std::string> c;
            for (std::string x; cells >> x;)
                c.push_back(x);
            if (c.size() >= lead.size() && std::equal(lead.begin(), lead.end(), c.begin()))
                return {c.begin() + static_cast<long>(lead.size()), c.end()};
        }
        return {};
    }

    // A data or app-route policy applied to one VPN list, with a rule per counter name.
    cfg::policy_vpn_list *add_policy(uint32_t type, const std::string &name,
                                     const std::string &vpn_list,
                                     const std::vector<std::string> &counters) {
        cfg::plx_config_vpn_list_add(&db_, vpn_list);
        EXPECT_EQ(cfg::plx_config_policy_add(&db_, type, name, 0), 0);
        EXPECT_EQ(cfg::plx_config_policy_vpn_list_add(&db_, type, name, vpn_list,
                                                      cfg::PLX_ACTION_VERB_ACCEPT, ""),
                  0);
        uint32_t seq = 10;
        for (const auto &c : counters) {
            EXPECT_EQ(cfg::plx_config_rule_add(&db_, type, name, vpn_list, seq), 0);
            cfg::action_value v;
            v.action_type = cfg::PLX_ACTION_COUNT;
            v.name = c;
            EXPECT_EQ(cfg::plx_config_action_add(&db_, type, name, vpn_list, seq, 1, v), 0);
            seq += 10;
        }
        return cfg::plx_config_policy_vpn_list_find(&db_, type, name, vpn_list);
    }
    // Compiles and places rules; the filter number.
    uint32_t place(const std::vector<TestRule> &rules, PolicyProgram **out = nullptr) {
        PolicyProgram *p = compile_rules("t", rules, test_action(PLX_ACT_ACCEPT));
        EXPECT_NE(p, nullptr);
        if (out)
            *out = p;
        return plx_mem_current_filter();
    }
    static TestRule port_rule(uint32_t port, const char *counter) {
        TestRule r{{{PLX_FIELD_DST_PORT, port, port}}, test_action(PLX_ACT_ACCEPT)};
        add_count(r.action, 1, counter);
        return r;
    }
    // n TCP packets of `len` bytes to a port on a VPN (and interface) through the pipeline.
    void replay(uint32_t vpn, uint32_t port, int n, uint32_t len = 100, const char *intf = "ge0/0",
                uint64_t t0 = 0) {
        std::lock_guard lk(mu_);
        for (int i = 0; i < n; ++i) {
            fp_packet p = fp_packet_blank();
            p.field[FPF_PROTOCOL] = 6;
            p.field[FPF_DST_PORT] = port;
            p.length = len;
            p.time_ns = t0 + static_cast<uint64_t>(i);
            engine_->process(p, fp_input{intf, "", vpn, 1});
        }
    }

    static constexpr uint32_t kBlocks = 2048;
    static constexpr uint32_t kFilters = 32;
    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filters_;
    std::vector<fp_vpn_binding> vpn_;
    std::vector<fp_intf_acl_binding> intf_;
    timer_mgr *mgr_ = nullptr;
    cfg::plx_policy_db db_;
    AclTree acls_[2];
    plx::oper::AclTreeSource<Acl, AclTree> acl_source_{&acls_[0], &acls_[1]};
    plx_ctx ctx_{};
    QconfdContext q_{};
    std::unique_ptr<FpEngine> engine_;
    std::mutex mu_;  // the model and the counters, against the daemon thread
    std::atomic<bool> stop_{false};
    std::thread th_;
};

}  // namespace opertest
