// Start-up's side of the function table: the parts of each row's function
// object, and its installation into the class or the module.
#include "compressor/function_table.hpp"

#include <iterator>

#include "compressor/object.hpp"
#include "module/host_calls.hpp"
#include "module/ref.hpp"

namespace ormek {

namespace {

FunctionParts g_parts[std::size(kCompressorFunctions)];

// Stores into a class's dictionary the way a class body does, calling the
// value's __set_name__ when it has one.
int store_in_class(PyTypeObject* type, PyObject* name, PyObject* value) {
  if (PyDict_SetItem(type->tp_dict, name, value) < 0) return -1;
  PyType_Modified(type);
  PyObject* set_name = nullptr;
  if (PyObject_GetOptionalAttr(value, str(Str::dunder_set_name), &set_name) < 0) return -1;
  if (!set_name) return 0;
  Ref held = Ref::steal(set_name);
  PyObject* args[] = {reinterpret_cast<PyObject*>(type), name};
  Ref result = call(held.get(), args, 2);
  return result ? 0 : -1;
}

}  // namespace

int make_compressor_function_parts() { return make_function_parts(kCompressorFunctions, g_parts); }

int install_compressor_functions(const char* init_function) {
  for (std::size_t i = 0; i < std::size(kCompressorFunctions); i++) {
    const FunctionRow& row = kCompressorFunctions[i];
    const FunctionParts& parts = g_parts[i];
    const Trace trace{init_function, row.file};
    const bool method = row.kind == FunctionKind::native_method;
    Ref function = Ref::steal(new_function(row, parts, method ? &CompressorType : nullptr));
    if (!function) return trace.fail(row.first_line);
    int stored = method ? store_in_class(&CompressorType, parts.name, function.get())
                        : PyDict_SetItem(g_state.module_dict, parts.name, function.get());
    if (stored < 0) return trace.fail(row.first_line);
  }
  return 0;
}

}  // namespace ormek
