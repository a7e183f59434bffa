// The walk over the files' digests (see file_digests.hpp).
#include "compressor/decode/file_digests.hpp"

#include <memory>
#include <new>

#include "compressor/decode/split_join.hpp"
#include "compressor/package/content_digest.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/package/format.hpp"
#include "module/messages.hpp"

namespace ormek {

DigestWalk walk_file_digests(const TokenTable& table, const unsigned char* payload,
                             std::ptrdiff_t records, const JudgedPackage& judged,
                             const std::vector<char>* picked) {
  std::unique_ptr<JoinBuffer> buffer;
  try {
    buffer = std::make_unique<JoinBuffer>();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return {DigestWalkEnd::kNoMemory, 0};
  }
  ContentDigest digest;
  const std::vector<StoredFile>& files = judged.files;
  const PackageFacts* facts = judged.has_facts() ? &judged.facts : nullptr;
  std::ptrdiff_t start = 0;
  for (size_t i = 0; i < files.size(); start = files[i].boundary, i++) {
    if (picked && !(*picked)[i]) continue;
    std::ptrdiff_t from = start;
    std::ptrdiff_t to = files[i].boundary;
    package::clamp_slice(records, from, to);
    digest.begin_utf8(files[i].where.bytes.data(), files[i].where.bytes.size());
    // Joined through the buffer and hashed a buffer at a time: XXH3's
    // streaming state gives the same digest however the bytes are split.
    auto hash = [&digest](const void* data, size_t bytes) {
      digest.add_bytes(data, bytes);
      return true;
    };
    if (!copy_text_on_two_threads(table, payload, from, to, hash, *buffer)) {
      PyErr_Format(PyExc_ValueError, msg::kFileDoesNotRestore, files[i].name.get());
      return {DigestWalkEnd::kNotText, i};
    }
    if (facts && !check_restored(digest, facts->files[i], files[i].name.get())) {
      return {DigestWalkEnd::kDamaged, i};
    }
  }
  return {DigestWalkEnd::kMatched, files.size()};
}

}  // namespace ormek
