// Checks of the stored-name rules: which names restore safely under an output
// directory, and which sets of names clash.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compressor/package/stored_names.hpp"
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
  std::vector<std::string_view> names;
  bool equal_names_clash;
  bool clashes;
  uint32_t first = 0;
  uint32_t second = 0;
};

void check_clashes() {
  const ClashCase cases[] = {
      {{"a", "b", "c/d"}, true, false},
      {{"a", "a/b"}, false, true, 0, 1},
      {{"a/b", "a"}, false, true, 1, 0},
      {{"x/y/z", "q", "x/y"}, false, true, 2, 0},
      {{"ab", "a/b", "a/bc"}, false, false},
      {{"a", "a"}, false, false},
      {{"a", "b", "a"}, true, true, 0, 2},
      {{"a/b", "a/b"}, true, true, 0, 1},
      {{"src/a", "src/b", "src"}, false, true, 2, 0},
      {{"a/b", "a/b", "c", "a"}, false, true, 3, 0},
      {{"a/b/c", "a/b", "a"}, false, true, 2, 0},  // the outermost directory first
      {{"\xc3\xa9/x", "\xc3\xa9"}, false, true, 1, 0},
      {{}, true, false},
  };
  size_t n = 0;
  for (const ClashCase& c : cases) {
    names::NameTree tree;
    std::vector<names::NameTree::Node> nodes;
    for (std::string_view name : c.names) {
      nodes.push_back(tree.add(name));
      tree.mark_name(nodes.back(), static_cast<uint32_t>(nodes.size() - 1));
    }
    const auto clash = names::find_clash(tree, nodes, c.equal_names_clash);
    const std::string what = "clash case " + std::to_string(n++);
    check(clash.has_value() == c.clashes, what);
    if (clash && c.clashes) check(clash->first == c.first && clash->second == c.second, what);
  }
}

// Parts are whole: "sr" is no directory of "src/a"; a node is found only
// for a name added or a directory of one, and is a directory when something
// lies in it or it was marked one.
void check_tree() {
  names::NameTree tree;
  const auto file = tree.add("src/pkg/a.py");
  const auto dir = tree.add("src/empty");
  tree.mark_directory(dir);
  const auto src = tree.find("src");
  check(src != names::NameTree::kNoNode && tree.is_directory(src), "src is a directory");
  check(tree.find("src/pkg/a.py") == file && !tree.is_directory(file), "a file is found");
  check(tree.is_directory(dir) && tree.find("src/empty") == dir, "an empty directory");
  for (std::string_view absent : {"sr", "src/pk", "src//pkg", "", "src/pkg/a.py/x", "/src"}) {
    check(tree.find(absent) == names::NameTree::kNoNode, "absent: " + std::string(absent));
  }
  check(tree.parent(tree.parent(file)) == src && tree.parent(src) == names::NameTree::kRoot,
        "parents");
  std::vector<names::NameTree::Node> walked;
  tree.each_directory(file, [&](names::NameTree::Node up) {
    walked.push_back(up);
    return true;
  });
  check(walked == std::vector{src, tree.parent(file)}, "directories outermost first");
  check(tree.size() == 5, "one node per distinct part, the root included");
}

void check_encodable() {
  const std::u32string cases[] = {U"a\xdc80", U"\xdcff", U"a\xd800", U"\xdc7f", U"\xdd00"};
  const bool encodable[] = {true, true, false, false, false};
  for (size_t i = 0; i < 5; i++) {
    check(names::is_encodable(cases[i].data(), cases[i].size()) == encodable[i],
          "encodable case " + std::to_string(i));
  }
}

}  // namespace

int main() {
  check_safety();
  check_limits();
  check_clashes();
  check_tree();
  check_encodable();
  return ormek::test::report();
}
