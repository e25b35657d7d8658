// Errors at the boundary: how Python errors and internal failures travel
// through C++ code, and how each call hands them back to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
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

// Discards the pending error (an error the caller may ignore, such as one
// from a __len__ that only sizes a result), except one that must reach the
// caller: a PanicException is resumed as throw_pending_error does, a
// KeyboardInterrupt (and, when asked, a MemoryError) is thrown on.
enum class KeepMemoryError { no, yes };
void discard_pending_error(KeepMemoryError keep_memory_error);

// Sets a Python exception of the given type and throws PythonErrorSet.
[[noreturn]] void throw_error(PyObject* type, const std::string& message);

// Raises PanicException(message). If the type or the message str cannot be
// created, the error of that attempt (MemoryError) is raised instead; only
// when no error at all could be set is the process aborted. Allocates
// nothing on the C++ heap.
void raise_panic(std::string_view message) noexcept;

// Writes the failure report (one line, then the hint line) to standard error
// and raises PanicException(message). Allocates nothing on the C++ heap, so
// that it works when memory has run out. Before the report, the interpreter
// runs the handlers of pending signals and raises an exception set on the
// thread with PyThreadState_SetAsyncExc: the first exception that comes of
// it, of whatever class (KeyboardInterrupt, a timeout...), is raised instead
// of the PanicException, which becomes its __context__. So is the exception
// of a handler that runs when a signal interrupts the report's write.
//
// Throws nothing, except the forced unwind with which the interpreter may end
// the thread at exit while the report waits on fd 2 without the lock (see
// take_lock_back); the same holds for translate_current_exception and
// guarded.
void report_and_raise(std::string_view message, const SourceLocation& where);

// Turns the exception in flight into a Python error; call only from a catch
// block. `where` is the boundary that caught it, reported for exceptions
// that carry no place of their own. Returns null for the caller to return.
PyObject* translate_current_exception(const SourceLocation& where);

// Runs the body of a Python entry and maps every C++ exception onto a Python
// exception, so that none ever unwinds into the interpreter. The forced
// unwind that ends a thread at exit is no exception to map: it goes on.
template <class Body>
auto guarded(Body&& body, SourceLocation where = SourceLocation::current()) -> decltype(body()) {
    try {
        return body();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        translate_current_exception(where);
        return {};
    }
}

}  // namespace vaskel::py
