// The OrmekCompressor instance record and the entry points of its operations.
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

// The wrappers of the operations: bind, convert, test, then run the body.
// `self` is the bound OrmekCompressor (the module, for module functions).
#define ORMEK_WRAPPER(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
ORMEK_WRAPPER(load_dict_wrapper);
ORMEK_WRAPPER(save_dict_wrapper);
ORMEK_WRAPPER(tokenize_wrapper);
ORMEK_WRAPPER(detokenize_wrapper);
ORMEK_WRAPPER(encode_files_wrapper);
ORMEK_WRAPPER(decode_package_wrapper);
ORMEK_WRAPPER(read_package_wrapper);
ORMEK_WRAPPER(encode_named_files_wrapper);
ORMEK_WRAPPER(reduce_cython_wrapper);
ORMEK_WRAPPER(setstate_cython_wrapper);
ORMEK_WRAPPER(unpickle_compressor_wrapper);
ORMEK_WRAPPER(unpickle_enum_wrapper);
#undef ORMEK_WRAPPER

// The entries the function objects are made over (one per method object, so
// that the override dispatch can recognise the module's own methods).
extern PyMethodDef load_dict_def;
extern PyMethodDef save_dict_def;
extern PyMethodDef tokenize_def;
extern PyMethodDef detokenize_def;
extern PyMethodDef encode_files_def;
extern PyMethodDef decode_package_def;
extern PyMethodDef read_package_def;
extern PyMethodDef encode_named_files_def;
extern PyMethodDef reduce_cython_def;
extern PyMethodDef setstate_cython_def;
extern PyMethodDef unpickle_compressor_def;
extern PyMethodDef unpickle_enum_def;

// Direct entries of the overridable methods.
PyObject* tokenize_direct(CompressorObject* self, PyObject* text, int skip_dispatch);
PyObject* detokenize_direct(CompressorObject* self, PyObject* tokens, int skip_dispatch);

// Readies the class (once per process): direct-entry table, PyType_Ready, the
// capsule under "__pyx_vtable__" and the pickling set-up. 0 or -1.
int ready_compressor_type();

}  // namespace ormek
