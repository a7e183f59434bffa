// Pickling support of OrmekCompressor.
#pragma once

#include <Python.h>

namespace ormek {

// Start-up's pickling set-up for a type: makes __reduce_cython__ and
// __setstate_cython__ of the method table the type's __reduce__ and
// __setstate__. 0, or -1 with an exception set.
int setup_pickling(PyTypeObject* type);

}  // namespace ormek
