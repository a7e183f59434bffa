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

#include "compressor/encode/first_sight_numbering.hpp"
#include "compressor/encode/id_allocator.hpp"
#include "compressor/encode/input_file.hpp"
#include "compressor/encode/numbering_thread.hpp"
#include "compressor/encode/repeated_ids.hpp"
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

// The traceback lines of one encoding method, statement by statement.
struct EncoderLines {
  int binding;
  int all_tokens;
  int file_boundaries;
  int filenames;
  // encode_named_files: the walk of its (path, name) entries, the check of
  // each name and the check of the names together.
  int iterate_entries;
  int check_name;
  int check_clashes;
  int iterate_files;
  int open_input;
  int read_and_tokenize;
  int extend_tokens;
  int append_boundary;
  int append_name;  // encode_files: the base name
  int packed_tokens;
  int packed_view;
  int iterate_tokens;
  int contains;
  int new_id;
  int inverse_entry;
  int existing_id;
  int store_byte0;  // the four byte stores are this line and the next three
  int compress;
  int package;
  int open_package;
  int dump;
  int result;
};

struct EncodingMethod {
  const FunctionRow& row;
  Trace trace;
  EncoderLines lines;
};

constexpr const FunctionRow& kEncodeFilesRow = function_row("encode_files");
constexpr const FunctionRow& kEncodeNamedFilesRow = function_row("encode_named_files");

const EncodingMethod kEncodeFiles{
    .row = kEncodeFilesRow,
    .trace = kEncodeFilesRow.trace(),
    .lines = {.binding = kEncodeFilesRow.first_line,
              .all_tokens = 46,
              .file_boundaries = 47,
              .filenames = 48,
              .iterate_entries = 0,
              .check_name = 0,
              .check_clashes = 0,
              .iterate_files = 51,
              .open_input = 52,
              .read_and_tokenize = 53,
              .extend_tokens = 54,
              .append_boundary = 55,
              .append_name = 56,
              .packed_tokens = 59,
              .packed_view = 60,
              .iterate_tokens = 65,
              .contains = 66,
              .new_id = 68,
              .inverse_entry = 69,
              .existing_id = 72,
              .store_byte0 = 73,
              .compress = 80,
              .package = 84,
              .open_package = 89,
              .dump = 90,
              .result = 92},
};

// encode_named_files follows encode_files: after its own head, each shared
// statement sits 90 lines below its twin.
const EncodingMethod kEncodeNamedFiles{
    .row = kEncodeNamedFilesRow,
    .trace = kEncodeNamedFilesRow.trace(),
    .lines = {.binding = kEncodeNamedFilesRow.first_line,
              .all_tokens = 132,
              .file_boundaries = 133,
              .filenames = 134,
              .iterate_entries = 136,
              .check_name = 137,
              .check_clashes = 139,
              .iterate_files = 141,
              .open_input = 142,
              .read_and_tokenize = 143,
              .extend_tokens = 144,
              .append_boundary = 145,
              .append_name = 0,
              .packed_tokens = 149,
              .packed_view = 150,
              .iterate_tokens = 155,
              .contains = 156,
              .new_id = 158,
              .inverse_entry = 159,
              .existing_id = 162,
              .store_byte0 = 163,
              .compress = 170,
              .package = 174,
              .open_package = 179,
              .dump = 180,
              .result = 182},
};

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

// What one walk over global_dict and inverse_dict finds. Only exact dicts are
// walked, which runs no code of the user's, each in the dict's critical
// section (another thread may hold them too).
struct DictionaryScan {
  // Every entry is of types with native hashing, comparison and destruction:
  // a str key and an int id in global_dict, an int key and a None, str or int
  // value in inverse_dict (both exact dicts).
  bool plain_entries = true;
  // The ids at or above next_id that entries already hold (id_allocator.hpp):
  // the int values of global_dict and int keys of inverse_dict. The entries
  // of any other mapping are known only through calls into it that the
  // encoder does not otherwise make, so its ids are not looked for.
  std::vector<int32_t> taken;
  // An id that two entries of global_dict share (repeated_ids.hpp).
  std::optional<uint32_t> repeated_id;
  bool out_of_memory = false;
};

