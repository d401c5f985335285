#include "pool.hpp"

#include "failure.hpp"
#include "messages.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

namespace kavrel::pool {

namespace {

// Every pool thread's stack: oneTBB's own default on 64-bit systems, set
// explicitly so that startable_threads tries the stacks the pool will use.
constexpr std::size_t stack_bytes = std::size_t{4} << 20;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// An unsigned decimal integer: digits with an optional leading '+', nothing
// else, no overflow.
std::optional<std::size_t> parse_count(const char* raw) {
    if (raw == nullptr) return std::nullopt;
    std::string_view text(raw);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Tells the pool's threads apart from every other thread: a thread is a
// pool thread while it is inside the pool's arena.
class PoolThreadMarker final : public tbb::task_scheduler_observer {
public:
    explicit PoolThreadMarker(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
    void on_scheduler_entry(bool is_worker) override {
        if (is_worker) set_pool_thread(true);
    }
    void on_scheduler_exit(bool is_worker) override {
        if (is_worker) set_pool_thread(false);
    }
};

// The arena has a slot for each pool thread and none for the threads that
// hand it work: those wait outside, so the pool's threads are exactly the
// ones that run its loops.
struct Pool {
    explicit Pool(std::size_t wanted, std::atomic<bool>& entered_tbb) {
        int capped = wanted > static_cast<std::size_t>(INT_MAX - 1) ? INT_MAX - 1 : static_cast<int>(wanted);
        std::size_t started = startable_threads(static_cast<std::size_t>(capped), stack_bytes);
        if (started == 0) throw ResourceExhausted(std::string(msg::threads_unavailable));
        thread_count = started;
        // From here on oneTBB has state that a fork would leave broken.
        entered_tbb.store(true, std::memory_order_relaxed);
        const int concurrency = static_cast<int>(started);
        // oneTBB keeps as many threads as the process-wide parallelism limit
        // less one (the core count by default, where one is the thread that
        // started the work) and caps every arena at that.  Raising the limit
        // for the life of the pool gives the arena its threads, also above
        // the core count, and keeps oneTBB silent.
        if (tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) <
            static_cast<std::size_t>(concurrency) + 1) {
            limit.emplace(tbb::global_control::max_allowed_parallelism, concurrency + 1);
        }
        stack.emplace(tbb::global_control::thread_stack_size, stack_bytes);
        arena.initialize(concurrency, /*reserved_for_masters=*/0);
        marker.emplace(arena);
    }

    std::size_t thread_count = 1;
    std::optional<tbb::global_control> limit;
    std::optional<tbb::global_control> stack;
    tbb::task_arena arena;
    std::optional<PoolThreadMarker> marker;
};

// The pool and its making, shared by every thread and by fork().
//
// `creation` is held while the pool is made, and across every fork() from
// the moment the fork handlers are in place: a child never starts from a
// pool half made, and `entered_tbb` is settled when it is read in the child.
// `made` is written once under `creation`, and read without it.  `forked`
// is written only by the child handler, while the child has one thread.
struct Shared {
    std::mutex creation;
    bool handlers_installed = false;  // guarded by `creation`
    std::atomic<bool> entered_tbb{false};
    std::atomic<Pool*> made{nullptr};
    std::atomic<bool> forked{false};
};

// Constant-initialized, and with nothing to destroy: ready before any
// static constructor runs and still there after the destructors.
static_assert(std::is_trivially_destructible_v<Shared>);
constinit Shared shared_state;

void before_fork() noexcept {
    shared_state.creation.lock();
}

void after_fork_in_parent() noexcept {
    shared_state.creation.unlock();
}

// The parent's pool, if any, is left as it is, never destroyed: its threads
// are gone, and so may be oneTBB's own state.
void after_fork_in_child() noexcept {
    if (shared_state.entered_tbb.load(std::memory_order_relaxed))
        shared_state.forked.store(true, std::memory_order_relaxed);
    shared_state.creation.unlock();
}

Pool& the_pool() {
    Shared& state = shared_state;
    if (Pool* pool = state.made.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> hold(state.creation);
    if (Pool* pool = state.made.load(std::memory_order_relaxed)) return *pool;
    if (!state.handlers_installed) {
        // It fails only for want of memory; the next call tries again.
        if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0)
            throw std::bad_alloc();
        state.handlers_installed = true;
    }
    // Never destroyed: loops may still run while static destructors do, and
    // the process ends without a shutdown step.  A pool that could not be
    // made is tried again by the next call.
    Pool* pool = new Pool(thread_count_for(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                           available_processors()),
                          state.entered_tbb);
    state.made.store(pool, std::memory_order_release);
    return *pool;
}

// What startable_threads leaves free beside the threads' stacks, for what
// the pool's threads take as they start.  Most of it is address space for
// malloc: a thread's first allocation may make it an arena of its own, a
// reservation of 64 MiB (briefly 128 MiB), and a thread that is refused one
// only falls back to a shared arena, while a thread that cannot map its
// stack ends the process inside oneTBB.  So room is kept for an arena per
// thread, and for one being made.
constexpr std::size_t spare_bytes = std::size_t{192} << 20;
constexpr std::size_t spare_bytes_per_thread = std::size_t{64} << 20;

}  // namespace

std::size_t thread_count_for(const char* num_threads, const char* num_cpus, std::size_t available) {
    available = std::max<std::size_t>(available, 1);
    std::size_t asked = available;
    if (auto n = parse_count(num_threads)) {
        if (*n > 0) asked = *n;  // 0 asks for the default
    } else if (auto m = parse_count(num_cpus); m && *m > 0) {
        asked = *m;
    }
    const std::size_t most =
        available > SIZE_MAX / threads_per_processor ? SIZE_MAX : available * threads_per_processor;
    return std::min(asked, most);
}

std::size_t available_processors() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    // sysconf, not oneTBB: this is read before the pool exists, and in a
    // forked child that must not enter oneTBB.
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

bool serial() noexcept {
    return shared_state.forked.load(std::memory_order_relaxed);
}

std::size_t startable_threads(std::size_t wanted, std::size_t stack_size) {
    // Address space held while the threads start, so that they leave room
    // for what the pool's threads will take besides their stacks: a fixed
    // part, then a part for each thread before it starts.
    std::vector<std::pair<void*, std::size_t>> held;
    auto hold = [&](std::size_t bytes) {
        void* room = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (room == MAP_FAILED) return false;
        held.emplace_back(room, bytes);
        return true;
    };

    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    struct Gate {
        std::mutex* lock;
        std::condition_variable* opened;
        bool* open;
    } gate{&lock, &opened, &open};
    // Each thread waits at the gate, so that all of them are alive at once.
    auto wait_at_gate = [](void* arg) -> void* {
        auto* g = static_cast<Gate*>(arg);
        std::unique_lock<std::mutex> hold(*g->lock);
        g->opened->wait(hold, [&] { return *g->open; });
        return nullptr;
    };

    std::vector<pthread_t> threads;
    // Room to record one more thread and its held space, made before it
    // starts, so that recording a started thread cannot fail.  Grown as the
    // threads start, not for all of `wanted` at once: a count far beyond
    // what the system can start must not fail on the lists alone.
    auto room_for_one_more = [&] {
        try {
            if (held.size() == held.capacity()) held.reserve(2 * held.capacity() + 16);
            if (threads.size() == threads.capacity()) threads.reserve(2 * threads.capacity() + 16);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    };
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stack_size);
    if (room_for_one_more() && hold(spare_bytes)) {
        while (threads.size() < wanted && room_for_one_more() && hold(spare_bytes_per_thread)) {
            pthread_t thread;
            if (pthread_create(&thread, &attributes, wait_at_gate, &gate) != 0) break;
            threads.push_back(thread);
        }
    }
    pthread_attr_destroy(&attributes);
    {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
    }
    opened.notify_all();
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    for (auto [room, bytes] : held) ::munmap(room, bytes);
    return threads.size();
}

std::size_t thread_count() {
    if (serial()) return 1;
    return the_pool().thread_count;
}

bool on_pool_thread() noexcept {
    return is_pool_thread();
}

namespace detail {

void hand_over(void (*run)(void*), void* body) {
    Pool& pool = the_pool();
    // Shared with the task, which may still be inside notify_one when this
    // thread sees `done` and returns.
    struct Handover {
        std::atomic<bool> done{false};
        std::exception_ptr failure;  // written before `done`, read after it
    };
    auto handover = std::make_shared<Handover>();
    pool.arena.enqueue([handover, run, body] {
        try {
            run(body);
        } catch (...) {
            handover->failure = std::current_exception();
        }
        handover->done.store(true, std::memory_order_release);
        handover->done.notify_one();
    });
    // Small loops end within microseconds: spin a while before sleeping.
    for (int spin = 0; spin < 4096 && !handover->done.load(std::memory_order_acquire); ++spin) cpu_relax();
    while (!handover->done.load(std::memory_order_acquire))
        handover->done.wait(false, std::memory_order_acquire);
    if (handover->failure) std::rethrow_exception(handover->failure);
}

}  // namespace detail

Batch::Batch() : state_(std::make_shared<State>()) {}

void Batch::start(std::function<void()> task) {
    if (serial()) {
        task();
        return;
    }
    Pool& pool = the_pool();
    state_->pending.fetch_add(1, std::memory_order_relaxed);
    try {
        pool.arena.enqueue([state = state_, task = std::move(task)] {
            task();
            if (state->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) state->pending.notify_all();
        });
    } catch (...) {
        state_->pending.fetch_sub(1, std::memory_order_relaxed);  // never started
        throw;
    }
}

void Batch::wait() noexcept {
    for (std::size_t left = state_->pending.load(std::memory_order_acquire); left != 0;
         left = state_->pending.load(std::memory_order_acquire))
        state_->pending.wait(left, std::memory_order_acquire);
}

}  // namespace kavrel::pool
