// restored_text(name, records, tokens, size=None, digest=None): one file's
// text as restoring joins it, for a reader that wants that file alone and
// neither writes nor checks the others (ormek.open's read_text).
//
// `records` are the file's id records as the package holds them (4 bytes
// each, big-endian; a stream that ends inside a record ends before it), and
// `tokens` the package's tokens by id as restoring inverts "global_dict"
// (an id it lacks restores as "<UNK>"). The file is refused as restoring
// refuses it: an id beyond the signed 32-bit range, a token that is not
// text, and, given the file's facts (its size in UTF-8 bytes and its
// digest), text that is not what was packed under `name`. The digest is
// taken over the tokens as they are joined, so the text is walked once.
#include <Python.h>

#include <cstring>

#include "compressor/function_table.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/package/format.hpp"
#include "compressor/text/text_units.hpp"
#include "module/binding.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kRestoredTextRow = function_row("restored_text");
// restored_text's one statement: the join.
constexpr struct RestoredTextLines { int join = 224; } kRestoredTextLines{};

// The facts given for the file, when both are: false with the error set.
bool take_facts(PyObject* size, PyObject* digest, FileFacts& facts, bool& given) {
  given = size != Py_None || digest != Py_None;
  if (!given) return true;
  if (!check_exact_type(size, &PyLong_Type, Str::size) ||
      !check_exact_type(digest, &PyBytes_Type, Str::digest)) {
    return false;
  }
  facts.size = PyLong_AsUnsignedLongLong(size);
  if (facts.size == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
  if (PyBytes_GET_SIZE(digest) != static_cast<Py_ssize_t>(facts.digest.size())) {
    PyErr_Format(PyExc_ValueError, msg::kDigestSize, facts.digest.size());
    return false;
  }
  std::memcpy(facts.digest.data(), PyBytes_AS_STRING(digest), facts.digest.size());
  return true;
}

// The file's tokens in order, each digested on the way; null with the error
// set.
Ref file_tokens(PyObject* name, PyObject* records, PyObject* tokens, ContentDigest& digest) {
  const auto* payload = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(records));
  const Py_ssize_t count = PyBytes_GET_SIZE(records) / package::kRecordSize;
  if (package::has_oversized_record(payload, count)) {
    PyErr_SetString(PyExc_ValueError, msg::kIdOutOfRange);
    return Ref();
  }
  Ref joined = Ref::steal(PyList_New(count));
  if (!joined) return Ref();
  with_text_units(name, [&](const auto* units, size_t length) { digest.begin(units, length); });
  for (Py_ssize_t i = 0; i < count; i++) {
    Ref id = Ref::steal(PyLong_FromUnsignedLong(package::record_at(payload, i)));
    PyObject* token = nullptr;
    if (!id || PyDict_GetItemRef(tokens, id.get(), &token) < 0) return Ref();
    if (!token) token = Py_NewRef(str(Str::unknown_token));
    PyList_SET_ITEM(joined.get(), i, token);
    if (!PyUnicode_Check(token)) {
      PyErr_Format(PyExc_ValueError, msg::kFileDoesNotRestore, name);
      return Ref();
    }
    digest_text(digest, token);
  }
  return joined;
}

}  // namespace

PyObject* restored_text_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  BoundArguments bound;
  if (!kRestoredTextRow.bind(args, nargs, kwnames, bound)) return nullptr;
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::name) ||
      !check_exact_type(bound[1], &PyBytes_Type, Str::records) ||
      !check_exact_type(bound[2], &PyDict_Type, Str::tokens)) {
    return nullptr;
  }
  FileFacts facts;
  bool checked = false;
  ContentDigest digest;
  Ref joined;
  if (take_facts(bound[3], bound[4], facts, checked)) {
    joined = file_tokens(bound[0], bound[1], bound[2], digest);
  }
  if (joined && checked && !check_restored(digest, facts, bound[0])) joined = Ref();
  PyObject* text = joined ? PyUnicode_Join(str(Str::empty), joined.get()) : nullptr;
  if (!text) return kRestoredTextRow.trace().fail(kRestoredTextLines.join);
  return text;
}

}  // namespace ormek
