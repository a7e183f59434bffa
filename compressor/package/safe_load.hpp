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

// zstd.ZstdDecompressor().decompress(data) through the module global `zstd`.
// The module's own binding on a bytes payload runs no code of the user's, so
// a big one is decompressed on a helper thread and a signal is answered
// meanwhile (background_work.hpp). Null with the exception set (the caller
// adds its traceback entry).
Ref decompress_stream(PyObject* data);

// The number of records in a loaded package's id stream of `length` bytes
// (len(data) // 4); -1 with OverflowError when it passes the layout's record
// limit (the caller adds its traceback entry). Such a stream would wrap the
// 32-bit record count, so it is refused before anything is restored.
Py_ssize_t records_in_stream(Py_ssize_t length);

}  // namespace ormek
