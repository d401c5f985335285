#include "column_worker.hpp"

#include "failure.hpp"
#include "label_encode.hpp"
#include "pool.hpp"

#include <algorithm>

namespace kavrel {

std::optional<ColumnResult> encode_column(const ColumnContext& ctx, std::size_t col) {
    const ColumnLists& lists = ctx.lists;
    if (!lists.is_text(col)) {
        copy_numbers(ctx, col, lists.numbers(col));
        return std::nullopt;
    }
    // No bounds check per element: every column list holds at most n_rows
    // values (encode_columns checks this once before its loop).
    const TextColumn& cells = lists.texts(col);
    ColumnResult result{col, {}, {}};
    result.labels = label_encode(cells, std::span<double>(ctx.out.column(col), cells.size()), result.counts);
    return result;
}

void copy_numbers(const ColumnContext& ctx, std::size_t col, const NumberList& values) {
    double* out = ctx.out.column(col);
    pool::parallel_for(values.size(), [&](std::size_t begin, std::size_t end) {
        std::copy(values.begin() + begin, values.begin() + end, out + begin);
    });
}

}  // namespace kavrel
