// encode_files: packs text files into one package (the compressed id stream,
// the cut points between the files, their names and the whole dictionary).
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
#include <system_error>
#include <thread>
#include <vector>

#include "compressor/atomic_file.hpp"
#include "compressor/object.hpp"
#include "compressor/package_format.hpp"
#include "compressor/pickle_snapshot.hpp"
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

namespace line {
constexpr int kBinding = 45;
constexpr int kAllTokens = 46;
constexpr int kFileBoundaries = 47;
constexpr int kFilenames = 48;
constexpr int kIterateFiles = 51;
constexpr int kOpenInput = 52;
constexpr int kReadAndTokenize = 53;
constexpr int kExtendTokens = 54;
constexpr int kAppendBoundary = 55;
constexpr int kAppendName = 56;
constexpr int kPackedTokens = 59;
constexpr int kPackedView = 60;
constexpr int kIterateTokens = 65;
constexpr int kContains = 66;
constexpr int kNewId = 68;
constexpr int kInverseEntry = 69;
constexpr int kExistingId = 72;
constexpr int kStoreByte0 = 73;  // the four byte stores are lines 73 to 76
constexpr int kCompress = 80;
constexpr int kPackage = 84;
constexpr int kOpenPackage = 89;
constexpr int kDump = 90;
constexpr int kResult = 92;
}  // namespace line

constexpr Trace kTrace{"ormek_compressor.OrmekCompressor.encode_files", kFileCompressor};

const Signature kSignature{
    "encode_files", {Str::filepaths, Str::output_path, Str::zstd_level, Str::threads}, 4, 2};

using package::kMaxRecords;
using package::store_record;
// Below this many tokens a second scanning thread costs more than it saves.
constexpr Py_ssize_t kParallelThreshold = 1 << 20;
// Below this many new tokens, entering them is quicker than starting a thread
// to compress meanwhile.
constexpr size_t kOverlapThreshold = 1 << 15;

// Keyword-name tuples of the calls this file makes, made once.
PyObject* keyword_names(PyObject*& slot, std::initializer_list<Str> names) {
  if (!slot) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (Str name : names) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(str(name)));
    slot = tuple;
  }
  return slot;
}
PyObject* g_encoding_kw = nullptr;
PyObject* g_compressor_kw = nullptr;

// One input file after it has been read: its text and, when the tokens came
// from a call of `tokenize` (or the plain way), the token list.
struct InputText {
  Ref text;
  Py_ssize_t token_count;
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

template <typename Fn>
auto with_text_units(PyObject* text, Fn&& fn) {
  const void* data = PyUnicode_DATA(text);
  size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return fn(static_cast<const uint8_t*>(data), length);
    case PyUnicode_2BYTE_KIND:
      return fn(static_cast<const uint16_t*>(data), length);
    default:
      return fn(static_cast<const uint32_t*>(data), length);
  }
}

Py_ssize_t native_token_count(PyObject* text) {
  return with_text_units(text, [](auto* units, size_t length) {
    return static_cast<Py_ssize_t>(scan::count_tokens(units, length));
  });
}

// Giving a new token an id must not push next_id past 2**31 - 1: ids would
// wrap to negative values that no reader accepts.
bool reserve_new_id(CompressorObject* self, int32_t& token_id) {
  if (self->next_id == INT32_MAX) {
    PyErr_Format(PyExc_OverflowError, msg::kIdSpaceExhausted, self->next_id);
    return false;
  }
  token_id = self->next_id;
  return true;
}

class Encoder {
 public:
  Encoder(CompressorObject* self, PyObject* filepaths, PyObject* output_path, int32_t level,
          int32_t threads)
      : self_(self),
        filepaths_(filepaths),
        output_path_(output_path),
        level_(level),
        threads_(threads) {}

  PyObject* run();

