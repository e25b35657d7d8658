// Binding of positional and keyword arguments to a callable's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string>

namespace vaskel::py {

// Describes a callable whose parameters are all required and may each be
// given by position or by keyword.
struct ParamSpec {
    const char* class_name;  // null for a module function
    const char* function_name;
    const char* const* names;
    std::size_t count;

    // "Tree.decapsulate()" or "tokenize()".
    std::string full_name() const;
};

// Fills slots[0..count) with borrowed references to the arguments, or throws
// PythonErrorSet with the binding TypeError set.
void bind_arguments(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> slots{};
    PyObject* operator[](std::size_t k) const { return slots[k]; }
};

template <std::size_t N>
Bound<N> bind(const ParamSpec& spec, PyObject* args, PyObject* kwargs) {
    Bound<N> bound;
    bind_arguments(spec, args, kwargs, bound.slots.data());
    return bound;
}

}  // namespace vaskel::py
