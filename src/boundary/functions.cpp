#include "functions.hpp"

#include "binding.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "core/engine.hpp"
#include "core/line_sink.hpp"
#include "core/tokenizer.hpp"

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

constexpr const char* kTokenizeParams[] = {"txt"};
constexpr ParamSpec kTokenizeSpec{nullptr, "tokenize", kTokenizeParams, 1};
constexpr const char* kEngineParams[] = {"tokens", "ruleset"};
constexpr ParamSpec kEngineSpec{nullptr, "engine", kEngineParams, 2};

// tokenize is called on short texts too, so it takes the vectorcall
// convention: the interpreter hands over its argument array without making a
// tuple. The common call, one positional argument, binds directly; any other
// call is bound from a tuple and a dictionary rebuilt from the array, exactly
// as under the tuple convention, so that every binding error is the same.
PyObject* tokenize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg = nullptr;
        if (nargs == 1 && kwnames == nullptr) {
            arg = args[0];
        } else {
            PyRef tuple = checked(PyTuple_New(nargs));
            for (Py_ssize_t k = 0; k < nargs; ++k) {
                Py_INCREF(args[k]);
                PyTuple_SetItem(tuple.get(), k, args[k]);
            }
            PyRef kwargs;
            const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
            if (nkw > 0) {
                kwargs = checked(PyDict_New());
                for (Py_ssize_t k = 0; k < nkw; ++k) {
                    if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, k), args[nargs + k]) < 0) {
                        throw_pending_error();
                    }
                }
            }
            arg = bind<1>(kTokenizeSpec, tuple.get(), kwargs.get())[0];
            // The argument stays referenced by the caller's array.
        }
        std::string_view txt = convert_arg("txt", [&] { return text(arg); });
        if (txt.empty()) return checked(PyList_New(0)).release();
        return token_list(txt).release();
    });
}

PyObject* engine_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto bound = bind<2>(kEngineSpec, args, kwargs);
        auto tokens = convert_arg("tokens", [&] { return string_list(bound[0]); });
        auto rules = convert_arg("ruleset", [&] { return rule_map(bound[1]); });
        StdoutLineWriter trace;
        return wrap_tree(run_engine(std::move(tokens), rules, trace)).release();
    });
}

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef tokenize_def = {"tokenize", as_cfunction(tokenize_entry), METH_FASTCALL | METH_KEYWORDS,
                            kTokenizeDoc};
PyMethodDef engine_def = {"engine", as_cfunction(engine_entry), METH_VARARGS | METH_KEYWORDS,
                          kEngineDoc};

}  // namespace vaskel::py
