// The native walk over a package's pickle (see package_walk.hpp).
//
// Each opcode does what the host's unpickler does with it, on a stack of
// values with marks; the checks the unpickler makes (an item above the
// current mark, an even number of items for SETITEMS, a memo index it holds)
// end the walk here instead of raising. Stricter than the unpickler where
// that is simpler: a container opcode must meet a container of its kind.
#include "compressor/package/package_walk.hpp"

#include <algorithm>
#include <cstring>

#include "compressor/package/pickle_layout.hpp"

namespace ormek {

namespace {

namespace op = pickle_layout;
using pickle_layout::load_little_endian;
using Kind = PickledValue::Kind;

// The protocols whose packages the walk reads: the host's default ones
// (pickle_layout.hpp), whose packages differ only in their PROTO byte.
constexpr int kLowestProtocol = pickle_layout::kFramedProtocol;
constexpr int kHighestProtocol = 5;

// Dictionary keys of up to this many bytes are remembered for a later
// reference: every str the host shares by itself (the empty one, one
// character up to U+00FF) is among them.
constexpr size_t kRememberedKey = 4;
// The unpickler refuses a length beyond its size type.
constexpr uint64_t kLargestCount = static_cast<uint64_t>(PTRDIFF_MAX) - 16;
// Package keys, in their order.
constexpr std::string_view kEntryKeys[] = {"compressed", "file_boundaries", "filenames",
                                           "global_dict", "file_facts"};

// A LONG1 argument of `width` bytes (0 to 8) as the unpickler reads it:
// signed, little-endian; no bytes at all are 0.
int64_t long1_value(const unsigned char* p, int width) {
  if (width == 0) return 0;
  const uint64_t bits = load_little_endian(p, width);
  if (width == 8) return static_cast<int64_t>(bits);
  const uint64_t sign = uint64_t{1} << (8 * width - 1);
  return static_cast<int64_t>((bits ^ sign) - sign);
}

int count_width(unsigned char code) {
  switch (code) {
    case op::kShortBinUnicode:
    case op::kShortBinBytes:
      return 1;
    case op::kBinUnicode:
    case op::kBinBytes:
      return 4;
    default:
      return 8;
  }
}

}  // namespace

// ---------------------------------------------------------------- memo ----

PackageWalk::Memo::Run& PackageWalk::Memo::run_for(bool keys) {
  if (runs_.empty() || runs_.back().keys != keys) runs_.push_back({size_, 0, keys, kept_.size()});
  return runs_.back();
}

void PackageWalk::Memo::put(uint32_t value) {
  run_for(false).count++;
  kept_.push_back(value);
  size_++;
}

void PackageWalk::Memo::put_key(uint32_t value_or_none) {
  run_for(true).count++;
  if (value_or_none != kNone) keys_.emplace(size_, value_or_none);
  size_++;
}

uint32_t PackageWalk::Memo::get(uint64_t index) const {
  if (index >= size_) return kNone;
  auto after = std::upper_bound(runs_.begin(), runs_.end(), index,
                                [](uint64_t i, const Run& run) { return i < run.first; });
  const Run& run = *(after - 1);
  if (!run.keys) return kept_[run.kept_at + (index - run.first)];
  auto found = keys_.find(index);
  return found == keys_.end() ? kNone : found->second;
}

// ------------------------------------------------------------- reading ----

bool PackageWalk::read_protocol() {
  if (!in_->have(2) || in_->at()[0] != op::kProto) return false;
  protocol_ = in_->at()[1];
  in_->advance(2);
  return protocol_ >= kLowestProtocol && protocol_ <= kHighestProtocol;
}

// The next opcode, past any FRAME: a frame only says how much the writer
// grouped, and the unpickler reads its contents as ordinary opcodes, once
// it has found that many bytes there.
bool PackageWalk::take_op(unsigned char& code, bool consume) {
  for (;;) {
    if (!in_->have(1)) return false;
    code = *in_->at();
    if (code != op::kFrame) break;
    if (!in_->have(pickle_layout::kFrameHeaderBytes)) return false;
    const uint64_t length = load_little_endian(in_->at() + 1, 8);
    in_->advance(pickle_layout::kFrameHeaderBytes);
    if (length > in_->remaining()) return false;
  }
  if (consume) in_->advance(1);
  return true;
}

// A little-endian length of `width` bytes, of bytes that follow in the data.
bool PackageWalk::read_count(int width, uint64_t& count) {
  if (!in_->have(width)) return false;
  count = load_little_endian(in_->at(), width);
  in_->advance(width);
  return count <= kLargestCount && count <= in_->remaining();
}

uint32_t PackageWalk::add(PickledValue v) {
  values_.push_back(v);
  return static_cast<uint32_t>(values_.size() - 1);
}

uint32_t PackageWalk::add_text(Kind kind, const unsigned char* data, size_t size) {
  PickledValue v{kind};
  v.part = static_cast<uint32_t>(parts_.size());
  parts_.emplace_back(reinterpret_cast<const char*>(data), size);
  return add(v);
}

// ------------------------------------------------------------- opcodes ----

bool PackageWalk::step(unsigned char code) {
  switch (code) {
    case op::kMark:
      if (!stack_.empty() && stack_.back() == dictionary_) return dictionary_batch();
      marks_.push_back(stack_.size());
      return true;
    case op::kMemoize:
      return memoize();
    case op::kBinGet:
    case op::kLongBinGet:
      return push_memo(code);
    case op::kShortBinUnicode:
    case op::kBinUnicode:
    case op::kBinUnicode8:
      return push_str(code);
    case op::kShortBinBytes:
    case op::kBinBytes:
    case op::kBinBytes8:
      return push_bytes(code);
    case op::kBinInt1:
    case op::kBinInt2:
    case op::kBinInt:
    case op::kLong1:
      return push_int(code);
    case op::kEmptyList:
      return push_container(Kind::kList);
    case op::kEmptyDict:
      return push_container(is_dictionary_place() ? Kind::kDictionary : Kind::kDict);
    case op::kAppend:
      return stack_.size() >= 2 && append(stack_.size() - 1);
    case op::kSetItem:
      return stack_.size() >= 3 && set_items(stack_.size() - 2);
    case op::kAppends:
    case op::kSetItems: {
      size_t mark = 0;
      return pop_mark(mark) && (code == op::kAppends ? append(mark) : set_items(mark));
    }
    default:
      return false;
  }
}

bool PackageWalk::push_str(unsigned char code) {
  uint64_t size = 0;
  if (!read_count(count_width(code), size) || !in_->have(size)) return false;
  const utf8::PickledText text = utf8::check_pickled(in_->at(), size);
  if (text == utf8::PickledText::kInvalid) return false;
  stack_.push_back(add_text(Kind::kStr, in_->at(), size));
  values_.back().surrogates = text == utf8::PickledText::kSurrogates;
  in_->advance(size);
  return true;
}

bool PackageWalk::push_bytes(unsigned char code) {
  uint64_t size = 0;
  if (!read_count(count_width(code), size)) return false;
  if (size <= kKeptBytes) {
    if (!in_->have(size)) return false;
    stack_.push_back(add_text(Kind::kBytes, in_->at(), size));
    in_->advance(size);
    return true;
  }
  if (!in_->have(kHeadBytes)) return false;
  const uint64_t at = in_->offset();
  stack_.push_back(add_text(Kind::kPayload, in_->at(), kHeadBytes));
  values_.back().at = at;
  values_.back().size = size;
  return in_->skip(size);
}

// An int opcode's value; a LONG1 beyond 64 bits as its bytes into `wide`
// (when given).
bool PackageWalk::read_id(unsigned char code, PickledId& id, std::string* wide) {
  const int width = code == op::kBinInt1   ? 1
                    : code == op::kBinInt2 ? 2
                    : code == op::kBinInt  ? 4
                                           : 1;
  if (!in_->have(width)) return false;
  const uint64_t bits = load_little_endian(in_->at(), width);
  in_->advance(width);
  if (code != op::kLong1) {
    id.value = code == op::kBinInt ? static_cast<int32_t>(bits) : static_cast<int64_t>(bits);
    return true;
  }
  if (!in_->have(bits)) return false;
  id.fits = bits <= 8;
  if (id.fits) id.value = long1_value(in_->at(), static_cast<int>(bits));
  if (!id.fits && wide) wide->assign(reinterpret_cast<const char*>(in_->at()), bits);
  in_->advance(bits);
  return true;
}

bool PackageWalk::push_int(unsigned char code) {
  PickledId id;
  std::string wide;
  if (!read_id(code, id, &wide)) return false;
  if (!id.fits) {
    stack_.push_back(
        add_text(Kind::kWideInt, reinterpret_cast<const unsigned char*>(wide.data()), wide.size()));
    return true;
  }
  PickledValue v{Kind::kInt};
  v.value = id.value;
  stack_.push_back(add(v));
  return true;
}

bool PackageWalk::memo_index(unsigned char code, uint64_t& index) {
  const int width = code == op::kBinGet ? 1 : 4;
  if (!in_->have(width)) return false;
  index = load_little_endian(in_->at(), width);
  in_->advance(width);
  return true;
}

// A value fetched again: the very value memoised, but never the dictionary
// or a payload, which stand once in a package.
bool PackageWalk::push_memo(unsigned char code) {
  uint64_t index = 0;
  if (!memo_index(code, index)) return false;
  const uint32_t found = memo_.get(index);
  if (found == kNone || found == dictionary_ || values_[found].kind == Kind::kPayload) return false;
  stack_.push_back(found);
  return true;
}

bool PackageWalk::push_container(Kind kind) {
  PickledValue v{kind};
  v.part = static_cast<uint32_t>(items_.size());
  items_.emplace_back();
  stack_.push_back(add(v));
  if (kind == Kind::kDictionary) {
    dictionary_ = stack_.back();
    sink_->dictionary_begins(*this, in_->offset());
  }
  return true;
}

bool PackageWalk::memoize() {
  if (stack_.size() <= fence()) return false;
  memo_.put(stack_.back());
  return true;
}

bool PackageWalk::pop_mark(size_t& mark) {
  if (marks_.empty()) return false;
  mark = marks_.back();
  marks_.pop_back();
  return true;
}

// APPEND and APPENDS: the items from `from` on go into the list below them.
bool PackageWalk::append(size_t from) {
  if (from <= fence() || from > stack_.size()) return false;
  const PickledValue& list = values_[stack_[from - 1]];
  if (list.kind != Kind::kList) return false;
  std::vector<uint32_t>& items = items_[list.part];
  items.insert(items.end(), stack_.begin() + static_cast<std::ptrdiff_t>(from), stack_.end());
  stack_.resize(from);
  return true;
}

// SETITEM and SETITEMS: the pairs from `from` on go into the dict below them.
bool PackageWalk::set_items(size_t from) {
  if (from <= fence() || from > stack_.size() || (stack_.size() - from) % 2 != 0) return false;
  const uint32_t target = stack_[from - 1];
  const PickledValue& dict = values_[target];
  if (dict.kind == Kind::kDictionary) {
    for (size_t i = from; i < stack_.size(); i += 2) {
      if (!emit_entry(stack_[i], stack_[i + 1])) return false;
    }
  } else if (dict.kind == Kind::kDict) {
    std::vector<uint32_t>& items = items_[dict.part];
    items.insert(items.end(), stack_.begin() + static_cast<std::ptrdiff_t>(from), stack_.end());
  } else {
    return false;
  }
  stack_.resize(from);
  return true;
}

// ---------------------------------------------------------- dictionary ----

// The token dictionary is the dict that follows the key "global_dict" among
// the package's own items: the package dict at the bottom of the stack, its
// one mark above it, and the key on top.
const PickledValue* PackageWalk::stacked_payload() const {
  if (dictionary_ == kNone || stack_.size() < 3 || marks_.empty() || marks_[0] != 1) return nullptr;
  const PickledValue& key = values_[stack_[1]];
  const PickledValue& payload = values_[stack_[2]];
  return key.kind == Kind::kStr && bytes(key) == kEntryKeys[kCompressed] &&
                 payload.kind == Kind::kPayload
             ? &payload
             : nullptr;
}

bool PackageWalk::is_dictionary_place() const {
  if (dictionary_ != kNone || marks_.size() != 1 || marks_[0] != 1 || stack_.size() < 2 ||
      stack_[0] != 0 || values_[0].kind != Kind::kDict || (stack_.size() - 1) % 2 != 1) {
    return false;
  }
  const PickledValue& key = values_[stack_.back()];
  return key.kind == Kind::kStr && bytes(key) == kEntryKeys[kGlobalDict];
}

// A dictionary entry made of values (SETITEM, or a batch run through the
// stack): a str and an int.
bool PackageWalk::emit_entry(uint32_t key, uint32_t value) {
  const PickledValue& k = values_[key];
  const PickledValue& v = values_[value];
  if (k.kind != Kind::kStr || (v.kind != Kind::kInt && v.kind != Kind::kWideInt)) return false;
  PickledId id;
  id.fits = v.kind == Kind::kInt;
  id.value = v.value;
  const std::string_view text = bytes(k);
  const auto form = k.surrogates ? utf8::PickledText::kSurrogates : utf8::PickledText::kText;
  if (!sink_->entry(reinterpret_cast<const unsigned char*>(text.data()), text.size(), form, id)) {
    return false;
  }
  dictionary_entries_++;
  return true;
}

// A key of a batch: a str (memoised as a dictionary key, kept only when
// short) or a str fetched from the memo. Its bytes stay pinned in the window
// until the entry is handed on.
bool PackageWalk::dictionary_key(unsigned char code, Key& key) {
  if (code == op::kBinGet || code == op::kLongBinGet) {
    uint64_t index = 0;
    if (!memo_index(code, index)) return false;
    key.value = memo_.get(index);
    if (key.value == kNone || values_[key.value].kind != Kind::kStr) return false;
    key.text =
        values_[key.value].surrogates ? utf8::PickledText::kSurrogates : utf8::PickledText::kText;
    return true;
  }
  if (code != op::kShortBinUnicode && code != op::kBinUnicode && code != op::kBinUnicode8) {
    return false;
  }
  uint64_t size = 0;
  if (!read_count(count_width(code), size) || !in_->have(size)) return false;
  key.text = utf8::check_pickled(in_->at(), size);
  if (key.text == utf8::PickledText::kInvalid) return false;
  key.at = in_->offset();
  key.size = size;
  in_->pin(key.at);
  in_->advance(size);
  unsigned char next = 0;
  if (!take_op(next, false) || next != op::kMemoize) return true;
  in_->advance(1);
  memo_.put_key(remember_key(in_->bytes_at(key.at), size, key.text));
  return true;
}

// A memoised key's value, kept only when it is short enough for a later
// reference (kNone otherwise).
uint32_t PackageWalk::remember_key(const unsigned char* data, size_t size, utf8::PickledText text) {
  if (size > kRememberedKey) return kNone;
  const uint32_t remembered = add_text(Kind::kStr, data, size);
  values_.back().surrogates = text == utf8::PickledText::kSurrogates;
  return remembered;
}

// The shape nearly every entry of a package's dictionary has, read in place
// while the window holds all of it: SHORT_BINUNICODE, the key, MEMOIZE, then
// BININT1, BININT2 or BININT. Anything else here (another opcode, a FRAME, a
// key that is not UTF-8, an entry the window cuts) is kNotHere, left to the
// general reading, which reads the same entry the same way.
PackageWalk::QuickEntry PackageWalk::quick_entry() {
  const unsigned char* p = in_->at();
  const size_t hand = in_->at_hand();
  if (hand < 2 || p[0] != op::kShortBinUnicode) return QuickEntry::kNotHere;
  const size_t size = p[1];
  const size_t id_at = 2 + size + 1;  // past the key and its MEMOIZE
  if (hand < id_at + 5 || p[id_at - 1] != op::kMemoize) return QuickEntry::kNotHere;
  const unsigned char code = p[id_at];
  const int width = code == op::kBinInt1   ? 1
                    : code == op::kBinInt2 ? 2
                    : code == op::kBinInt  ? 4
                                           : 0;
  if (width == 0) return QuickEntry::kNotHere;
  const utf8::PickledText text = utf8::check_pickled(p + 2, size);
  if (text == utf8::PickledText::kInvalid) return QuickEntry::kNotHere;
  PickledId id;
  const uint64_t bits = load_little_endian(p + id_at + 1, width);
  id.value = code == op::kBinInt ? static_cast<int32_t>(bits) : static_cast<int64_t>(bits);
  memo_.put_key(remember_key(p + 2, size, text));
  in_->advance(id_at + 1 + width);
  if (!sink_->entry(p + 2, size, text, id)) return QuickEntry::kRefused;
  dictionary_entries_++;
  return QuickEntry::kTaken;
}

// The entries after a MARK on the dictionary, up to their SETITEMS, straight
// to the sink: a key, then an int.
bool PackageWalk::dictionary_batch() {
  for (;;) {
    const QuickEntry quick = quick_entry();
    if (quick == QuickEntry::kTaken) continue;
    if (quick == QuickEntry::kRefused) return false;
    unsigned char code = 0;
    if (!take_op(code)) return false;
    if (code == op::kSetItems) return true;
    Key key;
    PickledId id;
    const bool read = dictionary_key(code, key) && take_op(code) &&
                      (code == op::kBinInt1 || code == op::kBinInt2 || code == op::kBinInt ||
                       code == op::kLong1) &&
                      read_id(code, id, nullptr);
    bool taken = false;
    if (read) {
      const std::string_view held =
          key.value == kNone ? std::string_view() : bytes(values_[key.value]);
      const auto* data = key.value == kNone ? in_->bytes_at(key.at)
                                            : reinterpret_cast<const unsigned char*>(held.data());
      taken = sink_->entry(data, key.value == kNone ? key.size : held.size(), key.text, id);
    }
    in_->unpin();
    if (!taken) return false;
    dictionary_entries_++;
  }
}

// ---------------------------------------------------------------- walk ----

std::string_view PackageWalk::entry_key(Entry which) { return kEntryKeys[which]; }

// At STOP: the package dict alone on the stack, holding its keys in order.
bool PackageWalk::finish() {
  if (!marks_.empty() || stack_.size() != 1 || stack_[0] != 0 || values_[0].kind != Kind::kDict) {
    return false;
  }
  const std::vector<uint32_t>& items = items_[values_[0].part];
  const size_t entries = items.size() / 2;
  if (entries < kFileFacts || entries > kEntries) return false;
  for (size_t i = 0; i < entries; i++) {
    const PickledValue& key = values_[items[2 * i]];
    if (key.kind != Kind::kStr || bytes(key) != kEntryKeys[i]) return false;
    entries_[i] = items[2 * i + 1];
  }
  const Kind payload = values_[entries_[kCompressed]].kind;
  return (payload == Kind::kBytes || payload == Kind::kPayload) &&
         entries_[kGlobalDict] == dictionary_;
}

WalkEnd PackageWalk::walk(ByteWindow& in, DictionarySink& sink) {
  in_ = &in;
  sink_ = &sink;
  bool read = read_protocol();
  for (unsigned char code = 0; read;) {
    read = take_op(code);
    if (read && code == op::kStop) return finish() ? WalkEnd::kRead : WalkEnd::kOtherShape;
    read = read && step(code);
  }
  return in.failed() ? WalkEnd::kReadFailed : WalkEnd::kOtherShape;
}

}  // namespace ormek
