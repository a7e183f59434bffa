// decode_package: restores the text files of a package into a directory.
//
// decode_package reads as its groups of statements, each function named after
// what it does and failing at the traceback line of its statement. The id
// loop and the per-file joins have a native path that writes each file's
// UTF-8 straight from the payload through the token table (tokens_by_id.hpp),
// used only while `native_id_loop_applies` holds; otherwise the plain path
// beside it runs. Everything that can refuse a package before anything is
// written is asked in check_before_writing.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "compressor/decode/file_choice.hpp"
#include "compressor/decode/file_digests.hpp"
#include "compressor/decode/file_restorer.hpp"
#include "compressor/decode/native_package.hpp"
#include "compressor/decode/split_join.hpp"
#include "compressor/decode/tokens_by_id.hpp"
#include "compressor/function_table.hpp"
#include "compressor/inverse_dict.hpp"
#include "compressor/object.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/package/format.hpp"
#include "compressor/package/id_stream.hpp"
#include "compressor/package/judged_package.hpp"
#include "compressor/package/safe_load.hpp"
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

// decode_package's statements, at the lines of their traceback entries.
constexpr struct DecodePackageLines {
  int binding = kDecodePackageRow.first_line;
  int open_package = 96, load_package = 97, take_global_dict = 99, build_inverse = 100;
  int compressed = 102, decompress = 104, length = 107, restored_tokens = 108, read_id = 111;
  int lookup_id = 112, makedirs = 115, file_loop = 119, open_output = 120, write_output = 121;
  int result = 124;
} kDecodePackageLines{};

constexpr Trace kDecodePackageTrace = kDecodePackageRow.trace();

using package::clamp_slice;
using package::kRecordSize;

// Native id loop: the payload stays as it is (a bytes object holds the ids
// compactly, one record each) and every file is joined from it through the
// id -> token table filled once from inverse_dict; no list of restored tokens
// is made. It is exact when nothing in it can run user code or see a
// difference: indexing an exact bytes object yields ints 0..255, an exact
// dict's get cannot be overridden, and with only exact int keys a lookup by an
// int compares ints alone (a bool, float or user-defined key could equal an id
// or run __eq__). The tokens must also fit the table, measured on the way.
bool native_id_loop_applies(PyObject* data, PyObject* inverse_dict, TableShape& shape) {
  return PyBytes_CheckExact(data) && PyDict_CheckExact(inverse_dict) &&
         TokensById::measure(inverse_dict, shape);
}

// The restored tokens as the file loop sees them: the plain list of the
// method, or the payload read through the native table.
struct RestoredTokens {
  Ref list;           // plain path
  Ref payload;        // native path: the exact bytes payload
  TokensById tokens;  // native path: its table
  bool native = false;
  Py_ssize_t size = 0;
  std::unique_ptr<JoinBuffer> join_buffer;  // native path: made for the first file written
  std::unique_ptr<JoinAhead> ahead;         // native path: a tree's small files joined ahead

  const unsigned char* records() const {
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(payload.get()));
  }

  // "".join(restored_tokens[start:stop]) by the host, with list-slice
  // semantics.
  Ref join(Py_ssize_t start, Py_ssize_t stop) const {
    if (native) return tokens.join_by_host(records(), start, stop);
    Ref slice = Ref::steal(PyList_GetSlice(list.get(), start, stop));
    return slice ? Ref::steal(PyUnicode_Join(str(Str::empty), slice.get())) : Ref();
  }

  // f.write("".join(restored_tokens[start:stop])) into the restorer's fresh
  // file (the `file`th): the native path writes the tokens' bytes straight
  // from the table, joined ahead or through a bounded buffer, when they are
  // all text (as the digest walk found them already in a file it
  // `verified`).
  WriteFailure write(size_t file, Py_ssize_t start, Py_ssize_t stop, bool verified,
                     FileRestorer& restorer) {
    clamp_slice(size, start, stop);
    const unsigned char* joined = nullptr;
    size_t joined_bytes = 0;
    if (ahead && ahead->take(file, joined, joined_bytes)) {
      return restorer.write_bytes(joined, joined_bytes) ? restorer.finish_written()
                                                        : WriteFailure::kText;
    }
    if (native && (verified || all_text(tokens.table(), records(), start, stop))) {
      if (!join_buffer && !(join_buffer = new_join_buffer())) return WriteFailure::kText;
      auto write_bytes = [&restorer](const void* data, size_t bytes) {
        return restorer.write_bytes(data, bytes);
      };
      if (!copy_text_on_two_threads(tokens.table(), records(), start, stop, write_bytes,
                                    *join_buffer)) {
        return WriteFailure::kText;
      }
      return restorer.finish_written();
    }
    Ref text = join(start, stop);
    return text ? restorer.finish(text.get()) : WriteFailure::kText;
  }

  // The UTF-8 size of "".join(restored_tokens[start:stop]), for
  // restored_sizes: the native path adds up its tokens' bytes where it can.
  // -1 with the exception set.
  Py_ssize_t utf8_size(Py_ssize_t start, Py_ssize_t stop) const {
    clamp_slice(size, start, stop);
    if (native) {
      const int64_t bytes = text_bytes(tokens.table(), records(), start, stop);
      if (bytes >= 0) return static_cast<Py_ssize_t>(bytes);
    }
    Ref text = join(start, stop);
    return text ? ormek::utf8_size(text.get()) : -1;
  }
};

