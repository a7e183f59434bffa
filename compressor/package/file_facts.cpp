// The "file_facts" of a package: made by the encoder, read and checked by the
// decoder and check_package (see file_facts.hpp).
#include "compressor/package/file_facts.hpp"

#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "compressor/package/facts_digest.hpp"
#include "compressor/package/file_time.hpp"
#include "compressor/package/stored_names_host.hpp"
#include "compressor/text/text_units.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/state.hpp"

namespace ormek {

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

namespace {

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

// An exact int within [low, high].
bool int_in(PyObject* item, long long low, long long high, long long& value) {
  if (!PyLong_CheckExact(item)) return false;
  int overflow = 0;
  value = PyLong_AsLongLongAndOverflow(item, &overflow);
  return !overflow && value >= low && value <= high;
}

bool read_digest(PyObject* item, size_t i, PackageFacts& facts) {
  if (!PyBytes_CheckExact(item) || PyBytes_GET_SIZE(item) != 16) return false;
  std::memcpy(facts.files[i].digest.data(), PyBytes_AS_STRING(item), 16);
  return true;
}

// An exact int within [Low, High], kept in `Field` of entry `i` of `Entries`
// (the files' facts, or the directories').
template <auto Entries, auto Field, long long Low, long long High>
bool read_int(PyObject* item, size_t i, PackageFacts& facts) {
  long long value = 0;
  if (!int_in(item, Low, High, value)) return false;
  auto& kept = (facts.*Entries)[i].*Field;
  kept = static_cast<std::remove_reference_t<decltype(kept)>>(value);
  return true;
}

// An empty directory is judged among the stored names once all are read.
bool read_dir(PyObject* item, size_t, PackageFacts&) { return PyUnicode_CheckExact(item); }

// So is a directory with facts.
bool read_directory_name(PyObject* item, size_t i, PackageFacts& facts) {
  facts.directories[i].name = item;
  return PyUnicode_CheckExact(item);
}

PyObject* write_digest(const FileFacts& file) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(file.digest.data()),
                                   file.digest.size());
}
PyObject* write_size(const FileFacts& file) { return PyLong_FromUnsignedLongLong(file.size); }
PyObject* write_mode(const FileFacts& file) { return PyLong_FromUnsignedLong(file.mode); }
PyObject* write_mtime(const FileFacts& file) { return PyLong_FromLongLong(file.mtime_ns); }

// What the items of a list of "file_facts" stand for.
enum class Items { kPerFile, kEmptyDirs, kPerDirectory };

// One list of "file_facts": one item per stored file, one per directory with
// facts (as many as "dirs" holds), or as many as it holds.
struct FactsRow {
  Str key;
  Items items;
  // What damaged facts are said to do when the list is missing or an item
  // is not acceptable.
  const char* refusal;
  // Checks item `i` and keeps what it says in the facts: false when it is
  // not acceptable.
  bool (*read)(PyObject* item, size_t i, PackageFacts& facts);
  // The item the writer stores for a file (per-file lists).
  PyObject* (*write)(const FileFacts& file);
  // Whether every package with facts holds it; an entry a later release
  // adds is not (the packages written before it lack it).
  bool required = true;
};

// The lists of "file_facts" after "version", in the order of the facts
// digest: adding an entry to the facts is adding a row here.
constexpr FactsRow kFactsRows[] = {
    {Str::digests, Items::kPerFile, msg::kFactsNoDigests, read_digest, write_digest},
    {Str::sizes, Items::kPerFile, msg::kFactsNoSizes,
     read_int<&PackageFacts::files, &FileFacts::size, 0, INT64_MAX>, write_size},
    {Str::modes, Items::kPerFile, msg::kFactsNoModes,
     read_int<&PackageFacts::files, &FileFacts::mode, 0, 07777>, write_mode},
    {Str::mtimes_ns, Items::kPerFile, msg::kFactsNoTimes,
     read_int<&PackageFacts::files, &FileFacts::mtime_ns, INT64_MIN, INT64_MAX>, write_mtime},
    {Str::empty_dirs, Items::kEmptyDirs, msg::kFactsNoEmptyDirs, read_dir, nullptr},
    // The directories' facts, added by a later release: held together or
    // not at all (DirectoryLists).
    {Str::dirs, Items::kPerDirectory, msg::kFactsNoDirs, read_directory_name, nullptr, false},
    {Str::dir_modes, Items::kPerDirectory, msg::kFactsNoDirModes,
     read_int<&PackageFacts::directories, &DirFacts::mode, 0, 0777>, nullptr, false},
    {Str::dir_mtimes_ns, Items::kPerDirectory, msg::kFactsNoDirTimes,
     read_int<&PackageFacts::directories, &DirFacts::mtime_ns, INT64_MIN, INT64_MAX>, nullptr,
     false},
};

