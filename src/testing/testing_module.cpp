// _vaskel_testing: a test-only module that reaches internals the public API
// cannot: trees built from raw records (malformed ones included), the XML
// writer on its own, and a deallocation that fails. The product never ships it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/binding.hpp"
#include "boundary/instances.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/state.hpp"
#include "core/failure.hpp"
#include "xml/xml_element.hpp"

namespace vaskel::testing {

using namespace vaskel::py;

namespace {

// Each entry binds its arguments like the product's callables: by position
// or keyword, every parameter required.
constexpr auto kMakeTreeSpec = params(nullptr, "make_tree", {"levels"});
constexpr auto kXmlPrettySpec = params(nullptr, "xml_pretty", {"element", "newline", "indent"});
constexpr auto kSplitCdataSpec = params(nullptr, "split_cdata", {"text"});
constexpr auto kFailingDeallocSpec = params("FailingDealloc", "__new__", {"message"});

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyRef item(PyObject* seq, Py_ssize_t k) { return checked(PySequence_GetItem(seq, k)); }

Py_ssize_t length(PyObject* seq, const char* what) {
    if (!PySequence_Check(seq) || is_str(seq)) throw_error(PyExc_TypeError, std::string(what) + " must be a sequence");
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) throw_pending_error();
    return n;
}

Node node_from_tuple(PyObject* t) {
    if (length(t, "a node") != 4) throw_error(PyExc_TypeError, "a node is (data, level, index, children)");
    Node n;
    n.data = owned_text(item(t, 0).get());
    n.level = u32(item(t, 1).get());
    n.index = u32(item(t, 2).get());
    PyRef children = item(t, 3);
    const Py_ssize_t count = length(children.get(), "children");
    for (Py_ssize_t k = 0; k < count; ++k) n.children.push_back(u32(item(children.get(), k).get()));
    return n;
}

// make_tree(levels): a vaskel.Tree holding exactly the given records.
PyObject* make_tree(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kMakeTreeSpec, args, kwargs);
        PyObject* levels = bound[0];
        Tree tree;
        const Py_ssize_t nlevels = length(levels, "levels");
        for (Py_ssize_t l = 0; l < nlevels; ++l) {
            PyRef level = item(levels, l);
            const Py_ssize_t nnodes = length(level.get(), "a level");
            Level recs;
            for (Py_ssize_t k = 0; k < nnodes; ++k) recs.push_back(node_from_tuple(item(level.get(), k).get()));
            tree.data.push_back(std::move(recs));
        }
        return wrap_tree(std::move(tree)).release();
    });
}

xml::XMLElement element_from_tuple(PyObject* t) {
    if (length(t, "an element") != 4) {
        throw_error(PyExc_TypeError, "an element is (name, [(attr, value), ...], [children], text or None)");
    }
    xml::XMLElement e(owned_text(item(t, 0).get()));
    PyRef attrs = item(t, 1);
    const Py_ssize_t nattrs = length(attrs.get(), "attributes");
    for (Py_ssize_t k = 0; k < nattrs; ++k) {
        PyRef pair = item(attrs.get(), k);
        if (length(pair.get(), "an attribute") != 2) throw_error(PyExc_TypeError, "an attribute is (name, value)");
        e.add_attr(owned_text(item(pair.get(), 0).get()), owned_text(item(pair.get(), 1).get()));
    }
    PyRef children = item(t, 2);
    const Py_ssize_t nchildren = length(children.get(), "children");
    for (Py_ssize_t k = 0; k < nchildren; ++k) e.add_element(element_from_tuple(item(children.get(), k).get()));
    PyRef text = item(t, 3);
    if (text.get() != Py_None) e.set_text(owned_text(text.get()));
    return e;
}

// xml_pretty(element, newline, indent): the writer's output for the element.
PyObject* xml_pretty(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kXmlPrettySpec, args, kwargs);
        xml::XMLElement root = element_from_tuple(bound[0]);
        std::string_view newline = convert_arg("newline", [&] { return py::text_view(bound[1]); });
        std::string_view indent = convert_arg("indent", [&] { return py::text_view(bound[2]); });
        return to_str(xml::to_string_pretty(root, newline, indent)).release();
    });
}

// split_cdata(text): (before, None) or (before, (section, after)).
PyObject* split_cdata(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kSplitCdataSpec, args, kwargs);
        xml::CdataSplit split = xml::split_cdata(convert_arg("text", [&] { return py::text_view(bound[0]); }));
        PyRef before = to_str(split.before);
        if (!split.section_and_after) return Py_BuildValue("(OO)", before.get(), Py_None);
        PyRef section = to_str(split.section_and_after->first);
        PyRef after = to_str(split.section_and_after->second);
        return Py_BuildValue("(O(OO))", before.get(), section.get(), after.get());
    });
}

// FailingDealloc(message): an object whose destruction fails with `message`,
// for the unraisable-error path of deallocation.
struct FailingDealloc {
    std::string message;
};
using FailingDeallocObject = Instance<FailingDealloc>;

PyObject* failing_dealloc_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kFailingDeallocSpec, args, kwargs);
        std::string message = convert_arg("message", [&] { return owned_text(bound[0]); });
        return new_instance(cls, FailingDealloc{std::move(message)}).release();
    });
}

void failing_dealloc_destroy(PyObject* self) {
    auto* obj = reinterpret_cast<FailingDeallocObject*>(self);
    std::string message = std::move(obj->rec.message);
    obj->rec.~FailingDealloc();
    if (!message.empty()) fail(message);
}

void failing_dealloc_dealloc(PyObject* self) { guarded_dealloc(self, failing_dealloc_destroy); }

PyType_Slot failing_dealloc_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(failing_dealloc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(failing_dealloc_dealloc)},
    {0, nullptr},
};
PyType_Spec failing_dealloc_spec = {"_vaskel_testing.FailingDealloc",
                                    static_cast<int>(sizeof(FailingDeallocObject)), 0, Py_TPFLAGS_DEFAULT,
                                    failing_dealloc_slots};

PyMethodDef methods[] = {
    {"make_tree", as_cfunction(make_tree), METH_VARARGS | METH_KEYWORDS,
     "make_tree(levels): a vaskel.Tree holding exactly these node records."},
    {"xml_pretty", as_cfunction(xml_pretty), METH_VARARGS | METH_KEYWORDS,
     "xml_pretty(element, newline, indent): the XML writer's output."},
    {"split_cdata", as_cfunction(split_cdata), METH_VARARGS | METH_KEYWORDS,
     "split_cdata(text): the text cut at its first CDATA section."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_vaskel_testing", "Test-only access to vaskel's internals.",
                          -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyObject* init() {
    return guarded([]() -> PyObject* {
        // Before anything else, so that this copy of the boundary never
        // creates classes or an exception type of its own.
        adopt_vaskel_state();
        PyRef module = checked(PyModule_Create(&module_def));
        PyRef failing = checked(PyType_FromSpec(&failing_dealloc_spec));
        if (PyModule_AddObject(module.get(), "FailingDealloc", failing.get()) < 0) throw_pending_error();
        failing.release();
        return module.release();
    });
}

}  // namespace vaskel::testing

PyMODINIT_FUNC PyInit__vaskel_testing(void) { return vaskel::testing::init(); }
