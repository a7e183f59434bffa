// The walk over the files' digests (see file_digests.hpp).
#include "compressor/decode/file_digests.hpp"

#include "compressor/package/content_digest.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/package/format.hpp"
#include "module/messages.hpp"

namespace ormek {

DigestWalk walk_file_digests(const TokenTable& table, const unsigned char* payload,
                             std::ptrdiff_t records, const JudgedPackage& judged,
                             const std::vector<char>* picked) {
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
    for (std::ptrdiff_t r = from; r < to; r++) {
      const TokenEntry token = table.entry_of(package::record_at(payload, r));
      if (token.form() != TokenForm::kText) {
        PyErr_Format(PyExc_ValueError, msg::kFileDoesNotRestore, files[i].name.get());
        return {DigestWalkEnd::kNotText, i};
      }
      digest.add_bytes(table.text(token), token.bytes());
    }
    if (facts && !check_restored(digest, facts->files[i], files[i].name.get())) {
      return {DigestWalkEnd::kDamaged, i};
    }
  }
  return {DigestWalkEnd::kMatched, files.size()};
}

}  // namespace ormek
