// Fixture of the processing tests: the policy model, real program memory over private tables,
// the compiler placing into it, and a fibd stand-in on a real transport queue that decodes every
// message the processing sends. Timers run on a fake clock moved by the test.
#pragma once

#include <event2/event.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/plx_events.h"
#include "common/plx_log.h"
#include "common/qrv_util.h"
#include "common/timer.h"
#include "compiler/plx_compiler.h"
#include "daemon/plx_ctx.h"
#include "fplink/fib_msgs.h"
#include "peers/fibd/fibd_state.h"
#include "policy/plx_process.h"
#include "progmem/plx_if_fpmem.h"
#include "tests/policy/model_fixture.h"

namespace plx::cfg::test {

class ProcessTest : public ModelTest {
  protected:
    static constexpr uint32_t kFilters = 16;
    static constexpr uint64_t kClock = 800'000'000;

    void SetUp() override { start(4096); }
    void start(uint32_t blocks) {
        ModelTest::SetUp();
        char tmpl[] = "/tmp/plxt-proc-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("PLX_ROOT", root_.c_str(), 1);
        std::filesystem::create_directories(root_ + "/var/run");
        base_ = event_base_new();
        tm_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        timer_mgr_set_clock(tm_, fake_clock, this);
        ctx.evbase = base_;
        ctx.tmr_mgr = tm_;
        ctx.policy = &db;

        mem_.assign(size_t{blocks} * 128, 0);
        filters_.assign(kFilters, FilterEntry{});
        ops_ = plx_fpmem_ops(plx_process_oom_policies);
        ctx.mem_ops = &ops_;
        ASSERT_EQ(plx_mem_init_tables(&ctx, {mem_.data(), blocks, filters_.data(), kFilters}, true),
                  0);
        ctx.compiler = plx_compiler_create();
        plx_compiler_set_mem_ops(ctx.compiler, plx_mem_alloc, plx_mem_free);
        plx_compiler_set_filter_id_fn(ctx.compiler, plx_mem_current_filter);

        msgq_params params = msgq_local_params(base_, tm_);
        msgq_callbacks server{nullptr, nullptr, nothing, drop, nullptr, nullptr};
        ctx.fibd_msgq =
            msgq_init(QRV_MOD_PLXD, QRV_MOD_FIBD, MSGQ_HANDLE_TYPE_SERVER, &params, &server, this);
        msgq_callbacks client{fibd_up, nullptr, nothing, fibd_recv, nullptr, nullptr};
        fibd_ =
            msgq_init(QRV_MOD_FIBD, QRV_MOD_PLXD, MSGQ_HANDLE_TYPE_CLIENT, &params, &client, this);
        advance_ms(MSGQ_CONNECT_INTERVAL_MS + 10);
        for (int i = 0; i < 10000 && !fibd_connected_; ++i)
            spin();
        ASSERT_TRUE(fibd_connected_);

        plx_process_opts opts;
        opts.num_filters = kFilters;
        opts.clock_rate = [] { return kClock; };
        plx_process_attach(&ctx, opts);
        g_notes = &notes;
        plx_set_event_hook(record_event);
    }
    void TearDown() override {
        // Policies go first: deleting them releases their programs into program memory.
        std::vector<std::pair<uint32_t, std::string>> names;
        for (policy &p : db.policies)
            names.emplace_back(p.type, std::string(p.name.view()));
        for (auto &[type, name] : names)
            plx_config_policy_delete(&db, type, name);
        plx_process_detach(&ctx);
        plx_set_event_hook(nullptr);
        g_notes = nullptr;
        msgq_deinit(fibd_);
        msgq_deinit(ctx.fibd_msgq);
        plx_compiler_destroy(ctx.compiler);
        plx_mem_destroy();
        timer_mgr_delete(tm_);
        event_base_free(base_);
        std::filesystem::remove_all(root_);
        unsetenv("PLX_ROOT");
        ModelTest::TearDown();
    }

