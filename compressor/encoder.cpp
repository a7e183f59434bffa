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
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "compressor/atomic_file.hpp"
#include "compressor/background_work.hpp"
#include "compressor/id_allocator.hpp"
#include "compressor/name_checks.hpp"
#include "compressor/object.hpp"
#include "compressor/package_format.hpp"
#include "compressor/pickle_snapshot.hpp"
#include "compressor/text_units.hpp"
#include "compressor/token_scanner.hpp"
#include "compressor/token_table.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/function_type.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

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
  Trace trace;
  EncoderLines lines;
};

const EncodingMethod kEncodeFiles{
    {"ormek_compressor.OrmekCompressor.encode_files", kFileCompressor},
    {.binding = 45,
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
     .result = 92}};

// encode_named_files follows encode_files: after its own head, each shared
// statement sits 90 lines below its twin.
const EncodingMethod kEncodeNamedFiles{
    {"ormek_compressor.OrmekCompressor.encode_named_files", kFileCompressor},
    {.binding = 131,
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
     .result = 182}};

const Signature kEncodeFilesSignature{
    "encode_files", {Str::filepaths, Str::output_path, Str::zstd_level, Str::threads}, 4, 2};
const Signature kEncodeNamedFilesSignature{
    "encode_named_files", {Str::entries, Str::output_path, Str::zstd_level, Str::threads}, 4, 2};

using package::kMaxRecords;
using package::store_record;
// Below this many tokens, numbering them on this thread (a few milliseconds)
// costs less than starting threads to number them apart (and, from two texts
// on, in two halves at once).
constexpr Py_ssize_t kParallelThreshold = 1 << 20;
// From this many bytes of packed ids on, the module's own binding compresses
// on a helper thread (see background_work.hpp): the new tokens are entered
// meanwhile, and a signal is answered while the frame is made. Below it,
// starting a thread costs more than it saves.
constexpr Py_ssize_t kBackgroundCompressBytes = Py_ssize_t{1} << 18;
// The long loops look for signals every this many tokens.
constexpr unsigned kPollTokens = 1u << 16;

// Keyword-name tuples of the calls this file makes, made once. With the GIL
// off two calls may make one at once: the first to publish it wins.
PyObject* keyword_names(std::atomic<PyObject*>& slot, std::initializer_list<Str> names) {
  if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (Str name : names) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(str(name)));
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, tuple, std::memory_order_acq_rel)) return tuple;
  Py_DECREF(tuple);
  return expected;
}
std::atomic<PyObject*> g_encoding_kw{nullptr};
std::atomic<PyObject*> g_compressor_kw{nullptr};

// Step 6 itself: compressor_class(level=level, threads=threads).compress(
// packed_tokens); null with the exception set.
PyObject* compress_frame(PyObject* compressor_class, PyObject* level, PyObject* threads,
                         PyObject* packed_tokens) {
  PyObject* kwvalues[] = {level, threads};
  PyObject* kwnames = keyword_names(g_compressor_kw, {Str::level, Str::threads});
  if (!kwnames) return nullptr;
  Ref compressor = call(compressor_class, kwvalues, 0, kwnames);
  if (!compressor) return nullptr;
  return call_method(compressor.get(), str(Str::compress), &packed_tokens, 1).release();
}

// compress_frame for a helper thread (background_work.hpp). The compressor is
// made there too: made on the calling thread, it raised the peak memory of a
// 33 MB pack by some 20 MB.
PyObject* compress_frame_on_helper(PyObject* const* args) {
  return compress_frame(args[0], args[1], args[2], args[3]);
}

// One input file after it has been read: its text and, when the tokens came
// from a call of `tokenize` (or the plain way), the token list.
struct InputText {
  Ref text;
  Py_ssize_t token_count;
};

// One entry of encode_named_files: the path to read and the name to store.
struct NamedInput {
  Ref path;
  Ref name;
};

