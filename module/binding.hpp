// Binding of Python call arguments to an operation's parameter list, and the
// scalar conversions and exact-type tests that follow it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

inline constexpr Py_ssize_t kMaxParameters = 4;

// An operation's parameter list, without `self`.
struct Signature {
  const char* name;            // bare method name, for messages
  Str params[kMaxParameters];  // parameter names in declaration order
  Py_ssize_t count;            // number of parameters
  Py_ssize_t required;         // the first `required` have no default
};

// The bound values of a call, one slot per parameter (empty when not given).
struct BoundArguments {
  Ref values[kMaxParameters];
  PyObject* operator[](Py_ssize_t i) const { return values[i].get(); }
  bool given(Py_ssize_t i) const { return static_cast<bool>(values[i]); }
};

// Binds a vectorcall (positional array plus keyword-name tuple). Returns 0, or
// -1 with an exception set; the caller adds its traceback entry.
int bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& out);

// Binds a tuple-and-dict call (the class initialiser).
int bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwds, BoundArguments& out);

// The refusal of a parameterless method called with arguments; 0 when the call
// carries none.
int check_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames);

// The signed 32-bit integer conversion. Returns -1 with an exception set on
// failure (check PyErr_Occurred() when -1 is a valid value).
int32_t as_int32(PyObject* obj);
// Same rule for a machine long, over its whole range (the pickling checksum
// argument).
long as_long_checked(PyObject* obj);

// Passes None or exactly `expected`; otherwise raises the incorrect-type error.
bool check_exact_type(PyObject* obj, PyTypeObject* expected, Str param_name);

}  // namespace ormek
