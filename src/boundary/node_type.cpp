// The Node class.
#include "binding.hpp"
#include "instances.hpp"
#include "convert.hpp"

namespace vaskel::py {

namespace {

constexpr const char* kNodeDoc =
    "Node(txt: str, lvl: int, i: int)\n--\n\n"
    "Node(txt: str, lvl: int, i: int)\n--\n\n"
    "Classe représentant le noeud d'un arbre, avec pour valeur une chaîne de caractères.\n\n"
    ":param txt: la valeur du noeud\n:type txt: str\n"
    ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
    ":param i: la position du noeud (coordonnée y)\n:type i: int";

constexpr auto kNewSpec = params("Node", "__new__", {"txt", "lvl", "i"});

PyObject* node_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kNewSpec, args, kwargs);
        Node rec;
        rec.data = convert_arg("txt", [&] { return owned_text(bound[0]); });
        rec.level = convert_arg("lvl", [&] { return u32(bound[1]); });
        rec.index = convert_arg("i", [&] { return u32(bound[2]); });
        return new_instance(cls, std::move(rec)).release();
    });
}

void node_dealloc(PyObject* self) { guarded_dealloc(self, destroy_record<Node>); }

// Runs a getter under a shared borrow of the node.
template <class Read>
PyObject* read_node(PyObject* self, Read&& read) {
    return guarded([&]() -> PyObject* {
        NodeObject* node = receiver<Node>(self, node_type(), "Node");
        PyRef hold = PyRef::borrow(self);
        SharedBorrow borrow(node->borrow);
        return read(node->rec).release();
    });
}

PyObject* get_children(PyObject* self, void*) {
    return read_node(self, [](const Node& n) { return int_list(n.children); });
}
PyObject* get_data(PyObject* self, void*) {
    return read_node(self, [](const Node& n) { return to_str(n.data); });
}
PyObject* get_index(PyObject* self, void*) {
    return read_node(self, [](const Node& n) { return to_int(n.index); });
}
PyObject* get_level(PyObject* self, void*) {
    return read_node(self, [](const Node& n) { return to_int(n.level); });
}

PyGetSetDef node_getset[] = {
    {"children", get_children, nullptr, "", nullptr},
    {"data", get_data, nullptr, "", nullptr},
    {"index", get_index, nullptr, "", nullptr},
    {"level", get_level, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNodeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_getset, node_getset},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "vaskel.Node",
    static_cast<int>(sizeof(NodeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    node_slots,
};

}  // namespace

PyTypeObject* create_node_type() noexcept {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&node_spec));
}

}  // namespace vaskel::py