bool is_key(PyObject* key, Str known) { return PyUnicode_Compare(key, str(known)) == 0; }

bool is_known_key(PyObject* key) {
  if (!PyUnicode_CheckExact(key)) return false;
  if (is_key(key, Str::version) || is_key(key, Str::facts_digest)) return true;
  for (const FactsRow& row : kFactsRows) {
    if (is_key(key, row.key)) return true;
  }
  return false;
}

// The first key of `dict` for which `wanted(key, value)` holds, or null.
Ref first_key(PyObject* dict, auto&& wanted) {
  Ref found;
  Py_BEGIN_CRITICAL_SECTION(dict);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (!found && PyDict_Next(dict, &pos, &key, &value)) {
    if (wanted(key, value)) found = Ref::borrow(key);
  }
  Py_END_CRITICAL_SECTION();
  return found;
}

// A key this release does not know is refused: damage to a key's name, or an
// entry of a later release that this one cannot check.
bool only_known_keys(PyObject* facts) {
  Ref unknown = first_key(facts, [](PyObject* key, PyObject*) { return !is_known_key(key); });
  if (!unknown) return true;
  PyErr_Format(PyExc_ValueError, msg::kFileFactsUnknownKey, unknown.get());
  return false;
}

// A package without "file_facts" may still hold them under a damaged key: a
// dict with their "version" and "facts_digest" under a key that is none of
// the plain four. Restoring it as a package without checks would drop its
// modes and times unannounced; it is refused instead.
int refuse_facts_elsewhere(PyObject* package) {
  Ref key = first_key(package, [](PyObject* key, PyObject* value) {
    if (!PyDict_CheckExact(value) || !PyDict_GetItem(value, str(Str::facts_digest)) ||
        !PyDict_GetItem(value, str(Str::version))) {
      return false;
    }
    return !PyUnicode_CheckExact(key) ||
           !(is_key(key, Str::compressed) || is_key(key, Str::file_boundaries) ||
             is_key(key, Str::filenames) || is_key(key, Str::global_dict));
  });
  if (!key) return 0;
  PyErr_Format(PyExc_ValueError, msg::kFileFactsMisplaced, key.get());
  return -1;
}

bool read_version(PyObject* facts) {
  PyObject* version = PyDict_GetItemWithError(facts, str(Str::version));
  if (!version && PyErr_Occurred()) return false;
  long long version_number = 0;
  if (!version || !int_in(version, kFileFactsVersion, kFileFactsVersion, version_number)) {
    PyErr_Format(PyExc_ValueError, msg::kFileFactsVersion, version ? version : Py_None,
                 kFileFactsVersion);
    return false;
  }
  return true;
}

// The number of stored files, when "filenames" is a list of str and
// "file_boundaries" a list of as many entries; -1 with the error set.
Py_ssize_t files_beside_facts(PyObject* package) {
  PyObject* names = PyDict_GetItemWithError(package, str(Str::filenames));
  PyObject* boundaries =
      names ? PyDict_GetItemWithError(package, str(Str::file_boundaries)) : nullptr;
  if (PyErr_Occurred()) return -1;
  if (!names || !boundaries || !PyList_CheckExact(names) || !PyList_CheckExact(boundaries) ||
      PyList_GET_SIZE(names) != PyList_GET_SIZE(boundaries)) {
    return refused(msg::kFactsBesideNoNames);
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); i++) {
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(names, i))) {
      return refused(msg::kFactsBesideNameNotStr);
    }
  }
  return PyList_GET_SIZE(names);
}

