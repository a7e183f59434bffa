// Checks of the UTF-8 cutter against a plain reference: random texts of
// every sequence length, newlines, white space and invalid bytes, cut into
// random reads, give the same code points, refuse the same inputs, and come
// out in pieces that end where tokens end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compressor/text/token_scanner.hpp"
#include "compressor/text/utf8_cutter.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;
using Bytes = std::vector<uint8_t>;
using Text = std::vector<char32_t>;

// Decodes the whole input one code point at a time by its numeric value,
// then translates newlines; false when it is not UTF-8.
bool reference_decode(const Bytes& in, Text& out) {
  Text raw;
  for (size_t i = 0; i < in.size();) {
    const uint8_t b = in[i];
    int length = b < 0x80             ? 1
                 : (b & 0xE0) == 0xC0 ? 2
                 : (b & 0xF0) == 0xE0 ? 3
                 : (b & 0xF8) == 0xF0 ? 4
                                      : 0;
    if (length == 0 || i + length > in.size()) return false;
    char32_t cp = length == 1 ? b : length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
    for (int k = 1; k < length; k++) {
      if ((in[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (in[i + k] & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    raw.push_back(cp);
    i += length;
  }
  out.clear();
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < raw.size() && raw[i + 1] == '\n') i++;
    } else {
      out.push_back(raw[i]);
    }
  }
  return true;
}

void append_utf8(Bytes& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out.insert(out.end(), {uint8_t(0xC0 | cp >> 6), uint8_t(0x80 | (cp & 0x3F))});
  } else if (cp < 0x10000) {
    out.insert(out.end(), {uint8_t(0xE0 | cp >> 12), uint8_t(0x80 | (cp >> 6 & 0x3F)),
                           uint8_t(0x80 | (cp & 0x3F))});
  } else {
    out.insert(out.end(), {uint8_t(0xF0 | cp >> 18), uint8_t(0x80 | (cp >> 12 & 0x3F)),
                           uint8_t(0x80 | (cp >> 6 & 0x3F)), uint8_t(0x80 | (cp & 0x3F))});
  }
}

// Code points of every width and class, newlines weighted up.
const char32_t kPool[] = {'a',    'b',    'z',    ' ',     ' ',     '\t',    '\r',   '\n',
                          '\r',   0x1C,   0x1F,   0x85,    0xA0,    0xE9,    0xFF,   0x100,
                          0x1680, 0x2000, 0x200A, 0x200B,  0x2028,  0x2029,  0x202F, 0x205F,
                          0x3000, 0xFEFF, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
// Byte strings that no UTF-8 text holds, or only as a prefix.
const Bytes kInvalid[] = {{0x80},
                          {0xBF},
                          {0xC0, 0x80},
                          {0xC1, 0xBF},
                          {0xE0, 0x9F, 0x80},
                          {0xED, 0xA0, 0x80},
                          {0xF0, 0x8F, 0xBF, 0xBF},
                          {0xF4, 0x90, 0x80, 0x80},
                          {0xF5},
                          {0xFF},
                          {0xE2, 0x82},
                          {0xF0, 0x9F, 0x98},
                          {0xC3, 0x41},
                          {0xE2, 0x28, 0xA1}};

struct Result {
  bool valid = true;
  Text text;
  bool pieces_end_on_tokens = true;
};

// Feeds `in` in reads of random sizes up to `max_read` bytes.
Result run_cutter(const Bytes& in, std::mt19937& rng, size_t max_read) {
  Result result;
  ormek::utf8::TextCutter cutter;
  std::uniform_int_distribution<size_t> read_size(0, max_read);
  std::vector<Text> pieces;
  auto take = [&] {
    ormek::utf8::Piece piece = cutter.take();
    Text units;
    for (size_t i = 0; i < piece.length; i++) {
      const auto* p = static_cast<const unsigned char*>(piece.data());
      char32_t unit = 0;
      std::memcpy(&unit, p + i * piece.kind, static_cast<size_t>(piece.kind));
      units.push_back(unit);
    }
    if (!units.empty()) pieces.push_back(units);
  };
  size_t at = 0;
  for (bool last = false; !last;) {
    const size_t n = std::min(read_size(rng), in.size() - at);
    uint8_t* room = cutter.room(n);
    if (n) std::memcpy(room, in.data() + at, n);  // an empty read may get no room at all
    at += n;
    last = at == in.size() && (n == 0 || rng() % 2);
    if (!cutter.decode(n, last)) {
      result.valid = false;
      return result;
    }
    if (rng() % 4) take();
  }
  take();
  for (size_t k = 0; k < pieces.size(); k++) {
    result.text.insert(result.text.end(), pieces[k].begin(), pieces[k].end());
    if (k + 1 < pieces.size()) {
      result.pieces_end_on_tokens &=
          ormek::scan::is_space(pieces[k].back()) != ormek::scan::is_space(pieces[k + 1].front());
    }
  }
  return result;
}

void test_random_inputs() {
  std::mt19937 rng(17);
  int mismatches = 0, valid_seen = 0, invalid_seen = 0;
  for (int round = 0; round < 20000; round++) {
    Bytes in;
    const int count = static_cast<int>(rng() % 64);
    const bool spoil = rng() % 3 == 0;
    for (int i = 0; i < count; i++) {
      if (spoil && rng() % 40 == 0) {
        const Bytes& bad = kInvalid[rng() % std::size(kInvalid)];
        in.insert(in.end(), bad.begin(), bad.end());
      } else if (rng() % 10 == 0) {
        in.insert(in.end(), rng() % 50, 'x');  // tokens longer than reads
      } else {
        append_utf8(in, kPool[rng() % std::size(kPool)]);
      }
    }
    Text expected;
    const bool valid = reference_decode(in, expected);
    const Result got = run_cutter(in, rng, 1 + rng() % 12);
    (valid ? valid_seen : invalid_seen)++;
    const bool same =
        got.valid == valid && (!valid || (got.text == expected && got.pieces_end_on_tokens));
    if (!same && mismatches++ < 5) check(false, "random input " + std::to_string(round));
  }
  check(mismatches == 0, "every random input decodes and cuts as the reference");
  check(valid_seen > 1000 && invalid_seen > 1000, "both valid and invalid inputs were tried");
}

}  // namespace

int main() {
  test_random_inputs();
  return ormek::test::report();
}
