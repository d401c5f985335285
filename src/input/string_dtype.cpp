// The NpyString API exists from numpy 2.0 on; StringDType arrays exist only
// there too, so the runtime check below never turns one away.
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION

#include "string_dtype.hpp"

#include "../python/ref.hpp"
#include "cell_rules.hpp"
#include "utf8_check.hpp"

#include <string_view>

namespace kavrel {

namespace {

// Holds the allocator of a StringDType descriptor: numpy's lock on its
// strings, taken for the whole read.  No Python code may run while it is
// held (that code could reach the same array and wait for the lock).
class AllocatorLock {
public:
    explicit AllocatorLock(PyArray_StringDTypeObject* descr) noexcept
        : allocator_(NpyString_acquire_allocator(descr)) {}
    ~AllocatorLock() { NpyString_release_allocator(allocator_); }
    AllocatorLock(const AllocatorLock&) = delete;
    AllocatorLock& operator=(const AllocatorLock&) = delete;

    npy_string_allocator* get() const noexcept { return allocator_; }

private:
    npy_string_allocator* allocator_;
};

}  // namespace

std::optional<CellPosition> read_string_dtype_cells(PyArrayObject* array, std::size_t n_rows,
                                                    std::size_t n_cols, ColumnLists& lists) {
    if (PyArray_RUNTIME_VERSION < NPY_2_0_API_VERSION) return std::nullopt;
    auto* descr = reinterpret_cast<PyArray_StringDTypeObject*>(PyArray_DESCR(array));
    // A missing string reads as the descriptor's na_object, the same object
    // every time: read here only when its reading runs no Python code.
    PyObject* na_object = descr->na_object;
    if (na_object != nullptr && !runs_no_python_code(na_object)) return std::nullopt;
    py::Ref na_held = py::Ref::borrow(na_object);

    const char* data = PyArray_BYTES(array);
    const npy_intp row_stride = PyArray_STRIDE(array, 0), col_stride = PyArray_STRIDE(array, 1);
    AllocatorLock lock(descr);
    for (std::size_t c = 0; c < n_cols; ++c) {
        for (std::size_t r = 0; r < n_rows; ++r) {
            const auto* packed = reinterpret_cast<const npy_packed_static_string*>(
                data + static_cast<npy_intp>(r) * row_stride + static_cast<npy_intp>(c) * col_stride);
            npy_static_string text = {0, nullptr};
            const int is_null = NpyString_load(lock.get(), packed, &text);
            if (is_null == 1 && na_object != nullptr) {
                add_cell(lists, c, na_object);
                continue;
            }
            // A failed load, or bytes that are no text: the item read
            // reports it as it does.
            if (is_null != 0 || !is_valid_utf8(text.buf, text.size)) return CellPosition{c, r};
            // A string is never a number: the column is text from here on.
            lists.text_column(c).push_back(std::string_view(text.buf, text.size));
        }
    }
    return CellPosition{n_cols, 0};
}

}  // namespace kavrel
