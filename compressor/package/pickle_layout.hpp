// The byte layout the host's pickler gives a package, for the native code
// that writes packages or reads them without the host's unpickler.
//
// pickle.dump(package, f) writes protocol pickle.DEFAULT_PROTOCOL (4 on
// 3.13, 5 on 3.14; for the plain data of a package the two differ only in
// the PROTO byte). What it writes, for the types a package holds:
//
// - PROTO n, outside any frame; then the object; then STOP.
// - Frames: from protocol 4 on, the opcodes go into frames, each a FRAME
//   opcode with its 8-byte little-endian length before it. A frame is closed
//   at the start of saving an object (any object: an int, a memo reference,
//   a container) once it holds kFrameTarget bytes or more, and at the end
//   after STOP; a frame of fewer than kFrameMinimum bytes gets no FRAME
//   opcode (its bytes stand unframed). A str or bytes payload of
//   kFrameTarget bytes or more bypasses the frames: the open frame is closed,
//   the opcode with its length and the payload follow unframed, and the next
//   opcode opens a new frame.
// - The memo: every str, bytes, list and dict is stored by MEMOIZE right
//   after it is made (the memo index is the count of earlier stores); ints
//   are never memoized. An object saved again *by identity* is a memo
//   reference: BINGET below index 256, LONG_BINGET (4 bytes) from there.
//   The host shares some equal strs as one object: the empty str and every
//   one-character str of U+0000 to U+00FF. So a one-character name and an
//   equal one-character token are one object, the second a BINGET; any
//   other two strs made apart are two objects and are written twice.
// - str: its UTF-8 bytes (a lone surrogate as its three bytes) after
//   SHORT_BINUNICODE (1-byte length, up to 255), BINUNICODE (4-byte length)
//   or BINUNICODE8 (8-byte length); bytes likewise after SHORT_BINBYTES,
//   BINBYTES or BINBYTES8. Lengths little-endian.
// - int: a signed 32-bit value as BININT1 (0 to 255), BININT2 (256 to
//   65535) or BININT (4 bytes, two's complement, for any other value of the
//   range); beyond it LONG1: a 1-byte count, then the value in that many
//   bytes, little-endian two's complement, as short as the sign allows.
// - dict: EMPTY_DICT, MEMOIZE, then its items in order in batches of
//   kBatch: one item alone is key, value, SETITEM; otherwise each batch is
//   MARK, keys and values, SETITEMS, and a dict of a whole number of batches
//   ends with one empty batch more (MARK SETITEMS).
// - list: EMPTY_LIST, MEMOIZE, then its items: one alone then APPEND;
//   otherwise batches of kBatch as MARK, items, APPENDS (no empty batch).
//
// A package is a dict whose keys come in the order "compressed",
// "file_boundaries", "filenames", "global_dict", then "file_facts" when it
// carries the files' facts (format.hpp, file_facts.hpp).
//
// Host-free: the constants and the little-endian helpers that both the
// writer (pickle_emitter.hpp) and a native reader use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ormek::pickle_layout {

// Opcodes (the host's disassembler's names).
inline constexpr unsigned char kMark = '(';
inline constexpr unsigned char kStop = '.';
inline constexpr unsigned char kBinInt = 'J';
inline constexpr unsigned char kBinInt1 = 'K';
inline constexpr unsigned char kBinInt2 = 'M';
inline constexpr unsigned char kBinUnicode = 'X';
inline constexpr unsigned char kAppend = 'a';
inline constexpr unsigned char kAppends = 'e';
inline constexpr unsigned char kBinGet = 'h';
inline constexpr unsigned char kLongBinGet = 'j';
inline constexpr unsigned char kEmptyList = ']';
inline constexpr unsigned char kSetItem = 's';
inline constexpr unsigned char kSetItems = 'u';
inline constexpr unsigned char kEmptyDict = '}';
inline constexpr unsigned char kBinBytes = 'B';
inline constexpr unsigned char kShortBinBytes = 'C';
inline constexpr unsigned char kProto = 0x80;
inline constexpr unsigned char kLong1 = 0x8a;
inline constexpr unsigned char kShortBinUnicode = 0x8c;
inline constexpr unsigned char kBinUnicode8 = 0x8d;
inline constexpr unsigned char kBinBytes8 = 0x8e;
inline constexpr unsigned char kMemoize = 0x94;
inline constexpr unsigned char kFrame = 0x95;

// The first protocol with frames, MEMOIZE and the 8-byte lengths.
inline constexpr int kFramedProtocol = 4;
// A frame is closed at an object's start once it holds this many bytes; a
// payload this long bypasses the frames.
inline constexpr size_t kFrameTarget = size_t{64} * 1024;
// FRAME and its length.
inline constexpr size_t kFrameHeaderBytes = 9;
// A shorter frame gets no FRAME opcode.
inline constexpr size_t kFrameMinimum = 4;
// Items per MARK ... SETITEMS or MARK ... APPENDS.
inline constexpr size_t kBatch = 1000;
// The longest lengths of the one-byte and four-byte forms.
inline constexpr uint64_t kShortLength = 0xff;
inline constexpr uint64_t kLongLength = 0xffffffffu;
// BINGET reaches memo indices below this; LONG_BINGET the rest.
inline constexpr uint64_t kShortMemoIndex = 256;

// `value` as `bytes` bytes, little-endian.
inline void store_little_endian(unsigned char* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The `bytes`-byte little-endian value at `in`.
inline uint64_t load_little_endian(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = value << 8 | in[i];
  return value;
}

}  // namespace ormek::pickle_layout
