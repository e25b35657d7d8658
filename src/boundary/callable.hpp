// A callable of the module described once: its name, its parameters with the
// conversion each argument goes through, its docstring and the core operation
// it runs. From that one row come the binding of its arguments, its entry
// function and its method record:
//
//     constexpr auto kTreeMethods = std::tuple{
//         method<Tree>("concat", "concat($self, lvl, i, sep)\n--\n\n...",
//                      [](const Tree& t, std::uint32_t lvl, std::uint32_t i, std::string_view sep) {
//                          return to_str(concat(t, lvl, i, sep));
//                      },
//                      Param<Index>{"lvl"}, Param<Index>{"i"}, Param<Text>{"sep"}),
//         ...
//     };
//     ... {Py_tp_methods, method_defs<kTreeMethods>()} ...
//
// A row is made by module_function(name, doc, op, params...),
// method<Record>(name, doc, op, params...) or constructor<Record>(doc, op,
// params...), whose tp_new slot is new_slot<row>() and whose docstring is the
// class's.
//
// Every parameter is required and may be given by position or by keyword.
// The operation gets the receiver's record (for a method) and the converted
// arguments in order, and returns the new reference to hand back (for a
// constructor, the record of the new instance).
//
// Every callable takes the tuple convention (METH_VARARGS | METH_KEYWORDS),
// or METH_NOARGS when it has no parameter. Under the vectorcall convention
// the interpreter itself checks that keyword names are str, with a message of
// its own, before the binding could refuse them as it refuses them
// everywhere else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "convert.hpp"
#include "core/failure.hpp"
#include "errors.hpp"
#include "instances.hpp"

namespace vaskel::py {

// --- Docstrings and conversion targets ------------------------------------
// The docstrings in the rows (functions.cpp, node_type.cpp, tree_type.cpp)
// are published text, compared byte for byte by their readers; both oddities
// below are on purpose.
//
// Each docstring carries its signature twice. The first copy, up to "\n--\n\n",
// is the interpreter's: it strips it from __doc__ and keeps it as
// __text_signature__ (`$self` marks the receiver of a method; the classes'
// copy carries annotations, which inspect.signature() cannot parse, and is
// kept as published). The second copy is the first line of __doc__ itself,
// the typed header that help() and the documentation have always shown; for
// the two classes it keeps its own "--" line, which is part of their __doc__
// as published. Removing either changes __doc__ or __text_signature__.
//
// A refused argument reads "'int' object cannot be converted to 'PyString'"
// (Text, OwnedText, and a keyword name that is not a str) or "... to
// 'PyDict'" (RuleMap). These are the names the module's messages have always
// given the two targets, and callers match on the messages; they are not
// misspellings of 'str' and 'dict'.

// --- conversion kinds ----------------------------------------------------
// Each names the type the operation receives and the conversion that makes
// it from the argument.

struct Text {  // valid while the argument is held, that is for the call
    using type = std::string_view;
    static type from(PyObject* o) { return text_view(o); }
};
struct OwnedText {
    using type = std::string;
    static type from(PyObject* o) { return owned_text(o); }
};
struct Index {  // any __index__ in the range of a u32
    using type = std::uint32_t;
    static type from(PyObject* o) { return u32(o); }
};
struct LeafList {  // the strs as level 0 of a tree, one leaf each
    using type = Level;
    static type from(PyObject* o) { return leaf_list(o); }
};
struct RuleMap {
    using type = RuleBase;
    static type from(PyObject* o) { return rule_map(o); }
};

// A parameter: its name, and by its type the conversion of its argument.
template <class Kind>
struct Param {
    const char* name;
};

// --- the row --------------------------------------------------------------

// Whose callable it is.
struct ModuleFunction {};
template <class Record>
struct Method {};
template <class Record>
struct Constructor {};

// The first argument of a row, a text (its name, or a constructor's
// docstring) together with the place where the row is written: reported for
// a failure of the call that carries no place of its own (a failed
// allocation, a library exception).
struct Sited {
    const char* text;
    SourceLocation where;
    constexpr Sited(const char* text, SourceLocation where = SourceLocation::current()) noexcept
        : text(text), where(where) {}
};

template <class Owner, class Op, class... Kinds>
struct Callable {
    using owner = Owner;
    static constexpr std::size_t arity = sizeof...(Kinds);

    const char* class_name;  // null for a module function
    const char* name;        // "__new__" for a constructor
    std::array<const char*, arity> params;
    const char* doc;
    Op op;
    SourceLocation where;

