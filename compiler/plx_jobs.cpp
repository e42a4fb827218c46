#include "compiler/plx_jobs.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "compiler/eclass.h"

namespace {

thread_local bool t_worker = false;

// Worker threads kept from one call to the next: a compile hands out work a dozen times, and
// starting and joining a thread costs tens of microseconds each time (more on a virtual
// machine), as much as a policy-sized compile. One call uses the pool at a time; a call that
// finds it in use (another compile, or a piece that hands out work itself) starts threads of
// its own as before.
class WorkerPool {
  public:
    // Runs task on up to `extra` pool threads and on the calling thread, and returns once all
    // are done. False, having run nothing, when the pool is in use.
    bool run(size_t extra, const std::function<void()> &task) {
        std::unique_lock<std::mutex> use(use_, std::try_to_lock);
        if (!use)
            return false;
        {
            std::lock_guard<std::mutex> lk(m_);
            try {
                while (threads_.size() < extra)
                    threads_.emplace_back([this] { serve(); });
            } catch (const std::system_error &) {
                extra = threads_.size();  // as many as could be started
            }
            task_ = &task;
            ++batch_;
            wanted_ = running_ = extra;
        }
        wake_.notify_all();
        task();
        std::unique_lock<std::mutex> lk(m_);
        done_.wait(lk, [this] { return running_ == 0; });
        task_ = nullptr;
        return true;
    }

  private:
    void serve() {
        t_worker = true;
        uint64_t seen = 0;
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            wake_.wait(lk, [&] { return batch_ != seen && wanted_ > 0; });
            seen = batch_;
            --wanted_;
            const std::function<void()> *task = task_;
            lk.unlock();
            (*task)();
            lk.lock();
            if (--running_ == 0)
                done_.notify_all();
        }
    }

    std::mutex use_;  // held by the call using the pool
    std::mutex m_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;  // never joined: they wait for work until the process ends
    const std::function<void()> *task_ = nullptr;
    uint64_t batch_ = 0;
    size_t wanted_ = 0;   // pool threads still to join the current call
    size_t running_ = 0;  // pool threads in the current call not yet done
};

WorkerPool &pool() {
    static auto *p = new WorkerPool;  // kept to the end: its threads are blocked in it
    return *p;
}

}  // namespace

bool plx_on_compile_worker() {
    return t_worker;
}

void plx_run_jobs(uint32_t threads, size_t n, const std::function<void(size_t)> &work) {
    if (threads <= 1 || n < 2) {
        for (size_t i = 0; i < n; ++i) {
            work(i);
            plx_compiler_yield();
        }
        return;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto take = [&](bool worker) {
        for (size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) {
            try {
                work(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error)
                    error = std::current_exception();
                failed = true;
            }
            if (!worker)
                plx_compiler_yield();
        }
#if defined(__SSE2__)
        // Streaming stores of this thread reach memory before the pieces count as done.
        _mm_sfence();
#endif
    };
    const size_t extra = std::min<size_t>(threads - 1, n - 1);
    if (pool().run(extra, [&] {
            if (t_worker)
                take(true);
            else
                take(false);
        })) {
        if (error)
            std::rethrow_exception(error);
        return;
    }
    std::vector<std::thread> workers;
    workers.reserve(extra);
    try {
        for (size_t k = 0; k < extra; ++k) {
            workers.emplace_back([&] {
                t_worker = true;
                take(true);
            });
        }
    } catch (const std::system_error &) {
        // No thread to spare: the calling thread does the rest alone.
    }
    take(false);
    for (std::thread &w : workers)
        w.join();
    if (error)
        std::rethrow_exception(error);
}
