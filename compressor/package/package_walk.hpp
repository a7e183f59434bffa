// Reading a package's pickle natively, in the shapes the host's pickler
// writes it (pickle_layout.hpp), without the host's unpickler and without an
// object per token.
//
// A package is one pickled dict: "compressed" (bytes), "file_boundaries"
// and "filenames" (lists), "global_dict" (the token dictionary, token ->
// id) and, with checks, "file_facts" (a dict of plain data), in that order.
// The walk runs the unpickler's own stack machine over the opcodes such a
// pickle is made of, so that every value it makes is the value the host
// would make, with the same sharing (one value for an object memoised once
// and fetched again). Two parts are not made into values:
//
// - the token dictionary: its entries go one by one, in pickle order, to a
//   DictionarySink (which counts them, or fills a table), and are not kept;
//   only the shortest keys are remembered, so that a later reference to one
//   (a one-character name and an equal token are one object to the host's
//   pickler) can be followed;
// - a long bytes object (the compressed payload): where it stands in the
//   package, its size and its first bytes; its bytes are not read.
//
// Anything else ends the walk as kOtherShape: an opcode a package's pickle
// does not hold (another protocol's, a global, a tuple, PUT...), keys other
// than those above or in another order, a dictionary entry that is not a str
// and an int, a str that is not UTF-8 as the unpickler reads it, a memo
// index it did not keep, a stream that ends early. The caller then reads the
// package the host's way, which gives that package's result or error
// exactly. (The walk never reports an error of its own.)
//
// Host-free: bytes come through a ByteWindow; values are plain records that
// the caller turns into host objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compressor/package/byte_window.hpp"
#include "compressor/text/pickled_utf8.hpp"

namespace ormek {

class PackageWalk;

// A value of the package outside its dictionary, as the unpickler makes it.
struct PickledValue {
  enum class Kind : uint8_t {
    kStr,         // its pickled UTF-8 is bytes(); `surrogates` when it holds one
    kBytes,       // bytes()
    kPayload,     // bytes too long to keep: `at` and `size` in the package
    kInt,         // `value`
    kWideInt,     // an int beyond 64 bits: bytes() is its LONG1 argument
    kList,        // items()
    kDict,        // items(): key, value, key, value, ...
    kDictionary,  // the token dictionary, whose entries went to the sink
  };
  Kind kind;
  bool surrogates = false;
  uint64_t at = 0;    // kPayload: offset of its bytes in the package
  uint64_t size = 0;  // kPayload: their count
  int64_t value = 0;  // kInt
  uint32_t part = 0;  // where bytes() or items() stand in the walk
};

// An int the dictionary maps a token to: its value, when it fits 64 bits.
struct PickledId {
  int64_t value = 0;
  bool fits = true;
};

class DictionarySink {
 public:
  // Before the walk: the package's size in bytes, which bounds what its
  // dictionary holds. May throw std::bad_alloc.
  virtual void expect(uint64_t package_bytes) { static_cast<void>(package_bytes); }
  // One entry of the token dictionary, in pickle order: the key's pickled
  // UTF-8 (`size` bytes, valid during the call) and what it holds, and its
  // value. False ends the walk as kOtherShape.
  virtual bool entry(const unsigned char* key, size_t size, utf8::PickledText text,
                     PickledId id) = 0;
  // When the token dictionary begins, byte `offset` of the package on: what
  // the walk holds so far (stacked_payload). The walk may yet refuse the
  // package.
  virtual void dictionary_begins(const PackageWalk& walk, uint64_t offset) {
    static_cast<void>(walk);
    static_cast<void>(offset);
  }

