// What the header of a Zstandard frame states about its content, read from
// its first bytes (the frame format's header: magic number, frame header
// descriptor, window descriptor, dictionary id, content size).
//
// The binding's one-shot decompression sizes its output by the content size
// a frame's header states and refuses a frame that states none; a reader
// that decompresses the same frame piece by piece stands in for it only
// when the header states one, and checks that the frame makes exactly that
// many bytes.
//
// Host-free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compressor/package/pickle_layout.hpp"

namespace ormek::zstd_frame {

inline constexpr uint32_t kMagic = 0xFD2FB528;
// The longest header: magic, descriptor, window, 4-byte dictionary id and
// 8-byte content size.
inline constexpr size_t kLongestHeader = 4 + 1 + 1 + 4 + 8;

// The content size the frame beginning at `p` (`size` bytes at hand) states:
// true with it in `content`; false when the bytes begin no frame (another
// magic number, a skippable frame, a reserved bit set, too few bytes) or the
// header states no size.
inline bool stated_content_size(const unsigned char* p, size_t size, uint64_t& content) {
  using pickle_layout::load_little_endian;
  if (size < 5 || load_little_endian(p, 4) != kMagic) return false;
  const unsigned char descriptor = p[4];
  if (descriptor & 0x08) return false;  // the reserved bit
  const bool single_segment = descriptor & 0x20;
  const int size_flag = descriptor >> 6;
  static constexpr int kDictionaryIdBytes[] = {0, 1, 2, 4};
  const int size_bytes = size_flag == 0 ? (single_segment ? 1 : 0) : 1 << size_flag;
  const size_t at = 5 + (single_segment ? 0 : 1) + kDictionaryIdBytes[descriptor & 3];
  if (size_bytes == 0 || at + size_bytes > size) return false;
  content = load_little_endian(p + at, size_bytes) + (size_bytes == 2 ? 256 : 0);
  return true;
}

}  // namespace ormek::zstd_frame