// The plain id loop, statement by statement: restored_tokens[i] =
// self.inverse_dict.get(token_id, "<UNK>") with token_id read from the bytes
// of its record by host indexing and host integer operations.
bool restore_tokens_plainly(CompressorObject* self, PyObject* data, Py_ssize_t num_tokens,
                            RestoredTokens& restored) {
  restored.list = Ref::steal(PyList_New(num_tokens));
  if (!restored.list) return kDecodePackageTrace.fail(kDecodePackageLines.restored_tokens);
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
      if (!index) return kDecodePackageTrace.fail(kDecodePackageLines.read_id);
      bytes[b] = Ref::steal(PyObject_GetItem(data, index.get()));
      if (!bytes[b]) return kDecodePackageTrace.fail(kDecodePackageLines.read_id);
    }
    Ref combined;
    for (int b = 0; b < kRecordSize - 1; b++) {
      Ref shifted = Ref::steal(PyNumber_Lshift(bytes[b].get(), integer(kShifts[b])));
      if (!shifted) return kDecodePackageTrace.fail(kDecodePackageLines.read_id);
      combined =
          b == 0 ? std::move(shifted) : Ref::steal(PyNumber_Or(combined.get(), shifted.get()));
      if (!combined) return kDecodePackageTrace.fail(kDecodePackageLines.read_id);
    }
    combined = Ref::steal(PyNumber_Or(combined.get(), bytes[kRecordSize - 1].get()));
    if (!combined) return kDecodePackageTrace.fail(kDecodePackageLines.read_id);
    int32_t token_id = as_int32(combined.get());
    if (token_id == -1 && PyErr_Occurred())
      return kDecodePackageTrace.fail(kDecodePackageLines.read_id);

    Ref id = Ref::steal(PyLong_FromLong(token_id));
    if (!id) return kDecodePackageTrace.fail(kDecodePackageLines.lookup_id);
    Ref inverse_dict = Ref::borrow(self->inverse_dict);
    PyObject* get_args[] = {id.get(), str(Str::unknown_token)};
    Ref token = call_method(inverse_dict.get(), str(Str::get), get_args, 2);
    if (!token) return kDecodePackageTrace.fail(kDecodePackageLines.lookup_id);
    PyList_SetItem(restored.list.get(), i, token.release());  // releases the None
  }
  return true;
}

// The native loop refuses an oversized id where the plain loop would (it
// has no other observable effect up to that record).
bool refuse_oversized(PyObject* data, Py_ssize_t num_tokens) {
  const auto* payload = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
  if (!package::has_oversized_record(payload, num_tokens)) return true;
  PyErr_SetString(PyExc_OverflowError, msg::kValueTooLargeForInt);
  return kDecodePackageTrace.fail(kDecodePackageLines.read_id);
}

void take_payload(Ref data, Py_ssize_t num_tokens, RestoredTokens& restored) {
  restored.payload = std::move(data);
  restored.native = true;
  restored.size = num_tokens;
}