// Whether `tokenize` would run the module's own body on `text` with the
// original re.findall, whose result the native scanner reproduces exactly.
// A lookup that fails here answers no, so that the call of `tokenize` itself
// raises that error with its own traceback entries.
bool native_tokenize_applies(CompressorObject* self, PyObject* text) {
  if (!PyUnicode_CheckExact(text)) return false;
  auto fails = [] {
    PyErr_Clear();
    return false;
  };
  if (Py_TYPE(self) != &CompressorType) {
    Ref method =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), str(Str::tokenize)));
    if (!method) return fails();
    if (!is_own_function(method.get(), &tokenize_def)) return false;
  }
  Ref re = get_global(str(Str::re));
  if (!re) return fails();
  if (re.get() != g_state.original.re) return false;
  Ref findall = Ref::steal(PyObject_GetAttr(re.get(), str(Str::findall)));
  if (!findall) return fails();
  return findall.get() == g_state.original.re_findall;
}

Py_ssize_t native_token_count(PyObject* text) {
  return with_text_units(text, [](auto* units, size_t length) {
    return static_cast<Py_ssize_t>(scan::count_tokens(units, length));
  });
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
  bool out_of_memory = false;
};

DictionaryScan scan_dictionaries(PyObject* global_dict, PyObject* inverse_dict, int32_t next_id) {
  DictionaryScan scan;
  auto note_id = [&](PyObject* id) {
    if (!PyLong_Check(id)) return;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow || value < next_id || value > INT32_MAX) return;
    try {
      scan.taken.push_back(static_cast<int32_t>(value));
    } catch (const std::bad_alloc&) {
      scan.out_of_memory = true;
    }
  };
  scan.plain_entries = PyDict_CheckExact(global_dict) && PyDict_CheckExact(inverse_dict) &&
                       global_dict != inverse_dict;
  if (PyDict_CheckExact(global_dict)) {
    Py_BEGIN_CRITICAL_SECTION(global_dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (!scan.out_of_memory && PyDict_Next(global_dict, &pos, &key, &value)) {
      scan.plain_entries =
          scan.plain_entries && PyUnicode_CheckExact(key) && PyLong_CheckExact(value);
      note_id(value);
    }
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
      note_id(key);
    }
    Py_END_CRITICAL_SECTION();
  }
  return scan;
}

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
  // encode_named_files: (path, name) entries, each file stored under its name.
  PyObject* run_on_entries(PyObject* entries) {
    entries_ = entries;
    return run();
  }

 private:
  PyObject* run();
  bool take_entries();
  bool read_files();
  int read_one(PyObject* path, PyObject* stored_name);
  bool switch_to_plain_tokens();
  bool assign_ids_native(uint8_t* packed, Py_ssize_t packed_length);
  bool enter_new_tokens(const std::vector<uint32_t>& new_tokens, const std::vector<int32_t>& ids,
                        std::vector<Ref>& keys);
  bool original_compressor_in_use();
  bool compression_arguments(Ref& level, Ref& threads) const;
  void start_compression_early();
  Ref finish_compression();
  bool assign_ids_plain(uint8_t* packed, Py_ssize_t packed_length);
  bool assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length, int32_t offset);

  CompressorObject* self_;
  const Trace& trace_;
  const EncoderLines& lines_;
  PyObject* output_path_;
  int32_t level_;
  int32_t threads_;
  PyObject* filepaths_ = nullptr;
  PyObject* entries_ = nullptr;
  std::vector<NamedInput> named_inputs_;

  Ref all_tokens_;
  Ref file_boundaries_;
  Ref filenames_;
  // The native way keeps the texts instead of all_tokens; total_tokens_ is
  // what len(all_tokens) would be.
  bool native_tokens_ = true;
  std::vector<InputText> texts_;
  Py_ssize_t total_tokens_ = 0;
  IdAllocator free_ids_;
  Ref packed_tokens_;
  // Step 6, when begun before the new tokens were entered: what making its
  // arguments raised, or the helper running it.
  Ref compress_error_;
  BackgroundCall background_compression_;
  bool compressing_in_background_ = false;
  // The frame, once made.
  Ref compressed_;
};

