#include "module/function_type.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

constexpr const char kRegistryModule[] = "_velmar_3_1_4";

struct VelFunction {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionRow* row;
  PyTypeObject* owner;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* globals;
  PyObject* code;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* doc;
  PyObject* dict;
  PyObject* weakreflist;
};

VelFunction* as_function(PyObject* op) { return reinterpret_cast<VelFunction*>(op); }

// ---------------------------------------------------------------------------
// Calls.

PyObject* call_wrapper(VelFunction* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* self = nullptr;
  if (f->row->kind == FunctionKind::native_method) {
    if (nargs < 1) {
      PyErr_Format(PyExc_TypeError, msg::kNeedsArgument, f->row->name, msg::kNeedsArgumentWhat);
      return nullptr;
    }
    self = args[0];
    args++;
    nargs--;
    // The bodies rely on the bound object's fields: refuse anything else
    // before a body can run.
    if (f->owner && !PyObject_TypeCheck(self, f->owner)) {
      PyErr_Format(PyExc_TypeError, msg::kWrongBoundObject, f->row->name, f->owner->tp_name,
                   Py_TYPE(self)->tp_name);
      return nullptr;
    }
  }
  return f->row->wrapper(self, args, nargs, kwnames);
}

PyObject* function_vectorcall(PyObject* op, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  return call_wrapper(as_function(op), args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* function_call(PyObject* op, PyObject* args, PyObject* kwargs) {
  VelFunction* f = as_function(op);
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
    return call_wrapper(f, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
  }
  Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
  auto* stack =
      static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(nargs + nkw) * sizeof(PyObject*)));
  if (!stack) return PyErr_NoMemory();
  Ref kwnames = Ref::steal(PyTuple_New(nkw));
  if (!kwnames) {
    PyMem_Free(stack);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; i++) stack[i] = PyTuple_GET_ITEM(args, i);
  // The values are kept alive by references of our own while the call runs.
  Ref values = Ref::steal(PyTuple_New(nkw));
  bool ok = static_cast<bool>(values);
  if (ok) {
    Py_ssize_t pos = 0;
    Py_ssize_t k = 0;
    PyObject* key;
    PyObject* value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, msg::kKeywordKeysNotStrings);
        ok = false;
        break;
      }
      PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
      PyTuple_SET_ITEM(values.get(), k, Py_NewRef(value));
      stack[nargs + k] = value;
      k++;
    }
  }
  PyObject* result = ok ? call_wrapper(f, stack, nargs, kwnames.get()) : nullptr;
  PyMem_Free(stack);
  return result;
}

PyObject* function_descr_get(PyObject* op, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(op);
  return PyMethod_New(op, obj);
}

// ---------------------------------------------------------------------------
// Attributes. Each reader and writer runs in a critical section on the
// function object.

template <typename Body>
PyObject* locked_get(PyObject* op, Body body) {
  PyObject* result;
  Py_BEGIN_CRITICAL_SECTION(op);
  result = body(as_function(op));
  Py_END_CRITICAL_SECTION();
  return result;
}

template <typename Body>
int locked_set(PyObject* op, Body body) {
  int result;
  Py_BEGIN_CRITICAL_SECTION(op);
  result = body(as_function(op));
  Py_END_CRITICAL_SECTION();
  return result;
}

PyObject* or_none(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

PyObject* get_doc(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) { return or_none(f->doc); });
}
int set_doc(PyObject* op, PyObject* value, void*) {
  return locked_set(op, [value](VelFunction* f) {
    replace_field(f->doc, value ? value : Py_None);
    return 0;
  });
}

PyObject* get_name(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) { return Py_NewRef(f->name); });
}
int set_name(PyObject* op, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, msg::kNameMustBeString);
    return -1;
  }
  return locked_set(op, [value](VelFunction* f) {
    replace_field(f->name, value);
    return 0;
  });
}

PyObject* get_qualname(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) { return Py_NewRef(f->qualname); });
}
int set_qualname(PyObject* op, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, msg::kQualnameMustBeString);
    return -1;
  }
  return locked_set(op, [value](VelFunction* f) {
    replace_field(f->qualname, value);
    return 0;
  });
}

