// The stored-name rules of stored_names.hpp applied to host strings, with the
// errors they raise: one name's checks, and StoredNames, the names of one
// package checked together. encode_named_files checks the names it is given,
// and decode_package the names of a package, before either writes anything.
// (stored_names.hpp stays free of host objects so its C++ tests need no host.)
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "module/ref.hpp"

namespace ormek {

// Whether an exact str is a name decode_package can restore.
bool is_safe_stored_name(PyObject* name);

// Whether an exact str fits the file system's limits on a name; false with
// ValueError set when it does not.
bool check_stored_name_length(PyObject* name);

// The names of one package, gathered to be checked together. A name object
// met again (a package may refer to one name from many places) is read once.
class StoredNames {
 public:
  // Adds an exact str; false with MemoryError set.
  bool add(PyObject* name);
  // Raises ValueError for the first two names that cannot both be restored
  // (one is a directory of the other; with `equal_names_clash`, also the same
  // name twice) and returns false; true when there are none.
  bool check_clashes(bool equal_names_clash) const;
  // Each name object added, once, in the order first added.
  const std::vector<Ref>& distinct() const { return names_; }

 private:
  std::vector<Ref> names_;                          // each name object once
  std::vector<std::u32string> code_points_;         // of each of names_
  std::unordered_map<PyObject*, size_t> index_of_;  // into names_
  std::vector<size_t> added_;                       // index into names_ of each name added
};

}  // namespace ormek