DictionaryScan scan_dictionaries(PyObject* global_dict, PyObject* inverse_dict, int32_t next_id) {
  DictionaryScan scan;
  auto note_id = [&](PyObject* id, RepeatedIds* repeats) {
    if (!PyLong_Check(id)) return;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow || value > INT32_MAX) return;
    try {
      if (repeats && value >= 0) repeats->note(static_cast<uint32_t>(value));
      if (value >= next_id) scan.taken.push_back(static_cast<int32_t>(value));
    } catch (const std::bad_alloc&) {
      scan.out_of_memory = true;
    }
  };
  scan.plain_entries = PyDict_CheckExact(global_dict) && PyDict_CheckExact(inverse_dict) &&
                       global_dict != inverse_dict;
  if (PyDict_CheckExact(global_dict)) {
    Py_BEGIN_CRITICAL_SECTION(global_dict);
    RepeatedIds repeats(static_cast<size_t>(PyDict_GET_SIZE(global_dict)));
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (!scan.out_of_memory && PyDict_Next(global_dict, &pos, &key, &value)) {
      scan.plain_entries =
          scan.plain_entries && PyUnicode_CheckExact(key) && PyLong_CheckExact(value);
      note_id(value, &repeats);
    }
    if (!scan.out_of_memory) scan.repeated_id = repeats.found();
    Py_END_CRITICAL_SECTION();
  }
  if (PyDict_CheckExact(inverse_dict) && inverse_dict != global_dict) {
    Py_BEGIN_CRITICAL_SECTION(inverse_dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (!scan.out_of_memory && PyDict_Next(inverse_dict, &pos, &key, &value)) {
      scan.plain_entries =
          scan.plain_entries && PyLong_CheckExact(key) &&
          (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value));
      note_id(key, nullptr);
    }
    Py_END_CRITICAL_SECTION();
  }
  return scan;
}

// ValueError naming `id` and the first two tokens of global_dict (an exact
// dict) that share it.
void raise_repeated_id(PyObject* global_dict, uint32_t id) {
  Ref tokens[2];
  int found = 0;
  Py_BEGIN_CRITICAL_SECTION(global_dict);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (found < 2 && PyDict_Next(global_dict, &pos, &key, &value)) {
    int overflow = 0;
    if (PyLong_Check(value) && PyLong_AsLongLongAndOverflow(value, &overflow) == id && !overflow) {
      tokens[found++] = Ref::borrow(key);
    }
  }
  Py_END_CRITICAL_SECTION();
  if (found < 2) {  // changed meanwhile by another thread: the id alone
    tokens[0] = tokens[1] = Ref::borrow(Py_None);
  }
  PyErr_Format(PyExc_ValueError, msg::kRepeatedTokenId, static_cast<unsigned>(id), tokens[0].get(),
               tokens[1].get());
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
  // The ids of the distinct tokens of the native way, by token number, and
  // the tokens that global_dict lacks, in order of first sight. A failure at
  // a token is kept to be raised once the new tokens before it are entered,
  // as the plain loop would have left them.
  struct IdResolution {
    std::vector<int32_t> ids;
    std::vector<Ref> new_keys;
    std::vector<int32_t> new_ids;
    Ref error;
    int error_line = 0;
  };

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
  bool resolve_ids(IdResolution& resolution);
  bool take_new_id(int32_t next_id, int32_t& token_id);
  void fill_records(uint8_t* packed, const IdResolution& resolution);
  bool enter_new_tokens(const IdResolution& resolution);
  bool assign_ids_plain(uint8_t* packed, Py_ssize_t packed_length);
  bool assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length, int32_t offset);
  Ref enter_tokens_and_compress(IdResolution& resolution);

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
  IdAllocator free_ids_;
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

// The id a new token takes, the first free one from `next_id` on
// (id_allocator.hpp); false with OverflowError when none is left.
bool Encoder::take_new_id(int32_t next_id, int32_t& token_id) {
  if (free_ids_.first_free(next_id, token_id)) return true;
  PyErr_Format(PyExc_OverflowError, msg::kIdSpaceExhausted, next_id);
  return false;
}

