// How failures travel inside the module, and the one boundary where they
// become the raised Python exception.
//
// A Python operation that fails leaves its exception set and throws
// PythonError; an internal failure throws InternalFailure (from any thread:
// the pool carries it to the thread that started the loop).  Every entry
// point runs its body in guard(), which turns either into the raised
// exception and returns the failure value.
#pragma once

#include <Python.h>

#include "../core/failure.hpp"
#include "../core/messages.hpp"
#include "ref.hpp"

#include <exception>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kavrel::py {

// "A Python exception is set": carries nothing, the interpreter holds it.
struct PythonError {};

// Makes sure an exception is set after an operation reported failure:
// one that set none is turned into SystemError.
void ensure_error_set() noexcept;

// Steals `p`, a new reference; throws PythonError (after ensure_error_set)
// when it is null.
Ref check(PyObject* p);
// Throws PythonError when `status` is negative.
void check_status(int status);

// After a failed Python call whose ordinary exception has a meaning of its
// own ("not a number", "no direct road"): clears it.  MemoryError and what
// is not an Exception at all (KeyboardInterrupt, SystemExit) end the call
// and reach the caller as they are: throws PythonError.
void clear_ordinary_error();

// Sets `type` with the message PyUnicode_FromFormat(format, ...) makes, then
// throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// TypeError "'<type of obj>' object is not an instance of '<expected>'".
[[noreturn]] void raise_not_an_instance(Handle obj, const char* expected);

// Ends the call with an internal failure whose message is `what`, ": " and
// a rendering of the pending Python exception (class, repr of the value,
// traceback), which is cleared.
[[noreturn]] void fail_with_python_error(std::string_view what = msg::mandatory_step_failed,
                                         std::source_location where = std::source_location::current());

// Raises PanicException(message).  Should that fail with an internal
// failure of its own, the process cannot recover: it prints "uncaught panic
// at ffi boundary" to standard error and aborts.
void raise_panic(const std::string& message) noexcept;

// Runs `body` and turns what it throws into the raised Python exception:
// an error already set stays as it is, an internal failure becomes
// PanicException, exhausted memory or threads MemoryError, anything else an
// internal failure too.  Returns `failure` then.
template <class Result, class Body>
Result guard(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        ensure_error_set();
    } catch (const InternalFailure& f) {
        raise_panic(f.message());
    } catch (const ResourceExhausted& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can hold
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(std::string(msg::unknown_failure));
    }
    return failure;
}

}  // namespace kavrel::py
