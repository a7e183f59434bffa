// Numbering of tokens in order of first sight, for the encoder's native way:
// each text is cut with the token scanner, each token is found by its code
// units in a table that keeps a copy of every distinct token, and its number
// (0, 1, 2, ... by first sight) is appended to the record stream. No host
// object is made, so a text can be dropped as soon as it is numbered, and the
// numbering can run on a thread of its own (numbering_thread.hpp) while the
// caller reads the next file.
//
// Memory: per distinct token a 4-byte entry, a 4-byte slot in an index at
// most three quarters full and a copy of its code units after a one- to
// five-byte head (its length and width); per token a record
// of one to five bytes (a varint: the frequent tokens are mostly seen early
// and get small numbers, so most records take one or two bytes where the
// package takes four; a token seen for the first time, whose number is the
// next one, is the one byte 0, and the others are their number plus one). Code units, entries and
// records live in blocks that are never moved, so growing never copies what is stored and never
// needs twice the room for a moment, as a growing vector would.
//
// Keys are compared and hashed by code point, so the same token cut from a
// one-, two- or four-byte text is one token.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "compressor/encode/mapped_array.hpp"
#include "compressor/text/text_units.hpp"
#include "compressor/text/token_scanner.hpp"

namespace ormek {

class FirstSightNumbering {
 public:
  // A distinct token's code units: `kind` bytes each (1, 2 or 4).
  struct Token {
    const void* data;
    uint32_t length;
    uint8_t kind;
  };

  FirstSightNumbering() : slots_(kMinSlots, MappedPages::kWholeTable) {}

  // Cuts units[0, length) into tokens and numbers them. `keep_going()` is
  // asked every kPollTokens tokens; false stops the cut part-way. Returns
  // false when it stopped or memory ran out (out_of_memory() tells which);
  // the numbering is then unusable.
  template <scan::CodeUnit Char, typename KeepGoing>
  bool add_text(const Char* units, size_t length, KeepGoing&& keep_going) {
    bool going = true;
    try {
      // The tokens are looked up a batch at a time: the index slots and the
      // entries they lead to are asked for ahead, so that the lookups of a
      // batch wait for memory together rather than one after the other.
      Pending<Char> batch[kBatch];
      size_t pending = 0;
      scan::for_each_token(units, length, [&](size_t begin, size_t end) -> bool {
        batch[pending] = {units + begin, end - begin,
                          hash(units + begin, end - begin, units + length)};
        if (++pending < kBatch) return true;
        number_batch(batch, pending);
        pending = 0;
        if (countdown_ > kBatch) {
          countdown_ -= kBatch;
          return true;
        }
        countdown_ = kPollTokens;
        going = keep_going();
        return going;
      });
      if (going) number_batch(batch, pending);
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
      return false;
    }
    return going;
  }
  // add_text over a text given by its code unit width.
  template <typename KeepGoing>
  bool add_text(const void* data, int kind, size_t length, KeepGoing&& keep_going) {
    return with_units(data, kind, length,
                      [&](const auto* units, size_t n) { return add_text(units, n, keep_going); });
  }

  // A token cut and hashed ahead of its numbering (cut_text), so that the
  // thread that reads the texts does that share of the work and the
  // numbering thread only looks the tokens up. A token starts where the one
  // before it ends.
  struct Cut {
    uint32_t length;
    uint32_t hash;  // the low 32 bits of hash(): all a slot's place takes
  };
  // Appends the cuts of units[0, length) to `cuts`; false when a token is
  // longer than a Cut holds (the text is then numbered uncut).
  template <scan::CodeUnit Char>
  static bool cut_text(const Char* units, size_t length, std::vector<Cut>& cuts) {
    bool fits = true;
    scan::for_each_token(units, length, [&](size_t begin, size_t end) -> bool {
      fits = end - begin <= UINT32_MAX;
      if (fits) {
        cuts.push_back({static_cast<uint32_t>(end - begin),
                        static_cast<uint32_t>(hash(units + begin, end - begin, units + length))});
      }
      return fits;
    });
    return fits;
  }
  static bool cut_text(const void* data, int kind, size_t length, std::vector<Cut>& cuts) {
    return with_units(data, kind, length,
                      [&](const auto* units, size_t n) { return cut_text(units, n, cuts); });
  }

