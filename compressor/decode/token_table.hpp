// The id -> token table that restoring reads, the counterpart of the
// encoder's first_sight_numbering.hpp: every id a record can name leads to its
// token's UTF-8 bytes, and a file's text is joined from the package's records
// straight into an output buffer, with no host object per token.
//
// Layout: a dense array by id when the ids are compact, an open-addressing
// hash table when they are sparse; either way an id leads to a slot, and an id
// the dictionary lacks leads to the last slot, that of the unknown token. Each
// slot holds an 8-byte entry, so that the table stays small next to the
// dictionaries; the tokens' bytes live in one arena. A token the arena cannot
// hold (a str with a lone surrogate, or not a str at all) is an entry that
// names an object its owner keeps (tokens_by_id.hpp), for the host to join.
//
// Host-free: the owner measures the dictionary (TableShape), lays the table
// out once and fills it without allocating.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "compressor/package/format.hpp"

namespace ormek {

// How the table holds a token: kText as its UTF-8 bytes in the arena; kHeld
// (a str that UTF-8 cannot hold: a lone surrogate) and kOpaque (not a str) as
// an object the owner keeps.
enum class TokenForm : uint32_t { kText, kHeld, kOpaque };

// Short tokens are copied as one fixed 32-byte move: the arena ends in that
// much slack, the move stays inside the output buffer while the token fits
// before its end (the buffer has as much slack past it), and what it writes
// past the token is overwritten by the next one. At 16 bytes, one token in
// eight of a log and one in fifteen of the C headers took the copy of its
// own length, a mispredicted branch and a call; at 32, one in a hundred and
// one in fifty do.
inline constexpr size_t kShortCopy = 32;
// Room at the front of the arena for the unknown token.
inline constexpr size_t kUnknownRoom = 16;

// The limits of the packed entry; a dictionary beyond them (a token of 2^29
// bytes, 4 GiB of token text) does not fit the table.
inline constexpr size_t kMaxTokenBytes = (size_t{1} << 29) - 1;
inline constexpr size_t kMaxArenaBytes = UINT32_MAX;

struct TokenEntry {
  uint32_t where;  // byte offset in the arena, or index of the object kept
  uint32_t info;   // bytes << 2 | form

