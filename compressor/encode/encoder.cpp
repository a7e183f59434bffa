// encode_files and encode_named_files: pack text files into one package (the
// compressed id stream, the cut points between the files, their names and the
// whole dictionary). encode_files stores each file under its base name;
// encode_named_files under a name its caller chose, checked first with the
// rules decode_package restores by. Both run the same statements, each method
// with traceback lines of its own.
//
// Two ways through the same steps. The plain way materialises every token as a
// str in one list and walks it with generic host operations. The native way
// (used when nothing it relies on was replaced) never makes that list: it
// cuts each text with the native scanner, finds each occurrence in a native
// table by its code units and only touches the host dictionaries once per
// distinct token. Both give the same package, the same dictionary growth in
// the same order, and the same errors at the same points.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "compressor/encode/encoder_lines.hpp"
#include "compressor/encode/first_sight_numbering.hpp"
#include "compressor/encode/id_assignment.hpp"
#include "compressor/encode/input_file.hpp"
#include "compressor/encode/numbering_thread.hpp"
#include "compressor/function_table.hpp"
#include "compressor/object.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/package/format.hpp"
#include "compressor/package/id_stream.hpp"
#include "compressor/package/pickle_snapshot.hpp"
#include "compressor/package/pickle_writer.hpp"
#include "compressor/package/stored_names_host.hpp"
#include "compressor/text/text_units.hpp"
#include "compressor/text/token_scanner.hpp"
#include "compressor/text/utf8_cutter.hpp"
#include "module/background_work.hpp"
#include "module/binding.hpp"
#include "module/function_type.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

using package::kMaxRecords;
using package::kRecordSize;
using package::store_record;
// From this many code units read on, the texts are numbered on a thread of
// their own while the next file is read; below it, starting a thread costs
// more than it saves.
constexpr size_t kThreadUnits = size_t{1} << 20;
// The reading waits while more than this many code units wait for that
// thread, which bounds the texts held at once.
constexpr size_t kQueuedUnits = size_t{1} << 22;
// Texts up to this many code units are cut ahead for that thread.
constexpr size_t kCutAheadUnits = size_t{1} << 22;
// A file read natively is read this many bytes at a time.
constexpr size_t kReadBytes = size_t{1} << 20;

std::atomic<PyObject*> g_encoding_kw{nullptr};

// OSError(error_number, "... no longer a regular file ...", path): an input
// opened without following links found a link or a special file.
void raise_not_regular_input(int error_number, PyObject* path) {
  Ref error = Ref::steal(
      PyObject_CallFunction(PyExc_OSError, "isO", error_number, msg::kInputNotRegularFile, path));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// One entry of encode_named_files: the path to read and the name to store.
struct NamedInput {
  Ref path;
  Ref name;
};

// Whether an exact str may be cut natively instead of through `tokenize`: the
// call would run the module's own body with the original re.findall, whose
// result the scanner reproduces exactly. It is asked for each file, since a
// path's __fspath__ may replace what it depends on part-way. A lookup that
// fails answers no, so that the call of `tokenize` itself raises that error
// with its own traceback entries.
bool native_cut_applies(CompressorObject* self) {
  if (Py_TYPE(self) != &CompressorType) {
    Ref method =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), str(Str::tokenize)));
    if (!method) {
      PyErr_Clear();
      return false;
    }
    if (!is_own_function(method.get(), function_row("tokenize"))) return false;
  }
  return global_is_original(Original::kReFindall);
}

// The encoder of both methods. Its native way runs while the texts can be cut
// natively and the dictionaries hold only plain entries: each text is counted
// and numbered into a FirstSightNumbering as it is read (on a thread of its own
// once the input is big enough, while the next file is read) and dropped
// once numbered; after the last file the distinct tokens are looked up in
// global_dict once each, and the records are turned into ids. When either
// condition fails, leave_native_way turns what was numbered into the
// all_tokens list of the plain way, which goes on with generic host
// operations statement by statement. Both ways give the same package, the
// same dictionary growth in the same order, and the same errors at the same
// points.
class Encoder {
 public:
  Encoder(CompressorObject* self, const EncodingMethod& method, PyObject* output_path,
          int32_t level, int32_t threads)
      : self_(self),
        trace_(method.trace),
        lines_(method.lines),
        output_path_(output_path),
        level_(level),
        threads_(threads) {}

