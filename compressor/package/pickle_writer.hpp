// Writing a pickle stream so that a failure never costs the file it replaces.
//
// Both files the module writes (the dictionary file of save_dict and the
// package of encode_files) are `with open(path, "wb") as f: pickle.dump(data,
// f)`. Writing in place would truncate the old file before the new stream
// exists, so a failing dump (an unpicklable value, a full disk) would lose
// it. Instead the stream goes to a fresh file beside the target
// (fresh_file.hpp: private while written, then given the replaced file's
// permission bits, or a new file's, through its descriptor), which replaces
// the target (rename, atomic on one file system) only once the dump, the
// sync to disk and the close have all succeeded; any failure removes the
// fresh file and leaves the old one as it was. A signal whose handler raises
// while the stream is written (Ctrl-C, say) is answered just before the
// rename: the fresh file goes, the old one stays. The messages and traceback
// lines stay those of the in-place write.
#pragma once

#include <Python.h>

#include "compressor/package/package_pickler.hpp"
#include "module/host_calls.hpp"
#include "module/traceback.hpp"

namespace ormek {

// with open(path, "wb") as f: pickle.dump(data, f), through a fresh file when
// `path` names a regular file or nothing yet. A failure adds `open_line` (the
// open, entering or leaving the block) or `dump_line` then `open_line` (the
// dump) to the traceback of `trace`. kSwallowed: the dump failed and __exit__
// swallowed the error (nothing complete is installed; the old file stays).
// With `native`, `data` is a package whose token dictionary it holds, and it
// makes the dump (package_pickler.hpp).
BlockEnd dump_pickle_replacing(PyObject* path, PyObject* data, const Trace& trace, int open_line,
                               int dump_line, const NativePackageDump* native = nullptr);

}  // namespace ormek
