// Errors at the boundary: how Python errors and internal failures travel
// through C++ code, and how each call hands them back to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "state.hpp"

namespace vaskel::py {

// Thrown when a Python exception is pending and must simply be returned to
// the interpreter (a wrong argument, an error from a Python iterator, ...).
struct PythonErrorSet {};

// An internal failure that came back from Python code as a PanicException.
// It has been reported already, so it is raised again without a report.
class ResumedFailure : public Failure {
public:
    using Failure::Failure;
};

// Fetches the pending Python exception and throws it on: as PythonErrorSet,
// or, when it is a PanicException, as a ResumedFailure after printing it with
// its traceback to standard error. Raises SystemError when nothing is pending.
[[noreturn]] void throw_pending_error();

// Sets a Python exception of the given type and throws PythonErrorSet.
[[noreturn]] void throw_error(PyObject* type, const std::string& message);

// Writes the one-line failure report and its hint line to standard error.
void report_failure(std::string_view message, const SourceLocation* where) noexcept;

// Raises PanicException(message). If even that is impossible the process is
// aborted, since no error could reach the caller.
void raise_panic(const std::string& message) noexcept;

// Turns the exception in flight into a Python error; call only from a catch
// block. Returns null for the caller to return.
PyObject* translate_current_exception() noexcept;

// Runs the body of a Python entry and maps every C++ exception onto a Python
// exception, so that none ever unwinds into the interpreter.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return {};
    }
}

}  // namespace vaskel::py
