// The encoder's run, from the inputs to the package (see encoder.hpp).
#include "compressor/encode/encoder.hpp"

#include <optional>

#include "compressor/package/format.hpp"
#include "compressor/package/id_stream.hpp"
#include "compressor/package/pickle_layout.hpp"
#include "compressor/package/pickle_snapshot.hpp"
#include "compressor/package/pickle_writer.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

using package::kMaxRecords;
using package::kRecordSize;
using package::store_record;

Encoder::Encoder(CompressorObject* self, const EncodingMethod& method, PyObject* output_path,
                 int32_t level, int32_t threads)
    : self_(self),
      trace_(method.trace),
      lines_(method.lines),
      output_path_(output_path),
      level_(level),
      threads_(threads),
      tokens_(self, method.trace, method.lines) {}

bool Encoder::keep_file_facts(PyObject* empty_dirs) {
  if (!tokens_.keep_facts()) return false;
  empty_dirs_ = empty_dirs == Py_None ? Ref::steal(PyList_New(0)) : Ref::borrow(empty_dirs);
  return static_cast<bool>(empty_dirs_);
}

PyObject* Encoder::run_on_paths(PyObject* filepaths) {
  filepaths_ = filepaths;
  return run();
}

PyObject* Encoder::run_on_entries(PyObject* entries) {
  entries_ = entries;
  return run();
}

PyObject* Encoder::run() {
  if (!tokens_.make_lists()) return nullptr;
  if (entries_ && !take_named_inputs(entries_, empty_dirs_.get(), dir_facts_.names.get(), tokens_,
                                     named_inputs_, trace_, lines_)) {
    return nullptr;
  }
  if (!read_files()) return nullptr;
  if (tokens_.native()) {
    if (!tokens_.finish_numbering()) return trace_.fail(lines_.contains);
    tokens_.numbering().release_index();
  }

  // A package numbered on its own has no use for the object's dictionaries.
  IdAssigner ids(self_, trace_, lines_);
  IdAssigner* assigner = dictionary_ == PackageDictionary::kOwn ? nullptr : &ids;
  if (assigner && !ids.scan_dictionaries()) return nullptr;
  // The native id loop runs no code of the user's while the dictionaries hold
  // only plain entries: they cannot change behind its back.
  if (assigner && tokens_.native() && !ids.plain_entries() && !tokens_.leave_native_way()) {
    return trace_.fail(lines_.extend_tokens);
  }
  Ref compressed;
  if (!assigner && tokens_.native() &&
      PieceCompression::streams_in_pieces(kRecordSize * tokens_.count())) {
    if (!check_record_count()) return nullptr;
    compressed = number_own_in_pieces();
  } else {
    if (!assign_ids(assigner)) return nullptr;
    compressed = enter_tokens_and_compress(assigner);
    packed_tokens_ = Ref();  // only the frame is needed from here on
  }
  if (!compressed) return nullptr;
  if (dictionary_ == PackageDictionary::kWhole || !tokens_.native()) {
    return write_package(compressed.get(), nullptr);
  }
  const NumberedTokens numbered(tokens_.numbering(), assigner ? &ids.token_ids() : nullptr);
  return write_package(compressed.get(), &numbered);
}

