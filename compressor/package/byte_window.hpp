// A cursor over bytes read from elsewhere (a package file) a window at a
// time, for readers that walk a stream once from its start: they ask that
// the next n bytes be at hand, read them in place and move on. Bytes they
// skip are not read at all (a package's compressed payload, for a listing).
//
// Reading by offset into a buffer of its own, rather than mapping the file,
// keeps what stays resident to the window (a walk over a gigabyte costs a
// megabyte), and a file cut short while it is read is a failed read, not a
// fault. The window grows to hold the longest run asked for at once, and
// keeps the bytes from a pinned offset on when it moves, so that a reader can
// come back to a value it read a little earlier.
//
// Host-free: the source is any function that reads at an offset.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace ormek {

class ByteWindow {
 public:
  // Reads up to `size` bytes at offset `at` into `into`: the count read (0
  // only where the data ends), or -1 when the read failed.
  using ReadAt = int64_t (*)(void* source, uint64_t at, unsigned char* into, size_t size);
  static constexpr size_t kWindow = size_t{1} << 20;
  static constexpr uint64_t kNoPin = UINT64_MAX;

  // `size`: the length of the data, as its source states it.
  ByteWindow(ReadAt read, void* source, uint64_t size, size_t window = kWindow)
      : read_(read), source_(source), size_(size), capacity_(std::max<size_t>(window, 16)) {}
  ByteWindow(const ByteWindow&) = delete;
  ByteWindow& operator=(const ByteWindow&) = delete;

  // Whether the `n` bytes from the cursor on are at hand, read when needed:
  // false when the data ends first, or a read failed (failed()).
  bool have(size_t n) { return static_cast<size_t>(end_ - at_) >= n || fill(n); }
  const unsigned char* at() const { return at_; }
  // How many bytes from the cursor on are at hand without reading.
  size_t at_hand() const { return static_cast<size_t>(end_ - at_); }
  void advance(size_t n) { at_ += n; }
  // Moves the cursor `n` bytes on without reading them: false when fewer
  // remain.
  bool skip(uint64_t n) {
    if (n <= static_cast<uint64_t>(end_ - at_)) {
      at_ += n;
      return true;
    }
    if (n > remaining()) return false;
    start_ = offset() + n;
    at_ = end_ = base_;
    return true;
  }

  uint64_t offset() const { return start_ + static_cast<uint64_t>(at_ - base_); }
  uint64_t remaining() const { return size_ - std::min(size_, offset()); }
  bool failed() const { return failed_; }

  // Keeps the bytes from `offset` (at or before the cursor, still at hand) in
  // the window until unpinned; bytes_at then finds them wherever they moved.
  void pin(uint64_t offset) { pin_ = offset; }
  void unpin() { pin_ = kNoPin; }
  const unsigned char* bytes_at(uint64_t offset) const { return base_ + (offset - start_); }

 private:
  // Makes room for `n` bytes from the cursor (and the pinned ones before
  // it), then reads until they are at hand, as much at once as fits.
  bool fill(size_t n) {
    if (failed_ || n > remaining()) return false;
    const uint64_t keep_from = std::min(pin_, offset());
    const auto kept =
        static_cast<size_t>(static_cast<uint64_t>(end_ - base_) - (keep_from - start_));
    const auto cursor = static_cast<size_t>(offset() - keep_from);
    const size_t needed = cursor + n;
    if (!buffer_ || needed > capacity_) {
      capacity_ = std::max(capacity_, needed);
      auto grown = std::make_unique_for_overwrite<unsigned char[]>(capacity_);
      if (kept) std::memcpy(grown.get(), bytes_at(keep_from), kept);
      buffer_ = std::move(grown);
    } else if (kept) {
      std::memmove(buffer_.get(), bytes_at(keep_from), kept);
    }
    base_ = buffer_.get();
    start_ = keep_from;
    at_ = base_ + cursor;
    end_ = base_ + kept;
    return read_until(needed);
  }

  bool read_until(size_t needed) {
    while (static_cast<size_t>(end_ - base_) < needed) {
      const auto held = static_cast<size_t>(end_ - base_);
      const uint64_t left = size_ - (start_ + held);
      const auto ask = static_cast<size_t>(std::min<uint64_t>(capacity_ - held, left));
      const int64_t got = ask ? read_(source_, start_ + held, end_, ask) : 0;
      if (got <= 0) {
        failed_ = true;  // an error, or data shorter than its stated size
        return false;
      }
      end_ += got;
    }
    return true;
  }

  ReadAt read_;
  void* source_;
  uint64_t size_;
  size_t capacity_;
  std::unique_ptr<unsigned char[]> buffer_;
  unsigned char* base_ = nullptr;  // the window: [base_, end_) holds bytes [start_, ...)
  unsigned char* at_ = nullptr;
  unsigned char* end_ = nullptr;
  uint64_t start_ = 0;
  uint64_t pin_ = kNoPin;
  bool failed_ = false;
};

}  // namespace ormek
