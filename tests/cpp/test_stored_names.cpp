// Checks of the stored-name rules: which names restore safely under an output
// directory, and which sets of names clash.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compressor/stored_names.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;
using namespace std::string_literals;
namespace names = ormek::stored_name;

std::string shown(std::u32string_view name) {
  std::string out;
  for (char32_t c : name) out += c < 0x80 && c >= 0x20 ? static_cast<char>(c) : '?';
  return out;
}

void check_safety() {
  const std::u32string safe[] = {U"a",   U"a.txt",        U"...",    U".a",
                                 U"a.",  U"src/pkg/a.py", U"a b/ c", U"\u00e9/\U0001f600",
                                 U"a\\b"};
  // Built with their lengths: some hold a NUL.
  const std::u32string unsafe[] = {U""s,     U"."s,    U".."s,   U"/a"s,     U"a/"s,    U"a//b"s,
                                   U"/"s,    U"./a"s,  U"a/.."s, U"a/../b"s, U"a/./b"s, U"a\0b"s,
                                   U"..\0"s, U"x/\0"s, U"//"s,   U"a/b/"s,   U"../a"s};
  for (const auto& name : safe) {
    check(names::is_safe(name.data(), name.size()), "safe: " + shown(name));
  }
  for (const auto& name : unsafe) {
    check(!names::is_safe(name.data(), name.size()), "unsafe: " + shown(name));
  }
  // The same verdict in every code-unit width.
  const std::u8string narrow = u8"src/../x";
  check(!names::is_safe(reinterpret_cast<const unsigned char*>(narrow.data()), narrow.size()),
        "unsafe in 1-byte units");
  const std::u16string wide = u"d\u20ac/f";
  check(names::is_safe(wide.data(), wide.size()), "safe in 2-byte units");
}

void check_limits() {
  const std::u32string part(255, U'a');
  std::u32string deep;
  while (deep.size() < 4094) deep += U"d/";
  const std::pair<std::u32string, bool> cases[] = {
      {part, true},
      {part + U"/" + part, true},
      {U"d/" + part + U"a/f", false},
      {std::u32string(127, U'\u00e9') + U"a", true},  // 255 bytes
      {std::u32string(128, U'\u00e9'), false},
      {std::u32string(255, U'\xdcff'), true},  // undecodable bytes, one each
      {std::u32string(64, U'\U0001f600'), false},
      {deep + U"f", true},
      {deep + U"\u00e9", false},  // 4096 bytes
  };
  for (const auto& [name, fits] : cases) {
    check(names::fits_file_system(name.data(), name.size()) == fits,
          "limits: " + std::to_string(name.size()) + " code points");
  }
}

struct ClashCase {
  std::vector<std::u32string_view> names;
  bool equal_names_clash;
  bool clashes;
  size_t first = 0;
  size_t second = 0;
};

void check_clashes() {
  const ClashCase cases[] = {
      {{U"a", U"b", U"c/d"}, true, false},
      {{U"a", U"a/b"}, false, true, 0, 1},
      {{U"a/b", U"a"}, false, true, 1, 0},
      {{U"x/y/z", U"q", U"x/y"}, false, true, 2, 0},
      {{U"ab", U"a/b", U"a/bc"}, false, false},
      {{U"a", U"a"}, false, false},
      {{U"a", U"b", U"a"}, true, true, 0, 2},
      {{U"a/b", U"a/b"}, true, true, 0, 1},
      {{U"src/a", U"src/b", U"src"}, false, true, 2, 0},
      {{U"a/b", U"a/b", U"c", U"a"}, false, true, 3, 0},
      {{}, true, false},
  };
  size_t n = 0;
  for (const ClashCase& c : cases) {
    const auto clash = names::find_clash(c.names, c.equal_names_clash);
    const std::string what = "clash case " + std::to_string(n++);
    check(clash.has_value() == c.clashes, what);
    if (clash && c.clashes) check(clash->first == c.first && clash->second == c.second, what);
  }
}

}  // namespace

int main() {
  check_safety();
  check_limits();
  check_clashes();
  return ormek::test::report();
}
