// read_outline(package_path, *, count_tokens=True): what `list` and `info`
// need of a package (its names, boundaries and facts, the size of its id
// stream and the number of tokens in its dictionary) read natively, without
// a Python object per token: the dictionary's entries are walked past (and
// counted), the id stream is not read at all.
//
// It answers (outline, compressed_bytes, dictionary_size), where outline is
// the package as read_package returns it, but with "compressed" cut to its
// first bytes and "global_dict" an empty dict; or None where the native
// reader does not apply (a package in a shape it does not know, a file it
// cannot open, a dictionary whose keys may repeat, a replaced pickle.load):
// then read_package reads the package, with exactly its results and errors.
// With count_tokens false, dictionary_size is None and the keys are not
// told apart: a listing needs no count, and a key that repeats changes
// nothing else of the outline (the host's dict keeps one entry, the outline
// none). What is judged of a package (names and facts, judged_package.hpp)
// is the same in the outline as in the package.
#include <Python.h>

#include <new>

#include "compressor/function_table.hpp"
#include "compressor/package/distinct_keys.hpp"
#include "compressor/package/keys_on_thread.hpp"
#include "compressor/package/package_file.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kReadOutlineRow = function_row("read_outline");
// read_outline's one statement: the native read.
constexpr struct ReadOutlineLines { int read = 216; } kReadOutlineLines{};

// Counts the dictionary's entries and tells whether their keys are distinct
// (as the host's dict would hold them all), or only walks past them. The
// keys are stored on a second thread while the walk goes on.
class CountedEntries final : public DictionarySink {
 public:
  CountedEntries(bool counting, uint64_t seed) : counting_(counting), keys_(seed) {}
  bool entry(const unsigned char* key, size_t size, utf8::PickledText, PickledId) override {
    if (counting_) stored_.add(key, size);
    return true;
  }
  // Throws std::bad_alloc.
  bool distinct() {
    if (!counting_) return true;
    stored_.finish();
    return keys_.distinct();
  }
  size_t count() const { return keys_.count(); }

 private:
  bool counting_;
  alignas(64) DistinctKeys keys_;  // written on the other thread: not on counting_'s line
  KeysOnThread stored_{keys_};     // ends before keys_
};

// What a walk over the package found: how it ended, whether the keys are
// distinct, and their count (when counted).
struct Walked {
  NativeRead read = NativeRead::kPlain;
  bool distinct = false;
  size_t count = 0;
};

// The package read (or, with `path` null, the file read already walked
// again), its keys hashed with `seed`; their hashes are gone on return.
// Throws std::bad_alloc.
Walked walk_counted(PackageFile& file, PyObject* path, bool counting, uint64_t seed) {
  CountedEntries entries(counting, seed);
  Walked walked;
  walked.read = path ? file.read(path, entries) : file.walk_again(entries);
  walked.distinct = walked.read == NativeRead::kRead && entries.distinct();
  walked.count = entries.count();
  return walked;
}

// The answer, or None where the package is left to read_package; null with
// the exception set only when a signal handler raised.
PyObject* read_outline(PyObject* path, bool count_tokens) {
  PackageFile file;
  Walked walked;
  try {
    walked = walk_counted(file, path, count_tokens, process_seed());
    // Two keys whose hashes share the bits compared look like a repeat; the
    // hashes of another seed tell a true one (shared again) from those.
    if (walked.read == NativeRead::kRead && !walked.distinct) {
      walked = walk_counted(file, nullptr, true, second_process_seed());
    }
  } catch (const std::bad_alloc&) {
    walked.distinct = false;  // read_package says how the host runs out of memory
  }
  if (walked.read == NativeRead::kFailed) return nullptr;
  if (!walked.distinct) return Py_NewRef(Py_None);
  Ref outline = file.outline();
  if (!outline) {  // a value the host makes otherwise, or fails to make: its way says
    PyErr_Clear();
    return Py_NewRef(Py_None);
  }
  Ref count = count_tokens ? Ref::steal(PyLong_FromSize_t(walked.count)) : Ref::borrow(Py_None);
  if (!count) return nullptr;
  return Py_BuildValue("(NKN)", outline.release(),
                       static_cast<unsigned long long>(file.payload_size()), count.release());
}

}  // namespace

PyObject* read_outline_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  BoundArguments bound;
  if (!kReadOutlineRow.bind(args, nargs, kwnames, bound)) return nullptr;
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  const int count_tokens = truth_value(bound[1]);
  if (count_tokens < 0) return kReadOutlineRow.trace().fail(kReadOutlineLines.read);
  PyObject* answer = read_outline(bound[0], count_tokens != 0);
  if (!answer) return kReadOutlineRow.trace().fail(kReadOutlineLines.read);
  return answer;
}

}  // namespace ormek