  // add_text over a text whose tokens cut_text has cut: the same numbers.
  template <scan::CodeUnit Char, typename KeepGoing>
  bool add_cut_text(const Char* units, const Cut* cuts, size_t count, KeepGoing&& keep_going) {
    try {
      Pending<Char> batch[kBatch];
      const Char* next = units;
      for (size_t i = 0; i < count;) {
        const size_t pending = std::min(kBatch, count - i);
        for (size_t j = 0; j < pending; j++, i++) {
          batch[j] = {next, cuts[i].length, cuts[i].hash};
          next += cuts[i].length;
        }
        number_batch(batch, pending);
        if (countdown_ > kBatch) {
          countdown_ -= kBatch;
          continue;
        }
        countdown_ = kPollTokens;
        if (!keep_going()) return false;
      }
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
      return false;
    }
    return true;
  }
  template <typename KeepGoing>
  bool add_cut_text(const void* data, int kind, const Cut* cuts, size_t count,
                    KeepGoing&& keep_going) {
    // The text's length is its cuts' sum; the width is all that is switched on.
    return with_units(data, kind, 0, [&](const auto* units, size_t) {
      return add_cut_text(units, cuts, count, keep_going);
    });
  }

  // Where the numbering stands, to go back to with roll_back (a text that
  // turned out unreadable part-way must leave no tokens behind).
  struct Mark {
    size_t distinct = 0;
    size_t record_blocks = 0;
    size_t record_used = 0;
    uint64_t record_count = 0;
    size_t text_blocks = 0;
    unsigned char* text_next = nullptr;
    size_t text_room = 0;
  };
  // The records before a mark are final from then on: no roll_back takes
  // them away, and another thread may read them (read_final_records) while
  // the numbering goes on.
  Mark mark() {
    const Mark at{distinct_,     records_.size(),     records_.empty() ? 0 : records_.back().used,
                  record_count_, text_blocks_.size(), text_next_,
                  text_room_};
    publish_final_records(at);
    return at;
  }
  // Forgets every token and record numbered since `at` was taken. The index
  // is rebuilt from the entries kept, so a token first seen after the mark
  // is new again.
  void roll_back(const Mark& at) {
    if (out_of_memory_) return;
    records_.resize(at.record_blocks);
    if (!records_.empty()) records_.back().used = at.record_used;
    record_room_ = records_.empty() ? 0 : kRecordBlockBytes - at.record_used;
    record_count_ = at.record_count;
    text_blocks_.resize(at.text_blocks);
    text_next_ = at.text_next;
    text_room_ = at.text_room;
    token_blocks_.resize((at.distinct + kTokensPerBlock - 1) / kTokensPerBlock);
    group_blocks_.resize((at.distinct + kGroupTokens - 1) / kGroupTokens);
    distinct_ = at.distinct;
    try {
      index_tokens(slots_.size());
    } catch (const std::bad_alloc&) {
      out_of_memory_ = true;
    }
  }

  bool out_of_memory() const { return out_of_memory_; }
  size_t distinct() const { return distinct_; }
  // The room the distinct tokens' text takes (their code units, each token
  // ended): about their UTF-8 bytes, for a guess at their pickle's size.
  size_t text_room() const {
    size_t room = 0;
    for (const MappedArray<unsigned char>& block : text_blocks_) room += block.size();
    return room;
  }
  Token token(size_t number) const { return token_at(entry(number)); }

  // A place in a walk over the distinct tokens in the order of their numbers.
  struct TokenWalk {
    size_t block = 0;
    size_t offset = 0;
  };
  // The token at `walk`, which then moves on to the next: what token() gives
  // for 0, 1, 2, ..., read without the entries (release_entries). Each copy
  // follows the one before it in its text block, and a block's unused tail
  // starts with a zero byte, which no head is (a token is never empty).
  Token next_token(TokenWalk& walk) const {
    while (walk.offset == text_blocks_[walk.block].size() ||
           text_blocks_[walk.block][walk.offset] == 0) {
      walk = {walk.block + 1, 0};
    }
    const unsigned char* block = text_blocks_[walk.block].get();
    const Token t = token_at(block + walk.offset);
    walk.offset = static_cast<size_t>(static_cast<const unsigned char*>(t.data) - block) +
                  size_t{t.length} * t.kind;
    return t;
  }

