// The process-wide work-stealing pool (oneTBB), created on first use.
#pragma once

#include <cstddef>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace kavrel::pool {

// The pool's arena, created on the first call from RAYON_NUM_THREADS /
// RAYON_RS_NUM_CPUS (a positive number sets the thread count, also above the
// core count), else the processors available to the process, or 1.
tbb::task_arena& arena();

// The number of threads the pool was created with.
std::size_t thread_count();

// The pool size that the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (null when unset) ask for, given the processors available to the process.
std::size_t thread_count_for(const char* num_threads, const char* num_cpus, std::size_t available);

// Runs body(begin, end) over pieces of [0, n) on the pool and returns when
// every piece has ended.  Nests: called from inside a piece, the waiting
// thread runs other pieces meanwhile.  An exception thrown by a piece is
// raised again here.  A loop of one element runs directly on the caller.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
    if (n == 0) return;
    if (n == 1) {
        body(std::size_t{0}, std::size_t{1});
        return;
    }
    arena().execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

}  // namespace kavrel::pool
