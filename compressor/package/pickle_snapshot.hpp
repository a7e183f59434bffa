// What the host's pickler is given for global_dict and inverse_dict.
//
// The object's call lock keeps the object's own operations apart, but a dict
// is pickled after that lock is gone (__reduce_cython__ only returns the
// state), or while a user thread writes to the dict directly. The host's
// pickler of the free-threaded 3.13 walks an exact dict without taking the
// dict's lock, and crashes when another thread grows or clears it meanwhile.
// So while the GIL is off, the pickler gets a copy made under the dict's own
// lock. With only plain entries (str and int keys and values, which cannot
// refer back to the dict), the copy holds the same objects in the same order
// and pickles to the same stream; otherwise, and whenever the GIL is on
// (every other host, and a free-threaded one that was not told to keep the
// GIL off), the dict itself is pickled.
#pragma once

#include <Python.h>

#include "module/host_calls.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

// Whether other threads can run alongside this one right now.
inline bool gil_is_off() {
#ifdef Py_GIL_DISABLED
  PyObject* is_enabled = PySys_GetObject("_is_gil_enabled");  // borrowed
  if (!is_enabled) return true;
  Ref enabled = Ref::steal(PyObject_CallNoArgs(is_enabled));
  if (!enabled) {
    PyErr_Clear();
    return true;  // the copy is the safe guess
  }
  return enabled.get() == Py_False;
#else
  return false;
#endif
}

// `dict` itself, or (GIL off, exact dict, plain entries: str keys to int
// values when `token_keys`, int keys to str values otherwise) a copy of it.
// Null with an exception set when the copy fails.
inline Ref pickle_snapshot(PyObject* dict, bool token_keys) {
  if (!PyDict_CheckExact(dict) || !gil_is_off()) return Ref::borrow(dict);
  Ref copy = Ref::steal(PyDict_Copy(dict));
  if (!copy) return Ref();
  // The copy is this thread's alone: no lock needed to walk it.
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(copy.get(), &pos, &key, &value)) {
    PyObject* token = token_keys ? key : value;
    PyObject* id = token_keys ? value : key;
    if (!PyUnicode_CheckExact(token) || !PyLong_CheckExact(id)) return Ref::borrow(dict);
  }
  return copy;
}

// global_dict as the module's own dumps should pickle it. A user's own pickle
// module (or dump) is handed the very dict, since it may look at what it
// gets.
inline Ref dumped_global_dict(PyObject* global_dict) {
  if (!PyDict_CheckExact(global_dict) || !global_is_original(Original::kPickleDump)) {
    return Ref::borrow(global_dict);
  }
  return pickle_snapshot(global_dict, true);
}

}  // namespace ormek
