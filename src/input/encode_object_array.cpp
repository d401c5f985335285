#include "encode_object_array.hpp"

#include "../core/table_encoding.hpp"
#include "read_table.hpp"

namespace kavrel {

DriverResult encode_object_array(py::Handle obj, const OUT& kind) {
    auto [n_rows, n_cols] = read_shape(obj);
    // Checked and allocated before any cell is read.
    Matrix matrix = Matrix::zeros(n_rows, n_cols);
    py::Ref source = kind.is_table() ? read_values(obj) : py::Ref::borrow(obj.get());
    ColumnLists lists(n_cols);
    read_cells(source, n_rows, n_cols, lists);
    EncodingInfo info = encode_columns(lists, matrix);
    return {std::move(matrix), std::move(info)};
}

}  // namespace kavrel
