// The check of a package's file facts themselves ("facts_digest"): an XXH3-128
// digest, in its canonical (big-endian) form, over one byte form of every
// other entry of the facts, so that no two different sets of facts give the
// same bytes. Entry by entry, in the order of the facts table (file_facts.cpp):
//
//   the key:      its UTF-8 length, then its UTF-8;
//   an int value: its 8 bytes;
//   a list value: its length, then each item: an int as its 8 bytes, bytes
//                 or a str as their length, then their bytes (a str as UTF-8,
//                 a lone surrogate as its three bytes);
//
// every length and int as 8 bytes, two's complement, least significant first.
// A key tells each entry from the next, and a length each item, so an entry
// that moved, one more or fewer item, or bytes that moved from one item to
// the next all give other bytes.
//
// Pure C++: no host object is touched, so the form is tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "compressor/package/content_digest.hpp"

namespace ormek {

// Writes the byte form into `sink`, called as sink(data, size).
template <typename Sink>
class FactsForm {
 public:
  explicit FactsForm(Sink& sink) : sink_(sink) {}

  void key(std::string_view key) { sized(key.data(), key.size()); }
  void count(uint64_t count) { eight_bytes(count); }
  void integer(int64_t value) { eight_bytes(static_cast<uint64_t>(value)); }
  void sized(const void* data, size_t size) {
    eight_bytes(size);
    sink_(data, size);
  }

 private:
  void eight_bytes(uint64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; i++) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    sink_(bytes, sizeof bytes);
  }

  Sink& sink_;
};

// The sink that digests the form.
class FactsDigest {
 public:
  FactsDigest() {
    XXH3_INITSTATE(&state_);
    XXH3_128bits_reset(&state_);
  }
  FactsDigest(const FactsDigest&) = delete;
  FactsDigest& operator=(const FactsDigest&) = delete;

  void operator()(const void* data, size_t size) { XXH3_128bits_update(&state_, data, size); }

  Digest finish() const { return canonical_digest(XXH3_128bits_digest(&state_)); }

 private:
  XXH3_state_t state_;
};

}  // namespace ormek
