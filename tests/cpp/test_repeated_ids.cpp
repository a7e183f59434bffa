// Checks of the search for an id two dictionary entries share, below and
// beyond the bound of its bit table, against a plain sort of the same ids.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compressor/repeated_ids.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::RepeatedIds;
using ormek::test::check;

std::optional<uint32_t> found(const std::vector<uint32_t>& ids) {
  RepeatedIds repeats(ids.size());
  for (uint32_t id : ids) repeats.note(id);
  return repeats.found();
}

void check_cases() {
  // 1024 + 8 * 3 = 1048 is the first id beyond the bit table of three entries.
  const std::vector<uint32_t> unique[] = {{}, {0}, {1, 2, 3}, {1047, 1048, 0x7fffffff}, {64, 63}};
  for (const auto& ids : unique) check(!found(ids), "no repeat among distinct ids");
  check(found({5, 1, 5}) == 5u, "a repeat below the bound");
  check(found({3, 9, 3, 9}) == 3u, "the first repeat met below the bound");
  check(found({0x7fffffff, 1, 0x7fffffff}) == 0x7fffffffu, "a repeat beyond the bound");
  check(found({4000, 2, 2000, 4000, 2000}) == 2000u, "the smallest repeat beyond it");
  check(found({1, 70000, 1, 70000}) == 1u, "below the bound before beyond it");
  // Dense ids 1..n with one repeat anywhere, as a grown dictionary holds them.
  for (uint32_t n : {10u, 5000u, 100000u}) {
    std::vector<uint32_t> ids;
    for (uint32_t i = 1; i <= n; i++) ids.push_back(i);
    check(!found(ids), "dense " + std::to_string(n));
    ids.push_back(n / 2 + 1);
    std::rotate(ids.begin(), ids.end() - 1, ids.end());
    check(found(ids) == n / 2 + 1, "dense with a repeat " + std::to_string(n));
  }
}

}  // namespace

int main() {
  check_cases();
  return ormek::test::report();
}
