// The vaskel module: its definition, the init entry point, the registration
// of its functions and classes, and the publishing of PanicException.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "instances.hpp"
#include "functions.hpp"
#include "errors.hpp"
#include "interrupts.hpp"
#include "py_ref.hpp"
#include "state.hpp"

namespace vaskel::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vaskel",
    "Rule-based processing of French text, implemented natively in C++.",
    0,        // no per-module state, so the interpreter runs init again on re-import
    nullptr,  // functions are added by the registration routine
    nullptr, nullptr, nullptr, nullptr,
};

// Appends a name to the module's __all__, creating the list first if needed.
void append_to_all(PyObject* module, PyObject* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending_error();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending_error();
    }
    if (PyList_Append(all.get(), name) < 0) throw_pending_error();
}

void add_function(PyObject* module, PyMethodDef* def) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_pending_error();
    PyRef name_obj = checked(PyUnicode_FromString(module_name));
    PyRef function = checked(PyCFunction_NewEx(def, module, name_obj.get()));
    PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    append_to_all(module, name.get());
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_pending_error();
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) throw_pending_error();
    PyRef name_obj = checked(PyUnicode_FromString(name));
    append_to_all(module, name_obj.get());
    if (PyObject_SetAttr(module, name_obj.get(), reinterpret_cast<PyObject*>(type)) < 0) {
        throw_pending_error();
    }
}

void register_members(PyObject* module) {
    for (PyMethodDef* def = module_functions(); def->ml_name != nullptr; ++def) add_function(module, def);
    add_class(module, "Node", node_type());
    add_class(module, "Tree", tree_type());
}

PyObject* init_module() {
    return guarded([]() -> PyObject* {
        PyObject* raw = PyModule_Create2(&module_def, PYTHON_ABI_VERSION);
        if (raw == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
            return nullptr;
        }
        PyRef module = PyRef::steal(raw);
        // Neither kind of attempt from a subinterpreter claims the once
        // flag, so that the main interpreter may still import vaskel. The
        // run made in the main interpreter on a subinterpreter's behalf gets
        // the bare module: the import system only keeps it aside before it
        // refuses the module in that subinterpreter or runs init there
        // (refused below). An error raised from that run would be released
        // in the subinterpreter, which Python 3.13.0 cannot do safely.
        switch (init_caller()) {
            case InitCaller::main: break;
            case InitCaller::main_for_subinterpreter: return module.release();
            case InitCaller::subinterpreter:
                throw_error(PyExc_ImportError,
                            "vaskel can be imported only in the main interpreter, not in a subinterpreter");
        }
        if (!claim_first_init()) {
            throw_error(PyExc_ImportError,
                        "vaskel can be initialised only once per interpreter process; it was "
                        "already initialised here (restart the interpreter to import it afresh)");
        }
        register_members(module.get());
        publish_panic_type();
        install_signal_poll();
        return module.release();
    });
}

}  // namespace

}  // namespace vaskel::py

PyMODINIT_FUNC PyInit_vaskel(void) { return vaskel::py::init_module(); }
