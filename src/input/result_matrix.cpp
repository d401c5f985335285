#include "result_matrix.hpp"

#include "../core/buffer_cache.hpp"
#include "../python/errors.hpp"
#include "../python/numpy_api.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kavrel {

namespace {

// numpy's allocator for result arrays: a large one takes its buffer from
// the buffer cache and gives it back when numpy frees the array, so the
// next call writes into pages that are already there.  The array owns its
// data as any other would (resize, pickling and views work as usual); only
// numpy's name for its allocator differs.
void* result_malloc(void*, std::size_t size) noexcept {
    try {
        return buffers::allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* result_calloc(void* ctx, std::size_t count, std::size_t elsize) noexcept {
    std::size_t size = 0;
    if (__builtin_mul_overflow(count, elsize, &size)) return nullptr;
    void* p = result_malloc(ctx, size);
    if (p != nullptr) std::memset(p, 0, size);
    return p;
}

// A buffer that is not the cache's is malloc's, for realloc to move; the
// cache's moves into a buffer of the new size.
void* result_realloc(void* ctx, void* p, std::size_t size) noexcept {
    const std::size_t old = buffers::size_of(p);
    if (old == 0) return std::realloc(p, size);
    void* moved = result_malloc(ctx, size);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, p, std::min(old, size));
    buffers::give_back(p);
    return moved;
}

void result_free(void*, void* p, std::size_t size) noexcept { buffers::deallocate(p, size); }

PyDataMem_Handler result_handler = {
    "kavrel_result_allocator",
    1,
    {nullptr, result_malloc, result_calloc, result_realloc, result_free},
};

// The handler's capsule, made once and kept for the process's life: every
// array made with it holds a reference to it.
PyObject* result_handler_capsule() {
    static PyObject* const capsule = PyCapsule_New(&result_handler, "mem_handler", nullptr);
    if (capsule == nullptr) py::fail_with_python_error();
    return capsule;
}

// An uninitialised n_rows x n_cols Fortran-ordered float64 array whose
// buffer comes from result_handler.  numpy takes its allocator from the
// calling context, which is set for this one allocation and restored.
py::Ref new_result_array(std::size_t n_rows, std::size_t n_cols) {
    py::Ref previous = py::check(PyDataMem_SetHandler(result_handler_capsule()));
    npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_cols)};
    py::Ref made = py::Ref::steal(
        PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr, nullptr, 0, /*fortran=*/1, nullptr));
    // The handler goes back whether or not the array was made, with no
    // exception pending meanwhile; numpy's MemoryError is then raised as it
    // stands.
    PyObject* failure = PyErr_GetRaisedException();
    py::Ref restored = py::Ref::steal(PyDataMem_SetHandler(previous.get()));
    if (failure != nullptr) {
        PyErr_SetRaisedException(failure);
        made = {};
    } else if (!restored) {
        made = {};
    }
    return py::check(made.release());
}

ResultMatrix over(py::Ref array) {
    auto* floats = reinterpret_cast<PyArrayObject*>(array.get());
    const auto n_rows = static_cast<std::size_t>(PyArray_DIM(floats, 0));
    const auto n_cols = static_cast<std::size_t>(PyArray_DIM(floats, 1));
    auto* data = n_rows * n_cols == 0 ? nullptr : static_cast<double*>(PyArray_DATA(floats));
    return {std::move(array), Matrix::over(data, n_rows, n_cols)};
}

}  // namespace

ResultMatrix new_result_matrix(std::size_t n_rows, std::size_t n_cols) {
    Matrix::check_size(n_rows, n_cols);
    np::ensure_imported();
    return over(new_result_array(n_rows, n_cols));
}

ResultMatrix copy_result_matrix(PyArrayObject* array) {
    ResultMatrix result = new_result_matrix(static_cast<std::size_t>(PyArray_DIM(array, 0)),
                                            static_cast<std::size_t>(PyArray_DIM(array, 1)));
    py::check_status(PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(result.array.get()), array));
    return result;
}

}  // namespace kavrel
