#include "functions.hpp"

#include "binding.hpp"
#include "instances.hpp"
#include "convert.hpp"
#include "core/engine.hpp"
#include "core/line_sink.hpp"
#include "core/tokenizer.hpp"
#include "write_hooks.hpp"

namespace vaskel::py {

namespace {

constexpr const char* kTokenizeDoc =
    "tokenize(txt)\n--\n\n"
    "tokenize(txt: str)\n--\n\n"
    "Fonction de tokenisation utilisant un transducteur à états finis.\n\n"
    ":param txt: la chaîne de caractères à tokeniser\n:type txt: str";

constexpr const char* kEngineDoc =
    "engine(tokens, ruleset)\n--\n\n"
    "engine(tokens: list[str], ruleset: dict)\n--\n\n"
    "Fonction faisant tourner le moteur à base de règles, à partir de tokens et d'un ensemble de "
    "règles.\n\n"
    ":param tokens: la liste des tokens à traiter\n:type tokens: list[str]\n"
    ":param ruleset: la base de règles\n:type ruleset: dict\n"
    ":return: l'arbre résultant\n:rtype: Tree";

constexpr auto kTokenizeSpec = params(nullptr, "tokenize", {"txt"});
constexpr auto kEngineSpec = params(nullptr, "engine", {"tokens", "ruleset"});

// tokenize takes the tuple convention like every other callable: under the
// vectorcall convention the interpreter itself checks that keyword names are
// str, with a message of its own, before the binding below could refuse
// them as it refuses them everywhere else.
PyObject* tokenize_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        // The common call, one positional argument, needs no binding: the
        // argument tuple holds the text for the call.
        Bound<1> bound;
        if (kwargs == nullptr && PyTuple_Size(args) == 1) {
            bound.slots[0] = PyRef::borrow(PyTuple_GetItem(args, 0));
        } else {
            bound = bind(kTokenizeSpec, args, kwargs);
        }
        std::string_view txt = convert_arg("txt", [&] { return text_view(bound[0]); });
        if (txt.empty()) return checked(PyList_New(0)).release();
        return token_list(txt).release();
    });
}

PyObject* engine_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind(kEngineSpec, args, kwargs);
        auto tokens = convert_arg("tokens", [&] { return leaf_list(bound[0]); });
        auto rules = convert_arg("ruleset", [&] { return rule_map(bound[1]); });
        InterpreterWriteHooks hooks;
        StdoutLineWriter trace(&hooks);
        return wrap_tree(run_engine(std::move(tokens), rules, trace)).release();
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef tokenize_def = {"tokenize", as_cfunction(tokenize_entry), METH_VARARGS | METH_KEYWORDS,
                            kTokenizeDoc};
PyMethodDef engine_def = {"engine", as_cfunction(engine_entry), METH_VARARGS | METH_KEYWORDS,
                          kEngineDoc};

}  // namespace vaskel::py
