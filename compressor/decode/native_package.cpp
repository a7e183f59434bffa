// A package read natively for checking or restoring it (see
// native_package.hpp).
#include "compressor/decode/native_package.hpp"

#include <algorithm>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "compressor/decode/pickled_tokens.hpp"
#include "compressor/package/id_stream.hpp"
#include "compressor/package/zstd_frame.hpp"
#include "module/original_globals.hpp"

namespace ormek {

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

namespace {

// The stream is decompressed while the dictionary is walked when the rest of
// the package (the dictionary, the names and the facts) is at most a third
// of the stream's stated size. Made after the walk, the stream stands beside
// the table; made during it, beside the keys' bytes (which become the
// table's) and their hashes (a few bytes a key, gone after the walk), so
// with so small a rest the peak stays about that of the table and the
// stream. A bigger dictionary (a log's is one and a half times its stream)
// keeps the stream for after the walk.
constexpr uint64_t kEarlyStreamShare = 3;

// The pickled tokens' sink that, as the dictionary begins, starts the
// payload's decompression where the package is such a one.
class TokensAndEarlyStream final : public DictionarySink {
 public:
  TokensAndEarlyStream(PickledTokens& tokens, PackageFile& file) : tokens_(tokens), file_(file) {}

  void expect(uint64_t package_bytes) override {
    package_bytes_ = package_bytes;
    tokens_.expect(package_bytes);
  }
  bool entry(const unsigned char* key, size_t size, utf8::PickledText text, PickledId id) override {
    return tokens_.entry(key, size, text, id);
  }
  void dictionary_begins(const PackageWalk& walk, uint64_t offset) override {
    const PickledValue* payload = walk.stacked_payload();
    if (!payload) return;
    const std::string_view head = walk.bytes(*payload);
    uint64_t stream = 0;
    if (!zstd_frame::stated_content_size(reinterpret_cast<const unsigned char*>(head.data()),
                                         head.size(), stream)) {
      return;
    }
    const uint64_t rest = package_bytes_ - std::min(package_bytes_, offset);
    if (stream >= static_cast<uint64_t>(kBackgroundStreamBytes) &&
        rest <= stream / kEarlyStreamShare) {
      file_.decompress_early(*payload);
    }
  }

 private:
  PickledTokens& tokens_;
  PackageFile& file_;
  uint64_t package_bytes_ = 0;
};

// The package read (or, with `path` null, the file read already walked
// again), its table filled from its dictionary when its keys, hashed with
// `seed`, are `distinct`; the hashes and the pickled keys are gone on
// return. With `early`, a first read may begin the payload's decompression
// (TokensAndEarlyStream). Throws std::bad_alloc.
NativeRead fill_table(PackageFile& file, PyObject* path, uint64_t seed, bool early,
                      TokensById& tokens, bool& distinct) {
  PickledTokens pickled{DistinctKeys(seed)};
  TokensAndEarlyStream early_sink(pickled, file);
  DictionarySink& sink = early ? static_cast<DictionarySink&>(early_sink) : pickled;
  const NativeRead read = path ? file.read(path, sink) : file.walk_again(pickled);
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
    read = fill_table(file, path, process_seed(), use_zstd, tokens, distinct);
    // Two keys whose hashes share the bits compared look like a repeat; the
    // hashes of another seed tell a true one (shared again) from those.
    if (read == NativeRead::kRead && !distinct) {
      read = fill_table(file, nullptr, second_process_seed(), false, tokens, distinct);
    }
    if (!distinct) read = read == NativeRead::kFailed ? read : NativeRead::kPlain;
  } catch (const std::bad_alloc&) {
    read = NativeRead::kPlain;  // the host's way says how it runs out of memory
  }
  give_back_freed_heap();
  if (read != NativeRead::kRead) {
    file.stop_early();
    return read;
  }
  package = file.package(use_zstd);
  if (package) return NativeRead::kRead;
  file.stop_early();
  if (file.interrupted()) return NativeRead::kFailed;
  PyErr_Clear();  // a value the host makes otherwise, or fails to make: its way says
  tokens = TokensById();
  return NativeRead::kPlain;
}

Ref payload_stream_in_pieces(PackageFile& file, FollowedStream& own) {
  EarlyFrame* early = file.early_payload();
  if (early) return early->finish();
  file.stop_early();
  return decompress_frame_in_pieces(PackageFile::read_payload_at, &file, file.payload_size(), &own);
}

Ref payload_stream_whole(PackageFile& file) {
  Ref frame = file.read_payload();
  return frame ? decompress_stream(frame.get()) : Ref();
}

FollowedStream& payload_followed(PackageFile& file, FollowedStream& own) {
  EarlyFrame* early = file.early_payload();
  return early ? early->followed() : own;
}

}  // namespace ormek