  // encode_files: the files of the list, each stored under its base name.
  PyObject* run_on_paths(PyObject* filepaths) {
    filepaths_ = filepaths;
    return run();
  }
  void follow_links(bool follow) { follow_links_ = follow; }
  // encode_named_files: (path, name) entries, each file stored under its name.
  PyObject* run_on_entries(PyObject* entries) {
    entries_ = entries;
    return run();
  }
  // The package also carries the checks and facts of its files (and these
  // empty directories: a list, or None for none).
  bool keep_file_facts(PyObject* empty_dirs) {
    facts_ = std::unique_ptr<FactsWriter>(new (std::nothrow) FactsWriter);
    if (!facts_) {
      PyErr_NoMemory();
      return false;
    }
    empty_dirs_ = empty_dirs == Py_None ? Ref::steal(PyList_New(0)) : Ref::borrow(empty_dirs);
    return static_cast<bool>(empty_dirs_);
  }

 private:
  PyObject* run();
  bool take_entries();
  bool read_files();
  bool read_one(PyObject* path, PyObject* stored_name);
  // What the native reader did with a file: -1 failed (traceback added),
  // 0 left it to the plain way, 1 read it.
  struct NativeRead {
    static constexpr int kFailed = -1;
    static constexpr int kPlain = 0;
    static constexpr int kDone = 1;
  };
  int read_natively(PyObject* path, PyObject* stored_name, Ref& open_argument);
  int read_bytes(InputFile& file);
  bool record_file(PyObject* path, PyObject* stored_name, int& running_line);
  bool mark_numbering();
  bool roll_back_numbering();
  bool number_text(PyObject* text);
  bool number_units(const void* data, int kind, size_t length, Ref text, utf8::Bytes units);
  bool wait_for_numbering(size_t queued_units);
  void release_numbered_texts();
  bool finish_numbering();
  bool leave_native_way();
  bool assign_ids(IdAssigner& ids);
  Ref enter_tokens_and_compress(IdAssigner& ids);
  PyObject* write_package(PyObject* compressed);

  CompressorObject* self_;
  const Trace& trace_;
  const EncoderLines& lines_;
  PyObject* output_path_;
  int32_t level_;
  int32_t threads_;
  PyObject* filepaths_ = nullptr;
  PyObject* entries_ = nullptr;
  std::vector<NamedInput> named_inputs_;
  std::unique_ptr<FactsWriter> facts_;  // with checks only
  Ref empty_dirs_;

  Ref all_tokens_;
  Ref file_boundaries_;
  Ref filenames_;
  // The native way keeps no all_tokens list: total_tokens_ is what its
  // length would be.
  bool native_ = true;
  Py_ssize_t total_tokens_ = 0;
  FirstSightNumbering numbering_;
  // The texts handed to the numbering thread and not yet released (a str, or
  // the code units of a piece of a file read natively; the marks between
  // files hold neither): the first of them is text number texts_released_.
  struct HeldText {
    Ref text;
    utf8::Bytes units;
    std::vector<FirstSightNumbering::Cut> cuts;  // when cut ahead (number_units)
  };
  std::deque<HeldText> texts_in_numbering_;
  size_t texts_released_ = 0;
  size_t units_read_ = 0;
  bool thread_tried_ = false;
  // Where the numbering stood before the file being read natively, and the
  // token count then: a file found unreadable part-way is read again the
  // plain way, and leaves nothing behind. The mark is taken by the numbering
  // thread when that runs, since it may still be numbering earlier files.
  FirstSightNumbering::Mark file_mark_;
  bool file_mark_on_thread_ = false;
  Py_ssize_t tokens_before_file_ = 0;
  // Whether the files are opened following a link at their path.
  bool follow_links_ = true;
  // Declared last, so that it is stopped before the texts it reads go.
  NumberingThread numbering_thread_{numbering_};
  Ref packed_tokens_;
};

