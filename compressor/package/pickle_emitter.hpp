// Writes plain data as a pickle stream byte for byte as the host's pickler
// writes it (pickle_layout.hpp), without a host object: a package's token
// dictionary can be pickled straight from the encoder's native token table.
//
// The emitter knows the opcodes, the frames and the memo count; which
// objects are one object (and so a memo reference the second time) is the
// caller's to know, since only it knows where its data came from. Each save_*
// call is one object saved by the host's pickler, and starts where the host
// would close a full frame. Bytes go to the sink a frame at a time, so the
// stream is never held whole.
//
// Host-free, for the C++ tests; the caller checks ok() (or finish()) at its
// leisure: after the sink refused a write nothing more is written.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "compressor/package/pickle_layout.hpp"
#include "compressor/text/text_units.hpp"

namespace ormek {

// Where a stream goes: write(data, size) appends, false when it could not
// (the sink keeps its own error).
template <typename Sink>
concept PickleSink = requires(Sink& sink, const unsigned char* data, size_t size) {
  { sink.write(data, size) } -> std::same_as<bool>;
};

template <PickleSink Sink>
class PickleEmitter {
 public:
  // Throws std::bad_alloc when no room for a frame can be had.
  explicit PickleEmitter(Sink& sink) : sink_(sink) {
    frame_.resize(kFrameRoom);
    used_ = kHeader;
  }

  // PROTO `protocol`; frames from protocol 4 on.
  void begin(int protocol) {
    const unsigned char header[] = {pickle_layout::kProto, static_cast<unsigned char>(protocol)};
    put(header, sizeof header);
    framing_ = protocol >= pickle_layout::kFramedProtocol;
  }

  // STOP and the last frame; false when the sink refused a write.
  bool finish() {
    op(pickle_layout::kStop);
    commit_frame();
    return ok_;
  }
  bool ok() const { return ok_; }
  // How many objects the memo holds: the index the next MEMOIZE gives.
  uint64_t memo_size() const { return memo_size_; }

  // An int of the signed 64-bit range.
  void save_int(int64_t value) {
    start_object();
    unsigned char bytes[11];  // the opcode, a count, up to 9 bytes
    if (value >= INT32_MIN && value <= INT32_MAX) {
      const auto low = static_cast<uint32_t>(value);
      const int width = low > 0xffff ? 4 : low > 0xff ? 2 : 1;
      bytes[0] = width == 4   ? pickle_layout::kBinInt
                 : width == 2 ? pickle_layout::kBinInt2
                              : pickle_layout::kBinInt1;
      pickle_layout::store_little_endian(bytes + 1, low, width);
      put(bytes, 1 + static_cast<size_t>(width));
      return;
    }
    // Two's complement in as few bytes as keep the sign: the magnitude's
    // bits and one more, less one byte when a negative value's top byte is
    // all sign.
    const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : value;
    size_t count = static_cast<size_t>(std::bit_width(magnitude)) / 8 + 1;
    pickle_layout::store_little_endian(bytes + 2, static_cast<uint64_t>(value), 8);
    bytes[10] = value < 0 ? 0xff : 0;  // the ninth byte, which only -2**63 needs
    if (value < 0 && count > 1 && bytes[2 + count - 1] == 0xff && (bytes[2 + count - 2] & 0x80)) {
      count--;
    }
    bytes[0] = pickle_layout::kLong1;
    bytes[1] = static_cast<unsigned char>(count);
    put(bytes, 2 + count);
  }

  // A str given by its code units (`kind` bytes each), then its MEMOIZE;
  // the memo index it took.
  uint64_t save_text(const void* units, int kind, size_t length) {
    start_object();
    with_units(units, kind, length, [this](const auto* u, size_t n) {
      const uint64_t size = utf8_length(u, n);
      payload_header(size, pickle_layout::kShortBinUnicode, pickle_layout::kBinUnicode,
                     pickle_layout::kBinUnicode8);
      put_utf8(u, n, size);
    });
    return memoize();
  }

  // A bytes object, then its MEMOIZE; the memo index it took.
  uint64_t save_bytes(const void* data, size_t size) {
    start_object();
    payload_header(size, pickle_layout::kShortBinBytes, pickle_layout::kBinBytes,
                   pickle_layout::kBinBytes8);
    put_payload(static_cast<const unsigned char*>(data), size);
    return memoize();
  }

  // A reference to the object memo index `index` holds.
  void save_memo_reference(uint64_t index) {
    start_object();
    unsigned char bytes[5];
    const bool is_short = index < pickle_layout::kShortMemoIndex;
    bytes[0] = is_short ? pickle_layout::kBinGet : pickle_layout::kLongBinGet;
    pickle_layout::store_little_endian(bytes + 1, index, is_short ? 1 : 4);
    put(bytes, is_short ? 2 : 5);
  }

  // A dict of `count` items; save_item(i) saves the key and value of item
  // i. The dict's memo index.
  template <typename SaveItem>
  uint64_t save_dict(size_t count, SaveItem&& save_item) {
    return save_container(Container::kDict, count, save_item);
  }