// restored_tokens for the payload: through the table read with the package
// (`table_read`), else natively while native_id_loop_applies, else plainly.
// When the table finds the dict changed meanwhile, the plain loop runs
// after all.
bool restore_tokens(CompressorObject* self, PyObject* data, Py_ssize_t num_tokens, bool table_read,
                    RestoredTokens& restored) {
  if (table_read) {
    // The module's own binding gives bytes; anything else is read as bytes.
    Ref payload =
        PyBytes_CheckExact(data) ? Ref::borrow(data) : Ref::steal(PyBytes_FromObject(data));
    if (!payload) return kDecodePackageTrace.fail(kDecodePackageLines.read_id);
    if (!refuse_oversized(payload.get(), num_tokens)) return false;
    take_payload(std::move(payload), num_tokens, restored);
    return true;
  }
  TableShape shape;
  if (native_id_loop_applies(data, self->inverse_dict, shape)) {
    if (!refuse_oversized(data, num_tokens)) return false;
    const TableFill fill = restored.tokens.fill(self->inverse_dict, shape);
    if (fill == TableFill::kError)
      return kDecodePackageTrace.fail(kDecodePackageLines.restored_tokens);
    if (fill == TableFill::kBuilt) {
      take_payload(Ref::borrow(data), num_tokens, restored);
      return true;
    }
  }
  return restore_tokens_plainly(self, data, num_tokens, restored);
}

// One output file: open(os.path.join(output_dir, filename), "w",
// encoding="utf-8", newline="") as f, then f.write(the joined tokens), through
// a fresh file that replaces the target once complete (file_restorer.hpp).
// With the module's own join the restorer finds the target from the stored
// name itself, part by part from output_dir; a replaced join's path is used as
// it is. The built-in open is the host's, whose __exit__ never swallows an
// error, so every failure of the body also leaves the block. With `facts`
// (the package's checks of this file), the text must be what was packed
// before it replaces anything, and the file takes the stored mode and time.
bool write_file(PyObject* output_dir, size_t i, const StoredFile& file, RestoredTokens& restored,
                Py_ssize_t start, FileRestorer& restorer, const FileFacts* facts, bool verified) {
  PyObject* filename = file.name.get();
  Ref join = os_path_attribute(Str::join);
  if (!join) return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
  Ref file_path = call2(join.get(), output_dir, filename);
  if (!file_path) return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
  const bool found_by_name =
      is_original(Original::kOsPathJoin, join.get()) && PyUnicode_CheckExact(filename);
  const bool opened = found_by_name ? restorer.begin(filename, file_path.get())
                                    : restorer.begin_at(file_path.get());
  if (!opened) return kDecodePackageTrace.fail(kDecodePackageLines.open_output);

  if (facts) restorer.expect(filename, file.where.bytes, *facts, verified);
  const WriteFailure failure = restored.write(i, start, file.boundary, verified, restorer);
  if (failure == WriteFailure::kNone) return true;
  restorer.discard();
  // A failure of f.write() is reported at its own line, then at the block's.
  if (failure == WriteFailure::kText) kDecodePackageTrace.add(kDecodePackageLines.write_output);
  return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
}

// What the file loop restores, judged whole before output_dir is made.
struct RestorePlan {
  JudgedPackage judged;       // the files, their names and facts
  std::vector<char> picked;   // by the choice, one per file
  std::vector<char> dirs;     // by the choice, one per empty directory
  size_t verified = 0;        // the picked files before it match their facts
  bool judged_early = false;  // before the stream was made (judge_early)
  bool none_allowed = false;  // as it was judged

  const FileFacts* facts_of(size_t i) const {
    const PackageFacts& facts = judged.facts;
    return judged.has_facts() && i < facts.files.size() ? &facts.files[i] : nullptr;
  }
};

// With checks, and the records read natively: each picked file's text
// digested from the records and compared with its facts before anything is
// written (file_digests.hpp), by the walk that followed the stream while it
// was made where there was one. A damaged one is refused as the file loop
// would refuse it when it came to write it; the walk stops, leaving the rest
// to the loop, at a file whose tokens are not all text, where the loop
// fails or joins them by the host.
bool verify_before_writing(const RestoredTokens& restored, RestorePlan& plan,
                           StreamDigestWalk& streamed) {
  const DigestWalk walked =
      streamed.walk(restored.tokens.table(), restored.records(), restored.size, plan.judged,
                    &plan.picked, restored.payload.get());
  plan.verified = walked.file;
  if (walked.end == DigestWalkEnd::kNoMemory)
    return kDecodePackageTrace.fail(kDecodePackageLines.file_loop);
  if (walked.end == DigestWalkEnd::kNotText) PyErr_Clear();  // the loop's to report
  if (walked.end != DigestWalkEnd::kDamaged) return true;
  kDecodePackageTrace.add(kDecodePackageLines.write_output);
  return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
}

