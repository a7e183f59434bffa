// The opcode pass over an untrusted pickle stream (see pickle_opcode_scan.hpp).
//
// The argument layouts follow the host's unpickler byte for byte, since the
// pass must stop exactly where the host would and skip exactly what it
// skips: a text argument runs through its newline, a counted one is a
// little-endian length and that many bytes, FRAME is an 8-byte length whose
// frame holds ordinary opcodes (the pass reads through it linearly, as the
// host's frames do).
#include "compressor/package/pickle_opcode_scan.hpp"

#include <cstring>

namespace ormek {

namespace {

enum class Arg : uint8_t {
  kInvalid,  // not an opcode of protocols 0 to 5
  kNone,     // the opcode alone
  kFixed1,   // 1, 2, 4 or 8 argument bytes
  kFixed2,
  kFixed4,
  kFixed8,
  kLine,          // one text line through '\n'
  kTwoLines,      // module and name lines (GLOBAL, INST)
  kCount1,        // 1-byte length, then that many bytes
  kCount4,        // 4-byte unsigned length
  kSignedCount4,  // 4-byte signed length (a negative one the host refuses)
  kCount8,        // 8-byte length
};

struct OpcodeInfo {
  Arg arg = Arg::kInvalid;
  const char* name = nullptr;
};

struct OpcodeTable {
  OpcodeInfo ops[256];

