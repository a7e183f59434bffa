// The id -> UTF-8 table (token_table.hpp) filled straight from a package's
// pickled dictionary, as its walk (package_walk.hpp) hands the entries on:
// no host object per token.
//
// Restoring looks ids up in {v: k for k, v in global_dict.items()}, where
// the host's unpickler made global_dict from the same entries. That table
// is the one made here when the keys are all distinct and all UTF-8 proper:
// the dict then holds every entry in pickle order, so a later key of an
// equal id is the one an id finds, and an id no record can name (below 0,
// beyond 2^31 - 1 or 64 bits) is never looked up. A key that repeats (the
// dict keeps its first place and last id), or one with a lone surrogate
// (which the table holds only as an object), is left to the host's way:
// distinct() answers no, or the walk ends (entry() answers false).
//
// Each key's bytes go once, as the walk reads them, into the arena the
// table then keeps; a record of 12 bytes a key says where. Both are
// reserved up front for the most a package of its size can hold (its keys
// are its bytes), so they never move: memory is taken only as it is
// written. The keys' hashes are stored on a thread of their own while the
// walk goes on (keys_on_thread.hpp).
//
// Host-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "compressor/decode/token_table.hpp"
#include "compressor/package/distinct_keys.hpp"
#include "compressor/package/keys_on_thread.hpp"
#include "compressor/package/package_walk.hpp"

namespace ormek {

class PickledTokens final : public DictionarySink {
 public:
  explicit PickledTokens(DistinctKeys keys = DistinctKeys()) : keys_(std::move(keys)) {}
  PickledTokens(const PickledTokens&) = delete;
  PickledTokens& operator=(const PickledTokens&) = delete;

  // Reserves room for the dictionary of a package of `package_bytes`: an
  // entry takes at least kLeastEntryBytes of it. Throws std::bad_alloc.
  void expect(uint64_t package_bytes) {
    arena_.reserve(kUnknownRoom + package_bytes + kShortCopy);
    arena_.assign(kUnknownRoom, 0);
    placed_.reserve(package_bytes / kLeastEntryBytes + 1);
  }

  // Throws std::bad_alloc (as DistinctKeys does).
  bool entry(const unsigned char* key, size_t size, utf8::PickledText text, PickledId id) override {
    if (text != utf8::PickledText::kText) return false;
    stored_.add(key, size);
    if (!id.fits || id.value < 0 || id.value > INT32_MAX) return true;  // no record names it
    // A key fetched again from the memo is not in the reserve: a repeat,
    // left to the host's way as all repeats are.
    if (arena_.size() + size + kShortCopy > arena_.capacity() ||
        placed_.size() == placed_.capacity() || !shape_.count_text(uint32_t(id.value), size)) {
      return false;
    }
    placed_.push_back({static_cast<uint32_t>(id.value), static_cast<uint32_t>(arena_.size()),
                       static_cast<uint32_t>(size)});
    arena_.insert(arena_.end(), key, key + size);
    return true;
  }

  // Whether the keys are distinct, so that the table is exact. Throws
  // std::bad_alloc.
  bool distinct() {
    stored_.finish();
    return keys_.distinct();
  }
  size_t count() const { return keys_.count(); }

  // Moves the arena into `table` and enters every token, the unknown token
  // being `unknown` (ASCII, at most kUnknownRoom bytes); false, leaving the
  // table alone, when the tokens do not fit it. Throws std::bad_alloc.
  bool fill(TokenTable& table, const char* unknown, size_t unknown_bytes) {
    if (!shape_.fits()) return false;
    arena_.resize(arena_.size() + kShortCopy, 0);
    keys_ = DistinctKeys(0);  // asked already: its memory goes before the table's comes
    table.lay_out_over(shape_, std::move(arena_), unknown, unknown_bytes);
    for (const Placed& token : placed_) {
      table.put_placed(table.slot_for(token.id, true), token.id, token.where, token.bytes);
    }
    placed_ = {};
    return true;
  }

 private:
  // The shortest entry: SHORT_BINUNICODE and its length, BININT1 and its
  // value, SETITEMS' share; its key's bytes come on top.
  static constexpr uint64_t kLeastEntryBytes = 4;
  struct Placed {
    uint32_t id;
    uint32_t where;
    uint32_t bytes;
  };

  DistinctKeys keys_;
  KeysOnThread stored_{keys_};  // ends before keys_
  TableShape shape_;
  std::vector<unsigned char> arena_;
  std::vector<Placed> placed_;
};

}  // namespace ormek