  // The token whose copy's head is at `p`.
  static Token token_at(const unsigned char* p) {
    uint64_t head = 0;
    for (int shift = 0;; shift += 7) {
      const unsigned char byte = *p++;
      head |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if (byte < 0x80) break;
    }
    const auto kind = static_cast<uint8_t>(1u << (head & 3));
    return {align_up(p, kind), static_cast<uint32_t>(head >> 2), kind};
  }
  uint64_t record_count() const { return record_count_; }

  // Where a reader of the records stands: the block, the byte in it, and the
  // number the next new token gets.
  struct RecordPlace {
    size_t block = 0;
    size_t offset = 0;
    uint32_t next_new = 0;
    uint64_t count = 0;  // records read so far
  };

  // How many records are final (mark); safe to ask while the numbering runs.
  uint64_t final_record_count() {
    std::lock_guard<std::mutex> hold(final_.mutex);
    return final_.count;
  }

  // Hands the final records from `place` on to fn as drain_records hands
  // them, moving `place` past them, while the numbering may go on on another
  // thread; nothing is freed. False when fn stopped the reading.
  template <typename Fn>
  bool read_final_records(RecordPlace& place, Fn&& fn) {
    for (;;) {
      FinalBlock block;
      bool last;
      {
        std::lock_guard<std::mutex> hold(final_.mutex);
        if (place.block >= final_.blocks.size()) return true;
        block = final_.blocks[place.block];
        last = place.block + 1 == final_.blocks.size();
      }
      if (!read_block(block.bytes, block.used, place, fn)) return false;
      if (last) return true;
      place.block++;
      place.offset = 0;
    }
  }

  // Hands the records from `place` on to fn(const uint32_t* numbers, size_t
  // count) in order, a few thousand at a time, freeing each block once it is
  // read (and those before `place`); fn answers whether to go on. Once the
  // numbering has ended. False when it stopped the drain: the records are
  // then gone all the same.
  template <typename Fn>
  bool drain_records(Fn&& fn, RecordPlace place = {}) {
    bool going = true;
    for (size_t i = 0; i < records_.size(); i++) {
      if (going && i >= place.block) {
        going = read_block(records_[i].bytes.get(), records_[i].used, place, fn);
        place.offset = 0;
      }
      records_[i].bytes = {};
    }
    records_.clear();
    record_room_ = 0;
    record_count_ = 0;
    std::lock_guard<std::mutex> hold(final_.mutex);
    final_.blocks.clear();
    final_.count = 0;
    return going;
  }

  // Forgets the index of the distinct tokens once no token is to be added:
  // their text, entries and records stay (a third more slots than tokens,
  // 4 bytes each).
  void release_index() { slots_ = {}; }

  // Forgets the entries once the tokens are only walked in order
  // (next_token): token() may not be asked from then on.
  void release_entries() {
    std::vector<MappedArray<uint32_t>>().swap(token_blocks_);
    std::vector<size_t>().swap(group_blocks_);
  }

  // Forgets the distinct tokens (their text, entries and index) once only
  // the records are still needed.
  void release_tokens() {
    release_entries();
    distinct_ = 0;
    slots_ = {};
    std::vector<MappedArray<unsigned char>>().swap(text_blocks_);
    text_room_ = 0;
  }

  static constexpr unsigned kPollTokens = 1u << 16;

 private:
  // An index slot is 4 bytes: 0 when empty, else the token's number plus one
  // in the bits below the table's size (the table is at most three quarters
  // full, so the number fits) and the bits of the token's hash at and above
  // it, which tell most tokens of one place apart without their text. Half
  // the room of a number and a hash side by side, for a rebuild of the index
  // that hashes the kept tokens again (index_tokens).
  static constexpr size_t kMinSlots = 1024;
  // The index's largest size: its slots' numbers and hash bits share 32 bits.
  static constexpr size_t kMaxSlots = size_t{1} << 32;
  static constexpr size_t kTokensPerBlock = (size_t{1} << 20) / sizeof(uint32_t);
  // An entry holds where its token's head lies: the offset in its text block
  // in the low kOffsetBits, and above them that block's distance from the
  // text block of the first token of its group of kGroupTokens. Tokens are
  // copied in the order they are numbered and a token opens at most one
  // block, so the distance is below kGroupTokens; a token starts within the
  // first kTextBlockBytes of its block (one longer than a block gets one of
  // its own, which no later token shares). Half the room of a pointer.
  static constexpr unsigned kOffsetBits = 20;
  static constexpr size_t kGroupTokens = 2048;
  static constexpr size_t kRecordBlockBytes = size_t{1} << 20;
  static constexpr size_t kMaxRecordBytes = 5;  // a number plus one as a varint
  static constexpr size_t kTextBlockBytes = size_t{1} << 20;
  static_assert(kTextBlockBytes <= size_t{1} << kOffsetBits &&
                kGroupTokens <= size_t{1} << (32 - kOffsetBits));