// for path in filepaths (or the named inputs): each file read.
bool Encoder::read_files() {
  InputReader reader(tokens_, trace_, lines_, follow_links_);
  if (entries_) {
    for (const NamedInput& input : named_inputs_) {
      if (!reader.read(input.path.get(), input.name.get())) return false;
      compress_alongside();
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
    if (!reader.read(path.get(), nullptr)) return false;
    compress_alongside();
  }
  return true;
}

// packed_tokens = bytearray(4 * len(all_tokens)), filled by the id loop
// (id_assignment.hpp) through a view held until every record is stored.
// Without `ids`, the package numbers its own tokens.
bool Encoder::assign_ids(IdAssigner* ids) {
  if (!check_record_count()) return false;
  // Every byte is written by the id loop, so the array is not cleared first:
  // its pages are touched only as the records are stored.
  packed_tokens_ =
      Ref::steal(PyByteArray_FromStringAndSize(nullptr, kRecordSize * tokens_.count()));
  if (!packed_tokens_) return trace_.fail(lines_.packed_tokens);
  Py_buffer view;
  if (PyObject_GetBuffer(packed_tokens_.get(), &view, PyBUF_WRITABLE | PyBUF_STRIDES) < 0) {
    return trace_.fail(lines_.packed_view);
  }
  auto* packed = static_cast<uint8_t*>(view.buf);
  bool assigned;
  if (!tokens_.native()) {
    assigned = ids ? ids->assign_plainly(tokens_.list(), packed, view.len)
                   : number_own_plainly(tokens_.list(), packed, view.len);
    if (assigned && ids && dictionary_ == PackageDictionary::kUsed) {
      assigned = note_used_plainly(tokens_.list(), packed);
    }
  } else if (view.len != kRecordSize * tokens_.count()) {
    PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
    assigned = trace_.fail(lines_.store_byte0);
  } else if (!ids) {
    number_own_natively(packed);
    assigned = true;
  } else {
    const bool keep_tokens = dictionary_ == PackageDictionary::kUsed;
    assigned = ids->assign_natively(tokens_.numbering(), packed, keep_tokens);
  }
  PyBuffer_Release(&view);
  tokens_.release_list();
  return assigned;
}

// A package holds at most kMaxRecords tokens: false with OverflowError and
// its traceback entry otherwise.
bool Encoder::check_record_count() {
  if (tokens_.count() <= kMaxRecords) return true;
  PyErr_Format(PyExc_OverflowError, msg::kTooManyTokens, kMaxRecords, tokens_.count());
  return trace_.fail(lines_.packed_tokens);
}

// The package's own ids, the plain way: each token's number of first sight
// plus one, kept in the package's own dict (the id loop of a fresh compressor,
// whose dictionaries are empty).
bool Encoder::number_own_plainly(PyObject* tokens, uint8_t* packed, Py_ssize_t packed_length) {
  package_tokens_ = Ref::steal(PyDict_New());
  if (!package_tokens_) return trace_.fail(lines_.contains);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tokens); i++) {
    PyObject* token = PyList_GET_ITEM(tokens, i);
    if (token != Py_None && !PyUnicode_CheckExact(token)) {
      raise_expected_type("str", token);
      return trace_.fail(lines_.iterate_tokens);
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(package_tokens_.get(), token, &found) < 0) {
      return trace_.fail(lines_.contains);
    }
    Ref id = Ref::steal(found);
    if (!id) {
      id = Ref::steal(PyLong_FromSsize_t(PyDict_GET_SIZE(package_tokens_.get()) + 1));
      if (!id || PyDict_SetItem(package_tokens_.get(), token, id.get()) < 0) {
        return trace_.fail(lines_.new_id);
      }
    }
    if ((i + 1) * kRecordSize > packed_length) {
      PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
      return trace_.fail(lines_.store_byte0);
    }
    store_record(packed + i * kRecordSize, static_cast<int32_t>(PyLong_AsLong(id.get())));
  }
  return true;
}

// The package's own ids of `count` numbers of first sight into `record`:
// each number plus one.
static void store_own_records(uint8_t* record, const uint32_t* numbers, size_t count) {
  for (size_t i = 0; i < count; i++, record += kRecordSize) {
    store_record(record, static_cast<int32_t>(numbers[i] + 1));
  }
}

// About the bytes of the pickle of a package that numbers its own tokens: a
// str and its id take some bytes besides the text; the names and facts take
// less again.
static size_t package_pickle_bytes(const FirstSightNumbering& numbering) {
  return numbering.text_room() + 16 * numbering.distinct();
}

// A drain's or a read's fn that stores the package's own ids of the records
// in `frame`, as many as it has room for.
static auto own_records_into(PieceCompression& frame) {
  return [&frame](const uint32_t* numbers, size_t count) {
    uint8_t* record = frame.room(count * kRecordSize);
    if (record) store_own_records(record, numbers, count);
    return record != nullptr;
  };
}

// The package's own ids, the native way.
void Encoder::number_own_natively(uint8_t* packed) {
  uint8_t* record = packed;
  tokens_.numbering().drain_records([&](const uint32_t* numbers, size_t count) {
    store_own_records(record, numbers, count);
    record += count * kRecordSize;
    return true;
  });
}

