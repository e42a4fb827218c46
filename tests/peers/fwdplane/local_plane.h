// A forwarding plane inside the test process: filter memory, the filter table and the binding
// tables, program memory placing compiled programs into them, and the engine running packets
// through them with each program evaluated by the reference evaluator.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/timer.h"
#include "daemon/plx_ctx.h"
#include "peers/fpeval/fp_eval.h"
#include "peers/fwdplane/fp_engine.h"
#include "progmem/plx_if_fpmem.h"
#include "tests/peers/fwdplane/fp_test_programs.h"

class LocalPlane {
  protected:
    // Program memory of `blocks` blocks and `filters` filters for ctx_, and the engine over it.
    void plane_up(uint32_t blocks, uint32_t filters) {
        mem_.assign(size_t{blocks} * 128, 0);
        filters_.assign(filters, FilterEntry{});
        vpn_.assign(64, fp_vpn_binding{});
        intf_.assign(8, fp_intf_acl_binding{});
        mgr_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ctx_.tmr_mgr = mgr_;
        ASSERT_EQ(plx_mem_init_tables(&ctx_, {mem_.data(), blocks, filters_.data(), filters}, true),
                  0);
        fp_tables t{mem_.data(), blocks, filters_.data(), filters, {}};
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
    }
    void plane_down() {
        engine_.reset();
        plx_mem_destroy();
        timer_mgr_delete(mgr_);
    }
    // Compiles and places rules; the filter number.
    static uint32_t place(const std::vector<TestRule> &rules, uint32_t def_action = PLX_ACT_ACCEPT,
                          PolicyProgram **out = nullptr) {
        PolicyProgram *p = compile_rules("t", rules, test_action(def_action));
        EXPECT_NE(p, nullptr);
        if (out)
            *out = p;
        return plx_mem_current_filter();
    }
    // Packets a program's counter of that name counted.
    static uint64_t packets(const PolicyProgram *p, const char *counter) {
        uint64_t packets = 0, bytes = 0;
        plx_program_sum_counters(p, counter, &packets, &bytes);
        return packets;
    }

    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filters_;
    std::vector<fp_vpn_binding> vpn_;
    std::vector<fp_intf_acl_binding> intf_;
    timer_mgr *mgr_ = nullptr;
    plx_ctx ctx_{};
    std::unique_ptr<FpEngine> engine_;
};