// How many items each list of the table must hold (-1: any number), and
// whether it must be there: with "dirs", the directories' other lists too.
Py_ssize_t items_wanted(const FactsRow& row, Py_ssize_t files, const PackageFacts& out) {
  if (row.items == Items::kPerFile) return files;
  if (row.items == Items::kPerDirectory) return static_cast<Py_ssize_t>(out.directories.size());
  return -1;
}

// Each list of the table, every item read into `out`.
bool read_rows(PyObject* facts, Py_ssize_t files, PackageFacts& out) {
  PyObject* dirs = PyDict_GetItemWithError(facts, str(Str::dirs));
  if (!dirs && PyErr_Occurred()) return false;
  if (dirs && PyList_CheckExact(dirs)) {
    out.directory_names = Ref::borrow(dirs);
    out.directories.assign(static_cast<size_t>(PyList_GET_SIZE(dirs)), DirFacts());
  }
  for (const FactsRow& row : kFactsRows) {
    PyObject* list = PyDict_GetItemWithError(facts, str(row.key));
    if (!list && PyErr_Occurred()) return false;
    const bool required = row.required || (dirs && row.items == Items::kPerDirectory);
    if (!list && !required) continue;
    const Py_ssize_t wanted = items_wanted(row, files, out);
    if (!list || !PyList_CheckExact(list) || (wanted >= 0 && PyList_GET_SIZE(list) != wanted)) {
      return refuse(row.refusal);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
      if (!row.read(PyList_GET_ITEM(list, i), static_cast<size_t>(i), out)) {
        return refuse(row.refusal);
      }
    }
  }
  return true;
}

// One item in the facts' byte form: an int, bytes, or a str (as `known`
// bytes when given).
void feed_item(FactsForm<FactsDigest>& form, PyObject* item, const AddedName* known) {
  if (PyLong_CheckExact(item)) {
    form.integer(PyLong_AsLongLong(item));
  } else if (PyBytes_CheckExact(item)) {
    form.sized(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
  } else if (known) {
    form.sized(known->bytes.data(), known->bytes.size());
  } else if (PyUnicode_CheckExact(item) && PyUnicode_IS_ASCII(item)) {
    form.sized(PyUnicode_DATA(item), static_cast<size_t>(PyUnicode_GET_LENGTH(item)));
  } else if (PyUnicode_CheckExact(item)) {
    std::string bytes;
    append_utf8_of(item, bytes);
    form.sized(bytes.data(), bytes.size());
  }
}

void feed_key(FactsForm<FactsDigest>& form, Str key) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str(key), &size);
  form.key(std::string_view(text, static_cast<size_t>(size)));
}

