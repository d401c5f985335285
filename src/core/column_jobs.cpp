#include "column_jobs.hpp"

namespace kavrel {

ColumnJobs::ColumnJobs(std::size_t n_cols, std::function<void(std::size_t)> job)
    : job_(std::move(job)), failures_(n_cols), started_(n_cols, 0) {}

// A failing column leaves its failure and the other columns run on.
void ColumnJobs::run(std::size_t c) noexcept {
    try {
        job_(c);
    } catch (...) {
        failures_[c] = std::current_exception();
    }
}

void ColumnJobs::start(std::size_t c) {
    started_.at(c) = 1;
    batch_.start([this, c] { run(c); });
}

void ColumnJobs::forget_started() {
    batch_.wait();
    std::fill(failures_.begin(), failures_.end(), nullptr);
    std::fill(started_.begin(), started_.end(), 0);
}

void ColumnJobs::finish() {
    std::vector<std::size_t> rest;
    for (std::size_t c = 0; c < started_.size(); ++c)
        if (!started_[c]) rest.push_back(c);
    // The rest goes to the pool as one loop: every loop nested in it then
    // starts on a pool thread, so the calling thread waits for one
    // hand-over, not one per column or per nested loop.
    if (!rest.empty()) {
        pool::execute([&] {
            pool::parallel_for(rest.size(), [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i != end; ++i) run(rest[i]);
            });
        });
    }
    batch_.wait();
    for (const std::exception_ptr& failure : failures_)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace kavrel