  uint32_t bytes() const { return info >> 2; }
  TokenForm form() const { return static_cast<TokenForm>(info & 3); }
};

// At most the UTF-8 bytes of `length` code units of `kind` bytes each (1, 2
// or 4): 1, 2, 3 or 4 per character by the widest the kind allows.
inline size_t utf8_bound(size_t length, int kind, bool ascii) {
  if (ascii) return length;
  return length * (kind == 1 ? 2 : kind == 2 ? 3 : 4);
}

// The UTF-8 bytes of `length` code units into `out` (room for utf8_bound);
// SIZE_MAX when one is a surrogate, which UTF-8 cannot hold (strict, where
// text_units.hpp's encode_utf8 writes a lone surrogate as three bytes).
template <typename Unit>
size_t encode_strict_utf8(const Unit* units, size_t length, unsigned char* out) {
  unsigned char* const start = out;
  for (size_t i = 0; i < length; i++) {
    const uint32_t c = units[i];
    if (c < 0x80) {
      *out++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      *out++ = static_cast<unsigned char>(0xC0 | c >> 6);
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return SIZE_MAX;
      *out++ = static_cast<unsigned char>(0xE0 | c >> 12);
      *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      *out++ = static_cast<unsigned char>(0xF0 | c >> 18);
      *out++ = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<size_t>(out - start);
}

// A dictionary measured before the table is laid out, so that the table is
// allocated once and its fill allocates nothing.
struct TableShape {
  size_t tokens = 0;  // entries whose id a record can name
  size_t opaque = 0;  // of them, held as objects whatever their text
  uint32_t max_id = 0;
  size_t arena_bytes = 0;

  // Counts a token of `id` whose UTF-8 takes at most `bound` bytes; false
  // when it is too long for an entry.
  bool count_text(uint32_t id, size_t bound) {
    count(id);
    arena_bytes += bound;
    return bound <= kMaxTokenBytes;
  }
  void count_object(uint32_t id) {
    count(id);
    opaque++;
  }
  bool fits() const { return arena_bytes + kUnknownRoom + kShortCopy <= kMaxArenaBytes; }

 private:
  void count(uint32_t id) {
    tokens++;
    max_id = std::max(max_id, id);
  }
};

class TokenTable {
 public:
  static constexpr uint32_t kNoSlot = UINT32_MAX;

  // Lays the table out for `shape` (which fits()), every id leading to the
  // unknown token's `unknown_bytes` ASCII bytes (at most kUnknownRoom).
  // Throws std::bad_alloc.
  void lay_out(const TableShape& shape, const char* unknown, size_t unknown_bytes) {
    arena_.assign(shape.arena_bytes + kUnknownRoom + kShortCopy, 0);
    used_ = 0;
    lay_out_slots(shape, unknown, unknown_bytes);
  }

  // Lays the table out over `arena`, whose tokens' bytes are in place already
  // (put_placed names them): its first kUnknownRoom bytes are left for the
  // unknown token, and it ends in kShortCopy bytes of slack. Throws
  // std::bad_alloc.
  void lay_out_over(const TableShape& shape, std::vector<unsigned char>&& arena,
                    const char* unknown, size_t unknown_bytes) {
    arena_ = std::move(arena);
    used_ = 0;
    lay_out_slots(shape, unknown, unknown_bytes);
    used_ = arena_.size() - kShortCopy;
  }

 private:
  void lay_out_slots(const TableShape& shape, const char* unknown, size_t unknown_bytes) {
    size_t slots = 0;
    if (shape.tokens == 0 || shape.max_id <= 2 * shape.tokens + 1024) {
      slots = shape.tokens == 0 ? 0 : size_t{shape.max_id} + 1;
      keys_.clear();
    } else {
      slots = 16;
      while (slots < 2 * shape.tokens) slots *= 2;
      mask_ = slots - 1;
      keys_.assign(slots, -1);
    }
    unknown_slot_ = static_cast<uint32_t>(slots);
    entries_.assign(slots + 1, TokenEntry{});
    put_ascii(unknown_slot_, unknown_slot_, unknown, unknown_bytes);
    std::fill(entries_.begin(), entries_.end() - 1, entries_.back());
  }

 public:
  // The slot the token of `id` goes to: kNoSlot when `id` is beyond the
  // laid-out shape, or (sparse ids) already placed and not to be `replace`d.
  // A dense slot is simply overwritten.
  uint32_t slot_for(uint32_t id, bool replace) const {
    if (keys_.empty()) return id < unknown_slot_ ? id : kNoSlot;
    size_t at = hash(id);
    for (; keys_[at] >= 0; at = (at + 1) & mask_) {
      if (keys_[at] == id) return replace ? static_cast<uint32_t>(at) : kNoSlot;
    }
    return static_cast<uint32_t>(at);
  }
  // Whether the arena has room left for `bound` more bytes.
  bool has_room(size_t bound) const { return used_ + bound <= arena_.size() - kShortCopy; }

  // Stores at `at` (from slot_for) the token of `id` from its ASCII bytes,
  // or its code units as UTF-8; false, storing nothing, when one is a
  // surrogate. The caller has made sure of has_room(utf8_bound).
  void put_ascii(uint32_t at, uint32_t id, const char* bytes, size_t length) {
    std::memcpy(arena_.data() + used_, bytes, length);
    put_arena_bytes(at, id, length);
  }
  template <typename Unit>
  bool put_text(uint32_t at, uint32_t id, const Unit* units, size_t length) {
    const size_t bytes = encode_strict_utf8(units, length, arena_.data() + used_);
    if (bytes == SIZE_MAX) return false;
    put_arena_bytes(at, id, bytes);
    return true;
  }
  // Stores at `at` the token of `id` whose UTF-8 bytes stand at `where` in
  // an arena laid out with lay_out_over.
  void put_placed(uint32_t at, uint32_t id, uint32_t where, size_t bytes) {
    set(at, id,
        TokenEntry{where,
                   static_cast<uint32_t>(bytes << 2) | static_cast<uint32_t>(TokenForm::kText)});
  }
  // Stores at `at` a token that is not text: object number `index` of the
  // owner's.
  void put_object(uint32_t at, uint32_t id, uint32_t index, TokenForm form) {
    set(at, id, TokenEntry{index, static_cast<uint32_t>(form)});
  }

  // Whether ids lead to their slots directly (dense_slot) rather than by
  // the hash (sparse_slot); slot() asks each time.
  bool dense() const { return keys_.empty(); }
  uint32_t slot(uint32_t id) const { return dense() ? dense_slot(id) : sparse_slot(id); }
  // Every id beyond the dense array leads to the unknown token's slot, the
  // one after the array's last.
  uint32_t dense_slot(uint32_t id) const { return std::min(id, unknown_slot_); }
  uint32_t sparse_slot(uint32_t id) const {
    for (size_t at = hash(id);; at = (at + 1) & mask_) {
      int64_t key = keys_[at];
      if (key == id) return static_cast<uint32_t>(at);
      if (key < 0) return unknown_slot_;
    }
  }
  const TokenEntry& entry(uint32_t slot) const { return entries_[slot]; }
  const TokenEntry& entry_of(uint32_t id) const { return entries_[slot(id)]; }
  void prefetch_entry(uint32_t slot) const { __builtin_prefetch(&entries_[slot]); }
  const unsigned char* arena() const { return arena_.data(); }
  const unsigned char* text(const TokenEntry& entry) const { return arena_.data() + entry.where; }

 private:
  size_t hash(uint32_t id) const { return (size_t{id} * 0x9E3779B97F4A7C15ull >> 20) & mask_; }

  void put_arena_bytes(uint32_t at, uint32_t id, size_t bytes) {
    set(at, id,
        TokenEntry{static_cast<uint32_t>(used_),
                   static_cast<uint32_t>(bytes << 2) | static_cast<uint32_t>(TokenForm::kText)});
    used_ += bytes;
  }
  void set(uint32_t at, uint32_t id, TokenEntry entry) {
    entries_[at] = entry;
    if (!keys_.empty() && at != unknown_slot_) keys_[at] = id;
  }

  std::vector<TokenEntry> entries_;  // by slot; the last one is the unknown token's
  std::vector<unsigned char> arena_;
  size_t used_ = 0;
  std::vector<int64_t> keys_;  // sparse ids: the id of each slot, -1 when empty
  size_t mask_ = 0;
  uint32_t unknown_slot_ = 0;
};

// ---------------------------------------------------------------------------
// Joining: the text of records [start, stop) of a payload (clamped bounds).

// The UTF-8 size of the records' text, or -1 when a token is not text.
inline int64_t text_bytes(const TokenTable& table, const unsigned char* payload,
                          std::ptrdiff_t start, std::ptrdiff_t stop) {
  int64_t total = 0;
  for (std::ptrdiff_t i = start; i < stop; i++) {
    const TokenEntry entry = table.entry_of(package::record_at(payload, i));
    if (entry.form() != TokenForm::kText) return -1;
    total += entry.bytes();
  }
  return total;
}

// Whether every token of the records is text the arena holds.
inline bool all_text(const TokenTable& table, const unsigned char* payload, std::ptrdiff_t start,
                     std::ptrdiff_t stop) {
  return text_bytes(table, payload, start, stop) >= 0;
}

// Hands the records' UTF-8 bytes to write(data, size) through `buffer` (a
// JoinBuffer, below), a token longer than the buffer on its own. False as
// soon as write returns false or a token is not text (all_text tells the
// two apart beforehand; a write that never fails leaves only the second).
inline constexpr size_t kWriteBuffer = size_t{1} << 18;

// The buffer a join goes through, kept from one file's join to the next
// (left uncleared: the join writes it before it is read).
class JoinBuffer {
 public:
  explicit JoinBuffer(size_t bytes = kWriteBuffer)
      : bytes_(bytes), data_(std::make_unique_for_overwrite<unsigned char[]>(bytes + kShortCopy)) {}

  unsigned char* begin() const { return data_.get(); }
  unsigned char* end() const { return data_.get() + bytes_; }
  size_t bytes() const { return bytes_; }

 private:
  size_t bytes_;
  std::unique_ptr<unsigned char[]> data_;  // kShortCopy of slack past end()
};

// The entries of records [start, stop) in order, each looked up some
// records before it is asked for: the table and the arena are read at
// random, so the entry of the record kEntryAhead on is fetched into the
// cache, and that of the record kTextAhead on is read and its token's bytes
// fetched, the entry kept in a ring until its record comes. Whether the ids
// are dense is asked once, for the whole walk (kDense). Near `stop` the
// lookahead stays at the last record, which it looks up again.
//
// The distances, taken in turn on the C headers (0.8 M distinct tokens, a
// table that the cache nearly holds) and a 300 MiB log (10 M, read from
// memory): 128 and 64 joined the log in a tenth less time than 64 and 32,
// and the headers no slower; 256 and 64 were no better.
template <bool kDense>
class EntriesAhead {
 public:
  static constexpr std::ptrdiff_t kEntryAhead = 128;
  static constexpr std::ptrdiff_t kTextAhead = 64;

  EntriesAhead(const TokenTable& table, const unsigned char* payload, std::ptrdiff_t start,
               std::ptrdiff_t stop)
      : table_(table), payload_(payload), last_(stop - 1) {
    const std::ptrdiff_t first_text = std::min(start + kTextAhead, stop);
    if constexpr (!kDense) {
      for (std::ptrdiff_t i = start; i < std::min(start + kEntryAhead, stop); i++) {
        slots_[ring(i, kSlotRing)] = slot_at(i);
      }
    }
    for (std::ptrdiff_t i = start; i < first_text; i++) {
      entries_[ring(i, kEntryRing)] = table_.entry(held_slot(i));
    }
  }

  // The entry of record `i`, asked for in order from `start` on.
  TokenEntry next(std::ptrdiff_t i) {
    const std::ptrdiff_t fetched = std::min(i + kEntryAhead, last_);
    const uint32_t slot = slot_at(fetched);
    if constexpr (!kDense) slots_[ring(fetched, kSlotRing)] = slot;
    table_.prefetch_entry(slot);
    const std::ptrdiff_t read = std::min(i + kTextAhead, last_);
    const TokenEntry later = table_.entry(held_slot(read));
    // Asked for whatever the entry's form: an object's index makes an
    // address never read (in integers, as it may lie past the arena), and
    // testing the form first made the join a tenth slower.
    __builtin_prefetch(
        reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(table_.arena()) + later.where));
    const TokenEntry entry = entries_[ring(i, kEntryRing)];
    entries_[ring(read, kEntryRing)] = later;
    return entry;
  }

 private:
  // Rings longer than the distance they bridge: what is written into them
  // at record i never lands on an entry still to be read.
  static constexpr size_t kEntryRing = 2 * kTextAhead;
  static constexpr size_t kSlotRing = 2 * kEntryAhead;
  static size_t ring(std::ptrdiff_t i, size_t size) { return static_cast<size_t>(i) % size; }

  uint32_t slot_at(std::ptrdiff_t i) const {
    const uint32_t id = package::record_at(payload_, i);
    return kDense ? table_.dense_slot(id) : table_.sparse_slot(id);
  }
  // The slot of record `i`, from the ring when the hash found it before.
  uint32_t held_slot(std::ptrdiff_t i) const {
    if constexpr (kDense) return slot_at(i);
    return slots_[ring(i, kSlotRing)];
  }

  const TokenTable& table_;
  const unsigned char* payload_;
  std::ptrdiff_t last_;
  TokenEntry entries_[kEntryRing];
  uint32_t slots_[kDense ? 1 : kSlotRing];
};

template <bool kDense, typename Write>
bool copy_text_of(const TokenTable& table, const unsigned char* payload, std::ptrdiff_t start,
                  std::ptrdiff_t stop, Write& write, const JoinBuffer& buffer) {
  unsigned char* out = buffer.begin();
  unsigned char* const end = buffer.end();
  EntriesAhead<kDense> ahead(table, payload, start, stop);
  for (std::ptrdiff_t i = start; i < stop; i++) {
    const TokenEntry entry = ahead.next(i);
    if (entry.form() != TokenForm::kText) return false;
    const unsigned char* data = table.text(entry);
    const size_t bytes = entry.bytes();
    if (bytes > static_cast<size_t>(end - out)) {
      if (!write(buffer.begin(), static_cast<size_t>(out - buffer.begin()))) return false;
      out = buffer.begin();
      if (bytes > buffer.bytes()) {
        if (!write(data, bytes)) return false;
        continue;
      }
    }
    if (bytes <= kShortCopy) {
      std::memcpy(out, data, kShortCopy);  // the buffer has kShortCopy of slack
    } else {
      std::memcpy(out, data, bytes);
    }
    out += bytes;
  }
  return write(buffer.begin(), static_cast<size_t>(out - buffer.begin()));
}

template <typename Write>
bool copy_text(const TokenTable& table, const unsigned char* payload, std::ptrdiff_t start,
               std::ptrdiff_t stop, Write&& write, const JoinBuffer& buffer) {
  return table.dense() ? copy_text_of<true>(table, payload, start, stop, write, buffer)
                       : copy_text_of<false>(table, payload, start, stop, write, buffer);
}

}  // namespace ormek
