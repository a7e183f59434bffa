// A file's UTF-8 bytes turned into the code units of its text without making
// the text: the bytes come in whatever pieces the file gives, and go out as
// the text that a strict UTF-8 decoder reading with universal newlines makes
// of them ("\r\n" and a lone "\r" become "\n", a byte order mark stays U+FEFF),
// in pieces that each end where a token ends. A piece can then be cut and
// numbered on its own, and its tokens are those of the whole text.
//
// Each piece is in the narrowest of the host's widths (1, 2 or 4 bytes a
// unit) that its bytes allow, judged from its largest byte; the token that
// runs on past the bytes decoded so far waits, as code units, for the next
// bytes (a token longer than a read waits over several). Input that is not
// UTF-8 is only recognised, not described: the caller then reads the file the
// host's way, whose error says where and why. checked_prefix() checks bytes
// by the same rules without decoding them, and says where and why they are
// not UTF-8 as that error would.
//
// Pure C++, for the encoder's file reader and its C++ tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "compressor/text/text_units.hpp"
#include "compressor/text/token_scanner.hpp"

namespace ormek::utf8 {

// Bytes that are written before they are read: not cleared when made.
struct Bytes {
  std::unique_ptr<unsigned char[]> data;
  size_t size = 0;

  Bytes() = default;
  explicit Bytes(size_t n)
      : data(n ? std::make_unique_for_overwrite<unsigned char[]>(n) : nullptr), size(n) {}
};

// A piece of decoded text: `length` code units of `kind` bytes each.
struct Piece {
  Bytes storage;
  int kind = 1;
  size_t length = 0;