// A name given to encode_named_files, judged alone: one decode_package can
// restore, within a file system's limits.
bool judge_given_name(PyObject* name) {
  if (!is_safe_stored_name(name)) {
    PyErr_Format(PyExc_ValueError, msg::kUnsafeStoredName, name);
    return false;
  }
  return check_stored_name_fits(name);
}

// encode_named_files' head: each entry unpacked into a path and a name, the
// name an exact str that decode_package can restore, and the names together
// free of clashes (a name given twice, or one that is a directory of
// another); all before any file is read or the package opened.
bool Encoder::take_entries() {
  if (entries_ == Py_None) {
    PyErr_SetString(PyExc_TypeError, msg::kNoneNotIterable);
    return trace_.fail(lines_.iterate_entries);
  }
  StoredNames names;
  // By index, reading the list's current length before each item.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries_); i++) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(entries_, i));
    NamedInput input;
    if (!unpack_two(entry.get(), input.path, input.name)) {
      return trace_.fail(lines_.iterate_entries);
    }
    PyObject* name = input.name.get();
    if (!PyUnicode_CheckExact(name)) {
      raise_expected_type("str", name);
      return trace_.fail(lines_.iterate_entries);
    }
    AddedName added;
    if (!names.add(name, judge_given_name, added) || PyList_Append(filenames_.get(), name) < 0) {
      return trace_.fail(lines_.check_name);
    }
    try {
      named_inputs_.push_back(std::move(input));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return trace_.fail(lines_.check_name);
    }
  }
  if (!names.check_clashes(true)) return trace_.fail(lines_.check_clashes);
  if (empty_dirs_ && !judge_empty_dirs(empty_dirs_.get(), names, false, nullptr)) {
    return trace_.fail(lines_.check_clashes);
  }
  return true;
}

// One file: read, cut, its boundary and its name; stored under `stored_name`,
// or (null) under its base name. Read natively where that gives the plain
// way's tokens; otherwise, and for any file the native reader does not take,
// by open(path, "r", encoding="utf-8") and its read().
bool Encoder::read_one(PyObject* path, PyObject* stored_name) {
  Ref open_argument = Ref::borrow(path);
  switch (read_natively(path, stored_name, open_argument)) {
    case NativeRead::kDone:
      return true;
    case NativeRead::kFailed:
      return false;
    case NativeRead::kPlain:
      break;
  }
  PyObject* open_args[] = {open_argument.get(), str(Str::mode_r), str(Str::utf_8)};
  Ref file =
      call(builtin(Builtin::open), open_args, 2, keyword_names(g_encoding_kw, {Str::encoding}));
  if (!file) return trace_.fail(lines_.open_input);

  auto body = [&](PyObject* f, int& running_line) -> bool {
    running_line = lines_.read_and_tokenize;
    Ref text = call_method(f, str(Str::read), nullptr, 0);
    if (!text) return false;
    if (text.get() != Py_None && !PyUnicode_CheckExact(text.get())) {
      raise_expected_type("str", text.get());
      return false;
    }
    if (native_ && !(PyUnicode_CheckExact(text.get()) && native_cut_applies(self_))) {
      running_line = lines_.extend_tokens;
      if (!leave_native_way()) return false;
      running_line = lines_.read_and_tokenize;
    }
    if (native_) {
      // Waits while the numbering thread is far behind, so that the texts
      // waiting for it stay few.
      if (!number_text(text.get()) || !wait_for_numbering(kQueuedUnits)) return false;
    } else {
      Ref tokens = Ref::steal(self_->direct->tokenize(self_, text.get(), 0));
      if (!tokens) return false;
      running_line = lines_.extend_tokens;
      if (PyList_Extend(all_tokens_.get(), tokens.get()) < 0) return false;
      total_tokens_ = PyList_GET_SIZE(all_tokens_.get());
      text = tokens;  // what the file restores to
    }
    if (facts_) {
      facts_->begin(stored_name);
      facts_->add_content(text.get());
      if (!facts_->finish_file(f)) return false;
    }
    return record_file(path, stored_name, running_line);
  };

  // A true __exit__ drops the exception and the loop goes on.
  return run_with_block(file.get(), trace_, lines_.open_input, lines_.read_and_tokenize, body) !=
         BlockEnd::kFailed;
}

