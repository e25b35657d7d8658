// The module functions tokenize and engine.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vaskel::py {

// Function records, registered with PyCFunction_NewEx.
extern PyMethodDef tokenize_def;
extern PyMethodDef engine_def;

}  // namespace vaskel::py
