// One job per column of a table, run on the pool: a column may be started
// as soon as it is read whole, so that the pool works on it while the
// calling thread reads the next ones; finish() runs the rest.
#pragma once

#include "pool.hpp"

#include <cstddef>
#include <exception>
#include <functional>
#include <vector>

namespace kavrel {

class ColumnJobs {
public:
    // job(c) does column c's work; it may throw.  Whatever it touches must
    // outlive these jobs, whose destruction waits for every column started.
    ColumnJobs(std::size_t n_cols, std::function<void(std::size_t)> job);

    // Column c's job starts on the pool now.
    void start(std::size_t c);

    // Waits for every column started and forgets that they were, failures
    // included: their columns run again in finish().
    void forget_started();

    // Runs the jobs of the columns not started yet, all at once, and waits
    // for every column.  A failure of any column is raised again here, on
    // the calling thread: the lowest failing column's, however the pool
    // scheduled them.
    void finish();

    bool started(std::size_t c) const noexcept { return started_[c] != 0; }

private:
    void run(std::size_t c) noexcept;

    std::function<void(std::size_t)> job_;
    std::vector<std::exception_ptr> failures_;  // by column
    std::vector<unsigned char> started_;
    pool::Batch batch_;  // last: destroyed, so waited for, first
};

}  // namespace kavrel
