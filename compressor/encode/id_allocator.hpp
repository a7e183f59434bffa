// Ids for new tokens that no entry of the dictionaries holds yet.
//
// New tokens take their ids from next_id upwards. Normally next_id lies above
// every id in global_dict and inverse_dict, but not always: decode_package
// takes over a package's dictionary and leaves next_id alone, a dictionary
// file may carry a low next_id, and a caller may assign the dictionaries. An
// id given out again would make two tokens share it, and the package would
// restore the wrong text without any error. So the encoder collects the ids
// at or above next_id that entries already hold (none when the state is
// consistent, which costs nothing more than the walk the encoder makes anyway)
// and this allocator steps over them, so new tokens still get ascending ids
// in order of first sight.
//
// Pure C++: no host object is touched.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ormek {

class IdAllocator {
 public:
  // The highest id a token may take: next_id must stay representable after
  // the last one is given out.
  static constexpr int32_t kLastId = INT32_MAX - 1;

  IdAllocator() = default;
  // `taken`: ids that entries hold, in any order (repeats allowed).
  explicit IdAllocator(std::vector<int32_t> taken) : taken_(std::move(taken)) {
    std::sort(taken_.begin(), taken_.end());
    taken_.erase(std::unique(taken_.begin(), taken_.end()), taken_.end());
  }

  // The first id at or above `from` that no entry holds; false when it would
  // pass kLastId.
  bool first_free(int32_t from, int32_t& id) {
    if (!positioned_ || from < last_from_) {
      cursor_ = static_cast<size_t>(std::lower_bound(taken_.begin(), taken_.end(), from) -
                                    taken_.begin());
      positioned_ = true;
    }
    last_from_ = from;
    while (cursor_ < taken_.size() && taken_[cursor_] < from) cursor_++;
    while (cursor_ < taken_.size() && taken_[cursor_] == from && from <= kLastId) {
      from++;
      cursor_++;
    }
    if (from > kLastId) return false;
    id = from;
    return true;
  }

 private:
  std::vector<int32_t> taken_;  // sorted, unique
  // Calls mostly ask from a rising `from`: the search resumes where the last
  // one stopped.
  bool positioned_ = false;
  size_t cursor_ = 0;
  int32_t last_from_ = 0;
};

}  // namespace ormek
