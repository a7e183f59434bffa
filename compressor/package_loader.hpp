// Loading a package that came from elsewhere: package = pickle.load(f),
// restricted to plain data while pickle.load is still the host's own.
#pragma once

#include <Python.h>

#include "module/ref.hpp"

namespace ormek {

// pickle.load(file) through the module global `pickle`; null with the
// exception set on failure (the caller adds its traceback entry).
Ref load_package(PyObject* file);

}  // namespace ormek
