#include "compressor/name_checks.hpp"

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

bool StoredNames::add(PyObject* name) {
  try {
    code_points_.push_back(with_text_units(name, [](const auto* units, size_t length) {
      return std::u32string(units, units + length);
    }));
    names_.push_back(Ref::borrow(name));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool StoredNames::check_clashes(bool equal_names_clash) const {
  std::optional<stored_name::Clash> clash;
  try {
    std::vector<std::u32string_view> views(code_points_.begin(), code_points_.end());
    clash = stored_name::find_clash(views, equal_names_clash);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (!clash) return true;
  PyObject* first = names_[clash->first].get();
  PyObject* second = names_[clash->second].get();
  if (code_points_[clash->first] == code_points_[clash->second]) {
    PyErr_Format(PyExc_ValueError, msg::kRepeatedStoredName, first);
  } else {
    PyErr_Format(PyExc_ValueError, msg::kNameIsDirectoryOfAnother, first, second);
  }
  return false;
}

}  // namespace ormek
