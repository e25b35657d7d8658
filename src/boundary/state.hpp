// The boundary's process-wide state, kept in this one place: the once flag of
// vaskel's init, the Node and Tree type objects and the PanicException type.
// All of it is created once and lives until the process ends.
//
// The test-only module links a second copy of the boundary. It creates none
// of these objects: it adopts vaskel's (adopt_vaskel_state), so that the
// instances it builds are vaskel's classes and the failures it raises are
// vaskel's PanicException, recognised and resumed like the product's own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vaskel::py {

// The type objects, created on first use (unless adopted) and kept for the
// process. Null with an error set if creation fails.
PyTypeObject* node_type() noexcept;
PyTypeObject* tree_type() noexcept;
PyObject* panic_type() noexcept;

// The PanicException type if it exists already, else null; never creates it
// (a fetched error cannot be a PanicException before the type exists).
PyObject* existing_panic_type() noexcept;

// Who runs init. vaskel's objects live in the main interpreter (the one the
// process started with) only. An import in a subinterpreter runs init there,
// or (Python 3.13, for a module of single-phase init like vaskel) first in the
// main interpreter, on a thread state made for that alone, and then, unless
// the import system refuses the module in that subinterpreter, there too.
enum class InitCaller { main, subinterpreter, main_for_subinterpreter };
InitCaller init_caller() noexcept;

// Exchanges the once flag with true; returns true for the first init of the
// process only.
bool claim_first_init() noexcept;

// vaskel's init: creates PanicException if needed and sets it as the
// attribute PanicException of the pure-Python module vaskel_tools._panic, so
// that the type is importable (and pickled) under its dotted name. When that
// module cannot be imported at all (vaskel_tools is not installed), the type
// stays unpublished and init goes on. On any other error it throws
// PythonErrorSet and clears the once flag: that init failed, so a later
// import may try again.
void publish_panic_type();

// The test-only module's init: imports vaskel and takes its Node, Tree and
// PanicException for this copy of the boundary. Throws PythonErrorSet if any
// of them cannot be had.
void adopt_vaskel_state();

// Defined beside their PyType_Spec records: each call creates a new type.
PyTypeObject* create_node_type() noexcept;
PyTypeObject* create_tree_type() noexcept;

}  // namespace vaskel::py
