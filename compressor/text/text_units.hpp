// A string's code units in their own width, for the native loops that read
// text without making a host object per piece: the one place that switches
// on a width (1, 2 or 4 bytes a unit).
//
// with_units is free of host objects, for the host-free units and their C++
// tests; with_text_units, over a host str, is there wherever the host's
// headers are (every source of the module includes <Python.h> first).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace ormek {

// fn(units, length) with units a uint8_t*, uint16_t* or uint32_t* (const
// when `data` is), for `length` units of `kind` bytes each (1, 2 or 4).
template <typename Void, typename Fn>
requires std::is_void_v<Void>
auto with_units(Void* data, int kind, size_t length, Fn&& fn) {
  auto as = [data]<typename Unit>() {
    return static_cast<std::conditional_t<std::is_const_v<Void>, const Unit, Unit>*>(data);
  };
  switch (kind) {
    case 1:
      return fn(as.template operator()<uint8_t>(), length);
    case 2:
      return fn(as.template operator()<uint16_t>(), length);
    default:
      return fn(as.template operator()<uint32_t>(), length);
  }
}

// Code point `c` as UTF-8 into `out`, which has room for 4 bytes; a lone
// surrogate as its three bytes (so that different code points never give the
// same bytes). Returns the number of bytes written.
inline size_t encode_utf8(uint32_t c, uint8_t* out) {
  if (c < 0x80) {
    out[0] = static_cast<uint8_t>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
    out[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
  out[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
  return 4;
}

// The UTF-8 length of `length` code points given as code units.
template <typename Unit>
uint64_t utf8_length(const Unit* units, size_t length) {
  uint64_t bytes = length;
  for (size_t i = 0; i < length; i++) {
    const auto c = static_cast<uint32_t>(units[i]);
    bytes += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
  }
  return bytes;
}

// How many of the first `length` one-byte units are ASCII (below 0x80): 32
// at a time while they all are (most text is ASCII throughout), then a word
// of eight at a time, the first unit at or above it found from the word's
// high bits.
inline size_t ascii_prefix(const uint8_t* units, size_t length) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    uint64_t words[4];
    std::memcpy(words, units + i, 32);
    if (((words[0] | words[1] | words[2] | words[3]) & kHigh) != 0) break;
  }
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, units + i, 8);
    if (const uint64_t high = word & kHigh; high != 0) {
      const int bit = std::endian::native == std::endian::little ? std::countr_zero(high)
                                                                 : std::countl_zero(high);
      return i + static_cast<size_t>(bit) / 8;
    }
  }
  while (i < length && units[i] < 0x80) i++;
  return i;
}

// `length` code units appended to `out` as encode_utf8 encodes them.
template <typename Unit>
void append_utf8(const Unit* units, size_t length, std::string& out) {
  uint8_t bytes[4];
  for (size_t i = 0; i < length; i++) {
    const size_t size = encode_utf8(static_cast<uint32_t>(units[i]), bytes);
    out.append(reinterpret_cast<const char*>(bytes), size);
  }
}

#ifdef Py_PYTHON_H
// with_units over a str's own code units.
template <typename Fn>
auto with_text_units(PyObject* text, Fn&& fn) {
  return with_units(static_cast<const void*>(PyUnicode_DATA(text)), PyUnicode_KIND(text),
                    static_cast<size_t>(PyUnicode_GET_LENGTH(text)), fn);
}

// A str's code points as encode_utf8 writes them, appended to `out`.
// Throws std::bad_alloc.
inline void append_utf8_of(PyObject* text, std::string& out) {
  with_text_units(text, [&out](const auto* units, size_t length) {
    out.reserve(out.size() + static_cast<size_t>(utf8_length(units, length)));
    append_utf8(units, length, out);
  });
}
#endif

}  // namespace ormek
