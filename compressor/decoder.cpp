// decode_package: restores the text files of a package into a directory.
//
// The body follows the statements of the method one by one (each with its
// traceback line). The id loop and the per-file joins have a native path that
// turns the payload straight into one str per file, used only while
// `native_id_loop_applies` holds; otherwise the plain path below it runs.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "compressor/background_work.hpp"
#include "compressor/file_choice.hpp"
#include "compressor/file_facts.hpp"
#include "compressor/inverse_dict.hpp"
#include "compressor/methods.hpp"
#include "compressor/object.hpp"
#include "compressor/package_files.hpp"
#include "compressor/package_format.hpp"
#include "compressor/package_loader.hpp"
#include "compressor/restore_files.hpp"
#include "compressor/text_units.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kDecodePackageRow = function_row("decode_package");

namespace line {
constexpr int kBinding = kDecodePackageRow.first_line;
constexpr int kOpenPackage = 96;
constexpr int kLoadPackage = 97;
constexpr int kTakeGlobalDict = 99;
constexpr int kBuildInverse = 100;
constexpr int kCompressed = 102;
constexpr int kDecompress = 104;
constexpr int kLength = 107;
constexpr int kRestoredTokens = 108;
constexpr int kReadId = 111;
constexpr int kLookupId = 112;
constexpr int kMakedirs = 115;
constexpr int kFileLoop = 119;
constexpr int kOpenOutput = 120;
constexpr int kWriteOutput = 121;
constexpr int kResult = 124;
}  // namespace line

constexpr Trace kDecodePackageTrace = kDecodePackageRow.trace();

// A payload beyond the layout's record limit would wrap the 32-bit record
// count, so it is refused before any directory or file is written.
using package::kMaxRecords;
using package::kRecordSize;

// From this many bytes of stored payload on, the module's own binding
// decompresses on a helper thread (background_work.hpp).
constexpr Py_ssize_t kBackgroundDecompressBytes = Py_ssize_t{1} << 18;

// list[start:stop] bounds with the host's list-slice rules: a negative index
// counts from the end, both are clamped to the list, and the slice is empty
// when its start is not below its stop.
void clamp_slice(Py_ssize_t length, Py_ssize_t& start, Py_ssize_t& stop) {
  auto wrap = [length](Py_ssize_t index) {
    if (index < 0) return std::max<Py_ssize_t>(index + length, 0);
    return std::min(index, length);
  };
  start = wrap(start);
  stop = std::max(wrap(stop), start);
}

// ---------------------------------------------------------------------------
// Native id loop: the payload stays as it is (a bytes object holds the ids
// compactly, one record each) and every file is joined from it through an id ->
// token table built once from inverse_dict. No list of restored tokens is
// made.

using package::record_at;

// Index of the first record whose id does not fit a signed 32-bit integer, or
// -1 when all fit.
Py_ssize_t first_oversized_record(const unsigned char* payload, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; i++) {
    if (payload[kRecordSize * i] & 0x80) return i;
  }
  return -1;
}

// Short tokens (most of them) are copied as one fixed 16-byte move: the arena
// ends in that much slack, the move stays inside the output buffer while 16
// bytes remain before its end, and what it writes past the token is
// overwritten by the next one.
constexpr size_t kShortCopy = 16;

// How the table holds a token: kText as its UTF-8 bytes in the arena; kHeld
// (a str that UTF-8 cannot hold: a lone surrogate) and kOpaque (not a str) as
// the object itself, for the host's join and write to report.
enum Form : uint32_t { kText, kHeld, kOpaque };

// The limits of the packed table entry; a dictionary beyond them (a token of
// 2^29 bytes, 4 GiB of token text) takes the plain loop.
constexpr size_t kMaxTokenBytes = (size_t{1} << 29) - 1;
constexpr size_t kMaxArenaBytes = UINT32_MAX;

// One token as the native writer copies it, packed in 8 bytes so that the
// table stays small next to the dictionaries.
struct TokenEntry {
  uint32_t where;  // byte offset in the arena, or index of the object kept
  uint32_t info;   // bytes << 2 | form

  uint32_t bytes() const { return info >> 2; }
  Form form() const { return static_cast<Form>(info & 3); }
};

// At most the UTF-8 bytes of a str: 1, 2, 3 or 4 per character by its widest.
size_t utf8_bound(PyObject* token) {
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(token));
  if (PyUnicode_IS_ASCII(token)) return length;
  return length * (PyUnicode_KIND(token) == PyUnicode_1BYTE_KIND   ? 2
                   : PyUnicode_KIND(token) == PyUnicode_2BYTE_KIND ? 3
                                                                   : 4);
}

