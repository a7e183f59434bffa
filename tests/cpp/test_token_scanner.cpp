// Checks of the token scan: white-space classification and token boundaries
// for each code-unit width. Prints "N passed, 0 failed" and exits 0 when all hold.
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "compressor/text/token_scanner.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;

std::string hex(char32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(cp));
  return buffer;
}

using Spans = std::vector<std::pair<size_t, size_t>>;

template <typename Char>
Spans spans_of(const std::vector<Char>& text) {
  Spans spans;
  ormek::scan::for_each_token(text.data(), text.size(),
                              [&](size_t begin, size_t end) { spans.emplace_back(begin, end); });
  return spans;
}

// Reference cut: a new token starts wherever the class changes.
template <typename Char>
Spans reference_spans(const std::vector<Char>& text) {
  Spans spans;
  size_t begin = 0;
  for (size_t i = 1; i <= text.size(); ++i) {
    if (i == text.size() || ormek::scan::is_space(text[i]) != ormek::scan::is_space(text[i - 1])) {
      spans.emplace_back(begin, i);
      begin = i;
    }
  }
  return spans;
}

void test_space_classification() {
  const char32_t spaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x1C,   0x1D,
                             0x1E,   0x1F,   0x20,   0x85,   0xA0,   0x1680, 0x2000,
                             0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  const char32_t non_spaces[] = {
      0x00,   0x08,   0x0E,   0x1B,    0x21,    0x41,    0x7F,    0x84,    0x86,   0x9F,
      0xA1,   0xFF,   0x100,  0x167F,  0x1681,  0x180E,  0x1FFF,  0x200B,  0x200C, 0x2027,
      0x202A, 0x202E, 0x2030, 0x205E,  0x2060,  0x207F,  0x2080,  0x2FFF,  0x3001, 0xD800,
      0xDFFF, 0xFEFF, 0xFFFF, 0x10000, 0x12000, 0x13000, 0x1F600, 0x10FFFF};
  for (char32_t cp : spaces) check(ormek::scan::is_space(cp), hex(cp) + " is white space");
  for (char32_t cp : non_spaces) check(!ormek::scan::is_space(cp), hex(cp) + " is not white space");

  // The fast tables agree with the range list for every code point.
  int disagreements = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    bool listed = false;
    for (const auto& range : ormek::scan::kSpaceRanges)
      listed |= range.first <= cp && cp <= range.last;
    disagreements += listed != ormek::scan::is_space(cp);
  }
  check(disagreements == 0, "is_space agrees with kSpaceRanges everywhere");

  // Values above the code point range (never in a host str) must not read
  // outside the tables.
  check(!ormek::scan::is_space(0xFFFFFFFF), "0xFFFFFFFF is not white space");
  static_assert(ormek::scan::is_space(U' ') && !ormek::scan::is_space(U'x'));
}

template <typename Char>
void test_boundaries(const char* width) {
  const std::string tag = std::string(" [") + width + "]";
  using Text = std::vector<Char>;

  check(spans_of(Text{}).empty(), "empty text has no tokens" + tag);
  check(ormek::scan::count_tokens<Char>(nullptr, 0) == 0, "empty text counts 0" + tag);

  const Text one_word = {'a', 'b', 'c'};
  check(spans_of(one_word) == Spans{{0, 3}}, "one word is one token" + tag);

  const Text all_space = {' ', '\t', '\n', 0x1C, 0x85, 0xA0};
  check(spans_of(all_space) == Spans{{0, 6}}, "mixed white space is one token" + tag);

  // "  ab   cd\n"
  const Text words = {' ', ' ', 'a', 'b', ' ', ' ', ' ', 'c', 'd', '\n'};
  check(spans_of(words) == Spans{{0, 2}, {2, 4}, {4, 7}, {7, 9}, {9, 10}},
        "leading, inner and trailing runs" + tag);
  check(ormek::scan::count_tokens(words.data(), words.size()) == 5, "count of five tokens" + tag);

  // "a\t\n b"
  const Text mixed = {'a', '\t', '\n', ' ', 'b'};
  check(spans_of(mixed) == Spans{{0, 1}, {1, 4}, {4, 5}}, "tab, line feed, space together" + tag);

  // U+00FF and NUL are not white space, U+0085 is.
  const Text latin1 = {0xFF, 0x00, 0x85, 0xA0, 0xE9};
  check(spans_of(latin1) == Spans{{0, 2}, {2, 4}, {4, 5}}, "Latin-1 classes" + tag);

  const Text single_space = {' '};
  check(spans_of(single_space) == Spans{{0, 1}}, "single space" + tag);

  // Early stop: a callback returning false ends the scan.
  size_t calls = 0;
  ormek::scan::for_each_token(words.data(), words.size(), [&](size_t, size_t) {
    ++calls;
    return calls < 2;
  });
  check(calls == 2, "a false result stops the scan" + tag);
}

