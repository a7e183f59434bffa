// The encoder's native way feeds the texts it reads into a FirstSightNumbering
// (first_sight_numbering.hpp) through this feed: each text's tokens are
// counted for its file's boundary as it comes, and it is numbered here while
// the input is small, or on a NumberingThread once enough was read, while the
// next file is read. The feed keeps each text handed to the thread alive
// until the thread has numbered it, bounds what waits for the thread, and can
// forget a file that turned out unreadable part-way.
//
// Free of host objects: `Keeper` is whatever holds a text's code units alive
// (default-constructible and movable), and `Waiting` how the caller waits for
// the thread: waiting(slice) calls slice(duration) until it answers true, and
// answers false when it gives up (the encoder answers signals meanwhile, and
// gives up when a handler raises; the thread is then stopped).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <new>
#include <utility>
#include <vector>

#include "compressor/encode/first_sight_numbering.hpp"
#include "compressor/encode/numbering_thread.hpp"
#include "compressor/text/text_units.hpp"
#include "compressor/text/token_scanner.hpp"

namespace ormek {

// When the numbering moves to its thread, and what the reading does for it.
struct FeedLimits {
  // From this many code units read on, the texts are numbered on a thread of
  // their own while the next file is read; below it, starting a thread costs
  // more than it saves.
  size_t thread_units = size_t{1} << 20;
  // Texts up to this many code units are cut ahead for that thread.
  size_t cut_ahead_units = size_t{1} << 22;
};

template <typename Keeper, typename Waiting>
class NumberingFeed {
 public:
  explicit NumberingFeed(FeedLimits limits = {}, Waiting waiting = {})
      : limits_(limits), waiting_(std::move(waiting)) {}
  NumberingFeed(const NumberingFeed&) = delete;
  NumberingFeed& operator=(const NumberingFeed&) = delete;

  // Counts and numbers `length` code units of `kind` bytes at `data`, which
  // `keeper` holds until they are numbered. While the thread runs, the
  // reading thread also cuts and hashes the tokens of a text of at most
  // cut_ahead_units for it (the counting walks them anyway), which halves
  // what that thread does per token; a longer text, whose cuts would take
  // eight bytes a token at once, is cut by the thread itself. A numbering
  // that runs out of memory is found by finish(). False only when waiting
  // for the thread was given up.
  bool add(const void* data, int kind, size_t length, Keeper keeper) {
    const size_t count = with_units(
        data, kind, length, [](auto* units, size_t n) { return scan::count_tokens(units, n); });
    tokens_ += count;
    units_read_ += length;
    if (!thread_tried_ && units_read_ >= limits_.thread_units) {
      thread_tried_ = true;
      thread_.start();
    }
    if (thread_.started()) {
      if (queue(data, kind, length, count, keeper)) return true;
      // Not queued: numbered here once the thread is idle, so that the order
      // of first sight stays that of the files.
      if (!wait(0)) return false;
    }
    if (!numbering_.out_of_memory()) numbering_.add_text(data, kind, length, [] { return true; });
    return true;
  }

  // Remembers where the numbering stands before a file that may have to be
  // forgotten (roll_back). The mark is taken by the thread when that runs,
  // since it may still be numbering earlier files. False when waiting for
  // the thread was given up.
  bool mark() {
    tokens_before_mark_ = tokens_;
    mark_on_thread_ = false;
    if (thread_.started()) {
      try {
        held_.push_back({});  // a mark counts as a text for the thread
        mark_on_thread_ = thread_.submit_mark();
        if (!mark_on_thread_) held_.pop_back();
      } catch (const std::bad_alloc&) {
      }
      if (mark_on_thread_) return true;
      // Not queued: taken here once the thread is idle.
      if (!wait(0)) return false;
    }
    mark_ = numbering_.mark();
    return true;
  }

  // Forgets every token numbered and counted since mark(). False when
  // waiting for the thread was given up.
  bool roll_back() {
    if (!wait(0)) return false;
    numbering_.roll_back(mark_on_thread_ ? thread_.last_mark() : mark_);
    tokens_ = tokens_before_mark_;
    return true;
  }

  // Waits until at most `queued_units` code units wait for the thread (0:
  // until it has numbered everything), releasing the texts it has numbered.
  // False when the waiting gave up: the thread is then stopped.
  bool wait(size_t queued_units) {
    if (!thread_.started()) return true;
    const bool done = waiting_(
        [&](auto slice) { return thread_.wait_until_queued_at_most(queued_units, slice); });
    for (size_t numbered = thread_.numbered(); released_ < numbered; released_++) {
      held_.pop_front();
    }
    if (!done) thread_.stop();
    return done;
  }

  enum class Finish { kDone, kGivenUp, kOutOfMemory };
  // Waits for the numbering to end and stops the thread.
  Finish finish() {
    if (!wait(0)) return Finish::kGivenUp;
    thread_.stop();
    held_.clear();
    return numbering_.out_of_memory() ? Finish::kOutOfMemory : Finish::kDone;
  }

  // The tokens counted so far: the boundary of the file read last.
  uint64_t tokens() const { return tokens_; }
  // The numbering, to read once finish() has ended it.
  FirstSightNumbering& numbering() { return numbering_; }

 private:
  // A text handed to the thread and not yet released (a mark holds none),
  // with its cuts when cut ahead.
  struct Held {
    Keeper keeper;
    std::vector<FirstSightNumbering::Cut> cuts;
  };

  // Hands a text to the thread; false when memory ran out on the way (the
  // keeper then still holds the text).
  bool queue(const void* data, int kind, size_t length, size_t count, Keeper& keeper) {
    Held held{std::move(keeper), {}};
    try {
      bool cut = false;
      if (length <= limits_.cut_ahead_units) {
        held.cuts.reserve(count);
        cut = FirstSightNumbering::cut_text(data, kind, length, held.cuts);
      }
      if (!cut) std::vector<FirstSightNumbering::Cut>().swap(held.cuts);
      held_.push_back(std::move(held));  // leaves `held` as it was if it throws
      Held& queued = held_.back();
      if (thread_.submit(data, kind, length, cut ? &queued.cuts : nullptr)) return true;
      held = std::move(queued);
      held_.pop_back();
    } catch (const std::bad_alloc&) {
    }
    keeper = std::move(held.keeper);
    return false;
  }

  FeedLimits limits_;
  Waiting waiting_;
  FirstSightNumbering numbering_;
  // The texts handed to the thread and not yet released: the first of them
  // is text number released_ of the thread's.
  std::deque<Held> held_;
  size_t released_ = 0;
  uint64_t tokens_ = 0;
  size_t units_read_ = 0;
  bool thread_tried_ = false;
  FirstSightNumbering::Mark mark_;
  bool mark_on_thread_ = false;
  uint64_t tokens_before_mark_ = 0;
  // Declared last, so that it is stopped before the texts it reads go.
  NumberingThread thread_{numbering_};
};

}  // namespace ormek
