// The id loop of the encoding methods (see id_assignment.hpp).
#include "compressor/encode/id_assignment.hpp"

#include <climits>
#include <new>
#include <optional>
#include <vector>

#include "compressor/encode/repeated_ids.hpp"
#include "compressor/package/format.hpp"
#include "module/background_work.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"

namespace ormek {

namespace {

using package::kRecordSize;
using package::store_record;

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
  // An id that two entries of global_dict share (repeated_ids.hpp).
  std::optional<uint32_t> repeated_id;
  bool out_of_memory = false;
};

DictionaryScan walk_dictionaries(PyObject* global_dict, PyObject* inverse_dict, int32_t next_id) {
  DictionaryScan scan;
  auto note_id = [&](PyObject* id, RepeatedIds* repeats) {
    if (!PyLong_Check(id)) return;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow || value > INT32_MAX) return;
    try {
      if (repeats && value >= 0) repeats->note(static_cast<uint32_t>(value));
      if (value >= next_id) scan.taken.push_back(static_cast<int32_t>(value));
    } catch (const std::bad_alloc&) {
      scan.out_of_memory = true;
    }
  };
  scan.plain_entries = PyDict_CheckExact(global_dict) && PyDict_CheckExact(inverse_dict) &&
                       global_dict != inverse_dict;
  if (PyDict_CheckExact(global_dict)) {
    Py_BEGIN_CRITICAL_SECTION(global_dict);
    RepeatedIds repeats(static_cast<size_t>(PyDict_GET_SIZE(global_dict)));
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (!scan.out_of_memory && PyDict_Next(global_dict, &pos, &key, &value)) {
      scan.plain_entries =
          scan.plain_entries && PyUnicode_CheckExact(key) && PyLong_CheckExact(value);
      note_id(value, &repeats);
    }
    if (!scan.out_of_memory) scan.repeated_id = repeats.found();
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
      note_id(key, nullptr);
    }
    Py_END_CRITICAL_SECTION();
  }
  return scan;
}

// ValueError naming `id` and the first two tokens of global_dict (an exact
// dict) that share it.
void raise_repeated_id(PyObject* global_dict, uint32_t id) {
  Ref tokens[2];
  int found = 0;
  Py_BEGIN_CRITICAL_SECTION(global_dict);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (found < 2 && PyDict_Next(global_dict, &pos, &key, &value)) {
    int overflow = 0;
    if (PyLong_Check(value) && PyLong_AsLongLongAndOverflow(value, &overflow) == id && !overflow) {
      tokens[found++] = Ref::borrow(key);
    }
  }
  Py_END_CRITICAL_SECTION();
  if (found < 2) {  // changed meanwhile by another thread: the id alone
    tokens[0] = tokens[1] = Ref::borrow(Py_None);
  }
  PyErr_Format(PyExc_ValueError, msg::kRepeatedTokenId, static_cast<unsigned>(id), tokens[0].get(),
               tokens[1].get());
}

}  // namespace

IdAssigner::IdAssigner(CompressorObject* self, const Trace& trace, const EncoderLines& lines)
    : self_(self), trace_(trace), lines_(lines) {}

bool IdAssigner::scan_dictionaries() {
  DictionaryScan scan = walk_dictionaries(self_->global_dict, self_->inverse_dict, self_->next_id);
  if (scan.out_of_memory) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains);
  }
  if (scan.repeated_id) {
    raise_repeated_id(self_->global_dict, *scan.repeated_id);
    return trace_.fail(lines_.existing_id);
  }
  free_ids_ = IdAllocator(std::move(scan.taken));
  plain_entries_ = scan.plain_entries;
  return true;
}

bool IdAssigner::assign_natively(FirstSightNumbering& numbering, uint8_t* packed,
                                 bool keep_tokens) {
  const bool resolved = resolve_ids(numbering);
  if (!keep_tokens) numbering.release_tokens();
  if (resolved && !resolution_.error) fill_records(numbering, packed);
  return resolved;
}

bool IdAssigner::enter_new_tokens() {
  if (!enter_new_entries()) return false;
  if (!resolution_.error) return true;
  PyErr_SetRaisedException(resolution_.error.release());
  return trace_.fail(resolution_.error_line);
}

// The id a new token takes, the first free one from `next_id` on
// (id_allocator.hpp); false with OverflowError when none is left.
bool IdAssigner::take_new_id(int32_t next_id, int32_t& token_id) {
  if (free_ids_.first_free(next_id, token_id)) return true;
  PyErr_Format(PyExc_OverflowError, msg::kIdSpaceExhausted, next_id);
  return false;
}

// The native id loop over the distinct tokens, in order of first sight: which
// of them global_dict already has (and their ids), and the ids the others
// will get. A failure at token k is the plain loop's failure at that token's
// first occurrence.
bool IdAssigner::resolve_ids(const FirstSightNumbering& numbering) {
  IdResolution& resolution = resolution_;
  const size_t distinct = numbering.distinct();
  PyObject* global_dict = self_->global_dict;
  const bool known_empty = PyDict_GET_SIZE(global_dict) == 0;
  try {
    resolution.ids.resize(distinct);
    resolution.new_keys.reserve(known_empty ? distinct : 0);
    resolution.new_ids.reserve(known_empty ? distinct : 0);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return trace_.fail(lines_.contains);
  }
  int32_t next_id = self_->next_id;
  SignalPoll poll(FirstSightNumbering::kPollTokens);
  auto stop_at = [&resolution](int line) {
    resolution.error = Ref::steal(PyErr_GetRaisedException());
    resolution.error_line = line;
    return true;
  };
  for (size_t k = 0; k < distinct; k++) {
    const FirstSightNumbering::Token& t = numbering.token(k);
    Ref key = Ref::steal(PyUnicode_FromKindAndData(t.kind, t.data, t.length));
    if (!key || poll() < 0) return stop_at(lines_.contains);
    if (!known_empty) {
      PyObject* existing = nullptr;
      if (PyDict_GetItemRef(global_dict, key.get(), &existing) < 0) {
        return stop_at(lines_.contains);
      }
      if (existing) {
        Ref value = Ref::steal(existing);
        const int32_t token_id = as_int32(value.get());
        if (token_id == -1 && PyErr_Occurred()) return stop_at(lines_.existing_id);
        resolution.ids[k] = token_id;
        continue;
      }
    }
    int32_t token_id;
    if (!take_new_id(next_id, token_id)) return stop_at(lines_.new_id);
    try {
      resolution.new_keys.push_back(std::move(key));
      resolution.new_ids.push_back(token_id);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return stop_at(lines_.contains);
    }
    resolution.ids[k] = token_id;
    next_id = token_id + 1;
  }
  return true;
}

