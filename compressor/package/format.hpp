// The package layout shared by the encoder and the decoder.
//
// A package is one pickle of a dict with, in this order, "compressed" (one
// Zstandard frame of the id stream), "file_boundaries" (after each file, the
// number of tokens so far), "filenames" (the base names) and "global_dict"
// (the writer's whole token -> id dictionary). The id stream holds one
// record per token: the id as 4 bytes, most significant first. Host-free, so
// that the C++ tests read records as the module does.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace ormek::package {

inline constexpr std::ptrdiff_t kRecordSize = 4;

// Both sides index the stream with a signed 32-bit byte offset, so a package
// holds at most 2**29 records; ids are signed 32-bit, 0 to 2**31 - 1.
inline constexpr std::ptrdiff_t kMaxRecords = std::ptrdiff_t{1} << 29;

// Writes `token_id` as record bytes (a negative id as its two's complement).
inline void store_record(uint8_t* record, int32_t token_id) {
  record[0] = static_cast<uint8_t>(token_id >> 24);
  record[1] = static_cast<uint8_t>(token_id >> 16);
  record[2] = static_cast<uint8_t>(token_id >> 8);
  record[3] = static_cast<uint8_t>(token_id);
}

// The unsigned value of record `i` of a payload.
inline uint32_t record_at(const unsigned char* payload, std::ptrdiff_t i) {
  const unsigned char* p = payload + kRecordSize * i;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Whether a record of the payload holds an id beyond the signed 32-bit
// range, which no dictionary can name.
inline bool has_oversized_record(const unsigned char* payload, std::ptrdiff_t count) {
  for (std::ptrdiff_t i = 0; i < count; i++) {
    if (payload[kRecordSize * i] & 0x80) return true;
  }
  return false;
}

// The records of a file, restored_tokens[start:stop] of `count` records,
// with the host's list-slice rules: a negative index counts from the end,
// both are clamped to the list, and the slice is empty when its start is not
// below its stop.
inline void clamp_slice(std::ptrdiff_t count, std::ptrdiff_t& start, std::ptrdiff_t& stop) {
  auto wrap = [count](std::ptrdiff_t index) {
    if (index < 0) return std::max<std::ptrdiff_t>(index + count, 0);
    return std::min(index, count);
  };
  start = wrap(start);
  stop = std::max(wrap(stop), start);
}

}  // namespace ormek::package