// The package judged whole (judged_package.hpp: the stored names and the
// file facts) and the choice of files and empty directories made.
bool judge_and_pick(PyObject* package, FileChoice& choice, RestorePlan& plan) {
  plan.none_allowed = !global_is_original(Original::kOsPathJoin);
  return judge_package(package, plan.none_allowed, plan.judged) &&
         choice.pick_from(plan.judged, plan.picked, plan.dirs);
}

// For a package read natively whose stream is still to be decompressed from
// the file: judged and picked before it is, so that the digest walk follows
// the decompression (file_digests.hpp). Neither runs code of the user's
// over such a package; where either fails, its error is dropped here and
// raised again in its turn, after the stream's own.
void judge_early(PyObject* package, bool table_read, const PackageFile& file, FileChoice& choice,
                 RestorePlan& plan) {
  if (!table_read || !file.payload_left() || !choice.writes()) return;
  plan.judged_early = judge_and_pick(package, choice, plan);
  if (plan.judged_early) return;
  PyErr_Clear();
  plan.judged = JudgedPackage();
}

// Every check made before anything is written: the package judged whole and
// the files chosen (unless judge_early did it as it would be done here),
// with the module's own join nothing in the way of a picked one
// (file_restorer.hpp), and each picked file's text against its facts.
bool check_before_writing(PyObject* package, const RestoredTokens& restored, FileChoice& choice,
                          FileRestorer& restorer, RestorePlan& plan, StreamDigestWalk& streamed) {
  const bool original_join = global_is_original(Original::kOsPathJoin);
  if (!plan.judged_early || plan.none_allowed == original_join) {
    streamed.stop();  // it walks what was judged early
    plan.judged = JudgedPackage();
    if (!judge_and_pick(package, choice, plan))
      return kDecodePackageTrace.fail(kDecodePackageLines.file_loop);
  }
  if (choice.writes() && original_join &&
      !restorer.check_in_the_way(plan.judged, plan.picked, plan.dirs)) {
    return kDecodePackageTrace.fail(kDecodePackageLines.file_loop);
  }
  return !(choice.writes() && restored.native && plan.judged.has_facts()) ||
         verify_before_writing(restored, plan, streamed);
}

// self.global_dict = package.get("global_dict", {})
// self.inverse_dict = {v: k for k, v in self.global_dict.items()}
bool take_dictionaries(CompressorObject* self, PyObject* package) {
  if (!package) {
    PyErr_Format(PyExc_UnboundLocalError, msg::kUnboundLocal, "package");
    return kDecodePackageTrace.fail(kDecodePackageLines.take_global_dict);
  }
  Ref get = Ref::steal(PyObject_GetAttr(package, str(Str::get)));
  if (!get) return kDecodePackageTrace.fail(kDecodePackageLines.take_global_dict);
  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return kDecodePackageTrace.fail(kDecodePackageLines.take_global_dict);
  Ref global_dict = call2(get.get(), str(Str::global_dict), empty.get());
  if (!global_dict) return kDecodePackageTrace.fail(kDecodePackageLines.take_global_dict);
  replace_field(self->global_dict, std::move(global_dict));

  Ref inverse_dict = build_inverse_dict(self->global_dict);
  if (!inverse_dict) return kDecodePackageTrace.fail(kDecodePackageLines.build_inverse);
  replace_field(self->inverse_dict, std::move(inverse_dict));
  return true;
}

// data = package["compressed"], decompressed when use_zstd; where the
// package was read natively and its payload left in the file (only ever to
// be decompressed), decompressed from there, the digest walk following
// (file_digests.hpp).
Ref read_payload(PyObject* package, bool use_zstd, const PackageFile& file,
                 StreamDigestWalk& streamed) {
  Ref data;
  if (file.payload_left()) {
    data = streamed.stream();
  } else {
    data = package_item(package, Str::compressed);
    if (!data) return kDecodePackageTrace.fail(kDecodePackageLines.compressed);
    if (!use_zstd) return data;
    data = decompress_stream(data.get());
  }
  if (!data) return kDecodePackageTrace.fail(kDecodePackageLines.decompress);
  return data;
}

