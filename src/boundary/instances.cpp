#include "instances.hpp"

#include "convert.hpp"
#include "core/interrupt.hpp"

namespace vaskel::py {

SharedBorrow::SharedBorrow(Py_ssize_t& counter) : counter_(counter) {
    if (counter_ == -1) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
    ++counter_;
}

void guarded_dealloc(PyObject* self, void (*destroy)(PyObject*)) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    try {
        destroy(self);
    } catch (...) {
        SavedError pending;
        // Only pointers into the exception in flight: nothing is allocated
        // here, where a failed allocation would have nowhere to go.
        const char* message = "vaskel's native code failed internally";
        try {
            throw;
        } catch (const Failure& f) {
            message = f.message().c_str();
        } catch (const std::exception& e) {
            message = e.what();
        } catch (...) {
        }
        PyObject* panic = panic_type();
        if (panic == nullptr) PyErr_Clear();
        PyErr_SetString(panic != nullptr ? panic : PyExc_RuntimeError, message);
        // The object itself is half destroyed and must not gain references, so
        // its type stands for it in the report.
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

namespace {

template <class Record>
PyRef wrap(PyTypeObject* (*type_of)() noexcept, Record rec, const char* what) {
    try {
        PyTypeObject* type = type_of();
        if (type == nullptr) throw_pending_error();
        return new_instance(type, std::move(rec));
    } catch (const PythonErrorSet&) {
        // Any error but a resumed PanicException becomes an internal failure.
        SavedError error;
        PyRef text = PyRef::steal(error.value() != nullptr ? PyObject_Str(error.value()) : nullptr);
        PyErr_Clear();
        error.discard();
        std::string message = std::string("could not create a new ") + what + " object";
        if (text) {
            Py_ssize_t n = 0;
            if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n)) {
                message += ": ";
                message.append(s, static_cast<std::size_t>(n));
            }
            PyErr_Clear();
        }
        fail(message);
    }
}

}  // namespace

PyRef wrap_node(Node rec) { return wrap(node_type, std::move(rec), "Node"); }
PyRef wrap_tree(Tree rec) { return wrap(tree_type, std::move(rec), "Tree"); }

namespace {

// `take(k)` gives the record of the k-th Node.
template <class Take>
PyRef make_node_list(std::size_t count, Take&& take) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
    InterruptCheck check;
    for (std::size_t k = 0; k < count; ++k) {
        check.step();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), wrap_node(take(k)).release());
    }
    return list;
}

}  // namespace

PyRef node_list(std::vector<Node>&& nodes) {
    return make_node_list(nodes.size(), [&](std::size_t k) { return std::move(nodes[k]); });
}

PyRef node_list(const std::vector<Node>& nodes) {
    return make_node_list(nodes.size(), [&](std::size_t k) { return nodes[k]; });
}

}  // namespace vaskel::py