 private:
  bool read_files();
  int read_one(PyObject* path);
  bool switch_to_plain_tokens();
  bool native_ids_apply() const;
  bool assign_ids_native(uint8_t* packed, Py_ssize_t packed_length);
  bool enter_new_tokens(const std::vector<uint32_t>& new_tokens, const std::vector<int32_t>& ids,
                        std::vector<Ref>& keys);
  bool enter_tokens_while_compressing(const std::vector<uint32_t>& new_tokens,
                                      const std::vector<int32_t>& ids, std::vector<Ref>& keys);
  bool original_compressor_in_use();
  Ref compress_stream();
  bool assign_ids_plain(uint8_t* packed, Py_ssize_t packed_length);
  bool assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length, int32_t offset);

  CompressorObject* self_;
  PyObject* filepaths_;
  PyObject* output_path_;
  int32_t level_;
  int32_t threads_;

  Ref all_tokens_;
  Ref file_boundaries_;
  Ref filenames_;
  // The native way keeps the texts instead of all_tokens; total_tokens_ is
  // what len(all_tokens) would be.
  bool native_tokens_ = true;
  std::vector<InputText> texts_;
  Py_ssize_t total_tokens_ = 0;
  Ref packed_tokens_;
  // The frame, when the native id loop already compressed the stream.
  Ref compressed_;
};

// Steps 2.1 to 2.7 for one path. Returns 1 when the file was handled, 0 when
// an exception is pending.
int Encoder::read_one(PyObject* path) {
  PyObject* open_args[] = {path, str(Str::mode_r), str(Str::utf_8)};
  Ref file =
      call(builtin(Builtin::open), open_args, 2, keyword_names(g_encoding_kw, {Str::encoding}));
  WithBlock block;
  if (!file || !block.enter(file.get())) return kTrace.fail(line::kOpenInput), 0;

  int failed_line = 0;
  auto body = [&]() -> bool {
    failed_line = line::kReadAndTokenize;
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
      failed_line = line::kExtendTokens;
      if (PyList_Extend(all_tokens_.get(), tokens.get()) < 0) return false;
      total_tokens_ = PyList_GET_SIZE(all_tokens_.get());
    }
    failed_line = line::kAppendBoundary;
    Ref boundary = Ref::steal(PyLong_FromSsize_t(total_tokens_));
    if (!boundary || PyList_Append(file_boundaries_.get(), boundary.get()) < 0) return false;
    failed_line = line::kAppendName;
    Ref os = get_global(str(Str::os));
    if (!os) return false;
    Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), str(Str::path)));
    if (!os_path) return false;
    Ref name = call_method(os_path.get(), str(Str::basename), &path, 1);
    if (!name || PyList_Append(filenames_.get(), name.get()) < 0) return false;
    return true;
  };

  if (!body()) {
    kTrace.add(failed_line);
    // A true __exit__ drops the exception and the loop goes on.
    if (block.leave_with_pending() == 0) return kTrace.fail(line::kOpenInput), 0;
    return 1;
  }
  if (!block.leave_normally()) return kTrace.fail(line::kOpenInput), 0;
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
  if (filepaths_ == Py_None) {
    PyErr_SetString(PyExc_TypeError, msg::kNoneNotIterable);
    return kTrace.fail(line::kIterateFiles), false;
  }
  // By index, reading the list's current length before each item.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filepaths_); i++) {
    Ref path = Ref::borrow(PyList_GET_ITEM(filepaths_, i));
    if (!read_one(path.get())) return false;
  }
  return true;
}

// The native id loop runs no code of the user's: exactly dicts whose keys and
// values are of types with native hashing, comparison and destruction, so the
// dictionaries cannot change behind the loop's back.
bool Encoder::native_ids_apply() const {
  PyObject* global_dict = self_->global_dict;
  PyObject* inverse_dict = self_->inverse_dict;
  if (!native_tokens_ || !PyDict_CheckExact(global_dict) || !PyDict_CheckExact(inverse_dict) ||
      global_dict == inverse_dict) {
    return false;
  }
  // Another thread may hold these dicts too: each walk runs in the dict's
  // critical section.
  bool plain_entries = true;
  Py_BEGIN_CRITICAL_SECTION(global_dict);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (plain_entries && PyDict_Next(global_dict, &pos, &key, &value)) {
    plain_entries = PyUnicode_CheckExact(key) && PyLong_CheckExact(value);
  }
  Py_END_CRITICAL_SECTION();
  if (!plain_entries) return false;
  Py_BEGIN_CRITICAL_SECTION(inverse_dict);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (plain_entries && PyDict_Next(inverse_dict, &pos, &key, &value)) {
    plain_entries = PyLong_CheckExact(key) &&
                    (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value));
  }
  Py_END_CRITICAL_SECTION();
  return plain_entries;
}

