// Placeholder until this operation lands.
#include "compressor/object.hpp"

namespace ormek {

namespace {
PyObject* not_yet() {
  PyErr_SetString(PyExc_NotImplementedError, "not yet");
  return nullptr;
}
}  // namespace

PyObject* save_dict_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return not_yet(); }
PyObject* load_dict_wrapper(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { Py_RETURN_NONE; }

}  // namespace ormek
