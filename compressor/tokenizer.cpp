// tokenize and detokenize: the two overridable methods of OrmekCompressor.
// Each has a wrapper (what Python calls) and a direct entry (what the module's
// own code calls, honouring an override in a Python subclass).
#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#include "compressor/function_table.hpp"
#include "compressor/object.hpp"
#include "compressor/text/text_units.hpp"
#include "compressor/text/token_scanner.hpp"
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

constexpr const FunctionRow& kTokenizeRow = function_row("tokenize");
constexpr const FunctionRow& kDetokenizeRow = function_row("detokenize");

// tokenize's statements: the `def` line (binding, override dispatch, wrapper) and its body.
constexpr struct TokenizeLines {
  int definition = kTokenizeRow.first_line;
  int body = 39;
} kTokenizeLines{};
// detokenize's statements, the same way.
constexpr struct DetokenizeLines {
  int definition = kDetokenizeRow.first_line;
  int body = 42;
} kDetokenizeLines{};

constexpr Trace kTokenizeTrace = kTokenizeRow.trace();
constexpr Trace kDetokenizeTrace = kDetokenizeRow.trace();

// What the override dispatch did.
enum class Dispatch {
  kFailed,      // an exception is set
  kOwnBody,     // no override: the module's own body is to run
  kOverridden,  // an override ran and `result` holds what it returned
};

// The override dispatch shared by both direct entries. Only a subclass can
// override, so an exact OrmekCompressor skips the attribute lookup: the
// encoder dispatches once per file.
Dispatch run_override(CompressorObject* self, Str name, const FunctionRow& own, PyObject* arg,
                      PyTypeObject* expected, const char* expected_name, Ref& result) {
  if (Py_TYPE(self) == &CompressorType) return Dispatch::kOwnBody;
  Ref method = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), str(name)));
  if (!method) return Dispatch::kFailed;
  if (is_own_function(method.get(), own)) return Dispatch::kOwnBody;
  result = call1(method.get(), arg);
  if (!result) return Dispatch::kFailed;
  if (result.get() != Py_None && Py_TYPE(result.get()) != expected) {
    raise_expected_type(expected_name, result.get());
    result = Ref();
    return Dispatch::kFailed;
  }
  return Dispatch::kOverridden;
}

// --- tokenize --------------------------------------------------------------

// One token as a new canonical str. One-byte text that is all ASCII gives
// ASCII tokens without a scan for the widest character; every other case
// lets the host pick the narrowest kind. One-character Latin-1 tokens come
// back as the host's shared single-character strings either way.
template <typename Char>
PyObject* make_token(const Char* units, size_t length, bool ascii_text) {
  if constexpr (std::is_same_v<Char, uint8_t>) {
    if (ascii_text) {
      if (length == 1) return PyUnicode_FromOrdinal(units[0]);
      PyObject* token = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
      if (token) std::memcpy(PyUnicode_1BYTE_DATA(token), units, length);
      return token;
    }
    return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, units, static_cast<Py_ssize_t>(length));
  } else {
    constexpr int kind = sizeof(Char) == 2 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
    return PyUnicode_FromKindAndData(kind, units, static_cast<Py_ssize_t>(length));
  }
}

// The tokens made so far in one call, so that a word repeated through a long
// text becomes one shared object in the list rather than an allocation per
// occurrence: source text is full of repeats ("self", "=", indentation), and
// sharing roughly halves both the time and the memory of a large result.
// Tokens are immutable and compare by value, so sharing them within one
// result changes nothing a caller can rely on; nothing outlives the call.
// Direct-mapped and keyed by content (checked against the text itself, since
// the token may be of a narrower kind), so a miss costs only the hash.
template <typename Char>
class TokenCache {
 public:
  // Longer tokens repeat rarely and would make the hash the main cost.
  static constexpr size_t kMaxLength = 24;
  // Small texts gain nothing from a cache worth allocating.
  static constexpr size_t kMinTokens = 256;
  static constexpr size_t kMaxSlots = 4096;

  TokenCache(const Char* units, size_t token_count) : units_(units) {
    if (token_count < kMinTokens) return;
    slots_.resize(std::min(kMaxSlots, std::bit_ceil(token_count / 4)));
    mask_ = slots_.size() - 1;
  }

  // A new reference to the token text[begin, begin + length).
  PyObject* token(size_t begin, size_t length, bool ascii_text) {
    const Char* units = units_ + begin;
    // One-character Latin-1 tokens are the host's shared strings already.
    if (slots_.empty() || length == 1 || length > kMaxLength) {
      return make_token(units, length, ascii_text);
    }
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < length; ++i) hash = (hash ^ units[i]) * 0x100000001b3ull;
    Slot& slot = slots_[(hash ^ (hash >> 29)) & mask_];
    if (slot.token && slot.length == length &&
        std::memcmp(units_ + slot.begin, units, length * sizeof(Char)) == 0) {
      return Py_NewRef(slot.token);
    }
    PyObject* token = make_token(units, length, ascii_text);
    if (token) slot = Slot{token, begin, length};
    return token;
  }

 private:
  struct Slot {
    PyObject* token = nullptr;  // borrowed: the result list holds it
    size_t begin = 0;
    size_t length = 0;
  };
  const Char* units_;
  size_t mask_ = 0;
  std::vector<Slot> slots_;
};

