// Loading a package that came from elsewhere: package = pickle.load(f),
// restricted to plain data while pickle.load is still the host's own.
#pragma once

#include <Python.h>

#include "module/host_calls.hpp"
#include "module/ref.hpp"
#include "module/traceback.hpp"

namespace ormek {

// pickle.load(file) through the module global `pickle`; null with the
// exception set on failure (the caller adds its traceback entry).
Ref load_package(PyObject* file);

// with open(path, "rb") as f: package = pickle.load(f), reported under
// `trace`: a failure of the load adds `load_line`, and every failure that
// leaves the block adds `open_line`. kCompleted with `package` set;
// kSwallowed with it left empty when __exit__ swallowed the load's exception.
BlockEnd load_package_file(PyObject* path, const Trace& trace, int open_line, int load_line,
                           Ref& package);

}  // namespace ormek
