#include "errors.hpp"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>

#include "core/interrupt.hpp"
#include "interrupts.hpp"
#include "py_ref.hpp"

namespace vaskel::py {

namespace {

constexpr const char* kGenericFailure = "vaskel's native code failed internally";
constexpr const char* kFromPython = "internal failure resumed from Python code";

[[noreturn]] void abort_escaped(const char* what) noexcept {
    std::fprintf(stderr,
                 "vaskel: fatal: an internal failure escaped the Python boundary (%s); aborting\n",
                 what);
    std::fflush(stderr);
    std::abort();
}

// The message carried by a PanicException fetched from Python: the value if
// it is a str, else the single str argument of the exception object.
std::string resumed_message(PyObject* value) {
    if (value == nullptr) return kFromPython;
    PyRef text;
    if (PyUnicode_Check(value)) {
        text = PyRef::borrow(value);
    } else if (PyExceptionInstance_Check(value)) {
        PyRef args = PyRef::steal(PyObject_GetAttrString(value, "args"));
        if (args && PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1) {
            PyObject* first = PyTuple_GetItem(args.get(), 0);
            if (first != nullptr && PyUnicode_Check(first)) text = PyRef::borrow(first);
        }
        PyErr_Clear();
    }
    if (!text) return kFromPython;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (s == nullptr) {
        PyErr_Clear();
        return kFromPython;
    }
    return std::string(s, static_cast<std::size_t>(n));
}

// The name of the calling Python thread, read without allocating on the C++
// heap: the str that holds it is kept in `holder`, or the identifier is
// formatted into `fallback` when the name cannot be read.
//
// threading.current_thread() is Python code, where the interpreter runs the
// handlers of pending signals. A handler's exception (KeyboardInterrupt)
// must not be lost there, nor make the name unreadable: the handlers of
// signals already caught run first, and an exception that does not derive
// from Exception, raised by the lookup, is kept in `interrupt` and the
// lookup tried again. An ordinary error of the lookup only means no name.
std::string_view thread_name(PyRef& holder, char (&fallback)[64], SavedError& interrupt) noexcept {
    auto keep_interrupt = [&]() noexcept {
        if (!interrupt) {
            SavedError raised;
            if (!raised.is(PyExc_Exception)) raised.swap(interrupt);
        }
        PyErr_Clear();
    };
    if (PyErr_CheckSignals() < 0) keep_interrupt();
    for (int attempt = 0; attempt < 3; ++attempt) {
        PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
        PyRef current = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr))
                                  : PyRef();
        PyRef name = current ? PyRef::steal(PyObject_GetAttrString(current.get(), "name")) : PyRef();
        if (name && PyUnicode_Check(name.get())) {
            Py_ssize_t n = 0;
            const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
            if (s != nullptr && n > 0) {
                holder = std::move(name);
                return std::string_view(s, static_cast<std::size_t>(n));
            }
        }
        if (!PyErr_Occurred()) break;
        const bool ordinary = PyErr_ExceptionMatches(PyExc_Exception);
        keep_interrupt();
        if (ordinary) break;
    }
    const int n = std::snprintf(fallback, sizeof fallback, "<thread %lu>", PyThread_get_thread_ident());
    return std::string_view(fallback, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Writes the pieces to standard error in one write(2) where possible.
void write_stderr(struct iovec* pieces, int count) noexcept {
    std::fflush(stdout);
    std::fflush(stderr);
    while (count > 0) {
        const ssize_t n = ::writev(2, pieces, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the report is best effort; the exception still reaches Python
        std::size_t done = static_cast<std::size_t>(n);
        while (count > 0 && done >= pieces->iov_len) {
            done -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + done;
            pieces->iov_len -= done;
        }
    }
}

iovec piece(std::string_view s) noexcept { return iovec{const_cast<char*>(s.data()), s.size()}; }

// Source paths are reported from the project's src/ folder on.
std::string_view short_path(const char* file) noexcept {
    std::string_view path(file);
    auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

SignalPoll g_signal_poll;

}  // namespace

void install_signal_poll() noexcept { install_interrupt_poll(&g_signal_poll); }

void throw_error(PyObject* type, const std::string& message) {
    // The message is made first: PyErr_SetString of Python 3.10 raises `type`
    // with no message at all when making it runs out of memory, where the
    // caller must see that MemoryError.
    auto text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    throw PythonErrorSet{};
}

void throw_pending_error() {
    SavedError error;
    if (!error) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonErrorSet{};
    }
    PyObject* panic = existing_panic_type();
    if (panic != nullptr && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error.type()),
                                             reinterpret_cast<PyTypeObject*>(panic))) {
        error.normalize();
        std::string message = resumed_message(error.value());
        std::fputs("vaskel: resuming an internal failure: a PanicException came back from Python code\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        error.restore();
        PyErr_PrintEx(0);
        throw ResumedFailure(std::move(message));
    }
    error.restore();
    throw PythonErrorSet{};
}

void discard_pending_error(KeepMemoryError keep_memory_error) {
    if (!PyErr_Occurred()) return;
    PyObject* panic = existing_panic_type();
    if ((panic != nullptr && PyErr_ExceptionMatches(panic)) ||
        PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
        (keep_memory_error == KeepMemoryError::yes && PyErr_ExceptionMatches(PyExc_MemoryError))) {
        throw_pending_error();
    }
    PyErr_Clear();
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) {
        // The error of the failed creation (MemoryError) goes to the caller.
        if (PyErr_Occurred()) return;
        abort_escaped("PanicException could not be created");
    }
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) {
        // Out of memory: the MemoryError set by the attempt reaches the caller.
        if (PyErr_Occurred()) return;
        abort_escaped("the failure message could not be converted");
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void report_and_raise(std::string_view message, const SourceLocation& where) noexcept {
    PyErr_Clear();  // the PanicException below replaces any error still pending
    SavedError interrupt(nullptr);
    {
        PyRef holder;
        char fallback[64];
        const std::string_view name = thread_name(holder, fallback, interrupt);
        char line_number[24];
        const int digits = std::snprintf(line_number, sizeof line_number, "%u", where.line());
        iovec pieces[] = {
            piece("vaskel: internal failure in thread '"),
            piece(name),
            piece("': "),
            piece(message),
            piece(" (at "),
            piece(short_path(where.file_name())),
            piece(":"),
            piece(std::string_view(line_number, digits > 0 ? static_cast<std::size_t>(digits) : 0)),
            piece(")\nnote: the call raises PanicException with this message; for a native backtrace, "
                  "run Python under gdb with 'catch throw'\n"),
        };
        write_stderr(pieces, static_cast<int>(std::size(pieces)));
    }
    raise_panic(message);
    if (!interrupt) return;
    // The handler's exception is raised, the PanicException as its context.
    SavedError panic;
    panic.normalize();
    interrupt.normalize();
    if (panic && interrupt.value() != nullptr && panic.value() != nullptr) {
        Py_INCREF(panic.value());
        PyException_SetContext(interrupt.value(), panic.value());  // steals the reference
    }
    panic.discard();
    interrupt.restore();
}

PyObject* translate_current_exception(const SourceLocation& where) noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) abort_escaped("an error was signalled but none was set");
    } catch (const Interrupted&) {
        // A signal handler's exception ended the call: it is the result.
        if (!PyErr_Occurred()) abort_escaped("a call was interrupted but no exception was set");
    } catch (const ResumedFailure& f) {
        raise_panic(f.message());
    } catch (const Failure& f) {
        report_and_raise(f.message(), f.where());
    } catch (const std::bad_alloc&) {
        report_and_raise("memory allocation failed", where);
    } catch (const std::exception& e) {
        report_and_raise(e.what(), where);
    } catch (...) {
        report_and_raise(kGenericFailure, where);
    }
    return nullptr;
}

}  // namespace vaskel::py
