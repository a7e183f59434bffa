// Finding an id that two tokens of a dictionary share.
//
// A package carries global_dict, and whoever restores it inverts it (id ->
// token): of two tokens with one id only the later survives, so every
// occurrence of either restores as that one, without any error. The encoder
// therefore refuses such a dictionary before it writes anything, and looks
// for a repeat during the walk over global_dict it makes anyway, at the cost
// of one bit test per entry: ids are normally dense from 1, so a bit per id
// up to a bound proportional to the dictionary's size covers them; the rare
// ids beyond that bound are kept aside and sorted once at the end. Only ids a
// record can hold (0 to 2^31 - 1) matter: no record names any other.
//
// Pure C++: no host object is touched.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ormek {

class RepeatedIds {
 public:
  // `entries`: the size of the dictionary about to be walked.
  explicit RepeatedIds(size_t entries) : dense_limit_(8 * uint64_t{entries} + 1024) {}

  // Notes the id of one entry. Throws std::bad_alloc.
  void note(uint32_t id) {
    if (id >= dense_limit_) {
      sparse_.push_back(id);
      return;
    }
    const size_t word = id / 64;
    if (word >= bits_.size()) bits_.resize(std::max(word + 1, 2 * bits_.size()), 0);
    const uint64_t bit = uint64_t{1} << (id % 64);
    if ((bits_[word] & bit) && !first_) first_ = id;
    bits_[word] |= bit;
  }

  // An id noted twice, if any: the first one met below the bound, else the
  // smallest beyond it.
  std::optional<uint32_t> found() {
    if (first_) return first_;
    std::sort(sparse_.begin(), sparse_.end());
    auto twice = std::adjacent_find(sparse_.begin(), sparse_.end());
    if (twice == sparse_.end()) return std::nullopt;
    return *twice;
  }

 private:
  uint64_t dense_limit_;
  std::vector<uint64_t> bits_;
  std::vector<uint32_t> sparse_;
  std::optional<uint32_t> first_;
};

}  // namespace ormek
