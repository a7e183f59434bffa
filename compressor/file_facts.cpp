// The "file_facts" of a package: made by the encoder, read and checked by the
// decoder and check_package (see file_facts.hpp).
#include "compressor/file_facts.hpp"

#include <sys/stat.h>

#include <cstring>
#include <new>

#include "compressor/stored_names_host.hpp"
#include "compressor/text_units.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// st_mtim as nanoseconds; a time beyond the 64-bit range (some 292 years
// from 1970 either way) is kept at its end, the nearest the format can say.
int64_t nanoseconds(const struct timespec& t) {
  constexpr int64_t kBillion = 1000000000;
  if (t.tv_sec > INT64_MAX / kBillion - 1) return INT64_MAX;
  if (t.tv_sec < INT64_MIN / kBillion + 1) return INT64_MIN;
  return static_cast<int64_t>(t.tv_sec) * kBillion + t.tv_nsec;
}

void digest_text(ContentDigest& digest, PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) {
    digest.add_bytes(PyUnicode_DATA(text), static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    return;
  }
  with_text_units(text, [&](const auto* units, size_t length) {
    digest.add_text(units, length);
    return 0;
  });
}

Ref list_of(size_t count, auto&& item) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return Ref();
  for (size_t i = 0; i < count; i++) {
    PyObject* made = item(i);
    if (!made) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), made);
  }
  return list;
}

// Refuses malformed facts: ValueError "the package is damaged: its
// "file_facts" ..." with `what`.
bool refuse(const char* what) {
  PyErr_Format(PyExc_ValueError, msg::kFileFactsDamaged, what);
  return false;
}

int refused(const char* what) {
  refuse(what);
  return -1;
}

// An exact list of `count` entries under `key` of the facts, each passed to
// `take(item, index)`, which answers whether it is acceptable.
bool read_list(PyObject* facts, Str key, Py_ssize_t count, const char* what, auto&& take) {
  PyObject* list = PyDict_GetItemWithError(facts, str(key));
  if (!list) return PyErr_Occurred() ? false : refuse(what);
  if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != count) return refuse(what);
  for (Py_ssize_t i = 0; i < count; i++) {
    if (!take(PyList_GET_ITEM(list, i), static_cast<size_t>(i))) return refuse(what);
  }
  return true;
}

// An exact int within [low, high].
bool int_in(PyObject* item, long long low, long long high, long long& value) {
  if (!PyLong_CheckExact(item)) return false;
  int overflow = 0;
  value = PyLong_AsLongLongAndOverflow(item, &overflow);
  return !overflow && value >= low && value <= high;
}

}  // namespace

void begin_file_digest(ContentDigest& digest, PyObject* name) {
  with_text_units(name, [&](const auto* units, size_t length) {
    digest.begin(units, length);
    return 0;
  });
}

void FactsWriter::begin(PyObject* name) { begin_file_digest(digest_, name); }

void FactsWriter::add_units(const void* data, int kind, size_t length) {
  with_units(data, kind, length,
             [this](const auto* units, size_t count) { digest_.add_text(units, count); });
}

void FactsWriter::add_content(PyObject* content) {
  if (PyUnicode_Check(content)) {
    digest_text(digest_, content);
  } else if (PyList_Check(content)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(content); i++) {
      PyObject* token = PyList_GET_ITEM(content, i);
      if (PyUnicode_Check(token)) digest_text(digest_, token);
    }
  }
}

bool FactsWriter::finish_file(PyObject* file) {
  Ref fd_object = call_method(file, str(Str::fileno), nullptr, 0);
  if (!fd_object) return false;
  const int fd = PyLong_AsInt(fd_object.get());
  if (fd == -1 && PyErr_Occurred()) return false;
  return finish(fd);
}

bool FactsWriter::finish(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  FileFacts facts;
  facts.digest = digest_.finish();
  facts.size = digest_.content_bytes();
  facts.mode = st.st_mode & 07777;
  facts.mtime_ns = nanoseconds(st.st_mtim);
  try {
    files_.push_back(facts);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

Ref FactsWriter::make(PyObject* empty_dirs) const {
  const size_t count = files_.size();
  Ref version = Ref::steal(PyLong_FromLong(kFileFactsVersion));
  Ref digests = list_of(count, [&](size_t i) {
    const Digest& d = files_[i].digest;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.data()), d.size());
  });
  Ref sizes = list_of(count, [&](size_t i) { return PyLong_FromUnsignedLongLong(files_[i].size); });
  Ref modes = list_of(count, [&](size_t i) { return PyLong_FromUnsignedLong(files_[i].mode); });
  Ref mtimes = list_of(count, [&](size_t i) { return PyLong_FromLongLong(files_[i].mtime_ns); });
  Ref dirs = Ref::steal(PyList_GetSlice(empty_dirs, 0, PyList_GET_SIZE(empty_dirs)));
  Ref facts = Ref::steal(PyDict_New());
  if (!version || !digests || !sizes || !modes || !mtimes || !dirs || !facts ||
      PyDict_SetItem(facts.get(), str(Str::version), version.get()) < 0 ||
      PyDict_SetItem(facts.get(), str(Str::digests), digests.get()) < 0 ||
      PyDict_SetItem(facts.get(), str(Str::sizes), sizes.get()) < 0 ||
      PyDict_SetItem(facts.get(), str(Str::modes), modes.get()) < 0 ||
      PyDict_SetItem(facts.get(), str(Str::mtimes_ns), mtimes.get()) < 0 ||
      PyDict_SetItem(facts.get(), str(Str::empty_dirs), dirs.get()) < 0) {
    return Ref();
  }
  return facts;
}

