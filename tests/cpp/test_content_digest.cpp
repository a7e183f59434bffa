// The file digest: name and text given in any unit width hash as their UTF-8
// bytes behind the name's length, in one stream.
#include <string>
#include <vector>

#include "compressor/package/content_digest.hpp"
#include "tests/cpp/check.hpp"

using ormek::ContentDigest;
using ormek::Digest;
using ormek::test::check;

namespace {

// The digest as one XXH3-128 call over the bytes the format names.
Digest expected(const std::string& name, const std::string& text) {
  std::string all;
  for (int i = 0; i < 8; i++) all.push_back(static_cast<char>(uint64_t{name.size()} >> (8 * i)));
  all += name + text;
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits(all.data(), all.size()));
  Digest digest;
  std::memcpy(digest.data(), canonical.digest, digest.size());
  return digest;
}

template <typename Unit>
Digest of_units(const std::u32string& name, const std::u32string& text) {
  const std::vector<Unit> name_units(name.begin(), name.end());
  const std::vector<Unit> text_units(text.begin(), text.end());
  ContentDigest digest;
  digest.begin(name_units.data(), name_units.size());
  // In two pieces, as a file read in parts would be.
  const size_t half = text_units.size() / 2;
  digest.add_text(text_units.data(), half);
  digest.add_text(text_units.data() + half, text_units.size() - half);
  return digest.finish();
}

}  // namespace

int main() {
  // Each width, with the characters it can hold: ASCII, Latin-1, a lone
  // surrogate (three bytes), beyond the BMP (four); a text longer than the
  // encoding buffer.
  const std::u32string long_text(5000, U'\u00e9');
  struct Case {
    std::u32string name, text;
    std::string name_utf8, text_utf8;
    int widest;  // bytes per unit the case needs
  } cases[] = {
      {U"a.txt", U"", "a.txt", "", 1},
      {U"src/x.py", U"def f():\n    return 1\n", "src/x.py", "def f():\n    return 1\n", 1},
      {U"caf\u00e9", U"na\u00efve \u00ff", "caf\xc3\xa9", "na\xc3\xafve \xc3\xbf", 1},
      {std::u32string{0xdce9} + U".txt", U"\u20ac " + std::u32string{0xd800}, "\xed\xb3\xa9.txt",
       "\xe2\x82\xac \xed\xa0\x80", 2},
      {U"e", U"\U0001f600!", "e", "\xf0\x9f\x98\x80!", 4},
      {U"long", long_text, "long", std::string(), 1},
  };
  for (size_t i = 0; i < long_text.size(); i++) cases[5].text_utf8 += "\xc3\xa9";
  for (const Case& c : cases) {
    const Digest want = expected(c.name_utf8, c.text_utf8);
    const std::string what = "digest of " + c.name_utf8;
    if (c.widest == 1) check(of_units<uint8_t>(c.name, c.text) == want, what + " (1-byte units)");
    if (c.widest <= 2) check(of_units<uint16_t>(c.name, c.text) == want, what + " (2-byte units)");
    check(of_units<uint32_t>(c.name, c.text) == want, what + " (4-byte units)");

    ContentDigest bytes;
    bytes.begin(c.name.data(), c.name.size());
    bytes.add_bytes(c.text_utf8.data(), c.text_utf8.size());
    check(bytes.finish() == want && bytes.content_bytes() == c.text_utf8.size(),
          what + " from UTF-8 bytes, and its size");
    ContentDigest named;
    named.begin_utf8(c.name_utf8.data(), c.name_utf8.size());
    named.add_bytes(c.text_utf8.data(), c.text_utf8.size());
    check(named.finish() == want, what + " with the name as UTF-8");
  }
  // A non-ASCII unit at every place of the words the ASCII runs are read in.
  for (size_t at = 0; at < 20; at++) {
    const std::u32string text =
        std::u32string(at, U'x') + U'\u00ff' + std::u32string(19 - at, U'y');
    const std::string utf8 = std::string(at, 'x') + "\xc3\xbf" + std::string(19 - at, 'y');
    check(of_units<uint8_t>(U"n", text) == expected("n", utf8),
          "one-byte units, non-ASCII at each place");
  }
  // The length keeps the name and the text apart.
  check(expected("ab", "c") != expected("a", "bc"), "name and text do not run together");
  check(of_units<uint8_t>(U"ab", U"c") != of_units<uint8_t>(U"a", U"bc"),
        "the hasher keeps name and text apart");
  return ormek::test::report();
}
