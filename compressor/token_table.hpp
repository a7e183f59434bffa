// A native hash table from token text to token id, for the encoder's hot loop:
// it finds each occurrence of a token by its code units, so that a Python str
// is made once per distinct token rather than once per occurrence.
//
// Keys are compared and hashed by code point, so the same token found in a
// one-, two- or four-byte text is one key. The table does not own key text:
// callers keep the objects the keys point into alive while the table lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ormek {

class TokenTable {
 public:
  explicit TokenTable(size_t expected = 0) { rehash(capacity_for(expected)); }

  template <typename Char>
  static uint64_t hash(const Char* text, size_t length) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ length;
    for (size_t i = 0; i < length; ++i) h = (h ^ text[i]) * 0x100000001B3ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
  }

  // The value stored for the token, or nullptr.
  template <typename Char>
  int32_t* find(const Char* text, size_t length, uint64_t h) {
    for (size_t slot = h & mask_;; slot = (slot + 1) & mask_) {
      uint32_t index = slots_[slot];
      if (index == 0) return nullptr;
      Entry& e = entries_[index - 1];
      if (e.hash == h && e.length == length && same_text(e, text, length)) return &e.value;
    }
  }

  // Adds a token known to be absent; `data` (of `kind` bytes per code unit)
  // must outlive the table.
  void insert(const void* data, size_t length, int kind, uint64_t h, int32_t value) {
    if ((entries_.size() + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    entries_.push_back({h, data, static_cast<uint32_t>(length), static_cast<uint8_t>(kind), value});
    place(h, static_cast<uint32_t>(entries_.size()));
  }

  struct Entry {
    uint64_t hash;
    const void* data;
    uint32_t length;
    uint8_t kind;
    int32_t value;
  };

  size_t size() const { return entries_.size(); }
  // Entries in insertion order.
  const Entry& entry(size_t i) const { return entries_[i]; }
  // Looks up another table's entry here.
  int32_t* find_entry(const Entry& e) {
    switch (e.kind) {
      case 1:
        return find(static_cast<const uint8_t*>(e.data), e.length, e.hash);
      case 2:
        return find(static_cast<const uint16_t*>(e.data), e.length, e.hash);
      default:
        return find(static_cast<const uint32_t*>(e.data), e.length, e.hash);
    }
  }
  // Drops the index once only the entries are needed.
  void release_index() {
    std::vector<uint32_t>().swap(slots_);
    mask_ = 0;
  }

 private:
  static size_t capacity_for(size_t expected) {
    size_t capacity = 1024;
    while (capacity < expected * 2) capacity *= 2;
    return capacity;
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
  static bool same_text(const Entry& e, const Char* text, size_t length) {
    switch (e.kind) {
      case 1:
        return same_units(static_cast<const uint8_t*>(e.data), text, length);
      case 2:
        return same_units(static_cast<const uint16_t*>(e.data), text, length);
      default:
        return same_units(static_cast<const uint32_t*>(e.data), text, length);
    }
  }

  void place(uint64_t h, uint32_t index) {
    size_t slot = h & mask_;
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = index;
  }

  void rehash(size_t capacity) {
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
      place(entries_[i].hash, static_cast<uint32_t>(i + 1));
    }
  }

  std::vector<uint32_t> slots_;  // entry index + 1, 0 for an empty slot
  std::vector<Entry> entries_;
  size_t mask_ = 0;
};

}  // namespace ormek
