// The Tree class: constructor, the data attribute, navigation and XML export.
#include "binding.hpp"
#include "instances.hpp"
#include "convert.hpp"
#include "core/interrupt.hpp"
#include "core/line_sink.hpp"
#include "core/tree_xml.hpp"
#include "write_hooks.hpp"

namespace vaskel::py {

namespace {

constexpr const char* kTreeDoc =
    "Tree(leaves: list[str])\n--\n\n"
    "Tree(leaves: list[str])\n--\n\n"
    "Classe représentant une arborescence, les noeuds ayant pour seule valeur une chaîne de "
    "caractère. \n"
    "Le package utilise cette dernière pour garder une trace de chaque étape de transformation.\n\n"
    ":param leaves: les feuilles de l'arbre\n:type leaves: list[str]";

constexpr const char* kDecapsulateDoc =
    "decapsulate($self, lvl, i)\n--\n\n"
    "decapsulate(self, lvl: int, i: int)\n\n"
    "Méthode permettant de récupérer les feuilles auquel a accès le noeud spécifié (sous la forme "
    "d'une liste de noeuds).\n"
    ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
    ":param i: index du noeud dans le niveau\n:type i: int\n"
    ":return: la liste des feuilles\n:rtype: list[Node]";

constexpr const char* kConcatDoc =
    "concat($self, lvl, i, sep)\n--\n\n"
    "concat(self, lvl: int, i: int, sep: str)\n\n"
    "Méthode permettant de récupérer le texte des feuilles auquel le noeud a accès, avec "
    "possibilité d'un séparateur entre chaque.\n\n"
    ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
    ":param i: la position du noeud (coordonnée y)\n:type i: int\n"
    ":param sep: le séparateur à utiliser\n:type sep: str\n"
    ":return: la chaîne résultante\n:rtype: str";

constexpr const char* kGetChildrenDoc =
    "get_children($self, lvl, i)\n--\n\n"
    "get_children(self, lvl: int, i: int)\n\n"
    "Méthode permettant de récupérer les enfants du noeud.\n\n"
    ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
    ":param i: la position du noeud (coordonnée y)\n:type i: int\n"
    ":return: la liste des noeuds enfants\n:rtype: list[Node]";

constexpr const char* kSubtreeDoc =
    "subtree($self, lvl, i)\n--\n\n"
    "subtree(self, lvl: int, i: int)\n\n"
    "Permet de récupérer un sous-arbre sous la forme d'un objet Tree.\n"
    ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
    ":param i: la position du nouveau noeud racine (coordonnée y)\n:type i: int\n"
    ":return: le sous arbre partant du noeud spécifié\n:rtype: Tree";

constexpr const char* kToXmlDoc =
    "to_xml($self)\n--\n\n"
    "to_xml(self)\n\n"
    "Méthode fournissant une chaîne de caractère décrivant l'arbre au format XML. Format d'export "
    "à privilégier.\n\n"
    ":return: l'arbre structuré en XML\n:rtype: str";

// to_xml decodes its text in pieces of this size: small enough to stay in
// the processor's cache while decoded, large enough that appending each to
// the growing str costs little.
constexpr std::size_t kXmlPieceBytes = 32 * 1024;

constexpr auto kNewSpec = params("Tree", "__new__", {"leaves"});
constexpr auto kDecapsulateSpec = params("Tree", "decapsulate", {"lvl", "i"});
constexpr auto kConcatSpec = params("Tree", "concat", {"lvl", "i", "sep"});
constexpr auto kGetChildrenSpec = params("Tree", "get_children", {"lvl", "i"});
constexpr auto kSubtreeSpec = params("Tree", "subtree", {"lvl", "i"});

PyObject* tree_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kNewSpec, args, kwargs);
        auto leaves = convert_arg("leaves", [&] { return string_list(bound[0]); });
        return new_instance(cls, tree_from_leaves(std::move(leaves))).release();
    });
}

