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
// Host-free: the helper reads the table and the records, which nothing
// changes meanwhile, and writes only its own buffers; it is joined before
// the call returns.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
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
  ~SplitJoin() { stop(); }

  // Starts the helper; false when it could not be started.
  bool start() {
    try {
      buffer_ = std::make_unique<JoinBuffer>();
      thread_ = std::thread([this] { work(); });
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
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&held] { return held.state != State::kFree; });
    return held;
  }
  void give_back(size_t piece) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      slot(piece).state = State::kFree;
    }
    changed_.notify_all();
  }

 private:
  Piece& slot(size_t piece) { return slots_[piece / 2 % 2]; }

  void work() {
    for (size_t piece = 1; piece < pieces_; piece += 2) {
      Piece& joined = slot(piece);
      {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [&] { return stopping_ || joined.state == State::kFree; });
        if (stopping_) return;
      }
      const State state = join(piece, joined.bytes);
      {
        std::lock_guard<std::mutex> hold(mutex_);
        joined.state = state;
      }
      changed_.notify_all();
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

  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  const TokenTable& table_;
  const unsigned char* payload_;
  std::ptrdiff_t start_;
  std::ptrdiff_t stop_;
  std::ptrdiff_t piece_records_;
  size_t pieces_;
  std::unique_ptr<JoinBuffer> buffer_;  // the helper's
  Piece slots_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread thread_;
};

// copy_text over two threads for records enough to share (at least four
// pieces of `piece_records`); answers as copy_text does.
template <typename Write>
bool copy_text_on_two_threads(const TokenTable& table, const unsigned char* payload,
                              std::ptrdiff_t start, std::ptrdiff_t stop, Write&& write,
                              const JoinBuffer& buffer,
                              std::ptrdiff_t piece_records = kPieceRecords) {
  SplitJoin split(table, payload, start, stop, piece_records);
  if (stop - start < 4 * piece_records || !split.start()) {
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