// The package's own ids of the files read so far, compressed while the next
// ones are read and numbered, so that a big stream's compression takes the
// second core's spare time rather than following the numbering. Only records
// that no file can take back any more are fed (those before the numbering's
// last mark), into a frame begun without its length once a piece of them is
// there. The reading answers signals; anything that fails here, or no longer
// applies, drops the frame, and number_own_in_pieces then makes the stream
// from its first record as it does without one.
void Encoder::compress_alongside() {
  if (alongside_dropped_ || dictionary_ != PackageDictionary::kOwn || !tokens_.native()) return;
  FirstSightNumbering& numbering = tokens_.numbering();
  constexpr uint64_t kPieceRecords = PieceCompression::kPieceBytes / kRecordSize;
  if (numbering.final_record_count() < alongside_place_.count + kPieceRecords) return;
  if (!alongside_) {
    if (!PieceCompression::streams_in_pieces(PieceCompression::kPieceBytes)) {
      alongside_dropped_ = true;
      return;
    }
    alongside_.emplace();
    alongside_->answer_signals(false);
    if (!alongside_->begin(level_, threads_, PieceCompression::kUnknownLength)) {
      drop_alongside();
      return;
    }
  }
  if (!numbering.read_final_records(alongside_place_, own_records_into(*alongside_))) {
    drop_alongside();
  }
}

void Encoder::drop_alongside() {
  PyErr_Clear();  // number_own_in_pieces meets it again, where the plain way does
  alongside_.reset();
  alongside_place_ = {};
  alongside_dropped_ = true;
}

// The package's own ids, the native way, compressed piece by piece as they
// are made (id_stream.hpp): the stream is never held whole, only its frame,
// which goes on from where compress_alongside left it. Nothing runs
// meanwhile that a helper thread could overlap it with: the binding's own
// threads compress, this one feeds them and answers signals. The frame, or
// null with the exception set and its traceback entry added.
Ref Encoder::number_own_in_pieces() {
  tokens_.release_list();
  // Only the records and, for the package's dictionary, the tokens in order
  // are read from here on: the entries go before the compressor's buffers
  // come (unless the frame was begun while the files were read).
  tokens_.numbering().release_entries();
  if (!alongside_) {
    alongside_.emplace();
    if (!alongside_->begin(level_, threads_, kRecordSize * tokens_.count())) {
      return trace_.fail(lines_.compress);
    }
  }
  alongside_->answer_signals(true);
  const bool drained =
      tokens_.numbering().drain_records(own_records_into(*alongside_), alongside_place_);
  // A token dictionary too big to pickle ahead is pickled after the frame.
  const FirstSightNumbering& numbering = tokens_.numbering();
  const size_t expected_bytes = package_pickle_bytes(numbering);
  bool going = drained;
  if (going && PackageImage::fits(expected_bytes)) {
    going = alongside_->begin_flush();
    if (going) pickle_ahead(expected_bytes);
  }
  Ref compressed = going ? alongside_->finish() : Ref();
  alongside_.reset();
  if (!compressed) return trace_.fail(lines_.compress);
  return compressed;
}

// While the binding's threads make the end of the frame, the package is made
// with stand-ins for the frame and its token dictionary and pickled into
// memory, so that only writing it is left once the frame is there
// (package_pickler.hpp). Nothing is raised here: what making the package
// raises is raised where the package is made, after the frame, as in the
// plain order; without an image, the package is pickled as it is written.
void Encoder::pickle_ahead(size_t expected_bytes) {
  Ref stream = Ref::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pickle_layout::kFrameTarget)));
  Ref tokens = stream ? Ref::steal(PyDict_New()) : Ref();
  Ref package = tokens ? make_package(stream.get(), tokens.get()) : Ref();
  if (!package) {
    ahead_error_ = Ref::steal(PyErr_GetRaisedException());
    return;
  }
  const NumberedTokens numbered(tokens_.numbering(), nullptr);
  NativePackageDump(tokens.get(), numbered)
      .pickle_ahead(package.get(), stream.get(), expected_bytes, ahead_image_);
  ahead_package_ = std::move(package);
  ahead_tokens_ = std::move(tokens);
}

