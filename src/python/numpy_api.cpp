#define KAVREL_DEFINE_NUMPY_API
#include "numpy_api.hpp"

#include "errors.hpp"

#include <atomic>

namespace kavrel::np {

void ensure_imported() {
    static std::atomic<bool> imported{false};
    if (imported.load(std::memory_order_acquire)) return;
    // PyMutex detaches a waiting thread, so this cannot deadlock with a GIL.
    static PyMutex lock;
    PyMutex_Lock(&lock);
    int status = imported.load(std::memory_order_relaxed) ? 0 : _import_array();
    if (status == 0) imported.store(true, std::memory_order_release);
    PyMutex_Unlock(&lock);
    py::check_status(status);
}

}  // namespace kavrel::np
