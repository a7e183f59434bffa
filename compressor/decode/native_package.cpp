// A package read natively for checking or restoring it (see
// native_package.hpp).
#include "compressor/decode/native_package.hpp"

#include <new>

#include "compressor/decode/pickled_tokens.hpp"
#include "module/original_globals.hpp"

namespace ormek {

NativeRead read_package_natively(PyObject* path, bool use_zstd, Ref& package, TokensById& tokens) {
  if (use_zstd && !global_is_original(Original::kZstdDecompressor)) return NativeRead::kPlain;
  PackageFile file;
  NativeRead read = NativeRead::kPlain;
  try {
    PickledTokens pickled;
    read = file.read(path, pickled);
    if (read == NativeRead::kRead && !(pickled.distinct() && tokens.fill_from_pickled(pickled))) {
      read = NativeRead::kPlain;
    }
  } catch (const std::bad_alloc&) {
    read = NativeRead::kPlain;  // the host's way says how it runs out of memory
  }
  if (read != NativeRead::kRead) return read;
  package = file.package();
  if (package) return NativeRead::kRead;
  if (file.interrupted()) return NativeRead::kFailed;
  PyErr_Clear();  // a value the host makes otherwise, or fails to make: its way says
  tokens = TokensById();
  return NativeRead::kPlain;
}

}  // namespace ormek