// num_tokens = len(data) // 4, within the layout's record limit.
bool count_records(PyObject* data, Py_ssize_t& num_tokens) {
  const Py_ssize_t length = PyObject_Length(data);
  if (length < 0) return kDecodePackageTrace.fail(kDecodePackageLines.length);
  num_tokens = records_in_stream(length);
  if (num_tokens < 0) return kDecodePackageTrace.fail(kDecodePackageLines.length);
  return true;
}

// os.makedirs(output_dir, exist_ok=True)
bool make_output_dir(PyObject* output_dir) {
  Ref os = get_global(str(Str::os));
  if (!os) return kDecodePackageTrace.fail(kDecodePackageLines.makedirs);
  Ref makedirs = Ref::steal(PyObject_GetAttr(os.get(), str(Str::makedirs)));
  if (!makedirs) return kDecodePackageTrace.fail(kDecodePackageLines.makedirs);
  Ref kwnames = Ref::steal(PyTuple_Pack(1, str(Str::exist_ok)));
  if (!kwnames) return kDecodePackageTrace.fail(kDecodePackageLines.makedirs);
  PyObject* args[] = {output_dir, Py_True};
  if (!call(makedirs.get(), args, 1, kwnames.get())) {
    return kDecodePackageTrace.fail(kDecodePackageLines.makedirs);
  }
  return true;
}

