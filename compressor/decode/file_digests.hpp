// Each file's text digested straight from the package's records through the
// id -> token table, in one walk over the records in memory, and compared
// with the file's facts (content_digest.hpp, file_facts.hpp).
//
// check_package is this walk. decode_package (and decode_names) make it too,
// before they write anything, when the package carries checks: a file whose
// text was damaged is then refused before the first file is written, not
// when the loop reaches it with the files before it already in place. It
// costs one more pass over the records in memory (joined through a buffer
// and hashed a buffer at a time); the files it has verified are then
// written without being digested again, nor asked again whether their
// tokens are all text.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "compressor/decode/token_table.hpp"
#include "compressor/package/judged_package.hpp"

namespace ormek {

enum class DigestWalkEnd {
  kMatched,   // every file walked restores its text (and matches its facts)
  kNotText,   // `file` names a token the table does not hold as text
  kDamaged,   // `file`'s text differs from its facts
  kNoMemory,  // no room for the walk's buffer (MemoryError set)
};

struct DigestWalk {
  DigestWalkEnd end = DigestWalkEnd::kMatched;
  size_t file = 0;  // where it ended; every file walked before it matched
};

// Walks the files of `judged` in order (those `picked` marks, when given),
// their records clamped to the `records` the stream holds as the file loop
// clamps them, and stops at the first that does not restore as text or,
// when the package carries facts, whose text is not what was packed; then
// with the ValueError that names it set (check_restored's, for damage).
// A JoinBuffer (token_table.hpp) for a walk or a write pass; null with
// MemoryError set.
std::unique_ptr<JoinBuffer> new_join_buffer();

DigestWalk walk_file_digests(const TokenTable& table, const unsigned char* payload,
                             std::ptrdiff_t records, const JudgedPackage& judged,
                             const std::vector<char>* picked);

}  // namespace ormek