 protected:
  ~DictionarySink() = default;
};

enum class WalkEnd {
  kRead,        // the package was read
  kOtherShape,  // not a package in a shape the walk takes
  kReadFailed,  // the window's source failed (or the file was shorter than stated)
};

class PackageWalk {
 public:
  // The package's entries, in their order.
  enum Entry { kCompressed, kFileBoundaries, kFilenames, kGlobalDict, kFileFacts, kEntries };
  static constexpr uint32_t kNone = UINT32_MAX;
  // Bytes objects up to this size are kept as values (a file's digest);
  // longer ones only located.
  static constexpr size_t kKeptBytes = 4096;
  // A located payload's first bytes (a Zstandard frame's header fits).
  static constexpr size_t kHeadBytes = 32;

  WalkEnd walk(ByteWindow& in, DictionarySink& sink);

  int protocol() const { return protocol_; }
  // The value of `entry`, or kNone when the package does not hold it.
  uint32_t entry(Entry which) const { return entries_[which]; }
  static std::string_view entry_key(Entry which);
  const PickledValue& value(uint32_t index) const { return values_[index]; }
  size_t value_count() const { return values_.size(); }
  std::string_view bytes(const PickledValue& v) const { return parts_[v.part]; }
  const std::vector<uint32_t>& items(const PickledValue& v) const { return items_[v.part]; }
  uint64_t dictionary_entries() const { return dictionary_entries_; }
  // While the dictionary is walked: the located payload, when the package
  // stored it first ("compressed"), else null.
  const PickledValue* stacked_payload() const;

 private:
  class Memo {
   public:
    // Memo indices in runs: kept (a value each) or of dictionary keys (only
    // the short ones kept).
    void put(uint32_t value);
    void put_key(uint32_t value_or_none);
    uint32_t get(uint64_t index) const;

   private:
    struct Run {
      uint64_t first;
      uint64_t count;
      bool keys;
      size_t kept_at;
    };
    Run& run_for(bool keys);
    std::vector<Run> runs_;
    std::vector<uint32_t> kept_;
    std::unordered_map<uint64_t, uint32_t> keys_;
    uint64_t size_ = 0;
  };

  // What follows the dictionary's MARK: its entries, up to SETITEMS.
  struct Key {
    uint64_t at = 0;  // in the package, pinned in the window
    size_t size = 0;
    uint32_t value = kNone;  // a key fetched from the memo
    utf8::PickledText text = utf8::PickledText::kText;
  };

  bool read_protocol();
  bool take_op(unsigned char& op, bool consume = true);
  bool read_count(int width, uint64_t& count);
  bool step(unsigned char op);
  bool push_str(unsigned char op);
  bool push_bytes(unsigned char op);
  bool push_int(unsigned char op);
  bool read_id(unsigned char op, PickledId& id, std::string* wide);
  bool push_memo(unsigned char op);
  bool memo_index(unsigned char op, uint64_t& index);
  bool push_container(PickledValue::Kind kind);
  bool memoize();
  bool append(size_t from);
  bool set_items(size_t from);
  bool emit_entry(uint32_t key, uint32_t value);
  bool dictionary_batch();
  enum class QuickEntry { kNotHere, kTaken, kRefused };
  QuickEntry quick_entry();
  uint32_t remember_key(const unsigned char* data, size_t size, utf8::PickledText text);
  bool dictionary_key(unsigned char op, Key& key);
  bool is_dictionary_place() const;
  size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
  bool pop_mark(size_t& mark);
  uint32_t add(PickledValue v);
  uint32_t add_text(PickledValue::Kind kind, const unsigned char* data, size_t size);
  bool finish();

  ByteWindow* in_ = nullptr;
  DictionarySink* sink_ = nullptr;
  int protocol_ = 0;
  std::vector<PickledValue> values_;
  std::vector<std::string> parts_;
  std::vector<std::vector<uint32_t>> items_;
  std::vector<uint32_t> stack_;
  std::vector<size_t> marks_;
  Memo memo_;
  uint32_t dictionary_ = kNone;
  uint64_t dictionary_entries_ = 0;
  uint32_t entries_[kEntries] = {kNone, kNone, kNone, kNone, kNone};
};

}  // namespace ormek