// encode_named_files' head: each entry unpacked into a path and a name, the
// name an exact str that decode_package can restore, and the names together
// free of clashes (a name given twice, or one that is a directory of
// another); all before any file is read or the package opened.
bool Encoder::take_entries() {
  if (entries_ == Py_None) {
    PyErr_SetString(PyExc_TypeError, msg::kNoneNotIterable);
    return trace_.fail(lines_.iterate_entries), false;
  }
  StoredNames names;
  // By index, reading the list's current length before each item.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries_); i++) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(entries_, i));
    NamedInput input;
    if (!unpack_two(entry.get(), input.path, input.name)) {
      return trace_.fail(lines_.iterate_entries), false;
    }
    PyObject* name = input.name.get();
    if (!PyUnicode_CheckExact(name)) {
      raise_expected_type("str", name);
      return trace_.fail(lines_.iterate_entries), false;
    }
    if (!is_safe_stored_name(name)) {
      PyErr_Format(PyExc_ValueError, msg::kUnsafeStoredName, name);
      return trace_.fail(lines_.check_name), false;
    }
    if (!names.add(name) || PyList_Append(filenames_.get(), name) < 0) {
      return trace_.fail(lines_.check_name), false;
    }
    try {
      named_inputs_.push_back(std::move(input));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return trace_.fail(lines_.check_name), false;
    }
  }
  if (!names.check_clashes(true)) return trace_.fail(lines_.check_clashes), false;
  return true;
}

// Steps 2.1 to 2.7 for one path: the file stored under `stored_name`, or
// (null) under its base name. Returns 1 when the file was handled, 0 when an
// exception is pending.
int Encoder::read_one(PyObject* path, PyObject* stored_name) {
  PyObject* open_args[] = {path, str(Str::mode_r), str(Str::utf_8)};
  Ref file =
      call(builtin(Builtin::open), open_args, 2, keyword_names(g_encoding_kw, {Str::encoding}));
  WithBlock block;
  if (!file || !block.enter(file.get())) return trace_.fail(lines_.open_input), 0;

  int failed_line = 0;
  auto body = [&]() -> bool {
    failed_line = lines_.read_and_tokenize;
    Ref text = call_method(block.value(), str(Str::read), nullptr, 0);
    if (!text) return false;
    if (text.get() != Py_None && !PyUnicode_CheckExact(text.get())) {
      raise_expected_type("str", text.get());
      return false;
    }
    Py_ssize_t count;
    if (native_tokens_) {
      if (!native_tokenize_applies(self_, text.get()) && !switch_to_plain_tokens()) return false;
    }
    if (native_tokens_) {
      count = native_token_count(text.get());
      total_tokens_ += count;
      texts_.push_back({std::move(text), count});
    } else {
      Ref tokens = Ref::steal(self_->direct->tokenize(self_, text.get(), 0));
      if (!tokens) return false;
      failed_line = lines_.extend_tokens;
      if (PyList_Extend(all_tokens_.get(), tokens.get()) < 0) return false;
      total_tokens_ = PyList_GET_SIZE(all_tokens_.get());
    }
    failed_line = lines_.append_boundary;
    Ref boundary = Ref::steal(PyLong_FromSsize_t(total_tokens_));
    if (!boundary || PyList_Append(file_boundaries_.get(), boundary.get()) < 0) return false;
    if (stored_name) return true;  // its name is in filenames already
    failed_line = lines_.append_name;
    Ref os = get_global(str(Str::os));
    if (!os) return false;
    Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), str(Str::path)));
    if (!os_path) return false;
    Ref name = call_method(os_path.get(), str(Str::basename), &path, 1);
    if (!name) return false;
    // A name that is not a str (the bytes base name of a bytes path) would
    // make a package that no reader restores.
    if (!PyUnicode_CheckExact(name.get())) {
      raise_expected_type("str", name.get());
      return false;
    }
    return PyList_Append(filenames_.get(), name.get()) == 0;
  };

  if (!body()) {
    trace_.add(failed_line);
    // A true __exit__ drops the exception and the loop goes on.
    if (block.leave_with_pending() == 0) return trace_.fail(lines_.open_input), 0;
    return 1;
  }
  if (!block.leave_normally()) return trace_.fail(lines_.open_input), 0;
  return 1;
}