// The statements after a file's tokens: its boundary, then (encode_files)
// its base name.
bool Encoder::record_file(PyObject* path, PyObject* stored_name, int& running_line) {
  running_line = lines_.append_boundary;
  Ref boundary = Ref::steal(PyLong_FromSsize_t(total_tokens_));
  if (!boundary || PyList_Append(file_boundaries_.get(), boundary.get()) < 0) return false;
  if (stored_name) return true;  // its name is in filenames already
  running_line = lines_.append_name;
  Ref basename = os_path_attribute(Str::basename);
  Ref name = basename ? call1(basename.get(), path) : Ref();
  if (!name) return false;
  // A name that is not a str (the bytes base name of a bytes path) would
  // make a package that no reader restores.
  if (!PyUnicode_CheckExact(name.get())) {
    raise_expected_type("str", name.get());
    return false;
  }
  return PyList_Append(filenames_.get(), name.get()) == 0;
}

// The native reader: the file's bytes in bounded reads, decoded and cut into
// the numbering without ever making its text, giving exactly the tokens of
// open(path, "r", encoding="utf-8").read() cut by re.findall (utf8_cutter.hpp).
// The host's open would call a path's __fspath__ once: it is called here
// instead, and `open_argument` becomes its result, so that the plain way, if
// it runs after all, opens the same file without calling it again. kPlain
// for a path, a file or an encoder state the reader does not take, and for a
// file that is not UTF-8: the plain way then raises exactly what it raises.
int Encoder::read_natively(PyObject* path, PyObject* stored_name, Ref& open_argument) {
  if (!native_ && follow_links_) return NativeRead::kPlain;
  // What the host's open takes as a path rather than a descriptor.
  if (!PyUnicode_Check(path) && !PyBytes_Check(path)) {
    if (PyNumber_Check(path)) return NativeRead::kPlain;
    open_argument = Ref::steal(PyOS_FSPath(path));
    if (!open_argument) {
      return trace_.fail(lines_.open_input);
    }
  }
  PyObject* encoded_object = nullptr;
  if (!PyUnicode_FSConverter(open_argument.get(), &encoded_object)) {
    PyErr_Clear();  // the host's open raises it
    return NativeRead::kPlain;
  }
  Ref encoded = Ref::steal(encoded_object);
  const char* fs_path = PyBytes_AS_STRING(encoded.get());
  if (std::strlen(fs_path) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
    return NativeRead::kPlain;  // an embedded null byte: the host's open raises it
  }

  InputFile file;
  const InputFile::Opened opened = file.open(fs_path, follow_links_);
  if (opened == InputFile::Opened::kFailed) {
    if (follow_links_) return NativeRead::kPlain;
    if (file.error() == ELOOP) {
      raise_not_regular_input(ELOOP, open_argument.get());
    } else {
      errno = file.error();
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, open_argument.get());
    }
    return trace_.fail(lines_.open_input);
  }
  if (opened == InputFile::Opened::kNotRegular) {
    if (follow_links_) return NativeRead::kPlain;
    raise_not_regular_input(EINVAL, open_argument.get());
    return trace_.fail(lines_.open_input);
  }
  // Opened without following a link: the plain way reads this very file,
  // through its descriptor.
  auto read_plainly = [&]() -> int {
    if (!follow_links_) {
      open_argument = Ref::steal(PyLong_FromLong(file.release()));
      if (!open_argument) {
        return trace_.fail(lines_.open_input);
      }
    }
    return NativeRead::kPlain;
  };
  if (!native_ || !native_cut_applies(self_)) return read_plainly();
  // The event the host's open raises for the file it opens.
  if (PySys_Audit("open", "Osi", open_argument.get(), "r", O_RDONLY | O_CLOEXEC) < 0) {
    return trace_.fail(lines_.open_input);
  }

  if (facts_) facts_->begin(stored_name);
  const int read = read_bytes(file);
  if (read == NativeRead::kFailed) {
    // As a failure of the with block's read.
    trace_.add(lines_.read_and_tokenize);
    return trace_.fail(lines_.open_input);
  }
  if (read == NativeRead::kPlain) {
    if (!follow_links_ && !file.rewind()) {
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, open_argument.get());
      return trace_.fail(lines_.open_input);
    }
    return read_plainly();
  }
  if (facts_ && !facts_->finish(file.descriptor())) {
    trace_.add(lines_.read_and_tokenize);
    return trace_.fail(lines_.open_input);
  }
  file.close();
  int running_line = lines_.read_and_tokenize;
  if (!record_file(path, stored_name, running_line)) {
    trace_.add(running_line);
    return trace_.fail(lines_.open_input);
  }
  return NativeRead::kDone;
}

