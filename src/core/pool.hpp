// The process-wide work-stealing pool (oneTBB), created on first use.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace kavrel::pool {

// The number of the pool's threads, creating the pool on the first call:
// RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS (a positive number, also above the
// core count), else the processors available to the process, or 1.  When
// the system cannot start that many threads, the pool has as many as it
// could start; when it cannot start one, this throws ThreadsUnavailable and
// the next call tries again.
std::size_t thread_count();

// The pool size that the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (null when unset) ask for, given the processors available to the process.
std::size_t thread_count_for(const char* num_threads, const char* num_cpus, std::size_t available);

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
template <class Body>
void execute(Body&& body) {
    if (on_pool_thread()) {
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
// raised again here.  A loop of one element runs directly on the caller.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
    if (n == 0) return;
    if (n == 1) {
        body(std::size_t{0}, std::size_t{1});
        return;
    }
    execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

}  // namespace kavrel::pool