// The UTF-8 bytes of a str's code units into `out` (room for utf8_bound);
// SIZE_MAX when one is a surrogate, which UTF-8 cannot hold.
template <typename Unit>
size_t encode_utf8(const Unit* units, size_t length, unsigned char* out) {
  unsigned char* const start = out;
  for (size_t i = 0; i < length; i++) {
    const uint32_t c = units[i];
    if (c < 0x80) {
      *out++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<unsigned char>(0xC0 | c >> 6);
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return SIZE_MAX;
      *out++ = static_cast<unsigned char>(0xE0 | c >> 12);
      *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<unsigned char>(0xF0 | c >> 18);
      *out++ = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<size_t>(out - start);
}

// What the walk of the predicate below measured, so that the table is
// allocated once and its fill allocates nothing.
struct TableShape {
  size_t tokens = 0;  // entries whose id a record can name
  size_t opaque = 0;  // of them, not strs
  uint32_t max_id = 0;
  size_t arena_bytes = 0;
};

// The native id loop is exact when nothing in it can run user code or see a
// difference: indexing an exact bytes object yields ints 0..255, an exact
// dict's get cannot be overridden, and with only exact int keys a lookup by an
// int compares ints alone (a bool, float or user-defined key could equal an id
// or run __eq__). The tokens must also fit the packed table. The walk measures
// the table on the way.
bool native_id_loop_applies(PyObject* data, PyObject* inverse_dict, TableShape& shape) {
  if (!PyBytes_CheckExact(data) || !PyDict_CheckExact(inverse_dict)) return false;
  bool applies = true;
  Py_BEGIN_CRITICAL_SECTION(inverse_dict);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (applies && PyDict_Next(inverse_dict, &pos, &key, &value)) {
    applies = PyLong_CheckExact(key);
    int overflow = 0;
    long long id = applies ? PyLong_AsLongLongAndOverflow(key, &overflow) : -1;
    if (overflow || id < 0 || id > INT32_MAX) continue;  // no record can name it
    shape.tokens++;
    shape.max_id = std::max(shape.max_id, static_cast<uint32_t>(id));
    if (!PyUnicode_Check(value)) {
      shape.opaque++;
      continue;
    }
    const size_t bound = utf8_bound(value);
    applies = bound <= kMaxTokenBytes;
    shape.arena_bytes += bound;
  }
  Py_END_CRITICAL_SECTION();
  return applies && shape.arena_bytes + 16 + kShortCopy <= kMaxArenaBytes;
}

// The id -> token table: a dense array by id when the ids are compact, an
// open-addressing hash table for sparse ids; either way an id leads to a slot,
// and ids the dictionary lacks lead to the slot of "<UNK>". The arena holds
// the tokens' UTF-8 bytes, so the tokens themselves may go (a replaced
// os.path.join may empty the dict) without harm.
class TokensById {
 public:
  TokensById() = default;
  TokensById(const TokensById&) = delete;
  TokensById& operator=(const TokensById&) = delete;
  ~TokensById() {
    for (PyObject* token : kept_) Py_DECREF(token);
  }

  // 1 when built, 0 when the dict no longer matches its shape (the plain loop
  // must run), -1 with MemoryError set.
  int build(PyObject* dict, const TableShape& shape) {
    size_t slots = 0;
    try {
      arena_.resize(shape.arena_bytes + 16 + kShortCopy);
      kept_.reserve(shape.opaque);
      if (shape.tokens == 0 || shape.max_id <= 2 * shape.tokens + 1024) {
        slots = shape.tokens == 0 ? 0 : size_t{shape.max_id} + 1;
      } else {
        slots = 16;
        while (slots < 2 * shape.tokens) slots *= 2;
        mask_ = slots - 1;
        keys_.assign(slots, -1);
      }
      unknown_slot_ = static_cast<uint32_t>(slots);
      entries_.assign(slots + 1, add(str(Str::unknown_token)));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return -1;
    }
    bool fits = true;
    Py_BEGIN_CRITICAL_SECTION(dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (fits && PyDict_Next(dict, &pos, &key, &value)) {
      int overflow = 0;
      long long id = PyLong_CheckExact(key) ? PyLong_AsLongLongAndOverflow(key, &overflow) : -2;
      if (id == -2) fits = false;
      if (overflow || id < 0 || id > INT32_MAX) continue;
      fits = place(static_cast<uint32_t>(id), value);
    }
    Py_END_CRITICAL_SECTION();
    return fits ? 1 : 0;
  }

  uint32_t slot(uint32_t id) const {
    if (keys_.empty()) return id < unknown_slot_ ? id : unknown_slot_;
    for (size_t at = hash(id);; at = (at + 1) & mask_) {
      int64_t key = keys_[at];
      if (key == id) return static_cast<uint32_t>(at);
      if (key < 0) return unknown_slot_;
    }
  }
  const TokenEntry& entry(uint32_t slot) const { return entries_[slot]; }
  const TokenEntry& entry_of(uint32_t id) const { return entries_[slot(id)]; }
  void prefetch_entry(uint32_t slot) const { __builtin_prefetch(&entries_[slot]); }
  const unsigned char* arena() const { return arena_.data(); }
  PyObject* kept(const TokenEntry& entry) const { return kept_[entry.where]; }

 private:
  size_t hash(uint32_t id) const { return (size_t{id} * 0x9E3779B97F4A7C15ull >> 20) & mask_; }

  // Stores the token of `id`; false when the dict outgrew its measured shape
  // (only another thread could have changed it), which nothing here allocates
  // for.
  bool place(uint32_t id, PyObject* token) {
    size_t at = id;
    if (keys_.empty()) {
      if (id >= unknown_slot_) return false;
    } else {
      for (at = hash(id); keys_[at] >= 0; at = (at + 1) & mask_) {
        if (keys_[at] == id) return false;
      }
    }
    if (!PyUnicode_Check(token) && kept_.size() == kept_.capacity()) return false;
    if (PyUnicode_Check(token) && used_ + utf8_bound(token) > arena_.size() - kShortCopy) {
      return false;
    }
    try {
      entries_[at] = add(token);  // a str with a surrogate grows kept_
    } catch (const std::bad_alloc&) {
      return false;  // the plain loop then runs, and meets the shortage itself
    }
    if (!keys_.empty()) keys_[at] = id;
    return true;
  }

  // The entry of a token: its UTF-8 bytes appended to the arena, or the
  // object kept.
  TokenEntry add(PyObject* token) {
    size_t bytes = SIZE_MAX;
    if (PyUnicode_Check(token)) {
      const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(token));
      unsigned char* out = arena_.data() + used_;
      if (PyUnicode_IS_ASCII(token)) {
        std::memcpy(out, PyUnicode_DATA(token), length);
        bytes = length;
      } else {
        bytes = with_text_units(
            token, [out](const auto* units, size_t n) { return encode_utf8(units, n, out); });
      }
    }
    if (bytes == SIZE_MAX) {
      kept_.push_back(token);
      Py_INCREF(token);
      const Form form = PyUnicode_Check(token) ? kHeld : kOpaque;
      return {static_cast<uint32_t>(kept_.size() - 1), form};
    }
    TokenEntry entry{static_cast<uint32_t>(used_), static_cast<uint32_t>(bytes << 2) | kText};
    used_ += bytes;
    return entry;
  }

  std::vector<TokenEntry> entries_;  // by slot; the last one is "<UNK>"
  std::vector<unsigned char> arena_;
  size_t used_ = 0;
  std::vector<PyObject*> kept_;  // own references
  std::vector<int64_t> keys_;    // sparse ids: the id of each slot, -1 when empty
  size_t mask_ = 0;
  uint32_t unknown_slot_ = 0;
};

// "".join(restored_tokens[start:stop]) by the host, for a file that holds a
// token the writer does not copy: the host's join and write then fail, or
// succeed, exactly as over the list ("sequence item %zd: expected str
// instance, %.80s found", or the encoder's error at its position in the text).
Ref join_by_host(const TokensById& table, const unsigned char* payload, Py_ssize_t start,
                 Py_ssize_t stop) {
  Ref tokens = Ref::steal(PyList_New(stop - start));
  if (!tokens) return Ref();
  for (Py_ssize_t i = start; i < stop; i++) {
    const TokenEntry entry = table.entry_of(record_at(payload, i));
    PyObject* token;
    if (entry.form() == kText) {
      token = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(table.arena() + entry.where),
                                   entry.bytes(), nullptr);
      if (!token) return Ref();
    } else {
      token = Py_NewRef(table.kept(entry));
    }
    PyList_SET_ITEM(tokens.get(), i - start, token);
  }
  return Ref::steal(PyUnicode_Join(str(Str::empty), tokens.get()));
}

// Writes the UTF-8 bytes of restored_tokens[start:stop] into the restorer's
// fresh file through a bounded buffer, never making the file's text.
// kText when a token must go through join_by_host instead (nothing is
// written then); otherwise what FileRestorer::write_bytes reports.
constexpr size_t kWriteBuffer = size_t{1} << 18;

WriteFailure write_tokens(const TokensById& table, const unsigned char* payload, Py_ssize_t start,
                          Py_ssize_t stop, FileRestorer& restorer, bool& needs_host) {
  needs_host = false;
  for (Py_ssize_t i = start; i < stop; i++) {
    if (table.entry_of(record_at(payload, i)).form() != kText) {
      needs_host = true;
      return WriteFailure::kNone;
    }
  }
  std::vector<unsigned char> buffer(kWriteBuffer + kShortCopy);
  unsigned char* out = buffer.data();
  unsigned char* const end = buffer.data() + kWriteBuffer;
  const unsigned char* arena = table.arena();
  constexpr Py_ssize_t kAhead = 16;
  for (Py_ssize_t i = start; i < stop; i++) {
    // The table and the arena are read at random: ask for the entry some
    // records ahead.
    if (i + kAhead < stop) table.prefetch_entry(table.slot(record_at(payload, i + kAhead)));
    const TokenEntry entry = table.entry_of(record_at(payload, i));
    const unsigned char* data = arena + entry.where;
    const size_t bytes = entry.bytes();
    if (bytes > static_cast<size_t>(end - out)) {
      if (!restorer.write_bytes(buffer.data(), static_cast<size_t>(out - buffer.data()))) {
        return WriteFailure::kText;
      }
      out = buffer.data();
      if (bytes > kWriteBuffer) {
        if (!restorer.write_bytes(data, bytes)) return WriteFailure::kText;
        continue;
      }
    }
    if (bytes <= kShortCopy) {
      std::memcpy(out, data, kShortCopy);  // the buffer has kShortCopy of slack
    } else {
      std::memcpy(out, data, bytes);
    }
    out += bytes;
  }
  if (!restorer.write_bytes(buffer.data(), static_cast<size_t>(out - buffer.data()))) {
    return WriteFailure::kText;
  }
  return WriteFailure::kNone;
}

// ---------------------------------------------------------------------------
// The restored tokens as the file loop sees them: the plain list of the
// method, or the payload read through the native table.
struct RestoredTokens {
  Ref list;                           // plain path
  Ref payload;                        // native path: the exact bytes payload
  const TokensById* table = nullptr;  // native path
  Py_ssize_t size = 0;

  // f.write("".join(restored_tokens[start:stop])) into the restorer's fresh
  // file, with list-slice semantics: the native path writes the tokens'
  // bytes straight from the table where it can.
  WriteFailure write(Py_ssize_t start, Py_ssize_t stop, FileRestorer& restorer) const {
    clamp_slice(size, start, stop);
    Ref text;
    if (table) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(payload.get()));
      bool needs_host = false;
      const WriteFailure written = write_tokens(*table, bytes, start, stop, restorer, needs_host);
      if (!needs_host) return written == WriteFailure::kNone ? restorer.finish_written() : written;
      text = join_by_host(*table, bytes, start, stop);
    } else {
      Ref slice = Ref::steal(PyList_GetSlice(list.get(), start, stop));
      if (slice) text = Ref::steal(PyUnicode_Join(str(Str::empty), slice.get()));
    }
    if (!text) return WriteFailure::kText;
    return restorer.finish(text.get());
  }

  // The UTF-8 size of "".join(restored_tokens[start:stop]), for
  // restored_sizes: the native path adds up its tokens' bytes where it can.
  // -1 with the exception set.
  Py_ssize_t utf8_size(Py_ssize_t start, Py_ssize_t stop) const {
    clamp_slice(size, start, stop);
    Ref text;
    if (table) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(payload.get()));
      Py_ssize_t total = 0;
      Py_ssize_t i = start;
      for (; i < stop; i++) {
        const TokenEntry entry = table->entry_of(record_at(bytes, i));
        if (entry.form() != kText) break;
        total += static_cast<Py_ssize_t>(entry.bytes());
      }
      if (i == stop) return total;
      text = join_by_host(*table, bytes, start, stop);
    } else {
      Ref slice = Ref::steal(PyList_GetSlice(list.get(), start, stop));
      if (slice) text = Ref::steal(PyUnicode_Join(str(Str::empty), slice.get()));
    }
    return text ? ormek::utf8_size(text.get()) : -1;
  }
};

