// The entry point, the module definition and the two steps of its start-up.
#include <Python.h>

#include <cstdio>

#include "compressor/methods.hpp"
#include "compressor/object.hpp"
#include "compressor/pickling.hpp"
#include "module/function_type.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

// The interpreter that first loaded the module, and the module object; both
// written only during an import.
int64_t g_main_interpreter_id = -1;
PyObject* g_module = nullptr;

// Lines of the module's own statements that start-up reports.
namespace line {
constexpr int kImportOs = 1;
constexpr int kImportRe = 2;
constexpr int kImportStruct = 3;
constexpr int kImportPickle = 4;
constexpr int kImportZstandard = 5;
constexpr int kTestDict = 1;
}  // namespace line

// Start-up's own statements, and those of the pickling helpers it defines.
constexpr const char kInitFunction[] = "init ormek_compressor";
constexpr Trace kModuleInitTrace{kInitFunction, kFileCompressor};
constexpr Trace kModuleInitStringsourceTrace{kInitFunction, kFileStringsource};

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
  int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (current == -1) return nullptr;
  if (g_main_interpreter_id == -1) {
    g_main_interpreter_id = current;
  } else if (current != g_main_interpreter_id) {
    PyErr_SetString(PyExc_ImportError, msg::kInterpreterChange);
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);

  Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  struct Copy {
    const char* from;
    const char* to;
    bool skip_none;
  };
  static const Copy copies[] = {{"loader", "__loader__", false},
                                {"origin", "__file__", false},
                                {"parent", "__package__", false},
                                {"submodule_search_locations", "__path__", true}};
  for (const Copy& c : copies) {
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, c.from));
    if (!value) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        continue;
      }
      return nullptr;
    }
    if (c.skip_none && value.get() == Py_None) continue;
    if (PyDict_SetItemString(dict, c.to, value.get()) < 0) return nullptr;
  }
  return module.release();
}

// `import name` (stored under `store_as`) as a module statement does it.
int import_into_namespace(Str name, Str store_as) {
  Ref module = Ref::steal(PyImport_GetModule(str(name)));
  if (!module && PyErr_Occurred()) return -1;
  // None in the registry blocks the import: the import machinery raises for
  // it, where taking None as the module would only fail later and obscurely.
  if (module.get() == Py_None) module = Ref();
  if (module) {
    // A module still initialising is imported properly instead.
    PyObject* module_spec = nullptr;
    int initialising = 0;
    if (PyObject_GetOptionalAttr(module.get(), str(Str::dunder_spec), &module_spec) < 0) return -1;
    if (module_spec) {
      PyObject* flag = nullptr;
      int rc = PyObject_GetOptionalAttr(module_spec, str(Str::initializing), &flag);
      Py_DECREF(module_spec);
      if (rc < 0) return -1;
      if (flag) {
        initialising = PyObject_IsTrue(flag);
        Py_DECREF(flag);
        if (initialising < 0) return -1;
      }
    }
    if (initialising) module = Ref();
  }
  if (!module) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return -1;
    module = Ref::steal(
        PyImport_ImportModuleLevelObject(str(name), g_state.module_dict, locals.get(), nullptr, 0));
    if (!module) return -1;
  }
  return PyDict_SetItem(g_state.module_dict, str(store_as), module.get());
}

