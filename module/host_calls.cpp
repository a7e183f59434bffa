#include "module/host_calls.hpp"

#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

void raise_exception(PyObject* type, PyObject* value) {
  if (value == Py_None) value = nullptr;
  if (PyExceptionInstance_Check(type)) {
    if (value) {
      PyErr_SetString(PyExc_TypeError, msg::kInstanceWithValue);
      return;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
    return;
  }
  if (!PyExceptionClass_Check(type)) {
    PyErr_SetString(PyExc_TypeError, msg::kRaiseNeedsException);
    return;
  }
  if (value) {
    int is_sub = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type);
    if (is_sub < 0) return;
    if (is_sub) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
      return;
    }
  }
  Ref args;
  if (!value) {
    args = Ref::borrow(g_state.empty_tuple ? g_state.empty_tuple : nullptr);
    if (!args) args = Ref::steal(PyTuple_New(0));
  } else if (PyTuple_Check(value)) {
    args = Ref::borrow(value);
  } else {
    args = Ref::steal(PyTuple_Pack(1, value));
  }
  if (!args) return;
  Ref instance = Ref::steal(PyObject_Call(type, args.get(), nullptr));
  if (!instance) return;
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_Format(PyExc_TypeError, msg::kRaiseCallReturned, type, Py_TYPE(instance.get()));
    return;
  }
  PyErr_SetObject(type, instance.get());
}

Ref get_global(PyObject* name) {
  PyObject* value = nullptr;
  if (g_state.module_dict) {
    if (PyDict_GetItemRef(g_state.module_dict, name, &value) < 0) PyErr_Clear();
    if (value) return Ref::steal(value);
  }
  if (PyObject_GetOptionalAttr(g_state.builtins, name, &value) < 0) return Ref();
  if (!value) PyErr_Format(PyExc_NameError, msg::kNameNotDefined, name);
  return Ref::steal(value);
}

Ref os_path_attribute(Str name) {
  Ref os = get_global(str(Str::os));
  if (!os) return Ref();
  Ref path = Ref::steal(PyObject_GetAttr(os.get(), str(Str::path)));
  if (!path) return Ref();
  return Ref::steal(PyObject_GetAttr(path.get(), str(name)));
}

void raise_need_more_values(Py_ssize_t found) {
  PyErr_Format(PyExc_ValueError, msg::kNeedMoreValues, found, found == 1 ? "" : "s");
}

void raise_too_many_values(Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, msg::kTooManyValues, expected);
}

bool unpack_two(PyObject* item, Ref& first, Ref& second) {
  if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
    if (size != 2) {
      if (size > 2) {
        raise_too_many_values(2);
      } else {
        raise_need_more_values(size);
      }
      return false;
    }
    first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
    second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(item));
  if (!iter) return false;
  Ref* slots[] = {&first, &second};
  for (Py_ssize_t i = 0; i < 2; i++) {
    *slots[i] = Ref::steal(PyIter_Next(iter.get()));
    if (!*slots[i]) {
      if (!PyErr_Occurred()) raise_need_more_values(i);
      return false;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(iter.get()));
  if (extra) {
    raise_too_many_values(2);
    return false;
  }
  return !PyErr_Occurred();
}

void raise_expected_type(const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, msg::kExpectedType, expected, Py_TYPE(got)->tp_name);
}

Ref call(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  if (Py_EnterRecursiveCall(msg::kWhileCalling)) return Ref();
  PyObject* result = PyObject_Vectorcall(callable, args, nargs, kwnames);
  Py_LeaveRecursiveCall();
  if (!result && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, msg::kNullWithoutError);
  }
  return Ref::steal(result);
}

PyObject* keyword_names(std::atomic<PyObject*>& slot, std::initializer_list<Str> names) {
  if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (Str name : names) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(str(name)));
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, tuple, std::memory_order_acq_rel)) return tuple;
  Py_DECREF(tuple);
  return expected;
}

Ref call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t nargs,
                PyObject* kwnames) {
  Ref method = Ref::steal(PyObject_GetAttr(obj, name));
  if (!method) return Ref();
  return call(method.get(), args, nargs, kwnames);
}

Ref lookup_special(PyObject* obj, PyObject* name) {
  PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);
  if (!attr) {
    PyErr_SetObject(PyExc_AttributeError, name);
    return Ref();
  }
  descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
  if (get) return Ref::steal(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  return Ref::borrow(attr);
}

int truth_value(PyObject* obj) {
  if (obj == Py_True) return 1;
  if (obj == Py_False || obj == Py_None) return 0;
  return PyObject_IsTrue(obj);
}

// ---------------------------------------------------------------------------

WithBlock::~WithBlock() {
  if (saved_) Py_XDECREF(saved_handled_);
}

bool WithBlock::enter(PyObject* manager) {
  exit_ = lookup_special(manager, str(Str::dunder_exit));
  if (!exit_) return false;
  Ref enter = lookup_special(manager, str(Str::dunder_enter));
  if (!enter) return false;
  value_ = call0(enter.get());
  if (!value_) return false;
  saved_handled_ = PyErr_GetHandledException();
  saved_ = true;
  return true;
}

bool WithBlock::leave_normally() {
  PyObject* args[] = {Py_None, Py_None, Py_None};
  Ref result = call(exit_.get(), args, 3);
  return static_cast<bool>(result);
}

WithBlock::Exit WithBlock::leave_with_pending() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
  PyErr_SetHandledException(exc.get());
  PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                      tb ? tb.get() : Py_None};
  Ref result = call(exit_.get(), args, 3);
  int swallow = result ? truth_value(result.get()) : -1;
  PyErr_SetHandledException(saved_ ? saved_handled_ : nullptr);
  // __exit__ (or its truth test) raised: that error is pending.
  if (swallow < 0) return Exit::kPending;
  if (swallow) return Exit::kSwallowed;
  PyErr_SetRaisedException(exc.release());
  return Exit::kPending;
}

int import_statement(Str name, Str store_as) {
  Ref module = Ref::steal(PyImport_GetModule(str(name)));
  if (!module && PyErr_Occurred()) return -1;
  // None in the registry blocks the import: the import machinery raises for
  // it, where taking None as the module would only fail later and obscurely.
  if (module.get() == Py_None) module = Ref();
  if (module) {
    // A module still initialising is imported properly instead.
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), str(Str::dunder_spec), &found) < 0) return -1;
    Ref module_spec = Ref::steal(found);
    Ref flag;
    if (module_spec) {
      if (PyObject_GetOptionalAttr(module_spec.get(), str(Str::initializing), &found) < 0)
        return -1;
      flag = Ref::steal(found);
    }
    const int initialising = flag ? PyObject_IsTrue(flag.get()) : 0;
    if (initialising < 0) return -1;
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

}  // namespace ormek
