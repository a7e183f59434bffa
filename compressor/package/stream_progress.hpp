// How far a stream being made into its buffer has come, for threads that
// read it while it grows: the id stream is decompressed into one buffer of
// the size its frame states, front to back, so the count of bytes made so
// far says all a reader needs. The maker publishes that count (a release
// store) after each piece; a reader waits (acquiring it) until the bytes it
// needs are made and never reads past them.
//
// A stream that will not be made whole is abandoned: every reader waiting,
// and every one that comes to wait, is turned away, whatever was made.
// Readers are also turned away this way when their owner no longer wants
// what they find (the owner abandons it).
//
// Host-free: the maker may be a helper thread attached to the host, the
// readers plain threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ormek {

class StreamProgress {
 public:
  // Before any byte is published: where the stream's `length` bytes stand.
  void begin(const unsigned char* bytes, size_t length) {
    bytes_ = bytes;
    length_ = length;
    state_.fetch_or(kBegun, std::memory_order_release);
    state_.notify_all();
  }
  // The first `made` bytes are made (never fewer than published before).
  void publish(size_t made) {
    state_.fetch_add(made - published_, std::memory_order_release);
    published_ = made;
    state_.notify_all();
  }
  void abandon() {
    state_.fetch_or(kAbandoned, std::memory_order_release);
    state_.notify_all();
  }

  // Waits until begun: false when abandoned first (or since).
  bool wait_begun() const {
    return wait_until([](uint64_t state) { return state & kBegun; });
  }
  // Once begun: waits until the first `bytes` are made (true) or the
  // stream is abandoned (false).
  bool wait_for(size_t bytes) const {
    return wait_until([bytes](uint64_t state) { return (state & kMade) >= bytes; });
  }
  // Whether every byte is made (and the stream not abandoned).
  bool whole() const {
    const uint64_t state = state_.load(std::memory_order_acquire);
    return !(state & kAbandoned) && (state & kBegun) && (state & kMade) == length_;
  }

  // Once begun (wait_begun).
  const unsigned char* bytes() const { return bytes_; }
  size_t length() const { return length_; }

 private:
  static constexpr uint64_t kAbandoned = uint64_t{1} << 63;
  static constexpr uint64_t kBegun = uint64_t{1} << 62;
  static constexpr uint64_t kMade = kBegun - 1;

  template <typename Ready>
  bool wait_until(Ready ready) const {
    for (;;) {
      const uint64_t state = state_.load(std::memory_order_acquire);
      if (state & kAbandoned) return false;
      if (ready(state)) return true;
      state_.wait(state, std::memory_order_acquire);
    }
  }

  std::atomic<uint64_t> state_{0};  // kAbandoned | kBegun | the bytes made
  const unsigned char* bytes_ = nullptr;
  size_t length_ = 0;
  size_t published_ = 0;  // the maker's own
};

}  // namespace ormek
