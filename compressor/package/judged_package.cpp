// The files a package names (see judged_package.hpp).
#include "compressor/package/judged_package.hpp"

#include <new>

#include "compressor/package/stored_names_host.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"

namespace ormek {

Ref package_item(PyObject* package, Str key) {
  if (PyDict_CheckExact(package)) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(package, str(key), &value);
    if (found == 0) PyErr_SetObject(PyExc_KeyError, str(key));
    return Ref::steal(value);
  }
  return Ref::steal(PyObject_GetItem(package, str(key)));
}

namespace {

// A name as it is judged alone: within the file system's limits (looked at
// before anything is copied from it) and safe.
bool judge_name(PyObject* name) {
  if (!check_stored_name_fits(name)) return false;
  if (!is_safe_stored_name(name)) {
    PyErr_Format(PyExc_ValueError, msg::kUnsafeFileName, name);
    return false;
  }
  return true;
}

// for boundary, filename in zip(package["file_boundaries"], package["filenames"]),
// in the order the file loop meets them: each boundary converted to a signed
// 32-bit integer, each name exactly a str (or None when `none_allowed`) and
// judged once; then the names judged together.
bool take_stored_files(PyObject* package, bool none_allowed, JudgedPackage& judged) {
  Ref boundaries = package_item(package, Str::file_boundaries);
  if (!boundaries) return false;
  Ref filenames = package_item(package, Str::filenames);
  if (!filenames) return false;
  Ref pairs = call2(builtin(Builtin::zip), boundaries.get(), filenames.get());
  if (!pairs) return false;
  Ref iter = Ref::steal(PyObject_GetIter(pairs.get()));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    StoredFile file;
    Ref boundary;
    if (!unpack_two(item.get(), boundary, file.name)) return false;
    file.boundary = as_int32(boundary.get());
    if (file.boundary == -1 && PyErr_Occurred()) return false;
    PyObject* name = file.name.get();
    if (!(none_allowed && name == Py_None)) {
      if (!PyUnicode_CheckExact(name)) {
        raise_expected_type("str", name);
        return false;
      }
      if (!judged.names.add(name, judge_name, file.where)) return false;
    }
    try {
      judged.files.push_back(std::move(file));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
  }
  return !PyErr_Occurred() && judged.names.check_clashes(false);
}

}  // namespace

bool judge_package(PyObject* package, bool none_allowed, JudgedPackage& judged) {
  return take_stored_files(package, none_allowed, judged) &&
         read_package_facts(package, judged.names, judged.facts) >= 0;
}

PyObject* checks_answer(PyObject* names, const JudgedPackage& judged) {
  Ref reach = Ref::steal(PyLong_FromLong(static_cast<long>(judged.facts.reach)));
  return reach ? PyTuple_Pack(2, names, reach.get()) : nullptr;
}

}  // namespace ormek