  const void* data() const { return storage.data.get(); }
  bool empty() const { return length == 0; }
};

// What makes bytes not UTF-8, as the host's strict decoder names it (at the
// first byte of the sequence at fault).
enum class Fault : uint8_t { kNone, kInvalidStart, kInvalidContinuation, kUnexpectedEnd };

namespace detail {

// The length of the sequence a lead byte starts: 0 for a byte that cannot
// start one (a continuation byte, an overlong lead, a lead beyond U+10FFFF).
constexpr int sequence_length(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// The bytes at the end of `bytes` that start a sequence the rest of the input
// must finish: they wait for the next read. Bytes that cannot be part of any
// sequence are left to the decoder, which refuses them.
inline size_t unfinished_tail(const uint8_t* bytes, size_t count) {
  for (size_t back = 1; back <= std::min<size_t>(3, count); back++) {
    const uint8_t byte = bytes[count - back];
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    return static_cast<size_t>(sequence_length(byte)) > back ? back : 0;
  }
  return 0;
}

// The unit width the decoded text of `bytes` needs, from its largest byte:
// below 0xC4 every lead is at most U+00FF, below 0xF0 at most U+FFFF.
inline int kind_of_bytes(const uint8_t* bytes, size_t count) {
  uint8_t largest = 0;
  for (size_t i = 0; i < count; i++) largest = std::max(largest, bytes[i]);
  return largest < 0xC4 ? 1 : largest < 0xF0 ? 2 : 4;
}

inline bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The sequence that starts at bytes[0], with `left` > 0 bytes from there on:
// its length when it is whole and valid, else 0 and what is wrong with it,
// judged byte by byte as the host's strict decoder judges it (the input
// ending is found at the first byte missing).
struct Sequence {
  int length;
  Fault fault;
};
inline Sequence sequence_at(const uint8_t* bytes, size_t left) {
  const uint8_t lead = bytes[0];
  const int length = sequence_length(lead);
  if (length == 0) return {0, Fault::kInvalidStart};
  if (length == 1) return {1, Fault::kNone};
  if (left < 2) return {0, Fault::kUnexpectedEnd};
  // The second byte's range rules out overlong forms, surrogates and code
  // points beyond U+10FFFF.
  const uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (bytes[1] < low || bytes[1] > high) return {0, Fault::kInvalidContinuation};
  for (int k = 2; k < length; k++) {
    if (left <= static_cast<size_t>(k)) return {0, Fault::kUnexpectedEnd};
    if (!is_continuation(bytes[k])) return {0, Fault::kInvalidContinuation};
  }
  return {length, Fault::kNone};
}

// Decodes bytes[0, count) (whole sequences only) into `out`, which has room
// for `count` units, with universal newlines: "\r" is written as "\n" and a
// "\n" right after it is dropped, also when it opens the next call
// (`after_cr`). Returns the units written, or SIZE_MAX on input that is not
// UTF-8. The caller sized `Out` for the largest code point.
template <typename Out>
size_t decode(const uint8_t* bytes, size_t count, Out* out, bool& after_cr) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  size_t i = 0;
  Out* const start = out;
  while (i < count) {
    // Eight ASCII bytes without a "\r" at a time.
    if (!after_cr && i + 8 <= count) {
      uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      const uint64_t cr = word ^ (kOnes * '\r');
      if (((word | ((cr - kOnes) & ~cr)) & kHigh) == 0) {
        if constexpr (sizeof(Out) == 1) {
          std::memcpy(out, bytes + i, 8);
        } else {
          for (int j = 0; j < 8; j++) out[j] = bytes[i + j];
        }
        out += 8;
        i += 8;
        continue;
      }
    }
    const uint8_t lead = bytes[i];
    if (lead < 0x80) {
      if (lead == '\n' && after_cr) {
        after_cr = false;
        i++;
        continue;
      }
      after_cr = lead == '\r';
      *out++ = after_cr ? Out{'\n'} : Out{lead};
      i++;
      continue;
    }
    after_cr = false;
    const int length = sequence_at(bytes + i, count - i).length;
    if (length == 0) return SIZE_MAX;
    const uint8_t second = bytes[i + 1];
    char32_t cp;
    if (length == 2) {
      cp = (char32_t{lead} & 0x1F) << 6 | (second & 0x3F);
    } else if (length == 3) {
      cp = (char32_t{lead} & 0x0F) << 12 | char32_t{second & 0x3Fu} << 6 | (bytes[i + 2] & 0x3F);
    } else {
      cp = (char32_t{lead} & 0x07) << 18 | char32_t{second & 0x3Fu} << 12 |
           char32_t{bytes[i + 2] & 0x3Fu} << 6 | (bytes[i + 3] & 0x3F);
    }
    *out++ = static_cast<Out>(cp);
    i += static_cast<size_t>(length);
  }
  return static_cast<size_t>(out - start);
}

template <typename Unit>
char32_t largest_unit(const Unit* units, size_t count) {
  char32_t largest = 0;
  for (size_t i = 0; i < count; i++) largest |= units[i];
  return largest;
}

}  // namespace detail

// Checks `count` bytes of a text that goes on after them unless `at_end`,
// without decoding them: returns how many of them are whole valid sequences.
// It stops at the first sequence at fault, named in `fault`, or, short of the
// end, at a sequence that the next bytes must finish (`fault` stays kNone).
inline size_t checked_prefix(const uint8_t* bytes, size_t count, bool at_end, Fault& fault) {
  size_t i = ascii_prefix(bytes, count);
  while (i < count) {
    const detail::Sequence sequence = detail::sequence_at(bytes + i, count - i);
    if (sequence.length == 0) {
      if (at_end || sequence.fault != Fault::kUnexpectedEnd) fault = sequence.fault;
      return i;
    }
    i += static_cast<size_t>(sequence.length);
    i += ascii_prefix(bytes + i, count - i);
  }
  return i;
}

class TextCutter {
 public:
  // Room for `count` more input bytes, to be handed over by decode().
  // The room is not cleared: read() writes it, and a reader asking for a
  // megabyte per file would otherwise clear a megabyte for every small file.
  uint8_t* room(size_t count) {
    if (waiting_ + count > input_.size) {
      Bytes larger(waiting_ + count);
      if (waiting_) std::memcpy(larger.data.get(), input_.data.get(), waiting_);
      input_ = std::move(larger);
    }
    return input_.data.get() + waiting_;
  }

  // Decodes the `count` bytes written into room(); `last` when the input
  // ends with them. False on input that is not UTF-8 (the cutter is then
  // spent).
  bool decode(size_t count, bool last) {
    const uint8_t* bytes = input_.data.get();
    size_t available = waiting_ + count;
    const size_t held = last ? 0 : detail::unfinished_tail(bytes, available);
    const size_t taken = available - held;
    const int kind = std::max(kind_, detail::kind_of_bytes(bytes, taken));
    widen_to(kind);
    reserve(length_ + taken);
    void* text = text_.data.get();
    const size_t written = with_units(text, kind_, length_, [&](auto* units, size_t at) {
      return detail::decode(bytes, taken, units + at, after_cr_);
    });
    if (written == SIZE_MAX) return false;
    const size_t before = length_;
    length_ += written;
    if (held) std::memmove(input_.data.get(), bytes + taken, held);
    waiting_ = held;
    if (last) {
      cut_ = length_;
    } else {
      const void* text = text_.data.get();
      cut_ = with_units(text, kind_, before, [this](const auto* units, size_t end) {
        return last_token_start(units, end);
      });
    }
    return true;
  }