template <typename Char>
void test_wide_boundaries(const char* width) {
  const std::string tag = std::string(" [") + width + "]";
  using Text = std::vector<Char>;
  // "x<U+3000>y<U+200B>z<U+2028><U+2029>" : U+200B joins y and z.
  const Text text = {'x', 0x3000, 'y', 0x200B, 'z', 0x2028, 0x2029};
  check(spans_of(text) == Spans{{0, 1}, {1, 2}, {2, 5}, {5, 7}}, "BMP white space" + tag);
  const Text feff = {0xFEFF, ' ', 0x180E, 0x1680, 0x205F, 0x202F, 0xD800};
  check(spans_of(feff) == Spans{{0, 1}, {1, 2}, {2, 3}, {3, 6}, {6, 7}},
        "U+FEFF, U+180E and surrogates are not white space" + tag);
}

void test_astral() {
  using Text = std::vector<uint32_t>;
  const Text text = {0x1F600, 0x10FFFF, ' ', 0x10000, 0x3000, 0x20};
  check(spans_of(text) == Spans{{0, 2}, {2, 3}, {3, 4}, {4, 6}}, "astral code points [4]");
}

// Pseudo-random texts over a small alphabet rich in boundaries: the scan, its
// count and the reference cut agree.
template <typename Char>
void test_random(const char* width, const std::vector<char32_t>& alphabet, int longest = 96) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  int mismatches = 0;
  for (int round = 0; round < 2000; ++round) {
    std::vector<Char> text(static_cast<size_t>(round % (longest + 1)));
    for (Char& unit : text) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      unit = static_cast<Char>(alphabet[(state >> 33) % alphabet.size()]);
    }
    const Spans spans = spans_of(text);
    mismatches += spans != reference_spans(text);
    mismatches += spans.size() != ormek::scan::count_tokens(text.data(), text.size());
  }
  check(mismatches == 0, std::string("random texts [") + width + "]");
}

}  // namespace

int main() {
  test_space_classification();
  test_boundaries<uint8_t>("1");
  test_boundaries<uint16_t>("2");
  test_boundaries<uint32_t>("4");
  test_wide_boundaries<uint16_t>("2");
  test_wide_boundaries<uint32_t>("4");
  test_astral();
  test_random<uint8_t>("1", {'a', ' ', '\n', 0x85, 0xA0, 0xE9, 0x1C, 0x00});
  // Every byte, over several of the 64-unit blocks one-byte texts are read in.
  std::vector<char32_t> every_byte(256);
  for (char32_t c = 0; c < 256; c++) every_byte[c] = c;
  test_random<uint8_t>("1, every byte", every_byte, 200);
  test_random<uint16_t>("2", {'a', ' ', 0x85, 0x3000, 0x200B, 0x2028, 0xFEFF, 0xD800});
  test_random<uint32_t>("4", {'a', ' ', 0x1680, 0x1F600, 0x205F, 0x10FFFF, 0x2060});
  return ormek::test::report();
}