// The plain id loop, statement by statement: restored_tokens[i] =
// self.inverse_dict.get(token_id, "<UNK>") with token_id read from the bytes
// of its record by host indexing and host integer operations.
bool restore_tokens_plainly(CompressorObject* self, PyObject* data, Py_ssize_t num_tokens,
                            RestoredTokens& restored) {
  restored.list = Ref::steal(PyList_New(num_tokens));
  if (!restored.list) return kDecodePackageTrace.fail(line::kRestoredTokens);
  for (Py_ssize_t i = 0; i < num_tokens; i++) {
    PyList_SET_ITEM(restored.list.get(), i, Py_NewRef(Py_None));
  }
  restored.size = num_tokens;
  // The record's bytes, most significant first: all but the last are shifted.
  static constexpr Int kShifts[kRecordSize - 1] = {Int::twenty_four, Int::sixteen, Int::eight};
  int32_t offset = 0;
  for (Py_ssize_t i = 0; i < num_tokens; i++, offset += kRecordSize) {
    Ref bytes[kRecordSize];
    for (int b = 0; b < kRecordSize; b++) {
      Ref index = Ref::steal(PyLong_FromLong(offset + b));
      if (!index) return kDecodePackageTrace.fail(line::kReadId);
      bytes[b] = Ref::steal(PyObject_GetItem(data, index.get()));
      if (!bytes[b]) return kDecodePackageTrace.fail(line::kReadId);
    }
    Ref combined;
    for (int b = 0; b < kRecordSize - 1; b++) {
      Ref shifted = Ref::steal(PyNumber_Lshift(bytes[b].get(), integer(kShifts[b])));
      if (!shifted) return kDecodePackageTrace.fail(line::kReadId);
      combined =
          b == 0 ? std::move(shifted) : Ref::steal(PyNumber_Or(combined.get(), shifted.get()));
      if (!combined) return kDecodePackageTrace.fail(line::kReadId);
    }
    combined = Ref::steal(PyNumber_Or(combined.get(), bytes[kRecordSize - 1].get()));
    if (!combined) return kDecodePackageTrace.fail(line::kReadId);
    int32_t token_id = as_int32(combined.get());
    if (token_id == -1 && PyErr_Occurred()) return kDecodePackageTrace.fail(line::kReadId);

    Ref id = Ref::steal(PyLong_FromLong(token_id));
    if (!id) return kDecodePackageTrace.fail(line::kLookupId);
    Ref inverse_dict = Ref::borrow(self->inverse_dict);
    PyObject* get_args[] = {id.get(), str(Str::unknown_token)};
    Ref token = call_method(inverse_dict.get(), str(Str::get), get_args, 2);
    if (!token) return kDecodePackageTrace.fail(line::kLookupId);
    PyObject* old = PyList_GET_ITEM(restored.list.get(), i);
    PyList_SET_ITEM(restored.list.get(), i, token.release());
    Py_DECREF(old);
  }
  return true;
}