  constexpr OpcodeTable() {
    auto set = [this](char op, Arg arg, const char* name) {
      ops[static_cast<unsigned char>(op)] = {arg, name};
    };
    set('(', Arg::kNone, "MARK");
    set('.', Arg::kNone, "STOP");
    set('0', Arg::kNone, "POP");
    set('1', Arg::kNone, "POP_MARK");
    set('2', Arg::kNone, "DUP");
    set('F', Arg::kLine, "FLOAT");
    set('I', Arg::kLine, "INT");
    set('J', Arg::kFixed4, "BININT");
    set('K', Arg::kFixed1, "BININT1");
    set('L', Arg::kLine, "LONG");
    set('M', Arg::kFixed2, "BININT2");
    set('N', Arg::kNone, "NONE");
    set('P', Arg::kLine, "PERSID");
    set('Q', Arg::kNone, "BINPERSID");
    set('R', Arg::kNone, "REDUCE");
    set('S', Arg::kLine, "STRING");
    set('T', Arg::kSignedCount4, "BINSTRING");
    set('U', Arg::kCount1, "SHORT_BINSTRING");
    set('V', Arg::kLine, "UNICODE");
    set('X', Arg::kCount4, "BINUNICODE");
    set('a', Arg::kNone, "APPEND");
    set('b', Arg::kNone, "BUILD");
    set('c', Arg::kTwoLines, "GLOBAL");
    set('d', Arg::kNone, "DICT");
    set('}', Arg::kNone, "EMPTY_DICT");
    set('e', Arg::kNone, "APPENDS");
    set('g', Arg::kLine, "GET");
    set('h', Arg::kFixed1, "BINGET");
    set('i', Arg::kTwoLines, "INST");
    set('j', Arg::kFixed4, "LONG_BINGET");
    set('l', Arg::kNone, "LIST");
    set(']', Arg::kNone, "EMPTY_LIST");
    set('o', Arg::kNone, "OBJ");
    set('p', Arg::kLine, "PUT");
    set('q', Arg::kFixed1, "BINPUT");
    set('r', Arg::kFixed4, "LONG_BINPUT");
    set('s', Arg::kNone, "SETITEM");
    set('t', Arg::kNone, "TUPLE");
    set(')', Arg::kNone, "EMPTY_TUPLE");
    set('u', Arg::kNone, "SETITEMS");
    set('G', Arg::kFixed8, "BINFLOAT");
    // Protocol 2.
    set('\x80', Arg::kFixed1, "PROTO");
    set('\x81', Arg::kNone, "NEWOBJ");
    set('\x82', Arg::kFixed1, "EXT1");
    set('\x83', Arg::kFixed2, "EXT2");
    set('\x84', Arg::kFixed4, "EXT4");
    set('\x85', Arg::kNone, "TUPLE1");
    set('\x86', Arg::kNone, "TUPLE2");
    set('\x87', Arg::kNone, "TUPLE3");
    set('\x88', Arg::kNone, "NEWTRUE");
    set('\x89', Arg::kNone, "NEWFALSE");
    set('\x8a', Arg::kCount1, "LONG1");
    set('\x8b', Arg::kSignedCount4, "LONG4");
    // Protocol 3.
    set('B', Arg::kCount4, "BINBYTES");
    set('C', Arg::kCount1, "SHORT_BINBYTES");
    // Protocol 4.
    set('\x8c', Arg::kCount1, "SHORT_BINUNICODE");
    set('\x8d', Arg::kCount8, "BINUNICODE8");
    set('\x8e', Arg::kCount8, "BINBYTES8");
    set('\x8f', Arg::kNone, "EMPTY_SET");
    set('\x90', Arg::kNone, "ADDITEMS");
    set('\x91', Arg::kNone, "FROZENSET");
    set('\x92', Arg::kNone, "NEWOBJ_EX");
    set('\x93', Arg::kNone, "STACK_GLOBAL");
    set('\x94', Arg::kNone, "MEMOIZE");
    set('\x95', Arg::kFixed8, "FRAME");
    // Protocol 5.
    set('\x96', Arg::kCount8, "BYTEARRAY8");
    set('\x97', Arg::kNone, "NEXT_BUFFER");
    set('\x98', Arg::kNone, "READONLY_BUFFER");
  }
};

constexpr OpcodeTable kOpcodes;

constexpr unsigned char kStop = '.';
constexpr unsigned char kPut = 'p';
constexpr unsigned char kBinPut = 'q';
constexpr unsigned char kLongBinPut = 'r';
constexpr unsigned char kExt1 = 0x82;
constexpr unsigned char kExt2 = 0x83;
constexpr unsigned char kExt4 = 0x84;
constexpr unsigned char kFrame = 0x95;

uint64_t little_endian(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = value << 8 | p[i];
  return value;
}

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The index of a text PUT, read the way the host's integer parser reads it
// (blanks, a sign, digits with underscores between them) and saturating. The
// parse stops at the first other character: the host either reads exactly
// these digits or refuses the line, so a larger index can never reach its
// memo. False for a negative index, which the host refuses by itself.
bool text_index(const unsigned char* p, const unsigned char* end, uint64_t& value) {
  while (p < end && is_ascii_space(*p)) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  value = 0;
  for (; p < end && ((*p >= '0' && *p <= '9') || *p == '_'); p++) {
    if (*p == '_') continue;
    const uint64_t digit = *p - '0';
    value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
  }
  return !negative || value == 0;
}

// How far the opcode at `at` reaches, read from its argument layout alone.
struct Extent {
  enum class Kind {
    kWhole,    // the opcode and its argument lie within the data; `next` is just past them
    kShort,    // the data ends inside it; `needed` completes it (0: unknown)
    kRefused,  // its layout is one the host refuses by itself
  };
  Kind kind = Kind::kWhole;
  size_t next = 0;
  size_t needed = 0;
  int count_width = 0;  // the width of a length read on the way (1, 4 or 8)
};

// A length no buffer can hold: the host refuses it (or fails to allocate it)
// before reading anything more.
constexpr uint64_t kLargestCount = static_cast<uint64_t>(PTRDIFF_MAX) - 16;

// An opcode that ends at `next`, short when the data ends first; `width` is
// that of the length it read on the way (0: none).
Extent span_to(size_t next, size_t size, int width) {
  if (next > size) return {Extent::Kind::kShort, 0, next, width};
  return {Extent::Kind::kWhole, next, 0, width};
}

// A little-endian length of `width` bytes at `args`, then that many bytes.
Extent counted_extent(const unsigned char* data, size_t size, size_t args, int width,
                      bool is_signed) {
  if (args + width > size) return {Extent::Kind::kShort, 0, 0, 0};
  const uint64_t count = little_endian(data + args, width);
  if ((is_signed && (count & 0x80000000u)) || count > kLargestCount) {
    return {Extent::Kind::kRefused, 0, 0, width};
  }
  return span_to(args + width + static_cast<size_t>(count), size, width);
}

// `lines` text lines from `args`, each through its '\n'.
Extent lines_extent(const unsigned char* data, size_t size, size_t args, int lines) {
  size_t next = args;
  for (int l = 0; l < lines; l++) {
    const void* newline = next < size ? std::memchr(data + next, '\n', size - next) : nullptr;
    if (!newline) return {Extent::Kind::kShort, 0, 0, 0};
    next = static_cast<size_t>(static_cast<const unsigned char*>(newline) - data) + 1;
  }
  return {Extent::Kind::kWhole, next, 0, 0};
}

// FRAME: an 8-byte length. The host reads a whole frame before it looks
// inside, allocating its claimed length first, so the frame must lie within
// the stream (at its end a shorter claim lets the host report the truncation
// cheaply). Its contents are ordinary opcodes, read on from `next`.
Extent frame_extent(const unsigned char* data, size_t size, size_t args) {
  const size_t next = args + 8;
  if (next > size) return {Extent::Kind::kShort, 0, next, 0};
  const uint64_t frame = little_endian(data + args, 8);
  if (frame > kLargestCount) return {Extent::Kind::kRefused, 0, 0, 8};
  if (next + frame > size) return {Extent::Kind::kShort, 0, next + static_cast<size_t>(frame), 8};
  return {Extent::Kind::kWhole, next, 0, 8};
}

// The memo index a memo store (BINPUT, LONG_BINPUT, PUT) with the argument
// [args, end) names; false for any other opcode, and for a negative PUT,
// which the host refuses by itself.
bool stored_memo_index(unsigned char op, const unsigned char* args, const unsigned char* end,
                       uint64_t& index) {
  switch (op) {
    case kBinPut:
      index = args[0];
      return true;
    case kLongBinPut:
      index = little_endian(args, 4);
      return true;
    case kPut:
      return text_index(args, end, index);
    default:
      return false;
  }
}

Extent opcode_extent(const unsigned char* data, size_t size, size_t at) {
  const unsigned char op = data[at];
  const size_t args = at + 1;
  switch (kOpcodes.ops[op].arg) {
    case Arg::kInvalid:
      return {Extent::Kind::kRefused, 0, 0, 0};
    case Arg::kNone:
      return span_to(args, size, 0);
    case Arg::kFixed1:
      return span_to(args + 1, size, 0);
    case Arg::kFixed2:
      return span_to(args + 2, size, 0);
    case Arg::kFixed4:
      return span_to(args + 4, size, 0);
    case Arg::kFixed8:
      return op == kFrame ? frame_extent(data, size, args) : span_to(args + 8, size, 0);
    case Arg::kLine:
      return lines_extent(data, size, args, 1);
    case Arg::kTwoLines:
      return lines_extent(data, size, args, 2);
    case Arg::kCount1:
      return counted_extent(data, size, args, 1, false);
    case Arg::kCount4:
      return counted_extent(data, size, args, 4, false);
    case Arg::kSignedCount4:
      return counted_extent(data, size, args, 4, true);
    case Arg::kCount8:
      return counted_extent(data, size, args, 8, false);
  }
  return {Extent::Kind::kRefused, 0, 0, 0};
}

}  // namespace

const char* pickle_opcode_name(unsigned char opcode) {
  const char* name = kOpcodes.ops[opcode].name;
  return name ? name : "?";
}

PickleScan PickleScanner::scan(const unsigned char* data, size_t size) {
  size_t at = resume_;
  while (at < size) {
    const unsigned char op = data[at];
    const Extent extent = opcode_extent(data, size, at);
    switch (extent.kind) {
      case Extent::Kind::kRefused:
        return stop_at(at, PickleVerdict::kLeftToHost, op);
      case Extent::Kind::kShort: {
        PickleScan result = stop_at(at, PickleVerdict::kNeedMore, op);
        result.needed = extent.needed;
        result.count_width = extent.count_width;
        return result;
      }
      case Extent::Kind::kWhole:
        break;
    }
    const size_t args = at + 1;
    uint64_t memo_index = 0;
    switch (op) {
      case kStop: {
        PickleScan result = stop_at(at, PickleVerdict::kComplete, op);
        result.end = resume_ = extent.next;
        return result;
      }
      case kExt1:
      case kExt2:
      case kExt4: {
        PickleScan result = stop_at(at, PickleVerdict::kExtensionCode, op);
        result.value = little_endian(data + args, op == kExt1 ? 1 : op == kExt2 ? 2 : 4);
        return result;
      }
      default:
        break;
    }
    // A stream names memo slots in the order it fills them, each fill taking
    // at least one byte, so no sound index exceeds the stream's length.
    if (stored_memo_index(op, data + args, data + extent.next, memo_index) && memo_index > size) {
      PickleScan result = stop_at(at, PickleVerdict::kMemoIndex, op);
      result.value = memo_index;
      return result;
    }
    at = extent.next;
  }
  // The data ends between opcodes: no length of an opcode is pending.
  PickleScan result = stop_at(at, PickleVerdict::kNeedMore, 0);
  result.needed = at + 1;
  return result;
}

PickleScan PickleScanner::stop_at(size_t at, PickleVerdict verdict, unsigned char opcode) {
  resume_ = at;
  PickleScan result;
  result.verdict = verdict;
  result.position = at;
  result.opcode = opcode;
  return result;
}

}  // namespace ormek
