#include "compressor/stored_names_host.hpp"

#include <new>
#include <optional>
#include <string_view>

#include "compressor/stored_names.hpp"
#include "compressor/text_units.hpp"
#include "module/messages.hpp"

namespace ormek {

bool is_safe_stored_name(PyObject* name) {
  return with_text_units(
      name, [](const auto* units, size_t length) { return stored_name::is_safe(units, length); });
}

bool check_stored_name_length(PyObject* name) {
  const bool fits = with_text_units(name, [](const auto* units, size_t length) {
    return stored_name::fits_file_system(units, length);
  });
  if (!fits) {
    PyErr_Format(PyExc_ValueError, msg::kStoredNameTooLong, name,
                 static_cast<int>(stored_name::kMaxPartBytes),
                 static_cast<int>(stored_name::kMaxNameBytes));
  }
  return fits;
}

bool StoredNames::add(PyObject* name) {
  try {
    auto [at, inserted] = index_of_.emplace(name, names_.size());
    if (inserted) {
      code_points_.push_back(with_text_units(name, [](const auto* units, size_t length) {
        return std::u32string(units, units + length);
      }));
      names_.push_back(Ref::borrow(name));
    }
    added_.push_back(at->second);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool StoredNames::check_clashes(bool equal_names_clash) const {
  std::optional<stored_name::Clash> clash;
  try {
    std::vector<std::u32string_view> views;
    views.reserve(added_.size());
    for (size_t index : added_) views.emplace_back(code_points_[index]);
    clash = stored_name::find_clash(views, equal_names_clash);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (!clash) return true;
  const size_t first = added_[clash->first];
  const size_t second = added_[clash->second];
  if (code_points_[first] == code_points_[second]) {
    PyErr_Format(PyExc_ValueError, msg::kRepeatedStoredName, names_[first].get());
  } else {
    PyErr_Format(PyExc_ValueError, msg::kNameIsDirectoryOfAnother, names_[first].get(),
                 names_[second].get());
  }
  return false;
}

}  // namespace ormek
