// The shared function type `velmar_function_or_method`: every method object of
// OrmekCompressor and the module-level reconstructor are instances of it, each
// made from one row of a function table (FunctionRow).
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <span>

#include "module/binding.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

enum class FunctionKind : int {
  plain = 0,          // a module-level function; the wrapper gets no bound object
  native_method = 1,  // a method of a native class; the first argument is the bound object
};

// A qualified name, kept behind the module's name: a traceback entry names the
// function "ormek_compressor.<qualified name>".
class QualifiedName {
 public:
  // Implicit, so that a table row can give the qualified name as text.
  constexpr QualifiedName(const char* qualname) {
    std::size_t n = 0;
    for (const char* p = kModulePrefix; *p != '\0'; p++) text_[n++] = *p;
    for (const char* p = qualname; *p != '\0'; p++) text_[n++] = *p;
  }

  constexpr const char* get() const { return text_ + sizeof kModulePrefix - 1; }
  constexpr const char* traced() const { return text_; }

 private:
  static constexpr char kModulePrefix[] = "ormek_compressor.";
  char text_[80] = {};
};

// One function the module defines, as Python sees it. Start-up makes its code
// object, defaults and function object from the row; the function type calls
// its wrapper; the operation binds its calls by the row's parameters and
// reports under its name, file and first line.
struct FunctionRow {
  const char* name;                     // __name__ and co_name; the bare name in messages
  QualifiedName qualname;               // __qualname__ and co_qualname
  const char* file;                     // co_filename, and the file of its traceback entries
  int first_line;                       // co_firstlineno: the line of its `def`
  PyCFunctionFastWithKeywords wrapper;  // binds, converts, tests, then runs the body
  // After `self`; the defaults of the optional positional ones are its
  // __defaults__, those of the keyword-only ones its __kwdefaults__.
  std::initializer_list<Param> params = {};
  std::initializer_list<Str> locals = {};  // the local names after the parameters
  FunctionKind kind = FunctionKind::native_method;
  // Called by the module's own code through the class's direct entries, which
  // honour an override; the type's method table leaves it out.
  bool overridable = false;

  constexpr Trace trace() const { return {qualname.traced(), file}; }
  constexpr Signature signature() const { return {name, {params.begin(), params.size()}}; }
  // Binds a call by the row's parameters. A refused call gets the entry of
  // the `def` line, where a Python function reports its arguments, and false.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArguments& out) const {
    if (bind_vectorcall(signature(), args, nargs, kwnames, out) == 0) return true;
    return trace().fail(first_line);
  }
};

// What start-up makes for a row ahead of its function object: its name,
// qualified name, code object and defaults (each null when it has none). They live
// as long as the process; a later start-up (after a failed one) remakes them.
struct FunctionParts {
  PyObject* name = nullptr;
  PyObject* qualname = nullptr;
  PyObject* code = nullptr;
  PyObject* defaults = nullptr;
  PyObject* kwdefaults = nullptr;
};

// Fetches (or creates and publishes) the shared metatype and function type
// and stores the function type in the module state. 0, or -1 with an exception.
int ready_function_type();

// Makes the parts of every row into `parts` (one per row). Equal texts are one
// object across all of them. 0, or -1 with an exception set.
int make_function_parts(std::span<const FunctionRow> rows, FunctionParts* parts);

// Makes the function object of a row over its parts. For a method, `owner` is
// the class whose instances it accepts.
PyObject* new_function(const FunctionRow& row, const FunctionParts& parts, PyTypeObject* owner);

// True when `callable` is the module's own function object of `row`, directly
// or bound to an instance (used by the override dispatch).
bool is_own_function(PyObject* callable, const FunctionRow& row);

}  // namespace ormek
