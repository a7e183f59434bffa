// Adds keys to a DistinctKeys on a thread of its own, while the caller walks
// on to the next: the caller only hashes each key into a batch (8 bytes a
// key); the thread stores the batches' hashes, which is most of the cost (a
// write to one of 65,536 runs, far apart in memory). At most kQueued batches
// wait at once, so the hashes in flight stay within a few megabytes.
//
// The thread starts with the first full batch, so a small dictionary never
// starts one; where none can start, the keys are added on the caller's. It
// is joined by finish() or, at the latest, when this ends (the keys it had
// not stored then are dropped).
//
// Host-free.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "compressor/package/distinct_keys.hpp"

namespace ormek {

class KeysOnThread {
 public:
  explicit KeysOnThread(DistinctKeys& keys) : hash_(keys.hasher()), keys_(keys) {}
  KeysOnThread(const KeysOnThread&) = delete;
  KeysOnThread& operator=(const KeysOnThread&) = delete;
  ~KeysOnThread() { end_thread(true); }

  // Throws std::bad_alloc.
  void add(const unsigned char* key, size_t size) {
    if (filling_.empty()) filling_.reserve(kBatch);
    filling_.push_back(hash_(key, size));
    if (filling_.size() == kBatch) hand_on();
  }

  // Waits until every key added is in the DistinctKeys. Throws
  // std::bad_alloc (when the thread ran out of memory too).
  void finish() {
    if (!thread_.joinable()) alone_ = true;  // fewer keys than a batch: added here
    hand_on();
    end_thread(false);
    if (out_of_memory_) throw std::bad_alloc();
  }

 private:
  static constexpr size_t kBatch = size_t{1} << 15;  // 256 KB of hashes
  static constexpr size_t kQueued = 8;

  // Passes the batch filled so far to the thread (started if need be), or
  // adds its keys here when no thread runs.
  void hand_on() {
    if (!thread_.joinable() && !alone_) {
      try {
        thread_ = std::thread([this] { store_batches(); });
      } catch (const std::system_error&) {
        alone_ = true;
      }
    }
    std::vector<uint64_t> batch = std::exchange(filling_, {});
    if (alone_) {
      for (const uint64_t hash : batch) keys_.add_hash(hash);
      return;
    }
    std::unique_lock<std::mutex> hold(mutex_);
    room_.wait(hold, [this] { return queue_.size() < kQueued; });
    queue_.push_back(std::move(batch));
    work_.notify_one();
  }

  void store_batches() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      work_.wait(hold, [this] { return !queue_.empty() || ending_; });
      if (queue_.empty() || dropping_) return;
      std::vector<uint64_t> batch = std::move(queue_.front());
      queue_.pop_front();
      room_.notify_one();
      hold.unlock();
      try {
        if (!out_of_memory_) {
          for (const uint64_t hash : batch) keys_.add_hash(hash);
        }
      } catch (const std::bad_alloc&) {
        out_of_memory_ = true;  // read by finish() once the thread is joined
      }
      batch = {};
      hold.lock();
    }
  }

  // Tells the thread to end once the queue is empty (or at once, when
  // `dropping` the rest), and joins it.
  void end_thread(bool dropping) {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      ending_ = true;
      dropping_ = dropping;
    }
    work_.notify_one();
    thread_.join();
  }

  // The caller's side, on cache lines of its own: a line that one core
  // writes for every key and the other for every key it stores moves
  // between them each time.
  alignas(64) std::vector<uint64_t> filling_;
  DistinctKeys::Hasher hash_;
  std::thread thread_;
  bool alone_ = false;
  // The thread's side, and what both sides share.
  alignas(64) DistinctKeys& keys_;
  bool out_of_memory_ = false;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<std::vector<uint64_t>> queue_;
  bool ending_ = false;
  bool dropping_ = false;
};

}  // namespace ormek