// Reads, decodes and numbers a file natively. kPlain when it could not be
// read to its end or is not UTF-8, with what was numbered of it rolled back;
// kFailed with the exception a signal handler raised.
int Encoder::read_bytes(InputFile& file) {
  if (!mark_numbering()) return NativeRead::kFailed;
  utf8::TextCutter cutter;
  for (;;) {
    uint8_t* room = cutter.room(kReadBytes);
    ssize_t count;
    Py_BEGIN_ALLOW_THREADS;
    count = file.read(room, kReadBytes);
    Py_END_ALLOW_THREADS;
    const bool decoded = count >= 0 && cutter.decode(static_cast<size_t>(count), count == 0);
    if (!decoded) return roll_back_numbering() ? NativeRead::kPlain : NativeRead::kFailed;
    utf8::Piece piece = cutter.take();
    if (!piece.empty()) {
      const void* data = piece.data();
      if (facts_) facts_->add_units(data, piece.kind, piece.length);
      if (!number_units(data, piece.kind, piece.length, Ref(), std::move(piece.storage))) {
        return NativeRead::kFailed;
      }
    }
    if (count == 0) return NativeRead::kDone;
    if (PyErr_CheckSignals() < 0 || !wait_for_numbering(kQueuedUnits)) return NativeRead::kFailed;
  }
}

// Remembers where the numbering stands before a file read natively; false
// with the exception a signal handler raised while waiting for the thread.
bool Encoder::mark_numbering() {
  tokens_before_file_ = total_tokens_;
  file_mark_on_thread_ = false;
  if (numbering_thread_.started()) {
    try {
      texts_in_numbering_.push_back({});
      file_mark_on_thread_ = numbering_thread_.submit_mark();
      if (!file_mark_on_thread_) texts_in_numbering_.pop_back();
    } catch (const std::bad_alloc&) {
    }
    if (file_mark_on_thread_) return true;
    // Not queued: taken here once the thread is idle.
    if (!wait_for_numbering(0)) return false;
  }
  file_mark_ = numbering_.mark();
  return true;
}

// Forgets what was numbered of the file being read natively; false with the
// exception a signal handler raised while waiting for the numbering thread.
bool Encoder::roll_back_numbering() {
  if (!wait_for_numbering(0)) return false;
  numbering_.roll_back(file_mark_on_thread_ ? numbering_thread_.last_mark() : file_mark_);
  total_tokens_ = tokens_before_file_;
  return true;
}

// Counts a text's tokens for its boundary and numbers them: here while the
// input is small, on the numbering thread from kThreadUnits code units read
// on (or here after all, when no thread can be started). A numbering that
// runs out of memory is found by finish_numbering. False only with the
// exception a signal handler raised.
bool Encoder::number_text(PyObject* text) {
  return number_units(PyUnicode_DATA(text), PyUnicode_KIND(text),
                      static_cast<size_t>(PyUnicode_GET_LENGTH(text)), Ref::borrow(text), {});
}

