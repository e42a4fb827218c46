// Independent pieces of a compile (one leaf table, one combination, a stretch of a lookup tree)
// run on the compiling thread alone or spread over worker threads.
//
// Only the compiling thread calls the yield hook: plx_compiler_yield() does nothing on a worker.
// While workers run, the compiling thread takes pieces too and yields between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Runs work(i) for every i in [0, n), each exactly once. With threads <= 1 (or fewer than two
// pieces) they run in order on the calling thread with a yield after each; otherwise up to
// threads - 1 workers join the calling thread and the pieces run in any order. An exception
// thrown by a piece is rethrown on the calling thread once every thread has stopped (the
// pieces not yet started are skipped).
void plx_run_jobs(uint32_t threads, size_t n, const std::function<void(size_t)> &work);

// True on a worker thread of plx_run_jobs.
bool plx_on_compile_worker();
