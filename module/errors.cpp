#include "module/errors.hpp"

#include <frameobject.h>

#include <atomic>
#include <cstring>

#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

// ---------------------------------------------------------------------------
// Code-object cache for traceback entries.
//
// Entries are sorted by line. The key is (line, function, file): keying on the
// line alone would let a later frame of another function that fails at the same
// line show the first function's name, so equal lines are told apart by name.
// Readers and the single writer are kept apart by an access word: readers add
// one while they search; a writer swaps it from 0 to kWriterBit. Nobody waits:
// a reader that meets a writer makes its own code object, and a writer that
// meets anyone leaves its code object uncached.
namespace {

struct CacheEntry {
  int line;
  const char* function_name;
  const char* file_name;
  PyObject* code;
};

constexpr int32_t kWriterBit = static_cast<int32_t>(0x80000000u);
constexpr int kCacheGrowth = 64;

struct CodeCache {
  int count = 0;
  int capacity = 0;
  CacheEntry* entries = nullptr;
  std::atomic<int32_t> access{0};
};

CodeCache g_code_cache;

int compare_key(const CacheEntry& e, int line, const char* function_name, const char* file_name) {
  if (e.line != line) return e.line < line ? -1 : 1;
  if (int c = std::strcmp(e.function_name, function_name)) return c;
  return std::strcmp(e.file_name, file_name);
}

// Position of the key among the sorted entries, or where it would go.
int cache_position(const CodeCache& cache, int line, const char* function_name,
                   const char* file_name) {
  int lo = 0;
  int hi = cache.count;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (compare_key(cache.entries[mid], line, function_name, file_name) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

PyObject* cache_lookup(int line, const char* function_name, const char* file_name) {
  CodeCache& cache = g_code_cache;
  PyObject* found = nullptr;
  if (cache.access.fetch_add(1, std::memory_order_acquire) >= 0 && cache.entries) {
    int pos = cache_position(cache, line, function_name, file_name);
    if (pos < cache.count && compare_key(cache.entries[pos], line, function_name, file_name) == 0) {
      found = Py_NewRef(cache.entries[pos].code);
    }
  }
  cache.access.fetch_sub(1, std::memory_order_release);
  return found;
}

// Called as the writer. An allocation failure leaves the cache as it was.
void cache_insert(int line, const char* function_name, const char* file_name, PyObject* code) {
  CodeCache& cache = g_code_cache;
  if (!cache.entries) {
    auto* entries = static_cast<CacheEntry*>(PyMem_Malloc(kCacheGrowth * sizeof(CacheEntry)));
    if (!entries) return;
    entries[0] = {line, function_name, file_name, Py_NewRef(code)};
    cache.entries = entries;
    cache.count = 1;
    cache.capacity = kCacheGrowth;
    return;
  }
  int pos = cache_position(cache, line, function_name, file_name);
  if (pos < cache.count && compare_key(cache.entries[pos], line, function_name, file_name) == 0) {
    PyObject* old = cache.entries[pos].code;
    cache.entries[pos].code = Py_NewRef(code);
    Py_DECREF(old);
    return;
  }
  if (cache.count == cache.capacity) {
    int capacity = cache.capacity + kCacheGrowth;
    auto* entries = static_cast<CacheEntry*>(
        PyMem_Realloc(cache.entries, static_cast<size_t>(capacity) * sizeof(CacheEntry)));
    if (!entries) return;
    cache.entries = entries;
    cache.capacity = capacity;
  }
  std::memmove(&cache.entries[pos + 1], &cache.entries[pos],
               static_cast<size_t>(cache.count - pos) * sizeof(CacheEntry));
  cache.entries[pos] = {line, function_name, file_name, Py_NewRef(code)};
  cache.count++;
}

// Makes the empty code object for an entry with the pending exception kept
// aside, so that the creation cannot disturb it.
PyObject* make_entry_code(int line, const char* function_name, const char* file_name) {
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* tb = exc ? PyException_GetTraceback(exc) : nullptr;
  PyCodeObject* code = PyCode_NewEmpty(file_name, function_name, line);
  if (exc) {
    PyObject* now = PyException_GetTraceback(exc);
    if (now != tb) PyException_SetTraceback(exc, tb ? tb : Py_None);
    Py_XDECREF(now);
  }
  Py_XDECREF(tb);
  // Whatever the creation left pending is dropped in favour of the original.
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  return reinterpret_cast<PyObject*>(code);
}

}  // namespace

void add_traceback(const char* function_name, int line, const char* file_name) {
  Ref code;
  if (line != 0) code = Ref::steal(cache_lookup(line, function_name, file_name));
  if (!code) {
    code = Ref::steal(make_entry_code(line, function_name, file_name));
    if (!code) return;
    if (line != 0) {
      int32_t expected = 0;
      if (g_code_cache.access.compare_exchange_strong(expected, kWriterBit,
                                                      std::memory_order_acquire)) {
        cache_insert(line, function_name, file_name, code.get());
        g_code_cache.access.fetch_sub(kWriterBit, std::memory_order_release);
      }
    }
  }
  PyObject* globals = g_state.module_dict;
  Ref scratch_globals;
  if (!globals) {
    // Start-up failed before the namespace was taken; a frame still needs one.
    scratch_globals = Ref::steal(PyDict_New());
    globals = scratch_globals.get();
    if (!globals) return;
  }
  PyObject* exc = PyErr_GetRaisedException();
  PyFrameObject* frame = PyFrame_New(PyThreadState_Get(),
                                     reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr);
  if (!frame) {
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return;
  }
  PyErr_SetRaisedException(exc);
  // A frame that never ran reports its code's first line, which is `line`.
  if (PyTraceBack_Here(frame) < 0) {
    // PyTraceBack_Here leaves the exception in place on failure.
  }
  Py_DECREF(frame);
}

// ---------------------------------------------------------------------------

void raise_exception(PyObject* type, PyObject* value) {
  if (value == Py_None) value = nullptr;
  if (PyExceptionInstance_Check(type)) {
    if (value) {
      PyErr_SetString(PyExc_TypeError, msg::kInstanceWithValue);
      return;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
    return;
  }
  if (!PyExceptionClass_Check(type)) {
    PyErr_SetString(PyExc_TypeError, msg::kRaiseNeedsException);
    return;
  }
  if (value) {
    int is_sub = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type);
    if (is_sub < 0) return;
    if (is_sub) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
      return;
    }
  }
  Ref args;
  if (!value) {
    args = Ref::borrow(g_state.empty_tuple ? g_state.empty_tuple : nullptr);
    if (!args) args = Ref::steal(PyTuple_New(0));
  } else if (PyTuple_Check(value)) {
    args = Ref::borrow(value);
  } else {
    args = Ref::steal(PyTuple_Pack(1, value));
  }
  if (!args) return;
  Ref instance = Ref::steal(PyObject_Call(type, args.get(), nullptr));
  if (!instance) return;
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_Format(PyExc_TypeError, msg::kRaiseCallReturned, type, Py_TYPE(instance.get()));
    return;
  }
  PyErr_SetObject(type, instance.get());
}

