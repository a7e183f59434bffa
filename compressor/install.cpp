// The compressor's part of start-up, in the order its statements run.
#include "compressor/install.hpp"

#include "compressor/methods.hpp"
#include "compressor/object.hpp"
#include "compressor/pickling.hpp"
#include "module/host_calls.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

// Lines of the module's own statements that start-up reports.
namespace line {
constexpr int kImportOs = 1;
constexpr int kImportRe = 2;
constexpr int kImportStruct = 3;
constexpr int kImportPickle = 4;
constexpr int kImportZstandard = 5;
constexpr int kTestDict = 1;
}  // namespace line

// The class and, beside it, what the typed-buffer machinery leaves in the
// namespace: its reconstructor. The view types themselves are not needed by
// any operation (the encoder fills its stream through a plain buffer view).
int install_class(PyObject* module, const char* init_function) {
  const Trace trace{init_function, kFileCompressor};
  const Trace stringsource_trace{init_function, kFileStringsource};
  if (make_compressor_function_parts() < 0) return trace.fail(1);
  if (ready_compressor_type() < 0) return trace.fail(1);
  if (PyObject_SetAttr(module, str(Str::OrmekCompressor),
                       reinterpret_cast<PyObject*>(&CompressorType)) < 0) {
    return trace.fail(1);
  }
  Ref unpickle_enum =
      Ref::steal(PyCFunction_NewEx(&unpickle_enum_def, nullptr, str(Str::module_name)));
  if (!unpickle_enum) return stringsource_trace.fail(1);
  if (PyDict_SetItem(g_state.module_dict, str(Str::unpickle_enum), unpickle_enum.get()) < 0) {
    return stringsource_trace.fail(1);
  }
  return 0;
}

// The module's own statements.
int run_module_statements(const char* init_function) {
  const Trace trace{init_function, kFileCompressor};
  if (import_statement(Str::os, Str::os) < 0) return trace.fail(line::kImportOs);
  if (import_statement(Str::re, Str::re) < 0) return trace.fail(line::kImportRe);
  if (import_statement(Str::struct_, Str::struct_) < 0) return trace.fail(line::kImportStruct);
  if (import_statement(Str::pickle, Str::pickle) < 0) return trace.fail(line::kImportPickle);
  if (import_statement(Str::zstandard, Str::zstd) < 0) return trace.fail(line::kImportZstandard);
  if (record_original_globals() < 0) return trace.fail(line::kImportZstandard);

  if (install_compressor_functions(init_function) < 0) return -1;

  Ref test_dict = Ref::steal(PyDict_New());
  if (!test_dict) return trace.fail(line::kTestDict);
  if (PyDict_SetItem(g_state.module_dict, str(Str::dunder_test), test_dict.get()) < 0) {
    return trace.fail(line::kTestDict);
  }
  return 0;
}

}  // namespace

int install_compressor(PyObject* module, const char* init_function) {
  if (install_class(module, init_function) < 0) return -1;
  return run_module_statements(init_function);
}

}  // namespace ormek
