// The token scan: a text is cut into maximal runs of white space and maximal
// runs of non-white-space. White space is exactly what the host's str.isspace()
// and the `\s` class of str patterns accept, so the scan gives the same tokens
// as findall("\S+|\s+", text) for every text.
//
// Pure C++ over the code units of the host's three string kinds (uint8_t,
// uint16_t, uint32_t), so that callers can work on a text's buffer without
// making an object per token.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ormek::scan {

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

// Every white-space code point, as sorted inclusive ranges. Taken from the
// host's str.isspace() over all of 0..0x10FFFF (its `\s` agrees on each); note
// U+001C..U+001F are in and U+180E, U+200B, U+FEFF are out.
inline constexpr CodePointRange kSpaceRanges[] = {
    {0x0009, 0x000D}, {0x001C, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0}, {0x1680, 0x1680},
    {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};

namespace detail {

constexpr bool in_space_ranges(char32_t cp) {
  for (const CodePointRange& range : kSpaceRanges) {
    if (cp < range.first) return false;
    if (cp <= range.last) return true;
  }
  return false;
}

constexpr std::array<bool, 256> make_latin1_table() {
  std::array<bool, 256> table{};
  for (char32_t cp = 0; cp < 256; ++cp) table[cp] = in_space_ranges(cp);
  return table;
}

// Bit i of word i / 64 says whether U+2000 + i is white space (U+2000..U+207F).
constexpr std::array<uint64_t, 2> make_punctuation_mask() {
  std::array<uint64_t, 2> mask{};
  for (char32_t i = 0; i < 128; ++i) {
    if (in_space_ranges(0x2000 + i)) mask[i / 64] |= uint64_t{1} << (i % 64);
  }
  return mask;
}

inline constexpr std::array<bool, 256> kLatin1Space = make_latin1_table();
inline constexpr std::array<uint64_t, 2> kPunctuationSpace = make_punctuation_mask();

}  // namespace detail

// Same answer as the host's str.isspace() for the one-character string of `cp`.
constexpr bool is_space(char32_t cp) {
  if (cp < 256) return detail::kLatin1Space[cp];
  char32_t offset = cp - 0x2000;  // wraps for cp below U+2000
  if (offset < 128) return (detail::kPunctuationSpace[offset / 64] >> (offset % 64)) & 1;
  return cp == 0x1680 || cp == 0x3000;
}

// One-byte kinds need no range test: the table covers every unit.
inline bool is_space_unit(uint8_t unit) { return detail::kLatin1Space[unit]; }
inline bool is_space_unit(uint16_t unit) { return is_space(unit); }
inline bool is_space_unit(uint32_t unit) { return is_space(unit); }

template <typename Char>
concept CodeUnit = std::is_same_v<Char, uint8_t> || std::is_same_v<Char, uint16_t> ||
    std::is_same_v<Char, uint32_t>;

namespace detail {

// Bit i says whether text[i] is white space, for up to 64 one-byte units.
// Sixteen at a time with SSE2: 9..13, 0x1C..0x20, 0x85 and 0xA0 are the
// Latin-1 white space.
inline uint64_t space_bits(const uint8_t* text, size_t count) {
  uint64_t bits = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i tab = _mm_set1_epi8(9), four = _mm_set1_epi8(4), fs = _mm_set1_epi8(0x1C);
  const __m128i nel = _mm_set1_epi8(static_cast<char>(0x85));
  const __m128i nbsp = _mm_set1_epi8(static_cast<char>(0xA0));
  for (; i + 16 <= count; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i controls = _mm_sub_epi8(v, tab);   // 9..13 become 0..4
    const __m128i separators = _mm_sub_epi8(v, fs);  // 0x1C..0x20 become 0..4
    __m128i space = _mm_cmpeq_epi8(_mm_min_epu8(controls, four), controls);
    space = _mm_or_si128(space, _mm_cmpeq_epi8(_mm_min_epu8(separators, four), separators));
    space = _mm_or_si128(space, _mm_or_si128(_mm_cmpeq_epi8(v, nel), _mm_cmpeq_epi8(v, nbsp)));
    bits |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(space))) << i;
  }
#endif
  for (; i < count; i++) bits |= static_cast<uint64_t>(kLatin1Space[text[i]]) << i;
  return bits;
}

// Calls on_block(base, changes) for each block of up to 64 units of a
// non-empty one-byte text, in order, while it returns true: bit i of
// `changes` is set where text[base + i] is of the other class (white space or
// not) than the unit before it, which is where a token ends.
template <typename OnBlock>
void for_each_class_change(const uint8_t* text, size_t length, OnBlock&& on_block) {
  uint64_t previous = is_space_unit(text[0]);
  for (size_t base = 0; base < length; base += 64) {
    const size_t count = length - base < 64 ? length - base : 64;
    const uint64_t space = space_bits(text + base, count);
    uint64_t changes = space ^ ((space << 1) | previous);
    if (count < 64) changes &= (uint64_t{1} << count) - 1;
    previous = space >> 63;
    if (!on_block(base, changes)) return;
  }
}

}  // namespace detail

// Calls on_token(begin, end) for each token of text[0, length) in order, with
// `end` exclusive. A callback that returns bool stops the scan by returning
// false (for callers whose per-token work can fail).
template <CodeUnit Char, typename OnToken>
void for_each_token(const Char* text, size_t length, OnToken&& on_token) {
  auto emit = [&](size_t begin, size_t end) -> bool {
    if constexpr (std::is_same_v<decltype(on_token(begin, end)), bool>) {
      return on_token(begin, end);
    } else {
      on_token(begin, end);
      return true;
    }
  };
  if constexpr (std::is_same_v<Char, uint8_t>) {
    // One-byte texts, 64 units at a time.
    if (length == 0) return;
    size_t begin = 0;
    bool going = true;
    detail::for_each_class_change(text, length, [&](size_t base, uint64_t changes) {
      for (; going && changes; changes &= changes - 1) {
        const size_t end = base + static_cast<size_t>(std::countr_zero(changes));
        going = emit(begin, end);
        begin = end;
      }
      return going;
    });
    if (!going) return;
    emit(begin, length);
  } else {
    size_t begin = 0;
    while (begin < length) {
      const bool space = is_space_unit(text[begin]);
      size_t end = begin + 1;
      while (end < length && is_space_unit(text[end]) == space) ++end;
      if (!emit(begin, end)) return;
      begin = end;
    }
  }
}

// The number of tokens for_each_token would report: one per change between
// white space and non-white-space, plus the first. Branch-free per unit.
template <CodeUnit Char>
size_t count_tokens(const Char* text, size_t length) {
  if (length == 0) return 0;
  size_t count = 1;
  if constexpr (std::is_same_v<Char, uint8_t>) {
    detail::for_each_class_change(text, length, [&](size_t, uint64_t changes) {
      count += static_cast<size_t>(std::popcount(changes));
      return true;
    });
  } else {
    bool previous = is_space_unit(text[0]);
    for (size_t i = 1; i < length; ++i) {
      const bool current = is_space_unit(text[i]);
      count += current != previous;
      previous = current;
    }
  }
  return count;
}

}  // namespace ormek::scan