Ref get_global(PyObject* name) {
  PyObject* value = nullptr;
  if (g_state.module_dict) {
    if (PyDict_GetItemRef(g_state.module_dict, name, &value) < 0) PyErr_Clear();
    if (value) return Ref::steal(value);
  }
  if (PyObject_GetOptionalAttr(g_state.builtins, name, &value) < 0) return Ref();
  if (!value) PyErr_Format(PyExc_NameError, msg::kNameNotDefined, name);
  return Ref::steal(value);
}

void raise_need_more_values(Py_ssize_t found) {
  PyErr_Format(PyExc_ValueError, msg::kNeedMoreValues, found, found == 1 ? "" : "s");
}

void raise_too_many_values(Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, msg::kTooManyValues, expected);
}

bool unpack_two(PyObject* item, Ref& first, Ref& second) {
  if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
    if (size != 2) {
      if (size > 2) {
        raise_too_many_values(2);
      } else {
        raise_need_more_values(size);
      }
      return false;
    }
    first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
    second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(item));
  if (!iter) return false;
  Ref* slots[] = {&first, &second};
  for (Py_ssize_t i = 0; i < 2; i++) {
    *slots[i] = Ref::steal(PyIter_Next(iter.get()));
    if (!*slots[i]) {
      if (!PyErr_Occurred()) raise_need_more_values(i);
      return false;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(iter.get()));
  if (extra) {
    raise_too_many_values(2);
    return false;
  }
  return !PyErr_Occurred();
}

void raise_expected_type(const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, msg::kExpectedType, expected, Py_TYPE(got)->tp_name);
}

Ref call(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  if (Py_EnterRecursiveCall(msg::kWhileCalling)) return Ref();
  PyObject* result = PyObject_Vectorcall(callable, args, nargs, kwnames);
  Py_LeaveRecursiveCall();
  if (!result && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, msg::kNullWithoutError);
  }
  return Ref::steal(result);
}

Ref call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t nargs,
                PyObject* kwnames) {
  Ref method = Ref::steal(PyObject_GetAttr(obj, name));
  if (!method) return Ref();
  return call(method.get(), args, nargs, kwnames);
}

Ref lookup_special(PyObject* obj, PyObject* name) {
  PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);
  if (!attr) {
    PyErr_SetObject(PyExc_AttributeError, name);
    return Ref();
  }
  descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
  if (get) return Ref::steal(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  return Ref::borrow(attr);
}

int truth_value(PyObject* obj) {
  if (obj == Py_True) return 1;
  if (obj == Py_False || obj == Py_None) return 0;
  return PyObject_IsTrue(obj);
}

// ---------------------------------------------------------------------------

WithBlock::~WithBlock() {
  if (saved_) Py_XDECREF(saved_handled_);
}

bool WithBlock::enter(PyObject* manager) {
  exit_ = lookup_special(manager, str(Str::dunder_exit));
  if (!exit_) return false;
  Ref enter = lookup_special(manager, str(Str::dunder_enter));
  if (!enter) return false;
  value_ = call0(enter.get());
  if (!value_) return false;
  saved_handled_ = PyErr_GetHandledException();
  saved_ = true;
  return true;
}

bool WithBlock::leave_normally() {
  PyObject* args[] = {Py_None, Py_None, Py_None};
  Ref result = call(exit_.get(), args, 3);
  return static_cast<bool>(result);
}

int WithBlock::leave_with_pending() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
  PyErr_SetHandledException(exc.get());
  PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                      tb ? tb.get() : Py_None};
  Ref result = call(exit_.get(), args, 3);
  int swallow = result ? truth_value(result.get()) : -1;
  PyErr_SetHandledException(saved_ ? saved_handled_ : nullptr);
  if (swallow < 0) return 0;  // __exit__ (or its truth test) raised: that error is pending
  if (swallow) return 1;
  PyErr_SetRaisedException(exc.release());
  return 0;
}

}  // namespace ormek
