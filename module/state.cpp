#include "module/state.hpp"

#include "module/messages.hpp"
#include "module/ref.hpp"

namespace ormek {

ModuleState g_state;

namespace {

enum StringKind : int { kText, kIdent };

struct StringEntry {
  const char* text;
  Py_ssize_t size;
  StringKind kind;
};

constexpr StringEntry kStringTable[] = {
#define ORMEK_STRING_ENTRY(id, text, kind) {text, sizeof(text) - 1, kind},
    ORMEK_STRING_TABLE(ORMEK_STRING_ENTRY)
#undef ORMEK_STRING_ENTRY
};

constexpr long kIntTable[] = {
#define ORMEK_INT_ENTRY(id, value) value,
    ORMEK_INT_TABLE(ORMEK_INT_ENTRY)
#undef ORMEK_INT_ENTRY
};

// A built-in start-up looks up, and its slot in the cache (-1: not kept).
struct BuiltinLookup {
  const char* name;
  int slot;
};

constexpr BuiltinLookup kBuiltinLookups[] = {
#define ORMEK_BUILTIN_KEPT(id, name) {name, static_cast<int>(Builtin::id)},
#define ORMEK_BUILTIN_CHECKED(name) {name, -1},
    ORMEK_BUILTIN_TABLE(ORMEK_BUILTIN_KEPT, ORMEK_BUILTIN_CHECKED)
#undef ORMEK_BUILTIN_KEPT
#undef ORMEK_BUILTIN_CHECKED
};

// Constants live for the life of the process; a second start-up (after a
// failed first one) reuses what the first one made.
bool g_strings_made = false;

}  // namespace

int make_empty_constants() {
  if (!g_state.empty_tuple) g_state.empty_tuple = PyTuple_New(0);
  if (!g_state.empty_tuple) return -1;
  if (!g_state.empty_bytes) g_state.empty_bytes = PyBytes_FromStringAndSize("", 0);
  if (!g_state.empty_bytes) return -1;
  return 0;
}

int make_string_and_int_constants() {
  if (g_strings_made) return 0;
  for (int i = 0; i < static_cast<int>(Str::count); i++) {
    if (g_state.strings[i]) continue;
    const StringEntry& e = kStringTable[i];
    Ref obj = Ref::steal(e.kind == kIdent ? PyUnicode_InternFromString(e.text)
                                          : PyUnicode_FromStringAndSize(e.text, e.size));
    if (!obj) return -1;
    if (PyObject_Hash(obj.get()) == -1) return -1;
    g_state.strings[i] = obj.release();
  }
  for (int i = 0; i < static_cast<int>(Int::count); i++) {
    if (g_state.ints[i]) continue;
    g_state.ints[i] = PyLong_FromLong(kIntTable[i]);
    if (!g_state.ints[i]) return -1;
  }
  g_strings_made = true;
  return 0;
}

int check_debug_flag() {
  PyObject* builtins = PyEval_GetBuiltins();
  PyObject* flag = builtins ? PyDict_GetItemWithError(builtins, str(Str::dunder_debug)) : nullptr;
  if (!flag) return PyErr_Occurred() ? -1 : 0;
  return PyObject_IsTrue(flag) < 0 ? -1 : 0;
}

int cache_builtins() {
  for (const BuiltinLookup& lookup : kBuiltinLookups) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(g_state.builtins, lookup.name, &found) < 0) return -1;
    Ref value = Ref::steal(found);
    if (!value) {
      Ref name = Ref::steal(PyUnicode_FromString(lookup.name));
      if (name) PyErr_Format(PyExc_NameError, msg::kNameNotDefined, name.get());
      return -1;
    }
    if (lookup.slot >= 0) replace_field(g_state.builtin_objects[lookup.slot], std::move(value));
  }
  return 0;
}

int make_constant_tuples() {
  auto make = [](PyObject*& slot, PyObject* tuple) {
    Ref made = Ref::steal(tuple);
    if (!made) return false;
    replace_field(slot, std::move(made));
    return true;
  };
  if (!make(g_state.enum_checksums,
            PyTuple_Pack(3, integer(Int::checksum_82a3537), integer(Int::checksum_6ae9995),
                         integer(Int::checksum_b068931)))) {
    return -1;
  }
  if (!make(g_state.next_id_lookup_args, PyTuple_Pack(2, str(Str::next_id), integer(Int::one)))) {
    return -1;
  }
  if (!make(g_state.state_checksums,
            PyTuple_Pack(3, integer(Int::checksum_3e12e10), integer(Int::checksum_7d3093e),
                         integer(Int::checksum_18c54b4)))) {
    return -1;
  }
  return 0;
}

}  // namespace ormek