// From the first file whose tokens must come from a call of `tokenize`, the
// plain way is taken: the files read so far get the token lists the original
// re.findall gives for them (what their `tokenize` calls would have returned).
bool Encoder::switch_to_plain_tokens() {
  native_tokens_ = false;
  for (InputText& input : texts_) {
    PyObject* args[] = {str(Str::token_pattern), input.text.get()};
    Ref tokens = call(g_state.original.re_findall, args, 2);
    if (!tokens || PyList_Extend(all_tokens_.get(), tokens.get()) < 0) return false;
  }
  texts_.clear();
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
    return trace_.fail(lines_.iterate_files), false;
  }
  // By index, reading the list's current length before each item.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filepaths_); i++) {
    Ref path = Ref::borrow(PyList_GET_ITEM(filepaths_, i));
    if (!read_one(path.get(), nullptr)) return false;
  }
  return true;
}

bool Encoder::assign_ids_native(uint8_t* packed, Py_ssize_t packed_length) {
  if (packed_length != 4 * total_tokens_) {
    PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
    return trace_.fail(lines_.store_byte0), false;
  }
  // Split the files in two runs of about equal token counts.
  size_t split = texts_.size();
  if (total_tokens_ >= kParallelThreshold) {
    Py_ssize_t seen = 0;
    for (split = 0; split < texts_.size() && seen < total_tokens_ / 2; split++) {
      seen += texts_[split].token_count;
    }
  }
  struct Run {
    size_t first_text;
    size_t end_text;
    uint8_t* records;
    TokenTable table;
    bool out_of_memory = false;
  };
  Py_ssize_t first_run_tokens = 0;
  for (size_t i = 0; i < split; i++) first_run_tokens += texts_[i].token_count;
  Run runs[2] = {{0, split, packed, TokenTable(1024)},
                 {split, texts_.size(), packed + 4 * first_run_tokens, TokenTable(1024)}};
  const size_t run_count = split < texts_.size() ? 2 : 1;
  if (run_count == 1) runs[0].end_text = texts_.size();

  // Numbers the tokens of a run; stops early once `keep_going` says no (it is
  // asked at each text and every kPollTokens tokens).
  auto number_tokens = [this](Run& run, auto&& keep_going) {
    try {
      uint8_t* record = run.records;
      unsigned countdown = kPollTokens;
      bool going = true;
      for (size_t t = run.first_text; going && t < run.end_text; t++) {
        going = keep_going();
        if (!going) break;
        with_text_units(texts_[t].text.get(), [&](const auto* units, size_t length) {
          scan::for_each_token(units, length, [&](size_t begin, size_t end) -> bool {
            const auto* start = units + begin;
            size_t n = end - begin;
            uint64_t h = TokenTable::hash(start, n);
            int32_t number;
            if (int32_t* known = run.table.find(start, n, h)) {
              number = *known;
            } else {
              number = static_cast<int32_t>(run.table.size());
              run.table.insert(start, n, sizeof(*start), h, number);
            }
            std::memcpy(record, &number, 4);
            record += 4;
            if (--countdown > 0) return true;
            countdown = kPollTokens;
            going = keep_going();
            return going;
          });
        });
      }
    } catch (const std::bad_alloc&) {
      run.out_of_memory = true;
    }
  };

  // Pass 1. The texts are immutable and held by this call, and nothing here
  // touches the host. A small input is numbered right here; a big one on
  // threads of their own while this thread waits, ready to stop them when a
  // signal handler raises (background_work.hpp).
  std::atomic<bool> stop{false};
  auto until_stopped = [&stop] { return !stop.load(std::memory_order_relaxed); };
  if (total_tokens_ < kParallelThreshold) {
    Py_BEGIN_ALLOW_THREADS;
    number_tokens(runs[0], until_stopped);
    Py_END_ALLOW_THREADS;
  } else if (run_native_tasks(
                 run_count, [&](size_t r) { number_tokens(runs[r], until_stopped); }, stop) < 0) {
    return trace_.fail(lines_.contains), false;
  }
  if (runs[0].out_of_memory || runs[1].out_of_memory) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains), false;
  }

  // The distinct tokens of both runs in order of first occurrence: the first
  // run's, then those of the second run that the first did not have.
  std::vector<const TokenTable::Entry*> distinct;
  std::vector<int32_t> second_run_order;
  try {
    distinct.reserve(runs[0].table.size() + (run_count == 2 ? runs[1].table.size() : 0));
    for (size_t i = 0; i < runs[0].table.size(); i++) distinct.push_back(&runs[0].table.entry(i));
    if (run_count == 2) {
      second_run_order.resize(runs[1].table.size());
      for (size_t i = 0; i < runs[1].table.size(); i++) {
        const TokenTable::Entry& e = runs[1].table.entry(i);
        if (int32_t* in_first = runs[0].table.find_entry(e)) {
          second_run_order[i] = *in_first;
        } else {
          second_run_order[i] = static_cast<int32_t>(distinct.size());
          distinct.push_back(&e);
        }
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains), false;
  }
  runs[0].table.release_index();
  runs[1].table.release_index();

  // Pass 2, in the host: which distinct tokens global_dict already has (and
  // their ids), and the ids the others will get, in order of first
  // occurrence. A failure at distinct token k is the plain loop's failure at
  // that token's first occurrence: it is raised once the new tokens before k
  // are entered, as the plain loop would have left them.
  std::vector<int32_t> ids;
  std::vector<Ref> keys;
  std::vector<uint32_t> new_tokens;
  PyObject* global_dict = self_->global_dict;
  const bool known_empty = PyDict_GET_SIZE(global_dict) == 0;
  try {
    ids.resize(distinct.size());
    keys.resize(distinct.size());
    new_tokens.reserve(known_empty ? distinct.size() : 0);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains), false;
  }
  auto make_key = [&](size_t k) {
    const TokenTable::Entry& e = *distinct[k];
    keys[k] = Ref::steal(PyUnicode_FromKindAndData(e.kind, e.data, e.length));
    return static_cast<bool>(keys[k]);
  };
  int32_t next_id = self_->next_id;
  size_t resolved = 0;
  int failed_line = 0;
  SignalPoll poll(kPollTokens);
  for (; resolved < distinct.size(); resolved++) {
    if (!make_key(resolved) || poll() < 0) {
      failed_line = lines_.contains;
      break;
    }
    if (!known_empty) {
      PyObject* existing = nullptr;
      if (PyDict_GetItemRef(global_dict, keys[resolved].get(), &existing) < 0) {
        failed_line = lines_.contains;
        break;
      }
      if (existing) {
        Ref value = Ref::steal(existing);
        int32_t token_id = as_int32(value.get());
        if (token_id == -1 && PyErr_Occurred()) {
          failed_line = lines_.existing_id;
          break;
        }
        ids[resolved] = token_id;
        keys[resolved] = Ref();
        continue;
      }
    }
    int32_t token_id;
    if (!free_ids_.first_free(next_id, token_id)) {
      PyErr_Format(PyExc_OverflowError, msg::kIdSpaceExhausted, next_id);
      failed_line = lines_.new_id;
      break;
    }
    ids[resolved] = token_id;
    next_id = token_id + 1;
    new_tokens.push_back(static_cast<uint32_t>(resolved));
  }
  if (failed_line) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!enter_new_tokens(new_tokens, ids, keys)) return false;
    PyErr_SetRaisedException(error.release());
    return trace_.fail(failed_line), false;
  }

  // Every key is made: the texts and the numbering tables are done with.
  texts_.clear();
  distinct = {};
  runs[0].table = TokenTable();
  if (run_count == 2) runs[1].table = TokenTable();

  // Pass 3.
  uint8_t* record = packed;
  uint8_t* second_start = runs[1].records;
  uint8_t* end = packed + packed_length;
  for (; record < end; record += 4) {
    int32_t number;
    std::memcpy(&number, record, 4);
    if (run_count == 2 && record >= second_start) number = second_run_order[number];
    store_record(record, ids[number]);
  }
  // Entering the new tokens and compressing the stream are independent once
  // the ids are known, so with the module's own binding the compression may
  // start first, on a helper thread. A failure while entering the tokens
  // leaves that frame unused, so what is observable is the plain order: all
  // entries, then the frame.
  start_compression_early();
  if (!enter_new_tokens(new_tokens, ids, keys)) return false;
  compressed_ = finish_compression();
  return compressed_ ? true : (trace_.fail(lines_.compress), false);
}

