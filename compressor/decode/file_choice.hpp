// Which files a decoding call restores, and what it hands back.
//
// decode_package restores every file and returns the stored names. Two
// methods of the module's own run the same decoder with a choice:
// decode_names restores only the files of the names it is given (a name
// picks the file or empty directory stored under it and everything under it
// as a directory; a name ending in "/" picks a directory only) and returns
// the names it restored; restored_sizes restores nothing and returns
// the size in bytes each file would have (its text as UTF-8, lone surrogates
// counted as the three bytes "surrogatepass" gives them), without making the
// output directory.
//
// Names are picked on the tree of the stored names (stored_names.hpp): each
// name given is found by walking its parts, and whether a file is picked is
// known once for each node of the tree, so picking is linear in the names.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "compressor/package/judged_package.hpp"
#include "module/ref.hpp"

namespace ormek {

class FileChoice {
 public:
  enum class Kind { kAll, kNamed, kSizes };

  // Every file (decode_package).
  FileChoice() = default;
  // The files of `names`, an exact list of exact str (decode_names). False
  // with the exception set.
  bool pick(PyObject* names);
  // Only the sizes (restored_sizes). False with the exception set.
  bool measure();

  Kind kind() const { return kind_; }
  bool writes() const { return kind_ != Kind::kSizes; }

  // Which files and empty directories of `judged` are restored, one flag
  // each into `files` and `dirs`. With names given, a name that picks
  // nothing raises ValueError naming it (the first such). False with the
  // exception set.
  bool pick_from(const JudgedPackage& judged, std::vector<char>& files, std::vector<char>& dirs);
  // A restored file's name for the result (kNamed; nothing for kAll), or a
  // measured file's size (kSizes). False with the exception set.
  bool record_name(PyObject* name);
  bool record_size(Py_ssize_t size);
  // The list of names or sizes; a new reference.
  Ref result() const { return results_; }

 private:
  bool mark_wanted(const NameTree& tree, std::vector<uint8_t>& state) const;

  Kind kind_ = Kind::kAll;
  Ref names_;    // the list given
  Ref results_;  // list
};

// Bytes of `text` (a str) in UTF-8, a lone surrogate counted as 3.
Py_ssize_t utf8_size(PyObject* text);

}  // namespace ormek
