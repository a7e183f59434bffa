// Checks of the distinct-keys test: distinct keys pass, however many and
// however alike; one repeat anywhere is found.
#include <string>

#include "compressor/package/distinct_keys.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;

void add(ormek::DistinctKeys& keys, const std::string& key) {
  keys.add(reinterpret_cast<const unsigned char*>(key.data()), key.size());
}

// Key number `i` ("k" and its digits), built by appending: GCC 12 warns
// falsely about the overlap in "k" + std::to_string(i).
std::string numbered(size_t i) {
  std::string key(1, 'k');
  key += std::to_string(i);
  return key;
}

}  // namespace

int main() {
  for (size_t count : {0, 1, 700, 200000}) {
    ormek::DistinctKeys keys(count);
    for (size_t i = 0; i < count; i++) add(keys, numbered(i));
    check(keys.distinct() && keys.count() == count, "distinct: " + std::to_string(count));
    add(keys, "");
    add(keys, numbered(count / 2));
    check(keys.distinct() == (count == 0), "a repeat found: " + std::to_string(count));
  }
  return ormek::test::report();
}
