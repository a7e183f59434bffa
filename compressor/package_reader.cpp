// read_package: a package file loaded the way decode_package loads it (as
// plain data only, while pickle and its load are the host's own) and handed
// back whole, without restoring anything. The compressor is neither read nor
// changed, so no call lock is taken. Tools that only describe a package use
// it, and get the same refusals as decode_package.
#include <Python.h>

#include "compressor/methods.hpp"
#include "compressor/package_loader.hpp"
#include "module/binding.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kReadPackageRow = function_row("read_package");

namespace line {
constexpr int kBinding = kReadPackageRow.first_line;
constexpr int kOpenPackage = 127;
constexpr int kLoadPackage = 128;
}  // namespace line

constexpr Trace kReadPackageTrace = kReadPackageRow.trace();

}  // namespace

PyObject* read_package_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  BoundArguments bound;
  if (bind_vectorcall(kReadPackageRow.signature(), args, nargs, kwnames, bound) < 0) {
    return kReadPackageTrace.fail(line::kBinding);
  }
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  // with open(package_path, "rb") as f: return pickle.load(f)
  Ref package;
  if (load_package_file(bound[0], kReadPackageTrace, line::kOpenPackage, line::kLoadPackage,
                        package) == BlockEnd::kFailed) {
    return nullptr;
  }
  // A swallowed error falls off the end of the method: None.
  return package ? package.release() : Py_NewRef(Py_None);
}

}  // namespace ormek
