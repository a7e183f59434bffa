// Filling the token table from a dictionary (see tokens_by_id.hpp).
#include "compressor/decode/tokens_by_id.hpp"

#include <cstdint>
#include <new>
#include <string_view>

#include "compressor/text/text_units.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

size_t utf8_bound_of(PyObject* text) {
  return utf8_bound(static_cast<size_t>(PyUnicode_GET_LENGTH(text)), PyUnicode_KIND(text),
                    PyUnicode_IS_ASCII(text));
}

// Counts the token of `id` into `shape`; false when it is too long for an
// entry.
bool count_token(TableShape& shape, uint32_t id, PyObject* token) {
  if (!PyUnicode_Check(token)) {
    shape.count_object(id);
    return true;
  }
  return shape.count_text(id, utf8_bound_of(token));
}

// An id a record can name (0 to 2^31 - 1) from an exact int; false for
// others.
bool record_id(PyObject* number, uint32_t& id) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (overflow || value < 0 || value > INT32_MAX) return false;
  id = static_cast<uint32_t>(value);
  return true;
}

// Visits the entries of inverse_dict whose key a record can name, under the
// dict's lock, while `visit(id, value)` returns true. False when it stopped:
// `visit` said so, or a key is not an exact int (the plain loop's case).
template <typename Visit>
bool visit_record_ids(PyObject* inverse_dict, Visit&& visit) {
  bool going = true;
  Py_BEGIN_CRITICAL_SECTION(inverse_dict);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  uint32_t id = 0;
  while (going && PyDict_Next(inverse_dict, &pos, &key, &value)) {
    going = PyLong_CheckExact(key);
    if (going && record_id(key, id)) going = visit(id, value);  // else no record can name it
  }
  Py_END_CRITICAL_SECTION();
  return going;
}

// "<UNK>" is ASCII, so its code units are its UTF-8 bytes.
std::string_view unknown_token() {
  PyObject* unknown = str(Str::unknown_token);
  return {static_cast<const char*>(PyUnicode_DATA(unknown)),
          static_cast<size_t>(PyUnicode_GET_LENGTH(unknown))};
}

}  // namespace

bool TokensById::measure(PyObject* inverse_dict, TableShape& shape) {
  return visit_record_ids(
             inverse_dict,
             [&](uint32_t id, PyObject* value) { return count_token(shape, id, value); }) &&
         shape.fits();
}

bool TokensById::fill_from_pickled(PickledTokens& pickled) {
  const std::string_view unknown = unknown_token();
  return pickled.fill(table_, unknown.data(), unknown.size());
}

bool TokensById::lay_out(const TableShape& shape) {
  const std::string_view unknown = unknown_token();
  try {
    table_.lay_out(shape, unknown.data(), unknown.size());
    kept_.reserve(shape.opaque);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

TableFill TokensById::fill(PyObject* inverse_dict, const TableShape& shape) {
  if (!lay_out(shape)) return TableFill::kError;
  const bool fits = visit_record_ids(
      inverse_dict, [&](uint32_t id, PyObject* value) { return place(id, value, false, true); });
  return fits ? TableFill::kBuilt : TableFill::kPlainLoop;
}

bool TokensById::fill_from_tokens(PyObject* global_dict) {
  // fn(id, token) for each entry whose id a record can name.
  auto for_each_id = [global_dict](auto&& fn) {
    if (!global_dict) return;
    Py_BEGIN_CRITICAL_SECTION(global_dict);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    uint32_t id = 0;
    while (PyDict_Next(global_dict, &pos, &key, &value)) {
      if (PyLong_CheckExact(value) && record_id(value, id)) fn(id, key);
    }
    Py_END_CRITICAL_SECTION();
  };
  TableShape shape;
  bool fits = true;
  for_each_id([&](uint32_t id, PyObject* token) { fits = count_token(shape, id, token) && fits; });
  // Left to the implementer: a dictionary beyond the table's limits (a
  // token of 512 MiB, 4 GiB of token text) is refused as memory no table
  // here can hold.
  if (!fits || !shape.fits()) {
    PyErr_NoMemory();
    return false;
  }
  if (!lay_out(shape)) return false;
  // Sized for every entry, equal ids or not, the table has room for each.
  for_each_id([this](uint32_t id, PyObject* token) { place(id, token, true, false); });
  return true;
}

// Stores the token of `id`; false when the dict outgrew its measured shape
// (only another thread could have changed it), which nothing here allocates
// for.
bool TokensById::place(uint32_t id, PyObject* token, bool replace, bool keep) {
  const uint32_t at = table_.slot_for(id, replace);
  if (at == TokenTable::kNoSlot) return false;
  if (!PyUnicode_Check(token)) return hold(at, id, token, TokenForm::kOpaque, keep);
  if (!table_.has_room(utf8_bound_of(token))) return false;
  if (PyUnicode_IS_ASCII(token)) {
    table_.put_ascii(at, id, static_cast<const char*>(PyUnicode_DATA(token)),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(token)));
    return true;
  }
  const bool text = with_text_units(token, [&](const auto* units, size_t length) {
    return table_.put_text(at, id, units, length);
  });
  return text || hold(at, id, token, TokenForm::kHeld, keep);
}

// A token kept as its object (`keep`) or only marked. The opaque ones were
// counted; a str with a surrogate grows kept_, and when that finds no memory
// the plain loop runs and meets the shortage itself.
bool TokensById::hold(uint32_t at, uint32_t id, PyObject* token, TokenForm form, bool keep) {
  if (keep && form == TokenForm::kOpaque && kept_.size() == kept_.capacity()) return false;
  if (keep) {
    try {
      kept_.push_back(Ref::borrow(token));
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  table_.put_object(at, id, keep ? static_cast<uint32_t>(kept_.size() - 1) : 0, form);
  return true;
}

Ref TokensById::join_by_host(const unsigned char* payload, Py_ssize_t start,
                             Py_ssize_t stop) const {
  Ref tokens = Ref::steal(PyList_New(stop - start));
  if (!tokens) return Ref();
  for (Py_ssize_t i = start; i < stop; i++) {
    const TokenEntry entry = table_.entry_of(package::record_at(payload, i));
    PyObject* token;
    if (entry.form() == TokenForm::kText) {
      token = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(table_.text(entry)), entry.bytes(),
                                   nullptr);
      if (!token) return Ref();
    } else {
      token = kept_[entry.where].new_ref();
    }
    PyList_SET_ITEM(tokens.get(), i - start, token);
  }
  return Ref::steal(PyUnicode_Join(str(Str::empty), tokens.get()));
}

}  // namespace ormek
