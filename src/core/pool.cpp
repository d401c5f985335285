#include "pool.hpp"

#include "failure.hpp"

#include <sched.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/task_scheduler_observer.h>

namespace kavrel::pool {

namespace {

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

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    int fallback = tbb::info::default_concurrency();
    return fallback > 0 ? static_cast<std::size_t>(fallback) : 1;
}

// Marks every worker that enters the pool, so its diagnostics call it
// unnamed.  Threads that only wait for a loop are not pool threads.
class PoolThreadMarker final : public tbb::task_scheduler_observer {
public:
    explicit PoolThreadMarker(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
    void on_scheduler_entry(bool is_worker) override {
        if (is_worker) mark_pool_thread();
    }
};

struct Pool {
    explicit Pool(std::size_t threads) {
        int concurrency = threads > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(threads);
        thread_count = static_cast<std::size_t>(concurrency);
        // oneTBB caps every arena at the process-wide parallelism limit (the
        // core count by default) and warns when an arena asks for more.
        // Raising the limit first, for the life of the pool, gives the arena
        // the threads it asks for and keeps oneTBB silent.
        if (tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism) <
            static_cast<std::size_t>(concurrency)) {
            limit.emplace(tbb::global_control::max_allowed_parallelism, concurrency);
        }
        arena.initialize(concurrency);
        marker.emplace(arena);
    }

    std::size_t thread_count = 1;
    std::optional<tbb::global_control> limit;
    tbb::task_arena arena;
    std::optional<PoolThreadMarker> marker;
};

Pool& the_pool() {
    // Never destroyed: loops may still run while static destructors do, and
    // the process ends without a shutdown step.
    static Pool* pool = new Pool(thread_count_for(std::getenv("RAYON_NUM_THREADS"),
                                                  std::getenv("RAYON_RS_NUM_CPUS"), available_processors()));
    return *pool;
}

}  // namespace

std::size_t thread_count_for(const char* num_threads, const char* num_cpus, std::size_t available) {
    if (auto n = parse_count(num_threads)) {
        if (*n > 0) return *n;
        return available;  // 0 asks for the default
    }
    if (auto n = parse_count(num_cpus); n && *n > 0) return *n;
    return available;
}

tbb::task_arena& arena() {
    return the_pool().arena;
}

std::size_t thread_count() {
    return the_pool().thread_count;
}

}  // namespace kavrel::pool
