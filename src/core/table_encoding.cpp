#include "table_encoding.hpp"

#include "failure.hpp"

namespace kavrel {

TableEncoding::TableEncoding(const ColumnLists& lists, Matrix& out)
    : ctx_{lists, SendPtr{out.data(), out.n_rows()}},
      n_cols_(lists.n_cols()),
      results_(n_cols_),
      failures_(n_cols_),
      started_(n_cols_, 0) {
    if (n_cols_ > out.n_cols()) fail(msg::index_out_of_bounds(out.n_cols(), n_cols_ - 1));
}

// The writers store without bounds checks; this is the one check that keeps
// them inside the buffer: the last store of a column must land in its
// column.  A column without a list is left to the worker's guarded lookup.
void TableEncoding::check_fits(std::size_t c) const {
    const std::size_t rows = ctx_.lists.size(c);
    if (rows > ctx_.out.n_rows) [[unlikely]]
        fail(msg::index_out_of_bounds(ctx_.out.n_rows, rows - 1));
}

// A failing column leaves its failure and the other columns run on.
void TableEncoding::encode(std::size_t c) noexcept {
    try {
        results_[c] = encode_column(ctx_, c);
    } catch (...) {
        failures_[c] = std::current_exception();
    }
}

void TableEncoding::start(std::size_t c) {
    check_fits(c);
    started_[c] = 1;
    batch_.start([this, c] { encode(c); });
}

void TableEncoding::forget_started() {
    batch_.wait();
    for (std::size_t c = 0; c < n_cols_; ++c) {
        results_[c].reset();
        failures_[c] = nullptr;
        started_[c] = 0;
    }
}

EncodingInfo TableEncoding::finish() {
    std::vector<std::size_t> rest;
    for (std::size_t c = 0; c < n_cols_; ++c) {
        if (started_[c]) continue;
        check_fits(c);
        rest.push_back(c);
    }
    // The rest goes to the pool as one loop: every loop nested in it then
    // starts on a pool thread, so the calling thread waits for one
    // hand-over, not one per column or per nested loop.
    if (!rest.empty()) {
        pool::execute([&] {
            pool::parallel_for(rest.size(), [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i != end; ++i) encode(rest[i]);
            });
        });
    }
    batch_.wait();
    for (const std::exception_ptr& failure : failures_)
        if (failure) std::rethrow_exception(failure);

    EncodingInfo info;
    info.labels.reserve(n_cols_);
    for (std::optional<ColumnResult>& result : results_) {
        if (!result) continue;
        info.labels.insert_or_assign(result->column, std::move(result->labels));
    }
    for (std::size_t c = 0; c < n_cols_; ++c)
        if (ctx_.lists.is_text(c)) info.object_columns.push_back(c);
    return info;
}

EncodingInfo encode_columns(const ColumnLists& lists, Matrix& out) {
    return TableEncoding(lists, out).finish();
}

}  // namespace kavrel