PyObject* get_dict(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) -> PyObject* {
    if (!f->dict) {
      f->dict = PyDict_New();
      if (!f->dict) return nullptr;
    }
    return Py_NewRef(f->dict);
  });
}
int set_dict(PyObject* op, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, msg::kFuncDictDeleted);
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, msg::kFuncDictNotDict);
    return -1;
  }
  return locked_set(op, [value](VelFunction* f) {
    replace_field(f->dict, value);
    return 0;
  });
}

PyObject* get_globals(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) { return Py_NewRef(f->globals); });
}
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) { return or_none(f->code); });
}

PyObject* get_defaults(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) { return or_none(f->defaults); });
}
int set_defaults(PyObject* op, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, msg::kDefaultsMustBeTuple);
    return -1;
  }
  if (PyErr_WarnEx(PyExc_RuntimeWarning, msg::kDefaultsChanged, 1) < 0) return -1;
  return locked_set(op, [value](VelFunction* f) {
    replace_field(f->defaults, value);
    return 0;
  });
}

PyObject* get_kwdefaults(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) { return or_none(f->kwdefaults); });
}
int set_kwdefaults(PyObject* op, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, msg::kKwdefaultsMustBeDict);
    return -1;
  }
  if (PyErr_WarnEx(PyExc_RuntimeWarning, msg::kKwdefaultsChanged, 1) < 0) return -1;
  return locked_set(op, [value](VelFunction* f) {
    replace_field(f->kwdefaults, value);
    return 0;
  });
}

PyObject* get_annotations(PyObject* op, void*) {
  return locked_get(op, [](VelFunction* f) -> PyObject* {
    if (!f->annotations) {
      f->annotations = PyDict_New();
      if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
  });
}
int set_annotations(PyObject* op, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, msg::kAnnotationsMustBeDict);
    return -1;
  }
  return locked_set(op, [value](VelFunction* f) {
    replace_field(f->annotations, value);
    return 0;
  });
}

PyObject* get_is_coroutine(PyObject* op, void*) {
  return locked_get(op, [](VelFunction*) { return Py_NewRef(Py_False); });
}

