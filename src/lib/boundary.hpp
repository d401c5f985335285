// The one exception boundary of every entry point into the module.
#pragma once

#include <Python.h>

#include "../python/errors.hpp"
#include "failure.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace kavrel {

// Raises PanicException(message).  Should that fail with an internal
// failure of its own, the process cannot recover: it prints "uncaught panic
// at ffi boundary" to standard error and aborts.
void raise_panic(const std::string& message) noexcept;

// Runs `body` and turns what it throws into the raised Python exception:
// an error already set stays as it is, an internal failure becomes
// PanicException, exhausted memory MemoryError.  Returns `failure` then.
template <class Result, class Body>
Result guard(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const py::PythonError&) {
        py::ensure_error_set();
    } catch (const InternalFailure& f) {
        raise_panic(f.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can hold
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    }
    return failure;
}

}  // namespace kavrel