    // Moves the fake clock in 10 ms steps, running due timers and pending I/O after each.
    void advance_ms(int ms) {
        for (int done = 0; done < ms; done += 10) {
            now_.tv_nsec += 10'000'000;
            if (now_.tv_nsec >= 1'000'000'000) {
                ++now_.tv_sec;
                now_.tv_nsec -= 1'000'000'000;
            }
            timer_exec(tm_, TIMER_PRI_MASK_ALL, 100);
            event_base_loop(base_, EVLOOP_NONBLOCK);
        }
    }
    // Processes the marked policies and returns the messages fibd received.
    std::vector<fib_policy_msg> process() {
        EXPECT_EQ(plx_process_all_changed(&ctx), 0);
        return take_msgs();
    }
    // Messages received so far, once nothing new arrived for about 10 ms.
    std::vector<fib_policy_msg> take_msgs() {
        for (size_t seen = SIZE_MAX; seen != msgs.size();) {
            seen = msgs.size();
            for (int i = 0; i < 40; ++i)
                spin();
        }
        return std::exchange(msgs, {});
    }
    void spin() {
        event_base_loop(base_, EVLOOP_NONBLOCK);
        usleep(250);
    }
    PolicyProgram *program(uint32_t type, std::string_view p, std::string_view vl) {
        policy_vpn_list *v = plx_config_policy_vpn_list_find(&db, type, p, vl);
        return v ? v->p_program : nullptr;
    }
    uint32_t filter_of(uint32_t type, std::string_view p, std::string_view vl) {
        policy_vpn_list *v = plx_config_policy_vpn_list_find(&db, type, p, vl);
        return v ? v->filter_id : 0xDEAD;
    }

    plx_ctx ctx{};
    std::vector<fib_policy_msg> msgs;
    std::vector<fib_acl_msg> acl_msgs;
    // fibd's binding state as the messages received so far made it, mirrored into binding
    // tables of its own, and what it could not apply (an unbind of something not bound).
    std::vector<fp_vpn_binding> fib_vpn = std::vector<fp_vpn_binding>(1024);
    std::vector<fp_intf_acl_binding> fib_intf = std::vector<fp_intf_acl_binding>(16);
    fp_binding_tables fib_tables() {
        return {fib_vpn.data(),  static_cast<uint32_t>(fib_vpn.size()),
                fib_intf.data(), static_cast<uint32_t>(fib_intf.size()),
                nullptr,         nullptr};
    }
    FibdState fib{fib_tables()};
    std::vector<std::string> fib_warnings;
    // Filter memory and the filter table, as the forwarding plane shares them.
    std::vector<uint8_t> mem_;
    std::vector<FilterEntry> filters_;
    // The programming events raised, as "<policy>/<VPN list> <Success|Failed>": what their
    // notifications report.
    std::vector<std::string> notes;

  private:
    static inline std::vector<std::string> *g_notes = nullptr;
    static void record_event(int, int event, va_list args) {
        if (!g_notes)
            return;
        const char *result =
            event == PLX_EVENT_POLICY_REPROGRAMMED || event == PLX_EVENT_ACCESS_LIST_REPROGRAMMED
                ? " Success"
                : " Failed";
        if (event == PLX_EVENT_POLICY_NO_MEMORY || event == PLX_EVENT_POLICY_REFUSED ||
            event == PLX_EVENT_POLICY_REPROGRAMMED) {
            const char *policy = va_arg(args, const char *);
            const char *vpn_list = va_arg(args, const char *);
            g_notes->push_back(std::string(policy) + "/" + vpn_list + result);
        } else if (event == PLX_EVENT_ACCESS_LIST_NO_MEMORY ||
                   event == PLX_EVENT_ACCESS_LIST_REFUSED ||
                   event == PLX_EVENT_ACCESS_LIST_REPROGRAMMED) {
            g_notes->push_back("acl " + std::string(va_arg(args, const char *)) + result);
        }
    }
    static void fake_clock(timespec *out, void *arg) {
        *out = static_cast<ProcessTest *>(arg)->now_;
    }
    static void nothing(msgq_handle *, void *) {}
    static void drop(msgq_handle *q, uint8_t *p, uint32_t, void *) { msgq_free(q, p); }
    static void fibd_up(msgq_handle *, void *arg) {
        static_cast<ProcessTest *>(arg)->fibd_connected_ = true;
    }
    static void fibd_recv(msgq_handle *q, uint8_t *p, uint32_t len, void *arg) {
        fib_msg m;
        std::string err;
        EXPECT_EQ(fib_msg_decode({p, len}, m, &err), 0) << err;
        auto *t = static_cast<ProcessTest *>(arg);
        t->fib.apply(m, &t->fib_warnings);
        if (auto *pm = std::get_if<fib_policy_msg>(&m))
            t->msgs.push_back(*pm);
        if (auto *am = std::get_if<fib_acl_msg>(&m))
            static_cast<ProcessTest *>(arg)->acl_msgs.push_back(*am);
        msgq_free(q, p);
    }

    std::string root_;
    event_base *base_ = nullptr;
    timer_mgr *tm_ = nullptr;
    timespec now_{1000, 0};
    ProgramMemoryOps ops_{};
    msgq_handle *fibd_ = nullptr;
    bool fibd_connected_ = false;
};

}  // namespace plx::cfg::test
