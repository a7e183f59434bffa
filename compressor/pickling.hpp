// Pickling support of OrmekCompressor.
#pragma once

#include <Python.h>

namespace ormek {

// Start-up's pickling set-up for a type: makes __reduce_cython__ and
// __setstate_cython__ of the method table the type's __reduce__ and
// __setstate__. 0, or -1 with an exception set.
int setup_pickling(PyTypeObject* type);

// The typed-buffer enumeration's reconstructor, which start-up puts into the
// module namespace as a built-in function.
extern PyMethodDef unpickle_enum_def;

}  // namespace ormek
