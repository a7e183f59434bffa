// Checks of the opcode pass over untrusted pickle streams: where it stops,
// what it refuses, and that a stream fed in pieces gives the verdict of the
// whole. Prints "N passed, 0 failed" and exits 0 when all hold.
//
// The pass has no host dependency: the program links its one source file.
#include <cstdio>
#include <string>
#include <vector>

#include "compressor/package/pickle_opcode_scan.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::PickleScan;
using ormek::PickleScanner;
using ormek::PickleVerdict;

using ormek::test::check;

const char* verdict_name(PickleVerdict v) {
  switch (v) {
    case PickleVerdict::kComplete:
      return "complete";
    case PickleVerdict::kNeedMore:
      return "need-more";
    case PickleVerdict::kLeftToHost:
      return "left-to-host";
    case PickleVerdict::kExtensionCode:
      return "extension";
    case PickleVerdict::kMemoIndex:
      return "memo-index";
  }
  return "?";
}

PickleScan scan_whole(const std::string& data) {
  PickleScanner scanner;
  return scanner.scan(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

// Feeds the stream one byte more at a time, as a pipe might deliver it.
PickleScan scan_in_pieces(const std::string& data) {
  PickleScanner scanner;
  PickleScan last;
  for (size_t size = 0; size <= data.size(); size++) {
    last = scanner.scan(reinterpret_cast<const unsigned char*>(data.data()), size);
    if (last.verdict != PickleVerdict::kNeedMore) break;
  }
  return last;
}

struct Case {
  const char* what;
  std::string data;
  PickleVerdict verdict;
  size_t position;  // of the opcode the verdict names
  uint64_t value;   // extension code or memo index (else 0)
};

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> kCases = {
      // pickle.dumps({"a": [1, b"x"]}, protocol=5)
      {"protocol 5 package shape",
       bytes({0x80, 5,    0x95, 0x12, 0,   0,   0, 0,   0, 0,   0,    '}', 0x94, 0x8c, 1,
              'a',  0x94, ']',  0x94, '(', 'K', 1, 'C', 1, 'x', 0x94, 'e', 's',  '.'}),
       PickleVerdict::kComplete, 28, 0},
      // A frame claiming more than the stream holds: the host would allocate
      // the claim before reading it.
      {"frame longer than the stream", bytes({0x80, 5, 0x95, 0, 0, 0, 0, 0, 0, 0, 0x40, 'N', '.'}),
       PickleVerdict::kNeedMore, 2, 0},
      {"protocol 0 text opcodes", "(dp0\nVa\np1\n(lp2\nI1\naL5L\naF1.5\nas.",
       PickleVerdict::kComplete, 32, 0},
      {"globals are find_class's business", "cos\nsystem\n(S'x'\ntR.", PickleVerdict::kComplete, 19,
       0},
      {"STOP inside a counted string is data", bytes({'X', 3, 0, 0, 0, '.', 0x82, 0x84, '.'}),
       PickleVerdict::kComplete, 8, 0},
      {"STOP inside a line is data", "S'.'\n.", PickleVerdict::kComplete, 5, 0},
      {"trailing bytes after STOP", std::string("N.") + "garbage", PickleVerdict::kComplete, 1, 0},
      {"EXT1", bytes({0x80, 2, 0x82, 0xf1, '.'}), PickleVerdict::kExtensionCode, 2, 0xf1},
      {"EXT2", bytes({0x80, 2, 0x83, 0x23, 0xf1, '.'}), PickleVerdict::kExtensionCode, 2, 0xf123},
      {"EXT4", bytes({0x80, 2, 0x84, 0x78, 0x56, 0x34, 0x12, '.'}), PickleVerdict::kExtensionCode,
       2, 0x12345678},
      {"LONG_BINPUT of 2**31", bytes({0x80, 2, '}', 'r', 0, 0, 0, 0x80, '.'}),
       PickleVerdict::kMemoIndex, 3, 0x80000000u},
      {"LONG_BINPUT within the stream", bytes({0x80, 2, '}', 'r', 5, 0, 0, 0, '.'}),
       PickleVerdict::kComplete, 8, 0},
      {"BINPUT past a short stream", bytes({'}', 'q', 0xff, '.'}), PickleVerdict::kMemoIndex, 1,
       255},
      {"BINPUT 0", bytes({'}', 'q', 0, '.'}), PickleVerdict::kComplete, 3, 0},
      {"PUT of 2**31", "(dp2147483648\n.", PickleVerdict::kMemoIndex, 2, 2147483648u},
      {"PUT read as the host reads it", "(dp +2_147_483_648 \n.", PickleVerdict::kMemoIndex, 2,
       2147483648u},
      {"PUT digits before junk still count", "(dp99999999999x\n.", PickleVerdict::kMemoIndex, 2,
       99999999999u},
      {"PUT saturates", "(dp999999999999999999999999999\n.", PickleVerdict::kMemoIndex, 2,
       UINT64_MAX},
      {"negative PUT is the host's to refuse", "(dp-99999999999\n.", PickleVerdict::kComplete, 16,
       0},
      {"small PUT", "(dp3\n.", PickleVerdict::kComplete, 5, 0},
      {"unknown opcode", bytes({0x80, 2, 0xff, '.'}), PickleVerdict::kLeftToHost, 2, 0},
      {"NUL is no opcode", bytes({0}), PickleVerdict::kLeftToHost, 0, 0},
      {"negative BINSTRING count", bytes({'T', 0, 0, 0, 0x80, '.'}), PickleVerdict::kLeftToHost, 0,
       0},
      {"negative LONG4 count", bytes({0x8b, 0xff, 0xff, 0xff, 0xff, '.'}),
       PickleVerdict::kLeftToHost, 0, 0},
      {"BINBYTES8 count no buffer holds",
       bytes({0x8e, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, '.'}),
       PickleVerdict::kLeftToHost, 0, 0},
      {"refusal after a complete prefix", bytes({'N', '0', 'N', 0x82, 1, '.'}),
       PickleVerdict::kExtensionCode, 3, 1},
  };
  return kCases;
}

void check_cases() {
  for (const Case& c : cases()) {
    for (bool pieces : {false, true}) {
      const PickleScan got = pieces ? scan_in_pieces(c.data) : scan_whole(c.data);
      std::string what = std::string(c.what) + (pieces ? " (in pieces)" : "");
      check(got.verdict == c.verdict,
            what + ": verdict " + verdict_name(got.verdict) + ", want " + verdict_name(c.verdict));
      check(got.position == c.position, what + ": position " + std::to_string(got.position));
      if (c.verdict == PickleVerdict::kComplete) {
        check(got.end == c.position + 1, what + ": end just past STOP");
      }
      if (c.verdict == PickleVerdict::kExtensionCode || c.verdict == PickleVerdict::kMemoIndex) {
        check(got.value == c.value, what + ": value " + std::to_string(got.value));
      }
    }
  }
}

// Every proper prefix of a sound stream needs more; none is complete.
void check_prefixes() {
  const std::string stream = cases()[0].data;
  for (size_t size = 0; size < stream.size(); size++) {
    const PickleScan got = scan_whole(stream.substr(0, size));
    check(got.verdict == PickleVerdict::kNeedMore,
          "prefix of " + std::to_string(size) + " bytes: " + verdict_name(got.verdict));
  }
}

void check_needed() {
  // A counted opcode says how long the stream must be to complete it.
  const PickleScan big = scan_whole(bytes({'N', 0x8e, 0, 0, 0, 0, 0x01, 0, 0, 0, 'x'}));
  check(big.verdict == PickleVerdict::kNeedMore && big.position == 1 &&
            big.needed == 1 + 9 + (uint64_t{1} << 32),
        "BINBYTES8 of 2**32 bytes needs them all");
  check(big.count_width == 8, "the unfinished BINBYTES8 reports its 8-byte length");
  check(scan_whole(bytes({'N', 'X', 1, 0})).count_width == 0,
        "an unfinished length is no count yet");
  // Data ending just after a whole counted opcode or an empty frame ends
  // between opcodes: no length is pending there to be rewritten.
  for (const std::string& whole :
       {bytes({'X', 1, 0, 0, 0, 'a'}), bytes({0x95, 0, 0, 0, 0, 0, 0, 0, 0})}) {
    const PickleScan got = scan_whole(whole);
    check(got.verdict == PickleVerdict::kNeedMore && got.position == whole.size() &&
              got.count_width == 0,
          "a stream ending after a whole opcode has no pending length");
  }
  // A line does not know its length.
  const PickleScan line = scan_whole("N(I12");
  check(line.verdict == PickleVerdict::kNeedMore && line.position == 2 && line.needed == 0,
        "an unfinished line needs an unknown amount");
  // The resumed scan does not read the completed opcodes again.
  PickleScanner scanner;
  const std::string stream = "(lp0\nI1\na.";
  const auto* data = reinterpret_cast<const unsigned char*>(stream.data());
  check(scanner.scan(data, 7).position == 5, "first piece stops at the unfinished INT");
  const PickleScan rest = scanner.scan(data, stream.size());
  check(rest.verdict == PickleVerdict::kComplete && rest.end == stream.size(),
        "the second piece completes the stream");
}

void check_names() {
  check(std::string(ormek::pickle_opcode_name(0x82)) == "EXT1", "EXT1 is named");
  check(std::string(ormek::pickle_opcode_name('r')) == "LONG_BINPUT", "LONG_BINPUT is named");
  check(std::string(ormek::pickle_opcode_name(0xff)) == "?", "no name for a non-opcode");
}

}  // namespace

int main() {
  check_cases();
  check_prefixes();
  check_needed();
  check_names();
  return ormek::test::report();
}
