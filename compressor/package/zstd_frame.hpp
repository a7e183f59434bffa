// What the header of a Zstandard frame states about its content, read from
// its first bytes (the frame format's header: magic number, frame header
// descriptor, window descriptor, dictionary id, content size).
//
// The binding's one-shot decompression sizes its output by the content size
// a frame's header states and refuses a frame that states none; a reader
// that decompresses the same frame piece by piece stands in for it only
// when the header states one, and checks that the frame makes exactly that
// many bytes, and only for a frame that spans its bytes exactly, as found by
// walking the headers of its blocks (the one-shot call refuses what follows
// a frame, or decompresses it too).
//
// Host-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compressor/package/byte_window.hpp"
#include "compressor/package/pickle_layout.hpp"

namespace ormek::zstd_frame {

inline constexpr uint32_t kMagic = 0xFD2FB528;
// The longest header: magic, descriptor, window, 4-byte dictionary id and
// 8-byte content size.
inline constexpr size_t kLongestHeader = 4 + 1 + 1 + 4 + 8;

// The length of a frame's header, from its descriptor (its fifth byte).
inline size_t header_size(unsigned char descriptor) {
  const bool single_segment = descriptor & 0x20;
  const int size_flag = descriptor >> 6;
  static constexpr size_t kDictionaryIdBytes[] = {0, 1, 2, 4};
  const size_t size_bytes = size_flag == 0 ? (single_segment ? 1 : 0) : size_t{1} << size_flag;
  return 5 + (single_segment ? 0 : 1) + kDictionaryIdBytes[descriptor & 3] + size_bytes;
}

// The content size the frame beginning at `p` (`size` bytes at hand) states:
// true with it in `content`; false when the bytes begin no frame (another
// magic number, a skippable frame, a reserved bit set, too few bytes) or the
// header states no size.
inline bool stated_content_size(const unsigned char* p, size_t size, uint64_t& content) {
  using pickle_layout::load_little_endian;
  if (size < 5 || load_little_endian(p, 4) != kMagic) return false;
  const unsigned char descriptor = p[4];
  if (descriptor & 0x08) return false;  // the reserved bit
  const int size_flag = descriptor >> 6;
  const size_t size_bytes = size_flag == 0 ? ((descriptor & 0x20) ? 1 : 0) : size_t{1} << size_flag;
  const size_t end = header_size(descriptor);
  if (size_bytes == 0 || end > size) return false;
  content = load_little_endian(p + end - size_bytes, static_cast<int>(size_bytes)) +
            (size_bytes == 2 ? 256 : 0);
  return true;
}

// A frame made without its size known up front states it afterwards: the
// header the compressor writes when told the content's size, in place of
// the first kUnsizedHeader bytes of one written without it (`header`), with
// the same window and checksum flag. The blocks that follow are the same
// either way for the sizes the encoder streams this way (a window's rows of
// settings are chosen alike from 256 KiB on), and a frame's content fits
// any window as long. Its length in `out` (room for kLongestHeader), or 0
// when `header` is not such a header (another magic number, a size, a
// dictionary id, one segment, a window between powers of two, a reserved
// bit).
inline constexpr size_t kUnsizedHeader = 4 + 1 + 1;
inline size_t sized_header(const unsigned char* header, uint64_t content, unsigned char* out) {
  using pickle_layout::load_little_endian;
  const unsigned char descriptor = header[4];
  const unsigned char window = header[5];
  constexpr unsigned char kChecksumFlag = 0x04;
  if (load_little_endian(header, 4) != kMagic || (descriptor & ~kChecksumFlag) != 0 ||
      (window & 7) != 0) {
    return 0;
  }
  const uint64_t window_size = uint64_t{1} << (10 + (window >> 3));
  const bool single_segment = content <= window_size;
  const int size_flag = (content >= 256) + (content >= 65536 + 256) + (content >= 0xFFFFFFFFu);
  const size_t size_bytes = size_flag == 0 ? 1 : size_t{1} << size_flag;
  const uint64_t stated = size_flag == 1 ? content - 256 : content;
  std::memcpy(out, header, 4);
  out[4] = static_cast<unsigned char>((size_flag << 6) | (single_segment ? 0x20 : 0) |
                                      (descriptor & kChecksumFlag));
  size_t at = 5;
  if (!single_segment) out[at++] = window;
  for (size_t i = 0; i < size_bytes; i++) out[at++] = static_cast<unsigned char>(stated >> (8 * i));
  return at;
}

// The bytes the frame at the window's cursor spans (header, blocks and
// checksum), found from its blocks' headers alone, with the cursor moved
// past them: 0 when they do not lead to a last block (no frame begins there,
// a block's type is the reserved one, the data ends first). Whether the
// blocks themselves decompress is the decompressor's to say.
inline uint64_t walk_frame(ByteWindow& in) {
  using pickle_layout::load_little_endian;
  const uint64_t start = in.offset();
  if (!in.have(5) || load_little_endian(in.at(), 4) != kMagic) return 0;
  const unsigned char descriptor = in.at()[4];
  if ((descriptor & 0x08) || !in.skip(header_size(descriptor))) return 0;
  constexpr uint64_t kReservedType = 3, kRunType = 1;
  for (bool last = false; !last;) {
    if (!in.have(3)) return 0;
    const uint64_t block = load_little_endian(in.at(), 3);
    const uint64_t type = (block >> 1) & 3;
    last = block & 1;
    // A run block holds its one byte, whatever length it stands for.
    if (type == kReservedType || !in.skip(3 + (type == kRunType ? 1 : block >> 3))) return 0;
  }
  if ((descriptor & 0x04) && !in.skip(4)) return 0;  // the content checksum
  return in.offset() - start;
}

}  // namespace ormek::zstd_frame
