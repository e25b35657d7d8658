// An owned reference to a Python object, released when it goes out of scope.
// Every new reference that the boundary receives goes into one of these, so
// that no error path (C++ exception or early return) can leak it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <utility>

namespace vaskel::py {

// Becomes true when the interpreter, at exit, ends a thread that runs
// vaskel's code and waits without the interpreter lock (a daemon thread
// blocked on a write): that thread unwinds without the lock, so the
// references and the error its frames hold are left as they are instead of
// being released, and from then on every other release is skipped as well.
// It never becomes false again: the process is ending.
inline std::atomic<bool> g_lock_lost_at_exit{false};

inline bool lock_lost_at_exit() noexcept { return g_lock_lost_at_exit.load(std::memory_order_relaxed); }

// PyEval_RestoreThread for code that released the lock around a call that
// may block. At exit the interpreter ends a daemon thread right there, with
// a forced unwind (abi::__forced_unwind on glibc): it passes on through the
// caller's frames, none of which may be noexcept, and no frame may stop it.
// It is noticed by a destructor rather than caught: the write may be a
// failure report, made inside the handler of the failure, and the C++
// runtime ends the process when a handler catches a forced unwind while
// another exception is being handled.
inline void take_lock_back(PyThreadState* saved) {
    struct MarkIfUnwound {
        bool returned = false;
        ~MarkIfUnwound() {
            if (!returned) g_lock_lost_at_exit.store(true, std::memory_order_relaxed);
        }
    } mark;
    PyEval_RestoreThread(saved);
    mark.returned = true;
}

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
    ~PyRef() {
        if (obj_ != nullptr && !lock_lost_at_exit()) Py_DECREF(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* o) noexcept : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// The interpreter's pending error, taken aside for the life of the handle and
// put back when it ends (replacing whatever error is pending then), so that
// code run meanwhile (a report, a lookup) starts from a clean state and
// cannot lose it. discard() drops it instead; take() hands it back now.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    // Starts empty, leaving the pending error where it is.
    explicit SavedError(std::nullptr_t) noexcept {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        if (type_ != nullptr && !lock_lost_at_exit()) PyErr_Restore(type_, value_, tb_);
    }

    explicit operator bool() const noexcept { return type_ != nullptr; }
    PyObject* type() const noexcept { return type_; }
    // Null until normalize() when the error was set from a bare message.
    PyObject* value() const noexcept { return value_; }
    PyObject* traceback() const noexcept { return tb_; }
    // Makes the value an instance of the type; if that fails, the error of
    // the failure (usually MemoryError) is what is saved from then on.
    void normalize() noexcept {
        if (type_ != nullptr) PyErr_NormalizeException(&type_, &value_, &tb_);
    }
    bool is(PyObject* exc_type) const noexcept {
        return type_ != nullptr && PyErr_GivenExceptionMatches(type_, exc_type);
    }
    // Sets the saved error as the pending one now.
    void restore() noexcept {
        if (type_ != nullptr) PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }
    void swap(SavedError& other) noexcept {
        std::swap(type_, other.type_);
        std::swap(value_, other.value_);
        std::swap(tb_, other.tb_);
    }
    void discard() noexcept {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
        type_ = value_ = tb_ = nullptr;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Takes over a new reference returned by a C API call; a null result means
// the call failed, and the pending Python error is thrown (see errors.hpp).
PyRef checked(PyObject* o);

}  // namespace vaskel::py
