// A package read natively for checking or restoring it (see
// native_package.hpp).
#include "compressor/decode/native_package.hpp"

#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "compressor/decode/pickled_tokens.hpp"
#include "compressor/package/id_stream.hpp"
#include "module/original_globals.hpp"

namespace ormek {

namespace {

// The keys' hashes (distinct_keys.hpp) are hundreds of slabs on the C heap,
// freed once the keys are known distinct; the heap keeps their pages (some
// 5 bytes a distinct token) while the id stream, which is mapped on its
// own, is decompressed next to the table. Handing them back keeps them out
// of the peak; it costs a walk over the heap's free pages, a few ms.
void give_back_freed_heap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// The package read (or, with `path` null, the file read already walked
// again), its table filled from its dictionary when its keys, hashed with
// `seed`, are `distinct`; the hashes and the pickled keys are gone on
// return. Throws std::bad_alloc.
NativeRead fill_table(PackageFile& file, PyObject* path, uint64_t seed, TokensById& tokens,
                      bool& distinct) {
  PickledTokens pickled{DistinctKeys(seed)};
  const NativeRead read = path ? file.read(path, pickled) : file.walk_again(pickled);
  distinct = read == NativeRead::kRead && pickled.distinct();
  if (distinct && !tokens.fill_from_pickled(pickled)) return NativeRead::kPlain;
  return read;
}

}  // namespace

NativeRead read_package_natively(PyObject* path, bool use_zstd, PackageFile& file, Ref& package,
                                 TokensById& tokens) {
  if (use_zstd && !global_is_original(Original::kZstdDecompressor)) return NativeRead::kPlain;
  NativeRead read = NativeRead::kPlain;
  try {
    bool distinct = false;
    read = fill_table(file, path, process_seed(), tokens, distinct);
    // Two keys whose hashes share the bits compared look like a repeat; the
    // hashes of another seed tell a true one (shared again) from those.
    if (read == NativeRead::kRead && !distinct) {
      read = fill_table(file, nullptr, second_process_seed(), tokens, distinct);
    }
    if (!distinct) read = read == NativeRead::kFailed ? read : NativeRead::kPlain;
  } catch (const std::bad_alloc&) {
    read = NativeRead::kPlain;  // the host's way says how it runs out of memory
  }
  give_back_freed_heap();
  if (read != NativeRead::kRead) return read;
  package = file.package(use_zstd);
  if (package) return NativeRead::kRead;
  if (file.interrupted()) return NativeRead::kFailed;
  PyErr_Clear();  // a value the host makes otherwise, or fails to make: its way says
  tokens = TokensById();
  return NativeRead::kPlain;
}

Ref payload_stream(PackageFile& file) {
  Ref stream = decompress_frame_in_pieces(PackageFile::read_payload_at, &file, file.payload_size());
  if (stream || PyErr_Occurred()) return stream;
  Ref frame = file.read_payload();
  return frame ? decompress_stream(frame.get()) : Ref();
}

}  // namespace ormek
