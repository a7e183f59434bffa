// Which files a decoding call restores, and what it hands back.
//
// decode_package restores every file and returns the stored names. Two
// methods of the module's own run the same decoder with a choice:
// decode_names restores only the files of the names it is given (a name
// picks the file stored under it and every file under it as a directory) and
// returns the names it restored; restored_sizes restores nothing and returns
// the size in bytes each file would have (its text as UTF-8, lone surrogates
// counted as the three bytes "surrogatepass" gives them), without making the
// output directory or judging the stored names, which it only counts.
#pragma once

#include <Python.h>

#include <vector>

#include "compressor/package_files.hpp"
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

  // Whether the file stored as `name` is restored; marks the names given
  // that pick it. Every file but a None name's when names are given. -1 with
  // the exception set.
  int picks(PyObject* name);
  // picks() of each of `files`, into `picked`, then check_all_found(). False
  // with the exception set.
  bool pick_files(const std::vector<StoredFile>& files, std::vector<char>& picked);
  // After every stored name was offered to picks(): ValueError naming the
  // first name given that picked nothing. False with it set.
  bool check_all_found() const;
  // A restored file's name for the result (kNamed; nothing for kAll), or a
  // measured file's size (kSizes). False with the exception set.
  bool record_name(PyObject* name);
  bool record_size(Py_ssize_t size);
  // The list of names or sizes; a new reference.
  Ref result() const { return results_; }

 private:
  int marks(PyObject* key);

  Kind kind_ = Kind::kAll;
  Ref names_;    // the list given
  Ref wanted_;   // set of the names given
  Ref found_;    // set of the names given that picked a file
  Ref results_;  // list
};

// Bytes of `text` (a str) in UTF-8, a lone surrogate counted as 3.
Py_ssize_t utf8_size(PyObject* text);

}  // namespace ormek
