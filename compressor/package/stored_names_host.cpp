#include "compressor/package/stored_names_host.hpp"

#include <new>
#include <optional>

#include "compressor/text/text_units.hpp"
#include "module/messages.hpp"

namespace ormek {

bool is_safe_stored_name(PyObject* name) {
  return with_text_units(
      name, [](const auto* units, size_t length) { return stored_name::is_safe(units, length); });
}

bool check_stored_name_fits(PyObject* name) {
  const bool fits = with_text_units(name, [](const auto* units, size_t length) {
    return stored_name::fits_file_system(units, length);
  });
  if (!fits) {
    PyErr_Format(PyExc_ValueError, msg::kStoredNameTooLong, name,
                 static_cast<int>(stored_name::kMaxPartBytes),
                 static_cast<int>(stored_name::kMaxNameBytes));
    return false;
  }
  const bool encodable = with_text_units(name, [](const auto* units, size_t length) {
    return stored_name::is_encodable(units, length);
  });
  if (!encodable) PyErr_Format(PyExc_ValueError, msg::kStoredNameNotEncodable, name);
  return encodable;
}

StoredNames::Distinct* StoredNames::distinct(PyObject* name, Judge judge) {
  auto found = index_of_.find(name);
  if (found != index_of_.end()) return &distinct_[found->second];
  if (!judge(name)) return nullptr;
  Distinct& entry = distinct_.emplace_back();
  entry.name = Ref::borrow(name);
  append_utf8_of(name, entry.bytes);
  entry.node = tree_.add(entry.bytes);
  index_of_.emplace(name, distinct_.size() - 1);
  return &entry;
}

bool StoredNames::add(PyObject* name, Judge judge, AddedName& added) {
  try {
    if (added_.size() >= NameTree::kNoName) throw std::bad_alloc();
    Distinct* entry = distinct(name, judge);
    if (!entry) return false;
    tree_.mark_name(entry->node, static_cast<uint32_t>(added_.size()));
    added_.push_back(entry->node);
    added_distinct_.push_back(entry);
    added = {entry->node, entry->bytes};
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool StoredNames::check_clashes(bool equal_names_clash) const {
  std::optional<stored_name::Clash> clash;
  try {
    clash = stored_name::find_clash(tree_, added_, equal_names_clash);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (!clash) return true;
  const Distinct* first = added_distinct_[clash->first];
  const Distinct* second = added_distinct_[clash->second];
  if (first->node == second->node) {
    PyErr_Format(PyExc_ValueError, msg::kRepeatedStoredName, first->name.get());
  } else {
    PyErr_Format(PyExc_ValueError, msg::kNameIsDirectoryOfAnother, first->name.get(),
                 second->name.get());
  }
  return false;
}

bool StoredNames::add_directory(PyObject* dir, Judge judge, LiesInFile lies_in_file,
                                AddedName& added) {
  try {
    Distinct* entry = distinct(dir, judge);
    if (!entry) return false;
    added = {entry->node, entry->bytes};
    if (entry->judged_as_directory) return true;
    // The directory, and each directory it lies in, must not be a file.
    uint32_t file = NameTree::kNoName;
    tree_.each_directory(entry->node, [&](NameTree::Node up) {
      file = tree_.name_at(up);
      return file == NameTree::kNoName;
    });
    if (file == NameTree::kNoName) file = tree_.name_at(entry->node);
    if (file != NameTree::kNoName) {
      lies_in_file(dir, added_distinct_[file]->name.get());
      return false;
    }
    tree_.mark_directory(entry->node);
    entry->judged_as_directory = true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

}  // namespace ormek
