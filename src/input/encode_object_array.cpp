#include "encode_object_array.hpp"

#include "../core/messages.hpp"
#include "../core/table_encoding.hpp"
#include "../core/transform.hpp"
#include "../python/errors.hpp"
#include "../python/utf8.hpp"
#include "frame_columns.hpp"
#include "polars_columns.hpp"
#include "read_table.hpp"
#include "result_matrix.hpp"

namespace kavrel {

namespace {

// Reads the table into `lists`, the same for encode and transform.  A pandas
// frame is read from its columns' own storage where it can be with the
// outcome of its "values", which the other frames give.  When that road
// gives up, `forget` drops what was started from its columns and the road
// of "values" reads every column again.
template <class Forget>
void read_table(py::Handle obj, const OUT& kind, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists,
                Forget&& forget) {
    if (!kind.is_table()) {
        read_cells(obj, n_rows, n_cols, lists);
    } else if (kind.polars) {
        read_polars_columns(obj, n_rows, n_cols, lists);
    } else if (!read_frame_columns(obj, n_rows, n_cols, lists)) {
        forget();
        lists.reset();
        read_cells(read_values(obj), n_rows, n_cols, lists);
    }
}

}  // namespace

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
    read_table(obj, kind, n_rows, n_cols, lists, [&encoding] { encoding.forget_started(); });
    EncodingInfo info = encoding.finish();
    return {std::move(result), std::move(info)};
}

namespace {

void check_columns(const OUT& kind, std::size_t n_cols, const EncodingInfo& learned) {
    if (n_cols != learned.n_columns)
        py::raise(PyExc_ValueError, msg::width_differs, static_cast<Py_ssize_t>(n_cols),
                  static_cast<Py_ssize_t>(learned.n_columns));
    if (!kind.is_table() || !learned.frame_columns) return;
    const std::vector<std::string>& given = *kind.labels;
    const std::vector<std::string>& known = *learned.frame_columns;
    for (std::size_t c = 0; c < given.size() && c < known.size(); ++c)
        if (given[c] != known[c])
            py::raise(PyExc_ValueError, msg::frame_column_differs, static_cast<Py_ssize_t>(c), given[c].c_str(),
                      known[c].c_str());
}

}  // namespace

ResultMatrix transform_object_array(py::Handle obj, const OUT& kind, const EncodingInfo& learned,
                                    LabelIndexes& indexes, const Coding& coding) {
    auto [n_rows, n_cols] = read_shape(obj);
    check_columns(kind, n_cols, learned);
    ResultMatrix result = new_result_matrix(n_rows, n_cols);
    ColumnLists lists(n_cols);
    lists.write_numbers_to(result.matrix.data(), n_rows);
    // As in encode, each learned text column is coded on the pool as soon
    // as it is read whole.  A text column learned as numbers is refused
    // below, once the table is read.
    TableTransform coder(lists, learned, indexes, result.matrix, coding);
    lists.on_text_read([&](std::size_t c) {
        if (learned.labels.contains(c)) coder.start(c);
    });
    read_table(obj, kind, n_rows, n_cols, lists, [&coder] { coder.forget_started(); });
    for (std::size_t c = 0; c < n_cols; ++c)
        if (lists.is_text(c) && !learned.labels.contains(c))
            py::raise(PyExc_ValueError, msg::not_a_number_in_numeric_column, static_cast<Py_ssize_t>(c),
                      static_cast<Py_ssize_t>(lists.text_from(c)));
    coder.finish();
    if (auto unknown = coder.first_unknown()) {
        py::Ref text = py::to_str(unknown->second);
        py::raise(PyExc_ValueError, msg::unknown_label, text.get(), static_cast<Py_ssize_t>(unknown->first));
    }
    return result;
}

}  // namespace kavrel
