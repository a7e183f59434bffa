// The encoding methods as Python calls them: bind, convert and test the
// arguments, then run the encoder (encoder.hpp).
#include <utility>

#include "compressor/encode/encoder.hpp"
#include "compressor/encode/encoder_lines.hpp"
#include "compressor/function_table.hpp"
#include "compressor/object.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// Binding and the conversions of zstd_level and threads, shared by both
// methods (their parameters differ only in the first one's name and type).
bool bind_encoding_call(const EncodingMethod& method, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, BoundArguments& bound, int32_t& level,
                        int32_t& threads) {
  if (!method.row.bind(args, nargs, kwnames, bound)) return false;
  level = as_int32(bound[2]);
  if (level == -1 && PyErr_Occurred()) return method.trace.fail(method.lines.binding);
  threads = as_int32(bound[3]);
  if (threads == -1 && PyErr_Occurred()) return method.trace.fail(method.lines.binding);
  return true;
}

// The index of encode_named_files' `checks`, after the four parameters both
// methods share.
constexpr Py_ssize_t kCheckedParameter = 4;
constexpr Py_ssize_t kFollowLinksParameter = 6;
constexpr Py_ssize_t kPackageDictParameter = 7;

// encode_named_files' keyword-only package_dict: which token dictionary the
// package carries. False with ValueError for any other value.
bool take_package_dictionary(PyObject* value, PackageDictionary& chosen) {
  const std::pair<Str, PackageDictionary> choices[] = {{Str::whole, PackageDictionary::kWhole},
                                                       {Str::used, PackageDictionary::kUsed},
                                                       {Str::own, PackageDictionary::kOwn}};
  if (PyUnicode_CheckExact(value)) {
    for (const auto& [name, dictionary] : choices) {
      if (PyUnicode_Compare(value, str(name)) == 0) {
        chosen = dictionary;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, msg::kBadPackageDict, value);
  return false;
}

constexpr Py_ssize_t kDirFactsParameter = 8;

// encode_named_files' keyword-only dir_facts=None: the (name, mode,
// mtime_ns) of directories, stored with the checks.
bool take_dir_facts(const EncodingMethod& method, PyObject* dir_facts, bool checks,
                    Encoder& encoder) {
  if (!check_exact_type(dir_facts, &PyList_Type, Str::dir_facts)) return false;
  if (dir_facts == Py_None || PyList_GET_SIZE(dir_facts) == 0) return true;
  if (!checks) {
    PyErr_SetString(PyExc_ValueError, msg::kDirFactsNeedChecks);
    return method.trace.fail(method.lines.binding);
  }
  if (!encoder.keep_dir_facts(dir_facts)) return method.trace.fail(method.lines.binding);
  return true;
}

// Both wrappers: bind, convert, test the first argument (a list, named
// `first_name`) and output_path, then run the encoder on the list.
PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const EncodingMethod& method, Str first_name,
                 PyObject* (Encoder::*run_on)(PyObject*)) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  int32_t level;
  int32_t threads;
  if (!bind_encoding_call(method, args, nargs, kwnames, bound, level, threads)) return nullptr;
  if (!check_exact_type(bound[0], &PyList_Type, first_name)) return nullptr;
  if (!check_exact_type(bound[1], &PyUnicode_Type, Str::output_path)) return nullptr;
  Encoder encoder(as_compressor(self), method, bound[1], level, threads);
  if (method.row.signature().count > kCheckedParameter) {
    // encode_named_files' keyword-only checks=False, empty_dirs=None.
    const int checks = truth_value(bound[kCheckedParameter]);
    if (checks < 0) return method.trace.fail(method.lines.binding);
    PyObject* empty_dirs = bound[kCheckedParameter + 1];
    if (!check_exact_type(empty_dirs, &PyList_Type, Str::empty_dirs)) return nullptr;
    if (!checks && empty_dirs != Py_None && PyList_GET_SIZE(empty_dirs) > 0) {
      PyErr_SetString(PyExc_ValueError, msg::kEmptyDirsNeedChecks);
      return method.trace.fail(method.lines.binding);
    }
    if (checks && !encoder.keep_file_facts(empty_dirs)) {
      return method.trace.fail(method.lines.binding);
    }
    if (method.row.signature().count > kDirFactsParameter &&
        !take_dir_facts(method, bound[kDirFactsParameter], checks, encoder)) {
      return nullptr;
    }
  }
  // encode_named_files' keyword-only follow_links: false opens each input
  // without following a link at its path (the command's walked files).
  if (method.row.signature().count > kFollowLinksParameter) {
    const int follow_links = truth_value(bound[kFollowLinksParameter]);
    if (follow_links < 0) return method.trace.fail(method.lines.binding);
    encoder.follow_links(follow_links != 0);
  }
  if (method.row.signature().count > kPackageDictParameter) {
    PackageDictionary dictionary;
    if (!take_package_dictionary(bound[kPackageDictParameter], dictionary)) {
      return method.trace.fail(method.lines.binding);
    }
    encoder.carry_dictionary(dictionary);
  }
  return (encoder.*run_on)(bound[0]);
}

}  // namespace

PyObject* encode_files_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return encode(self, args, nargs, kwnames, kEncodeFiles, Str::filepaths, &Encoder::run_on_paths);
}

PyObject* encode_named_files_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return encode(self, args, nargs, kwnames, kEncodeNamedFiles, Str::entries,
                &Encoder::run_on_entries);
}

}  // namespace ormek
