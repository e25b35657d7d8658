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
#include "platform/platform.hpp"
#include "py_ref.hpp"

namespace vaskel::py {

namespace {

// What runs Python code (bytecode, a hook, a lookup that may call __getattr__)
// is never noexcept here: the interpreter may release the lock in there, and
// at exit a daemon thread that takes it back is ended with a forced unwind,
// which a noexcept frame turns into std::terminate.

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

// Lets the interpreter deliver what it holds for this thread, and keeps the
// first exception that comes of it in `interrupt`, whatever its class: the
// handlers of signals already caught run (PyErr_CheckSignals), and an
// exception set on the thread with PyThreadState_SetAsyncExc is raised. The
// interpreter raises the latter only between two bytecode instructions, so a
// piece of bytecode that cannot fail on its own is run for it. Whatever else
// is pending (a second signal, say) stays with the interpreter, which
// delivers it later.
void take_interrupt(SavedError& interrupt) {
    if (interrupt) return;
    if (PyErr_CheckSignals() == 0) {
        // Compiled once; if that cannot be done (no memory), there is no
        // checkpoint, and the interpreter delivers the exception later.
        static PyObject* checkpoint = nullptr;
        static PyObject* globals = nullptr;
        if (checkpoint == nullptr) checkpoint = Py_CompileString("None", "<vaskel>", Py_eval_input);
        if (checkpoint != nullptr && globals == nullptr) globals = PyDict_New();
        if (checkpoint == nullptr || globals == nullptr) {
            PyErr_Clear();
            return;
        }
        PyObject* none = PyEval_EvalCode(checkpoint, globals, globals);
        if (none != nullptr) {
            Py_DECREF(none);
            return;
        }
    }
    SavedError raised;
    raised.swap(interrupt);
}

// The text of a thread's name, kept alive by `holder`; empty when `name` is
// not a non-empty str.
std::string_view name_text(PyRef& holder, PyRef name) {
    if (!name || !PyUnicode_Check(name.get())) return {};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (s == nullptr || n <= 0) return {};
    holder = std::move(name);
    return std::string_view(s, static_cast<std::size_t>(n));
}

// The name threading keeps for the calling thread, read from its records
// without running any bytecode, so that no handler and no asynchronous
// exception can be raised meanwhile: threading._active maps the thread's
// identifier to its Thread, which holds its name as _name. Empty when
// threading is not imported or does not know the thread (one started outside
// threading that never asked for its Thread). `holder` keeps the str.
std::string_view registered_thread_name(PyRef& holder) {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("threading"));
    PyRef threading = module_name ? PyRef::steal(PyImport_GetModule(module_name.get())) : PyRef();
    PyRef active = threading ? PyRef::steal(PyObject_GetAttrString(threading.get(), "_active")) : PyRef();
    PyRef ident = active && PyDict_Check(active.get())
                      ? PyRef::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()))
                      : PyRef();
    PyRef thread = ident ? PyRef::borrow(PyDict_GetItemWithError(active.get(), ident.get())) : PyRef();
    PyRef name = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "_name")) : PyRef();
    const std::string_view text = name_text(holder, std::move(name));
    if (text.empty()) PyErr_Clear();
    return text;
}