    constexpr ParamNames names() const { return {class_name, name, params.data(), arity}; }
};

template <class Op, class... Kinds>
constexpr Callable<ModuleFunction, Op, Kinds...> module_function(Sited name, const char* doc, Op op,
                                                                 Param<Kinds>... params) {
    return {nullptr, name.text, {params.name...}, doc, op, name.where};
}

template <class Record, class Op, class... Kinds>
constexpr Callable<Method<Record>, Op, Kinds...> method(Sited name, const char* doc, Op op,
                                                        Param<Kinds>... params) {
    return {ClassOf<Record>::name, name.text, {params.name...}, doc, op, name.where};
}

template <class Record, class Op, class... Kinds>
constexpr Callable<Constructor<Record>, Op, Kinds...> constructor(Sited doc, Op op, Param<Kinds>... params) {
    return {ClassOf<Record>::name, "__new__", {params.name...}, doc.text, op, doc.where};
}

// --- what the row gives ---------------------------------------------------

// A function of any of the interpreter's calling conventions, as the type a
// method record holds.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

namespace callable_detail {

// Rows are named by a table (a tuple of rows, or one row) and a position in
// it: a template argument may not refer to a member of a tuple.
template <class T>
struct IsTuple : std::false_type {};
template <class... T>
struct IsTuple<std::tuple<T...>> : std::true_type {};

template <const auto& table, std::size_t K>
constexpr const auto& row_at() {
    if constexpr (IsTuple<std::decay_t<decltype(table)>>::value) {
        return std::get<K>(table);
    } else {
        return table;
    }
}

template <class Owner, class Op, class... Kinds, std::size_t... K>
auto convert_all(const Callable<Owner, Op, Kinds...>& row, const Bound<sizeof...(Kinds)>& bound,
                 std::index_sequence<K...>) {
    // Braces: the arguments are converted in order, each named in its error.
    return std::tuple<typename Kinds::type...>{
        convert_arg(row.params[K], [&] { return Kinds::from(bound[K]); })...};
}

// Binds and converts the arguments of a call to `row` and runs `run` on
// them; the bound arguments (and so every view into them) are held until
// `run` returns.
template <class Owner, class Op, class... Kinds, class Run>
decltype(auto) with_arguments(const Callable<Owner, Op, Kinds...>& row, PyObject* args, PyObject* kwargs,
                              Run&& run) {
    constexpr std::size_t n = sizeof...(Kinds);
    auto bound = bind<n>(row.names(), args, kwargs);
    auto values = convert_all(row, bound, std::make_index_sequence<n>{});
    return std::apply([&](auto&... v) -> decltype(auto) { return run(std::move(v)...); }, values);
}

template <class Owner>
struct Entries;

template <>
struct Entries<ModuleFunction> {
    template <const auto& table, std::size_t K>
    static PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
        constexpr const auto& row = row_at<table, K>();
        return guarded(
            [&]() -> PyObject* {
                return with_arguments(row, args, kwargs, [&](auto&&... v) {
                           return row.op(std::forward<decltype(v)>(v)...);
                       }).release();
            },
            row.where);
    }
};

template <class Record>
struct Entries<Method<Record>> {
    template <const auto& table, std::size_t K>
    static PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) {
        constexpr const auto& row = row_at<table, K>();
        return with_receiver<Record>(
            self,
            [&](const Record& rec) {
                return with_arguments(row, args, kwargs, [&](auto&&... v) {
                    return row.op(rec, std::forward<decltype(v)>(v)...);
                });
            },
            row.where);
    }
    template <const auto& table, std::size_t K>
    static PyObject* entry_noargs(PyObject* self, PyObject*) {
        constexpr const auto& row = row_at<table, K>();
        return with_receiver<Record>(self, [&](const Record& rec) { return row.op(rec); }, row.where);
    }
};

template <class Record>
struct Entries<Constructor<Record>> {
    template <const auto& table, std::size_t K>
    static PyObject* entry(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
        constexpr const auto& row = row_at<table, K>();
        return guarded(
            [&]() -> PyObject* {
                Record rec = with_arguments(row, args, kwargs, [&](auto&&... v) {
                    return row.op(std::forward<decltype(v)>(v)...);
                });
                return new_instance(cls, std::move(rec)).release();
            },
            row.where);
    }
};

template <const auto& table, std::size_t K>
PyMethodDef method_def() {
    constexpr const auto& row = row_at<table, K>();
    using Row = std::decay_t<decltype(row)>;
    using E = Entries<typename Row::owner>;
    if constexpr (Row::arity == 0) {
        return {row.name, as_cfunction(&E::template entry_noargs<table, K>), METH_NOARGS, row.doc};
    } else {
        return {row.name, as_cfunction(&E::template entry<table, K>), METH_VARARGS | METH_KEYWORDS, row.doc};
    }
}

template <const auto& table, std::size_t... K>
PyMethodDef* method_defs(std::index_sequence<K...>) {
    static PyMethodDef defs[] = {method_def<table, K>()..., {nullptr, nullptr, 0, nullptr}};
    return defs;
}

}  // namespace callable_detail

// The tp_new slot of a constructor row.
template <const auto& row>
void* new_slot() {
    using E = callable_detail::Entries<typename std::decay_t<decltype(row)>::owner>;
    return reinterpret_cast<void*>(&E::template entry<row, 0>);
}

// The method records of a tuple of rows, in its order, ended by the null
// record: the tp_methods of a class, or the functions of the module.
template <const auto& table>
PyMethodDef* method_defs() {
    return callable_detail::method_defs<table>(
        std::make_index_sequence<std::tuple_size_v<std::decay_t<decltype(table)>>>{});
}

}  // namespace vaskel::py
