// The package layout shared by the encoder and the decoder.
//
// A package is one pickle of a dict with, in this order, "compressed" (one
// Zstandard frame of the id stream), "file_boundaries" (after each file, the
// number of tokens so far), "filenames" (the base names) and "global_dict"
// (the writer's whole token -> id dictionary). The id stream holds one
// record per token: the id as 4 bytes, most significant first.
#pragma once

#include <Python.h>

#include <cstdint>

namespace ormek::package {

inline constexpr Py_ssize_t kRecordSize = 4;

// Both sides index the stream with a signed 32-bit byte offset, so a package
// holds at most 2**29 records; ids are signed 32-bit, 0 to 2**31 - 1.
inline constexpr Py_ssize_t kMaxRecords = Py_ssize_t{1} << 29;

// Writes `token_id` as record bytes (a negative id as its two's complement).
inline void store_record(uint8_t* record, int32_t token_id) {
  record[0] = static_cast<uint8_t>(token_id >> 24);
  record[1] = static_cast<uint8_t>(token_id >> 16);
  record[2] = static_cast<uint8_t>(token_id >> 8);
  record[3] = static_cast<uint8_t>(token_id);
}

// The unsigned value of record `i` of a payload.
inline uint32_t record_at(const unsigned char* payload, Py_ssize_t i) {
  const unsigned char* p = payload + kRecordSize * i;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace ormek::package
