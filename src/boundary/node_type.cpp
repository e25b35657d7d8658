// The Node class.
#include "callable.hpp"
#include "instances.hpp"
#include "convert.hpp"

namespace vaskel::py {

namespace {

// The constructor, described by its row (see callable.hpp; before touching
// the docstring, read "Docstrings and conversion targets" there).
constexpr auto kNodeNew = constructor<Node>(
    "Node(txt: str, lvl: int, i: int)\n--\n\n"
    "Node(txt: str, lvl: int, i: int)\n--\n\n"
    "Classe représentant le noeud d'un arbre, avec pour valeur une chaîne de caractères.\n\n"
    ":param txt: la valeur du noeud\n:type txt: str\n"
    ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
    ":param i: la position du noeud (coordonnée y)\n:type i: int",
    [](std::string&& txt, std::uint32_t lvl, std::uint32_t i) {
        Node rec;
        rec.data = std::move(txt);
        rec.level = lvl;
        rec.index = i;
        return rec;
    },
    Param<OwnedText>{"txt"}, Param<Index>{"lvl"}, Param<Index>{"i"});

PyObject* get_children(PyObject* self, void*) {
    return with_receiver<Node>(self, [](const Node& n) { return int_list(n.children); });
}
PyObject* get_data(PyObject* self, void*) {
    return with_receiver<Node>(self, [](const Node& n) { return to_str(n.data); });
}
PyObject* get_index(PyObject* self, void*) {
    return with_receiver<Node>(self, [](const Node& n) { return to_int(n.index); });
}
PyObject* get_level(PyObject* self, void*) {
    return with_receiver<Node>(self, [](const Node& n) { return to_int(n.level); });
}

PyGetSetDef node_getset[] = {
    {"children", get_children, nullptr, "", nullptr},
    {"data", get_data, nullptr, "", nullptr},
    {"index", get_index, nullptr, "", nullptr},
    {"level", get_level, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNodeNew.doc)},
    {Py_tp_new, new_slot<kNodeNew>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Node>)},
    {Py_tp_getset, node_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_node_type() noexcept {
    return create_class<Node>("vaskel.Node", node_slots);
}

}  // namespace vaskel::py
