// A real configuration database loaded with the router's models, and an event loop with a
// timer wheel in a thread of its own, as a daemon runs the configuration-database layer.
#pragma once

#include <event2/event.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>

#include "common/timer.h"
#include "platform/confd/confd_dp.h"
#include "qconfd/qconfd_api.h"
#include "qconfd/qconfd_log.h"
#include "tests/peers/cdbd/cdbd_fixture.h"
#include "tests/support/test_process.h"

namespace qct {

// The loop thread owns the event base (created without locks, as in the daemon); other threads
// hand it work through run(), which returns the work's result.
class Loop {
  public:
    Loop() {
        event_config *cfg = event_config_new();
        event_config_set_flag(cfg, EVENT_BASE_FLAG_NOLOCK);
        base_ = event_base_new_with_config(cfg);
        event_config_free(cfg);
        tm_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        tick_ = event_new(base_, -1, EV_PERSIST, on_tick, this);
        timeval tv{0, 10000};
        event_add(tick_, &tv);
        th_ = std::thread([this] { event_base_loop(base_, 0); });
    }
    ~Loop() {
        stop_ = true;
        th_.join();
        event_free(tick_);
        event_base_free(base_);
        timer_mgr_delete(tm_);
    }
    template <class Fn>
    auto run(Fn fn) -> decltype(fn()) {
        std::packaged_task<decltype(fn())()> task(fn);
        auto result = task.get_future();
        {
            std::lock_guard lk(mu_);
            work_.emplace_back([&task] { task(); });
        }
        return result.get();
    }
    event_base *base() const { return base_; }
    timer_mgr *timers() const { return tm_; }

  private:
    static void on_tick(evutil_socket_t, short, void *arg) {
        auto *self = static_cast<Loop *>(arg);
        timer_exec(self->tm_, TIMER_PRI_MASK_ALL, 100);
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lk(self->mu_);
            work.swap(self->work_);
        }
        for (auto &fn : work)
            fn();
        if (self->stop_)
            event_base_loopbreak(self->base_);
    }
    event_base *base_;
    timer_mgr *tm_;
    event *tick_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::deque<std::function<void()>> work_;
    std::thread th_;
};

// Lines recorded by the test readers, in call order.
class Recorder {
  public:
    void add(std::string line) {
        std::lock_guard lk(mu_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() {
        std::lock_guard lk(mu_);
        return lines_;
    }
    void clear() {
        std::lock_guard lk(mu_);
        lines_.clear();
    }
    bool wait_size(size_t n, int timeout_ms = 10000) {
        return wait_for([&] { return lines().size() >= n; }, timeout_ms);
    }

  private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

class QconfdFixture : public cdbt::CdbFixture {
  protected:
    QconfdFixture() {
        // The threads of the layer write to a pipe that a reconnection may have closed.
        signal(SIGPIPE, SIG_IGN);
        // QCT_TRACE=1 prints the layer's lines on standard output.
        if (getenv("QCT_TRACE")) {
            plx_debug_flags |= PLX_DEBUG_CONSOLE;
            qconfd_debug_enable(1);
        }
        tune_ = [this](cdbd::ServerOptions &o) {
            o.yang_dir = std::string(PLX_YANG_MODELS_DIR);
            if (port_)
                o.port = port_;
        };
    }
    void SetUp() override {
        cdbt::CdbFixture::SetUp();
        port_ = srv_->port();
    }
    void TearDown() override {
        if (ctx_)
            loop_.run([this] {
                qconfd_module_stop(ctx_);
                return 0;
            });
        ctx_ = nullptr;
        cdbt::CdbFixture::TearDown();
    }
    // Connects a module with this table from the loop thread; returns the layer's result.
    int connect(SubscriptionPoint *table, confd_action_cbs *actions, uint8_t module_id = 9) {
        static confd_valpoint_cb no_validations[1] = {};
        static confd_action_cbs no_actions[1] = {};
        spec_.app_ctx = this;
        spec_.subscriptions = table;
        spec_.validations = no_validations;
        spec_.actions = actions ? actions : no_actions;
        spec_.register_data_cb = [](QconfdContext *) { return 0; };
        spec_.evbase = loop_.base();
        spec_.tmr_mgr = loop_.timers();
        spec_.module_id = module_id;
        return connect(spec_);
    }
    int connect(const QconfdModuleSpec &spec) {
        spec_ = spec;
        return loop_.run([this] { return qconfd_module_init(&spec_, nullptr, &ctx_); });
    }
    // Writes the initial-read order leaf.
    void set_order(uint32_t mask) {
        int fd = data_socket();
        ASSERT_EQ(cdb_start_session2(fd, CDB_OPERATIONAL, 0), CONFD_OK) << confd_lasterr();
        confd_value_t v;
        CONFD_SET_BIT32(&v, mask);
        ASSERT_EQ(cdb_set_elem(fd, &v, "%s", QCONFD_INITIAL_READ_PATH), CONFD_OK)
            << confd_lasterr();
        cdb_end_session(fd);
        cdb_close(fd);
    }
    // True once the subscription socket is registered with the database.
    bool subscribed() {
        std::string text;
        confd_wire::WireWriter w(confd_wire::Op::CliStatus);
        cli(w, &text);
        return text.find("  point ") != std::string::npos &&
               text.find("(not done)") == std::string::npos;
    }
    void restart_server() {
        stop();
        ASSERT_TRUE(start()) << start_err_;
    }

    Loop loop_;
    QconfdModuleSpec spec_{};
    QconfdContext *ctx_ = nullptr;
    uint16_t port_ = 0;
};

// A table row in the layout the daemons use.
inline SubscriptionPoint row(const char *path, uint8_t keys, uint8_t prio, uint8_t del,
                             SubscriptionReader reader, uint8_t flags = 0) {
    SubscriptionPoint p{};
    std::snprintf(p.path, sizeof(p.path), "%s", path);
    p.reader = reader;
    p.add_point = p.delete_point = -1;
    p.key_count = keys;
    p.priorities = qconfd_priorities(prio, del);
    p.flags = flags;
    return p;
}

}  // namespace qct