bool Encoder::enter_new_tokens(const std::vector<uint32_t>& new_tokens,
                               const std::vector<int32_t>& ids, std::vector<Ref>& keys) {
  PyObject* global_dict = self_->global_dict;
  PyObject* inverse_dict = self_->inverse_dict;
  SignalPoll poll(kPollTokens);
  for (uint32_t k : new_tokens) {
    if (poll() < 0) return trace_.fail(lines_.new_id), false;
    Ref id_object = Ref::steal(PyLong_FromLong(ids[k]));
    if (!id_object || PyDict_SetItem(global_dict, keys[k].get(), id_object.get()) < 0) {
      return trace_.fail(lines_.new_id), false;
    }
    if (PyDict_SetItem(inverse_dict, id_object.get(), keys[k].get()) < 0) {
      return trace_.fail(lines_.inverse_entry), false;
    }
    keys[k] = Ref();
    self_->next_id = ids[k] + 1;
  }
  return true;
}

bool Encoder::original_compressor_in_use() {
  Ref zstd = get_global(str(Str::zstd));
  if (!zstd) {
    PyErr_Clear();
    return false;
  }
  if (zstd.get() != g_state.original.zstd) return false;
  PyObject* compressor_class = nullptr;
  if (PyObject_GetOptionalAttr(zstd.get(), str(Str::ZstdCompressor), &compressor_class) < 0) {
    PyErr_Clear();
    return false;
  }
  Ref held = Ref::steal(compressor_class);
  return held.get() == g_state.original.zstd_compressor;
}

