// A package file read natively: opened once, its pickle walked
// (package_walk.hpp) through a window of its bytes, and its values outside
// the token dictionary made into the host objects the host's unpickler would
// make of them, shared as the unpickler shares them. The payload is read
// later, a piece at a time, where it stands in the file.
//
// Whatever this cannot read (a file it cannot open, one that is not a
// regular file, a pickle in another shape, a value the host could not make
// the same way) is left to the host's way of reading a package, which gives
// the result or the error that package gets; so a failed native read sets
// no exception, except the one a signal handler raised meanwhile.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "compressor/package/id_stream.hpp"
#include "compressor/package/package_walk.hpp"
#include "module/ref.hpp"

namespace ormek {

// How a native step went.
enum class NativeRead {
  kRead,    // done
  kPlain,   // not for the native way: the host's way reads the package (nothing is set)
  kFailed,  // a signal handler raised: its exception is set
};

class PackageFile {
 public:
  PackageFile() = default;
  PackageFile(const PackageFile&) = delete;
  PackageFile& operator=(const PackageFile&) = delete;
  ~PackageFile();

  // Opens the package at `path` (an exact str) and walks it; the entries of
  // its dictionary go to `sink`.
  NativeRead read(PyObject* path, DictionarySink& sink);
  // After a read, walks the same open file again, its dictionary's entries
  // going to `sink` (the values read first stay): kPlain when the file no
  // longer reads as it did.
  NativeRead walk_again(DictionarySink& sink);

  const PackageWalk& walk() const { return walk_; }
  // The host object of walked value `index` (the same object each time);
  // null with an exception set when it cannot be made as the unpickler makes
  // it (the caller clears it and reads the package the host's way).
  Ref value(uint32_t index);
  // The package as the host's unpickler makes it, with "compressed" cut to
  // its first bytes (at most PackageWalk::kHeadBytes) and "global_dict" an
  // empty dict: its outline. Null with an exception set as value().
  Ref outline();
  // The package as the host's unpickler makes it, but for "global_dict": an
  // empty dict. The payload is read from the file where it stands; with
  // `payload_later`, a payload that stands apart is left there ("compressed"
  // then holds its first bytes, as in the outline) for payload_left() to
  // say and read_payload() or read_payload_at() to read. Null with an
  // exception set as value(); interrupted() tells a signal handler's
  // exception from one that leaves the package to the host's way.
  Ref package(bool payload_later = false);
  bool interrupted() const { return interrupted_; }
  bool payload_left() const { return payload_left_; }
  // The payload's ("compressed") size in bytes.
  uint64_t payload_size() const;
  // The payload's bytes, read where they stand in pieces (a signal answered
  // between them); null with the exception set, an OSError when the file
  // failed or was cut since the walk.
  Ref read_payload();
  // Up to `size` of the payload's bytes from its byte `at` on, for a
  // ByteWindow whose source is this file: the count read (0 at the
  // payload's end), or -1 when the read failed or a signal handler raised
  // (its exception set).
  static int64_t read_payload_at(void* self, uint64_t at, unsigned char* into, size_t size);
  // During a walk: begins decompressing `payload`, which the walk located,
  // on a helper thread (EarlyFrame), and walks on detached from the host so
  // that the helper runs meanwhile. The walk touches no host object; its
  // reads attach to answer signals.
  void decompress_early(const PickledValue& payload);
  // The decompression begun early, when begun for the payload the package
  // holds; else null.
  EarlyFrame* early_payload();
  // Stops a decompression begun early, its stream not wanted.
  void stop_early() { early_frame_.stop(); }

 private:
  NativeRead walk_file(PackageWalk& walk, DictionarySink& sink);
  Ref make(uint32_t index, int depth);
  Ref make_container(const PickledValue& v, int depth);
  static int64_t read_at(void* self, uint64_t at, unsigned char* into, size_t size);

  bool early_payload_started() const { return early_frame_.started(); }

  int fd_ = -1;
  PyThreadState* detached_ = nullptr;  // the caller's, while a walk runs detached
  bool interrupted_ = false;
  bool payload_left_ = false;
  int read_errno_ = 0;
  PackageWalk walk_;
  std::vector<Ref> made_;
  EarlyFrame early_frame_;  // last: stopped before anything else goes
};

}  // namespace ormek
