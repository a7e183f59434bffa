// Checks of the distinct-keys test: distinct keys pass, however many and
// however alike, added here or on a thread of their own; one repeat
// anywhere is found.
#include <string>
#include <vector>

#include "compressor/package/distinct_keys.hpp"
#include "compressor/package/keys_on_thread.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;

// Key number `i` ("k" and its digits), built by appending: GCC 12 warns
// falsely about the overlap in "k" + std::to_string(i).
std::string numbered(size_t i) {
  std::string key(1, 'k');
  key += std::to_string(i);
  return key;
}

// Adds `count` numbered keys, then the empty one and a repeat, directly or
// `on_thread`; checks the answer after each.
void check_keys(size_t count, bool on_thread) {
  const std::string name = std::to_string(count) + (on_thread ? " on a thread" : "");
  ormek::DistinctKeys keys(count);
  auto add_all = [&](const std::vector<std::string>& batch) {
    ormek::KeysOnThread stored(keys);
    for (const std::string& key : batch) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
      on_thread ? stored.add(bytes, key.size()) : keys.add(bytes, key.size());
    }
    if (on_thread) stored.finish();
  };
  std::vector<std::string> batch;
  for (size_t i = 0; i < count; i++) batch.push_back(numbered(i));
  add_all(batch);
  check(keys.distinct() && keys.count() == count, "distinct: " + name);
  add_all({"", numbered(count / 2)});
  check(keys.distinct() == (count == 0) && keys.count() == count + 2, "a repeat found: " + name);
}

}  // namespace

int main() {
  // 600,000 keys are told apart on two threads; on a thread of their own,
  // 100,000 come in several batches.
  for (size_t count : {0, 1, 700, 100000, 600000}) {
    for (bool on_thread : {false, true}) check_keys(count, on_thread);
  }
  return ormek::test::report();
}
