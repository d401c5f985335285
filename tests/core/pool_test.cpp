#include "core/pool.hpp"
#include "core/failure.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <source_location>
#include <string>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/blocked_range.h>

namespace {

using kavrel::InternalFailure;
namespace pool = kavrel::pool;

TEST(Pool, SizeFollowsTheEnvironment) {
    EXPECT_EQ(pool::thread_count_for("3", nullptr, 2), 3u);
    EXPECT_EQ(pool::thread_count_for("64", "5", 16), 64u);  // more than the cores
    // Far more than the cores: threads_per_processor each, whichever
    // variable asks.
    static_assert(pool::threads_per_processor == 4);
    EXPECT_EQ(pool::thread_count_for("64", "5", 2), 8u);
    EXPECT_EQ(pool::thread_count_for("100000", nullptr, 3), 12u);
    EXPECT_EQ(pool::thread_count_for(nullptr, "100000", 3), 12u);
    EXPECT_EQ(pool::thread_count_for("18446744073709551615", nullptr, 1), 4u);
    EXPECT_EQ(pool::thread_count_for("9", nullptr, 0), 4u);  // no processor reported counts as one
    EXPECT_EQ(pool::thread_count_for("+4", nullptr, 2), 4u);
    // 0 asks for the default without looking further.
    EXPECT_EQ(pool::thread_count_for("0", "5", 2), 2u);
    // Not an unsigned integer: RAYON_RS_NUM_CPUS decides.
    for (const char* bad : {"", "-1", " 3", "3 ", "three", "3.0", "+", "99999999999999999999999"})
        EXPECT_EQ(pool::thread_count_for(bad, "5", 2), 5u) << '"' << bad << '"';
    EXPECT_EQ(pool::thread_count_for(nullptr, "5", 2), 5u);
    EXPECT_EQ(pool::thread_count_for(nullptr, "0", 2), 2u);
    EXPECT_EQ(pool::thread_count_for(nullptr, "x", 2), 2u);
    EXPECT_EQ(pool::thread_count_for(nullptr, nullptr, 6), 6u);

    // This process's pool, whose size scripts/core-tests sets.
    if (const char* set = std::getenv("RAYON_NUM_THREADS"); set && std::atoi(set) > 0) {
        EXPECT_EQ(pool::thread_count(), std::min(static_cast<std::size_t>(std::atoi(set)),
                                                 pool::threads_per_processor * pool::available_processors()));
    }
}

// A start that would exhaust the system's threads is cut to what it can run.
TEST(Pool, StartableThreadsStopsWhereTheSystemDoes) {
    EXPECT_EQ(pool::startable_threads(3, std::size_t{1} << 20), 3u);
    EXPECT_EQ(pool::startable_threads(0, std::size_t{1} << 20), 0u);
    // Stacks of 2^40 bytes: no address space holds more than a few hundred.
    EXPECT_LT(pool::startable_threads(1000, std::size_t{1} << 40), 1000u);
}

// Every one of the pool's threads really runs: as many tasks as threads all
// wait for each other, which only ends when all of them run at once, also
// when the pool has more threads than the machine has cores.  The thread
// that hands the loop over runs none of it.  A worker's diagnostic calls it
// unnamed.
TEST(Pool, AllThreadsRunAtOnceAndWorkersAreUnnamed) {
    const std::size_t n = pool::thread_count();
    const auto caller = std::this_thread::get_id();
    std::atomic<std::size_t> arrived{0};
    std::atomic<bool> all_met{true};
    std::atomic<bool> worker_failed{false};
    testing::internal::CaptureStderr();
    std::atomic<bool> ran_on_caller{false};
    pool::execute([&] {
        tbb::parallel_for(
            std::size_t{0}, n,
            [&](std::size_t) {
                if (std::this_thread::get_id() == caller) ran_on_caller = true;
                arrived.fetch_add(1);
                auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (arrived.load() < n) {
                    if (std::chrono::steady_clock::now() > deadline) {
                        all_met = false;
                        break;
                    }
                    std::this_thread::yield();
                }
                if (std::this_thread::get_id() != caller && !worker_failed.exchange(true)) {
                    try {
                        kavrel::fail("raised on a worker");
                    } catch (const InternalFailure&) {
                    }
                }
            },
            tbb::simple_partitioner());
    });
    std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(all_met) << "only " << arrived.load() << " of " << n << " threads ran at once";
    EXPECT_FALSE(ran_on_caller);
    EXPECT_FALSE(pool::on_pool_thread());
    if (n > 1) {
        EXPECT_NE(diagnostics.find("thread '<unnamed>' panicked at "), std::string::npos) << diagnostics;
        EXPECT_NE(diagnostics.find(":\nraised on a worker\n"), std::string::npos) << diagnostics;
    }
}

TEST(Failure, DiagnosticNamesThreadPositionAndMessage) {
    std::string expected_position;
    auto fail_here = [&] {
        auto where = std::source_location::current();
        expected_position = std::string(where.file_name()) + ":" + std::to_string(where.line()) + ":" +
                            std::to_string(where.column());
        kavrel::fail("some message", where);
    };
    auto diagnostic_of = [&] {
        testing::internal::CaptureStderr();
        try {
            fail_here();
        } catch (const InternalFailure& f) {
            EXPECT_EQ(f.message(), "some message");
            EXPECT_STREQ(f.what(), "some message");
        }
        return testing::internal::GetCapturedStderr();
    };

    std::string named;
    std::thread([&] {
        pthread_setname_np(pthread_self(), "kv-caller");
        named = diagnostic_of();
    }).join();
    EXPECT_EQ(named, "thread 'kv-caller' panicked at " + expected_position + ":\nsome message\n");

    std::string unnamed;
    std::thread([&] {
        pthread_setname_np(pthread_self(), "");
        unnamed = diagnostic_of();
    }).join();
    EXPECT_EQ(unnamed, "thread '<unnamed>' panicked at " + expected_position + ":\nsome message\n");

    std::string pool_thread;
    std::thread([&] {
        pthread_setname_np(pthread_self(), "kv-worker");
        kavrel::set_pool_thread(true);
        pool_thread = diagnostic_of();
    }).join();
    EXPECT_EQ(pool_thread, "thread '<unnamed>' panicked at " + expected_position + ":\nsome message\n");

    EXPECT_EQ(kavrel::msg::index_out_of_bounds(3, 18446744073709551615u),
              "index out of bounds: the len is 3 but the index is 18446744073709551615");
}

// A failure deep inside nested loops arrives on the thread that started the
// outer loop, as the same exception with the same message, and only after
// every other piece has stopped touching the loop's state.
TEST(Pool, FailureInANestedLoopReachesTheStartingThread) {
    testing::internal::CaptureStderr();
    std::atomic<int> running{0};
    try {
        pool::parallel_for(16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i != end; ++i) {
                pool::parallel_for(1000, [&, i](std::size_t b, std::size_t e) {
                    running.fetch_add(1);
                    for (std::size_t j = b; j != e; ++j)
                        if (i == 11 && j == 517) {
                            running.fetch_sub(1);
                            kavrel::fail("no entry found for key");
                        }
                    running.fetch_sub(1);
                });
            }
        });
        ADD_FAILURE() << "the failure was lost";
    } catch (const InternalFailure& f) {
        EXPECT_EQ(f.message(), "no entry found for key");
        EXPECT_EQ(running.load(), 0);
    }
    std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find("pool_test.cpp:"), std::string::npos) << diagnostics;
    EXPECT_NE(diagnostics.find("\nno entry found for key\n"), std::string::npos) << diagnostics;

    // The pool stays usable afterwards, and a one-element loop runs on the
    // caller.
    std::atomic<std::size_t> sum{0};
    pool::parallel_for(100000, [&](std::size_t b, std::size_t e) {
        std::size_t s = 0;
        for (std::size_t j = b; j != e; ++j) s += j;
        sum += s;
    });
    EXPECT_EQ(sum.load(), std::size_t{100000} * 99999 / 2);
    std::thread::id ran_on;
    pool::parallel_for(1, [&](std::size_t, std::size_t) { ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// A sum over a range, as a parallel_reduce body.
struct RangeSum {
    std::size_t total = 0;
    RangeSum() = default;
    RangeSum(RangeSum&, tbb::split) {}
    void operator()(const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) total += i;
    }
    void join(RangeSum& other) { total += other.total; }
};

// A fork() child of a process whose pool exists has none of its threads:
// every road onto the pool runs on the child's one thread, and gives what
// the pool gives; the parent's pool goes on.
TEST(Pool, AForkedChildRunsEveryLoopOnItsOwnThread) {
    ASSERT_GE(pool::thread_count(), 1u);  // the pool exists before the fork
    EXPECT_FALSE(pool::serial());
    const std::size_t n = 100000, sum_below_n = n * (n - 1) / 2;
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const auto self = std::this_thread::get_id();
        std::atomic<std::size_t> elsewhere{0};
        auto here = [&] {
            if (std::this_thread::get_id() != self) ++elsewhere;
        };
        std::size_t looped = 0;
        pool::parallel_for(n, [&](std::size_t b, std::size_t e) {
            here();
            for (std::size_t i = b; i != e; ++i) looped += i;
        });
        RangeSum reduced;
        pool::parallel_reduce(n, reduced);
        std::vector<std::size_t> sorted(n);
        std::iota(sorted.rbegin(), sorted.rend(), std::size_t{0});
        pool::parallel_sort(sorted.begin(), sorted.end(), std::less<>());
        bool batch_ran = false;
        {
            pool::Batch batch;
            batch.start([&] {
                here();
                batch_ran = true;
            });
        }
        pool::execute(here);
        bool ok = pool::serial() && pool::thread_count() == 1 && elsewhere == 0 && looped == sum_below_n &&
                  reduced.total == sum_below_n && std::is_sorted(sorted.begin(), sorted.end()) && batch_ran;
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    pid_t ended = 0;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         (ended = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child hung";
    }
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    EXPECT_FALSE(pool::serial());
    RangeSum reduced;
    pool::parallel_reduce(n, reduced);
    EXPECT_EQ(reduced.total, sum_below_n);
}

}  // namespace
