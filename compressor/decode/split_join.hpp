// A big file's records joined on two cores (token_table.hpp's copy_text on
// one): most of a restore's time is the join, a table lookup and a copy at
// random places per token, which the two cores can share.
//
// The records are cut into pieces; the caller's thread joins the even ones
// as copy_text does, a helper thread the odd ones, each into a buffer of its
// own, and the caller hands every piece to write() in order, so write sees
// the same bytes in the same order as from copy_text (split differently,
// which neither the files nor a streaming digest can tell). The helper
// runs at most two pieces ahead. Where no thread can be started, or the
// helper finds no memory for a piece, the caller joins it itself.
//
// A tree's small files share the cores another way (JoinAhead): a helper
// joins the next files' text while the caller writes the last ones, each
// into a slot of its own, and the caller takes them in its own order.
//
// Host-free: the helpers read the table and the records, which nothing
// changes meanwhile, and write only their own buffers; they are joined
// before their owner goes.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "compressor/decode/token_table.hpp"

namespace ormek {

// Records a piece holds: about half a megabyte of a log's text, a few
// milliseconds of joining, against a handover of microseconds.
inline constexpr std::ptrdiff_t kPieceRecords = std::ptrdiff_t{1} << 16;

// Whether a file of `records` is joined on two threads of its own (in at
// least four pieces); a smaller one is left to its caller, or to JoinAhead.
inline constexpr bool joins_on_two_threads(std::ptrdiff_t records,
                                           std::ptrdiff_t piece_records = kPieceRecords) {
  return records >= 4 * piece_records;
}

// A helper thread and what it waits on, stopped (told, then joined) by its
// owner before the owner's data goes.
struct HelperThread {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  std::thread thread;

  void stop() {
    if (!thread.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(mutex);
      stopping = true;
    }
    changed.notify_all();
    thread.join();
  }
};

class SplitJoin {
 public:
  enum class State { kFree, kJoined, kNotText, kNoMemory };
  struct Piece {
    State state = State::kFree;
    std::vector<unsigned char> bytes;
  };

  SplitJoin(const TokenTable& table, const unsigned char* payload, std::ptrdiff_t start,
            std::ptrdiff_t stop, std::ptrdiff_t piece_records)
      : table_(table),
        payload_(payload),
        start_(start),
        stop_(stop),
        piece_records_(piece_records),
        pieces_(static_cast<size_t>((stop - start + piece_records - 1) / piece_records)) {}
  SplitJoin(const SplitJoin&) = delete;
  SplitJoin& operator=(const SplitJoin&) = delete;
  ~SplitJoin() { helper_.stop(); }

  // Starts the helper; false when it could not be started.
  bool start() {
    try {
      buffer_ = std::make_unique<JoinBuffer>();
      helper_.thread = std::thread([this] { work(); });
    } catch (const std::exception&) {
      return false;
    }
    return true;
  }

  size_t pieces() const { return pieces_; }
  std::pair<std::ptrdiff_t, std::ptrdiff_t> bounds(size_t piece) const {
    const std::ptrdiff_t from = start_ + static_cast<std::ptrdiff_t>(piece) * piece_records_;
    return {from, std::min(stop_, from + piece_records_)};
  }
  static bool helper_joins(size_t piece) { return piece % 2 == 1; }

  // The helper's `piece` once it is done with it; the caller reads it until
  // it gives it back.
  const Piece& wait_for(size_t piece) {
    Piece& held = slot(piece);
    std::unique_lock<std::mutex> hold(helper_.mutex);
    helper_.changed.wait(hold, [&held] { return held.state != State::kFree; });
    return held;
  }
  void give_back(size_t piece) {
    {
      std::lock_guard<std::mutex> hold(helper_.mutex);
      slot(piece).state = State::kFree;
    }
    helper_.changed.notify_all();
  }

 private:
  Piece& slot(size_t piece) { return slots_[piece / 2 % 2]; }

