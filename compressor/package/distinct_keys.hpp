// Whether the keys of a dictionary read from a package's bytes are all
// distinct, told without keeping the keys.
//
// The host's unpickler builds a dict: a key that comes again replaces the
// value of the first (one entry fewer, and the first id then names no
// token). A reader that goes by the pickled entries alone is exact only when
// no key repeats, so it asks this. Each key is kept as 56 bits of a seeded
// 64-bit hash of its bytes (equal strs pickle to equal bytes): 16 bits pick
// one of 65,536 buckets and 40 are stored, 5 bytes a key, so 30 million keys
// take about 160 MB. The keys are distinct when no two share those bits; two
// that do are reported as a repeat, so the answer is never wrong, only now
// and then (about n^2 / 2^57: one in 160 for 30 million keys, one in 640 for
// 15 million) slower than it need be: the callers then ask again with keys
// hashed with a second seed (second_process_seed) before they read the
// package the host's way. The seed is drawn once a
// process (or given, for tests), so a package cannot be made to collide.
//
// A key goes first to a run of its bucket's (sixteen keys) in one array of
// them all, and only a full run moves on, to the end of a list of runs that
// every bucket shares, tagged with its bucket: the keys are written where
// they were last written, not to one of 65,536 places, and no bucket keeps
// room it does not fill. The test sorts the runs by bucket (4 bytes a run
// while it runs), then looks for a repeat a bucket at a time, in a table the
// size of a core's first cache; the upper half of the buckets on a thread of
// its own, joined before the answer.
//
// Host-free; XXH3 is used header-only, as content_digest.hpp does.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "compressor/package/process_seed.hpp"

namespace ormek {

class DistinctKeys {
 public:
  explicit DistinctKeys(uint64_t seed) : seed_(seed) {}
  DistinctKeys() : DistinctKeys(process_seed()) {}

  // What add() keeps of a key: its hash, which a caller may take on one
  // thread and add on another (keys_on_thread.hpp).
  struct Hasher {
    uint64_t seed;
    uint64_t operator()(const unsigned char* key, size_t size) const {
      return XXH3_64bits_withSeed(key, size, seed);
    }
  };
  Hasher hasher() const { return Hasher{seed_}; }

  // Throws std::bad_alloc.
  void add(const unsigned char* key, size_t size) { add_hash(hasher()(key, size)); }
  // Adds the key whose hash `hash` is. Throws std::bad_alloc.
  void add_hash(uint64_t hash) {
    const auto bucket = static_cast<uint32_t>(hash >> (64 - kBucketBits));
    unsigned char* run = staged_.get() + size_t{bucket} * kRunBytes;
    store(run + kKeyBytes * staged_count_[bucket], hash);
    if (++staged_count_[bucket] == kRunKeys) {
      move_run(bucket, run);
      staged_count_[bucket] = 0;
    }
    count_++;
  }

  size_t count() const { return count_; }

  // Whether no two keys added share their bits: then no two are equal.
  // Throws std::bad_alloc.
  bool distinct() const {
    const RunOrder by_bucket = runs_by_bucket();
    if (count_ < kThreadedKeys) return distinct_in(by_bucket, 0, kBuckets);
    std::atomic<bool> upper{true};
    std::atomic<bool> out_of_memory{false};
    std::thread helper;
    try {
      helper = std::thread([&] {
        try {
          upper.store(distinct_in(by_bucket, kBuckets / 2, kBuckets));
        } catch (const std::bad_alloc&) {
          out_of_memory.store(true);
        }
      });
    } catch (const std::system_error&) {
      upper.store(distinct_in(by_bucket, kBuckets / 2, kBuckets));
    }
    bool lower = false;
    try {
      lower = distinct_in(by_bucket, 0, kBuckets / 2);
    } catch (const std::bad_alloc&) {
      out_of_memory.store(true);
    }
    if (helper.joinable()) helper.join();
    if (out_of_memory.load()) throw std::bad_alloc();
    return lower && upper.load();
  }

 private:
  static constexpr int kBucketBits = 16;
  static constexpr size_t kBuckets = size_t{1} << kBucketBits;
  static constexpr size_t kKeyBytes = 5;
  static constexpr size_t kRunKeys = 16;
  static constexpr size_t kRunBytes = kKeyBytes * kRunKeys;
  static constexpr size_t kSlabRuns = 8192;  // slabs of about 660 KB
  static constexpr size_t kRunsAhead = 8;
  // Fewer keys are told apart faster than a thread starts.
  static constexpr size_t kThreadedKeys = size_t{1} << 18;
  struct Slab {
    unsigned char keys[kRunBytes * kSlabRuns];
    uint16_t bucket[kSlabRuns];
  };
  static_assert(kBuckets - 1 <= UINT16_MAX, "a run's bucket is kept in 16 bits");

