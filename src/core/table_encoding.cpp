#include "table_encoding.hpp"

#include "failure.hpp"

namespace kavrel {

TableEncoding::TableEncoding(ColumnLists& lists, Matrix& out)
    : lists_(lists),
      ctx_{lists, SendPtr{out.data(), out.n_rows()}},
      n_cols_(lists.n_cols()),
      results_(n_cols_),
      jobs_(n_cols_, [this](std::size_t c) {
          check_fits(c);
          results_[c] = encode_column(ctx_, c);
          if (results_[c]) lists_.release_texts(c);
      }) {
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

void TableEncoding::start(std::size_t c) {
    check_fits(c);
    jobs_.start(c);
}

void TableEncoding::forget_started() {
    jobs_.forget_started();
    for (std::optional<ColumnResult>& result : results_) result.reset();
}

EncodingInfo TableEncoding::finish() {
    jobs_.finish();
    EncodingInfo info;
    info.labels.reserve(n_cols_);
    for (std::optional<ColumnResult>& result : results_) {
        if (!result) continue;
        info.labels.insert_or_assign(result->column, std::move(result->labels));
        info.counts.insert_or_assign(result->column, std::move(result->counts));
    }
    for (std::size_t c = 0; c < n_cols_; ++c)
        if (ctx_.lists.is_text(c)) info.object_columns.push_back(c);
    return info;
}

EncodingInfo encode_columns(ColumnLists& lists, Matrix& out) {
    return TableEncoding(lists, out).finish();
}

}  // namespace kavrel
