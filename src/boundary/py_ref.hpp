// An owned reference to a Python object, released when it goes out of scope.
// Every new reference that the boundary receives goes into one of these, so
// that no error path (C++ exception or early return) can leak it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vaskel::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null).
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// Takes over a new reference returned by a C API call; a null result means
// the call failed, and the pending Python error is thrown (see errors.hpp).
PyRef checked(PyObject* o);

}  // namespace vaskel::py
