// Ownership of Python references, made visible in the code: Ref owns one,
// Handle borrows one.
#pragma once

#include <Python.h>

#include <utility>

namespace kavrel::py {

// Owns one strong reference (or nothing).  Built only through the named
// factories, never implicitly from a raw pointer.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller (a new reference for them).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A borrowed object, for parameters: the caller keeps it alive for the
// call, and the callee takes a Ref::borrow of it to keep it any longer.
class Handle {
public:
    Handle(PyObject* p) noexcept : ptr_(p) {}
    Handle(const Ref& ref) noexcept : ptr_(ref.get()) {}

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_;
};

}  // namespace kavrel::py