// The level and thread count as the host ints step 6 passes.
bool Encoder::compression_arguments(Ref& level, Ref& threads) const {
  level = Ref::steal(PyLong_FromLong(level_));
  threads = level ? Ref::steal(PyLong_FromLong(threads_)) : Ref();
  return static_cast<bool>(threads);
}

// Step 6 begun ahead of its turn, where that cannot be told apart: with the
// module's own binding, whose compressor runs no code of the user's, on a
// stream big enough to be worth a thread. Its errors are raised by
// finish_compression, in the plain order.
void Encoder::start_compression_early() {
  if (PyByteArray_GET_SIZE(packed_tokens_.get()) < kBackgroundCompressBytes ||
      !original_compressor_in_use()) {
    return;
  }
  Ref level;
  Ref threads;
  if (!compression_arguments(level, threads) ||
      !keyword_names(g_compressor_kw, {Str::level, Str::threads})) {
    compress_error_ = Ref::steal(PyErr_GetRaisedException());
    return;
  }
  compressing_in_background_ = background_compression_.start(
      compress_frame_on_helper,
      {g_state.original.zstd_compressor, level.get(), threads.get(), packed_tokens_.get()});
}

// Step 6 without its traceback entry: the frame of packed_tokens, or null
// with the exception set.
Ref Encoder::finish_compression() {
  if (compressing_in_background_) {
    compressing_in_background_ = false;
    return background_compression_.wait();
  }
  if (compress_error_) {
    PyErr_SetRaisedException(compress_error_.release());
    return Ref();
  }
  Ref zstd = get_global(str(Str::zstd));
  if (!zstd) return Ref();
  Ref compressor_class = Ref::steal(PyObject_GetAttr(zstd.get(), str(Str::ZstdCompressor)));
  Ref level;
  Ref threads;
  if (!compressor_class || !compression_arguments(level, threads)) return Ref();
  return Ref::steal(
      compress_frame(compressor_class.get(), level.get(), threads.get(), packed_tokens_.get()));
}

