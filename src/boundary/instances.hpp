// The Node and Tree heap types: instance layout, type objects, wrapping of
// core records as new instances, and the receiver check with its borrow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <vector>

#include "convert.hpp"
#include "core/tree.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "state.hpp"

namespace vaskel::py {

// An instance: the object header, the record it owns, and a borrow counter
// (0 free, n > 0 shared borrows held, -1 an exclusive borrow held).
//
// Every method and getter takes a shared borrow of its receiver. Nothing in
// the module takes an exclusive one: Node and Tree have no mutating method,
// and every result is a fresh copy, so no call ever needs to change a record
// that another call may be reading. The counter and its "Already mutably
// borrowed" check are kept so that the receiver protocol stays whole: a
// future mutating method has the state it needs to refuse a call made while
// it runs (from a conversion that calls back into the module).
template <class Record>
struct Instance {
    PyObject_HEAD
    Record rec;
    Py_ssize_t borrow;
};
using NodeObject = Instance<Node>;
using TreeObject = Instance<Tree>;

// Allocates an instance of `type` (through its tp_alloc slot, or the generic
// allocator) and moves the record into it. A failed allocation throws the
// pending error, as checked() does.
template <class Record>
PyRef new_instance(PyTypeObject* type, Record&& rec) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyRef self = checked(alloc(type, 0));
    auto* inst = reinterpret_cast<Instance<std::decay_t<Record>>*>(self.get());
    new (&inst->rec) std::decay_t<Record>(std::move(rec));
    inst->borrow = 0;
    return self;
}

// Results: new instances of Node or Tree itself (never a subclass). Failing
// to create one is an internal failure.
PyRef wrap_node(Node rec);
PyRef wrap_tree(Tree rec);
// A list of new Node instances: taking the records over, or copying each
// one only as its instance is made.
PyRef node_list(std::vector<Node>&& nodes);
PyRef node_list(const std::vector<Node>& nodes);

// A shared borrow of an instance for the length of a call.
class SharedBorrow {
public:
    explicit SharedBorrow(Py_ssize_t& counter);
    ~SharedBorrow() { --counter_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    Py_ssize_t& counter_;
};

// Checks that `self` is an instance of `type` (or of a subclass) and returns
// it; otherwise TypeError naming the class.
template <class Record>
Instance<Record>* receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (type == nullptr) throw_pending_error();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
        throw_not_convertible(self, class_name);
    }
    return reinterpret_cast<Instance<Record>*>(self);
}

// The class of each record: its type object and its name.
template <class Record>
struct ClassOf;
template <>
struct ClassOf<Node> {
    static constexpr const char* name = "Node";
    static PyTypeObject* type() noexcept { return node_type(); }
};
template <>
struct ClassOf<Tree> {
    static constexpr const char* name = "Tree";
    static PyTypeObject* type() noexcept { return tree_type(); }
};

// Runs the body of a method or getter on the record of its receiver, under
// a shared borrow. The receiver is held for the call: its record is read
// after argument conversions that run Python code. `where` is reported for
// a failure that carries no place of its own (see guarded).
template <class Record, class Body>
PyObject* with_receiver(PyObject* self, Body&& body, SourceLocation where = SourceLocation::current()) {
    return guarded(
        [&]() -> PyObject* {
            Instance<Record>* inst = receiver<Record>(self, ClassOf<Record>::type(), ClassOf<Record>::name);
            PyRef hold = PyRef::borrow(self);
            SharedBorrow borrow(inst->borrow);
            return body(static_cast<const Record&>(inst->rec)).release();
        },
        where);
}

// Deallocation shared by every heap type of the module: destroys the data,
// frees the object through the tp_free slot of its actual type and releases
// that type. A failure while destroying is reported as unraisable and
// deallocation goes on.
void guarded_dealloc(PyObject* self, void (*destroy)(PyObject*)) noexcept;

template <class Record>
void destroy_record(PyObject* self) {
    reinterpret_cast<Instance<Record>*>(self)->rec.~Record();
}

// The tp_dealloc slot of Record's class.
template <class Record>
void dealloc_instance(PyObject* self) {
    guarded_dealloc(self, destroy_record<Record>);
}

// Creates Record's class, named `name` (a text that lives as long as the
// process: the type keeps a pointer to it), a base type others may derive
// from, with the given slots (which must live as long).
template <class Record>
PyTypeObject* create_class(const char* name, PyType_Slot* slots) noexcept {
    PyType_Spec spec = {
        name, static_cast<int>(sizeof(Instance<Record>)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vaskel::py
