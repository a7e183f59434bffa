#include "compressor/inverse_dict.hpp"

#include "module/background_work.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// new_dict[value] = key
bool put_inverse(PyObject* new_dict, PyObject* key, PyObject* value) {
  return PyDict_SetItem(new_dict, value, key) == 0;
}

// An exact dict, walked in place. Storing into the new dict may run a value's
// __hash__ or __eq__, which may change the walked dict: the size is checked
// before every step, and each step holds its own references to the pair. A
// dictionary of millions of tokens takes a second: signals are answered on
// the way.
bool invert_exact_dict(PyObject* dict, PyObject* new_dict) {
  const Py_ssize_t initial_size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  SignalPoll poll(1u << 16);
  for (;;) {
    if (poll() < 0) return false;
    if (PyDict_GET_SIZE(dict) != initial_size) {
      PyErr_SetString(PyExc_RuntimeError, msg::kDictChangedSize);
      return false;
    }
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    int more;
    Py_BEGIN_CRITICAL_SECTION(dict);
    more = PyDict_Next(dict, &pos, &key, &value);
    if (more) {
      Py_INCREF(key);
      Py_INCREF(value);
    }
    Py_END_CRITICAL_SECTION();
    if (!more) return true;
    Ref k = Ref::steal(key);
    Ref v = Ref::steal(value);
    if (!put_inverse(new_dict, k.get(), v.get())) return false;
  }
}

// One item of items(): exactly two values, as a `for k, v in ...` loop takes them.
bool invert_item(PyObject* item, PyObject* new_dict) {
  Ref key;
  Ref value;
  return unpack_two(item, key, value) && put_inverse(new_dict, key.get(), value.get());
}

// The result of items(): a list or tuple by index (re-reading the length at
// every step, since the walk may run code that changes a list), anything else
// through its iterator.
bool invert_items(PyObject* items, PyObject* new_dict) {
  if (PyList_CheckExact(items)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
      Ref item = Ref::steal(PyList_GetItemRef(items, i));
      if (!item) return false;
      if (!invert_item(item.get(), new_dict)) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(items)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); i++) {
      if (!invert_item(PyTuple_GET_ITEM(items, i), new_dict)) return false;
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(items));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!invert_item(item.get(), new_dict)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

Ref build_inverse_dict(PyObject* mapping) {
  Ref new_dict = Ref::steal(PyDict_New());
  if (!new_dict) return Ref();
  if (mapping == Py_None) {
    PyErr_Format(PyExc_AttributeError, msg::kNoneHasNoAttribute, "items");
    return Ref();
  }
  // The walk may run user code that replaces the compressor's field; keep the
  // mapping alive for the whole walk.
  Ref keep = Ref::borrow(mapping);
  if (PyDict_CheckExact(mapping)) {
    if (!invert_exact_dict(mapping, new_dict.get())) return Ref();
    return new_dict;
  }
  Ref items = call_method(mapping, str(Str::items), nullptr, 0);
  if (!items) return Ref();
  if (!invert_items(items.get(), new_dict.get())) return Ref();
  return new_dict;
}

}  // namespace ormek