// The empty directories the choice picks, each distinct one made once, as
// the directories of stored names are.
bool make_empty_dirs(const RestorePlan& plan, FileRestorer& restorer) {
  const JudgedPackage& judged = plan.judged;
  try {
    std::vector<char> made(judged.names.tree().size(), 0);
    for (size_t i = 0; i < plan.dirs.size(); i++) {
      const NameTree::Node node = judged.facts.dirs[i].node;
      if (!plan.dirs[i] || made[node]) continue;
      made[node] = 1;
      PyObject* dir = PyList_GET_ITEM(judged.facts.empty_dirs.get(), static_cast<Py_ssize_t>(i));
      if (!restorer.make_directory(dir))
        return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
  }
  return true;
}

// The directories whose facts the package stores, each that a picked file
// or empty directory lies in (or is), given their modes and times once
// their contents are written, the deepest first (a directory made read-only
// is then written no more). Only where the names are the module's own join.
bool settle_directories(const RestorePlan& plan, FileRestorer& restorer) {
  const JudgedPackage& judged = plan.judged;
  const std::vector<DirFacts>& dirs = judged.facts.directories;
  if (dirs.empty() || !global_is_original(Original::kOsPathJoin)) return true;
  try {
    const NameTree& tree = judged.names.tree();
    std::vector<char> reached(tree.size(), 0);
    auto reach = [&](NameTree::Node node) {
      for (; node < tree.size() && node != NameTree::kRoot && !reached[node];
           node = tree.parent(node)) {
        reached[node] = 1;
      }
    };
    for (size_t i = 0; i < judged.files.size(); i++) {
      if (plan.picked[i]) reach(judged.files[i].where.node);
    }
    for (size_t i = 0; i < plan.dirs.size(); i++) {
      if (plan.dirs[i]) reach(judged.facts.dirs[i].node);
    }
    std::vector<const DirFacts*> settled;
    for (const DirFacts& dir : dirs) {
      if (dir.where.node < reached.size() && reached[dir.where.node]) settled.push_back(&dir);
    }
    auto depth = [](const DirFacts* dir) { return std::ranges::count(dir->where.bytes, '/'); };
    std::ranges::stable_sort(settled, std::ranges::greater{}, depth);
    for (const DirFacts* dir : settled) {
      if (!restorer.settle_directory(*dir))
        return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return kDecodePackageTrace.fail(kDecodePackageLines.open_output);
  }
  return true;
}

// A tree's small files (those a join shares with no helper of its own) are
// joined on a helper thread while the caller writes those before them, in
// the loop's order: the write pass on the second core. Without the thread,
// or memory for its list, the caller joins each itself.
void join_ahead(const RestorePlan& plan, RestoredTokens& restored) {
  const std::vector<StoredFile>& files = plan.judged.files;
  std::vector<JoinAhead::Records> small;
  try {
    Py_ssize_t start = 0;
    for (size_t i = 0; i < files.size(); i++) {
      Py_ssize_t from = start;
      Py_ssize_t to = files[i].boundary;
      start = to;
      clamp_slice(restored.size, from, to);
      if (plan.picked[i] && !joins_on_two_threads(to - from)) small.push_back({i, from, to});
    }
    if (small.size() < 2) return;
    restored.ahead =
        std::make_unique<JoinAhead>(restored.tokens.table(), restored.records(), std::move(small));
  } catch (const std::bad_alloc&) {
    return;
  }
  if (!restored.ahead->start()) restored.ahead.reset();
}

// for boundary, filename in zip(...): each picked file written (or, for
// restored_sizes, measured), then the empty directories of the packed trees
// made, then the directories given their stored modes and times.
bool restore_files(PyObject* output_dir, const RestorePlan& plan, RestoredTokens& restored,
                   FileChoice& choice, FileRestorer& restorer) {
  int32_t start = 0;
  const std::vector<StoredFile>& files = plan.judged.files;
  if (choice.writes() && restored.native) join_ahead(plan, restored);
  for (size_t i = 0; i < files.size(); i++) {
    const StoredFile& file = files[i];
    if (!choice.writes()) {
      const Py_ssize_t size = restored.utf8_size(start, file.boundary);
      if (size < 0 || !choice.record_size(size))
        return kDecodePackageTrace.fail(kDecodePackageLines.write_output);
    } else if (plan.picked[i] && (!write_file(output_dir, i, file, restored, start, restorer,
                                              plan.facts_of(i), i < plan.verified) ||
                                  !choice.record_name(file.name.get()))) {
      return false;
    }
    start = file.boundary;
  }
  return !choice.writes() ||
         (make_empty_dirs(plan, restorer) && settle_directories(plan, restorer));
}

// with open(package_path, "rb") as f: package = pickle.load(f), and the
// dictionaries taken from it; or, for a method that need not fill them, the
// package read natively with its token table (native_package.hpp). Whether
// that was done is `table_read`.
bool load_package(CompressorObject* self, PyObject* package_path, bool use_zstd,
                  bool fills_dictionaries, PackageFile& file, Ref& package, TokensById& tokens,
                  bool& table_read) {
  const NativeRead native =
      fills_dictionaries ? NativeRead::kPlain
                         : read_package_natively(package_path, use_zstd, file, package, tokens);
  if (native == NativeRead::kFailed) {
    kDecodePackageTrace.add(kDecodePackageLines.load_package);
    return kDecodePackageTrace.fail(kDecodePackageLines.open_package);
  }
  table_read = native == NativeRead::kRead;
  return table_read ||
         (load_package_file(package_path, kDecodePackageTrace, kDecodePackageLines.open_package,
                            kDecodePackageLines.load_package, package) != BlockEnd::kFailed &&
          take_dictionaries(self, package.get()));
}

PyObject* decode_package(CompressorObject* self, PyObject* package_path, PyObject* output_dir,
                         bool use_zstd, FileChoice& choice, bool fills_dictionaries) {
  Ref package;
  RestoredTokens restored;
  bool table_read = false;
  RestorePlan plan;
  PackageFile file;
  if (!load_package(self, package_path, use_zstd, fills_dictionaries, file, package,
                    restored.tokens, table_read)) {
    return nullptr;
  }
  StreamDigestWalk streamed(file);
  judge_early(package.get(), table_read, file, choice, plan);
  if (plan.judged_early && plan.judged.has_facts()) {
    streamed.follow(restored.tokens.table(), plan.judged, &plan.picked);
  }
  Ref data = read_payload(package.get(), use_zstd, file, streamed);
  if (!data) return nullptr;
  Py_ssize_t num_tokens = 0;
  if (!count_records(data.get(), num_tokens) ||
      !restore_tokens(self, data.get(), num_tokens, table_read, restored)) {
    return nullptr;
  }
  data = Ref();  // restored holds what it reads of it

  FileRestorer restorer(output_dir);
  if (!check_before_writing(package.get(), restored, choice, restorer, plan, streamed) ||
      (choice.writes() && !make_output_dir(output_dir)) ||
      !restore_files(output_dir, plan, restored, choice, restorer)) {
    return nullptr;
  }
  if (choice.kind() != FileChoice::Kind::kAll) return choice.result().release();
  Ref result = package_item(package.get(), Str::filenames);
  if (!result) return kDecodePackageTrace.fail(kDecodePackageLines.result);
  return result.release();
}

// decode_package(package_path, output_dir, use_zstd) as `row` binds it:
// every file, filling the object's dictionaries or not. A failure of its
// statements adds the entry of the calling method's `decode_line`, when
// given.
PyObject* decode_every_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, const FunctionRow& row, bool fills_dictionaries,
                            int decode_line = 0) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (!row.bind(args, nargs, kwnames, bound)) return nullptr;
  int use_zstd = truth_value(bound[2]);
  if (use_zstd < 0) return row.trace().fail(row.first_line);
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_dir)) return nullptr;
  FileChoice every_file;
  PyObject* names = decode_package(as_compressor(self), bound[0], bound[1], use_zstd != 0,
                                   every_file, fills_dictionaries);
  if (!names && decode_line != 0) return row.trace().fail(decode_line);
  return names;
}

}  // namespace

