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
// A name must also be one the file system encoding can write: a lone
// surrogate other than those that stand for undecodable bytes (U+DC80 to
// U+DCFF) has no bytes there, and restoring it would fail half-way.
//
// Names that are safe one by one can still not be restored together when one
// is a directory of another ("a" and "a/b": "a" cannot be a file and a
// directory at once); equal names are a clash only where the caller says so
// (decode_package restores repeated names one over the other). NameTree holds
// the names of one package as a tree of their parts, so that such questions,
// and which names a list of names picks, are answered walking each name once:
// no prefix of a name is ever made as a string of its own.
//
// Pure C++ over code points: no host object is touched, so the rules are
// tested on their own. stored_names_host.hpp applies them to host strings
// (StoredNames: the names of one package, checked together).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "compressor/package/process_seed.hpp"

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

// Whether the file system encoding (UTF-8, undecodable bytes as U+DC80 to
// U+DCFF) can write `name`.
template <typename Unit>
bool is_encodable(const Unit* units, size_t length) {
  for (size_t i = 0; i < length; i++) {
    const auto c = static_cast<char32_t>(units[i]);
    if (c >= 0xD800 && c <= 0xDFFF && (c < 0xDC80 || c > 0xDCFF)) return false;
  }
  return true;
}

// The names of one package as a tree of their parts: a node for each distinct
// name and each directory of one, found from its parent by the part's bytes.
// Names are given as bytes, their code points as encode_utf8 writes them
// (equal bytes, equal names), parts split at "/"; the bytes must outlive the
// tree. Parts are hashed with a seed drawn once a process, so that a package
// cannot be made of parts that all fall into one bucket.
class NameTree {
 public:
  using Node = uint32_t;
  static constexpr Node kRoot = 0;
  static constexpr Node kNoNode = UINT32_MAX;
  static constexpr uint32_t kNoName = UINT32_MAX;

  NameTree() { nodes_.push_back({kNoNode, 0, kNoName, true}); }

  // The node of `name`, made where missing with those of its directories.
  // Throws std::bad_alloc.
  Node add(std::string_view name) {
    Node node = kRoot;
    for_each_part(name, [&](std::string_view part) {
      auto [at, made] = children_.try_emplace(Key{node, part}, static_cast<Node>(nodes_.size()));
      if (made) {
        if (nodes_.size() >= kNoNode - 1) throw std::bad_alloc();
        nodes_.push_back({node, 0, kNoName, false});
        nodes_[node].children++;
      }
      node = at->second;
      return true;
    });
    return node;
  }

  // The node of `name`, or kNoNode when no name added is it or lies in it.
  Node find(std::string_view name) const {
    Node node = kRoot;
    for_each_part(name, [&](std::string_view part) {
      auto at = children_.find(Key{node, part});
      node = at == children_.end() ? kNoNode : at->second;
      return node != kNoNode;
    });
    return node;
  }

  Node parent(Node node) const { return nodes_[node].parent; }
  size_t size() const { return nodes_.size(); }

  // The mark of the first name that ended at `node` (mark_name), or kNoName.
  uint32_t name_at(Node node) const { return nodes_[node].name; }
  // Marks `node` as the end of the name `mark` unless an earlier name is.
  void mark_name(Node node, uint32_t mark) {
    if (nodes_[node].name == kNoName) nodes_[node].name = mark;
  }
  // A directory: a node that other names lie in, or one marked as such.
  bool is_directory(Node node) const { return nodes_[node].children > 0 || nodes_[node].directory; }
  void mark_directory(Node node) { nodes_[node].directory = true; }

  // fn(dir) for each directory that `node` lies in, outermost first, while
  // it returns true; false when it stopped. Throws std::bad_alloc.
  template <typename Fn>
  bool each_directory(Node node, Fn&& fn) const {
    std::vector<Node> chain;
    for (Node up = parent(node); up != kRoot && up != kNoNode; up = parent(up)) {
      chain.push_back(up);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      if (!fn(*it)) return false;
    }
    return true;
  }

 private:
  struct NodeInfo {
    Node parent;
    uint32_t children;
    uint32_t name;
    bool directory;
  };
  struct Key {
    Node parent;
    std::string_view part;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const {
      return static_cast<size_t>(
          XXH3_64bits_withSeed(key.part.data(), key.part.size(), seed() + key.parent));
    }
  };

  static uint64_t seed() { return process_seed(); }

  // fn(part) for each part of `name`, while it returns true.
  template <typename Fn>
  static void for_each_part(std::string_view name, Fn&& fn) {
    size_t start = 0;
    while (true) {
      const size_t slash = name.find('/', start);
      const size_t end = slash == std::string_view::npos ? name.size() : slash;
      if (!fn(name.substr(start, end - start)) || slash == std::string_view::npos) return;
      start = slash + 1;
    }
  }

  std::vector<NodeInfo> nodes_;
  std::unordered_map<Key, Node, KeyHash> children_;
};

// Two names that cannot both be restored: `first` names a directory of
// `second` (or the same file, when equal names clash). Marks of names.
struct Clash {
  uint32_t first;
  uint32_t second;
};

// The first clash among the names of `nodes` (in `tree`, each marked with its
// index in `nodes` by mark_name as it was added), scanning the names in order
// and, within a name, its directories from the outermost in. Each distinct
// name's directories are walked once. Throws std::bad_alloc.
inline std::optional<Clash> find_clash(const NameTree& tree,
                                       const std::vector<NameTree::Node>& nodes,
                                       bool equal_names_clash) {
  for (uint32_t i = 0; equal_names_clash && i < nodes.size(); i++) {
    const uint32_t first = tree.name_at(nodes[i]);
    if (first != i) return Clash{first, i};
  }
  std::optional<Clash> found;
  for (uint32_t i = 0; i < nodes.size() && !found; i++) {
    if (tree.name_at(nodes[i]) != i) continue;  // a repeat: its directories are looked at once
    tree.each_directory(nodes[i], [&](NameTree::Node dir) {
      if (tree.name_at(dir) != NameTree::kNoName) found = Clash{tree.name_at(dir), i};
      return !found;
    });
  }
  return found;
}

}  // namespace ormek::stored_name