  // By code point, eight to a word, each as one byte (its low byte folded
  // with the higher ones): the same token hashes alike in every width, and a
  // one-byte text is read a word at a time. `readable`: where the memory
  // that may be read past the token ends; a one-byte token's last word is
  // then read whole where there is room, the bytes past the token masked off
  // (the same word, so the same hash).
  template <typename Char>
  static uint64_t hash(const Char* text, size_t length, const Char* readable = nullptr) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ length;
    size_t i = 0;
    auto lane = [](uint32_t c) -> uint64_t { return (c ^ (c >> 8) ^ (c >> 16)) & 0xFF; };
    for (; i + 8 <= length; i += 8) {
      uint64_t word;
      if constexpr (sizeof(Char) == 1) {
        std::memcpy(&word, text + i, 8);
      } else {
        word = 0;
        for (size_t j = 0; j < 8; j++) word |= lane(text[i + j]) << (8 * j);
      }
      h = (h ^ word) * 0x100000001B3ull;
      h ^= h >> 29;
    }
    const size_t rest = length - i;
    uint64_t word = 0;
    bool whole = false;
    if constexpr (sizeof(Char) == 1 && std::endian::native == std::endian::little) {
      whole = rest != 0 && readable && static_cast<size_t>(readable - (text + i)) >= 8;
      if (whole) {
        std::memcpy(&word, text + i, 8);
        word &= ~uint64_t{0} >> (8 * (8 - rest));
      }
    }
    for (size_t j = 0; !whole && j < rest; j++) word |= lane(text[i + j]) << (8 * j);
    h = (h ^ word) * 0x100000001B3ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
  }

  template <typename Stored, typename Char>
  static bool same_units(const Stored* stored, const Char* text, size_t length) {
    if constexpr (sizeof(Stored) == sizeof(Char)) {
      // Most tokens are short: compare them without a library call.
      if (length <= 8) {
        for (size_t i = 0; i < length; ++i) {
          if (stored[i] != text[i]) return false;
        }
        return true;
      }
      return std::memcmp(stored, text, length * sizeof(Char)) == 0;
    } else {
      for (size_t i = 0; i < length; ++i) {
        if (static_cast<uint32_t>(stored[i]) != static_cast<uint32_t>(text[i])) return false;
      }
      return true;
    }
  }

  template <typename Char>
  static bool same_token(const Token& t, const Char* text, size_t length) {
    if (t.length != length) return false;
    return with_units(t.data, t.kind, length,
                      [&](const auto* stored, size_t n) { return same_units(stored, text, n); });
  }

  template <typename Char>
  struct Pending {
    const Char* text;
    size_t length;
    uint64_t hash;
  };
  static constexpr size_t kBatch = 16;

  template <typename Char>
  void number_batch(const Pending<Char>* batch, size_t count) {
    const auto mask = static_cast<uint32_t>(slots_.size() - 1);
    for (size_t i = 0; i < count; i++) {
      __builtin_prefetch(&slots_[static_cast<uint32_t>(batch[i].hash) & mask]);
    }
    for (size_t i = 0; i < count; i++) {
      const auto low = static_cast<uint32_t>(batch[i].hash);
      const uint32_t s = slots_[low & mask];
      if (s != 0 && (s & ~mask) == (low & ~mask)) __builtin_prefetch(&place((s & mask) - 1));
    }
    for (size_t i = 0; i < count; i++) {
      const size_t seen = distinct_;
      const uint32_t number = number_of(batch[i].text, batch[i].length, batch[i].hash);
      append_record(distinct_ == seen ? uint64_t{number} + 1 : 0);
    }
  }