// The native id loop over the distinct tokens, in order of first sight: which
// of them global_dict already has (and their ids), and the ids the others
// will get. A failure at token k is the plain loop's failure at that token's
// first occurrence.
bool Encoder::resolve_ids(IdResolution& resolution) {
  const size_t distinct = numbering_.distinct();
  PyObject* global_dict = self_->global_dict;
  const bool known_empty = PyDict_GET_SIZE(global_dict) == 0;
  try {
    resolution.ids.resize(distinct);
    resolution.new_keys.reserve(known_empty ? distinct : 0);
    resolution.new_ids.reserve(known_empty ? distinct : 0);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains);
  }
  int32_t next_id = self_->next_id;
  SignalPoll poll(FirstSightNumbering::kPollTokens);
  auto stop_at = [&resolution](int line) {
    resolution.error = Ref::steal(PyErr_GetRaisedException());
    resolution.error_line = line;
    return true;
  };
  for (size_t k = 0; k < distinct; k++) {
    const FirstSightNumbering::Token& t = numbering_.token(k);
    Ref key = Ref::steal(PyUnicode_FromKindAndData(t.kind, t.data, t.length));
    if (!key || poll() < 0) return stop_at(lines_.contains);
    if (!known_empty) {
      PyObject* existing = nullptr;
      if (PyDict_GetItemRef(global_dict, key.get(), &existing) < 0) {
        return stop_at(lines_.contains);
      }
      if (existing) {
        Ref value = Ref::steal(existing);
        const int32_t token_id = as_int32(value.get());
        if (token_id == -1 && PyErr_Occurred()) return stop_at(lines_.existing_id);
        resolution.ids[k] = token_id;
        continue;
      }
    }
    int32_t token_id;
    if (!take_new_id(next_id, token_id)) return stop_at(lines_.new_id);
    try {
      resolution.new_keys.push_back(std::move(key));
      resolution.new_ids.push_back(token_id);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return stop_at(lines_.contains);
    }
    resolution.ids[k] = token_id;
    next_id = token_id + 1;
  }
  return true;
}

// The records, numbers of first sight, stored as the ids they resolved to.
void Encoder::fill_records(uint8_t* packed, const IdResolution& resolution) {
  uint8_t* record = packed;
  numbering_.drain_records([&](const uint32_t* numbers, size_t count) {
    for (size_t i = 0; i < count; i++, record += kRecordSize) {
      store_record(record, resolution.ids[numbers[i]]);
    }
  });
}

// The new tokens of the native way into global_dict and inverse_dict, in
// order of first sight. A dictionary sized for all of them up front and
// handed over with one update measured no faster here and held a second
// table at the peak (75 MB more on 1.75 M tokens), so the entries go in
// one by one, as the plain loop makes them.
bool Encoder::enter_new_tokens(const IdResolution& resolution) {
  // Owned for the loop: a signal handler may replace either attribute.
  Ref global_dict = Ref::borrow(self_->global_dict);
  Ref inverse_dict = Ref::borrow(self_->inverse_dict);
  SignalPoll poll(FirstSightNumbering::kPollTokens);
  for (size_t entered = 0; entered < resolution.new_ids.size(); entered++) {
    if (poll() < 0) return trace_.fail(lines_.new_id);
    PyObject* key = resolution.new_keys[entered].get();
    Ref id_object = Ref::steal(PyLong_FromLong(resolution.new_ids[entered]));
    if (!id_object || PyDict_SetItem(global_dict.get(), key, id_object.get()) < 0) {
      return trace_.fail(lines_.new_id);
    }
    if (PyDict_SetItem(inverse_dict.get(), id_object.get(), key) < 0) {
      return trace_.fail(lines_.inverse_entry);
    }
    self_->next_id = resolution.new_ids[entered] + 1;
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
Ref Encoder::enter_tokens_and_compress(IdResolution& resolution) {
  FrameCompression compression(packed_tokens_.get(), level_, threads_);
  if (!resolution.error) compression.start_early();
  if (!enter_new_tokens(resolution)) return Ref();
  if (resolution.error) {
    PyErr_SetRaisedException(resolution.error.release());
    return trace_.fail(resolution.error_line);
  }
  Ref frame = compression.finish();
  if (!frame) return trace_.fail(lines_.compress);
  return frame;
}

// The plain id loop's body for one token, with generic host operations.
bool Encoder::assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length,
                            int32_t offset) {
  if (token != Py_None && !PyUnicode_CheckExact(token)) {
    raise_expected_type("str", token);
    return trace_.fail(lines_.iterate_tokens);
  }
  int32_t token_id;
  // Held while user code (a mapping's __contains__) may replace the field.
  Ref global_dict = Ref::borrow(self_->global_dict);
  int contained = PySequence_Contains(global_dict.get(), token);
  if (contained < 0) return trace_.fail(lines_.contains);
  if (!contained) {
    if (!take_new_id(self_->next_id, token_id)) return trace_.fail(lines_.new_id);
    Ref id_object = Ref::steal(PyLong_FromLong(token_id));
    global_dict = Ref::borrow(self_->global_dict);
    if (!id_object || PyObject_SetItem(global_dict.get(), token, id_object.get()) < 0) {
      return trace_.fail(lines_.new_id);
    }
    Ref inverse = Ref::borrow(self_->inverse_dict);
    Ref inverse_key = Ref::steal(PyLong_FromLong(token_id));
    if (!inverse_key || PyObject_SetItem(inverse.get(), inverse_key.get(), token) < 0) {
      return trace_.fail(lines_.inverse_entry);
    }
    self_->next_id = token_id + 1;
  } else {
    global_dict = Ref::borrow(self_->global_dict);
    Ref value;
    if (PyDict_CheckExact(global_dict.get())) {
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(global_dict.get(), token, &found) < 0) {
        return trace_.fail(lines_.existing_id);
      }
      if (!found) {
        PyErr_SetObject(PyExc_KeyError, token);
        return trace_.fail(lines_.existing_id);
      }
      value = Ref::steal(found);
    } else {
      value = Ref::steal(PyObject_GetItem(global_dict.get(), token));
      if (!value) return trace_.fail(lines_.existing_id);
    }
    token_id = as_int32(value.get());
    if (token_id == -1 && PyErr_Occurred()) return trace_.fail(lines_.existing_id);
  }
  // Each of the four stores is bounds-tested against the view's length.
  for (int byte = 0; byte < kRecordSize; byte++) {
    if (offset + byte >= packed_length) {
      PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
      return trace_.fail(lines_.store_byte0 + byte);
    }
  }
  store_record(packed + offset, token_id);
  return true;
}

