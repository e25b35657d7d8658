// The Tree class: constructor, the data attribute, navigation and XML export.
#include "callable.hpp"
#include "instances.hpp"
#include "convert.hpp"
#include "core/interrupt.hpp"
#include "core/line_sink.hpp"
#include "core/tree_xml.hpp"
#include "write_hooks.hpp"

namespace vaskel::py {

namespace {

// to_xml decodes its text in pieces of this size: small enough to stay in
// the processor's cache while decoded, large enough that appending each to
// the growing str costs little.
constexpr std::size_t kXmlPieceBytes = 32 * 1024;

// The constructor and the methods, one row each (see callable.hpp; before
// touching a docstring, read "Docstrings and conversion targets" there).
constexpr auto kTreeNew = constructor<Tree>(
    "Tree(leaves: list[str])\n--\n\n"
    "Tree(leaves: list[str])\n--\n\n"
    "Classe représentant une arborescence, les noeuds ayant pour seule valeur une chaîne de "
    "caractère. \n"
    "Le package utilise cette dernière pour garder une trace de chaque étape de transformation.\n\n"
    ":param leaves: les feuilles de l'arbre\n:type leaves: list[str]",
    [](Level leaves) {
        // The leaves are made as the list is read: the texts are not held twice.
        Tree tree;
        tree.levels.push_back(std::move(leaves));
        return tree;
    },
    Param<LeafList>{"leaves"});

constexpr auto kTreeMethods = std::tuple{
    method<Tree>(
        "decapsulate",
        "decapsulate($self, lvl, i)\n--\n\n"
        "decapsulate(self, lvl: int, i: int)\n\n"
        "Méthode permettant de récupérer les feuilles auquel a accès le noeud spécifié (sous la forme "
        "d'une liste de noeuds).\n"
        ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
        ":param i: index du noeud dans le niveau\n:type i: int\n"
        ":return: la liste des feuilles\n:rtype: list[Node]",
        [](const Tree& t, std::uint32_t lvl, std::uint32_t i) { return node_list(decapsulate(t, lvl, i)); },
        Param<Index>{"lvl"}, Param<Index>{"i"}),
    method<Tree>(
        "concat",
        "concat($self, lvl, i, sep)\n--\n\n"
        "concat(self, lvl: int, i: int, sep: str)\n\n"
        "Méthode permettant de récupérer le texte des feuilles auquel le noeud a accès, avec "
        "possibilité d'un séparateur entre chaque.\n\n"
        ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
        ":param i: la position du noeud (coordonnée y)\n:type i: int\n"
        ":param sep: le séparateur à utiliser\n:type sep: str\n"
        ":return: la chaîne résultante\n:rtype: str",
        [](const Tree& t, std::uint32_t lvl, std::uint32_t i, std::string_view sep) {
            return to_str(concat(t, lvl, i, sep));
        },
        Param<Index>{"lvl"}, Param<Index>{"i"}, Param<Text>{"sep"}),
    method<Tree>(
        "get_children",
        "get_children($self, lvl, i)\n--\n\n"
        "get_children(self, lvl: int, i: int)\n\n"
        "Méthode permettant de récupérer les enfants du noeud.\n\n"
        ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
        ":param i: la position du noeud (coordonnée y)\n:type i: int\n"
        ":return: la liste des noeuds enfants\n:rtype: list[Node]",
        [](const Tree& t, std::uint32_t lvl, std::uint32_t i) { return node_list(get_children(t, lvl, i)); },
        Param<Index>{"lvl"}, Param<Index>{"i"}),
    method<Tree>(
        "subtree",
        "subtree($self, lvl, i)\n--\n\n"
        "subtree(self, lvl: int, i: int)\n\n"
        "Permet de récupérer un sous-arbre sous la forme d'un objet Tree.\n"
        ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
        ":param i: la position du nouveau noeud racine (coordonnée y)\n:type i: int\n"
        ":return: le sous arbre partant du noeud spécifié\n:rtype: Tree",
        [](const Tree& t, std::uint32_t lvl, std::uint32_t i) { return wrap_tree(subtree(t, lvl, i)); },
        Param<Index>{"lvl"}, Param<Index>{"i"}),
    method<Tree>(
        "to_xml",
        "to_xml($self)\n--\n\n"
        "to_xml(self)\n\n"
        "Méthode fournissant une chaîne de caractère décrivant l'arbre au format XML. Format d'export "
        "à privilégier.\n\n"
        ":return: l'arbre structuré en XML\n:rtype: str",
        [](const Tree& t) {
            InterpreterWriteHooks hooks;
            StdoutLineWriter trace(&hooks);
            StrBuilder xml;
            tree_to_xml(t, trace, xml, kXmlPieceBytes);
            return xml.finish();
        }),
};

PyObject* tree_get_data(PyObject* self, void*) {
    return with_receiver<Tree>(self, [&](const Tree& t) {
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

PyGetSetDef tree_getset[] = {
    {"data", tree_get_data, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTreeNew.doc)},
    {Py_tp_new, new_slot<kTreeNew>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Tree>)},
    {Py_tp_methods, method_defs<kTreeMethods>()},
    {Py_tp_getset, tree_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_tree_type() noexcept {
    return create_class<Tree>("vaskel.Tree", tree_slots);
}

}  // namespace vaskel::py