// number_text over code units, held by `text` or `units` until numbered.
// While the numbering thread runs, the reading thread also cuts and hashes
// the tokens of a text of at most kCutAheadUnits units for it (the counting
// walks them anyway), which halves what that thread does per token; a
// longer text, whose cuts would take eight bytes a token at once, is cut by
// the numbering thread itself.
bool Encoder::number_units(const void* data, int kind, size_t length, Ref text, utf8::Bytes units) {
  const auto count = with_units(data, kind, length, [](auto* u, size_t n) {
    return static_cast<Py_ssize_t>(scan::count_tokens(u, n));
  });
  total_tokens_ += count;
  units_read_ += length;
  if (!thread_tried_ && units_read_ >= kThreadUnits) {
    thread_tried_ = true;
    numbering_thread_.start();
  }
  HeldText held{std::move(text), std::move(units), {}};
  if (numbering_thread_.started()) {
    bool queued = false;
    try {
      bool cut = false;
      if (length <= kCutAheadUnits) {
        held.cuts.reserve(static_cast<size_t>(count));
        cut = FirstSightNumbering::cut_text(data, kind, length, held.cuts);
      }
      if (!cut) std::vector<FirstSightNumbering::Cut>().swap(held.cuts);
      texts_in_numbering_.push_back(std::move(held));
      HeldText& queued_text = texts_in_numbering_.back();
      queued = numbering_thread_.submit(data, kind, length, cut ? &queued_text.cuts : nullptr);
      if (!queued) {
        held = std::move(queued_text);
        texts_in_numbering_.pop_back();
      }
    } catch (const std::bad_alloc&) {
    }
    if (queued) return true;
    // Not queued: numbered here once the thread is idle, so that the order of
    // first sight stays that of the files.
    if (!wait_for_numbering(0)) return false;
  }
  if (!numbering_.out_of_memory()) numbering_.add_text(data, kind, length, [] { return true; });
  return true;
}

// Waits, in slices that let signal handlers run, until at most
// `queued_units` code units wait for the numbering thread (0: until it has
// numbered everything). False with the exception a handler raised: the
// thread is then stopped.
bool Encoder::wait_for_numbering(size_t queued_units) {
  if (!numbering_thread_.started()) return true;
  const bool done = wait_answering_signals(
      [&] { return numbering_thread_.wait_until_queued_at_most(queued_units, kWaitSlice); });
  release_numbered_texts();
  if (!done) numbering_thread_.stop();
  return done;
}

void Encoder::release_numbered_texts() {
  for (size_t numbered = numbering_thread_.numbered(); texts_released_ < numbered;
       texts_released_++) {
    texts_in_numbering_.pop_front();
  }
}