int module_exec(PyObject* module) {
  if (g_module) {
    if (g_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError, msg::kReinitialisation);
    return -1;
  }
  g_module = Py_NewRef(module);
#ifdef Py_GIL_DISABLED
  PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif

  auto run = [&]() -> int {
    Py_XSETREF(g_state.module_dict, Py_NewRef(PyModule_GetDict(module)));
    Py_XSETREF(g_state.builtins, PyImport_AddModuleRef("builtins"));
    if (!g_state.builtins) return -1;
    // The shared runtime module is created (or found) in the module registry;
    // nothing here uses it.
    Ref runtime_module = Ref::steal(PyImport_AddModuleRef("velmar_runtime"));
    if (!runtime_module) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", g_state.builtins) < 0) return -1;

    // The module is built for 3.14; another running version only warns.
    const unsigned long running = Py_Version & ~0xFFFFUL;
    if (running != 0x030E0000UL) {
      char message[200];
      std::snprintf(message, sizeof message, msg::kVersionMismatch, 3, 14, "ormek_compressor",
                    msg::kVersionMismatchVerb, static_cast<int>((Py_Version >> 24) & 0xFF),
                    static_cast<int>((Py_Version >> 16) & 0xFF));
      if (PyErr_WarnEx(nullptr, message, 1) < 0) return -1;
    }

    // Until the constants are made, a failure gets no traceback entry.
    if (make_empty_constants() < 0) return -1;
    if (make_string_and_int_constants() < 0) return -1;
    if (check_debug_flag() < 0) return kModuleInitTrace.fail(1);
    if (ready_function_type() < 0) return kModuleInitTrace.fail(1);

    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, str(Str::module_name));
    if (present < 0) return kModuleInitTrace.fail(1);
    if (!present && PyDict_SetItem(modules, str(Str::module_name), module) < 0) {
      return kModuleInitTrace.fail(1);
    }

    if (cache_builtins() < 0) return kModuleInitTrace.fail(1);
    if (make_constant_tuples() < 0) return kModuleInitTrace.fail(1);
    if (make_compressor_function_parts() < 0) return kModuleInitTrace.fail(1);

    if (ready_compressor_type() < 0) return kModuleInitTrace.fail(1);
    if (PyObject_SetAttr(module, str(Str::OrmekCompressor),
                         reinterpret_cast<PyObject*>(&CompressorType)) < 0) {
      return kModuleInitTrace.fail(1);
    }

    // What the typed-buffer machinery leaves in the namespace: its
    // reconstructor. The view types themselves are not needed by any
    // operation (the encoder fills its stream through a plain buffer view).
    Ref unpickle_enum =
        Ref::steal(PyCFunction_NewEx(&unpickle_enum_def, nullptr, str(Str::module_name)));
    if (!unpickle_enum) return kModuleInitStringsourceTrace.fail(1);
    if (PyDict_SetItem(g_state.module_dict, str(Str::unpickle_enum), unpickle_enum.get()) < 0) {
      return kModuleInitStringsourceTrace.fail(1);
    }

    // The module's own statements.
    if (import_into_namespace(Str::os, Str::os) < 0) return kModuleInitTrace.fail(line::kImportOs);
    if (import_into_namespace(Str::re, Str::re) < 0) return kModuleInitTrace.fail(line::kImportRe);
    if (import_into_namespace(Str::struct_, Str::struct_) < 0) {
      return kModuleInitTrace.fail(line::kImportStruct);
    }
    if (import_into_namespace(Str::pickle, Str::pickle) < 0) {
      return kModuleInitTrace.fail(line::kImportPickle);
    }
    if (import_into_namespace(Str::zstandard, Str::zstd) < 0) {
      return kModuleInitTrace.fail(line::kImportZstandard);
    }
    if (record_original_globals() < 0) return kModuleInitTrace.fail(line::kImportZstandard);

    if (install_compressor_functions(kInitFunction) < 0) return -1;

    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict) return kModuleInitTrace.fail(line::kTestDict);
    if (PyDict_SetItem(g_state.module_dict, str(Str::dunder_test), test_dict.get()) < 0) {
      return kModuleInitTrace.fail(line::kTestDict);
    }
    return 0;
  };

  if (run() == 0) return 0;

  Py_CLEAR(g_module);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, msg::kInitFailed);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ormek_compressor",
    nullptr,
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ormek

PyMODINIT_FUNC PyInit_ormek_compressor(void) { return PyModuleDef_Init(&ormek::module_def); }
