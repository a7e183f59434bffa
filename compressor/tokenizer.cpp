// Placeholder until this operation lands.
#include "compressor/object.hpp"

namespace ormek {

namespace {
PyObject* not_yet() {
  PyErr_SetString(PyExc_NotImplementedError, "not yet");
  return nullptr;
}
}  // namespace

PyObject* tokenize_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* detokenize_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* tokenize_direct(CompressorObject*, PyObject*, int) { return not_yet(); }
PyObject* detokenize_direct(CompressorObject*, PyObject*, int) { return not_yet(); }

}  // namespace ormek