bool Encoder::assign_ids_native(uint8_t* packed, Py_ssize_t packed_length) {
  if (packed_length != 4 * total_tokens_) {
    PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
    return kTrace.fail(line::kStoreByte0), false;
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

  auto number_tokens = [this](Run& run) {
    try {
      uint8_t* record = run.records;
      for (size_t t = run.first_text; t < run.end_text; t++) {
        with_text_units(texts_[t].text.get(), [&](const auto* units, size_t length) {
          scan::for_each_token(units, length, [&](size_t begin, size_t end) {
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
          });
        });
      }
    } catch (const std::bad_alloc&) {
      run.out_of_memory = true;
    }
  };

  // Pass 1. The texts are immutable and held by this call; nothing here
  // touches the host, so the thread state is detached meanwhile.
  bool thread_failed = false;
  Py_BEGIN_ALLOW_THREADS;
  if (run_count == 2) {
    try {
      std::thread second([&] { number_tokens(runs[1]); });
      number_tokens(runs[0]);
      second.join();
    } catch (const std::system_error&) {
      thread_failed = true;
    }
  }
  if (run_count == 1 || thread_failed) {
    for (size_t r = 0; r < run_count; r++) number_tokens(runs[r]);
  }
  Py_END_ALLOW_THREADS;
  if (runs[0].out_of_memory || runs[1].out_of_memory) {
    PyErr_NoMemory();
    return kTrace.fail(line::kContains), false;
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
    return kTrace.fail(line::kContains), false;
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
    return kTrace.fail(line::kContains), false;
  }
  auto make_key = [&](size_t k) {
    const TokenTable::Entry& e = *distinct[k];
    keys[k] = Ref::steal(PyUnicode_FromKindAndData(e.kind, e.data, e.length));
    return static_cast<bool>(keys[k]);
  };
  int32_t next_id = self_->next_id;
  size_t resolved = 0;
  int failed_line = 0;
  for (; resolved < distinct.size(); resolved++) {
    if (!make_key(resolved)) {
      failed_line = line::kContains;
      break;
    }
    if (!known_empty) {
      PyObject* existing = nullptr;
      if (PyDict_GetItemRef(global_dict, keys[resolved].get(), &existing) < 0) {
        failed_line = line::kContains;
        break;
      }
      if (existing) {
        Ref value = Ref::steal(existing);
        int32_t token_id = as_int32(value.get());
        if (token_id == -1 && PyErr_Occurred()) {
          failed_line = line::kExistingId;
          break;
        }
        ids[resolved] = token_id;
        keys[resolved] = Ref();
        continue;
      }
    }
    if (next_id == INT32_MAX) {
      PyErr_Format(PyExc_OverflowError, msg::kIdSpaceExhausted, next_id);
      failed_line = line::kNewId;
      break;
    }
    ids[resolved] = next_id++;
    new_tokens.push_back(static_cast<uint32_t>(resolved));
  }
  if (failed_line) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!enter_new_tokens(new_tokens, ids, keys)) return false;
    PyErr_SetRaisedException(error.release());
    return kTrace.fail(failed_line), false;
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
  // the ids are known: with the original binding, whose compression runs no
  // code of the user's, the stream is compressed on a second thread
  // meanwhile. A failure while entering the tokens discards that result, so
  // what is observable is the plain order: all entries, then the frame.
  if (new_tokens.size() >= kOverlapThreshold && original_compressor_in_use()) {
    return enter_tokens_while_compressing(new_tokens, ids, keys);
  }
  if (!enter_new_tokens(new_tokens, ids, keys)) return false;
  compressed_ = compress_stream();
  return compressed_ ? true : (kTrace.fail(line::kCompress), false);
}

