// Internal failures: a check that cannot fail for well-formed state failed
// after all.  Pure C++ (no Python.h): the core throws these from any thread;
// the pool carries them to the thread that started the loop, and the entry
// point's guard turns them into the module's PanicException.
#pragma once

#include "messages.hpp"

#include <cstddef>
#include <exception>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kavrel {

class InternalFailure : public std::exception {
public:
    InternalFailure(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// The system lacks what a call needs (memory, threads): no fault of the
// module's, and the entry point raises MemoryError with the message.
class ResourceExhausted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the diagnostic (thread name, source position, message) to standard
// error on the calling thread, then throws InternalFailure.
[[noreturn]] void fail(std::string_view message,
                       std::source_location where = std::source_location::current());

// Guarded element access for the per-column lists: fails with the
// index-out-of-bounds message when `index` is not below `v.size()`.
template <class Vector>
decltype(auto) checked_at(Vector& v, std::size_t index,
                          std::source_location where = std::source_location::current()) {
    if (index >= v.size()) [[unlikely]]
        fail(msg::index_out_of_bounds(v.size(), index), where);
    return v[index];
}

// Whether the calling thread is inside the pool, whose threads a diagnostic
// calls "<unnamed>".  Set by the pool as its threads enter and leave it.
void set_pool_thread(bool inside) noexcept;
bool is_pool_thread() noexcept;

}  // namespace kavrel