  template <typename Char>
  uint32_t number_of(const Char* text, size_t length, uint64_t h) {
    // The slot's place from the low 32 bits alone, as index_tokens places
    // it and as a Cut carries it.
    const auto low = static_cast<uint32_t>(h);
    const auto mask = static_cast<uint32_t>(slots_.size() - 1);
    uint32_t slot = low & mask;
    for (;; slot = (slot + 1) & mask) {
      const uint32_t s = slots_[slot];
      if (s == 0) break;
      if ((s & ~mask) == (low & ~mask) && same_token(token((s & mask) - 1), text, length)) {
        return (s & mask) - 1;
      }
    }
    const auto number = static_cast<uint32_t>(distinct_);
    if (distinct_ % kTokensPerBlock == 0) token_blocks_.emplace_back(kTokensPerBlock);
    const size_t offset = copy_text(text, length);
    const size_t block = text_blocks_.size() - 1;
    if (distinct_ % kGroupTokens == 0) group_blocks_.push_back(block);
    token_blocks_.back()[distinct_ % kTokensPerBlock] =
        static_cast<uint32_t>(((block - group_blocks_.back()) << kOffsetBits) | offset);
    distinct_++;
    slots_[slot] = (low & ~mask) | (number + 1);
    if (distinct_ * 4 > slots_.size() * 3) {
      if (slots_.size() == kMaxSlots) throw std::bad_alloc();
      index_tokens(slots_.size() * 2);
    }
    return number;
  }

  // Where a distinct token's head and code units begin.
  const unsigned char* entry(size_t number) const {
    const uint32_t at = place(number);
    const size_t block = group_blocks_[number / kGroupTokens] + (at >> kOffsetBits);
    return text_blocks_[block].get() + (at & ((uint32_t{1} << kOffsetBits) - 1));
  }
  const uint32_t& place(size_t number) const {
    return token_blocks_[number / kTokensPerBlock][number % kTokensPerBlock];
  }
  static const unsigned char* align_up(const unsigned char* p, size_t alignment) {
    return p + (-reinterpret_cast<uintptr_t>(p) & (alignment - 1));
  }

  // A fresh index of `size` slots over the distinct tokens kept, each hashed
  // again from its text: the text is read in the order it was written, so
  // growing costs a pass over it rather than a second word per slot. The
  // slots of a batch of tokens are asked for ahead, as number_batch asks. The
  // old index is given back before the new one is made.
  void index_tokens(size_t size) {
    slots_ = {};
    slots_ = MappedArray<uint32_t>(size, MappedPages::kWholeTable);
    const auto mask = static_cast<uint32_t>(size - 1);
    constexpr size_t kIndexBatch = 64;
    uint32_t lows[kIndexBatch];
    TokenWalk walk;
    for (size_t first = 0; first < distinct_; first += kIndexBatch) {
      const size_t count = std::min(kIndexBatch, distinct_ - first);
      for (size_t i = 0; i < count; i++) {
        const Token t = next_token(walk);
        lows[i] = static_cast<uint32_t>(with_units(
            t.data, t.kind, t.length, [](const auto* units, size_t n) { return hash(units, n); }));
        __builtin_prefetch(&slots_[lows[i] & mask], 1);
      }
      for (size_t i = 0; i < count; i++) {
        uint32_t slot = lows[i] & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = (lows[i] & ~mask) | static_cast<uint32_t>(first + i + 1);
      }
    }
  }

  // A token's copy: a head, the varint of its length times four plus its
  // width's log2 (an entry of four bytes rather than sixteen saves more
  // than the head costs), then its code units, aligned for their width
  // (blocks start page-aligned). Its head's offset in the last text block.
  template <typename Char>
  size_t copy_text(const Char* text, size_t length) {
    unsigned char head[10];
    size_t head_bytes = 0;
    uint64_t value = (uint64_t{length} << 2) | (sizeof(Char) == 1 ? 0 : sizeof(Char) == 2 ? 1 : 2);
    for (; value >= 0x80; value >>= 7)
      head[head_bytes++] = static_cast<unsigned char>(value | 0x80);
    head[head_bytes++] = static_cast<unsigned char>(value);
    const size_t bytes = length * sizeof(Char);
    const size_t most = head_bytes + sizeof(Char) - 1 + bytes;
    if (most > text_room_) {
      // The rest of the block is left unused, a zero byte first for
      // next_token. A token longer than a block gets a block of its own.
      if (text_room_ > 0) *text_next_ = 0;
      const size_t size = std::max(most, kTextBlockBytes);
      text_blocks_.emplace_back(size);
      text_next_ = text_blocks_.back().get();
      text_room_ = size;
    }
    unsigned char* start = text_next_;
    std::memcpy(start, head, head_bytes);
    auto* copy = const_cast<unsigned char*>(align_up(start + head_bytes, sizeof(Char)));
    std::memcpy(copy, text, bytes);
    text_next_ = copy + bytes;
    text_room_ -= static_cast<size_t>(text_next_ - start);
    const auto offset = static_cast<size_t>(start - text_blocks_.back().get());
    // The block of a token longer than a block is its alone, so that every
    // token starts within an entry's offset bits.
    if (text_blocks_.back().size() > kTextBlockBytes) text_room_ = 0;
    return offset;
  }

