// The encoding methods' inputs (see inputs.hpp).
#include "compressor/encode/inputs.hpp"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "compressor/package/file_facts.hpp"
#include "compressor/package/stored_names_host.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// A file read natively is read this many bytes at a time.
constexpr size_t kReadBytes = size_t{1} << 20;

std::atomic<PyObject*> g_encoding_kw{nullptr};

// A name given to encode_named_files, judged alone: one decode_package can
// restore, within a file system's limits.
bool judge_given_name(PyObject* name) {
  if (!is_safe_stored_name(name)) {
    PyErr_Format(PyExc_ValueError, msg::kUnsafeStoredName, name);
    return false;
  }
  return check_stored_name_fits(name);
}

// OSError(error_number, "... no longer a regular file ...", path): an input
// opened without following links found a link or a special file.
void raise_not_regular_input(int error_number, PyObject* path) {
  Ref error = Ref::steal(
      PyObject_CallFunction(PyExc_OSError, "isO", error_number, msg::kInputNotRegularFile, path));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// A file's text as the plain way reads it: f.read() of the open file object.
struct PlainText {
  PyObject* file;

  bool read_into(FileTokens& tokens, int& running_line) const {
    Ref text = call_method(file, str(Str::read), nullptr, 0);
    return text && tokens.add_text(text.get(), running_line);
  }
  // f.fileno(): -1 with the error set on failure.
  int descriptor() const {
    Ref fd = call_method(file, str(Str::fileno), nullptr, 0);
    return fd ? PyLong_AsInt(fd.get()) : -1;
  }
};

}  // namespace

bool take_named_inputs(PyObject* entries, PyObject* empty_dirs, PyObject* dir_names,
                       FileTokens& tokens, std::vector<NamedInput>& inputs, const Trace& trace,
                       const EncoderLines& lines) {
  if (entries == Py_None) {
    PyErr_SetString(PyExc_TypeError, msg::kNoneNotIterable);
    return trace.fail(lines.iterate_entries);
  }
  StoredNames names;
  // By index, reading the list's current length before each item.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); i++) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(entries, i));
    NamedInput input;
    if (!unpack_two(entry.get(), input.path, input.name)) return trace.fail(lines.iterate_entries);
    PyObject* name = input.name.get();
    if (!PyUnicode_CheckExact(name)) {
      raise_expected_type("str", name);
      return trace.fail(lines.iterate_entries);
    }
    AddedName added;
    if (!names.add(name, judge_given_name, added) || !tokens.add_name(name)) {
      return trace.fail(lines.check_name);
    }
    try {
      inputs.push_back(std::move(input));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return trace.fail(lines.check_name);
    }
  }
  if (!names.check_clashes(true)) return trace.fail(lines.check_clashes);
  if ((empty_dirs && !judge_empty_dirs(empty_dirs, names, false, nullptr)) ||
      (dir_names && !judge_empty_dirs(dir_names, names, false, nullptr))) {
    return trace.fail(lines.check_clashes);
  }
  return true;
}

bool InputReader::read(PyObject* path, PyObject* stored_name) {
  Ref open_argument = Ref::borrow(path);
  switch (read_natively(path, stored_name, open_argument)) {
    case Taken::kDone:
      return true;
    case Taken::kFailed:
      return false;
    case Taken::kPlain:
      break;
  }
  return read_plainly(path, stored_name, open_argument.get());
}

// with open(open_argument, "r", encoding="utf-8") as f: the file's statements.
bool InputReader::read_plainly(PyObject* path, PyObject* stored_name, PyObject* open_argument) {
  PyObject* open_args[] = {open_argument, str(Str::mode_r), str(Str::utf_8)};
  Ref file =
      call(builtin(Builtin::open), open_args, 2, keyword_names(g_encoding_kw, {Str::encoding}));
  if (!file) return trace_.fail(lines_.open_input);
  auto body = [&](PyObject* f, int& running_line) {
    PlainText text{f};
    return take_file(text, path, stored_name, running_line) == Taken::kDone;
  };
  // A true __exit__ drops the exception and the loop goes on.
  return run_with_block(file.get(), trace_, lines_.open_input, lines_.read_and_tokenize, body) !=
         BlockEnd::kFailed;
}

// The body of the `with` block for one file, whichever way it is read: its
// text into the tokens, then its facts, boundary and name. kPlain when the
// native read gave the file up before anything of it was kept.
template <typename Text>
InputReader::Taken InputReader::take_file(Text& text, PyObject* path, PyObject* stored_name,
                                          int& running_line) {
  running_line = lines_.read_and_tokenize;
  tokens_.begin_file(stored_name);
  if constexpr (std::is_same_v<Text, PlainText>) {
    if (!text.read_into(tokens_, running_line)) return Taken::kFailed;
  } else {
    const Taken read = read_bytes(text);
    if (read != Taken::kDone) return read;
  }
  const bool ended = tokens_.end_file(
      path, [&text] { return text.descriptor(); }, running_line);
  return ended ? Taken::kDone : Taken::kFailed;
}

