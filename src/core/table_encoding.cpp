#include "table_encoding.hpp"

#include "column_worker.hpp"
#include "failure.hpp"
#include "pool.hpp"

#include <exception>
#include <optional>

namespace kavrel {

namespace {

// The writers store without bounds checks; this is the one check that keeps
// them inside the buffer: the last store of every column must land in its
// column.  A column without a list is left to the worker's guarded lookup.
void check_fits(const ColumnLists& lists, const Matrix& out) {
    const std::size_t n_cols = lists.column_is_text.size();
    if (n_cols > out.n_cols()) fail(msg::index_out_of_bounds(out.n_cols(), n_cols - 1));
    for (std::size_t c = 0; c < n_cols; ++c) {
        std::size_t rows = 0;
        if (lists.column_is_text[c]) {
            if (c < lists.text_cells.size()) rows = lists.text_cells[c].size();
        } else if (c < lists.number_cells.size()) {
            rows = lists.number_cells[c].size();
        }
        if (rows > out.n_rows()) [[unlikely]]
            fail(msg::index_out_of_bounds(out.n_rows(), rows - 1));
    }
}

}  // namespace

EncodingInfo encode_columns(const ColumnLists& lists, Matrix& out) {
    const std::size_t n_cols = lists.column_is_text.size();
    check_fits(lists, out);

    EncodingInfo info;
    info.labels.reserve(n_cols);

    const ColumnContext ctx{lists, SendPtr{out.data(), out.n_rows()}};
    // Indexed by column, so the results come out in column order whichever
    // thread ran which column.  A failing column leaves its failure here and
    // the other columns run on; the lowest failing column's failure is the
    // one raised, however the pool scheduled them.
    std::vector<std::optional<ColumnResult>> results(n_cols);
    std::vector<std::exception_ptr> failures(n_cols);
    auto encode_range = [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c != end; ++c) {
            try {
                results[c] = encode_column(ctx, c);
            } catch (...) {
                failures[c] = std::current_exception();
            }
        }
    };
    // The whole loop goes to the pool at once, a table of one column too:
    // every loop nested in it then starts on a pool thread, so the calling
    // thread waits for one hand-over, not one per nested loop.
    if (n_cols > 0) pool::execute([&] { pool::parallel_for(n_cols, encode_range); });
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);

    for (std::optional<ColumnResult>& result : results) {
        if (!result) continue;
        info.labels.insert_or_assign(result->column, std::move(result->labels));
    }
    for (std::size_t c = 0; c < n_cols; ++c)
        if (lists.column_is_text[c]) info.object_columns.push_back(c);
    return info;
}

}  // namespace kavrel
