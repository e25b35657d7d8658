// The module functions tokenize and engine.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vaskel::py {

// The records of the module's functions, in the order of registration, ended
// by the null record; each is registered with PyCFunction_NewEx.
PyMethodDef* module_functions();

}  // namespace vaskel::py