bool Encoder::assign_ids_plain(uint8_t* packed, Py_ssize_t packed_length) {
  int32_t offset = 0;
  PyObject* tokens = all_tokens_.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tokens); i++) {
    Ref token = Ref::borrow(PyList_GET_ITEM(tokens, i));
    if (!assign_one_id(token.get(), packed, packed_length, offset)) return false;
    offset += kRecordSize;
  }
  return true;
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

  DictionaryScan scan = scan_dictionaries(self_->global_dict, self_->inverse_dict, self_->next_id);
  if (scan.out_of_memory) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains);
  }
  if (scan.repeated_id) {
    raise_repeated_id(self_->global_dict, *scan.repeated_id);
    return trace_.fail(lines_.existing_id);
  }
  free_ids_ = IdAllocator(std::move(scan.taken));
  // The native id loop runs no code of the user's while the dictionaries hold
  // only plain entries: they cannot change behind its back.
  if (native_ && !scan.plain_entries && !leave_native_way()) {
    return trace_.fail(lines_.extend_tokens);
  }
  if (total_tokens_ > kMaxRecords) {
    PyErr_Format(PyExc_OverflowError, msg::kTooManyTokens, kMaxRecords, total_tokens_);
    return trace_.fail(lines_.packed_tokens);
  }

  // Every byte is written by the id loop, so the array is not cleared first:
  // its pages are touched only as the records are stored.
  packed_tokens_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, kRecordSize * total_tokens_));
  if (!packed_tokens_) return trace_.fail(lines_.packed_tokens);

  IdResolution resolution;
  {
    // The byte view over packed_tokens, held until the stream is filled.
    Py_buffer view;
    if (PyObject_GetBuffer(packed_tokens_.get(), &view, PyBUF_WRITABLE | PyBUF_STRIDES) < 0) {
      return trace_.fail(lines_.packed_view);
    }
    auto* packed = static_cast<uint8_t*>(view.buf);
    bool ok;
    if (!native_) {
      ok = assign_ids_plain(packed, view.len);
    } else if (view.len != kRecordSize * total_tokens_) {
      PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
      ok = trace_.fail(lines_.store_byte0);
    } else {
      ok = resolve_ids(resolution);
      numbering_.release_tokens();
      if (ok && !resolution.error) fill_records(packed, resolution);
    }
    PyBuffer_Release(&view);
    if (!ok) return nullptr;
  }
  all_tokens_ = Ref();
  Ref compressed = enter_tokens_and_compress(resolution);
  packed_tokens_ = Ref();  // only the frame is needed from here on
  if (!compressed) return nullptr;

  Ref package = Ref::steal(PyDict_New());
  Ref dumped_dict = dumped_global_dict(self_->global_dict);
  if (!package || !dumped_dict ||
      PyDict_SetItem(package.get(), str(Str::compressed), compressed.get()) < 0 ||
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

  Py_ssize_t length = PyObject_Length(compressed.get());
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