  void append_record(uint64_t record) {
    if (record_room_ < kMaxRecordBytes) {
      records_.push_back({MappedArray<uint8_t>(kRecordBlockBytes), 0});
      record_room_ = kRecordBlockBytes;
    }
    RecordBlock& block = records_.back();
    uint8_t* p = block.bytes.get() + block.used;
    uint8_t* const start = p;
    for (; record >= 0x80; record >>= 7) *p++ = static_cast<uint8_t>(record | 0x80);
    *p++ = static_cast<uint8_t>(record);
    block.used += static_cast<size_t>(p - start);
    record_room_ -= static_cast<size_t>(p - start);
    record_count_++;
  }

  struct RecordBlock {
    MappedArray<uint8_t> bytes;
    size_t used;
  };

  // The records of bytes[place.offset, used) to fn, a few thousand at a time.
  template <typename Fn>
  static bool read_block(const uint8_t* bytes, size_t used, RecordPlace& place, Fn& fn) {
    uint32_t numbers[4096];
    const uint8_t* p = bytes + place.offset;
    const uint8_t* const end = bytes + used;
    while (p < end) {
      size_t count = 0;
      uint32_t next_new = place.next_new;  // kept in a register through the batch
      for (; count < std::size(numbers) && p < end; count++) {
        uint64_t record = 0;
        for (int shift = 0;; shift += 7) {
          const uint8_t byte = *p++;
          record |= static_cast<uint64_t>(byte & 0x7f) << shift;
          if (byte < 0x80) break;
        }
        numbers[count] = record == 0 ? next_new++ : static_cast<uint32_t>(record - 1);
      }
      place.next_new = next_new;
      place.offset = static_cast<size_t>(p - bytes);
      place.count += count;
      if (!fn(static_cast<const uint32_t*>(numbers), count)) return false;
    }
    return true;
  }

  // The record blocks up to a mark, as a reader on another thread sees them:
  // a block's bytes never move, and those below `used` never change again.
  struct FinalBlock {
    const uint8_t* bytes = nullptr;
    size_t used = 0;
  };
  struct FinalRecords {
    std::mutex mutex;
    std::vector<FinalBlock> blocks;
    uint64_t count = 0;
  };

  // A roll_back keeps the blocks before the mark's and its bytes below the
  // mark, so what was published stays as it was, and a mark only adds to it:
  // the last block published may have grown, and blocks may have come after
  // it. Without memory to publish, the records stay unpublished (a reader
  // finds them in the drain).
  void publish_final_records(const Mark& at) {
    std::lock_guard<std::mutex> hold(final_.mutex);
    const size_t from =
        std::min(final_.blocks.empty() ? 0 : final_.blocks.size() - 1, at.record_blocks);
    try {
      final_.blocks.resize(at.record_blocks);
    } catch (const std::bad_alloc&) {
      return;
    }
    for (size_t i = from; i < at.record_blocks; i++) {
      final_.blocks[i] = {records_[i].bytes.get(), records_[i].used};
    }
    if (at.record_blocks) final_.blocks.back().used = at.record_used;
    final_.count = at.record_count;
  }

  // Entries by number, kTokensPerBlock to a block, and the text block of the
  // first token of each group of kGroupTokens.
  std::vector<MappedArray<uint32_t>> token_blocks_;
  std::vector<size_t> group_blocks_;
  size_t distinct_ = 0;
  MappedArray<uint32_t> slots_;
  std::vector<MappedArray<unsigned char>> text_blocks_;
  unsigned char* text_next_ = nullptr;
  size_t text_room_ = 0;
  std::vector<RecordBlock> records_;
  FinalRecords final_;
  size_t record_room_ = 0;
  uint64_t record_count_ = 0;
  unsigned countdown_ = kPollTokens;
  bool out_of_memory_ = false;
};

}  // namespace ormek
