// The "file_facts" a package may carry beside the four keys of the plain
// format, which plain readers ignore: for each stored file a digest of its
// name and restored text (content_digest.hpp), the text's size in UTF-8
// bytes, the permission bits and the modification time of its source; the
// empty directories of the packed trees; and a digest over all of these
// (facts_digest.hpp). As a dict of plain data:
//
//   {"version": 1, "digests": [bytes16, ...], "sizes": [int, ...],
//    "modes": [int, ...], "mtimes_ns": [int, ...], "empty_dirs": [str, ...],
//    "facts_digest": bytes16}
//
// each list but "empty_dirs" holding one entry per stored name, in the order
// of "filenames". A package may also hold the facts of directories, three
// lists of one entry per directory, after all of these (an entry added later
// joins the end of the digest's order, and is written only where it is held):
//
//   "dirs": [str, ...], "dir_modes": [int, ...], "dir_mtimes_ns": [int, ...]
//
// each directory's stored name, permission bits (at most 0o777) and
// modification time, which restoring gives each directory it makes or goes
// through once its contents are written. encode_named_files(..., checks=True)
// writes them;
// decode_package checks each file against them before it replaces anything
// and gives it its mode and time, and check_package compares them without
// writing. They come from the package like everything else, so they are
// judged whole before anything is written: a key this release does not know,
// an entry of the wrong shape, or facts that do not match their digest refuse
// the package. Packages of an earlier release carry no "facts_digest": their
// facts are used as they are, and only each file's digest and size check
// them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "compressor/package/content_digest.hpp"
#include "compressor/package/stored_names_host.hpp"
#include "module/ref.hpp"

namespace ormek {

inline constexpr long kFileFactsVersion = 1;

// The facts of the directories a writer is given: three lists of one entry
// per directory, its stored name, permission bits and modification time.
struct DirectoryLists {
  Ref names;
  Ref modes;
  Ref mtimes_ns;
  // From encode_named_files' dir_facts, a list of (name, mode, mtime_ns)
  // tuples. False with TypeError or ValueError set.
  bool take(PyObject* dir_facts);
};

struct FileFacts {
  Digest digest{};
  uint64_t size = 0;
  uint32_t mode = 0;  // st_mode & 0o7777 of the source
  int64_t mtime_ns = 0;
};

// Whether `restored`, the digest of a file's name and restored text, is what
// the file's `facts` say was packed: false with ValueError "the package is
// damaged" naming `name` (the stored name) when it is not.
bool check_restored(const ContentDigest& restored, const FileFacts& facts, PyObject* name);
// The two halves of check_restored: the comparison (host-free), and the
// refusal (false, with the error set).
bool restored_matches(const ContentDigest& restored, const FileFacts& facts);
bool refuse_damaged(PyObject* name);

// Adds the text of the str `text` to `digest` (ASCII as its bytes).
void digest_text(ContentDigest& digest, PyObject* text);

// The facts of the files an encoder reads: for each file, begin, then what
// it restores to, then finish.
class FactsWriter {
 public:
  // The file stored under `name` (an exact str).
  void begin(PyObject* name);
  // Its text, read natively: code units of `kind` bytes each.
  void add_units(const void* data, int kind, size_t length);
  // Or as the plain way has it: the text read (a str), or the list of tokens
  // an overriding `tokenize` cut it into, which the package restores joined
  // (a token that is not a str makes a package that does not restore).
  void add_content(PyObject* content);
  // Its mode and time from the open file `fd`. False with the exception set.
  bool finish(int fd);
  // The "file_facts" dict, with `empty_dirs` (a list of str) and the
  // directories' facts `dirs` (when it holds names) as given, and its digest.
  Ref make(PyObject* empty_dirs, const DirectoryLists& dirs) const;

 private:
  std::vector<FileFacts> files_;
  ContentDigest digest_;
};

// How far the checks of a package reach: none; each file's name, text and
// size (an earlier release's package, whose modes, times and empty
// directories no digest covers); or those and the facts, by their digest.
enum class ChecksReach : int { kNone = 0, kFiles = 1, kFilesAndFacts = 2 };

// A directory's facts as restoring reads them.
struct DirFacts {
  PyObject* name = nullptr;  // an exact str, held by the package's "dirs"
  AddedName where;           // where it stands among the stored names
  uint32_t mode = 0;         // at most 0o777
  int64_t mtime_ns = 0;
};

// The facts of a package as decode_package and check_package read them.
struct PackageFacts {
  std::vector<FileFacts> files;  // one per stored name
  Ref empty_dirs;                // an exact list of exact str
  std::vector<AddedName> dirs;   // where each of them stands among the names
  Ref directory_names;           // "dirs", when the package holds them
  std::vector<DirFacts> directories;
  ChecksReach reach = ChecksReach::kNone;
};

// Reads and judges the package's "file_facts" against its stored names, all
// added to `names`: 1 when it carries them (then "filenames" is a list of
// str and "file_boundaries" a list of as many entries; each empty directory
// is added to `names`), 0 when it does not (or is not an exact dict), -1
// with the error set when they are malformed or damaged.
int read_package_facts(PyObject* package, StoredNames& names, PackageFacts& facts);

// Judges the empty directories `dirs` (a list) after the stored names, all
// added to `names`: each an exact str that restores safely and fits a file
// system, neither it nor a directory it lies in a stored file; each is added
// to `names`, and where it stands into `added` when given. False with
// TypeError or ValueError set; `from_package` says the damaged-package
// errors.
bool judge_empty_dirs(PyObject* dirs, StoredNames& names, bool from_package,
                      std::vector<AddedName>* added);

}  // namespace ormek
