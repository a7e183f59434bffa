// File objects for the host's pickler and unpickler that answer signals.
//
// The host's pickler and unpickler are native loops that never look for
// signals: dumping or loading a package or dictionary file of millions of
// tokens takes seconds, during which Ctrl-C or a program's SIGTERM handler
// would wait. They do call the file's methods at every frame of the stream
// (some 64 KiB), so the module hands them a stand-in for the file whose
// methods run the pending signal handlers and then call the file's own
// method with the same arguments. A handler that raises ends the dump or
// load there, as a failing write or read would. Only the host's own dump and
// load are given the stand-in; what they write or read is the same.
#pragma once

#include <Python.h>

#include "module/ref.hpp"

namespace ormek {

// A stand-in for `file` with the methods the pickler uses (write), or null
// with the exception set.
Ref signal_checked_writer(PyObject* file);

// A stand-in for `file` with the methods the unpickler uses, those of them
// the file has (read, readline, readinto, peek), or null with the exception
// set.
Ref signal_checked_reader(PyObject* file);

// types.SimpleNamespace(**attributes) (a dict), or null with the exception
// set: an object of the attributes a host call looks for, such as a source
// with a read method.
Ref simple_namespace(PyObject* attributes);

}  // namespace ormek
