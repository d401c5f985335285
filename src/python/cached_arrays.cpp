#include "cached_arrays.hpp"

#include "../core/buffer_cache.hpp"
#include "errors.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kavrel::np {

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

// What `make` returns, an array that numpy allocates with result_handler.
// numpy takes its allocator from the calling context, which is set for this
// one allocation and restored.
template <class Make>
py::Ref made_with_result_handler(Make make) {
    py::Ref previous = py::check(PyDataMem_SetHandler(result_handler_capsule()));
    py::Ref made = py::Ref::steal(make());
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

}  // namespace

py::Ref cached_float64_array(std::size_t n_rows, std::size_t n_cols) {
    ensure_imported();
    npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_cols)};
    return made_with_result_handler(
        [&] { return PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr, nullptr, 0, /*fortran=*/1, nullptr); });
}

py::Ref cached_object_array(int ndim, npy_intp* dims) {
    ensure_imported();
    return made_with_result_handler([&] { return PyArray_SimpleNew(ndim, dims, NPY_OBJECT); });
}

}  // namespace kavrel::np
