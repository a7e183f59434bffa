#include "module/traceback.hpp"

#include <frameobject.h>

#include <atomic>
#include <cstring>

#include "module/state.hpp"

namespace ormek {

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
    replace_field(cache.entries[pos].code, code);
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
  Ref tb = Ref::steal(exc ? PyException_GetTraceback(exc) : nullptr);
  PyCodeObject* code = PyCode_NewEmpty(file_name, function_name, line);
  if (exc) {
    Ref now = Ref::steal(PyException_GetTraceback(exc));
    if (now.get() != tb.get()) PyException_SetTraceback(exc, tb ? tb.get() : Py_None);
  }
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
  Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
      PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  if (!frame) {
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return;
  }
  PyErr_SetRaisedException(exc);
  // A frame that never ran reports its code's first line, which is `line`.
  if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
    // PyTraceBack_Here leaves the exception in place on failure.
  }
}

}  // namespace ormek