bool Encoder::enter_new_tokens(const std::vector<uint32_t>& new_tokens,
                               const std::vector<int32_t>& ids, std::vector<Ref>& keys) {
  PyObject* global_dict = self_->global_dict;
  PyObject* inverse_dict = self_->inverse_dict;
  for (uint32_t k : new_tokens) {
    Ref id_object = Ref::steal(PyLong_FromLong(ids[k]));
    if (!id_object || PyDict_SetItem(global_dict, keys[k].get(), id_object.get()) < 0) {
      return kTrace.fail(line::kNewId), false;
    }
    if (PyDict_SetItem(inverse_dict, id_object.get(), keys[k].get()) < 0) {
      return kTrace.fail(line::kInverseEntry), false;
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

bool Encoder::enter_tokens_while_compressing(const std::vector<uint32_t>& new_tokens,
                                             const std::vector<int32_t>& ids,
                                             std::vector<Ref>& keys) {
  std::atomic<bool> attached{false};
  PyObject* result = nullptr;
  PyObject* error = nullptr;
  std::thread worker;
  try {
    worker = std::thread([&] {
      PyGILState_STATE gil = PyGILState_Ensure();
      attached.store(true, std::memory_order_release);
      attached.notify_one();
      result = compress_stream().release();
      if (!result) error = PyErr_GetRaisedException();
      PyGILState_Release(gil);
    });
  } catch (const std::system_error&) {
    if (!enter_new_tokens(new_tokens, ids, keys)) return false;
    compressed_ = compress_stream();
    return compressed_ ? true : (kTrace.fail(line::kCompress), false);
  }
  // Let the worker into the host; it leaves it again while the binding
  // compresses, and this thread then enters the new tokens.
  Py_BEGIN_ALLOW_THREADS;
  attached.wait(false, std::memory_order_acquire);
  Py_END_ALLOW_THREADS;
  bool entered = enter_new_tokens(new_tokens, ids, keys);
  Ref entering_error = entered ? Ref() : Ref::steal(PyErr_GetRaisedException());
  Py_BEGIN_ALLOW_THREADS;
  worker.join();
  Py_END_ALLOW_THREADS;
  Ref frame = Ref::steal(result);
  Ref compress_error = Ref::steal(error);
  if (!entered) {
    PyErr_SetRaisedException(entering_error.release());
    return false;
  }
  if (!frame) {
    PyErr_SetRaisedException(compress_error.release());
    return kTrace.fail(line::kCompress), false;
  }
  compressed_ = std::move(frame);
  return true;
}

// Step 6 without its traceback entry: the frame of packed_tokens from the
// module global zstd, or null with the exception set.
Ref Encoder::compress_stream() {
  Ref zstd = get_global(str(Str::zstd));
  if (!zstd) return Ref();
  Ref compressor_class = Ref::steal(PyObject_GetAttr(zstd.get(), str(Str::ZstdCompressor)));
  if (!compressor_class) return Ref();
  Ref level = Ref::steal(PyLong_FromLong(level_));
  if (!level) return Ref();
  Ref threads = Ref::steal(PyLong_FromLong(threads_));
  if (!threads) return Ref();
  PyObject* kwvalues[] = {level.get(), threads.get()};
  PyObject* kwnames = keyword_names(g_compressor_kw, {Str::level, Str::threads});
  if (!kwnames) return Ref();
  Ref compressor = call(compressor_class.get(), kwvalues, 0, kwnames);
  if (!compressor) return Ref();
  PyObject* packed_arg = packed_tokens_.get();
  return call_method(compressor.get(), str(Str::compress), &packed_arg, 1);
}

// Steps 5.1 to 5.6 for one token, with generic host operations.
bool Encoder::assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length,
                            int32_t offset) {
  if (token != Py_None && !PyUnicode_CheckExact(token)) {
    raise_expected_type("str", token);
    return kTrace.fail(line::kIterateTokens), false;
  }
  int32_t token_id;
  // Held while user code (a mapping's __contains__) may replace the field.
  Ref global_dict = Ref::borrow(self_->global_dict);
  int contained = PySequence_Contains(global_dict.get(), token);
  if (contained < 0) return kTrace.fail(line::kContains), false;
  if (!contained) {
    if (!reserve_new_id(self_, token_id)) return kTrace.fail(line::kNewId), false;
    Ref id_object = Ref::steal(PyLong_FromLong(token_id));
    global_dict = Ref::borrow(self_->global_dict);
    if (!id_object || PyObject_SetItem(global_dict.get(), token, id_object.get()) < 0) {
      return kTrace.fail(line::kNewId), false;
    }
    Ref inverse = Ref::borrow(self_->inverse_dict);
    Ref inverse_key = Ref::steal(PyLong_FromLong(token_id));
    if (!inverse_key || PyObject_SetItem(inverse.get(), inverse_key.get(), token) < 0) {
      return kTrace.fail(line::kInverseEntry), false;
    }
    self_->next_id = token_id + 1;
  } else {
    global_dict = Ref::borrow(self_->global_dict);
    Ref value;
    if (PyDict_CheckExact(global_dict.get())) {
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(global_dict.get(), token, &found) < 0) {
        return kTrace.fail(line::kExistingId), false;
      }
      if (!found) {
        PyErr_SetObject(PyExc_KeyError, token);
        return kTrace.fail(line::kExistingId), false;
      }
      value = Ref::steal(found);
    } else {
      value = Ref::steal(PyObject_GetItem(global_dict.get(), token));
      if (!value) return kTrace.fail(line::kExistingId), false;
    }
    token_id = as_int32(value.get());
    if (token_id == -1 && PyErr_Occurred()) return kTrace.fail(line::kExistingId), false;
  }
  // Each of the four stores is bounds-tested against the view's length.
  for (int byte = 0; byte < 4; byte++) {
    if (offset + byte >= packed_length) {
      PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
      return kTrace.fail(line::kStoreByte0 + byte), false;
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
  if (!all_tokens_) return kTrace.fail(line::kAllTokens);
  file_boundaries_ = Ref::steal(PyList_New(0));
  if (!file_boundaries_) return kTrace.fail(line::kFileBoundaries);
  filenames_ = Ref::steal(PyList_New(0));
  if (!filenames_) return kTrace.fail(line::kFilenames);

  if (!read_files()) return nullptr;

  if (native_tokens_ && !native_ids_apply() && !switch_to_plain_tokens()) {
    return kTrace.fail(line::kReadAndTokenize);
  }
  if (!native_tokens_) total_tokens_ = PyList_GET_SIZE(all_tokens_.get());
  if (total_tokens_ > kMaxRecords) {
    PyErr_Format(PyExc_OverflowError, msg::kTooManyTokens, kMaxRecords, total_tokens_);
    return kTrace.fail(line::kPackedTokens);
  }

  packed_tokens_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 4 * total_tokens_));
  if (!packed_tokens_) return kTrace.fail(line::kPackedTokens);
  std::memset(PyByteArray_AS_STRING(packed_tokens_.get()), 0,
              static_cast<size_t>(4 * total_tokens_));

  {
    // The byte view over packed_tokens, held until the stream is filled.
    Py_buffer view;
    if (PyObject_GetBuffer(packed_tokens_.get(), &view, PyBUF_WRITABLE | PyBUF_STRIDES) < 0) {
      return kTrace.fail(line::kPackedView);
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
    compressed_ = compress_stream();
    if (!compressed_) return kTrace.fail(line::kCompress);
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
    return kTrace.fail(line::kPackage);
  }

  // with open(output_path, "wb") as f: pickle.dump(package, f), through a
  // fresh file that replaces output_path only once complete: a failing dump
  // leaves no half package and keeps an older one. A dump whose error
  // __exit__ swallowed installs nothing, and the method goes on.
  int written =
      dump_pickle_replacing(output_path_, package.get(), kTrace, line::kOpenPackage, line::kDump);
  if (written < 0) return nullptr;

  Py_ssize_t length = PyObject_Length(compressed.get());
  if (length < 0) return kTrace.fail(line::kResult);
  PyObject* result = PyLong_FromSsize_t(length);
  if (!result) return kTrace.fail(line::kResult);
  return result;
}

}  // namespace

PyObject* encode_files_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (bind_vectorcall(kSignature, args, nargs, kwnames, bound) < 0) {
    return kTrace.fail(line::kBinding);
  }
  int32_t level = 6;
  int32_t threads = 4;
  if (bound.given(2)) {
    level = as_int32(bound[2]);
    if (level == -1 && PyErr_Occurred()) return kTrace.fail(line::kBinding);
  }
  if (bound.given(3)) {
    threads = as_int32(bound[3]);
    if (threads == -1 && PyErr_Occurred()) return kTrace.fail(line::kBinding);
  }
  if (!check_exact_type(bound[0], &PyList_Type, Str::filepaths)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_path)) return nullptr;
  Encoder encoder(reinterpret_cast<CompressorObject*>(self), bound[0], bound[1], level, threads);
  return encoder.run();
}

}  // namespace ormek