// The native id loop: refuses an oversized id where the plain loop would (it
// has no other observable effect up to that record), then builds the table.
// Returns 1 done, 0 when the plain loop must run after all, -1 on error.
int restore_tokens_natively(CompressorObject* self, PyObject* data, Py_ssize_t num_tokens,
                            const TableShape& shape, TokensById& table, RestoredTokens& restored) {
  const auto* payload = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
  if (first_oversized_record(payload, num_tokens) >= 0) {
    PyErr_SetString(PyExc_OverflowError, msg::kValueTooLargeForInt);
    return kDecodePackageTrace.fail(line::kReadId);
  }
  int built = table.build(self->inverse_dict, shape);
  if (built < 0) return kDecodePackageTrace.fail(line::kRestoredTokens);
  if (built == 0) return 0;
  restored.payload = Ref::borrow(data);
  restored.table = &table;
  restored.size = num_tokens;
  return 1;
}

// One output file: open(os.path.join(output_dir, filename), "w",
// encoding="utf-8", newline="") as f, then f.write(the joined tokens), through
// a fresh file that replaces the target once complete (restore_files.hpp).
// With the module's own join the restorer finds the target from the stored
// name itself, part by part from output_dir; a replaced join's path is used as
// it is. The built-in open is the host's, whose __exit__ never swallows an
// error, so every failure of the body also leaves the block. With `facts`
// (the package's checks of this file), the text must be what was packed
// before it replaces anything, and the file takes the stored mode and time.
bool write_file(PyObject* output_dir, PyObject* filename, const RestoredTokens& restored,
                Py_ssize_t start, Py_ssize_t stop, FileRestorer& restorer, const FileFacts* facts) {
  Ref join = os_path_attribute(Str::join);
  if (!join) return kDecodePackageTrace.fail(line::kOpenOutput);
  Ref file_path = call2(join.get(), output_dir, filename);
  if (!file_path) return kDecodePackageTrace.fail(line::kOpenOutput);
  const bool found_by_name =
      is_original(Original::kOsPathJoin, join.get()) && PyUnicode_CheckExact(filename);
  const bool opened = found_by_name ? restorer.begin(filename, file_path.get())
                                    : restorer.begin_at(file_path.get());
  if (!opened) return kDecodePackageTrace.fail(line::kOpenOutput);

  if (facts) restorer.expect(filename, *facts);
  const WriteFailure failure = restored.write(start, stop, restorer);
  if (failure == WriteFailure::kNone) return true;
  restorer.discard();
  // A failure of f.write() is reported at its own line, then at the block's.
  if (failure == WriteFailure::kText) kDecodePackageTrace.add(line::kWriteOutput);
  return kDecodePackageTrace.fail(line::kOpenOutput);
}

