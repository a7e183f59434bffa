// The methods that read a package without restoring it, for tools that
// describe one or check what unpacking would write: read_package loads a
// package file the way decode_package loads it (as plain data only, while
// pickle and its load are the host's own) and hands it back whole;
// restored_names names the files decode_package would write from it, and
// judge_package adds how far its checks reach. None reads or changes the
// compressor, so no call lock is taken; the last two judge the package as
// decode_package judges it before it writes anything (judged_package.hpp),
// without decompressing its text.
#include <Python.h>

#include "compressor/function_table.hpp"
#include "compressor/package/judged_package.hpp"
#include "compressor/package/safe_load.hpp"
#include "module/binding.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kReadPackageRow = function_row("read_package");
constexpr const FunctionRow& kRestoredNamesRow = function_row("restored_names");
constexpr const FunctionRow& kJudgePackageRow = function_row("judge_package");

// read_package's statements, at the lines of their traceback entries.
constexpr struct ReadPackageLines {
  int open_package = 127, load_package = 128;
} kReadPackageLines{};
// restored_names' one statement: the judgement.
constexpr struct RestoredNamesLines { int judge = 195; } kRestoredNamesLines{};
// judge_package's one statement, the same.
constexpr struct JudgePackageLines { int judge = 211; } kJudgePackageLines{};

constexpr Trace kReadPackageTrace = kReadPackageRow.trace();

// The names decode_package would write from `package`, judged as it judges
// them and its facts; null with the exception set.
Ref judged_names(PyObject* package, JudgedPackage& judged) {
  if (!judge_package(package, !global_is_original(Original::kOsPathJoin), judged)) return Ref();
  const std::vector<StoredFile>& files = judged.files;
  Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(files.size())));
  if (!names) return Ref();
  for (size_t i = 0; i < files.size(); i++) {
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(files[i].name.get()));
  }
  return names;
}

// The body restored_names and judge_package share: bind the package, judge
// it, and give `answer(names, judged)` (a new reference, or null with the
// exception set) or fail at `judge_line`.
template <typename Answer>
PyObject* answer_judged(const FunctionRow& row, int judge_line, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Answer&& answer) {
  BoundArguments bound;
  if (!row.bind(args, nargs, kwnames, bound)) return nullptr;
  JudgedPackage judged;
  Ref names = judged_names(bound[0], judged);
  PyObject* result = names ? answer(names, judged) : nullptr;
  if (!result) return row.trace().fail(judge_line);
  return result;
}

}  // namespace

PyObject* read_package_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  BoundArguments bound;
  if (!kReadPackageRow.bind(args, nargs, kwnames, bound)) return nullptr;
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  // with open(package_path, "rb") as f: return pickle.load(f)
  Ref package;
  if (load_package_file(bound[0], kReadPackageTrace, kReadPackageLines.open_package,
                        kReadPackageLines.load_package, package) == BlockEnd::kFailed) {
    return nullptr;
  }
  // A swallowed error falls off the end of the method: None.
  return package ? package.release() : Py_NewRef(Py_None);
}

// restored_names(package): the names decode_package would write from
// `package` (as read_package returns it), in writing order, refused as it
// refuses them. Neither the compressor nor the file system is touched.
PyObject* restored_names_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return answer_judged(kRestoredNamesRow, kRestoredNamesLines.judge, args, nargs, kwnames,
                       [](Ref& names, const JudgedPackage&) { return names.release(); });
}

// judge_package(package): restored_names(package) and how far the package's
// checks reach, as check_package answers them once it has restored the text.
PyObject* judge_package_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return answer_judged(
      kJudgePackageRow, kJudgePackageLines.judge, args, nargs, kwnames,
      [](Ref& names, const JudgedPackage& judged) { return checks_answer(names.get(), judged); });
}

}  // namespace ormek
