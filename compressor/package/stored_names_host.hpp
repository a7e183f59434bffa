// The stored-name rules of stored_names.hpp applied to host strings, with the
// errors they raise: one name's checks, and StoredNames, the names of one
// package judged together. encode_named_files judges the names it is given,
// and decode_package the names of a package, before either writes anything.
// (stored_names.hpp stays free of host objects so its C++ tests need no host.)
//
// A package may refer to one name object from thousands of places (the
// pickle memo), so each distinct name object is judged and read once, and
// each reference costs a lookup by address.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compressor/package/stored_names.hpp"
#include "module/ref.hpp"

namespace ormek {

using stored_name::NameTree;

// Whether an exact str is a name decode_package can restore.
bool is_safe_stored_name(PyObject* name);

// Whether an exact str fits the file system's limits on a name, and its
// encoding; false with ValueError set when it does not.
bool check_stored_name_fits(PyObject* name);

// Where a name added stands: its node in the tree, and the bytes the tree
// holds for it (its code points as encode_utf8 writes them; they live as long
// as the StoredNames).
struct AddedName {
  NameTree::Node node = NameTree::kNoNode;
  std::string_view bytes;
};

// The names of one package, gathered to be judged together, as a tree of
// their parts (NameTree).
class StoredNames {
 public:
  // Judges a name met for the first time: false with the error set.
  using Judge = bool (*)(PyObject* name);
  // Raises the error for an empty directory that is, or lies in, a file.
  using LiesInFile = void (*)(PyObject* dir, PyObject* file);

  // Adds the exact str `name`, judged by `judge` when its object is new.
  // False with the error set.
  bool add(PyObject* name, Judge judge, AddedName& added);
  // Raises ValueError for the first two names added that cannot both be
  // restored (one is a directory of the other; with `equal_names_clash`,
  // also the same name twice) and returns false; true when there are none.
  bool check_clashes(bool equal_names_clash) const;
  // After every name: adds the empty directory `dir`, an exact str judged by
  // `judge` when its object is new; false with the error set, by
  // `lies_in_file(dir, file)` when it is, or lies in, the stored file `file`.
  bool add_directory(PyObject* dir, Judge judge, LiesInFile lies_in_file, AddedName& added);

  const NameTree& tree() const { return tree_; }

 private:
  struct Distinct {
    Ref name;
    std::string bytes;
    NameTree::Node node;
    bool judged_as_directory = false;
  };
  // The entry of `name`, made (judged, read, put in the tree) when new;
  // null with the error set.
  Distinct* distinct(PyObject* name, Judge judge);

  NameTree tree_;
  std::deque<Distinct> distinct_;                   // a deque: the tree holds views of the bytes
  std::unordered_map<PyObject*, size_t> index_of_;  // into distinct_
  std::vector<NameTree::Node> added_;               // the node of each name added
  std::vector<const Distinct*> added_distinct_;     // and its entry
};

}  // namespace ormek