void tree_dealloc(PyObject* self) { guarded_dealloc(self, destroy_record<Tree>); }

// Runs a method or getter under a shared borrow of the tree. The tree is
// held for the call: its record is read after argument conversions that run
// Python code.
template <class Body>
PyObject* with_tree(PyObject* self, Body&& body) {
    return guarded([&]() -> PyObject* {
        TreeObject* tree = receiver<Tree>(self, tree_type(), "Tree");
        PyRef hold = PyRef::borrow(self);
        SharedBorrow borrow(tree->borrow);
        return body(static_cast<const Tree&>(tree->rec)).release();
    });
}

// Converts the bound (lvl, i) of the navigation methods.
struct Coordinates {
    std::uint32_t lvl, i;
};
template <std::size_t N>
Coordinates coordinates(const Bound<N>& bound) {
    std::uint32_t lvl = convert_arg("lvl", [&] { return u32(bound[0]); });
    std::uint32_t i = convert_arg("i", [&] { return u32(bound[1]); });
    return {lvl, i};
}

PyObject* tree_decapsulate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_tree(self, [&](const Tree& t) {
        auto c = coordinates(bind(kDecapsulateSpec, args, kwargs));
        return node_list(decapsulate(t, c.lvl, c.i));
    });
}

PyObject* tree_concat(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_tree(self, [&](const Tree& t) {
        auto bound = bind(kConcatSpec, args, kwargs);
        auto c = coordinates(bound);
        std::string_view sep = convert_arg("sep", [&] { return text_view(bound[2]); });
        return to_str(concat(t, c.lvl, c.i, sep));
    });
}

PyObject* tree_get_children(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_tree(self, [&](const Tree& t) {
        auto c = coordinates(bind(kGetChildrenSpec, args, kwargs));
        return node_list(get_children(t, c.lvl, c.i));
    });
}

PyObject* tree_subtree(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_tree(self, [&](const Tree& t) {
        auto c = coordinates(bind(kSubtreeSpec, args, kwargs));
        return wrap_tree(subtree(t, c.lvl, c.i));
    });
}

PyObject* tree_to_xml_method(PyObject* self, PyObject*) {
    return with_tree(self, [&](const Tree& t) {
        InterpreterWriteHooks hooks;
        StdoutLineWriter trace(&hooks);
        StrBuilder xml;
        tree_to_xml(t, trace, xml, kXmlPieceBytes);
        return xml.finish();
    });
}

PyObject* tree_get_data(PyObject* self, void*) {
    return with_tree(self, [&](const Tree& t) {
        PyRef levels = checked(PyList_New(static_cast<Py_ssize_t>(t.levels.size())));
        Py_ssize_t k = 0;
        InterruptCheck check;  // for trees of many small levels
        for (const Level& level : t.levels) {
            check.step();
            PyList_SetItem(levels.get(), k++, node_list(level).release());
        }
        return levels;
    });
}

PyMethodDef tree_methods[] = {
    {"decapsulate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_decapsulate)),
     METH_VARARGS | METH_KEYWORDS, kDecapsulateDoc},
    {"concat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_concat)),
     METH_VARARGS | METH_KEYWORDS, kConcatDoc},
    {"get_children", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_get_children)),
     METH_VARARGS | METH_KEYWORDS, kGetChildrenDoc},
    {"subtree", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_subtree)),
     METH_VARARGS | METH_KEYWORDS, kSubtreeDoc},
    {"to_xml", tree_to_xml_method, METH_NOARGS, kToXmlDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tree_getset[] = {
    {"data", tree_get_data, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTreeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tree_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_methods, tree_methods},
    {Py_tp_getset, tree_getset},
    {0, nullptr},
};

PyType_Spec tree_spec = {
    "vaskel.Tree",
    static_cast<int>(sizeof(TreeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    tree_slots,
};

}  // namespace

PyTypeObject* create_tree_type() noexcept {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&tree_spec));
}

}  // namespace vaskel::py