// Steps 5.1 to 5.6 for one token, with generic host operations.
bool Encoder::assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length,
                            int32_t offset) {
  if (token != Py_None && !PyUnicode_CheckExact(token)) {
    raise_expected_type("str", token);
    return trace_.fail(lines_.iterate_tokens), false;
  }
  int32_t token_id;
  // Held while user code (a mapping's __contains__) may replace the field.
  Ref global_dict = Ref::borrow(self_->global_dict);
  int contained = PySequence_Contains(global_dict.get(), token);
  if (contained < 0) return trace_.fail(lines_.contains), false;
  if (!contained) {
    if (!free_ids_.first_free(self_->next_id, token_id)) {
      PyErr_Format(PyExc_OverflowError, msg::kIdSpaceExhausted, self_->next_id);
      return trace_.fail(lines_.new_id), false;
    }
    Ref id_object = Ref::steal(PyLong_FromLong(token_id));
    global_dict = Ref::borrow(self_->global_dict);
    if (!id_object || PyObject_SetItem(global_dict.get(), token, id_object.get()) < 0) {
      return trace_.fail(lines_.new_id), false;
    }
    Ref inverse = Ref::borrow(self_->inverse_dict);
    Ref inverse_key = Ref::steal(PyLong_FromLong(token_id));
    if (!inverse_key || PyObject_SetItem(inverse.get(), inverse_key.get(), token) < 0) {
      return trace_.fail(lines_.inverse_entry), false;
    }
    self_->next_id = token_id + 1;
  } else {
    global_dict = Ref::borrow(self_->global_dict);
    Ref value;
    if (PyDict_CheckExact(global_dict.get())) {
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(global_dict.get(), token, &found) < 0) {
        return trace_.fail(lines_.existing_id), false;
      }
      if (!found) {
        PyErr_SetObject(PyExc_KeyError, token);
        return trace_.fail(lines_.existing_id), false;
      }
      value = Ref::steal(found);
    } else {
      value = Ref::steal(PyObject_GetItem(global_dict.get(), token));
      if (!value) return trace_.fail(lines_.existing_id), false;
    }
    token_id = as_int32(value.get());
    if (token_id == -1 && PyErr_Occurred()) return trace_.fail(lines_.existing_id), false;
  }
  // Each of the four stores is bounds-tested against the view's length.
  for (int byte = 0; byte < 4; byte++) {
    if (offset + byte >= packed_length) {
      PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
      return trace_.fail(lines_.store_byte0 + byte), false;
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
    offset += 4;
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

  DictionaryScan scan = scan_dictionaries(self_->global_dict, self_->inverse_dict, self_->next_id);
  if (scan.out_of_memory) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains);
  }
  free_ids_ = IdAllocator(std::move(scan.taken));
  // The native id loop runs no code of the user's while the dictionaries hold
  // only plain entries: they cannot change behind its back.
  if (native_tokens_ && !scan.plain_entries && !switch_to_plain_tokens()) {
    return trace_.fail(lines_.read_and_tokenize);
  }
  if (!native_tokens_) total_tokens_ = PyList_GET_SIZE(all_tokens_.get());
  if (total_tokens_ > kMaxRecords) {
    PyErr_Format(PyExc_OverflowError, msg::kTooManyTokens, kMaxRecords, total_tokens_);
    return trace_.fail(lines_.packed_tokens);
  }

  packed_tokens_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 4 * total_tokens_));
  if (!packed_tokens_) return trace_.fail(lines_.packed_tokens);
  std::memset(PyByteArray_AS_STRING(packed_tokens_.get()), 0,
              static_cast<size_t>(4 * total_tokens_));

  {
    // The byte view over packed_tokens, held until the stream is filled.
    Py_buffer view;
    if (PyObject_GetBuffer(packed_tokens_.get(), &view, PyBUF_WRITABLE | PyBUF_STRIDES) < 0) {
      return trace_.fail(lines_.packed_view);
    }
    auto* packed = static_cast<uint8_t*>(view.buf);
    bool ok =
        native_tokens_ ? assign_ids_native(packed, view.len) : assign_ids_plain(packed, view.len);
    PyBuffer_Release(&view);
    if (!ok) return nullptr;
  }
  texts_.clear();
  all_tokens_ = Ref();
  if (!compressed_) {
    start_compression_early();
    compressed_ = finish_compression();
    if (!compressed_) return trace_.fail(lines_.compress);
  }
  packed_tokens_ = Ref();  // only the frame is needed from here on
  Ref compressed = std::move(compressed_);

  Ref package = Ref::steal(PyDict_New());
  Ref dumped_dict = dumped_global_dict(self_->global_dict);
  if (!package || !dumped_dict ||
      PyDict_SetItem(package.get(), str(Str::compressed), compressed.get()) < 0 ||
      PyDict_SetItem(package.get(), str(Str::file_boundaries), file_boundaries_.get()) < 0 ||
      PyDict_SetItem(package.get(), str(Str::filenames), filenames_.get()) < 0 ||
      PyDict_SetItem(package.get(), str(Str::global_dict), dumped_dict.get()) < 0) {
    return trace_.fail(lines_.package);
  }

  // with open(output_path, "wb") as f: pickle.dump(package, f), through a
  // fresh file that replaces output_path only once complete: a failing dump
  // leaves no half package and keeps an older one. A dump whose error
  // __exit__ swallowed installs nothing, and the method goes on.
  int written =
      dump_pickle_replacing(output_path_, package.get(), trace_, lines_.open_package, lines_.dump);
  if (written < 0) return nullptr;

  Py_ssize_t length = PyObject_Length(compressed.get());
  if (length < 0) return trace_.fail(lines_.result);
  PyObject* result = PyLong_FromSsize_t(length);
  if (!result) return trace_.fail(lines_.result);
  return result;
}