int read_package_facts(PyObject* package, PackageFacts& out) {
  if (!PyDict_CheckExact(package)) return 0;
  PyObject* facts = PyDict_GetItemWithError(package, str(Str::file_facts));
  if (!facts) return PyErr_Occurred() ? -1 : 0;
  if (!PyDict_CheckExact(facts)) return refused("are not a dict");
  PyObject* version = PyDict_GetItemWithError(facts, str(Str::version));
  if (!version && PyErr_Occurred()) return -1;
  long long version_number = 0;
  if (!version || !int_in(version, kFileFactsVersion, kFileFactsVersion, version_number)) {
    PyErr_Format(PyExc_ValueError, msg::kFileFactsVersion, version ? version : Py_None,
                 kFileFactsVersion);
    return -1;
  }
  PyObject* names = PyDict_GetItemWithError(package, str(Str::filenames));
  PyObject* boundaries =
      names ? PyDict_GetItemWithError(package, str(Str::file_boundaries)) : nullptr;
  if (PyErr_Occurred()) return -1;
  if (!names || !boundaries || !PyList_CheckExact(names) || !PyList_CheckExact(boundaries) ||
      PyList_GET_SIZE(names) != PyList_GET_SIZE(boundaries)) {
    return refused("do not match a list of names and a list of as many boundaries");
  }
  const Py_ssize_t count = PyList_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < count; i++) {
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(names, i))) {
      return refused("stand beside a stored name that is not a str");
    }
  }
  try {
    out.files.assign(static_cast<size_t>(count), FileFacts());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  long long value = 0;
  const bool read =
      read_list(facts, Str::digests, count, "hold no list of a 16-byte digest per file",
                [&](PyObject* item, size_t i) {
                  if (!PyBytes_CheckExact(item) || PyBytes_GET_SIZE(item) != 16) return false;
                  std::memcpy(out.files[i].digest.data(), PyBytes_AS_STRING(item), 16);
                  return true;
                }) &&
      read_list(facts, Str::sizes, count, "hold no list of a size in bytes per file",
                [&](PyObject* item, size_t i) {
                  if (!int_in(item, 0, INT64_MAX, value)) return false;
                  out.files[i].size = static_cast<uint64_t>(value);
                  return true;
                }) &&
      read_list(facts, Str::modes, count, "hold no list of permission bits (0 to 0o7777) per file",
                [&](PyObject* item, size_t i) {
                  if (!int_in(item, 0, 07777, value)) return false;
                  out.files[i].mode = static_cast<uint32_t>(value);
                  return true;
                }) &&
      read_list(facts, Str::mtimes_ns, count,
                "hold no list of a modification time (64-bit nanoseconds) per file",
                [&](PyObject* item, size_t i) {
                  if (!int_in(item, INT64_MIN, INT64_MAX, value)) return false;
                  out.files[i].mtime_ns = value;
                  return true;
                });
  if (!read) return -1;
  PyObject* dirs = PyDict_GetItemWithError(facts, str(Str::empty_dirs));
  if (!dirs && PyErr_Occurred()) return -1;
  if (!dirs || !PyList_CheckExact(dirs)) return refused("hold no list of empty directories");
  if (!check_empty_dirs(dirs, names, true)) return -1;
  out.empty_dirs = Ref::borrow(dirs);
  return 1;
}

bool check_empty_dirs(PyObject* dirs, PyObject* names, bool from_package) {
  Ref file_names = Ref::steal(PySet_New(names));
  if (!file_names) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dirs); i++) {
    PyObject* dir = PyList_GET_ITEM(dirs, i);
    if (!PyUnicode_CheckExact(dir) || !is_safe_stored_name(dir)) {
      if (from_package) return refuse("name an empty directory that cannot be restored");
      if (!PyUnicode_CheckExact(dir)) {
        raise_expected_type("str", dir);
      } else {
        PyErr_Format(PyExc_ValueError, msg::kUnsafeStoredName, dir);
      }
      return false;
    }
    // The directory, and each directory it lies in, must not be a file.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(dir);
    for (Py_ssize_t end = 1; end <= length; end++) {
      if (end < length && PyUnicode_READ_CHAR(dir, end) != '/') continue;
      Ref part = Ref::steal(PyUnicode_Substring(dir, 0, end));
      if (!part) return false;
      const int clash = PySet_Contains(file_names.get(), part.get());
      if (clash < 0) return false;
      if (clash) {
        if (from_package) return refuse("name an empty directory where a file is stored");
        PyErr_Format(PyExc_ValueError, msg::kEmptyDirIsFile, dir, part.get());
        return false;
      }
    }
  }
  return true;
}

}  // namespace ormek