// Before output_dir is made, with the module's own join: nothing may stand in
// the way of any name (restore_files.hpp). Each name object is looked at
// once, however often the package refers to it.
bool check_in_the_way(const std::vector<StoredFile>& files, const std::vector<char>& picked,
                      FileRestorer& restorer) {
  std::unordered_set<PyObject*> seen;
  for (size_t i = 0; i < files.size(); i++) {
    if (!picked[i]) continue;
    PyObject* name = files[i].name.get();
    try {
      if (!seen.insert(name).second) continue;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    if (!restorer.check_in_the_way(name)) return false;
  }
  return true;
}

// Which of `files` the choice takes (file_choice.hpp); a name given that
// picks none is refused here, before output_dir is made.
bool pick_files(const std::vector<StoredFile>& files, FileChoice& choice,
                std::vector<char>& picked) {
  try {
    picked.assign(files.size(), 1);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (size_t i = 0; i < files.size(); i++) {
    const int picks = choice.picks(files[i].name.get());
    if (picks < 0) return false;
    picked[i] = static_cast<char>(picks);
  }
  return choice.check_all_found();
}

// restored_sizes: the size of one file's text, which is not written.
bool measure_file(const RestoredTokens& restored, Py_ssize_t start, Py_ssize_t stop,
                  FileChoice& choice) {
  const Py_ssize_t size = restored.utf8_size(start, stop);
  if (size < 0 || !choice.record_size(size)) return kDecodePackageTrace.fail(line::kWriteOutput);
  return true;
}

PyObject* decode_package(CompressorObject* self, PyObject* package_path, PyObject* output_dir,
                         bool use_zstd, FileChoice& choice) {
  // with open(package_path, "rb") as f: package = pickle.load(f)
  Ref package;
  if (load_package_file(package_path, kDecodePackageTrace, line::kOpenPackage, line::kLoadPackage,
                        package) == BlockEnd::kFailed) {
    return nullptr;
  }

  // self.global_dict = package.get("global_dict", {})
  if (!package) {
    PyErr_Format(PyExc_UnboundLocalError, msg::kUnboundLocal, "package");
    return kDecodePackageTrace.fail(line::kTakeGlobalDict);
  }
  {
    Ref get = Ref::steal(PyObject_GetAttr(package.get(), str(Str::get)));
    if (!get) return kDecodePackageTrace.fail(line::kTakeGlobalDict);
    Ref empty = Ref::steal(PyDict_New());
    if (!empty) return kDecodePackageTrace.fail(line::kTakeGlobalDict);
    Ref global_dict = call2(get.get(), str(Str::global_dict), empty.get());
    if (!global_dict) return kDecodePackageTrace.fail(line::kTakeGlobalDict);
    replace_field(self->global_dict, std::move(global_dict));
  }

  // self.inverse_dict = {v: k for k, v in self.global_dict.items()}
  {
    Ref inverse_dict = build_inverse_dict(self->global_dict);
    if (!inverse_dict) return kDecodePackageTrace.fail(line::kBuildInverse);
    replace_field(self->inverse_dict, std::move(inverse_dict));
  }

  Ref data = package_item(package.get(), Str::compressed);
  if (!data) return kDecodePackageTrace.fail(line::kCompressed);
  if (use_zstd) {
    Ref zstd = get_global(str(Str::zstd));
    if (!zstd) return kDecodePackageTrace.fail(line::kDecompress);
    Ref decompressor_type = Ref::steal(PyObject_GetAttr(zstd.get(), str(Str::ZstdDecompressor)));
    if (!decompressor_type) return kDecodePackageTrace.fail(line::kDecompress);
    Ref decompressor = call0(decompressor_type.get());
    if (!decompressor) return kDecodePackageTrace.fail(line::kDecompress);
    Ref decompress = Ref::steal(PyObject_GetAttr(decompressor.get(), str(Str::decompress)));
    if (!decompress) return kDecodePackageTrace.fail(line::kDecompress);
    // The module's own binding on a bytes payload runs no code of the user's:
    // a big one is decompressed on a helper thread, so that a signal is
    // answered meanwhile (background_work.hpp).
    BackgroundCall background;
    if (is_original(Original::kZstdDecompressor, decompressor_type.get(), zstd.get()) &&
        PyBytes_CheckExact(data.get()) &&
        PyBytes_GET_SIZE(data.get()) >= kBackgroundDecompressBytes) {
      background.start(call_with_one_argument, {decompress.get(), data.get()});
    }
    data = background.wait_or([&] { return call1(decompress.get(), data.get()); });
    if (!data) return kDecodePackageTrace.fail(line::kDecompress);
  }

  Py_ssize_t length = PyObject_Length(data.get());
  if (length < 0) return kDecodePackageTrace.fail(line::kLength);
  const Py_ssize_t num_tokens = length / kRecordSize;
  if (num_tokens > kMaxRecords) {
    PyErr_Format(PyExc_OverflowError, msg::kPayloadTooLarge, num_tokens, kMaxRecords);
    return kDecodePackageTrace.fail(line::kLength);
  }

  TokensById table;
  RestoredTokens restored;
  TableShape shape;
  int native = 0;
  if (native_id_loop_applies(data.get(), self->inverse_dict, shape)) {
    native = restore_tokens_natively(self, data.get(), num_tokens, shape, table, restored);
    if (native < 0) return nullptr;
  }
  if (!native && !restore_tokens_plainly(self, data.get(), num_tokens, restored)) return nullptr;

  // zip(package["file_boundaries"], package["filenames"]) taken whole and
  // judged before output_dir is made (package_files.hpp).
  const bool original_join = global_is_original(Original::kOsPathJoin);
  std::vector<StoredFile> files;
  if (!take_stored_files(package.get(), !original_join, files)) {
    return kDecodePackageTrace.fail(line::kFileLoop);
  }
  FileRestorer restorer(output_dir);
  std::vector<char> picked;
  if (!pick_files(files, choice, picked)) return kDecodePackageTrace.fail(line::kFileLoop);
  if (choice.writes() && original_join && !check_in_the_way(files, picked, restorer)) {
    return kDecodePackageTrace.fail(line::kFileLoop);
  }
  // The package's file checks, whole, before anything is written.
  PackageFacts facts;
  const int has_facts = read_package_facts(package.get(), facts);
  if (has_facts < 0) return kDecodePackageTrace.fail(line::kFileLoop);
  if (has_facts && choice.writes() && original_join) {
    PyObject* dirs = facts.empty_dirs.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dirs); i++) {
      const int picks = choice.picks(PyList_GET_ITEM(dirs, i));
      if (picks < 0) return kDecodePackageTrace.fail(line::kFileLoop);
      if (picks && !restorer.check_directory_in_the_way(PyList_GET_ITEM(dirs, i))) {
        return kDecodePackageTrace.fail(line::kFileLoop);
      }
    }
  }

  // os.makedirs(output_dir, exist_ok=True)
  if (choice.writes()) {
    Ref os = get_global(str(Str::os));
    if (!os) return kDecodePackageTrace.fail(line::kMakedirs);
    Ref makedirs = Ref::steal(PyObject_GetAttr(os.get(), str(Str::makedirs)));
    if (!makedirs) return kDecodePackageTrace.fail(line::kMakedirs);
    Ref kwnames = Ref::steal(PyTuple_Pack(1, str(Str::exist_ok)));
    if (!kwnames) return kDecodePackageTrace.fail(line::kMakedirs);
    PyObject* args[] = {output_dir, Py_True};
    if (!call(makedirs.get(), args, 1, kwnames.get())) {
      return kDecodePackageTrace.fail(line::kMakedirs);
    }
  }

  // for boundary, filename in zip(...): write the file
  {
    int32_t start_idx = 0;
    for (size_t i = 0; i < files.size(); i++) {
      const StoredFile& file = files[i];
      const FileFacts* file_facts = has_facts && i < facts.files.size() ? &facts.files[i] : nullptr;
      if (!choice.writes()) {
        if (!measure_file(restored, start_idx, file.boundary, choice)) return nullptr;
      } else if (picked[i] && (!write_file(output_dir, file.name.get(), restored, start_idx,
                                           file.boundary, restorer, file_facts) ||
                               !choice.record_name(file.name.get()))) {
        return nullptr;
      }
      start_idx = file.boundary;
    }
  }
  // The empty directories of the packed trees, made as the directories of
  // stored names are.
  if (has_facts && choice.writes()) {
    PyObject* dirs = facts.empty_dirs.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dirs); i++) {
      const int picks = choice.picks(PyList_GET_ITEM(dirs, i));
      if (picks < 0) return kDecodePackageTrace.fail(line::kOpenOutput);
      if (picks && !restorer.make_directory(PyList_GET_ITEM(dirs, i))) {
        return kDecodePackageTrace.fail(line::kOpenOutput);
      }
    }
  }

  if (choice.kind() != FileChoice::Kind::kAll) return choice.result().release();
  Ref result = package_item(package.get(), Str::filenames);
  if (!result) return kDecodePackageTrace.fail(line::kResult);
  return result.release();
}

}  // namespace

