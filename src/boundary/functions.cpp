#include "functions.hpp"

#include "callable.hpp"
#include "instances.hpp"
#include "convert.hpp"
#include "core/engine.hpp"
#include "core/line_sink.hpp"
#include "core/tokenizer.hpp"
#include "write_hooks.hpp"

namespace vaskel::py {

namespace {

// The module functions, one row each (see callable.hpp; before touching a
// docstring, read "Docstrings and conversion targets" there).
constexpr auto kFunctions = std::tuple{
    module_function(
        "tokenize",
        "tokenize(txt)\n--\n\n"
        "tokenize(txt: str)\n--\n\n"
        "Fonction de tokenisation utilisant un transducteur à états finis.\n\n"
        ":param txt: la chaîne de caractères à tokeniser\n:type txt: str",
        [](std::string_view txt) {
            // The empty text, the common case of a call made per line, does
            // not enter the conversion and its large frame of token batches.
            return txt.empty() ? checked(PyList_New(0)) : token_list(txt);
        },
        Param<Text>{"txt"}),
    module_function(
        "engine",
        "engine(tokens, ruleset)\n--\n\n"
        "engine(tokens: list[str], ruleset: dict)\n--\n\n"
        "Fonction faisant tourner le moteur à base de règles, à partir de tokens et d'un ensemble de "
        "règles.\n\n"
        ":param tokens: la liste des tokens à traiter\n:type tokens: list[str]\n"
        ":param ruleset: la base de règles\n:type ruleset: dict\n"
        ":return: l'arbre résultant\n:rtype: Tree",
        [](Level tokens, const RuleBase& rules) {
            InterpreterWriteHooks hooks;
            StdoutLineWriter trace(&hooks);
            return wrap_tree(run_engine(std::move(tokens), rules, trace));
        },
        Param<LeafList>{"tokens"}, Param<RuleMap>{"ruleset"}),
};

}  // namespace

PyMethodDef* module_functions() { return method_defs<kFunctions>(); }

}  // namespace vaskel::py
