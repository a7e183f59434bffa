// check_text_files(paths): the command's tree walk's check of the files it
// found (text_file_check.hpp), made natively on two threads with the host
// detached. One result per path, in order:
//
// - (st_dev, st_ino, st_mode, st_size, problem): the file opened; `problem`
//   is None, or (reason, position) for a regular file that is not UTF-8
//   text, as the strict decoder's UnicodeDecodeError of the whole file gives
//   them;
// - an int: the errno its open failed with;
// - an OSError: what its fstat or read raised.
#include <Python.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "compressor/encode/text_file_check.hpp"
#include "compressor/function_table.hpp"
#include "module/background_work.hpp"
#include "module/binding.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kCheckTextFilesRow = function_row("check_text_files");
// check_text_files' one statement: the checks.
constexpr struct CheckTextFilesLines { int check = 228; } kCheckTextFilesLines{};

// The paths as the file system takes them; false with the error set (a path
// that is not one, or that holds a null byte).
bool take_paths(PyObject* list, std::vector<std::string>& paths) {
  const Py_ssize_t count = PyList_GET_SIZE(list);
  paths.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(list); i++) {
    Ref path = Ref::steal(PyList_GetItemRef(list, i));
    PyObject* encoded = nullptr;
    if (!path || !PyUnicode_FSConverter(path.get(), &encoded)) return false;
    Ref held = Ref::steal(encoded);
    const char* bytes = PyBytes_AS_STRING(encoded);
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(encoded));
    if (std::strlen(bytes) != size) {
      PyErr_SetString(PyExc_ValueError, msg::kEmbeddedNull);
      return false;
    }
    paths.emplace_back(bytes, size);
  }
  return true;
}

// Runs the checks on this thread and a helper, answering signals: false
// with the exception a handler raised (the helper is then told to stop).
bool run_checks(const std::shared_ptr<TextFileChecks>& checks) {
  bool helped = false;
  if (checks->size() > 1) {
    try {
      std::thread([checks] { checks->check_on_helper(); }).detach();
      helped = true;
    } catch (const std::exception&) {
    }
  }
  if (!helped) checks->without_helper();
  utf8::Bytes room(kCheckReadSize);
  if (wait_answering_signals([&] { return checks->check_for(kWaitSlice, room); })) return true;
  checks->stop();
  return false;
}

const char* fault_reason(utf8::Fault fault) {
  switch (fault) {
    case utf8::Fault::kInvalidStart:
      return msg::kInvalidStartByte;
    case utf8::Fault::kInvalidContinuation:
      return msg::kInvalidContinuationByte;
    default:
      return msg::kUnexpectedEndOfData;
  }
}

// One path's result as the docstring above gives it: a new reference, or
// null with the error set.
Ref check_result(const TextFileCheck& check) {
  if (check.open_error) return Ref::steal(PyLong_FromLong(check.open_error));
  if (check.read_error) {
    return Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", check.read_error,
                                            std::strerror(check.read_error)));
  }
  Ref problem = Ref::borrow(Py_None);
  if (check.fault != utf8::Fault::kNone) {
    problem = Ref::steal(Py_BuildValue("(sK)", fault_reason(check.fault),
                                       static_cast<unsigned long long>(check.fault_at)));
    if (!problem) return Ref();
  }
  return Ref::steal(Py_BuildValue("(KKILO)", static_cast<unsigned long long>(check.device),
                                  static_cast<unsigned long long>(check.inode),
                                  static_cast<unsigned int>(check.mode),
                                  static_cast<long long>(check.size), problem.get()));
}

}  // namespace

PyObject* check_text_files_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  BoundArguments bound;
  if (!kCheckTextFilesRow.bind(args, nargs, kwnames, bound)) return nullptr;
  if (!PyList_CheckExact(bound[0])) {  // None too: there is no list to check
    PyErr_Format(PyExc_TypeError, msg::kIncorrectArgumentType, "paths", PyList_Type.tp_name,
                 Py_TYPE(bound[0])->tp_name);
    return nullptr;
  }
  const auto fail = [] { return kCheckTextFilesRow.trace().fail(kCheckTextFilesLines.check); };
  std::vector<std::string> paths;
  if (!take_paths(bound[0], paths)) return fail();
  std::shared_ptr<TextFileChecks> checks;
  try {
    checks = std::make_shared<TextFileChecks>(std::move(paths));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return fail();
  }
  if (!run_checks(checks)) return fail();
  Ref results = Ref::steal(PyList_New(static_cast<Py_ssize_t>(checks->size())));
  if (!results) return fail();
  for (size_t i = 0; i < checks->size(); i++) {
    Ref result = check_result((*checks)[i]);
    if (!result) return fail();
    PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), result.release());
  }
  return results.release();
}

}  // namespace ormek
