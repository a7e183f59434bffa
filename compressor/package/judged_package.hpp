// The files a package names, taken and judged the way decode_package writes
// them, before it creates anything.
//
// decode_package writes one file for each item of
// zip(package["file_boundaries"], package["filenames"]): the tokens from the
// previous boundary up to its own, under its name. Walking those items while
// writing would let a package whose later names are refused leave its earlier
// files written (and a missing "file_boundaries" would be found only after the
// output directory was made). So the items are all taken first, whatever
// their containers (a list, a tuple, a dict's keys, the ints of a bytes
// object), each boundary converted and each name tested; then the names are
// judged together; only then is anything made. The `ormek` command asks the
// same question through restored_names, so what it checks for existing files
// is exactly what will be written.
//
// Memory follows the package's own size: a name too long for any file system
// is refused before any copy is made of it, and a name object that the
// package refers to many times (through the pickle memo) is judged and read
// once. judge_package adds the package's file facts (file_facts.hpp) to the
// same judgement: decode_package, check_package, restored_names and
// judge_package all ask it, so what one of them refuses before writing
// anything, all of them refuse.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "compressor/package/file_facts.hpp"
#include "compressor/package/stored_names_host.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

// package[key]: an exact dict is looked up directly (a missing key raises
// KeyError carrying the key), anything else through the generic item access.
Ref package_item(PyObject* package, Str key);

// One file to restore: its tokens end at `boundary`, it is written under
// `name` (an exact str, or None when os.path.join is not the module's own and
// so decides what None means), which stands `where` among the stored names
// (no node for None).
struct StoredFile {
  int32_t boundary;
  Ref name;
  AddedName where;
};

// A package judged whole before anything is made from it.
struct JudgedPackage {
  // zip(package["file_boundaries"], package["filenames"]), in writing order
  std::vector<StoredFile> files;
  StoredNames names;   // the files' names and the empty directories
  PackageFacts facts;  // the package's file checks, when it carries them

  bool has_facts() const { return facts.reach != ChecksReach::kNone; }
};

// The files of `package` in writing order, each name safe and within the file
// system's limits, no name a directory of another (repeated names are written
// one over the other, as the format allows); then its file facts, read whole,
// checked against their digest when they carry one, and its empty
// directories judged as stored names. `none_allowed`: whether a None name
// passes (a replaced os.path.join takes it). False with the exception set;
// the caller adds its traceback entry.
bool judge_package(PyObject* package, bool none_allowed, JudgedPackage& judged);

// (names, reach): what check_package and judge_package answer, `names` with
// how far the judged package's checks reach (ChecksReach) as an int. A new
// reference, or null with the exception set.
PyObject* checks_answer(PyObject* names, const JudgedPackage& judged);

}  // namespace ormek