PyObject* decode_package_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (bind_vectorcall(kDecodePackageRow.signature(), args, nargs, kwnames, bound) < 0) {
    return kDecodePackageTrace.fail(line::kBinding);
  }
  int use_zstd = truth_value(bound[2]);
  if (use_zstd < 0) return kDecodePackageTrace.fail(line::kBinding);
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_dir)) return nullptr;
  FileChoice every_file;
  return decode_package(as_compressor(self), bound[0], bound[1], use_zstd != 0, every_file);
}

// decode_names and restored_sizes run decode_package's statements with a
// choice (file_choice.hpp): a failure there carries decode_package's entries,
// then the entry of the calling method's own line, as if it called it.

namespace {

constexpr const FunctionRow& kDecodeNamesRow = function_row("decode_names");
constexpr Trace kDecodeNamesTrace = kDecodeNamesRow.trace();
constexpr const FunctionRow& kRestoredSizesRow = function_row("restored_sizes");
constexpr Trace kRestoredSizesTrace = kRestoredSizesRow.trace();

namespace line {
constexpr int kNamesChoice = kDecodeNamesRow.first_line + 1;
constexpr int kNamesDecode = kDecodeNamesRow.first_line + 2;
constexpr int kSizesDecode = kRestoredSizesRow.first_line + 1;
}  // namespace line

}  // namespace