template <typename Char>
PyObject* scan_into_list(const Char* units, size_t length, bool ascii_text) {
  // Counting first sizes the list exactly: no growth copies and no slack on
  // a list that can hold millions of tokens.
  const size_t count = scan::count_tokens(units, length);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  TokenCache<Char> cache(units, count);
  Py_ssize_t next = 0;
  bool failed = false;
  scan::for_each_token(units, length, [&](size_t begin, size_t end) {
    PyObject* token = cache.token(begin, end - begin, ascii_text);
    if (!token) {
      failed = true;  // the unfilled slots are null, which the list's release skips
      return false;
    }
    PyList_SET_ITEM(list.get(), next++, token);
    return true;
  });
  if (failed) return nullptr;
  return list.release();
}

// The same list as findall("\S+|\s+", text) for an exact str, built from the
// text's own buffer.
PyObject* native_tokenize(PyObject* text) {
  const bool ascii = PyUnicode_IS_ASCII(text);
  return with_text_units(text, [ascii](const auto* units, size_t length) {
    return scan_into_list(units, length, sizeof(*units) == 1 && ascii);
  });
}

// The native scan stands in for `re.findall` only while the module global `re`
// and its `findall` are what start-up imported, and for an exact str (None and
// anything else go to findall, which raises its own errors).
bool native_tokenize_applies(PyObject* re, PyObject* findall, PyObject* text) {
  return is_original(Original::kReFindall, findall, re) && PyUnicode_CheckExact(text);
}

PyObject* tokenize_body(PyObject* text) {
  Ref re = get_global(str(Str::re));
  if (!re) return kTokenizeTrace.fail(kTokenizeLines.body);
  Ref findall = Ref::steal(PyObject_GetAttr(re.get(), str(Str::findall)));
  if (!findall) return kTokenizeTrace.fail(kTokenizeLines.body);
  if (native_tokenize_applies(re.get(), findall.get(), text)) {
    PyObject* tokens = native_tokenize(text);
    if (!tokens) return kTokenizeTrace.fail(kTokenizeLines.body);
    return tokens;
  }
  Ref tokens = call2(findall.get(), str(Str::token_pattern), text);
  if (!tokens) return kTokenizeTrace.fail(kTokenizeLines.body);
  if (tokens.get() != Py_None && !PyList_CheckExact(tokens.get())) {
    raise_expected_type("list", tokens.get());
    return kTokenizeTrace.fail(kTokenizeLines.body);
  }
  return tokens.release();
}

// --- detokenize ------------------------------------------------------------

PyObject* detokenize_body(PyObject* tokens) {
  PyObject* text = PyUnicode_Join(str(Str::empty), tokens);
  if (!text) return kDetokenizeTrace.fail(kDetokenizeLines.body);
  return text;
}

}  // namespace

PyObject* tokenize_direct(CompressorObject* self, PyObject* text, int skip_dispatch) {
  if (!skip_dispatch) {
    Ref result;
    switch (run_override(self, Str::tokenize, kTokenizeRow, text, &PyList_Type, "list", result)) {
      case Dispatch::kFailed:
        return kTokenizeTrace.fail(kTokenizeLines.definition);
      case Dispatch::kOverridden:
        return result.release();
      case Dispatch::kOwnBody:
        break;
    }
  }
  return tokenize_body(text);
}

PyObject* detokenize_direct(CompressorObject* self, PyObject* tokens, int skip_dispatch) {
  if (!skip_dispatch) {
    Ref result;
    switch (run_override(self, Str::detokenize, kDetokenizeRow, tokens, &PyUnicode_Type, "str",
                         result)) {
      case Dispatch::kFailed:
        return kDetokenizeTrace.fail(kDetokenizeLines.definition);
      case Dispatch::kOverridden:
        return result.release();
      case Dispatch::kOwnBody:
        break;
    }
  }
  return detokenize_body(tokens);
}

PyObject* tokenize_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (!kTokenizeRow.bind(args, nargs, kwnames, bound)) return nullptr;
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::text)) return nullptr;
  PyObject* tokens = tokenize_direct(as_compressor(self), bound[0], 1);
  if (!tokens) return kTokenizeTrace.fail(kTokenizeLines.definition);
  return tokens;
}

PyObject* detokenize_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (!kDetokenizeRow.bind(args, nargs, kwnames, bound)) return nullptr;
  if (!check_exact_type(bound[0], &PyList_Type, Str::tokens)) return nullptr;
  PyObject* text = detokenize_direct(as_compressor(self), bound[0], 1);
  if (!text) return kDetokenizeTrace.fail(kDetokenizeLines.definition);
  return text;
}

}  // namespace ormek
