// The process-wide work-stealing pool (oneTBB), created on first use.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/parallel_sort.h>

namespace kavrel::pool {

// The most threads the pool starts for each available processor, whatever
// it is asked for.  A few threads per core still let a pool larger than the
// machine keep its cores busy while some of its threads wait (on a page of
// a mapped file, say); beyond that, more threads only add to what every
// call pays to wake them and hand work among them, and to what the process
// pays to end them at exit (a request of 100,000 threads cost 0.6 s per call
// and 40 s at exit).
inline constexpr std::size_t threads_per_processor = 4;

// The number of the pool's threads, creating the pool on the first call:
// RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS (a positive number, also above the
// core count up to threads_per_processor per processor), else the
// processors available to the process, or 1.  When the system cannot start
// that many threads, the pool has as many as it could start; when it cannot
// start one, this throws ThreadsUnavailable and the next call tries again.
// In a serial() process, 1: the calling thread.
std::size_t thread_count();

// The pool size that the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (null when unset) ask for, given the processors available to the process,
// capped at threads_per_processor per processor.
std::size_t thread_count_for(const char* num_threads, const char* num_cpus, std::size_t available);

// The processors this process may run on (its affinity mask), at least 1.
std::size_t available_processors() noexcept;

// Whether this process is a fork() child of a process that had started its
// pool.  The pool's threads did not come along, and oneTBB's state, with any
// lock one of them held at the fork, cannot be trusted: every loop of such a
// process runs whole on its calling thread and oneTBB is never entered.  A
// child of a process that had no pool makes its own as usual.
bool serial() noexcept;

// How many of `wanted` threads, each with a stack of `stack_bytes`, the
// system can run at once with room to spare for what they allocate; found by
// starting them, all alive together, and ending them again.
std::size_t startable_threads(std::size_t wanted, std::size_t stack_bytes);

// Whether the calling thread is one of the pool's, inside the pool.
bool on_pool_thread() noexcept;

namespace detail {
// Runs run(body) on a pool thread; the caller blocks until it has ended.
void hand_over(void (*run)(void*), void* body);
}  // namespace detail

// Tasks started on the pool that the caller waits for later, doing other
// work meanwhile.  A task must not throw.  Every task started has ended when
// wait() returns, and when the batch is destroyed.
class Batch {
public:
    Batch();
    ~Batch() { wait(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void start(std::function<void()> task);
    void wait() noexcept;

private:
    // Shared with the tasks, which may still be inside notify_all when the
    // waiting thread sees the count reach zero and the batch goes.
    struct State {
        std::atomic<std::size_t> pending{0};
    };
    std::shared_ptr<State> state_;
};

// Runs body() on the pool and returns when it has ended, all loops nested in
// it included.  On a pool thread it runs right there (the thread takes part
// in the loops it starts); any other thread hands it to the pool whole and
// blocks until it ends.  An exception thrown by body is raised again here.
// In a serial() process it runs right there too, and must start its loops
// through this header only.
template <class Body>
void execute(Body&& body) {
    if (on_pool_thread() || serial()) {
        body();
        return;
    }
    using Callable = std::remove_reference_t<Body>;
    detail::hand_over([](void* b) { (*static_cast<Callable*>(b))(); },
                      const_cast<void*>(static_cast<const void*>(&body)));
}

// Runs body(begin, end) over pieces of [0, n) on the pool and returns when
// every piece has ended.  Nests: called from inside a piece, the waiting
// thread runs other pieces meanwhile.  An exception thrown by a piece is
// raised again here.  A loop of one element, and any loop of a serial()
// process, runs directly on the caller as one piece.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
    if (n == 0) return;
    if (n == 1 || serial()) {
        body(std::size_t{0}, n);
        return;
    }
    execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

// tbb::parallel_reduce of body over [0, n) on the pool; in a serial()
// process body takes the whole range and is never split.
template <class Reduce>
void parallel_reduce(std::size_t n, Reduce& body) {
    const tbb::blocked_range<std::size_t> all(0, n);
    if (serial()) {
        body(all);
        return;
    }
    execute([&] { tbb::parallel_reduce(all, body); });
}

// Sorts [first, last) by less on the pool (tbb::parallel_sort, not stable);
// std::sort in a serial() process.
template <class Iterator, class Less>
void parallel_sort(Iterator first, Iterator last, const Less& less) {
    if (serial()) {
        std::sort(first, last, less);
        return;
    }
    execute([&] { tbb::parallel_sort(first, last, less); });
}

}  // namespace kavrel::pool
