// The OrmekCompressor instance record, its direct entries and the class.
#pragma once

#include <Python.h>

#include <cstdint>

#include "compressor/call_lock.hpp"

namespace ormek {

struct CompressorObject;

// The class's table of direct entries: what code inside the module calls, so
// that an override in a Python subclass is honoured unless skip_dispatch is set.
struct CompressorDirectEntries {
  PyObject* (*tokenize)(CompressorObject* self, PyObject* text, int skip_dispatch);
  PyObject* (*detokenize)(CompressorObject* self, PyObject* tokens, int skip_dispatch);
};

struct CompressorObject {
  PyObject_HEAD CompressorDirectEntries* direct;
  PyObject* dict_path;
  PyObject* global_dict;
  PyObject* inverse_dict;
  int32_t next_id;
  // Held for the whole of every operation on the object.
  CallLock call_lock;
};

// The record behind an OrmekCompressor (or subclass) instance.
inline CompressorObject* as_compressor(PyObject* op) {
  return reinterpret_cast<CompressorObject*>(op);
}

// The call lock of the object an operation runs on, for the operation's scope.
inline CallLock& call_lock_of(PyObject* self) { return as_compressor(self)->call_lock; }

extern PyTypeObject CompressorType;
extern CompressorDirectEntries compressor_direct_entries;

inline bool is_compressor(PyObject* obj) { return PyObject_TypeCheck(obj, &CompressorType); }

// Direct entries of the overridable methods.
PyObject* tokenize_direct(CompressorObject* self, PyObject* text, int skip_dispatch);
PyObject* detokenize_direct(CompressorObject* self, PyObject* tokens, int skip_dispatch);

// Readies the class (once per process): direct-entry table, PyType_Ready, the
// capsule under "__pyx_vtable__" and the pickling set-up. 0 or -1.
int ready_compressor_type();

}  // namespace ormek
