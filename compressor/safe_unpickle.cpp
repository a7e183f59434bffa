// The opcode pass over an untrusted pickle stream (see safe_unpickle.hpp).
//
// The argument layouts follow the host's unpickler byte for byte, since the
// pass must stop exactly where the host would and skip exactly what it
// skips: a text argument runs through its newline, a counted one is a
// little-endian length and that many bytes, FRAME is an 8-byte length whose
// frame holds ordinary opcodes (the pass reads through it linearly, as the
// host's frames do).
#include "compressor/safe_unpickle.hpp"

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

uint64_t little_endian(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = value << 8 | p[i];
  return value;
}

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The index of a text PUT, read the way the host's integer parser reads it
// (blanks, a sign, digits with underscores between them) and saturating. The
// parse stops at the first other character: the host either reads exactly
// these digits or refuses the line, so a larger index can never reach its
// memo. False for a negative index, which the host refuses by itself.
bool text_index(const unsigned char* p, const unsigned char* end, uint64_t& value) {
  while (p < end && is_space(*p)) p++;
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

}  // namespace

const char* pickle_opcode_name(unsigned char opcode) {
  const char* name = kOpcodes.ops[opcode].name;
  return name ? name : "?";
}

PickleScan PickleScanner::scan(const unsigned char* data, size_t size) {
  PickleScan result;
  size_t at = resume_;
  while (at < size) {
    const unsigned char op = data[at];
    result.count_width = 0;
    const size_t args = at + 1;
    size_t next = args;  // just past this opcode
    auto need = [&](size_t total) {
      resume_ = at;
      result.verdict = PickleVerdict::kNeedMore;
      result.position = at;
      result.needed = total;
      result.opcode = op;
      return result;
    };
    auto counted = [&](int length_bytes, bool is_signed) -> int {
      if (args + length_bytes > size) return 0;
      uint64_t count = little_endian(data + args, length_bytes);
      result.count_width = length_bytes;
      if (is_signed && (count & 0x80000000u)) return -1;
      // A count no buffer can hold: the host refuses it (or fails to
      // allocate it) before reading anything more.
      if (count > static_cast<uint64_t>(PTRDIFF_MAX) - 16) return -1;
      next = args + length_bytes + static_cast<size_t>(count);
      return 1;
    };
    int state = 1;
    switch (kOpcodes.ops[op].arg) {
      case Arg::kInvalid:
        state = -1;
        break;
      case Arg::kNone:
        break;
      case Arg::kFixed1:
        next += 1;
        break;
      case Arg::kFixed2:
        next += 2;
        break;
      case Arg::kFixed4:
        next += 4;
        break;
      case Arg::kFixed8:
        next += 8;
        // The host reads a whole frame before it looks inside, allocating its
        // claimed length first: the frame must lie within the stream (at its
        // end a shorter claim lets the host report the truncation cheaply).
        if (op == 0x95 && next <= size) {
          const uint64_t frame = little_endian(data + args, 8);
          result.count_width = 8;
          if (frame > static_cast<uint64_t>(PTRDIFF_MAX) - 16) {
            state = -1;
          } else if (next + frame > size) {
            return need(next + static_cast<size_t>(frame));
          }
        }
        break;
      case Arg::kLine:
      case Arg::kTwoLines: {
        const int lines = kOpcodes.ops[op].arg == Arg::kLine ? 1 : 2;
        for (int l = 0; l < lines; l++) {
          const void* newline = next < size ? std::memchr(data + next, '\n', size - next) : nullptr;
          if (!newline) return need(0);
          next = static_cast<size_t>(static_cast<const unsigned char*>(newline) - data) + 1;
        }
        break;
      }
      case Arg::kCount1:
        state = counted(1, false);
        break;
      case Arg::kCount4:
        state = counted(4, false);
        break;
      case Arg::kSignedCount4:
        state = counted(4, true);
        break;
      case Arg::kCount8:
        state = counted(8, false);
        break;
    }
    if (state < 0) {
      resume_ = at;
      result.verdict = PickleVerdict::kLeftToHost;
      result.position = at;
      result.opcode = op;
      return result;
    }
    if (state == 0 || next > size) return need(state == 0 ? 0 : next);

    uint64_t memo_index = 0;
    bool stores_memo = false;
    switch (op) {
      case kStop:
        resume_ = next;
        result.verdict = PickleVerdict::kComplete;
        result.position = at;
        result.end = next;
        result.opcode = op;
        return result;
      case kExt1:
      case kExt2:
      case kExt4:
        resume_ = at;
        result.verdict = PickleVerdict::kExtensionCode;
        result.position = at;
        result.value = little_endian(data + args, op == kExt1 ? 1 : op == kExt2 ? 2 : 4);
        result.opcode = op;
        return result;
      case kBinPut:
        memo_index = data[args];
        stores_memo = true;
        break;
      case kLongBinPut:
        memo_index = little_endian(data + args, 4);
        stores_memo = true;
        break;
      case kPut:
        stores_memo = text_index(data + args, data + next, memo_index);
        break;
      default:
        break;
    }
    // A stream names memo slots in the order it fills them, each fill taking
    // at least one byte, so no sound index exceeds the stream's length.
    if (stores_memo && memo_index > size) {
      resume_ = at;
      result.verdict = PickleVerdict::kMemoIndex;
      result.position = at;
      result.value = memo_index;
      result.opcode = op;
      return result;
    }
    at = next;
  }
  resume_ = at;
  result.verdict = PickleVerdict::kNeedMore;
  result.position = at;
  result.needed = at + 1;
  return result;
}

}  // namespace ormek
