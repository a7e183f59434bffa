// The byte form the facts digest is taken over: keys, counts, ints, bytes and
// strs as the README's "File checks" writes them down.
#include <string>

#include "compressor/package/facts_digest.hpp"
#include "tests/cpp/check.hpp"

using ormek::test::check;

namespace {

struct Collected {
  std::string bytes;
  void operator()(const void* data, size_t size) {
    bytes.append(static_cast<const char*>(data), size);
  }
};

// `value` as 8 bytes, least significant first.
std::string eight(uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; i++) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

template <typename Sink>
void write_facts(Sink& sink) {
  ormek::FactsForm<Sink> form(sink);
  form.key("version");
  form.integer(1);
  form.key("modes");
  form.count(2);
  form.integer(0644);
  form.integer(-1);
  form.key("empty_dirs");
  form.count(1);
  form.sized("d/\xc3\xa9", 4);
}

}  // namespace

int main() {
  Collected collected;
  write_facts(collected);
  const std::string want = eight(7) + "version" + eight(1) + eight(5) + "modes" + eight(2) +
                           eight(0644) + eight(UINT64_MAX) + eight(10) + "empty_dirs" + eight(1) +
                           eight(4) + "d/\xc3\xa9";
  check(collected.bytes == want, "the byte form");
  ormek::FactsDigest digest;
  write_facts(digest);
  check(digest.finish() == ormek::canonical_digest(XXH3_128bits(want.data(), want.size())),
        "the digest is XXH3-128 of the byte form");
  return ormek::test::report();
}
