// A native pass over the opcodes of a pickle stream, run before an untrusted
// package is handed to the host's unpickler.
//
// The unpickler's find_class hook decides which globals a stream may name,
// but two opcodes escape it: the extension codes (EXT1/EXT2/EXT4), which the
// host resolves through its process-wide extension cache without asking
// find_class once a code has been seen, and the memo stores (PUT, BINPUT,
// LONG_BINPUT), whose index the host's unpickler turns into a memo array of
// that size, so one flipped byte can make it allocate and clear gigabytes.
// The scan refuses both. Everything else (unknown opcodes, negative counts, a
// truncated stream) is left to the host, which reports it in its own words;
// the scan then stops where the host will stop, so no byte the host acts on
// goes unchecked.
//
// Pure C++ over a byte buffer: no host object is touched, so it can be tested
// on its own and costs a few nanoseconds per opcode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ormek {

enum class PickleVerdict {
  kComplete,       // a STOP opcode ends the stream; `end` is just past it
  kNeedMore,       // the opcode at `position` runs past the data given
  kLeftToHost,     // an opcode the host refuses by itself (unknown, negative count)
  kExtensionCode,  // EXT1/EXT2/EXT4 at `position`; its code in `value`
  kMemoIndex,      // a memo store at `position` whose index `value` lies beyond the stream
};

struct PickleScan {
  PickleVerdict verdict = PickleVerdict::kNeedMore;
  size_t position = 0;  // offset of the opcode the verdict is about
  size_t end = 0;       // kComplete: offset just past STOP
  size_t needed = 0;    // kNeedMore: total length that completes the opcode (0: unknown)
  uint64_t value = 0;   // kExtensionCode, kMemoIndex
  unsigned char opcode = 0;
  int count_width = 0;  // kNeedMore on a counted opcode whose length is read: 1, 4 or 8
};

// Scans a stream that may arrive in pieces: each call is given the whole data
// read so far (the earlier bytes unchanged) and resumes at the first opcode
// the previous call could not complete.
class PickleScanner {
 public:
  PickleScan scan(const unsigned char* data, size_t size);

 private:
  // A verdict about the opcode at `at`, where the next call resumes.
  PickleScan stop_at(size_t at, PickleVerdict verdict, unsigned char opcode);

  size_t resume_ = 0;
};

// The opcode's name as the host's disassembler prints it ("EXT1"), for
// messages.
const char* pickle_opcode_name(unsigned char opcode);

}  // namespace ormek
