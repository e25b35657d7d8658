#include "state.hpp"

#include <atomic>

#include "errors.hpp"
#include "py_ref.hpp"

namespace vaskel::py {

namespace {

// The exception type is named after the pure-Python module that publishes
// it, so that `from vaskel_tools import PanicException` finds it and pickle
// can find an instance's class again in another process.
constexpr const char* kPanicName = "vaskel_tools.PanicException";
constexpr const char* kPanicHolder = "vaskel_tools._panic";
constexpr const char* kPanicAttribute = "PanicException";

constexpr const char* kPanicDoc =
    "Raised when the native code of vaskel fails internally (an index out of range in a "
    "malformed tree, a failed write to standard output, ...).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that a "
    "handler for Exception does not catch it: it usually travels all the way up the stack "
    "and ends the program.";

constexpr const char* kImportCycle =
    "vaskel_tools imported vaskel while vaskel was being initialised; vaskel_tools must "
    "import vaskel only when it is first used, never at import time";

struct ProcessState {
    std::atomic<bool> initialised{false};
    // Set while vaskel's init imports vaskel_tools._panic: an init attempted
    // meanwhile on the same thread comes from that import, which may not
    // import vaskel.
    bool publishing = false;
    unsigned long publishing_thread = 0;
    bool init_while_publishing = false;
    PyTypeObject* node = nullptr;
    PyTypeObject* tree = nullptr;
    PyObject* panic = nullptr;
};

ProcessState g_state;

// Raises ImportError(kImportCycle) with the pending error as its cause.
[[noreturn]] void throw_import_cycle() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef cause_type = PyRef::steal(type);
    PyRef cause = PyRef::steal(value);
    PyRef cause_tb = PyRef::steal(tb);
    if (cause && cause_tb) PyException_SetTraceback(cause.get(), cause_tb.get());
    PyRef error = checked(PyObject_CallFunction(PyExc_ImportError, "s", kImportCycle));
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_ImportError, error.get());
    throw PythonErrorSet{};
}

// Sets the type as vaskel_tools._panic.PanicException, if that module can be
// imported at all.
void publish_into_holder() {
    PyObject* type = panic_type();
    if (type == nullptr) throw_pending_error();
    g_state.publishing = true;
    g_state.publishing_thread = PyThread_get_thread_ident();
    g_state.init_while_publishing = false;
    PyRef holder = PyRef::steal(PyImport_ImportModule(kPanicHolder));
    g_state.publishing = false;
    if (!holder) {
        if (g_state.init_while_publishing) throw_import_cycle();
        // Not installed (a bare build, say): vaskel works all the same, only
        // the name is not importable.
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return;
        }
        throw_pending_error();
    }
    if (PyObject_SetAttrString(holder.get(), kPanicAttribute, type) < 0) throw_pending_error();
}

}  // namespace

PyTypeObject* node_type() noexcept {
    if (g_state.node == nullptr) g_state.node = create_node_type();
    return g_state.node;
}

PyTypeObject* tree_type() noexcept {
    if (g_state.tree == nullptr) g_state.tree = create_tree_type();
    return g_state.tree;
}

PyObject* panic_type() noexcept {
    if (g_state.panic == nullptr) {
        g_state.panic = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    }
    return g_state.panic;
}

PyObject* existing_panic_type() noexcept { return g_state.panic; }

InitCaller init_caller() noexcept {
    // The main interpreter's identifier is 0.
    PyThreadState* current = PyThreadState_Get();
    if (PyInterpreterState_GetID(PyThreadState_GetInterpreter(current)) != 0) return InitCaller::subinterpreter;
    // A real import always comes from Python code (the import system's own,
    // at least), so its thread state has a frame; the one made for an import
    // in a subinterpreter runs no Python code.
    PyFrameObject* frame = PyThreadState_GetFrame(current);
    Py_XDECREF(frame);
    return frame != nullptr ? InitCaller::main : InitCaller::main_for_subinterpreter;
}

bool claim_first_init() noexcept {
    if (!g_state.initialised.exchange(true)) return true;
    if (g_state.publishing && g_state.publishing_thread == PyThread_get_thread_ident()) {
        g_state.init_while_publishing = true;
    }
    return false;
}

void publish_panic_type() {
    // The import runs Python code, which can fail in ways a retry may not (a
    // KeyboardInterrupt, say). This init then did not happen, and a later
    // import of vaskel may run init again.
    try {
        publish_into_holder();
    } catch (...) {
        g_state.initialised.store(false);
        throw;
    }
}

void adopt_vaskel_state() {
    PyRef vaskel = checked(PyImport_ImportModule("vaskel"));
    PyRef node = checked(PyObject_GetAttrString(vaskel.get(), "Node"));
    PyRef tree = checked(PyObject_GetAttrString(vaskel.get(), "Tree"));
    PyRef holder = checked(PyImport_ImportModule(kPanicHolder));
    PyRef panic = checked(PyObject_GetAttrString(holder.get(), kPanicAttribute));
    if (!PyType_Check(node.get()) || !PyType_Check(tree.get()) || !PyExceptionClass_Check(panic.get())) {
        throw_error(PyExc_ImportError, "vaskel's Node, Tree or PanicException is not a class");
    }
    // The previous objects, if any, are released only once the new ones are
    // in place.
    PyRef old_node = PyRef::steal(reinterpret_cast<PyObject*>(g_state.node));
    PyRef old_tree = PyRef::steal(reinterpret_cast<PyObject*>(g_state.tree));
    PyRef old_panic = PyRef::steal(g_state.panic);
    g_state.node = reinterpret_cast<PyTypeObject*>(node.release());
    g_state.tree = reinterpret_cast<PyTypeObject*>(tree.release());
    g_state.panic = panic.release();
}

}  // namespace vaskel::py
