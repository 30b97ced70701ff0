// The binding's window on the interpreter: limited C API, owned references, pending errors.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vedov::binding {

/// Thrown to unwind to the method boundary when a Python exception is already set.
struct PythonError {};

/// An owned (strong) reference, released on destruction.
class Ref {
public:
    Ref() noexcept = default;
    /// Takes over a new reference (which may be null).
    explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
    /// A new reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    /// Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

/// `result` as an owned reference; throws PythonError when it is null (the API call failed).
inline Ref check(PyObject* result) {
    if (!result) throw PythonError{};
    return Ref(result);
}

/// Throws PythonError when an API call reported failure with -1.
inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}

}  // namespace vedov::binding
