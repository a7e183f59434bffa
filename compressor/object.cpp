// The OrmekCompressor class: allocation, __init__, the four attributes,
// garbage collection and destruction.
#include "compressor/object.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>

#include "compressor/function_table.hpp"
#include "compressor/pickling.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

// __init__'s statements, at the lines of their traceback entries.
constexpr struct InitLines {
  int binding = 13, global_dict = 15, inverse_dict = 16, load_dict = 18;
} kInitLines{};
// next_id's getter and setter: the attribute's line.
constexpr struct NextIdLines { int attribute = 11; } kNextIdLines{};

constexpr Trace kInitTrace{"ormek_compressor.OrmekCompressor.__init__", kFileCompressor};
constexpr Trace kNextIdGetTrace{"ormek_compressor.OrmekCompressor.next_id.__get__",
                                kFileCompressor};
constexpr Trace kNextIdSetTrace{"ormek_compressor.OrmekCompressor.next_id.__set__",
                                kFileCompressor};

constexpr Param kInitParams[] = {{Str::dict_path, Str::default_dict_path}};
constexpr Signature kInitSignature{"__init__", kInitParams};

PyObject* compressor_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* op = type->tp_alloc(type, 0);
  if (!op) return nullptr;
  CompressorObject* self = as_compressor(op);
  self->direct = &compressor_direct_entries;
  self->dict_path = Py_NewRef(Py_None);
  self->global_dict = Py_NewRef(Py_None);
  self->inverse_dict = Py_NewRef(Py_None);
  self->next_id = 0;
  new (&self->call_lock) CallLock();
  return op;
}

int compressor_init(PyObject* op, PyObject* args, PyObject* kwds) {
  CallGuard guard(call_lock_of(op));
  BoundArguments bound;
  if (bind_tuple_dict(kInitSignature, args, kwds, bound) < 0) {
    return kInitTrace.fail(kInitLines.binding);
  }
  CompressorObject* self = as_compressor(op);
  replace_field(self->dict_path, bound[0]);
  Ref global_dict = Ref::steal(PyDict_New());
  if (!global_dict) return kInitTrace.fail(kInitLines.global_dict);
  replace_field(self->global_dict, std::move(global_dict));
  Ref inverse_dict = Ref::steal(PyDict_New());
  if (!inverse_dict) return kInitTrace.fail(kInitLines.inverse_dict);
  replace_field(self->inverse_dict, std::move(inverse_dict));
  self->next_id = 1;
  // By name, so that a subclass's load_dict is the one that runs.
  Ref result = call_method(op, str(Str::load_dict), nullptr, 0);
  if (!result) return kInitTrace.fail(kInitLines.load_dict);
  return 0;
}

int compressor_traverse(PyObject* op, visitproc visit, void* arg) {
  CompressorObject* self = as_compressor(op);
  Py_VISIT(self->dict_path);
  Py_VISIT(self->global_dict);
  Py_VISIT(self->inverse_dict);
  return 0;
}

int compressor_clear(PyObject* op) {
  CompressorObject* self = as_compressor(op);
  replace_field(self->dict_path, Py_None);
  replace_field(self->global_dict, Py_None);
  replace_field(self->inverse_dict, Py_None);
  return 0;
}

void compressor_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  if (type->tp_finalize && !PyObject_GC_IsFinalized(op) && type->tp_dealloc == compressor_dealloc) {
    if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
  }
  PyObject_GC_UnTrack(op);
  // A chain of compressors holding each other in their fields would otherwise
  // recurse once per link here and overflow the C stack.
  Py_TRASHCAN_BEGIN(op, compressor_dealloc);
  CompressorObject* self = as_compressor(op);
  Py_CLEAR(self->dict_path);
  Py_CLEAR(self->global_dict);
  Py_CLEAR(self->inverse_dict);
  type->tp_free(op);
  Py_TRASHCAN_END;
}

// dict_path, global_dict, inverse_dict: the very object held; deletion stores None.
template <PyObject* CompressorObject::*Field>
PyObject* get_object_field(PyObject* op, void*) {
  CallGuard guard(call_lock_of(op));
  return Py_NewRef(as_compressor(op)->*Field);
}