// The digest of `facts`, whose entries read_rows accepted or the writer
// made; `dirs`, when given, holds the bytes of its empty directories. False
// with MemoryError set.
bool digest_of_facts(PyObject* facts, const std::vector<AddedName>* dirs, Digest& out) {
  FactsDigest digest;
  FactsForm<FactsDigest> form(digest);
  feed_key(form, Str::version);
  form.integer(kFileFactsVersion);
  try {
    for (const FactsRow& row : kFactsRows) {
      PyObject* list = PyDict_GetItem(facts, str(row.key));
      if (!list) continue;  // an entry of a later release, not held
      feed_key(form, row.key);
      const auto count = static_cast<size_t>(PyList_GET_SIZE(list));
      form.count(count);
      const bool known = dirs && row.key == Str::empty_dirs && dirs->size() == count;
      for (size_t i = 0; i < count; i++) {
        PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        feed_item(form, item, known ? &(*dirs)[i] : nullptr);
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  out = digest.finish();
  return true;
}

// Checks "facts_digest", when the facts hold it, against the facts.
bool verify_facts_digest(PyObject* facts, PackageFacts& out) {
  PyObject* stated = PyDict_GetItemWithError(facts, str(Str::facts_digest));
  if (!stated) {
    if (PyErr_Occurred()) return false;
    out.reach = ChecksReach::kFiles;
    return true;
  }
  if (!PyBytes_CheckExact(stated) || PyBytes_GET_SIZE(stated) != 16) {
    return refuse(msg::kFactsDigestNot16Bytes);
  }
  Digest digest;
  if (!digest_of_facts(facts, &out.dirs, digest)) return false;
  if (std::memcmp(digest.data(), PyBytes_AS_STRING(stated), digest.size()) != 0) {
    return refuse(msg::kFactsDigestMismatch);
  }
  out.reach = ChecksReach::kFilesAndFacts;
  return true;
}

bool judge_dir_of_package(PyObject* dir) {
  if (!PyUnicode_CheckExact(dir)) return refuse(msg::kFactsEmptyDirNotStr);
  const bool restorable = with_text_units(dir, [](const auto* units, size_t length) {
    return stored_name::is_safe(units, length) && stored_name::fits_file_system(units, length) &&
           stored_name::is_encodable(units, length);
  });
  if (!restorable) PyErr_Format(PyExc_ValueError, msg::kEmptyDirCannotBeRestored, dir);
  return restorable;
}

void dir_of_package_in_file(PyObject*, PyObject*) { refuse(msg::kFactsEmptyDirIsFile); }

bool judge_given_dir(PyObject* dir) {
  if (!PyUnicode_CheckExact(dir)) {
    raise_expected_type("str", dir);
    return false;
  }
  if (!is_safe_stored_name(dir)) {
    PyErr_Format(PyExc_ValueError, msg::kUnsafeStoredName, dir);
    return false;
  }
  return check_stored_name_fits(dir);
}

void given_dir_in_file(PyObject* dir, PyObject* file) {
  PyErr_Format(PyExc_ValueError, msg::kEmptyDirIsFile, dir, file);
}

// The directories with facts, judged as empty directories are: names that
// restore safely, none of them a stored file or in one.
bool judge_directories(StoredNames& names, PackageFacts& out) {
  for (DirFacts& dir : out.directories) {
    if (!names.add_directory(dir.name, judge_dir_of_package, dir_of_package_in_file, dir.where)) {
      return false;
    }
  }
  return true;
}

// An item of dir_facts: a (str, int, int) tuple; false with the error set.
bool take_directory(PyObject* item, DirectoryLists& lists, Py_ssize_t i) {
  if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3 ||
      !PyUnicode_CheckExact(PyTuple_GET_ITEM(item, 0)) ||
      !PyLong_CheckExact(PyTuple_GET_ITEM(item, 1)) ||
      !PyLong_CheckExact(PyTuple_GET_ITEM(item, 2))) {
    PyErr_Format(PyExc_TypeError, msg::kDirFactsItem, item);
    return false;
  }
  long long value = 0;
  if (!int_in(PyTuple_GET_ITEM(item, 1), 0, 0777, value) ||
      !int_in(PyTuple_GET_ITEM(item, 2), INT64_MIN, INT64_MAX, value)) {
    PyErr_Format(PyExc_ValueError, msg::kDirFactsRange, PyTuple_GET_ITEM(item, 0));
    return false;
  }
  PyObject* lists_by_part[] = {lists.names.get(), lists.modes.get(), lists.mtimes_ns.get()};
  for (Py_ssize_t part = 0; part < 3; part++) {
    PyObject* value_at = PyTuple_GET_ITEM(item, part);
    PyList_SET_ITEM(lists_by_part[part], i, Py_NewRef(value_at));
  }
  return true;
}

}  // namespace

bool restored_matches(const ContentDigest& restored, const FileFacts& facts) {
  return restored.content_bytes() == facts.size && restored.finish() == facts.digest;
}

bool refuse_damaged(PyObject* name) {
  PyErr_Format(PyExc_ValueError, msg::kPackageDamaged, name);
  return false;
}

bool check_restored(const ContentDigest& restored, const FileFacts& facts, PyObject* name) {
  return restored_matches(restored, facts) || refuse_damaged(name);
}

void FactsWriter::begin(PyObject* name) {
  with_text_units(name, [&](const auto* units, size_t length) {
    digest_.begin(units, length);
    return 0;
  });
}

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
  facts.mtime_ns = nanoseconds_of(st.st_mtim);
  try {
    files_.push_back(facts);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

Ref FactsWriter::make(PyObject* empty_dirs, const DirectoryLists& dirs) const {
  Ref facts = Ref::steal(PyDict_New());
  Ref version = Ref::steal(PyLong_FromLong(kFileFactsVersion));
  if (!facts || !version || PyDict_SetItem(facts.get(), str(Str::version), version.get()) < 0) {
    return Ref();
  }
  for (const FactsRow& row : kFactsRows) {
    Ref list;
    if (row.items == Items::kPerFile) {
      list = list_of(files_.size(), [&](size_t i) { return row.write(files_[i]); });
    } else if (row.items == Items::kEmptyDirs) {
      list = Ref::steal(PyList_GetSlice(empty_dirs, 0, PY_SSIZE_T_MAX));
    } else if (!dirs.names) {
      continue;  // no directory facts given: none written
    } else {
      list = row.key == Str::dirs        ? dirs.names
             : row.key == Str::dir_modes ? dirs.modes
                                         : dirs.mtimes_ns;
    }
    if (!list || PyDict_SetItem(facts.get(), str(row.key), list.get()) < 0) return Ref();
  }
  Digest digest;
  if (!digest_of_facts(facts.get(), nullptr, digest)) return Ref();
  Ref stated = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digest.data()), digest.size()));
  if (!stated || PyDict_SetItem(facts.get(), str(Str::facts_digest), stated.get()) < 0) {
    return Ref();
  }
  return facts;
}

