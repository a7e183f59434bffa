// What the files an encoding method reads come to: their tokens, and for each
// file its boundary, its stored name and (with checks) its facts. Every file
// goes through begin_file, its text (add_units or add_text), then end_file;
// the package's lists are made from what was kept once every file is read.
//
// The tokens are kept one of two ways, which give the same package:
//
// - natively, while the texts can be cut by the native scanner: counted and
//   numbered into a NumberingFeed (numbering_feed.hpp) as they come, and
//   dropped once numbered, with no host object per token;
// - plainly, as the methods' own statements do: each text cut by `tokenize`
//   (a subclass's override included) and the tokens appended to one
//   all_tokens list.
//
// The native way is left for good (leave_native_way) the first time a text
// cannot be cut natively, or when the id loop finds dictionaries it cannot
// walk natively: what was numbered so far then becomes the all_tokens list
// that its `tokenize` calls would have made.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "compressor/encode/encoder_lines.hpp"
#include "compressor/encode/numbering_feed.hpp"
#include "compressor/object.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/text/utf8_cutter.hpp"
#include "module/background_work.hpp"
#include "module/ref.hpp"

namespace ormek {

// What holds a text handed to the numbering thread: the str read, or the
// code units decoded from a file's bytes.
struct KeptText {
  Ref text;
  utf8::Bytes units;
};

// The encoder waits for its numbering thread answering signals, and gives up
// when a handler raises.
struct AnsweringSignals {
  template <typename WaitSlice>
  bool operator()(WaitSlice&& wait_slice) const {
    return wait_answering_signals([&] { return wait_slice(kWaitSlice); });
  }
};

class FileTokens {
 public:
  FileTokens(CompressorObject* self, const Trace& trace, const EncoderLines& lines);

  // all_tokens = [], file_boundaries = [], filenames = []: the lists made
  // where the methods make them (the last two are filled once every file is
  // read). False with the error set and the traceback entry added.
  bool make_lists();
  // The files' checks and facts are kept as well. False with MemoryError.
  bool keep_facts();
  bool keeps_facts() const { return static_cast<bool>(facts_); }
  // A name given to encode_named_files, kept for the package's filenames.
  bool add_name(PyObject* name);

  // Whether the tokens are still kept natively.
  bool native() const { return native_; }
  // Whether the next text may be cut natively instead of through `tokenize`:
  // the call would run the module's own body with the original re.findall,
  // whose result the scanner reproduces exactly. It is asked for each file,
  // since a path's __fspath__ may replace what it depends on part-way. A
  // lookup that fails answers no, so that the call of `tokenize` itself
  // raises that error with its own traceback entries.
  bool native_cut_applies() const;

  // The file stored under `stored_name` (an exact str, or null for a base
  // name yet to come) begins.
  void begin_file(PyObject* stored_name);
  // A piece of its text decoded natively (utf8_cutter.hpp). False only with
  // the exception a signal handler raised.
  bool add_units(utf8::Piece piece);
  // Waits while the numbering thread is far behind, so that the texts
  // waiting for it stay few. False with the exception a handler raised.
  bool keep_up();
  // Where the file read natively began, to forget it when it turns out not
  // to be UTF-8 part-way (the plain way then reads it again). False with the
  // exception a handler raised.
  bool mark_file();
  bool forget_file();
  // Its whole text as f.read() gave it, cut natively or by `tokenize`;
  // `running_line` follows the statements. False with the error set.
  bool add_text(PyObject* text, int& running_line);
  // The file ends: its facts from `descriptor()` (the open file's, or -1
  // with the error set), its boundary, and for encode_files its base name,
  // os.path.basename(path). False with the error set.
  template <typename Descriptor>
  bool end_file(PyObject* path, Descriptor&& descriptor, int& running_line);

  // The rest of the files go the plain way, from all_tokens. False with the
  // error set.
  bool leave_native_way();
  // The native way's numbering ended, for the id loop; false with MemoryError
  // when it ran out of memory, or with what a signal handler raised.
  bool finish_numbering();
  FirstSightNumbering& numbering() { return feed_.numbering(); }
  // len(all_tokens), whichever way they are kept.
  Py_ssize_t count() const;
  // The all_tokens list of the plain way (released by release_list).
  PyObject* list() const { return all_tokens_.get(); }
  void release_list() { all_tokens_ = Ref(); }

  // The package's "file_boundaries" and "filenames", filled in one go; and
  // its "file_facts" with `empty_dirs` (with checks). Null with the error set.
  Ref boundaries_list();
  Ref names_list();
  Ref facts(PyObject* empty_dirs, const DirectoryLists& dirs) const;

 private:
  bool add_boundary_and_name(PyObject* path, int& running_line);

  CompressorObject* self_;
  const Trace& trace_;
  const EncoderLines& lines_;
  bool native_ = true;
  NumberingFeed<KeptText, AnsweringSignals> feed_;
  Ref all_tokens_;
  Ref file_boundaries_;
  Ref filenames_;
  std::vector<Py_ssize_t> boundaries_;
  std::vector<Ref> names_;
  PyObject* stored_name_ = nullptr;     // of the file being read
  std::unique_ptr<FactsWriter> facts_;  // with checks only
};

template <typename Descriptor>
bool FileTokens::end_file(PyObject* path, Descriptor&& descriptor, int& running_line) {
  if (facts_) {
    const int fd = descriptor();
    if ((fd == -1 && PyErr_Occurred()) || !facts_->finish(fd)) return false;
  }
  return add_boundary_and_name(path, running_line);
}

}  // namespace ormek
