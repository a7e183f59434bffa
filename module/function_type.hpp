// The shared function type `velmar_function_or_method`: every method object of
// OrmekCompressor and the module-level reconstructor are instances of it.
#pragma once

#include <Python.h>

namespace ormek {

enum class FunctionKind : int {
  plain = 0,          // a module-level function; the wrapper gets no bound object
  native_method = 1,  // a method of a native class; the first argument is the bound object
};

// Fetches (or creates and publishes) the shared metatype and function type
// and stores the function type in the module state. 0, or -1 with an exception.
int ready_function_type();

// Makes a method object over `def` (a METH_FASTCALL | METH_KEYWORDS entry).
// For a native method, `owner` is the class whose instances it accepts.
PyObject* new_function(PyMethodDef* def, FunctionKind kind, PyObject* qualname,
                       PyObject* module_name, PyObject* globals, PyObject* code,
                       PyTypeObject* owner);

// Sets the defaults tuple the method object reports as __defaults__.
void set_function_defaults(PyObject* function, PyObject* defaults);

// True when `callable` is one of the module's own method objects over `def`,
// directly or bound to an instance (used by the override dispatch).
bool is_own_function(PyObject* callable, PyMethodDef* def);

}  // namespace ormek