PyObject* decode_names_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (bind_vectorcall(kDecodeNamesRow.signature(), args, nargs, kwnames, bound) < 0) {
    return kDecodeNamesTrace.fail(kDecodeNamesRow.first_line);
  }
  int use_zstd = truth_value(bound[3]);
  if (use_zstd < 0) return kDecodeNamesTrace.fail(kDecodeNamesRow.first_line);
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_dir)) return nullptr;
  if (!check_exact_type(bound[2], &PyList_Type, Str::names)) return nullptr;
  FileChoice chosen;
  if (bound[2] == Py_None) {
    raise_expected_type("list", bound[2]);
    return kDecodeNamesTrace.fail(line::kNamesChoice);
  }
  if (!chosen.pick(bound[2])) return kDecodeNamesTrace.fail(line::kNamesChoice);
  PyObject* names = decode_package(as_compressor(self), bound[0], bound[1], use_zstd != 0, chosen);
  if (!names) return kDecodeNamesTrace.fail(line::kNamesDecode);
  return names;
}

PyObject* restored_sizes_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (bind_vectorcall(kRestoredSizesRow.signature(), args, nargs, kwnames, bound) < 0) {
    return kRestoredSizesTrace.fail(kRestoredSizesRow.first_line);
  }
  int use_zstd = truth_value(bound[1]);
  if (use_zstd < 0) return kRestoredSizesTrace.fail(kRestoredSizesRow.first_line);
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  FileChoice sizes;
  if (!sizes.measure()) return kRestoredSizesTrace.fail(line::kSizesDecode);
  PyObject* result = decode_package(as_compressor(self), bound[0], nullptr, use_zstd != 0, sizes);
  if (!result) return kRestoredSizesTrace.fail(line::kSizesDecode);
  return result;
}

}  // namespace ormek
