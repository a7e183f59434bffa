// Checks of the content size read from a Zstandard frame's header: each
// width of the size field (the 2-byte one counted from 256), with and
// without a window descriptor and a dictionary id; and no size for a header
// that states none or for bytes that begin no frame.
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
  return ormek::test::report();
}