  // Takes the text decoded so far up to its last token boundary (all of it
  // after the last decode); the token still running stays for the next bytes.
  Piece take() {
    Piece piece;
    if (cut_ == 0) return piece;
    const size_t rest = length_ - cut_;
    Bytes carried;
    int carried_kind = 1;
    if (rest > 0) {
      // The running token starts the next piece in its own narrowest width.
      const unsigned char* from = text_.data.get() + cut_ * static_cast<size_t>(kind_);
      const char32_t largest = with_units(static_cast<const void*>(from), kind_, rest,
                                          [](const auto* units, size_t count) -> char32_t {
                                            return detail::largest_unit(units, count);
                                          });
      carried_kind = largest < 0x100 ? 1 : largest < 0x10000 ? 2 : 4;
      carried = Bytes(rest * static_cast<size_t>(carried_kind));
      narrow(from, kind_, rest, carried.data.get(), carried_kind);
    }
    piece.kind = kind_;
    piece.length = cut_;
    piece.storage = std::exchange(text_, std::move(carried));
    kind_ = carried_kind;
    length_ = rest;
    cut_ = 0;
    return piece;
  }

 private:
  // Where the last token of text_[0, length_) starts. The units from cut_
  // to `fresh` are one unfinished token, so a class change is looked for
  // only from there on: a long token costs each read only its own units.
  template <typename Unit>
  size_t last_token_start(const Unit* text, size_t fresh) const {
    if (length_ == 0) return 0;
    const bool space = scan::is_space_unit(text[length_ - 1]);
    size_t start = length_ - 1;
    while (start > 0 && scan::is_space_unit(text[start - 1]) == space) {
      if (start - 1 < fresh) return cut_;  // [cut_, fresh) is that one token
      start--;
    }
    return start;
  }

  // Room for `units` units in text_; a long token's room doubles.
  void reserve(size_t units) {
    const size_t bytes = units * static_cast<size_t>(kind_);
    if (bytes <= text_.size) return;
    Bytes larger(std::max(bytes, text_.size * 2));
    if (length_) std::memcpy(larger.data.get(), text_.data.get(), length_ * kind_);
    text_ = std::move(larger);
  }

  // Copies `count` units of width `from_kind` into width `to_kind` (each
  // unit fits).
  static void narrow(const unsigned char* from, int from_kind, size_t count, unsigned char* to,
                     int to_kind) {
    if (from_kind == to_kind) {
      std::memcpy(to, from, count * static_cast<size_t>(to_kind));
      return;
    }
    for (size_t i = 0; i < count; i++) {
      char32_t unit = 0;
      if (from_kind == 1) {
        unit = from[i];
      } else if (from_kind == 2) {
        uint16_t u;
        std::memcpy(&u, from + 2 * i, 2);
        unit = u;
      } else {
        uint32_t u;
        std::memcpy(&u, from + 4 * i, 4);
        unit = u;
      }
      if (to_kind == 1) {
        to[i] = static_cast<unsigned char>(unit);
      } else if (to_kind == 2) {
        const auto u = static_cast<uint16_t>(unit);
        std::memcpy(to + 2 * i, &u, 2);
      } else {
        const auto u = static_cast<uint32_t>(unit);
        std::memcpy(to + 4 * i, &u, 4);
      }
    }
  }

  // The unfinished token, re-stored `kind` bytes a unit.
  void widen_to(int kind) {
    if (kind == kind_) return;
    Bytes wider(length_ * static_cast<size_t>(kind));
    if (length_) narrow(text_.data.get(), kind_, length_, wider.data.get(), kind);
    text_ = std::move(wider);
    kind_ = kind;
  }

  Bytes input_;  // [0, waiting_): an unfinished sequence
  size_t waiting_ = 0;
  Bytes text_;  // decoded, kind_ bytes a unit
  int kind_ = 1;
  size_t length_ = 0;  // units in text_
  size_t cut_ = 0;     // units of text_ that end on a token boundary
  bool after_cr_ = false;
};

}  // namespace ormek::utf8