// The tokens the files use, the plain way, each with the id its first record
// holds, in order of first sight: the package's dict.
bool Encoder::note_used_plainly(PyObject* tokens, const uint8_t* packed) {
  package_tokens_ = Ref::steal(PyDict_New());
  if (!package_tokens_) return trace_.fail(lines_.package);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tokens); i++) {
    PyObject* token = PyList_GET_ITEM(tokens, i);
    const int known = PyDict_Contains(package_tokens_.get(), token);
    const auto record = static_cast<int32_t>(package::record_at(packed, i));
    Ref id = known ? Ref() : Ref::steal(PyLong_FromLong(record));
    if (known < 0 ||
        (!known && (!id || PyDict_SetItem(package_tokens_.get(), token, id.get()) < 0))) {
      return trace_.fail(lines_.package);
    }
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
Ref Encoder::enter_tokens_and_compress(IdAssigner* ids) {
  FrameCompression compression(packed_tokens_.get(), level_, threads_);
  if (!ids || !ids->stopped_at_a_token()) compression.start_early();
  if (ids && !ids->enter_new_tokens()) return Ref();
  Ref frame = compression.finish();
  if (!frame) return trace_.fail(lines_.compress);
  return frame;
}

// package = {"compressed": compressed, "file_boundaries": ..., "filenames":
// ..., "global_dict": dumped_dict} and, with the files' facts, "file_facts";
// null with the error set.
Ref Encoder::make_package(PyObject* compressed, PyObject* dumped_dict) {
  Ref package = Ref::steal(PyDict_New());
  Ref boundaries = package ? tokens_.boundaries_list() : Ref();
  Ref names = boundaries ? tokens_.names_list() : Ref();
  if (!names || PyDict_SetItem(package.get(), str(Str::compressed), compressed) < 0 ||
      PyDict_SetItem(package.get(), str(Str::file_boundaries), boundaries.get()) < 0 ||
      PyDict_SetItem(package.get(), str(Str::filenames), names.get()) < 0 ||
      PyDict_SetItem(package.get(), str(Str::global_dict), dumped_dict) < 0) {
    return Ref();
  }
  if (tokens_.keeps_facts()) {
    Ref facts = tokens_.facts(empty_dirs_.get(), dir_facts_);
    if (!facts || PyDict_SetItem(package.get(), str(Str::file_facts), facts.get()) < 0) {
      return Ref();
    }
  }
  return package;
}

// package = {...}, dumped into output_path; the size of the frame. With
// `tokens`, a stand-in goes where the token dictionary goes, and the package
// is pickled natively (package_pickler.hpp).
PyObject* Encoder::write_package(PyObject* compressed, const TokenDictionary* tokens) {
  if (ahead_error_) {
    PyErr_SetRaisedException(ahead_error_.release());
    return trace_.fail(lines_.package);
  }
  Ref package = std::move(ahead_package_);
  Ref dumped_dict = std::move(ahead_tokens_);
  if (package) {
    if (PyDict_SetItem(package.get(), str(Str::compressed), compressed) < 0) {
      return trace_.fail(lines_.package);
    }
  } else {
    dumped_dict = tokens            ? Ref::steal(PyDict_New())
                  : package_tokens_ ? package_tokens_
                                    : dumped_global_dict(self_->global_dict);
    package = dumped_dict ? make_package(compressed, dumped_dict.get()) : Ref();
    if (!package) return trace_.fail(lines_.package);
  }

  // with open(output_path, "wb") as f: pickle.dump(package, f), through a
  // fresh file that replaces output_path only once complete: a failing dump
  // leaves no half package and keeps an older one. A dump whose error
  // __exit__ swallowed installs nothing, and the method goes on.
  std::optional<NativePackageDump> native;
  if (tokens) native.emplace(dumped_dict.get(), *tokens, &ahead_image_);
  if (dump_pickle_replacing(output_path_, package.get(), trace_, lines_.open_package, lines_.dump,
                            native ? &*native : nullptr) == BlockEnd::kFailed) {
    return nullptr;
  }

  Py_ssize_t length = PyObject_Length(compressed);
  if (length < 0) return trace_.fail(lines_.result);
  PyObject* result = PyLong_FromSsize_t(length);
  if (!result) return trace_.fail(lines_.result);
  return result;
}

}  // namespace ormek