  void work() {
    for (size_t piece = 1; piece < pieces_; piece += 2) {
      Piece& joined = slot(piece);
      {
        std::unique_lock<std::mutex> hold(helper_.mutex);
        helper_.changed.wait(hold,
                             [&] { return helper_.stopping || joined.state == State::kFree; });
        if (helper_.stopping) return;
      }
      const State state = join(piece, joined.bytes);
      {
        std::lock_guard<std::mutex> hold(helper_.mutex);
        joined.state = state;
      }
      helper_.changed.notify_all();
    }
  }

  State join(size_t piece, std::vector<unsigned char>& bytes) const {
    bytes.clear();
    auto keep = [&bytes](const void* data, size_t size) {
      const auto* from = static_cast<const unsigned char*>(data);
      bytes.insert(bytes.end(), from, from + size);
      return true;
    };
    const auto [from, to] = bounds(piece);
    try {
      return copy_text(table_, payload_, from, to, keep, *buffer_) ? State::kJoined
                                                                   : State::kNotText;
    } catch (const std::bad_alloc&) {
      bytes = {};
      return State::kNoMemory;
    }
  }

  const TokenTable& table_;
  const unsigned char* payload_;
  std::ptrdiff_t start_;
  std::ptrdiff_t stop_;
  std::ptrdiff_t piece_records_;
  size_t pieces_;
  std::unique_ptr<JoinBuffer> buffer_;  // the helper's
  Piece slots_[2];
  HelperThread helper_;
};

// The text of many small files joined on a helper thread ahead of the
// caller, which takes each one in the order of `files` (their records,
// clamped), once, and writes it. A slot holds one file's text; the helper
// runs at most kAheadSlots files ahead. A file whose text does not fit its
// slot, or names a token that is not text, is `kLeft` to the caller, which
// joins it as it would without the helper (and reports what it finds);
// so is every file when no thread can be started.
class JoinAhead {
 public:
  struct Records {
    size_t file;  // the caller's index of it
    std::ptrdiff_t from;
    std::ptrdiff_t to;
  };
  static constexpr size_t kAheadSlots = 16;
  // At most this much of one file's text is held in a slot: its buffer
  // takes memory only as far as the text written into it.
  static constexpr size_t kSlotBytes = size_t{1} << 19;

  JoinAhead(const TokenTable& table, const unsigned char* payload, std::vector<Records> files,
            size_t slot_bytes = kSlotBytes)
      : table_(table), payload_(payload), files_(std::move(files)), slot_bytes_(slot_bytes) {}
  JoinAhead(const JoinAhead&) = delete;
  JoinAhead& operator=(const JoinAhead&) = delete;
  ~JoinAhead() { helper_.stop(); }

  // Starts the helper; false (every file left to the caller) when it could
  // not be started.
  bool start() {
    try {
      for (Slot& slot : slots_) slot.buffer = std::make_unique<JoinBuffer>(slot_bytes_);
      helper_.thread = std::thread([this] { work(); });
    } catch (const std::exception&) {
      return false;
    }
    started_ = true;
    return true;
  }

  // File `file`'s text, joined by the helper: its bytes until the next
  // call, or false when the caller is to join it.
  bool take(size_t file, const unsigned char*& data, size_t& size) {
    give_back_taken();
    if (!started_ || next_ >= files_.size() || files_[next_].file != file) return false;
    Slot& held = slot(next_);
    {
      std::unique_lock<std::mutex> hold(helper_.mutex);
      if (held.state == State::kFree) {
        caller_waits_for_ = &slot(std::min(next_ + kAheadSlots / 2 - 1, files_.size() - 1));
        helper_.changed.wait(hold, [this] { return caller_waits_for_->state != State::kFree; });
        caller_waits_for_ = nullptr;
      }
    }
    next_++;
    taken_ = &held;
    data = held.buffer->begin();
    size = held.size;
    return held.state == State::kJoined;
  }

 private:
  enum class State { kFree, kJoined, kLeft };
  struct Slot {
    State state = State::kFree;
    size_t size = 0;
    std::unique_ptr<JoinBuffer> buffer;
  };

