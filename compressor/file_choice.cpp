// The files a decoding call restores (see file_choice.hpp).
#include "compressor/file_choice.hpp"

#include <new>

#include "compressor/text_units.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"

namespace ormek {

bool FileChoice::pick(PyObject* names) {
  kind_ = Kind::kNamed;
  names_ = Ref::borrow(names);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); i++) {
    PyObject* name = PyList_GET_ITEM(names, i);
    if (!PyUnicode_CheckExact(name)) {
      raise_expected_type("str", name);
      return false;
    }
  }
  wanted_ = Ref::steal(PySet_New(names));
  found_ = Ref::steal(PySet_New(nullptr));
  results_ = Ref::steal(PyList_New(0));
  return wanted_ && found_ && results_;
}

bool FileChoice::measure() {
  kind_ = Kind::kSizes;
  results_ = Ref::steal(PyList_New(0));
  return static_cast<bool>(results_);
}

// 1 when `key` is one of the names given (and marks it found), 0 when not.
int FileChoice::marks(PyObject* key) {
  const int wanted = PySet_Contains(wanted_.get(), key);
  if (wanted <= 0) return wanted;
  return PySet_Add(found_.get(), key) < 0 ? -1 : 1;
}

// The name itself, or a directory of it: each part up to a "/". Every name
// that picks the file is marked, so that "src" and "src/a.py" both count as
// found.
int FileChoice::picks(PyObject* name) {
  if (kind_ != Kind::kNamed) return 1;
  if (!PyUnicode_CheckExact(name)) return 0;  // None, with a join of the user's
  int picked = marks(name);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  for (Py_ssize_t end = 0; picked >= 0; end++) {
    end = PyUnicode_FindChar(name, '/', end, length, 1);
    if (end < 0) break;
    Ref folder = Ref::steal(PyUnicode_Substring(name, 0, end));
    const int marked = folder ? marks(folder.get()) : -1;
    picked = marked < 0 ? -1 : (picked | marked);
  }
  return picked;
}

bool FileChoice::pick_files(const std::vector<StoredFile>& files, std::vector<char>& picked) {
  try {
    picked.assign(files.size(), 1);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (size_t i = 0; i < files.size(); i++) {
    const int picked_one = picks(files[i].name.get());
    if (picked_one < 0) return false;
    picked[i] = static_cast<char>(picked_one);
  }
  return check_all_found();
}

bool FileChoice::check_all_found() const {
  if (kind_ != Kind::kNamed) return true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_.get()); i++) {
    PyObject* name = PyList_GET_ITEM(names_.get(), i);
    const int found = PySet_Contains(found_.get(), name);
    if (found < 0) return false;
    if (!found) {
      PyErr_Format(PyExc_ValueError, msg::kNameNotInPackage, name);
      return false;
    }
  }
  return true;
}

bool FileChoice::record_name(PyObject* name) {
  // kAll: the result is the package's own list.
  return kind_ != Kind::kNamed || PyList_Append(results_.get(), name) == 0;
}

bool FileChoice::record_size(Py_ssize_t size) {
  Ref value = Ref::steal(PyLong_FromSsize_t(size));
  return value && PyList_Append(results_.get(), value.get()) == 0;
}

Py_ssize_t utf8_size(PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) return PyUnicode_GET_LENGTH(text);
  return with_text_units(text, [](const auto* units, size_t length) {
    Py_ssize_t size = 0;
    for (size_t i = 0; i < length; i++) {
      const uint32_t c = units[i];
      size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return size;
  });
}

}  // namespace ormek
