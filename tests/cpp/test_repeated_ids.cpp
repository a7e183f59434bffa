// Checks of the search for an id two dictionary entries share, below and
// beyond the bound of its bit table (1024 + 8 bits an entry).
#include <cstdint>
#include <optional>
#include <vector>

#include "compressor/encode/repeated_ids.hpp"
#include "tests/cpp/check.hpp"

namespace {

std::optional<uint32_t> found(const std::vector<uint32_t>& ids) {
  ormek::RepeatedIds repeats(ids.size());
  for (uint32_t id : ids) repeats.note(id);
  return repeats.found();
}

}  // namespace

int main() {
  using ormek::test::check;
  check(!found({}) && !found({1, 2, 3}) && !found({1047, 1048, 0x7fffffff}), "no repeat");
  check(found({3, 9, 3, 9}) == 3u, "the first repeat met below the bound");
  check(found({4000, 2, 2000, 4000, 2000}) == 2000u, "the smallest repeat beyond it");
  check(found({1, 70000, 1, 70000}) == 1u, "below the bound before beyond it");
  std::vector<uint32_t> dense{50001};  // dense ids 1..100000 with one met twice
  for (uint32_t i = 1; i <= 100000; i++) dense.push_back(i);
  check(found(dense) == 50001u && !found({dense.begin() + 1, dense.end()}), "dense ids");
  return ormek::test::report();
}
