// The check a package keeps for each of its files: a 128-bit XXH3 digest of
// the file's stored name and of the UTF-8 bytes it restores to, and their
// count.
//
// What is hashed, in this order: the stored name's UTF-8 length as 8 bytes,
// least significant first; the stored name's UTF-8; the file's UTF-8. The
// length keeps the name and the text apart ("ab" + "c" and "a" + "bc" differ),
// so a name that changed, text that moved from one file to its neighbour, a
// token or an id that changed all show as a different digest. The digest is
// kept in XXH3's canonical form (most significant byte first).
//
// Text is given as code units of any width (the three widths of a host str);
// code points are encoded as UTF-8 on the way, a lone surrogate as its three
// bytes (a stored name read from a file system that is not UTF-8 holds such
// escapes). XXH3 is used header-only, inlined: no library is linked.
//
// Pure C++: no host object is touched, so it is tested on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "compressor/text/text_units.hpp"

namespace ormek {

using Digest = std::array<uint8_t, 16>;

// An XXH3-128 hash in its canonical form, most significant byte first.
inline Digest canonical_digest(XXH128_hash_t hash) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  Digest digest;
  std::memcpy(digest.data(), canonical.digest, digest.size());
  return digest;
}

class ContentDigest {
 public:
  ContentDigest() { XXH3_INITSTATE(&state_); }
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;

  // Starts the digest of the file stored under `name`.
  template <typename Unit>
  void begin(const Unit* name, size_t length) {
    start(utf8_length(name, length));
    add_units(name, length);
    content_bytes_ = 0;
  }

  // The same with the name given as its UTF-8 (encode_utf8's bytes).
  void begin_utf8(const void* name, size_t size) {
    start(size);
    feed(name, size);
    content_bytes_ = 0;
  }

  // The file's text: UTF-8 bytes as they are.
  void add_bytes(const void* data, size_t size) {
    XXH3_128bits_update(&state_, data, size);
    content_bytes_ += size;
  }

  // The file's text as code units, encoded as UTF-8 on the way. One-byte
  // units below 0x80 are their own UTF-8 and go through in runs.
  template <typename Unit>
  void add_text(const Unit* units, size_t length) {
    const uint64_t before = bytes_fed_;
    add_units(units, length);
    content_bytes_ += bytes_fed_ - before;
  }

  // The number of text bytes given since begin().
  uint64_t content_bytes() const { return content_bytes_; }

  Digest finish() const { return canonical_digest(XXH3_128bits_digest(&state_)); }

 private:
  template <typename Unit>
  void add_units(const Unit* units, size_t length) {
    size_t i = 0;
    while (i < length) {
      if constexpr (sizeof(Unit) == 1) {
        const size_t run = i + ascii_prefix(units + i, length - i);
        if (run > i) {
          feed(units + i, run - i);
          i = run;
          continue;
        }
      }
      // A stretch encoded into the buffer, each code point 4 bytes at most.
      size_t used = 0;
      for (; i < length && used + 4 <= sizeof buffer_; i++) {
        const auto c = static_cast<uint32_t>(units[i]);
        if constexpr (sizeof(Unit) == 1) {
          if (c < 0x80) break;  // the next ASCII run goes through as it is
        }
        used += encode_utf8(c, buffer_ + used);
      }
      feed(buffer_, used);
    }
  }

  void start(uint64_t name_bytes) {
    XXH3_128bits_reset(&state_);
    uint8_t prefix[8];
    for (int i = 0; i < 8; i++) prefix[i] = static_cast<uint8_t>(name_bytes >> (8 * i));
    XXH3_128bits_update(&state_, prefix, sizeof prefix);
  }

  void feed(const void* data, size_t size) {
    XXH3_128bits_update(&state_, data, size);
    bytes_fed_ += size;
  }

  XXH3_state_t state_;
  uint64_t bytes_fed_ = 0;
  uint64_t content_bytes_ = 0;
  uint8_t buffer_[4096];
};

}  // namespace ormek