// Waits for the numbering to end; false with MemoryError when it ran out of
// memory, or with what a signal handler raised meanwhile.
bool Encoder::finish_numbering() {
  if (!wait_for_numbering(0)) return false;
  numbering_thread_.stop();
  texts_in_numbering_.clear();
  if (numbering_.out_of_memory()) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// From here on the plain way: the tokens numbered so far become the all_tokens
// list their `tokenize` calls would have made (equal strs: one per distinct
// token, shared by its occurrences), and later texts go through `tokenize`.
bool Encoder::leave_native_way() {
  native_ = false;
  if (!finish_numbering()) return false;
  const size_t distinct = numbering_.distinct();
  std::vector<Ref> token_strs;
  try {
    token_strs.resize(distinct);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  Ref tokens = Ref::steal(PyList_New(static_cast<Py_ssize_t>(numbering_.record_count())));
  if (!tokens) return false;
  Py_ssize_t next = 0;
  numbering_.drain_records([&](const uint32_t* numbers, size_t count) {
    for (size_t i = 0; i < count && next >= 0; i++) {
      Ref& token = token_strs[numbers[i]];
      if (!token) {
        const FirstSightNumbering::Token& t = numbering_.token(numbers[i]);
        token = Ref::steal(PyUnicode_FromKindAndData(t.kind, t.data, t.length));
        if (!token) {
          next = -1;
          break;
        }
      }
      PyList_SET_ITEM(tokens.get(), next++, Py_NewRef(token.get()));
    }
  });
  numbering_.release_tokens();
  if (next < 0) return false;
  all_tokens_ = std::move(tokens);
  return true;
}

bool Encoder::read_files() {
  if (entries_) {
    for (const NamedInput& input : named_inputs_) {
      if (!read_one(input.path.get(), input.name.get())) return false;
    }
    return true;
  }
  if (filepaths_ == Py_None) {
    PyErr_SetString(PyExc_TypeError, msg::kNoneNotIterable);
    return trace_.fail(lines_.iterate_files);
  }
  // By index, reading the list's current length before each item.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filepaths_); i++) {
    Ref path = Ref::borrow(PyList_GET_ITEM(filepaths_, i));
    if (!read_one(path.get(), nullptr)) return false;
  }
  return true;
}

// The new tokens of the native way entered (none in the plain way, which
// enters them as it goes), a failure of the id loop raised, and the stream
// compressed. Once the ids are known, entering and compressing are
// independent, so a big stream may be compressed on a helper thread meanwhile
// (id_stream.hpp); a failure while entering leaves that frame unused, so what
// is observable is the plain order: all entries, then the frame. The frame,
// or null with the exception set and its traceback entry added.
Ref Encoder::enter_tokens_and_compress(IdAssigner& ids) {
  FrameCompression compression(packed_tokens_.get(), level_, threads_);
  if (!ids.stopped_at_a_token()) compression.start_early();
  if (!ids.enter_new_tokens()) return Ref();
  Ref frame = compression.finish();
  if (!frame) return trace_.fail(lines_.compress);
  return frame;
}

// packed_tokens = bytearray(4 * len(all_tokens)), filled by the id loop
// (id_assignment.hpp) through a view held until every record is stored.
bool Encoder::assign_ids(IdAssigner& ids) {
  if (total_tokens_ > kMaxRecords) {
    PyErr_Format(PyExc_OverflowError, msg::kTooManyTokens, kMaxRecords, total_tokens_);
    return trace_.fail(lines_.packed_tokens);
  }
  // Every byte is written by the id loop, so the array is not cleared first:
  // its pages are touched only as the records are stored.
  packed_tokens_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, kRecordSize * total_tokens_));
  if (!packed_tokens_) return trace_.fail(lines_.packed_tokens);
  Py_buffer view;
  if (PyObject_GetBuffer(packed_tokens_.get(), &view, PyBUF_WRITABLE | PyBUF_STRIDES) < 0) {
    return trace_.fail(lines_.packed_view);
  }
  auto* packed = static_cast<uint8_t*>(view.buf);
  bool assigned;
  if (!native_) {
    assigned = ids.assign_plainly(all_tokens_.get(), packed, view.len);
  } else if (view.len != kRecordSize * total_tokens_) {
    PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
    assigned = trace_.fail(lines_.store_byte0);
  } else {
    assigned = ids.assign_natively(numbering_, packed);
  }
  PyBuffer_Release(&view);
  all_tokens_ = Ref();
  return assigned;
}

PyObject* Encoder::run() {
  all_tokens_ = Ref::steal(PyList_New(0));
  if (!all_tokens_) return trace_.fail(lines_.all_tokens);
  file_boundaries_ = Ref::steal(PyList_New(0));
  if (!file_boundaries_) return trace_.fail(lines_.file_boundaries);
  filenames_ = Ref::steal(PyList_New(0));
  if (!filenames_) return trace_.fail(lines_.filenames);

  if (entries_ && !take_entries()) return nullptr;
  if (!read_files()) return nullptr;
  if (native_ && !finish_numbering()) return trace_.fail(lines_.contains);

  IdAssigner ids(self_, trace_, lines_);
  if (!ids.scan_dictionaries()) return nullptr;
  // The native id loop runs no code of the user's while the dictionaries hold
  // only plain entries: they cannot change behind its back.
  if (native_ && !ids.plain_entries() && !leave_native_way()) {
    return trace_.fail(lines_.extend_tokens);
  }
  if (!assign_ids(ids)) return nullptr;
  Ref compressed = enter_tokens_and_compress(ids);
  packed_tokens_ = Ref();  // only the frame is needed from here on
  if (!compressed) return nullptr;
  return write_package(compressed.get());
}