bool DirectoryLists::take(PyObject* dir_facts) {
  const Py_ssize_t count = PyList_GET_SIZE(dir_facts);
  names = Ref::steal(PyList_New(count));
  modes = names ? Ref::steal(PyList_New(count)) : Ref();
  mtimes_ns = modes ? Ref::steal(PyList_New(count)) : Ref();
  if (!mtimes_ns) return false;
  for (Py_ssize_t i = 0; i < count; i++) {
    if (!take_directory(PyList_GET_ITEM(dir_facts, i), *this, i)) {
      names = Ref();  // none written
      return false;
    }
  }
  return true;
}

int read_package_facts(PyObject* package, StoredNames& names, PackageFacts& out) {
  if (!PyDict_CheckExact(package)) return 0;
  PyObject* facts = PyDict_GetItemWithError(package, str(Str::file_facts));
  if (!facts) return PyErr_Occurred() ? -1 : refuse_facts_elsewhere(package);
  if (!PyDict_CheckExact(facts)) return refused(msg::kFactsNotADict);
  if (!only_known_keys(facts) || !read_version(facts)) return -1;
  const Py_ssize_t files = files_beside_facts(package);
  if (files < 0) return -1;
  try {
    out.files.assign(static_cast<size_t>(files), FileFacts());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  if (!read_rows(facts, files, out)) return -1;
  out.empty_dirs = Ref::borrow(PyDict_GetItem(facts, str(Str::empty_dirs)));
  if (!judge_empty_dirs(out.empty_dirs.get(), names, true, &out.dirs) ||
      !judge_directories(names, out) || !verify_facts_digest(facts, out)) {
    return -1;
  }
  return 1;
}

bool judge_empty_dirs(PyObject* dirs, StoredNames& names, bool from_package,
                      std::vector<AddedName>* added) {
  const StoredNames::Judge judge = from_package ? judge_dir_of_package : judge_given_dir;
  const StoredNames::LiesInFile in_file = from_package ? dir_of_package_in_file : given_dir_in_file;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dirs); i++) {
    AddedName where;
    if (!names.add_directory(PyList_GET_ITEM(dirs, i), judge, in_file, where)) return false;
    if (!added) continue;
    try {
      added->push_back(where);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
  }
  return true;
}

}  // namespace ormek
