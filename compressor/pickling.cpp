// Placeholder until this operation lands.
#include "compressor/object.hpp"

namespace ormek {

namespace {
PyObject* not_yet() {
  PyErr_SetString(PyExc_NotImplementedError, "not yet");
  return nullptr;
}
}  // namespace

#include "compressor/pickling.hpp"
PyObject* reduce_cython_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* setstate_cython_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* unpickle_compressor_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* unpickle_enum_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
int setup_pickling(PyTypeObject*) { return 0; }

}  // namespace ormek
