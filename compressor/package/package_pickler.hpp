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

// How a package whose token dictionary is a stand-in is dumped: natively,
// when the dump is the host's own pickle.dump and the rest of the package is
// plain data the native pickler writes as the host's pickler does (exact
// dicts and lists without a cycle, exact strs and bytes, exact ints of the
// signed 64-bit range); otherwise by the dump given, with the stand-in
// replaced by the dict as host objects.
class NativePackageDump {
 public:
  NativePackageDump(PyObject* stand_in, const TokenDictionary& tokens)
      : stand_in_(stand_in), tokens_(tokens) {}

  // dump(package, host_target), or the native pickle written to `file`
  // (`dump_is_original`: `dump` is the host's own). False with the
  // exception set.
  bool dump(PyObject* dump, bool dump_is_original, PyObject* package, PyObject* file,
            PyObject* host_target) const;

 private:
  PyObject* stand_in_;
  const TokenDictionary& tokens_;
};

}  // namespace ormek
