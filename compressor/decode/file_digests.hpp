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
#include "compressor/package/id_stream.hpp"
#include "compressor/package/judged_package.hpp"
#include "compressor/package/package_file.hpp"

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
DigestWalk walk_file_digests(const TokenTable& table, const unsigned char* payload,
                             std::ptrdiff_t records, const JudgedPackage& judged,
                             const std::vector<char>* picked);

// A JoinBuffer (token_table.hpp) for a walk or a write pass; null with
// MemoryError set.
std::unique_ptr<JoinBuffer> new_join_buffer();

// The id stream of a payload the package file left to be decompressed
// (native_package.hpp), and the walk over the files' digests made while it
// is decompressed: the walk's threads follow the stream's bytes as they are
// made (StreamProgress), a slice of a file's records as soon as the stream
// holds it, and keep what they find to themselves. walk() answers only once
// the stream is made, and as walk_file_digests would over it: a stream that
// fails (a damaged frame, one of another size, a replaced decompressor)
// gives its own error whatever the walk found, and one made another way
// than the walk followed (the one-shot call) is walked again.
//
// The walk's threads read the table, the judged files and the stream's
// bytes, none of which changes while they run, and touch no host object;
// they are stopped (the stream abandoned to them) and joined before this
// goes. `table`, `judged` and `picked` must outlive it.
class StreamDigestWalk {
 public:
  explicit StreamDigestWalk(PackageFile& file);
  StreamDigestWalk(const StreamDigestWalk&) = delete;
  StreamDigestWalk& operator=(const StreamDigestWalk&) = delete;
  ~StreamDigestWalk();

  // Begins the walk of walk_file_digests over the stream still to be made;
  // nothing begun when no thread could be started.
  void follow(const TokenTable& table, const JudgedPackage& judged,
              const std::vector<char>* picked);
  // The payload's stream as payload_stream makes it, the walk stopped first
  // where it is made the one-shot way. Null with the exception set.
  Ref stream();
  // walk_file_digests over `data`, the stream, whose `records` are at
  // `payload`: the followed walk's end where it walked that stream.
  DigestWalk walk(const TokenTable& table, const unsigned char* payload, std::ptrdiff_t records,
                  const JudgedPackage& judged, const std::vector<char>* picked, PyObject* data);
  // Stops the walk begun, if any: walk() then walks the files itself.
  void stop();

 private:
  struct Follower;

  PackageFile& file_;
  FollowedStream own_;  // where the stream is published when made here
  FollowedStream* followed_ = nullptr;
  std::unique_ptr<Follower> follower_;
};

}  // namespace ormek
