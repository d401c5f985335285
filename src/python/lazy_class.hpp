// A Python class made once per process, on first need, and kept until the
// process ends.
#pragma once

#include <Python.h>

#include "errors.hpp"

namespace kavrel::py {

class LazyClass {
public:
    // Borrowed: the class, made by make() (a new reference, or null with an
    // exception set) if no earlier call has made it.  Throws PythonError when
    // making it fails; a later call tries again.  PyMutex detaches a waiting
    // thread from the interpreter, so two threads that need the class at
    // once cannot deadlock, with or without a GIL.
    template <class Make>
    PyObject* get(Make&& make) {
        PyMutex_Lock(&lock_);
        if (class_ == nullptr) class_ = make();
        PyObject* made = class_;
        PyMutex_Unlock(&lock_);
        if (made == nullptr) throw PythonError{};
        return made;
    }

private:
    PyMutex lock_{};
    PyObject* class_ = nullptr;  // owned for the life of the process
};

}  // namespace kavrel::py
