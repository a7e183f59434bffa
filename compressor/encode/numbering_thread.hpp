// The thread on which the encoder numbers the texts it has read while it
// reads the next file (first_sight_numbering.hpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "compressor/encode/first_sight_numbering.hpp"

namespace ormek {

// A thread that numbers texts in the order they are handed to it, so that the
// caller can read the next file meanwhile. The caller keeps each text alive
// until numbered() has passed it, and reads the numbering only after finish.
class NumberingThread {
 public:
  explicit NumberingThread(FirstSightNumbering& numbering) : numbering_(numbering) {}
  NumberingThread(const NumberingThread&) = delete;
  NumberingThread& operator=(const NumberingThread&) = delete;
  ~NumberingThread() { stop(); }

  // Starts the thread; false when none could be started.
  bool start() {
    try {
      thread_ = std::thread([this] { work(); });
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  bool started() const { return thread_.joinable(); }

  // Queues a text, and its tokens when cut_text has cut them (`cuts`, kept
  // alive by the caller as the text is); false when memory ran out.
  bool submit(const void* data, int kind, size_t length,
              const std::vector<FirstSightNumbering::Cut>* cuts = nullptr) {
    try {
      std::lock_guard<std::mutex> hold(mutex_);
      queue_.push_back({data, kind, length, cuts});
      queued_units_ += length;
    } catch (const std::bad_alloc&) {
      return false;
    }
    wake_.notify_one();
    return true;
  }

  // Queues a mark: when the thread comes to it, it takes the numbering's
  // mark (read with last_mark() once the thread is idle). False when memory
  // ran out. A mark counts as a text in numbered().
  bool submit_mark() { return submit(nullptr, 0, 0); }
  FirstSightNumbering::Mark last_mark() {
    std::lock_guard<std::mutex> hold(mutex_);
    return mark_;
  }

  // How many texts are numbered so far (or were given up after a failure).
  size_t numbered() const { return numbered_.load(std::memory_order_acquire); }

  // Waits at most `slice` until at most `units` code units are still queued
  // (0: until the queue is empty and the thread idle); whether they are.
  template <typename Duration>
  bool wait_until_queued_at_most(size_t units, Duration slice) {
    std::unique_lock<std::mutex> hold(mutex_);
    return drained_.wait_for(hold, slice, [&] {
      return units == 0 ? queue_.empty() && !busy_ : queued_units_ <= units;
    });
  }

  // Tells the thread to give up its work and waits for it to end.
  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    halt_.store(true, std::memory_order_relaxed);
    wake_.notify_one();
    thread_.join();
  }

 private:
  struct Text {
    const void* data;
    int kind;
    size_t length;
    const std::vector<FirstSightNumbering::Cut>* cuts;
  };

  void work() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      const Text text = queue_.front();
      busy_ = true;
      hold.unlock();
      // After a failure the rest is only counted off: the caller finds the
      // failure in the numbering.
      if (text.kind == 0) {
        mark_ = numbering_.mark();
      } else if (!failed_) {
        auto keep_going = [this] { return !halt_.load(std::memory_order_relaxed); };
        failed_ = text.cuts ? !numbering_.add_cut_text(text.data, text.kind, text.cuts->data(),
                                                       text.cuts->size(), keep_going)
                            : !numbering_.add_text(text.data, text.kind, text.length, keep_going);
      }
      hold.lock();
      queue_.pop_front();
      queued_units_ -= text.length;
      busy_ = false;
      numbered_.fetch_add(1, std::memory_order_release);
      drained_.notify_all();
    }
  }

  FirstSightNumbering& numbering_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<Text> queue_;
  FirstSightNumbering::Mark mark_;
  size_t queued_units_ = 0;
  bool busy_ = false;
  bool stopping_ = false;
  bool failed_ = false;
  std::atomic<bool> halt_{false};
  std::atomic<size_t> numbered_{0};
};

}  // namespace ormek
