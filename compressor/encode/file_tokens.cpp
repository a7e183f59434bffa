// The tokens of the files read and each file's record (see file_tokens.hpp).
#include "compressor/encode/file_tokens.hpp"

#include <new>
#include <utility>

#include "compressor/function_table.hpp"
#include "module/host_calls.hpp"
#include "module/original_globals.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// The reading waits while more than this many code units wait for the
// numbering thread, which bounds the texts held at once.
constexpr size_t kQueuedUnits = size_t{1} << 22;

// Keeps `value` at the end of `kept`; false with MemoryError.
template <typename T>
bool keep(std::vector<T>& kept, T value) {
  try {
    kept.push_back(std::move(value));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

}  // namespace

FileTokens::FileTokens(CompressorObject* self, const Trace& trace, const EncoderLines& lines)
    : self_(self), trace_(trace), lines_(lines) {}

bool FileTokens::make_lists() {
  all_tokens_ = Ref::steal(PyList_New(0));
  if (!all_tokens_) return trace_.fail(lines_.all_tokens);
  file_boundaries_ = Ref::steal(PyList_New(0));
  if (!file_boundaries_) return trace_.fail(lines_.file_boundaries);
  filenames_ = Ref::steal(PyList_New(0));
  if (!filenames_) return trace_.fail(lines_.filenames);
  return true;
}

bool FileTokens::keep_facts() {
  facts_ = std::unique_ptr<FactsWriter>(new (std::nothrow) FactsWriter);
  if (facts_) return true;
  PyErr_NoMemory();
  return false;
}

bool FileTokens::add_name(PyObject* name) { return keep(names_, Ref::borrow(name)); }

bool FileTokens::native_cut_applies() const {
  if (Py_TYPE(self_) != &CompressorType) {
    Ref method =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self_), str(Str::tokenize)));
    if (!method) {
      PyErr_Clear();
      return false;
    }
    if (!is_own_function(method.get(), function_row("tokenize"))) return false;
  }
  return global_is_original(Original::kReFindall);
}

void FileTokens::begin_file(PyObject* stored_name) {
  stored_name_ = stored_name;
  if (facts_) facts_->begin(stored_name);
}

bool FileTokens::add_units(utf8::Piece piece) {
  const void* data = piece.data();
  if (facts_) facts_->add_units(data, piece.kind, piece.length);
  return feed_.add(data, piece.kind, piece.length, {Ref(), std::move(piece.storage)});
}

bool FileTokens::keep_up() { return feed_.wait(kQueuedUnits); }

bool FileTokens::mark_file() { return feed_.mark(); }

bool FileTokens::forget_file() { return feed_.roll_back(); }

bool FileTokens::add_text(PyObject* text, int& running_line) {
  if (text != Py_None && !PyUnicode_CheckExact(text)) {
    raise_expected_type("str", text);
    return false;
  }
  if (native_ && !(PyUnicode_CheckExact(text) && native_cut_applies())) {
    running_line = lines_.extend_tokens;
    if (!leave_native_way()) return false;
    running_line = lines_.read_and_tokenize;
  }
  if (native_) {
    if (facts_) facts_->add_content(text);
    return feed_.add(PyUnicode_DATA(text), PyUnicode_KIND(text),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(text)), {Ref::borrow(text), {}}) &&
           keep_up();
  }
  Ref tokens = Ref::steal(self_->direct->tokenize(self_, text, 0));
  if (!tokens) return false;
  running_line = lines_.extend_tokens;
  if (PyList_Extend(all_tokens_.get(), tokens.get()) < 0) return false;
  if (facts_) facts_->add_content(tokens.get());  // what the file restores to
  return true;
}

// The statements after a file's tokens: its boundary, then (encode_files)
// its base name.
bool FileTokens::add_boundary_and_name(PyObject* path, int& running_line) {
  running_line = lines_.append_boundary;
  if (!keep(boundaries_, count())) return false;
  if (stored_name_) return true;  // its name was given
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
  return keep(names_, std::move(name));
}

// From here on the plain way: the tokens numbered so far become the
// all_tokens list their `tokenize` calls would have made (equal strs: one per
// distinct token, shared by its occurrences), and later texts go through
// `tokenize`.
bool FileTokens::leave_native_way() {
  native_ = false;
  if (!finish_numbering()) return false;
  FirstSightNumbering& numbering = feed_.numbering();
  std::vector<Ref> token_strs;
  try {
    token_strs.resize(numbering.distinct());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  Ref tokens = Ref::steal(PyList_New(static_cast<Py_ssize_t>(numbering.record_count())));
  if (!tokens) return false;
  Py_ssize_t next = 0;
  numbering.drain_records([&](const uint32_t* numbers, size_t count) {
    for (size_t i = 0; i < count; i++) {
      Ref& token = token_strs[numbers[i]];
      if (!token) {
        const FirstSightNumbering::Token& t = numbering.token(numbers[i]);
        token = Ref::steal(PyUnicode_FromKindAndData(t.kind, t.data, t.length));
        if (!token) {
          next = -1;
          return false;
        }
      }
      PyList_SET_ITEM(tokens.get(), next++, Py_NewRef(token.get()));
    }
    return true;
  });
  numbering.release_tokens();
  if (next < 0) return false;
  all_tokens_ = std::move(tokens);
  return true;
}

bool FileTokens::finish_numbering() {
  using Finish = NumberingFeed<KeptText, AnsweringSignals>::Finish;
  switch (feed_.finish()) {
    case Finish::kDone:
      return true;
    case Finish::kOutOfMemory:
      PyErr_NoMemory();
      return false;
    case Finish::kGivenUp:
      break;
  }
  return false;
}

Py_ssize_t FileTokens::count() const {
  if (native_) return static_cast<Py_ssize_t>(feed_.tokens());
  return PyList_GET_SIZE(all_tokens_.get());
}

Ref FileTokens::boundaries_list() {
  for (Py_ssize_t boundary : boundaries_) {
    Ref item = Ref::steal(PyLong_FromSsize_t(boundary));
    if (!item || PyList_Append(file_boundaries_.get(), item.get()) < 0) return Ref();
  }
  return file_boundaries_;
}

Ref FileTokens::names_list() {
  for (const Ref& name : names_) {
    if (PyList_Append(filenames_.get(), name.get()) < 0) return Ref();
  }
  return filenames_;
}

Ref FileTokens::facts(PyObject* empty_dirs, const DirectoryLists& dirs) const {
  return facts_->make(empty_dirs, dirs);
}

}  // namespace ormek
