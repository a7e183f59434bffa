// Checks of the content size read from a Zstandard frame's header: each
// width of the size field (the 2-byte one counted from 256), with and
// without a window descriptor and a dictionary id; and no size for a header
// that states none or for bytes that begin no frame. Then the walk of a
// frame's blocks: a run block spans one byte whatever length it stands for,
// the checksum follows the last block, and a reserved block type or bytes
// that end first walk to nothing. Last, the header a frame made without its
// size is given once the size is known: as the compressor writes it for
// that size, read back as that size, and none for a header that is not one
// without a size.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "compressor/package/zstd_frame.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::test::check;

struct Case {
  const char* what;
  std::vector<unsigned char> header;  // after the magic number
  bool stated;
  uint64_t content;
};

int64_t read_bytes(void* source, uint64_t at, unsigned char* into, size_t size) {
  const auto* bytes = static_cast<const std::vector<unsigned char>*>(source);
  const size_t n = std::min<size_t>(size, bytes->size() - at);
  std::memcpy(into, bytes->data() + at, n);
  return static_cast<int64_t>(n);
}

// A block header: last flag, type, size.
void block(std::vector<unsigned char>& out, bool last, unsigned type, uint32_t size) {
  const uint32_t header = (last ? 1u : 0u) | type << 1 | size << 3;
  for (int i = 0; i < 3; i++) out.push_back(static_cast<unsigned char>(header >> (8 * i)));
}

// The walked length of a frame with a checksum and a 2-byte size field, its
// blocks given as (type, size) and then `tail` appended.
uint64_t walked(std::vector<std::pair<unsigned, uint32_t>> blocks, size_t tail = 0) {
  std::vector<unsigned char> bytes = {0x28, 0xB5, 0x2F, 0xFD, 0x44, 0x58, 0x00, 0x10};
  for (size_t i = 0; i < blocks.size(); i++) {
    block(bytes, i + 1 == blocks.size(), blocks[i].first, blocks[i].second);
    bytes.resize(bytes.size() + (blocks[i].first == 1 ? 1 : blocks[i].second), 0xAA);
  }
  bytes.resize(bytes.size() + 4 + tail, 0xCC);
  ormek::ByteWindow in(read_bytes, &bytes, bytes.size(), 16);
  return ormek::zstd_frame::walk_frame(in);
}

}  // namespace

int main() {
  const Case cases[] = {
      {"an empty frame (single segment, 1 byte)", {0x20, 0x00}, true, 0},
      {"2 bytes, from 256", {0x60, 0x00, 0x01}, true, 256 + 0x100},
      {"4 bytes after a window", {0x80, 0x58, 0x78, 0x56, 0x34, 0x12}, true, 0x12345678},
      {"8 bytes after a 2-byte dictionary id",
       {0xE2, 1, 2, 0, 1, 0, 0, 0, 0, 0, 1},
       true,
       0x0100000000000100ull},
      {"no size field", {0x00, 0x58}, false, 0},
      {"the reserved bit", {0x28, 0x00}, false, 0},
      {"cut short", {0x80, 0x58, 0x78}, false, 0},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> bytes = {0x28, 0xB5, 0x2F, 0xFD};
    bytes.insert(bytes.end(), c.header.begin(), c.header.end());
    uint64_t content = 7;
    const bool stated = ormek::zstd_frame::stated_content_size(bytes.data(), bytes.size(), content);
    check(stated == c.stated && (!stated || content == c.content), c.what);
  }
  const unsigned char skippable[] = {0x50, 0x2A, 0x4D, 0x18, 0x20, 0x00};
  uint64_t content = 0;
  check(!ormek::zstd_frame::stated_content_size(skippable, sizeof skippable, content),
        "a skippable frame");
  check(walked({{2, 300}, {1, 131072}, {0, 5}}) == 8 + 3 + 300 + 3 + 1 + 3 + 5 + 4,
        "compressed, run and raw blocks and the checksum");
  check(walked({{2, 300}}, 7) == 8 + 3 + 300 + 4, "bytes after the frame are not its own");
  check(walked({{2, 300}, {3, 2}}) == 0, "a reserved block type");
  check(walked({{0, 70000}}, 0) == 8 + 3 + 70000 + 4, "a raw block past the window");
  std::vector<unsigned char> cut = {0x28, 0xB5, 0x2F, 0xFD, 0x44, 0x58, 0x00, 0x10};
  block(cut, true, 2, 300);
  cut.resize(cut.size() + 300 + 3);  // the checksum cut short
  ormek::ByteWindow in(read_bytes, &cut, cut.size(), 16);
  check(ormek::zstd_frame::walk_frame(in) == 0, "a frame cut short");
  struct Sized {
    const char* what;
    unsigned char descriptor, window;
    uint64_t content;
    std::vector<unsigned char> expected;  // after the magic number; empty: refused
  };
  const Sized sized[] = {
      {"within the window: one segment", 0x00, 0x58, 300000, {0xA0, 0xE0, 0x93, 0x04, 0x00}},
      {"past the window: the window kept", 0x04, 0x58, 0x800000, {0x84, 0x58, 0, 0, 0x80, 0}},
      {"a small frame, 1-byte size", 0x00, 0x50, 100, {0x20, 100}},
      {"2 bytes from 256", 0x00, 0x50, 1000, {0x60, 0xE8, 0x02}},
      {"8 bytes", 0x00, 0x58, 1ull << 33, {0xC0, 0x58, 0, 0, 0, 0, 2, 0, 0, 0}},
      {"a size stated already", 0x80, 0x58, 300000, {}},
      {"a dictionary id", 0x01, 0x58, 300000, {}},
      {"a window between powers of two", 0x00, 0x59, 300000, {}},
  };
  for (const Sized& c : sized) {
    const unsigned char header[] = {0x28, 0xB5, 0x2F, 0xFD, c.descriptor, c.window};
    unsigned char out[ormek::zstd_frame::kLongestHeader];
    const size_t length = ormek::zstd_frame::sized_header(header, c.content, out);
    std::vector<unsigned char> expected = {0x28, 0xB5, 0x2F, 0xFD};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    uint64_t stated = 0;
    check(c.expected.empty() ? length == 0
                             : std::vector<unsigned char>(out, out + length) == expected &&
                                   ormek::zstd_frame::header_size(out[4]) == length &&
                                   ormek::zstd_frame::stated_content_size(out, length, stated) &&
                                   stated == c.content,
          c.what);
  }
  return ormek::test::report();
}
