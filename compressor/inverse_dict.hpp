// The inverse of the token dictionary (id -> token), rebuilt wholesale whenever
// a compressor takes over a new global_dict: from a dictionary file and from a
// package.
#pragma once

#include <Python.h>

#include "module/ref.hpp"

namespace ormek {

// Returns a new dict mapping each value of `mapping` to its key (a later key
// wins when two share a value), or an empty Ref with the exception set. The
// caller adds its own traceback entry. An exact dict is walked directly; any
// other object goes through its items(), each item unpacked into a pair.
Ref build_inverse_dict(PyObject* mapping);

}  // namespace ormek