// package = {...}, dumped into output_path; the size of the frame.
PyObject* Encoder::write_package(PyObject* compressed) {
  Ref package = Ref::steal(PyDict_New());
  Ref dumped_dict = dumped_global_dict(self_->global_dict);
  if (!package || !dumped_dict ||
      PyDict_SetItem(package.get(), str(Str::compressed), compressed) < 0 ||
      PyDict_SetItem(package.get(), str(Str::file_boundaries), file_boundaries_.get()) < 0 ||
      PyDict_SetItem(package.get(), str(Str::filenames), filenames_.get()) < 0 ||
      PyDict_SetItem(package.get(), str(Str::global_dict), dumped_dict.get()) < 0) {
    return trace_.fail(lines_.package);
  }
  if (facts_) {
    Ref facts = facts_->make(empty_dirs_.get());
    if (!facts || PyDict_SetItem(package.get(), str(Str::file_facts), facts.get()) < 0) {
      return trace_.fail(lines_.package);
    }
  }

  // with open(output_path, "wb") as f: pickle.dump(package, f), through a
  // fresh file that replaces output_path only once complete: a failing dump
  // leaves no half package and keeps an older one. A dump whose error
  // __exit__ swallowed installs nothing, and the method goes on.
  if (dump_pickle_replacing(output_path_, package.get(), trace_, lines_.open_package,
                            lines_.dump) == BlockEnd::kFailed) {
    return nullptr;
  }

  Py_ssize_t length = PyObject_Length(compressed);
  if (length < 0) return trace_.fail(lines_.result);
  PyObject* result = PyLong_FromSsize_t(length);
  if (!result) return trace_.fail(lines_.result);
  return result;
}

// Binding and the conversions of zstd_level and threads, shared by both
// methods (their parameters differ only in the first one's name and type).
bool bind_encoding_call(const EncodingMethod& method, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, BoundArguments& bound, int32_t& level,
                        int32_t& threads) {
  if (!method.row.bind(args, nargs, kwnames, bound)) return false;
  level = as_int32(bound[2]);
  if (level == -1 && PyErr_Occurred()) return method.trace.fail(method.lines.binding);
  threads = as_int32(bound[3]);
  if (threads == -1 && PyErr_Occurred()) return method.trace.fail(method.lines.binding);
  return true;
}

}  // namespace

namespace {

// The index of encode_named_files' `checks`, after the four parameters both
// methods share.
constexpr Py_ssize_t kCheckedParameter = 4;
constexpr Py_ssize_t kFollowLinksParameter = 6;

// Both wrappers: bind, convert, test the first argument (a list, named
// `first_name`) and output_path, then run the encoder on the list.
PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const EncodingMethod& method, Str first_name,
                 PyObject* (Encoder::*run_on)(PyObject*)) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  int32_t level;
  int32_t threads;
  if (!bind_encoding_call(method, args, nargs, kwnames, bound, level, threads)) return nullptr;
  if (!check_exact_type(bound[0], &PyList_Type, first_name)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_path)) return nullptr;
  Encoder encoder(as_compressor(self), method, bound[1], level, threads);
  if (method.row.signature().count > kCheckedParameter) {
    // encode_named_files' keyword-only checks=False, empty_dirs=None.
    const int checks = truth_value(bound[kCheckedParameter]);
    if (checks < 0) return method.trace.fail(method.lines.binding);
    PyObject* empty_dirs = bound[kCheckedParameter + 1];
    if (!check_exact_type(empty_dirs, &PyList_Type, Str::empty_dirs)) return nullptr;
    if (!checks && empty_dirs != Py_None && PyList_GET_SIZE(empty_dirs) > 0) {
      PyErr_SetString(PyExc_ValueError, msg::kEmptyDirsNeedChecks);
      return method.trace.fail(method.lines.binding);
    }
    if (checks && !encoder.keep_file_facts(empty_dirs)) {
      return method.trace.fail(method.lines.binding);
    }
  }
  // encode_named_files' keyword-only follow_links: false opens each input
  // without following a link at its path (the command's walked files).
  if (method.row.signature().count > kFollowLinksParameter) {
    const int follow_links = truth_value(bound[kFollowLinksParameter]);
    if (follow_links < 0) return method.trace.fail(method.lines.binding);
    encoder.follow_links(follow_links != 0);
  }
  return (encoder.*run_on)(bound[0]);
}

}  // namespace

PyObject* encode_files_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return encode(self, args, nargs, kwnames, kEncodeFiles, Str::filepaths, &Encoder::run_on_paths);
}

PyObject* encode_named_files_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return encode(self, args, nargs, kwnames, kEncodeNamedFiles, Str::entries,
                &Encoder::run_on_entries);
}

}  // namespace ormek
