// Binding of Python call arguments to an operation's parameter list, and the
// scalar conversions and exact-type tests that follow it.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

inline constexpr Py_ssize_t kMaxParameters = 9;

// The default of an optional parameter: an integer or string constant, a
// truth value or None. A default-made one marks a required parameter.
class Default {
 public:
  constexpr Default() = default;
  constexpr Default(Int value) : kind_(Kind::integer), index_(static_cast<int>(value)) {}
  constexpr Default(Str value) : kind_(Kind::string), index_(static_cast<int>(value)) {}
  constexpr Default(std::same_as<bool> auto value)
      : kind_(value ? Kind::true_value : Kind::false_value) {}
  constexpr Default(std::nullptr_t) : kind_(Kind::none_value) {}

  constexpr bool exists() const { return kind_ != Kind::none; }
  // The default's object, borrowed from the module state.
  PyObject* object() const;

 private:
  enum class Kind : uint8_t { none, integer, string, true_value, false_value, none_value };
  Kind kind_ = Kind::none;
  int index_ = 0;
};

// A parameter after `self`.
struct Param {
  Str name;
  Default value;  // none: required
  // Given by keyword only (after the positional ones, always with a default).
  bool keyword_only = false;
};

// An operation's parameter list, without `self`: a view of its parameters,
// the required ones first.
struct Signature {
  constexpr Signature(const char* name, std::span<const Param> list)
      : name(name), params(list.data()), count(static_cast<Py_ssize_t>(list.size())) {
    while (required < count && !params[required].value.exists()) required++;
    while (positional < count && !params[positional].keyword_only) positional++;
  }

  const char* name;           // bare method name, for messages
  const Param* params;        // in declaration order
  Py_ssize_t count;           // number of parameters
  Py_ssize_t required = 0;    // the first `required` have no default
  Py_ssize_t positional = 0;  // the first `positional` may be given by position
};

// The bound values of a call, one slot per parameter: the argument, or the
// parameter's default when none was given.
struct BoundArguments {
  Ref values[kMaxParameters];
  PyObject* operator[](Py_ssize_t i) const { return values[i].get(); }
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