// The name of the calling Python thread, read without allocating on the C++
// heap: the str that holds it is kept in `holder`, or the identifier is
// formatted into `fallback` when the name cannot be read.
//
// Pending interrupts are taken first (take_interrupt), then the name is read
// from threading's records. Only a thread those do not hold runs
// threading.current_thread(), Python code where the interpreter may raise a
// handler's exception again: one that does not derive from Exception is kept
// in `interrupt` (if it is still empty) and the lookup tried again; any
// other error of the lookup only means no name.
std::string_view thread_name(PyRef& holder, char (&fallback)[64], SavedError& interrupt) {
    take_interrupt(interrupt);
    const std::string_view registered = registered_thread_name(holder);
    if (!registered.empty()) return registered;
    auto keep_interrupt = [&]() {
        if (!interrupt) {
            SavedError raised;
            if (!raised.is(PyExc_Exception)) raised.swap(interrupt);
        }
        PyErr_Clear();
    };
    for (int attempt = 0; attempt < 3; ++attempt) {
        PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
        PyRef current = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr))
                                  : PyRef();
        PyRef name = current ? PyRef::steal(PyObject_GetAttrString(current.get(), "name")) : PyRef();
        const std::string_view text = name_text(holder, std::move(name));
        if (!text.empty()) return text;
        if (!PyErr_Occurred()) break;
        const bool ordinary = PyErr_ExceptionMatches(PyExc_Exception);
        keep_interrupt();
        if (ordinary) break;
    }
    const int n = std::snprintf(fallback, sizeof fallback, "<thread %lu>", PyThread_get_thread_ident());
    return std::string_view(fallback, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Writes the pieces to standard error in one write(2) where possible. When a
// write to fd 2 may block (write_may_block: a pipe, a socket or a terminal
// that a thread of this process may be the one to drain), the interpreter
// lock is released around each write(2). With `interrupt`, a signal that
// interrupts a write runs its handler; an exception the handler raises is
// kept there (if it is still empty), and the rest of the report is dropped:
// an interrupt ends a report that nobody reads.
void write_stderr(struct iovec* pieces, int count, SavedError* interrupt) {
    std::fflush(stdout);
    std::fflush(stderr);
    const bool release_lock = platform::write_may_block(2);
    while (count > 0) {
        ssize_t n;
        if (release_lock) {
            PyThreadState* saved = PyEval_SaveThread();
            n = ::writev(2, pieces, count);
            const int error = errno;
            take_lock_back(saved);
            errno = error;
        } else {
            n = ::writev(2, pieces, count);
        }
        if (n < 0 && errno == EINTR) {
            if (interrupt != nullptr) {
                if (*interrupt) return;
                if (PyErr_CheckSignals() < 0) {
                    SavedError raised;
                    raised.swap(*interrupt);
                    return;
                }
            }
            continue;
        }
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

// Prints the error with its traceback as PyErr_PrintEx(0) does, through
// sys.excepthook, but never ends the process: PyErr_PrintEx exits when the
// error (or the hook's own error) is a SystemExit, and a PanicException
// subclass may derive from SystemExit as well. Consumes the error.
void print_resumed(SavedError& error) {
    error.normalize();
    PyObject* type = error.type();
    PyObject* value = error.value();
    PyObject* tb = error.traceback() != nullptr ? error.traceback() : Py_None;
    if (type == nullptr || value == nullptr) {
        error.discard();
        return;
    }
    PyException_SetTraceback(value, tb);
    PyObject* hook = PySys_GetObject("excepthook");  // borrowed
    bool print = true;
    if (PyObject* audit = PySys_GetObject("audit")) {
        PyRef audited = PyRef::steal(PyObject_CallFunction(audit, "sOOOO", "sys.excepthook",
                                                           hook != nullptr ? hook : Py_None, type, value, tb));
        // An audit hook refuses the event with RuntimeError.
        if (!audited && PyErr_ExceptionMatches(PyExc_RuntimeError)) print = false;
        PyErr_Clear();
    }
    if (print && hook != nullptr) {
        PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(hook, type, value, tb, nullptr));
        if (!result) {
            SavedError hook_error;
            hook_error.normalize();
            std::fflush(stdout);
            PySys_WriteStderr("Error in sys.excepthook:\n");
            if (hook_error.type() != nullptr && hook_error.value() != nullptr) {
                PyErr_Display(hook_error.type(), hook_error.value(),
                              hook_error.traceback() != nullptr ? hook_error.traceback() : Py_None);
            }
            PySys_WriteStderr("\nOriginal exception was:\n");
            PyErr_Display(type, value, tb);
            hook_error.discard();
        }
    } else if (print) {
        PySys_WriteStderr("sys.excepthook is missing\n");
        PyErr_Display(type, value, tb);
    }
    PyErr_Clear();
    error.discard();
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
        constexpr std::string_view header =
            "vaskel: resuming an internal failure: a PanicException came back from Python code\n"
            "Python stack trace below:\n";
        iovec pieces[] = {piece(header)};
        write_stderr(pieces, 1, nullptr);
        print_resumed(error);
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

void report_and_raise(std::string_view message, const SourceLocation& where) {
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
        write_stderr(pieces, static_cast<int>(std::size(pieces)), &interrupt);
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

PyObject* translate_current_exception(const SourceLocation& where) {
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
