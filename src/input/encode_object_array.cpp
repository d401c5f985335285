#include "encode_object_array.hpp"

#include "../core/table_encoding.hpp"
#include "frame_columns.hpp"
#include "read_table.hpp"
#include "result_matrix.hpp"

namespace kavrel {

DriverResult encode_object_array(py::Handle obj, const OUT& kind) {
    auto [n_rows, n_cols] = read_shape(obj);
    // Checked and allocated before any cell is read.
    ResultMatrix result = new_result_matrix(n_rows, n_cols);
    ColumnLists lists(n_cols);
    lists.write_numbers_to(result.matrix.data(), n_rows);
    // Each text column is encoded on the pool as soon as it is read whole,
    // while this thread reads the next.  Declared after the lists: leaving
    // early (a cell's code raised) waits for the columns started before the
    // lists go.
    TableEncoding encoding(lists, result.matrix);
    lists.on_text_read([&encoding](std::size_t c) { encoding.start(c); });
    // A pandas frame is read from its columns' own storage where it can be
    // with the outcome of its "values", which the other frames give.
    if (!kind.is_table())
        read_cells(obj, n_rows, n_cols, lists);
    else if (!read_frame_columns(obj, n_rows, n_cols, lists)) {
        // The road of "values" reads every column again and writes every
        // column of the result; what the other road read or started goes.
        encoding.forget_started();
        lists.reset();
        read_cells(read_values(obj), n_rows, n_cols, lists);
    }
    EncodingInfo info = encoding.finish();
    return {std::move(result), std::move(info)};
}

}  // namespace kavrel