  void move_run(uint32_t bucket, const unsigned char* run) {
    const uint32_t in_slab = runs_ % kSlabRuns;
    if (in_slab == 0) slabs_.push_back(std::make_unique_for_overwrite<Slab>());
    Slab& slab = *slabs_.back();
    std::memcpy(slab.keys + in_slab * kRunBytes, run, kRunBytes);
    slab.bucket[in_slab] = static_cast<uint16_t>(bucket);
    runs_++;
  }
  const unsigned char* run_keys(uint32_t run) const {
    return slabs_[run / kSlabRuns]->keys + (run % kSlabRuns) * kRunBytes;
  }
  void prefetch_run(uint32_t run) const {
    const unsigned char* keys = run_keys(run);
    __builtin_prefetch(keys);
    __builtin_prefetch(keys + kRunBytes - 1);
  }
  uint16_t run_bucket(uint32_t run) const {
    return slabs_[run / kSlabRuns]->bucket[run % kSlabRuns];
  }

  // The moved runs' numbers, bucket after bucket: bucket b's are
  // runs[starts[b]] up to runs[starts[b + 1]].
  struct RunOrder {
    std::vector<uint32_t> runs;
    std::vector<uint32_t> starts;
  };
  RunOrder runs_by_bucket() const {  // a counting sort
    RunOrder order{std::vector<uint32_t>(runs_), std::vector<uint32_t>(kBuckets + 1)};
    for (uint32_t run = 0; run < runs_; run++) order.starts[run_bucket(run) + 1]++;
    for (size_t b = 0; b < kBuckets; b++) order.starts[b + 1] += order.starts[b];
    std::vector<uint32_t> next(order.starts.begin(), order.starts.end() - 1);
    for (uint32_t run = 0; run < runs_; run++) order.runs[next[run_bucket(run)]++] = run;
    return order;
  }

  // Whether the buckets [first, end) hold no two keys with the same bits.
  bool distinct_in(const RunOrder& order, size_t first, size_t end) const {
    std::vector<uint64_t> seen;
    const size_t last_run = order.starts[end];
    for (size_t b = first; b < end; b++) {
      const size_t keys = (order.starts[b + 1] - order.starts[b]) * kRunKeys + staged_count_[b];
      size_t slots = 16;
      while (slots < 2 * keys) slots *= 2;
      seen.assign(slots, 0);
      for (size_t r = order.starts[b]; r < order.starts[b + 1]; r++) {
        // The runs lie anywhere: asked for a few ahead, they come meanwhile.
        if (r + kRunsAhead < last_run) prefetch_run(order.runs[r + kRunsAhead]);
        if (!insert_all(seen, run_keys(order.runs[r]), kRunKeys)) return false;
      }
      if (!insert_all(seen, staged_.get() + b * kRunBytes, staged_count_[b])) return false;
    }
    return true;
  }
  // A key's 40 low bits, kept as a word and a byte (a word in memory that
  // two narrower stores wrote is slow to read back whole).
  static void store(unsigned char* at, uint64_t hash) {
    static_assert(kKeyBytes == 5);
    const auto low = static_cast<uint32_t>(hash);
    std::memcpy(at, &low, 4);
    at[4] = static_cast<unsigned char>(hash >> 32);
  }
  // A key's stored bits, never 0 (0 marks an empty slot).
  static uint64_t stored(const unsigned char* at) {
    uint32_t low = 0;
    std::memcpy(&low, at, 4);
    return low | uint64_t{at[4]} << 32 | uint64_t{1} << 63;
  }
  // Adds `count` stored keys from `at` to the open-addressed set `seen`:
  // false when one is there already.
  static bool insert_all(std::vector<uint64_t>& seen, const unsigned char* at, size_t count) {
    const size_t mask = seen.size() - 1;
    for (size_t k = 0; k < count; k++, at += kKeyBytes) {
      const uint64_t bits = stored(at);
      for (size_t slot = bits & mask;; slot = (slot + 1) & mask) {
        if (seen[slot] == bits) return false;
        if (seen[slot] == 0) {
          seen[slot] = bits;
          break;
        }
      }
    }
    return true;
  }

  uint64_t seed_;
  std::unique_ptr<unsigned char[]> staged_ =
      std::make_unique_for_overwrite<unsigned char[]>(kRunBytes * kBuckets);
  std::vector<uint8_t> staged_count_ = std::vector<uint8_t>(kBuckets);
  std::vector<std::unique_ptr<Slab>> slabs_;
  uint32_t runs_ = 0;
  size_t count_ = 0;
};

}  // namespace ormek
