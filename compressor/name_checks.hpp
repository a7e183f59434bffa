// The stored-name rules of stored_names.hpp applied to host strings, with the
// errors they raise. encode_named_files checks the names it is given, and
// decode_package the names of a package, before either writes anything.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "module/ref.hpp"

namespace ormek {

// Whether an exact str is a name decode_package can restore.
bool is_safe_stored_name(PyObject* name);

// The names of one package, gathered to be checked together.
class StoredNames {
 public:
  // Adds an exact str; false with MemoryError set.
  bool add(PyObject* name);
  // Raises ValueError for the first two names that cannot both be restored
  // (one is a directory of the other; with `equal_names_clash`, also the same
  // name twice) and returns false; true when there are none.
  bool check_clashes(bool equal_names_clash) const;

 private:
  std::vector<Ref> names_;
  std::vector<std::u32string> code_points_;
};

}  // namespace ormek
