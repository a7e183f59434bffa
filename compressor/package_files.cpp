// The files a package names (see package_files.hpp).
#include "compressor/package_files.hpp"

#include <new>

#include "compressor/stored_names_host.hpp"
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

// A name as the file loop tests it (exactly a str, or None when
// `none_allowed`) and, when a str, as it is judged alone: within the file
// system's limits (looked at before anything is copied from it) and safe.
bool check_name(PyObject* name, bool none_allowed) {
  if (none_allowed && name == Py_None) return true;
  if (!PyUnicode_CheckExact(name)) {
    raise_expected_type("str", name);
    return false;
  }
  if (!check_stored_name_length(name)) return false;
  if (!is_safe_stored_name(name)) {
    PyErr_Format(PyExc_ValueError, msg::kUnsafeFileName, name);
    return false;
  }
  return true;
}

}  // namespace

// for boundary, filename in zip(package["file_boundaries"], package["filenames"]),
// in the order the file loop meets them: each boundary converted to a signed
// 32-bit integer, each name checked; then the names judged together.
bool take_stored_files(PyObject* package, bool none_allowed, std::vector<StoredFile>& files) {
  Ref boundaries = package_item(package, Str::file_boundaries);
  if (!boundaries) return false;
  Ref filenames = package_item(package, Str::filenames);
  if (!filenames) return false;
  Ref pairs = call2(builtin(Builtin::zip), boundaries.get(), filenames.get());
  if (!pairs) return false;
  Ref iter = Ref::steal(PyObject_GetIter(pairs.get()));
  if (!iter) return false;
  StoredNames names;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    Ref boundary;
    Ref name;
    if (!unpack_two(item.get(), boundary, name)) return false;
    const int32_t value = as_int32(boundary.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (!check_name(name.get(), none_allowed)) return false;
    if (name.get() != Py_None && !names.add(name.get())) return false;
    try {
      files.push_back({value, std::move(name)});
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
  }
  return !PyErr_Occurred() && names.check_clashes(false);
}

}  // namespace ormek
