// Whether the keys of a dictionary read from a package's bytes are all
// distinct, told without keeping the keys.
//
// The host's unpickler builds a dict: a key that comes again replaces the
// value of the first (one entry fewer, and the first id then names no
// token). A reader that goes by the pickled entries alone is exact only when
// no key repeats, so it asks this. Each key is kept as 60 bits of a seeded
// 64-bit hash of its bytes (equal strs pickle to equal bytes): 12 bits pick
// one of 4096 buckets and 48 are stored, 6 bytes a key in blocks of their
// own, so 20 million keys take about 125 MB. The keys are distinct when no
// two share those bits; two that do are reported as a repeat, which a
// caller treats as it treats a true one (it reads the package the host's
// way), so the answer is never wrong, only now and then (about n^2 / 2^61:
// one in 5,000 for 20 million keys) slower than it need be. The seed is drawn
// once a process (or given, for tests), so a package cannot be made to collide.
//
// Host-free; XXH3 is used header-only, as content_digest.hpp does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "compressor/package/process_seed.hpp"

namespace ormek {

class DistinctKeys {
 public:
  explicit DistinctKeys(uint64_t seed) : seed_(seed), buckets_(size_t{1} << kBucketBits) {}
  DistinctKeys() : DistinctKeys(process_seed()) {}

  // Throws std::bad_alloc.
  void add(const unsigned char* key, size_t size) {
    const uint64_t hash = XXH3_64bits_withSeed(key, size, seed_);
    const size_t bucket = hash >> (64 - kBucketBits);
    unsigned char* staged = staged_.get() + bucket * kStagedBytes;
    std::memcpy(staged + kKeyBytes * staged_count_[bucket], &hash,
                kKeyBytes);  // 48 of its bits (the low ones on little-endian hosts)
    if (++staged_count_[bucket] == kStagedKeys) {
      move_to_block(buckets_[bucket], staged);
      staged_count_[bucket] = 0;
    }
    count_++;
  }

  size_t count() const { return count_; }

  // Whether no two keys added share their bits: then no two are equal.
  // Throws std::bad_alloc.
  bool distinct() const {
    std::vector<uint64_t> seen;
    for (size_t i = 0; i < buckets_.size(); i++) {
      const Bucket& bucket = buckets_[i];
      const size_t staged = staged_count_[i];
      const size_t keys = held(bucket) + staged;
      size_t slots = 16;
      while (slots < 2 * keys) slots *= 2;
      seen.assign(slots, 0);
      for (size_t b = 0; b < bucket.blocks.size(); b++) {
        const unsigned char* bytes = blocks_[bucket.blocks[b]]->bytes;
        const size_t in_block = b + 1 == bucket.blocks.size() ? bucket.used : kBlockKeys;
        for (size_t k = 0; k < in_block; k++) {
          if (!insert(seen, stored(bytes + kKeyBytes * k))) return false;
        }
      }
      const unsigned char* bytes = staged_.get() + i * kStagedBytes;
      for (size_t k = 0; k < staged; k++) {
        if (!insert(seen, stored(bytes + kKeyBytes * k))) return false;
      }
    }
    return true;
  }

 private:
  static constexpr int kBucketBits = 12;
  static constexpr size_t kKeyBytes = 6;
  // A key goes first to a run of its bucket's in one array of them all
  // (4096 runs of forty keys: 960 KB, which a core's cache holds), and only
  // a full run moves to the bucket's block: a key written straight to one
  // of 4096 blocks costs a cache and a TLB miss each, a run costs one.
  static constexpr size_t kStagedKeys = 40;
  static constexpr size_t kStagedBytes = kKeyBytes * kStagedKeys;
  static constexpr size_t kBlockKeys = 17 * kStagedKeys;  // blocks of about 4 KB
  struct Block {
    unsigned char bytes[kKeyBytes * kBlockKeys];
  };
  struct Bucket {
    std::vector<uint32_t> blocks;   // into blocks_, in order
    unsigned char* tail = nullptr;  // where the next key goes in the last block
    size_t used = kBlockKeys;       // keys in the last block
  };

  void move_to_block(Bucket& bucket, const unsigned char* staged) {
    if (bucket.used == kBlockKeys) {
      blocks_.push_back(std::make_unique_for_overwrite<Block>());
      bucket.blocks.push_back(static_cast<uint32_t>(blocks_.size() - 1));
      bucket.tail = blocks_.back()->bytes;
      bucket.used = 0;
    }
    std::memcpy(bucket.tail, staged, kStagedBytes);
    bucket.tail += kStagedBytes;
    bucket.used += kStagedKeys;
  }
  static size_t held(const Bucket& bucket) {
    return bucket.blocks.empty() ? 0 : (bucket.blocks.size() - 1) * kBlockKeys + bucket.used;
  }
  // A key's stored bits, never 0 (0 marks an empty slot).
  static uint64_t stored(const unsigned char* at) {
    uint64_t bits = 0;
    for (size_t i = 0; i < kKeyBytes; i++) bits |= uint64_t{at[i]} << (8 * i);
    return bits | uint64_t{1} << 63;
  }
  // Adds `bits` to the open-addressed set `seen`: false when it is there.
  static bool insert(std::vector<uint64_t>& seen, uint64_t bits) {
    const size_t mask = seen.size() - 1;
    for (size_t at = (bits * 0x9E3779B97F4A7C15ull) >> 40 & mask;; at = (at + 1) & mask) {
      if (seen[at] == bits) return false;
      if (seen[at] == 0) {
        seen[at] = bits;
        return true;
      }
    }
  }

  uint64_t seed_;
  std::vector<Bucket> buckets_;
  std::unique_ptr<unsigned char[]> staged_ =
      std::make_unique_for_overwrite<unsigned char[]>(kStagedBytes << kBucketBits);
  std::vector<uint8_t> staged_count_ = std::vector<uint8_t>(size_t{1} << kBucketBits);
  std::vector<std::unique_ptr<Block>> blocks_;
  size_t count_ = 0;
};

}  // namespace ormek