// The records, numbers of first sight, stored as the ids they resolved to.
void IdAssigner::fill_records(FirstSightNumbering& numbering, uint8_t* packed) {
  const IdResolution& resolution = resolution_;
  uint8_t* record = packed;
  numbering.drain_records([&](const uint32_t* numbers, size_t count) {
    for (size_t i = 0; i < count; i++, record += kRecordSize) {
      store_record(record, resolution.ids[numbers[i]]);
    }
    return true;
  });
}

// The new tokens of the native way into global_dict and inverse_dict, in
// order of first sight. A dictionary sized for all of them up front and
// handed over with one update measured no faster here and held a second
// table at the peak (75 MB more on 1.75 M tokens), so the entries go in
// one by one, as the plain loop makes them.
bool IdAssigner::enter_new_entries() {
  const IdResolution& resolution = resolution_;
  // Owned for the loop: a signal handler may replace either attribute.
  Ref global_dict = Ref::borrow(self_->global_dict);
  Ref inverse_dict = Ref::borrow(self_->inverse_dict);
  SignalPoll poll(FirstSightNumbering::kPollTokens);
  for (size_t entered = 0; entered < resolution.new_ids.size(); entered++) {
    if (poll() < 0) return trace_.fail(lines_.new_id);
    PyObject* key = resolution.new_keys[entered].get();
    Ref id_object = Ref::steal(PyLong_FromLong(resolution.new_ids[entered]));
    if (!id_object || PyDict_SetItem(global_dict.get(), key, id_object.get()) < 0) {
      return trace_.fail(lines_.new_id);
    }
    if (PyDict_SetItem(inverse_dict.get(), id_object.get(), key) < 0) {
      return trace_.fail(lines_.inverse_entry);
    }
    self_->next_id = resolution.new_ids[entered] + 1;
  }
  return true;
}

// The plain id loop's body for one token, with generic host operations.
bool IdAssigner::assign_one_id(PyObject* token, uint8_t* packed, Py_ssize_t packed_length,
                               int32_t offset) {
  if (token != Py_None && !PyUnicode_CheckExact(token)) {
    raise_expected_type("str", token);
    return trace_.fail(lines_.iterate_tokens);
  }
  int32_t token_id;
  // Held while user code (a mapping's __contains__) may replace the field.
  Ref global_dict = Ref::borrow(self_->global_dict);
  int contained = PySequence_Contains(global_dict.get(), token);
  if (contained < 0) return trace_.fail(lines_.contains);
  if (!contained) {
    if (!take_new_id(self_->next_id, token_id)) return trace_.fail(lines_.new_id);
    Ref id_object = Ref::steal(PyLong_FromLong(token_id));
    global_dict = Ref::borrow(self_->global_dict);
    if (!id_object || PyObject_SetItem(global_dict.get(), token, id_object.get()) < 0) {
      return trace_.fail(lines_.new_id);
    }
    Ref inverse = Ref::borrow(self_->inverse_dict);
    Ref inverse_key = Ref::steal(PyLong_FromLong(token_id));
    if (!inverse_key || PyObject_SetItem(inverse.get(), inverse_key.get(), token) < 0) {
      return trace_.fail(lines_.inverse_entry);
    }
    self_->next_id = token_id + 1;
  } else {
    global_dict = Ref::borrow(self_->global_dict);
    Ref value;
    if (PyDict_CheckExact(global_dict.get())) {
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(global_dict.get(), token, &found) < 0) {
        return trace_.fail(lines_.existing_id);
      }
      if (!found) {
        PyErr_SetObject(PyExc_KeyError, token);
        return trace_.fail(lines_.existing_id);
      }
      value = Ref::steal(found);
    } else {
      value = Ref::steal(PyObject_GetItem(global_dict.get(), token));
      if (!value) return trace_.fail(lines_.existing_id);
    }
    token_id = as_int32(value.get());
    if (token_id == -1 && PyErr_Occurred()) return trace_.fail(lines_.existing_id);
  }
  // Each of the four stores is bounds-tested against the view's length.
  for (int byte = 0; byte < kRecordSize; byte++) {
    if (offset + byte >= packed_length) {
      PyErr_Format(PyExc_IndexError, msg::kBufferOutOfBounds, 0);
      return trace_.fail(lines_.store_byte0 + byte);
    }
  }
  store_record(packed + offset, token_id);
  return true;
}

bool IdAssigner::assign_plainly(PyObject* tokens, uint8_t* packed, Py_ssize_t packed_length) {
  int32_t offset = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tokens); i++) {
    Ref token = Ref::borrow(PyList_GET_ITEM(tokens, i));
    if (!assign_one_id(token.get(), packed, packed_length, offset)) return false;
    offset += kRecordSize;
  }
  return true;
}

}  // namespace ormek