template <PyObject* CompressorObject::*Field>
int set_object_field(PyObject* op, PyObject* value, void*) {
  CallGuard guard(call_lock_of(op));
  replace_field(as_compressor(op)->*Field, value ? value : Py_None);
  return 0;
}

PyObject* get_next_id(PyObject* op, void*) {
  CallGuard guard(call_lock_of(op));
  PyObject* value = PyLong_FromLong(as_compressor(op)->next_id);
  if (!value) return kNextIdGetTrace.fail(kNextIdLines.attribute);
  return value;
}

int set_next_id(PyObject* op, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_NotImplementedError, msg::kDeleteNotSupported);
    return -1;
  }
  // Converted before the lock is taken: __int__ may be user code.
  int32_t converted = as_int32(value);
  if (converted == -1 && PyErr_Occurred()) return kNextIdSetTrace.fail(kNextIdLines.attribute);
  CallGuard guard(call_lock_of(op));
  as_compressor(op)->next_id = converted;
  return 0;
}

PyGetSetDef compressor_getset[] = {
    {"dict_path", get_object_field<&CompressorObject::dict_path>,
     set_object_field<&CompressorObject::dict_path>, nullptr, nullptr},
    {"global_dict", get_object_field<&CompressorObject::global_dict>,
     set_object_field<&CompressorObject::global_dict>, nullptr, nullptr},
    {"inverse_dict", get_object_field<&CompressorObject::inverse_dict>,
     set_object_field<&CompressorObject::inverse_dict>, nullptr, nullptr},
    {"next_id", get_next_id, set_next_id, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The type's method table lists the methods that are not overridable, in
// table order. The function objects start-up installs later take their places
// in the class, except where pickling moved them.
constexpr bool in_method_table(const FunctionRow& row) {
  return row.kind == FunctionKind::native_method && !row.overridable;
}
constexpr std::size_t kMethodTableSize =
    std::ranges::count_if(kCompressorFunctions, in_method_table);

std::array<PyMethodDef, kMethodTableSize + 1> compressor_methods = [] {
  std::array<PyMethodDef, kMethodTableSize + 1> table{};  // ends in the terminator
  std::size_t n = 0;
  for (const FunctionRow& row : kCompressorFunctions) {
    if (!in_method_table(row)) continue;
    table[n++] = {row.name,
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(row.wrapper)),
                  METH_FASTCALL | METH_KEYWORDS, nullptr};
  }
  return table;
}();

bool g_type_ready = false;

}  // namespace

CompressorDirectEntries compressor_direct_entries = {tokenize_direct, detokenize_direct};

PyTypeObject CompressorType = {
    // The head macro ends in its own comma, which the formatter cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "ormek_compressor.OrmekCompressor",
    // clang-format on
    .tp_basicsize = sizeof(CompressorObject),
    .tp_itemsize = 0,
    .tp_dealloc = compressor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = compressor_traverse,
    .tp_clear = compressor_clear,
    .tp_methods = compressor_methods.data(),
    .tp_getset = compressor_getset,
    .tp_init = compressor_init,
    .tp_new = compressor_new,
};

int ready_compressor_type() {
  // The class is static and outlives a failed start-up: a later start-up
  // finds it ready, with its pickling already set up, and must not redo that
  // (the method-table names it moves are gone from the class by then).
  if (g_type_ready) return 0;
  compressor_direct_entries = {tokenize_direct, detokenize_direct};
  if (PyType_Ready(&CompressorType) < 0) return -1;
  Ref capsule = Ref::steal(PyCapsule_New(&compressor_direct_entries, nullptr, nullptr));
  if (!capsule) return -1;
  if (PyDict_SetItem(CompressorType.tp_dict, str(Str::dunder_vtable), capsule.get()) < 0) {
    return -1;
  }
  if (setup_pickling(&CompressorType) < 0) return -1;
  g_type_ready = true;
  return 0;
}

}  // namespace ormek
