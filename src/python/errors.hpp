// How Python failures travel inside the module: a Python operation that
// fails leaves its exception set and throws PythonError; the entry point's
// guard returns the failure value with the exception still set.
#pragma once

#include "pyref.hpp"

#include <source_location>
#include <string>
#include <string_view>

namespace kavrel::py {

// "A Python exception is set": carries nothing, the interpreter holds it.
struct PythonError {};

// Makes sure an exception is set after an operation reported failure:
// one that set none is turned into SystemError.
void ensure_error_set() noexcept;

// Throws PythonError (after ensure_error_set) when `p` is null; otherwise
// takes over the new reference.
Ref check(PyObject* p);
// Throws PythonError when `status` is negative.
void check_status(int status);

// TypeError "'<type of obj>' object is not an instance of '<expected>'".
[[noreturn]] void raise_not_an_instance(PyObject* obj, const char* expected);

// Text opening the message of a failed step whose success is taken for
// granted.
inline constexpr std::string_view mandatory_step_failed = "a required step failed";

// Ends the call with an internal failure whose message is `what`, ": " and
// a rendering of the pending Python exception (class, repr of the value,
// traceback), which is cleared.
[[noreturn]] void fail_with_python_error(
    std::string_view what = mandatory_step_failed,
    std::source_location where = std::source_location::current());

}  // namespace kavrel::py