PyObject* decode_package_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return decode_every_file(self, args, nargs, kwnames, kDecodePackageRow, true);
}

// decode_names and restored_sizes run decode_package's statements with a
// choice (file_choice.hpp), restore_package with every file: a failure there
// carries decode_package's entries, then the entry of the calling method's
// own line, as if it called it. None of them fills the object's
// dictionaries where the package is read natively (native_package.hpp).

namespace {

constexpr const FunctionRow& kDecodeNamesRow = function_row("decode_names");
constexpr Trace kDecodeNamesTrace = kDecodeNamesRow.trace();
constexpr const FunctionRow& kRestoredSizesRow = function_row("restored_sizes");
constexpr Trace kRestoredSizesTrace = kRestoredSizesRow.trace();

// decode_names' statements: it picks the names, then runs decode_package's.
constexpr struct DecodeNamesLines {
  int binding = kDecodeNamesRow.first_line;
  int choice = 201, decode = 202;
} kDecodeNamesLines{};
constexpr const FunctionRow& kRestorePackageRow = function_row("restore_package");

// restore_package's statements: it runs decode_package's.
constexpr struct RestorePackageLines { int decode = 219; } kRestorePackageLines{};
// restored_sizes' statements: it runs decode_package's, measuring.
constexpr struct RestoredSizesLines {
  int binding = kRestoredSizesRow.first_line;
  int decode = 206;
} kRestoredSizesLines{};

}  // namespace

PyObject* decode_names_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (!kDecodeNamesRow.bind(args, nargs, kwnames, bound)) return nullptr;
  int use_zstd = truth_value(bound[3]);
  if (use_zstd < 0) return kDecodeNamesTrace.fail(kDecodeNamesLines.binding);
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_dir)) return nullptr;
  if (!check_exact_type(bound[2], &PyList_Type, Str::names)) return nullptr;
  FileChoice chosen;
  if (bound[2] == Py_None) {
    raise_expected_type("list", bound[2]);
    return kDecodeNamesTrace.fail(kDecodeNamesLines.choice);
  }
  if (!chosen.pick(bound[2])) return kDecodeNamesTrace.fail(kDecodeNamesLines.choice);
  PyObject* names =
      decode_package(as_compressor(self), bound[0], bound[1], use_zstd != 0, chosen, false);
  if (!names) return kDecodeNamesTrace.fail(kDecodeNamesLines.decode);
  return names;
}

PyObject* restored_sizes_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (!kRestoredSizesRow.bind(args, nargs, kwnames, bound)) return nullptr;
  int use_zstd = truth_value(bound[1]);
  if (use_zstd < 0) return kRestoredSizesTrace.fail(kRestoredSizesLines.binding);
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  FileChoice sizes;
  if (!sizes.measure()) return kRestoredSizesTrace.fail(kRestoredSizesLines.decode);
  PyObject* result =
      decode_package(as_compressor(self), bound[0], nullptr, use_zstd != 0, sizes, false);
  if (!result) return kRestoredSizesTrace.fail(kRestoredSizesLines.decode);
  return result;
}

PyObject* restore_package_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return decode_every_file(self, args, nargs, kwnames, kRestorePackageRow, false,
                           kRestorePackageLines.decode);
}

}  // namespace ormek
