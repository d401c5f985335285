// Internal failures: a check that cannot fail for well-formed state failed
// after all.  Pure C++ (no Python.h): the core throws these from any thread;
// the pool carries them to the thread that started the loop, and the entry
// point's guard turns them into the module's PanicException.
#pragma once

#include "messages.hpp"

#include <cstddef>
#include <exception>
#include <source_location>
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

// Marks the calling thread as a pool thread, whose diagnostic names it
// "<unnamed>".  Called by the pool when a worker thread joins it.
void mark_pool_thread() noexcept;

}  // namespace kavrel
