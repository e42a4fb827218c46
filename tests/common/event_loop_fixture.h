// Test fixture for code that runs on a libevent base with a timer manager: a private PLX_ROOT,
// a real event base, and a timer manager on a fake clock that tests move forward explicitly, so
// that 500 ms or 1 s timers fire at once and at an exact time.
#pragma once

#include <event2/event.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "common/plx_paths.h"
#include "common/timer.h"
#include "tests/support/temp_dir.h"

class EventLoopFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("plxt");
        ASSERT_FALSE(root_.empty());
        setenv("PLX_ROOT", root_.c_str(), 1);
        std::filesystem::create_directories(root_ + "/var/run");
        base_ = event_base_new();
        ASSERT_NE(base_, nullptr);
        tm_ = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ASSERT_NE(tm_, nullptr);
        fake_now_ = {1000, 0};
        timer_mgr_set_clock(tm_, fake_clock, this);
    }

    void TearDown() override {
        if (tm_)
            timer_mgr_delete(tm_);
        if (base_)
            event_base_free(base_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        unsetenv("PLX_ROOT");
    }

    // Moves the fake clock forward in 10 ms steps, running the due timers after each step.
    void advance_ms(int ms) {
        for (int done = 0; done < ms; done += 10) {
            fake_now_.tv_nsec += 10 * 1000000L;
            if (fake_now_.tv_nsec >= 1000000000L) {
                fake_now_.tv_sec++;
                fake_now_.tv_nsec -= 1000000000L;
            }
            timer_exec(tm_, TIMER_PRI_MASK_ALL, 100);
            event_base_loop(base_, EVLOOP_NONBLOCK);
        }
    }

    // Runs the event loop until pred() holds or about timeout_ms of real time passed. pred() is
    // not asked again once it held: it may consume what it checks (a child's exit status).
    template <class Pred>
    bool run_until(Pred pred, int timeout_ms = 2000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (pred())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            event_base_loop(base_, EVLOOP_NONBLOCK);
            if (pred())
                return true;
            usleep(200);
        }
    }

    // Runs the event loop for a while without a condition (lets pending I/O settle).
    void spin(int iterations = 20) {
        for (int i = 0; i < iterations; ++i) {
            event_base_loop(base_, EVLOOP_NONBLOCK);
            usleep(200);
        }
    }

    std::string path(const std::string &p) const { return plx_path(p); }

    std::string root_;
    event_base *base_ = nullptr;
    timer_mgr *tm_ = nullptr;
    timespec fake_now_{};

  private:
    static void fake_clock(timespec *now, void *arg) {
        *now = static_cast<EventLoopFixture *>(arg)->fake_now_;
    }
};
