// The compressor's part of start-up, in the order its statements run.
#include "compressor/install.hpp"

#include <iterator>

#include "compressor/function_table.hpp"
#include "compressor/object.hpp"
#include "compressor/pickling.hpp"
#include "module/host_calls.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

// The module's imports, `import <module> [as <bound>]`, one a line from its
// first, in the order they run.
struct ImportStatement {
  Str module;
  Str bound;
};
constexpr ImportStatement kImports[] = {{Str::os, Str::os},
                                        {Str::re, Str::re},
                                        {Str::struct_, Str::struct_},
                                        {Str::pickle, Str::pickle},
                                        {Str::zstandard, Str::zstd}};
constexpr int kLastImportLine =
    kStartUpLines.first_import + static_cast<int>(std::size(kImports)) - 1;

// The class and, beside it, what the typed-buffer machinery leaves in the
// namespace: its reconstructor. The view types themselves are not needed by
// any operation (the encoder fills its stream through a plain buffer view).
int install_class(PyObject* module, const char* init_function) {
  const Trace trace{init_function, kFileCompressor};
  const Trace stringsource_trace{init_function, kFileStringsource};
  if (make_compressor_function_parts() < 0) return trace.fail(kStartUpLines.setup);
  if (ready_compressor_type() < 0) return trace.fail(kStartUpLines.setup);
  if (PyObject_SetAttr(module, str(Str::OrmekCompressor),
                       reinterpret_cast<PyObject*>(&CompressorType)) < 0) {
    return trace.fail(kStartUpLines.setup);
  }
  Ref unpickle_enum =
      Ref::steal(PyCFunction_NewEx(&unpickle_enum_def, nullptr, str(Str::module_name)));
  if (!unpickle_enum) return stringsource_trace.fail(kStartUpLines.setup);
  if (PyDict_SetItem(g_state.module_dict, str(Str::unpickle_enum), unpickle_enum.get()) < 0) {
    return stringsource_trace.fail(kStartUpLines.setup);
  }
  return 0;
}

// The module's own statements.
int run_module_statements(const char* init_function) {
  const Trace trace{init_function, kFileCompressor};
  int line = kStartUpLines.first_import;
  for (const ImportStatement& statement : kImports) {
    if (import_statement(statement.module, statement.bound) < 0) return trace.fail(line);
    line++;
  }
  if (record_original_globals() < 0) return trace.fail(kLastImportLine);

  if (install_compressor_functions(init_function) < 0) return -1;

  Ref test_dict = Ref::steal(PyDict_New());
  if (!test_dict) return trace.fail(kStartUpLines.test_dict);
  if (PyDict_SetItem(g_state.module_dict, str(Str::dunder_test), test_dict.get()) < 0) {
    return trace.fail(kStartUpLines.test_dict);
  }
  return 0;
}

}  // namespace

int install_compressor(PyObject* module, const char* init_function) {
  if (install_class(module, init_function) < 0) return -1;
  return run_module_statements(init_function);
}

}  // namespace ormek
