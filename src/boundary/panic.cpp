#include "panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

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

// The name of the calling Python thread, or its identifier if the name
// cannot be read.
std::string thread_name() noexcept {
    std::string name;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    if (threading) {
        PyRef current = PyRef::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr));
        if (current) {
            PyRef n = PyRef::steal(PyObject_GetAttrString(current.get(), "name"));
            if (n && PyUnicode_Check(n.get())) {
                const char* s = PyUnicode_AsUTF8AndSize(n.get(), nullptr);
                if (s != nullptr) name = s;
            }
        }
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (name.empty()) name = "<thread " + std::to_string(PyThread_get_thread_ident()) + ">";
    return name;
}

// Source paths are reported from the project's src/ folder on.
std::string_view short_path(const char* file) {
    std::string_view path(file);
    auto at = path.rfind("/src/");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

void throw_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonErrorSet{};
}

void throw_pending_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonErrorSet{};
    }
    PyObject* panic = existing_panic_type();
    if (panic != nullptr && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                             reinterpret_cast<PyTypeObject*>(panic))) {
        PyErr_NormalizeException(&type, &value, &tb);
        std::string message = resumed_message(value);
        std::fputs("vaskel: resuming an internal failure: a PanicException came back from Python code\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        PyErr_Restore(type, value, tb);
        PyErr_PrintEx(0);
        throw ResumedFailure(std::move(message));
    }
    PyErr_Restore(type, value, tb);
    throw PythonErrorSet{};
}

void report_failure(std::string_view message, const SourceLocation* where) noexcept {
    try {
        std::string line = "vaskel: internal failure in thread '" + thread_name() + "': ";
        line += message;
        if (where != nullptr) {
            line += " (at ";
            line += short_path(where->file_name());
            line += ':';
            line += std::to_string(where->line());
            line += ')';
        }
        line +=
            "\nnote: the call raises PanicException with this message; for a native backtrace, run "
            "Python under gdb with 'catch throw'\n";
        std::fflush(stdout);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
        // The report is best effort; the exception below still reaches Python.
    }
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) abort_escaped("PanicException could not be created");
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) abort_escaped("the failure message could not be converted");
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) abort_escaped("an error was signalled but none was set");
    } catch (const ResumedFailure& f) {
        raise_panic(f.message());
    } catch (const Failure& f) {
        report_failure(f.message(), &f.where());
        raise_panic(f.message());
    } catch (const std::bad_alloc&) {
        report_failure("memory allocation failed", nullptr);
        raise_panic("memory allocation failed");
    } catch (const std::exception& e) {
        report_failure(e.what(), nullptr);
        raise_panic(e.what());
    } catch (...) {
        report_failure(kGenericFailure, nullptr);
        raise_panic(kGenericFailure);
    }
    return nullptr;
}

}  // namespace vaskel::py
