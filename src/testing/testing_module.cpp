// _vaskel_testing: a test-only module that reaches internals the public API
// cannot: trees built from raw records (malformed ones included), the XML
// writer on its own, and a deallocation that fails. The product never ships it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/binding.hpp"
#include "boundary/callable.hpp"
#include "boundary/instances.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/interrupts.hpp"
#include "boundary/py_ref.hpp"
#include "boundary/state.hpp"
#include "core/failure.hpp"
#include "core/rule_base.hpp"
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
constexpr auto kRuleHashesSpec = params(nullptr, "rule_hashes", {"keys", "seed"});
constexpr auto kRuleProbesSpec = params(nullptr, "rule_probes", {"keys", "seed"});
constexpr auto kSignalThenFailSpec = params(nullptr, "signal_then_fail", {"signum", "message"});

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
            tree.levels.push_back(std::move(recs));
        }
        return wrap_tree(std::move(tree)).release();
    });
}

// Builds the elements with a stack of its own, so that any nesting converts.
xml::XMLElement element_from_tuple(PyObject* root) {
    struct Pending {
        xml::XMLElement element;
        PyRef tuple;
        PyRef children;
        Py_ssize_t count;
        Py_ssize_t next;
    };
    std::vector<Pending> stack;
    const auto start = [&stack](PyRef t) {
        if (length(t.get(), "an element") != 4) {
            throw_error(PyExc_TypeError, "an element is (name, [(attr, value), ...], [children], text or None)");
        }
        xml::XMLElement e(owned_text(item(t.get(), 0).get()));
        PyRef attrs = item(t.get(), 1);
        const Py_ssize_t nattrs = length(attrs.get(), "attributes");
        for (Py_ssize_t k = 0; k < nattrs; ++k) {
            PyRef pair = item(attrs.get(), k);
            if (length(pair.get(), "an attribute") != 2) throw_error(PyExc_TypeError, "an attribute is (name, value)");
            e.add_attr(owned_text(item(pair.get(), 0).get()), owned_text(item(pair.get(), 1).get()));
        }
        PyRef children = item(t.get(), 2);
        const Py_ssize_t count = length(children.get(), "children");
        stack.push_back({std::move(e), std::move(t), std::move(children), count, 0});
    };
    start(PyRef::borrow(root));
    for (;;) {
        Pending& top = stack.back();
        if (top.next < top.count) {
            PyRef child = item(top.children.get(), top.next++);
            start(std::move(child));
            continue;
        }
        PyRef text = item(top.tuple.get(), 3);
        if (text.get() != Py_None) top.element.set_text(owned_text(text.get()));
        xml::XMLElement done = std::move(top.element);
        stack.pop_back();
        if (stack.empty()) return done;
        stack.back().element.add_element(std::move(done));
    }
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

// The arguments (keys, seed) of the rule-table helpers; seed None stands for
// the process's own.
struct KeysAndSeed {
    std::vector<std::string> keys;
    std::uint64_t seed;
};

template <std::size_t N>
KeysAndSeed keys_and_seed(const ParamSpec<N>& spec, PyObject* args, PyObject* kwargs) {
    auto bound = bind(spec, args, kwargs);
    PyObject* seed = bound[1];
    std::uint64_t s = rule_hash_seed();
    if (seed != Py_None) {
        s = PyLong_AsUnsignedLongLong(seed);
        if (s == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending_error();
    }
    return {convert_arg("keys", [&] { return string_list(bound[0]); }), s};
}

// rule_hashes(keys, seed): the rule tables' hash of each key under `seed`.
PyObject* rule_hashes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const KeysAndSeed in = keys_and_seed(kRuleHashesSpec, args, kwargs);
        PyRef list = checked(PyList_New(0));
        for (const std::string& key : in.keys) {
            if (PyList_Append(list.get(), to_int(text_hash(key, in.seed)).get()) < 0) throw_pending_error();
        }
        return list.release();
    });
}

// rule_probes(keys, seed): slots read to find every key once all are in a
// rule table sized for them, the table hashing with `seed`.
PyObject* rule_probes(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const KeysAndSeed in = keys_and_seed(kRuleProbesSpec, args, kwargs);
        TextMap table(in.keys.size(), in.seed);
        for (const std::string& key : in.keys) table.insert(key, key);
        std::uint64_t total = 0;
        for (const std::string& key : in.keys) total += table.probes(key);
        return to_int(total).release();
    });
}

// signal_then_fail(signum, message): raises the signal in this thread (its
// Python handler does not run yet: no Python code runs here), then fails
// with `message`, as a call whose last poll for signals came just before a
// failure does. The handler runs while the failure is reported.
PyObject* signal_then_fail(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kSignalThenFailSpec, args, kwargs);
        const std::uint32_t signum = convert_arg("signum", [&] { return u32(bound[0]); });
        std::string message = convert_arg("message", [&] { return owned_text(bound[1]); });
        if (std::raise(static_cast<int>(signum)) != 0) throw_error(PyExc_OSError, "raise() failed");
        fail(message);
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
    {"rule_hashes", as_cfunction(rule_hashes), METH_VARARGS | METH_KEYWORDS,
     "rule_hashes(keys, seed): the rule tables' hash of each key."},
    {"rule_probes", as_cfunction(rule_probes), METH_VARARGS | METH_KEYWORDS,
     "rule_probes(keys, seed): slots read to find every key."},
    {"signal_then_fail", as_cfunction(signal_then_fail), METH_VARARGS | METH_KEYWORDS,
     "signal_then_fail(signum, message): raises the signal, then fails with the message."},
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
        install_signal_poll();
        PyRef module = checked(PyModule_Create(&module_def));
        PyRef failing = checked(PyType_FromSpec(&failing_dealloc_spec));
        if (PyModule_AddObject(module.get(), "FailingDealloc", failing.get()) < 0) throw_pending_error();
        failing.release();
        // The C++ library the build uses: a thread that the interpreter ends
        // at exit unwinds cleanly through vaskel's frames with libstdc++;
        // libc++ on glibc is built here only to check portability.
#if defined(_LIBCPP_VERSION)
        constexpr const char* kCxxLibrary = "libc++";
#else
        constexpr const char* kCxxLibrary = "libstdc++";
#endif
        if (PyModule_AddStringConstant(module.get(), "CXX_LIBRARY", kCxxLibrary) < 0) throw_pending_error();
        return module.release();
    });
}

}  // namespace vaskel::testing

PyMODINIT_FUNC PyInit__vaskel_testing(void) { return vaskel::testing::init(); }
