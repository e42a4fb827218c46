#include "compiler/plx_jobs.h"

#include <algorithm>
#include <atomic>
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
    std::vector<std::thread> workers;
    const size_t extra = std::min<size_t>(threads - 1, n - 1);
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
