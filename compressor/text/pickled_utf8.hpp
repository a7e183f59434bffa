// Whether bytes are a str as the host pickles it: UTF-8 written with the
// "surrogatepass" error handler, so that a lone surrogate (U+D800..U+DFFF,
// which a str may hold and UTF-8 may not) stands as its three-byte form.
// The host's unpickler decodes a str's bytes exactly this way; bytes it
// would refuse (an overlong form, a stray continuation byte, a sequence cut
// short, a code point beyond U+10FFFF) are refused here too.
//
// Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ormek::utf8 {

// What a pickled str's bytes hold.
enum class PickledText {
  kInvalid,     // not what the unpickler decodes
  kText,        // UTF-8 proper
  kSurrogates,  // holds a lone surrogate: a str, but not one UTF-8 can write
};

// Whether the `size` bytes at `p` are all ASCII, read a word at a time (the
// last word overlapping the one before it) rather than a byte at a time.
inline bool all_ascii(const unsigned char* p, size_t size) {
  auto word_at = [p](size_t at) {
    uint64_t word;
    std::memcpy(&word, p + at, 8);
    return word;
  };
  uint64_t bits = 0;
  if (size >= 8) {
    for (size_t i = 0; i + 8 < size; i += 8) bits |= word_at(i);
    bits |= word_at(size - 8);
  } else {
    for (size_t i = 0; i < size; i++) bits |= p[i];
  }
  return (bits & 0x8080808080808080ull) == 0;
}

inline PickledText check_pickled(const unsigned char* p, size_t size) {
  if (all_ascii(p, size)) return PickledText::kText;  // the common case, as the loop finds it
  auto follows = [p](size_t at) { return (p[at] & 0xC0) == 0x80; };
  bool surrogates = false;
  size_t i = 0;
  while (i < size) {
    if (i + 8 <= size) {  // eight ASCII bytes at a time
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      i++;
    } else if (lead < 0xC2) {
      return PickledText::kInvalid;
    } else if (lead < 0xE0) {
      if (i + 2 > size || !follows(i + 1)) return PickledText::kInvalid;
      i += 2;
    } else if (lead < 0xF0) {
      if (i + 3 > size || !follows(i + 1) || !follows(i + 2)) return PickledText::kInvalid;
      if (lead == 0xE0 && p[i + 1] < 0xA0) return PickledText::kInvalid;
      if (lead == 0xED && p[i + 1] >= 0xA0) surrogates = true;
      i += 3;
    } else if (lead < 0xF5) {
      if (i + 4 > size || !follows(i + 1) || !follows(i + 2) || !follows(i + 3)) {
        return PickledText::kInvalid;
      }
      if ((lead == 0xF0 && p[i + 1] < 0x90) || (lead == 0xF4 && p[i + 1] >= 0x90)) {
        return PickledText::kInvalid;
      }
      i += 4;
    } else {
      return PickledText::kInvalid;
    }
  }
  return surrogates ? PickledText::kSurrogates : PickledText::kText;
}

}  // namespace ormek::utf8