  // A list of `count` items; save_item(i) saves item i. The list's memo
  // index.
  template <typename SaveItem>
  uint64_t save_list(size_t count, SaveItem&& save_item) {
    return save_container(Container::kList, count, save_item);
  }

 private:
  static constexpr size_t kHeader = pickle_layout::kFrameHeaderBytes;
  // A frame's header, a full frame and one more object's opcodes below the
  // payload bypass.
  static constexpr size_t kFrameRoom = kHeader + 2 * pickle_layout::kFrameTarget + 64;

  enum class Container { kDict, kList };

  // The container, its MEMOIZE and its items: one alone, or batches of
  // kBatch (a dict of whole batches ends with an empty one).
  template <typename SaveItem>
  uint64_t save_container(Container kind, size_t count, SaveItem& save_item) {
    const bool dict = kind == Container::kDict;
    start_object();
    op(dict ? pickle_layout::kEmptyDict : pickle_layout::kEmptyList);
    const uint64_t index = memoize();
    if (count == 1) {
      save_item(size_t{0});
      op(dict ? pickle_layout::kSetItem : pickle_layout::kAppend);
      return index;
    }
    size_t next = 0;
    size_t in_batch = 0;
    while (next < count || (dict && in_batch == pickle_layout::kBatch)) {
      op(pickle_layout::kMark);
      for (in_batch = 0; next < count && in_batch < pickle_layout::kBatch; in_batch++) {
        save_item(next++);
      }
      op(dict ? pickle_layout::kSetItems : pickle_layout::kAppends);
    }
    return index;
  }

  // Where the host's pickler starts saving an object: a full frame closes.
  void start_object() {
    if (in_frame_ && used_ - kHeader >= pickle_layout::kFrameTarget) commit_frame();
  }

  void op(unsigned char opcode) { put(&opcode, 1); }

  uint64_t memoize() {
    op(pickle_layout::kMemoize);
    return memo_size_++;
  }

  // The opcode and length of a payload of `size` bytes in the shortest of
  // the three forms.
  void payload_header(uint64_t size, unsigned char short_op, unsigned char long_op,
                      unsigned char wide_op) {
    unsigned char bytes[9];
    const int width = size <= pickle_layout::kShortLength  ? 1
                      : size <= pickle_layout::kLongLength ? 4
                                                           : 8;
    bytes[0] = width == 1 ? short_op : width == 4 ? long_op : wide_op;
    pickle_layout::store_little_endian(bytes + 1, size, width);
    // A long payload and its header stand outside the frames.
    if (size >= pickle_layout::kFrameTarget) {
      commit_frame();
      bypassing_ = true;
    }
    put(bytes, 1 + static_cast<size_t>(width));
  }

  void put_payload(const unsigned char* data, size_t size) {
    put(data, size);
    bypassing_ = false;
  }

  // Code units as UTF-8 (`size` bytes): straight into the frame, or through
  // a bounded buffer to the sink when the payload bypasses the frames.
  template <typename Unit>
  void put_utf8(const Unit* units, size_t length, uint64_t size) {
    if constexpr (sizeof(Unit) == 1) {
      if (size == length) {  // ASCII: the units are the bytes
        put_payload(units, length);
        return;
      }
    }
    unsigned char buffer[4096];
    size_t filled = 0;
    for (size_t i = 0; i < length; i++) {
      if (filled + 4 > sizeof buffer) {
        put(buffer, filled);
        filled = 0;
      }
      filled += encode_utf8(static_cast<uint32_t>(units[i]), buffer + filled);
    }
    put_payload(buffer, filled);
  }

  // Appends to the open frame (opening one when framing), or straight to
  // the sink outside the frames.
  void put(const unsigned char* data, size_t size) {
    if (!ok_) return;
    if (framing_ && !bypassing_) {
      in_frame_ = true;
      if (used_ + size <= frame_.size()) {
        std::memcpy(frame_.data() + used_, data, size);
        used_ += size;
        return;
      }
      // Not reached: a frame holds less than kFrameTarget bytes at an
      // object's start, and one object below the bypass adds less again.
      commit_frame();
      in_frame_ = true;
      if (used_ + size <= frame_.size()) {
        std::memcpy(frame_.data() + used_, data, size);
        used_ += size;
        return;
      }
    }
    ok_ = sink_.write(data, size);
  }

  // The open frame to the sink, with its FRAME opcode when long enough.
  void commit_frame() {
    if (!in_frame_) return;
    in_frame_ = false;
    const size_t length = used_ - kHeader;
    used_ = kHeader;
    if (!ok_) return;
    if (length >= pickle_layout::kFrameMinimum) {
      frame_[0] = pickle_layout::kFrame;
      pickle_layout::store_little_endian(frame_.data() + 1, length, 8);
      ok_ = sink_.write(frame_.data(), kHeader + length);
    } else if (length > 0) {
      ok_ = sink_.write(frame_.data() + kHeader, length);
    }
  }

  Sink& sink_;
  std::vector<unsigned char> frame_;  // the FRAME header's room, then the frame
  size_t used_;
  bool framing_ = false;
  bool in_frame_ = false;
  bool bypassing_ = false;
  bool ok_ = true;
  uint64_t memo_size_ = 0;
};

}  // namespace ormek