  Slot& slot(size_t n) { return slots_[n % kAheadSlots]; }

  // Each side wakes the other only when it waits, and waits for half the
  // slots: the helper, once the slots are full, until the caller has taken
  // half of them; the caller, finding its file not joined yet, until the
  // helper has joined it and the files of half the slots after it (or the
  // last). So the two hand over a batch of files at a time, not one: with
  // a wake a file, the handover took as long as joining a C header.
  void give_back_taken() {
    if (!taken_) return;
    bool wake = false;
    {
      std::lock_guard<std::mutex> hold(helper_.mutex);
      taken_->state = State::kFree;
      wake = helper_waits_for_ == taken_;
    }
    taken_ = nullptr;
    if (wake) helper_.changed.notify_all();
  }

  void work() {
    for (size_t n = 0; n < files_.size(); n++) {
      Slot& joined = slot(n);
      {
        std::unique_lock<std::mutex> hold(helper_.mutex);
        if (joined.state != State::kFree) {
          helper_waits_for_ = &slot(n + kAheadSlots / 2 - 1);
          helper_.changed.wait(hold, [this] {
            return helper_.stopping || helper_waits_for_->state == State::kFree;
          });
          helper_waits_for_ = nullptr;
        }
        if (helper_.stopping) return;
      }
      const State state = join(files_[n], joined);
      bool wake = false;
      {
        std::lock_guard<std::mutex> hold(helper_.mutex);
        joined.state = state;
        wake = caller_waits_for_ == &joined;
      }
      if (wake) helper_.changed.notify_all();
    }
  }

  // The text whole in the slot's buffer: copy_text then writes once, from
  // the buffer's start, at its end; a write before that means it did not
  // fit.
  State join(const Records& file, Slot& into) const {
    const JoinBuffer& buffer = *into.buffer;
    int writes = 0;
    auto keep = [&](const void* data, size_t size) {
      into.size = size;
      return ++writes == 1 && data == buffer.begin();
    };
    return copy_text(table_, payload_, file.from, file.to, keep, buffer) ? State::kJoined
                                                                         : State::kLeft;
  }

  const TokenTable& table_;
  const unsigned char* payload_;
  std::vector<Records> files_;
  size_t slot_bytes_;
  size_t next_ = 0;        // the caller's next file in files_
  Slot* taken_ = nullptr;  // the caller's, until its next take
  bool started_ = false;
  const Slot* caller_waits_for_ = nullptr;  // to be joined
  const Slot* helper_waits_for_ = nullptr;  // to be given back
  Slot slots_[kAheadSlots];
  HelperThread helper_;
};

// copy_text over two threads for records enough to share (at least four
// pieces of `piece_records`); answers as copy_text does.
template <typename Write>
bool copy_text_on_two_threads(const TokenTable& table, const unsigned char* payload,
                              std::ptrdiff_t start, std::ptrdiff_t stop, Write&& write,
                              const JoinBuffer& buffer,
                              std::ptrdiff_t piece_records = kPieceRecords) {
  SplitJoin split(table, payload, start, stop, piece_records);
  if (!joins_on_two_threads(stop - start, piece_records) || !split.start()) {
    return copy_text(table, payload, start, stop, write, buffer);
  }
  for (size_t piece = 0; piece < split.pieces(); piece++) {
    const auto [from, to] = split.bounds(piece);
    if (SplitJoin::helper_joins(piece)) {
      const SplitJoin::Piece& joined = split.wait_for(piece);
      if (joined.state == SplitJoin::State::kNotText) return false;
      const bool written = joined.state == SplitJoin::State::kJoined
                               ? write(joined.bytes.data(), joined.bytes.size())
                               : copy_text(table, payload, from, to, write, buffer);
      if (!written) return false;
      split.give_back(piece);
    } else if (!copy_text(table, payload, from, to, write, buffer)) {
      return false;
    }
  }
  return true;
}

}  // namespace ormek
