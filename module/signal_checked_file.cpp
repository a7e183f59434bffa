// The signal-answering stand-ins for files (see signal_checked_file.hpp).
#include "module/signal_checked_file.hpp"

#include <atomic>
#include <initializer_list>

#include "module/host_calls.hpp"

namespace ormek {

namespace {

// Each method of a stand-in is a function whose self is the file's own bound
// method.
PyObject* call_after_signals(PyObject* method, PyObject* const* args, Py_ssize_t nargs) {
  if (PyErr_CheckSignals() < 0) return nullptr;
  return PyObject_Vectorcall(method, args, static_cast<size_t>(nargs), nullptr);
}

#define ORMEK_CHECKED_METHOD(name) \
  { name, reinterpret_cast<PyCFunction>(call_after_signals), METH_FASTCALL, nullptr }
PyMethodDef kWriteDef = ORMEK_CHECKED_METHOD("write");
PyMethodDef kReadDef = ORMEK_CHECKED_METHOD("read");
PyMethodDef kReadlineDef = ORMEK_CHECKED_METHOD("readline");
PyMethodDef kReadintoDef = ORMEK_CHECKED_METHOD("readinto");
PyMethodDef kPeekDef = ORMEK_CHECKED_METHOD("peek");
#undef ORMEK_CHECKED_METHOD

// types.SimpleNamespace, taken on first use and kept for the process.
std::atomic<PyObject*> g_namespace_type{nullptr};

PyObject* namespace_type() {
  if (PyObject* type = g_namespace_type.load(std::memory_order_acquire)) return type;
  Ref types = Ref::steal(PyImport_ImportModule("types"));
  Ref type = types ? Ref::steal(PyObject_GetAttrString(types.get(), "SimpleNamespace")) : Ref();
  if (!type) return nullptr;
  PyObject* expected = nullptr;
  PyObject* made = type.release();
  if (!g_namespace_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);  // another thread published it first
    return expected;
  }
  return made;
}

}  // namespace

Ref simple_namespace(PyObject* attributes) {
  PyObject* type = namespace_type();
  if (!type) return Ref();
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return Ref();
  return Ref::steal(PyObject_Call(type, no_args.get(), attributes));
}

namespace {

// SimpleNamespace(name=checked(file.name), ...) for the methods the file has.
Ref stand_in(PyObject* file, std::initializer_list<PyMethodDef*> defs) {
  Ref methods = Ref::steal(PyDict_New());
  if (!methods) return Ref();
  for (PyMethodDef* def : defs) {
    PyObject* own = nullptr;
    if (PyObject_GetOptionalAttrString(file, def->ml_name, &own) < 0) return Ref();
    if (!own) continue;
    Ref own_method = Ref::steal(own);
    Ref checked = Ref::steal(PyCFunction_New(def, own_method.get()));
    if (!checked || PyDict_SetItemString(methods.get(), def->ml_name, checked.get()) < 0) {
      return Ref();
    }
  }
  return simple_namespace(methods.get());
}

}  // namespace

Ref signal_checked_writer(PyObject* file) { return stand_in(file, {&kWriteDef}); }

Ref signal_checked_reader(PyObject* file) {
  return stand_in(file, {&kReadDef, &kReadlineDef, &kReadintoDef, &kPeekDef});
}

}  // namespace ormek
