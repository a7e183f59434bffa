// The entry point, the module definition and the two steps of its start-up.
#include <Python.h>

#include <cstdio>

#include "compressor/install.hpp"
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

// Start-up's own statements.
constexpr const char kInitFunction[] = "init ormek_compressor";
constexpr Trace kModuleInitTrace{kInitFunction, kFileCompressor};

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

// The module is built for 3.14; another running version only warns.
int warn_of_another_version() {
  const unsigned long running = Py_Version & ~0xFFFFUL;
  if (running == 0x030E0000UL) return 0;
  char message[200];
  std::snprintf(message, sizeof message, msg::kVersionMismatch, 3, 14, "ormek_compressor",
                msg::kVersionMismatchVerb, static_cast<int>((Py_Version >> 24) & 0xFF),
                static_cast<int>((Py_Version >> 16) & 0xFF));
  return PyErr_WarnEx(nullptr, message, 1);
}

// Start-up's steps in their order: the module state, the constants, the
// function type, the registry entry, then everything the compressor adds.
int start_module(PyObject* module) {
  replace_field(g_state.module_dict, PyModule_GetDict(module));
  replace_field(g_state.builtins, Ref::steal(PyImport_AddModuleRef("builtins")));
  if (!g_state.builtins) return -1;
  // The shared runtime module is created (or found) in the module registry;
  // nothing here uses it.
  Ref runtime_module = Ref::steal(PyImport_AddModuleRef("velmar_runtime"));
  if (!runtime_module) return -1;
  if (PyObject_SetAttrString(module, "__builtins__", g_state.builtins) < 0) return -1;
  if (warn_of_another_version() < 0) return -1;

  // Until the constants are made, a failure gets no traceback entry.
  if (make_empty_constants() < 0) return -1;
  if (make_string_and_int_constants() < 0) return -1;
  if (check_debug_flag() < 0) return kModuleInitTrace.fail(kStartUpLines.setup);
  if (ready_function_type() < 0) return kModuleInitTrace.fail(kStartUpLines.setup);

  PyObject* modules = PyImport_GetModuleDict();
  int present = PyDict_Contains(modules, str(Str::module_name));
  if (present < 0) return kModuleInitTrace.fail(kStartUpLines.setup);
  if (!present && PyDict_SetItem(modules, str(Str::module_name), module) < 0) {
    return kModuleInitTrace.fail(kStartUpLines.setup);
  }
  if (cache_builtins() < 0) return kModuleInitTrace.fail(kStartUpLines.setup);
  if (make_constant_tuples() < 0) return kModuleInitTrace.fail(kStartUpLines.setup);
  return install_compressor(module, kInitFunction);
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
  if (start_module(module) == 0) return 0;

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