// Binding and the conversions of zstd_level and threads, shared by both
// methods (their parameters differ only in the first one's name and type).
bool bind_encoding_call(const Signature& signature, const EncodingMethod& method,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        BoundArguments& bound, int32_t& level, int32_t& threads) {
  if (bind_vectorcall(signature, args, nargs, kwnames, bound) < 0) {
    return method.trace.fail(method.lines.binding), false;
  }
  level = 6;
  threads = 4;
  if (bound.given(2)) {
    level = as_int32(bound[2]);
    if (level == -1 && PyErr_Occurred()) return method.trace.fail(method.lines.binding), false;
  }
  if (bound.given(3)) {
    threads = as_int32(bound[3]);
    if (threads == -1 && PyErr_Occurred()) return method.trace.fail(method.lines.binding), false;
  }
  return true;
}

}  // namespace

PyObject* encode_files_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  int32_t level;
  int32_t threads;
  if (!bind_encoding_call(kEncodeFilesSignature, kEncodeFiles, args, nargs, kwnames, bound, level,
                          threads)) {
    return nullptr;
  }
  if (!check_exact_type(bound[0], &PyList_Type, Str::filepaths)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_path)) return nullptr;
  Encoder encoder(reinterpret_cast<CompressorObject*>(self), kEncodeFiles, bound[1], level,
                  threads);
  return encoder.run_on_paths(bound[0]);
}

PyObject* encode_named_files_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  int32_t level;
  int32_t threads;
  if (!bind_encoding_call(kEncodeNamedFilesSignature, kEncodeNamedFiles, args, nargs, kwnames,
                          bound, level, threads)) {
    return nullptr;
  }
  if (!check_exact_type(bound[0], &PyList_Type, Str::entries)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_path)) return nullptr;
  Encoder encoder(reinterpret_cast<CompressorObject*>(self), kEncodeNamedFiles, bound[1], level,
                  threads);
  return encoder.run_on_entries(bound[0]);
}

}  // namespace ormek