// The native reader: the file's bytes in bounded reads, decoded and cut into
// the numbering without ever making its text. The host's open would call a
// path's __fspath__ once: it is called here instead, and `open_argument`
// becomes its result, so that the plain way, if it runs after all, opens the
// same file without calling it again.
InputReader::Taken InputReader::read_natively(PyObject* path, PyObject* stored_name,
                                              Ref& open_argument) {
  if (!tokens_.native() && follow_links_) return Taken::kPlain;
  InputFile file;
  const Taken opened = open_natively(path, open_argument, file);
  if (opened != Taken::kDone) return opened;
  if (!tokens_.native() || !tokens_.native_cut_applies()) {
    return read_plainly_from(file, open_argument);
  }
  // The event the host's open raises for the file it opens.
  if (PySys_Audit("open", "Osi", open_argument.get(), "r", O_RDONLY | O_CLOEXEC) < 0) {
    return trace_.fail(lines_.open_input);
  }
  int running_line = lines_.read_and_tokenize;
  switch (take_file(file, path, stored_name, running_line)) {
    case Taken::kDone:
      return Taken::kDone;
    case Taken::kFailed:
      // As a failure inside the `with` block.
      trace_.add(running_line);
      return trace_.fail(lines_.open_input);
    case Taken::kPlain:
      break;
  }
  if (!follow_links_ && !file.rewind()) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, open_argument.get());
    return trace_.fail(lines_.open_input);
  }
  return read_plainly_from(file, open_argument);
}

// Opens the file at `path` natively: kDone when open, kPlain for a path or a
// file the native reader does not take (the plain way raises what the host
// raises for it), kFailed when a file opened without following links is
// refused.
InputReader::Taken InputReader::open_natively(PyObject* path, Ref& open_argument, InputFile& file) {
  // What the host's open takes as a path rather than a descriptor.
  if (!PyUnicode_Check(path) && !PyBytes_Check(path)) {
    if (PyNumber_Check(path)) return Taken::kPlain;
    open_argument = Ref::steal(PyOS_FSPath(path));
    if (!open_argument) return trace_.fail(lines_.open_input);
  }
  PyObject* encoded_object = nullptr;
  if (!PyUnicode_FSConverter(open_argument.get(), &encoded_object)) {
    PyErr_Clear();  // the host's open raises it
    return Taken::kPlain;
  }
  Ref encoded = Ref::steal(encoded_object);
  const char* fs_path = PyBytes_AS_STRING(encoded.get());
  if (std::strlen(fs_path) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
    return Taken::kPlain;  // an embedded null byte: the host's open raises it
  }
  const InputFile::Opened opened = file.open(fs_path, follow_links_);
  if (opened == InputFile::Opened::kRegular) return Taken::kDone;
  if (follow_links_) return Taken::kPlain;
  if (opened == InputFile::Opened::kNotRegular) {
    raise_not_regular_input(EINVAL, open_argument.get());
  } else if (file.error() == ELOOP) {
    raise_not_regular_input(ELOOP, open_argument.get());
  } else {
    errno = file.error();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, open_argument.get());
  }
  return trace_.fail(lines_.open_input);
}

// A file opened without following a link is read the plain way through its
// descriptor, so that the file read is the very one opened.
InputReader::Taken InputReader::read_plainly_from(InputFile& file, Ref& open_argument) {
  if (!follow_links_) {
    open_argument = Ref::steal(PyLong_FromLong(file.release()));
    if (!open_argument) return trace_.fail(lines_.open_input);
  }
  return Taken::kPlain;
}

// Reads, decodes and numbers a file natively. kPlain when it could not be
// read to its end or is not UTF-8, with what was kept of it forgotten;
// kFailed with the exception a signal handler raised.
InputReader::Taken InputReader::read_bytes(InputFile& file) {
  if (!tokens_.mark_file()) return Taken::kFailed;
  utf8::TextCutter cutter;
  for (;;) {
    uint8_t* room = cutter.room(kReadBytes);
    ssize_t count;
    Py_BEGIN_ALLOW_THREADS;
    count = file.read(room, kReadBytes);
    Py_END_ALLOW_THREADS;
    const bool decoded = count >= 0 && cutter.decode(static_cast<size_t>(count), count == 0);
    if (!decoded) return tokens_.forget_file() ? Taken::kPlain : Taken::kFailed;
    utf8::Piece piece = cutter.take();
    if (!piece.empty() && !tokens_.add_units(std::move(piece))) return Taken::kFailed;
    if (count == 0) return Taken::kDone;
    if (PyErr_CheckSignals() < 0 || !tokens_.keep_up()) return Taken::kFailed;
  }
}

}  // namespace ormek
