// Binding of positional and keyword arguments to a callable's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string>

#include "py_ref.hpp"

namespace vaskel::py {

// The parameters of a callable, seen without their count in the type.
struct ParamNames {
    const char* class_name;  // null for a module function
    const char* function_name;
    const char* const* names;
    std::size_t count;

    // "Tree.decapsulate()" or "tokenize()".
    std::string full_name() const;
};

// Describes a callable whose N parameters are all required and may each be
// given by position or by keyword. N comes from the names themselves:
//     constexpr auto kSpec = params("Tree", "concat", {"lvl", "i", "sep"});
template <std::size_t N>
struct ParamSpec {
    const char* class_name;
    const char* function_name;
    std::array<const char*, N> names;

    constexpr ParamNames view() const { return {class_name, function_name, names.data(), N}; }
};

template <std::size_t N>
constexpr ParamSpec<N> params(const char* class_name, const char* function_name,
                              const char* const (&names)[N]) {
    ParamSpec<N> spec{class_name, function_name, {}};
    for (std::size_t k = 0; k < N; ++k) spec.names[k] = names[k];
    return spec;
}

// Fills slots[0..count) with strong references to the arguments, or throws
// PythonErrorSet with the binding TypeError set. The references are strong
// because converting one argument runs Python code (__index__, __iter__,
// ...) that may drop the caller's dictionary of keyword arguments.
void bind_arguments(const ParamNames& spec, PyObject* args, PyObject* kwargs, PyRef* slots);

// The bound arguments of one call, held until the call ends.
template <std::size_t N>
struct Bound {
    std::array<PyRef, N> slots{};
    PyObject* operator[](std::size_t k) const { return slots[k].get(); }
};

template <std::size_t N>
Bound<N> bind(const ParamNames& spec, PyObject* args, PyObject* kwargs) {
    Bound<N> bound;
    // The common call, every argument by position, needs no binding: the
    // argument tuple holds them for the call.
    if (kwargs == nullptr && args != nullptr && PyTuple_Size(args) == static_cast<Py_ssize_t>(N)) {
        for (std::size_t k = 0; k < N; ++k) {
            bound.slots[k] = PyRef::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(k)));
        }
        return bound;
    }
    bind_arguments(spec, args, kwargs, bound.slots.data());
    return bound;
}

template <std::size_t N>
Bound<N> bind(const ParamSpec<N>& spec, PyObject* args, PyObject* kwargs) {
    return bind<N>(spec.view(), args, kwargs);
}

}  // namespace vaskel::py
