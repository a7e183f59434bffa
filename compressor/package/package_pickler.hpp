// A package pickled natively, byte for byte as pickle.dump(package, f) with
// the host's default protocol writes it (pickle_layout.hpp), its token
// dictionary straight from the encoder's native table: no host object per
// token.
//
// The package is given as the dict the host's pickler would get, with a
// stand-in object where the token dictionary goes. Its other parts (the
// compressed stream, boundaries, names, facts) are walked as host objects,
// each memoized by identity as the host's pickler does; the token
// dictionary's keys are strs made apart from everything else, so the only
// one of them that can be an object met before is a one-character str of
// U+0000 to U+00FF, which the host shares (a one-character name, say).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ormek {

// One entry of a token dictionary: the token's code units (`kind` bytes
// each) and its id.
struct TokenEntry {
  const void* units;
  size_t length;
  int kind;
  int32_t id;
};

// A token dictionary, read entry by entry in its order.
class TokenDictionary {
 public:
  virtual ~TokenDictionary() = default;
  virtual size_t size() const = 0;
  virtual TokenEntry entry(size_t k) const = 0;
};

// A package pickled into memory before its compressed stream is made, to be
// written once the stream is there. The pickle of a stream of kFrameTarget
// bytes or more differs from that of another such stream only in its length
// and its bytes: it stands outside the frames, and its memo index is the
// same (pickle_layout.hpp). So the package is pickled with a stand-in stream
// of that size, and the real stream is put in its place as the image is
// written. Bounded by kMaxBytes: a bigger image would hold as much memory
// again as the token dictionary's pickle, so such a package is pickled after
// its stream is made, as without an image.
class PackageImage {
 public:
  static constexpr size_t kMaxBytes = size_t{64} << 20;

  // Whether an image of about `expected_bytes` is worth trying.
  static bool fits(size_t expected_bytes) { return expected_bytes <= kMaxBytes; }

 private:
  friend class NativePackageDump;
  std::vector<unsigned char> bytes_;   // the pickle but for the stand-in's bytes
  size_t head_ = 0;                    // the bytes before the stand-in's opcode
  size_t tail_at_ = 0;                 // those after its length, where its bytes were
  const PyObject* package_ = nullptr;  // the package it was made from
};

// How a package whose token dictionary is a stand-in is dumped: natively,
// when the dump is the host's own pickle.dump and the rest of the package is
// plain data the native pickler writes as the host's pickler does (exact
// dicts and lists without a cycle, exact strs and bytes, exact ints of the
// signed 64-bit range); otherwise by the dump given, with the stand-in
// replaced by the dict as host objects.
class NativePackageDump {
 public:
  // `image`: the package's pickle made ahead, if any.
  NativePackageDump(PyObject* stand_in, const TokenDictionary& tokens,
                    const PackageImage* image = nullptr)
      : stand_in_(stand_in), tokens_(tokens), image_(image) {}

  // Pickles `package`, whose "compressed" value is `stream_stand_in` (a
  // bytes object of kFrameTarget bytes) for now, into `image` as dump() would
  // write it natively; `expected_bytes` is about what that takes. Raises
  // nothing: where the native pickler does not apply, or the image outgrows
  // its bound, or memory runs short, no image is made.
  void pickle_ahead(PyObject* package, PyObject* stream_stand_in, size_t expected_bytes,
                    PackageImage& image) const;

  // dump(package, host_target), or the native pickle written to `file`
  // (`dump_is_original`: `dump` is the host's own), from the image when it
  // was made of this package and the package's stream is long enough to
  // stand where the stand-in stood. False with the exception set.
  bool dump(PyObject* dump, bool dump_is_original, PyObject* package, PyObject* file,
            PyObject* host_target) const;

 private:
  static bool write_image(const PackageImage& image, PyObject* stream, PyObject* file);

  PyObject* stand_in_;
  const TokenDictionary& tokens_;
  const PackageImage* image_;
};

}  // namespace ormek
