// The names a package stores for its files, and which of them can be
// restored safely.
//
// A stored name is where decode_package writes a file, relative to its output
// directory, so a name is safe only when it stays inside that directory and
// names a plain file there: a relative POSIX path ("src/pkg/a.py") whose every
// part is a file name of its own. A part that is empty (a leading "/", "a//b",
// a trailing "/"), "." or "..", or that holds a NUL (or, on Windows, a
// backslash or a drive colon: "C:x" joins to a path off the drive) could land
// elsewhere or name no file at all. encode_named_files applies the same rule
// before it writes a package, so that it never stores a name that
// decode_package refuses.
//
// A name must also fit the file system: no part longer than a file name may
// be (NAME_MAX, 255 bytes), and the whole no longer than a path may be
// (PATH_MAX, 4096 bytes with its terminating NUL). Both are counted in UTF-8,
// the file system encoding, where a lone surrogate that stands for an
// undecodable byte is that one byte again. Checked on the name's own code
// units, before anything is copied from it.
//
// Names that are safe one by one can still not be restored together when one
// is a directory of another ("a" and "a/b": "a" cannot be a file and a
// directory at once); equal names are a clash only where the caller says so
// (decode_package restores repeated names one over the other).
//
// Pure C++ over code points: no host object is touched, so the rules are
// tested on their own. stored_names_host.hpp applies them to host strings
// (StoredNames: the names of one package, checked together).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ormek::stored_name {

inline constexpr char32_t kSeparator = U'/';

inline bool is_forbidden_in_part(char32_t c) {
#ifdef _WIN32
  if (c == U'\\' || c == U':') return true;
#endif
  return c == U'\0';
}

// Whether `name` may be restored under an output directory.
template <typename Unit>
bool is_safe(const Unit* units, size_t length) {
  size_t part_start = 0;
  for (size_t i = 0; i <= length; i++) {
    if (i < length && static_cast<char32_t>(units[i]) != kSeparator) {
      if (is_forbidden_in_part(static_cast<char32_t>(units[i]))) return false;
      continue;
    }
    const size_t part_length = i - part_start;
    if (part_length == 0) return false;
    bool all_dots = part_length <= 2;
    for (size_t k = part_start; all_dots && k < i; k++) all_dots = units[k] == U'.';
    if (all_dots) return false;
    part_start = i + 1;
  }
  return true;
}

inline constexpr size_t kMaxPartBytes = 255;
inline constexpr size_t kMaxNameBytes = 4095;

// Bytes of code point `c` in the file system encoding.
inline size_t encoded_size(char32_t c) {
  if (c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF)) return 1;
  if (c < 0x800) return 2;
  return c < 0x10000 ? 3 : 4;
}

// Whether `name` fits the file system's limits on a part and on a path.
template <typename Unit>
bool fits_file_system(const Unit* units, size_t length) {
  if (length > kMaxNameBytes) return false;  // every code point takes a byte at least
  size_t total = 0;
  size_t part = 0;
  for (size_t i = 0; i < length; i++) {
    const auto c = static_cast<char32_t>(units[i]);
    const size_t bytes = encoded_size(c);
    total += bytes;
    part = c == kSeparator ? 0 : part + bytes;
    if (part > kMaxPartBytes) return false;
  }
  return total <= kMaxNameBytes;
}

// Two names that cannot both be restored: `first` names a directory of
// `second` (or the same file, when equal names clash). Indices into the list
// given to find_clash.
struct Clash {
  size_t first;
  size_t second;
};

// The first clash among `names`, scanning the names in order and, within a
// name, its directories from the outermost in.
inline std::optional<Clash> find_clash(const std::vector<std::u32string_view>& names,
                                       bool equal_names_clash) {
  std::unordered_map<std::u32string_view, size_t> first_of;
  first_of.reserve(names.size());
  for (size_t i = 0; i < names.size(); i++) {
    auto [at, inserted] = first_of.emplace(names[i], i);
    if (!inserted && equal_names_clash) return Clash{at->second, i};
  }
  for (size_t i = 0; i < names.size(); i++) {
    const std::u32string_view name = names[i];
    if (first_of[name] != i) continue;  // a repeat: its directories are looked at once
    for (size_t slash = name.find(kSeparator); slash != std::u32string_view::npos;
         slash = name.find(kSeparator, slash + 1)) {
      auto found = first_of.find(name.substr(0, slash));
      if (found != first_of.end()) return Clash{found->second, i};
    }
  }
  return std::nullopt;
}

}  // namespace ormek::stored_name