PyGetSetDef function_getset[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(VelFunction, module), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(VelFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(VelFunction, weakreflist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(VelFunction, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// A method object pickles by its qualified name.
PyObject* function_reduce(PyObject* op, PyObject*) {
  return locked_get(op, [](VelFunction* f) { return Py_NewRef(f->qualname); });
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* op) {
  return locked_get(op, [op](VelFunction* f) {
    return PyUnicode_FromFormat(msg::kFunctionRepr, f->qualname, op);
  });
}

// ---------------------------------------------------------------------------
// Lifetime.

int function_traverse(PyObject* op, visitproc visit, void* arg) {
  VelFunction* f = as_function(op);
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(f->owner);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* op) {
  VelFunction* f = as_function(op);
  Py_CLEAR(f->owner);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* op) {
  VelFunction* f = as_function(op);
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  if (f->weakreflist) PyObject_ClearWeakRefs(op);
  function_clear(op);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  PyObject_GC_Del(op);
  Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

// Instances are made only by new_function: without DISALLOW_INSTANTIATION the
// type would inherit object's tp_new, and calling the type from Python would
// make a record with no method entry that crashes on first use.
PyType_Spec function_spec = {
    "_velmar_3_1_4.velmar_function_or_method",
    sizeof(VelFunction),
    0,
    Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The shared metatype only changes what its types report as __module__.
PyObject* metatype_get_module(PyObject*, void*) { return PyUnicode_FromString(kRegistryModule); }

PyGetSetDef metatype_getset[] = {
    {"__module__", metatype_get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot metatype_slots[] = {
    {Py_tp_getset, metatype_getset},
    {0, nullptr},
};

PyType_Spec metatype_spec = {
    "_velmar_3_1_4._common_types_metatype",
    0,
    0,
    Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    metatype_slots,
};

PyObject* check_shared_type(PyObject* obj, const PyType_Spec& type_spec, const char* short_name) {
  if (!PyType_Check(obj)) {
    PyErr_Format(PyExc_TypeError, msg::kSharedTypeNotAType, short_name);
    return nullptr;
  }
  if (type_spec.basicsize &&
      reinterpret_cast<PyTypeObject*>(obj)->tp_basicsize != type_spec.basicsize) {
    PyErr_Format(PyExc_TypeError, msg::kSharedTypeWrongSize, short_name);
    return nullptr;
  }
  return obj;
}

// Takes the shared type from the registry module, or creates and publishes it;
// when another module publishes one first, that one is used.
Ref fetch_shared_type(PyTypeObject* metaclass, PyType_Spec& type_spec, PyObject* bases) {
  const char* short_name = std::strrchr(type_spec.name, '.') + 1;
  Ref registry = Ref::steal(PyImport_AddModuleRef(kRegistryModule));
  if (!registry) return Ref();
  PyObject* registry_dict = PyModule_GetDict(registry.get());
  Ref key = Ref::steal(PyUnicode_FromString(short_name));
  if (!key) return Ref();
  PyObject* existing = nullptr;
  if (PyDict_GetItemRef(registry_dict, key.get(), &existing) < 0) return Ref();
  if (existing) {
    Ref held = Ref::steal(existing);
    if (!check_shared_type(held.get(), type_spec, short_name)) return Ref();
    return held;
  }
  Ref created = Ref::steal(PyType_FromMetaclass(metaclass, registry.get(), &type_spec, bases));
  if (!created) return Ref();
  PyObject* published = nullptr;
  if (PyDict_SetDefaultRef(registry_dict, key.get(), created.get(), &published) < 0) return Ref();
  Ref held = Ref::steal(published);
  if (held.get() != created.get() && !check_shared_type(held.get(), type_spec, short_name)) {
    return Ref();
  }
  return held;
}

}  // namespace

int ready_function_type() {
  Ref metatype =
      fetch_shared_type(nullptr, metatype_spec, reinterpret_cast<PyObject*>(&PyType_Type));
  if (!metatype) return -1;
  Ref function_type =
      fetch_shared_type(reinterpret_cast<PyTypeObject*>(metatype.get()), function_spec, nullptr);
  if (!function_type) return -1;
  PyObject* old = reinterpret_cast<PyObject*>(g_state.function_type);
  g_state.function_type = reinterpret_cast<PyTypeObject*>(function_type.release());
  Py_XDECREF(old);
  return 0;
}

namespace {

// One location entry without columns covering the whole (zero-filled) code
// string, at the first line.
constexpr char kLineTable[] = {static_cast<char>(0x80 | (13 << 3) | 3), 0};

// The object already made for an equal text, else `made` (which is stolen).
PyObject* shared_text(PyObject* made_texts, PyObject* made) {
  Ref text = Ref::steal(made);
  if (!text) return nullptr;
  PyObject* shared = nullptr;
  int rc = PyDict_SetDefaultRef(made_texts, text.get(), text.get(), &shared);
  return rc < 0 ? nullptr : shared;
}

// The texts and bytes every function's code object shares.
struct CodeParts {
  Ref made_texts;  // each text made once, by value
  Ref line_table;
  Ref code_bytes;
};

bool make_code_parts(CodeParts& shared) {
  shared.made_texts = Ref::steal(PyDict_New());
  if (!shared.made_texts) return false;
  shared.line_table = Ref::steal(PyBytes_FromStringAndSize(kLineTable, sizeof kLineTable));
  if (!shared.line_table) return false;
  // Four bytes per two line-table bytes, plus four.
  Py_ssize_t code_size = (static_cast<Py_ssize_t>(sizeof kLineTable) / 2) * 4 + 4;
  shared.code_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, code_size));
  if (!shared.code_bytes) return false;
  std::fill_n(PyBytes_AS_STRING(shared.code_bytes.get()), code_size, '\0');
  return true;
}

// The code object of `row`, named `name` and `qualname`: its arguments (self
// first for a method) and locals by name, at the row's first line.
Ref make_code(const FunctionRow& row, const CodeParts& shared, PyObject* name, PyObject* qualname) {
  Ref file = Ref::steal(shared_text(shared.made_texts.get(), PyUnicode_InternFromString(row.file)));
  if (!file) return Ref();
  const bool method = row.kind == FunctionKind::native_method;
  const Signature signature = row.signature();
  const Py_ssize_t argcount = (method ? 1 : 0) + signature.positional;
  const Py_ssize_t kwonlycount = signature.count - signature.positional;
  Ref names =
      Ref::steal(PyTuple_New(argcount + kwonlycount + static_cast<Py_ssize_t>(row.locals.size())));
  if (!names) return Ref();
  Py_ssize_t n = 0;
  auto add_name = [&](Str local) {
    PyObject* unique = shared_text(shared.made_texts.get(), Py_NewRef(str(local)));
    if (!unique) return false;
    PyTuple_SET_ITEM(names.get(), n++, unique);
    return true;
  };
  if (method && !add_name(Str::self)) return Ref();
  for (const Param& param : row.params) {
    if (!add_name(param.name)) return Ref();
  }
  for (Str local : row.locals) {
    if (!add_name(local)) return Ref();
  }
  PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
      static_cast<int>(argcount), 0, static_cast<int>(kwonlycount), static_cast<int>(n), 0,
      CO_OPTIMIZED | CO_NEWLOCALS, shared.code_bytes.get(), g_state.empty_tuple,
      g_state.empty_tuple, names.get(), g_state.empty_tuple, g_state.empty_tuple, file.get(), name,
      qualname, row.first_line, shared.line_table.get(), g_state.empty_bytes);
  return Ref::steal(reinterpret_cast<PyObject*>(code));
}

// The positional defaults are __defaults__, the keyword-only ones
// __kwdefaults__; each is left null where there are none. False with the
// error set.
bool make_defaults(const Signature& signature, Ref& defaults, Ref& kwdefaults) {
  if (signature.required < signature.positional) {
    defaults = Ref::steal(PyTuple_New(signature.positional - signature.required));
    if (!defaults) return false;
    for (Py_ssize_t k = signature.required; k < signature.positional; k++) {
      PyObject* value = signature.params[k].value.object();
      PyTuple_SET_ITEM(defaults.get(), k - signature.required, Py_NewRef(value));
    }
  }
  if (signature.count > signature.positional) {
    kwdefaults = Ref::steal(PyDict_New());
    if (!kwdefaults) return false;
    for (Py_ssize_t k = signature.positional; k < signature.count; k++) {
      const Param& param = signature.params[k];
      if (PyDict_SetItem(kwdefaults.get(), str(param.name), param.value.object()) < 0) return false;
    }
  }
  return true;
}

}  // namespace

int make_function_parts(std::span<const FunctionRow> rows, FunctionParts* parts) {
  CodeParts shared;
  if (!make_code_parts(shared)) return -1;
  for (std::size_t i = 0; i < rows.size(); i++) {
    const FunctionRow& row = rows[i];
    PyObject* texts = shared.made_texts.get();
    Ref name = Ref::steal(shared_text(texts, PyUnicode_InternFromString(row.name)));
    if (!name) return -1;
    Ref qualname = Ref::steal(shared_text(texts, PyUnicode_FromString(row.qualname.get())));
    if (!qualname) return -1;
    Ref code = make_code(row, shared, name.get(), qualname.get());
    if (!code) return -1;
    Ref defaults, kwdefaults;
    if (!make_defaults(row.signature(), defaults, kwdefaults)) return -1;
    FunctionParts& made = parts[i];
    replace_field(made.name, std::move(name));
    replace_field(made.qualname, std::move(qualname));
    replace_field(made.code, std::move(code));
    replace_field(made.defaults, std::move(defaults));
    replace_field(made.kwdefaults, std::move(kwdefaults));
  }
  return 0;
}

PyObject* new_function(const FunctionRow& row, const FunctionParts& parts, PyTypeObject* owner) {
  auto* f = PyObject_GC_New(VelFunction, g_state.function_type);
  if (!f) return nullptr;
  f->vectorcall = function_vectorcall;
  f->row = &row;
  f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
  f->name = Py_NewRef(parts.name);
  f->qualname = Py_NewRef(parts.qualname);
  f->module = Py_NewRef(str(Str::module_name));
  f->globals = Py_NewRef(g_state.module_dict);
  f->code = Py_NewRef(parts.code);
  f->defaults = Py_XNewRef(parts.defaults);
  f->kwdefaults = Py_XNewRef(parts.kwdefaults);
  f->annotations = nullptr;
  f->doc = nullptr;
  f->dict = nullptr;
  f->weakreflist = nullptr;
  // Tracking starts only once every field is set.
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return reinterpret_cast<PyObject*>(f);
}

bool is_own_function(PyObject* callable, const FunctionRow& row) {
  if (PyMethod_Check(callable)) callable = PyMethod_GET_FUNCTION(callable);
  if (!g_state.function_type || !PyObject_TypeCheck(callable, g_state.function_type)) return false;
  return as_function(callable)->row == &row;
}

}  // namespace ormek
