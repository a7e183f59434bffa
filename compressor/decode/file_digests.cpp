// The walk over the files' digests (see file_digests.hpp).
#include "compressor/decode/file_digests.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "compressor/decode/split_join.hpp"
#include "compressor/package/content_digest.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/package/format.hpp"
#include "module/messages.hpp"

namespace ormek {

namespace {

// Files [first, last) of a walk, and where the walk over them ended: at
// `file`, or at `last` when each matched.
struct WalkedFiles {
  DigestWalkEnd end = DigestWalkEnd::kMatched;
  size_t file = 0;
};

// What a walk reads, none of it changed while it runs: host-free.
struct DigestSources {
  const TokenTable& table;
  const unsigned char* payload;
  std::ptrdiff_t records;
  const JudgedPackage& judged;
  const std::vector<char>* picked;

  bool picks(size_t i) const { return !picked || (*picked)[i]; }
  // The file's records, clamped as the file loop clamps them.
  std::ptrdiff_t records_of(size_t i, std::ptrdiff_t& from, std::ptrdiff_t& to) const {
    from = i ? judged.files[i - 1].boundary : 0;
    to = judged.files[i].boundary;
    package::clamp_slice(records, from, to);
    return to - from;
  }
};

// Walks the picked files of [first, last) in order until one does not
// match, or `stop` is set (then ending at the file it would walk next, with
// kMatched). Host-free: nothing is reported, the caller says what ended it.
WalkedFiles walk_files(const DigestSources& from_package, size_t first, size_t last,
                       const JoinBuffer& buffer, bool share_big_files,
                       const std::atomic<bool>* stop) {
  const std::vector<StoredFile>& files = from_package.judged.files;
  const PackageFacts* facts =
      from_package.judged.has_facts() ? &from_package.judged.facts : nullptr;
  ContentDigest digest;
  for (size_t i = first; i < last; i++) {
    if (!from_package.picks(i)) continue;
    if (stop && stop->load(std::memory_order_relaxed)) return {DigestWalkEnd::kMatched, i};
    std::ptrdiff_t from = 0;
    std::ptrdiff_t to = 0;
    from_package.records_of(i, from, to);
    digest.begin_utf8(files[i].where.bytes.data(), files[i].where.bytes.size());
    // Joined through the buffer and hashed a buffer at a time: XXH3's
    // streaming state gives the same digest however the bytes are split.
    auto hash = [&digest](const void* data, size_t bytes) {
      digest.add_bytes(data, bytes);
      return true;
    };
    const TokenTable& table = from_package.table;
    const unsigned char* payload = from_package.payload;
    if (!(share_big_files ? copy_text_on_two_threads(table, payload, from, to, hash, buffer)
                          : copy_text(table, payload, from, to, hash, buffer))) {
      return {DigestWalkEnd::kNotText, i};
    }
    if (facts && !restored_matches(digest, facts->files[i])) return {DigestWalkEnd::kDamaged, i};
  }
  return {DigestWalkEnd::kMatched, last};
}

// Where a tree's files are cut in two for two threads: the first file of
// the second half by records, or 0 when the files are too few or too small
// to share (a big file shares its own join instead: split_join.hpp).
inline constexpr std::ptrdiff_t kShareFileRecords = std::ptrdiff_t{1} << 20;

size_t second_half(const DigestSources& from_package) {
  const size_t count = from_package.judged.files.size();
  std::ptrdiff_t total = 0;
  std::ptrdiff_t biggest = 0;
  std::ptrdiff_t from = 0;
  std::ptrdiff_t to = 0;
  for (size_t i = 0; i < count; i++) {
    if (!from_package.picks(i)) continue;
    const std::ptrdiff_t size = from_package.records_of(i, from, to);
    total += size;
    biggest = std::max(biggest, size);
  }
  if (total < kShareFileRecords || biggest * 2 > total) return 0;
  std::ptrdiff_t first_half = 0;
  for (size_t i = 0; i < count; i++) {
    if (!from_package.picks(i)) continue;
    first_half += from_package.records_of(i, from, to);
    if (first_half * 2 >= total) return i + 1 < count ? i + 1 : 0;
  }
  return 0;
}

// The files from `first` on walked on a helper thread, beside the caller's
// walk of those before; joined before it ends. `walked` is read once
// joined: where its walk ended, or at `first` with kNoMemory when it had no
// buffer (the caller walks them then).
class HelperWalk {
 public:
  HelperWalk(const DigestSources& from_package, size_t first, size_t last)
      : from_package_(from_package), walked_{DigestWalkEnd::kNoMemory, first}, last_(last) {}
  HelperWalk(const HelperWalk&) = delete;
  HelperWalk& operator=(const HelperWalk&) = delete;
  ~HelperWalk() { finish(true); }

  bool start() {
    try {
      thread_ = std::thread([this] { walk(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }
  // Joins the helper (told to stop first when `stopping`).
  const WalkedFiles& finish(bool stopping) {
    if (stopping) stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
    return walked_;
  }

 private:
  void walk() {
    try {
      const JoinBuffer buffer;
      walked_ = walk_files(from_package_, walked_.file, last_, buffer, false, &stop_);
    } catch (const std::bad_alloc&) {
      // walked_ stays at its first file, kNoMemory
    }
  }

  const DigestSources& from_package_;
  WalkedFiles walked_;
  size_t last_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The walk's end as walk_file_digests reports it, with its error set.
DigestWalk reported(const WalkedFiles& walked, const std::vector<StoredFile>& files) {
  if (walked.end == DigestWalkEnd::kNotText) {
    PyErr_Format(PyExc_ValueError, msg::kFileDoesNotRestore, files[walked.file].name.get());
  } else if (walked.end == DigestWalkEnd::kDamaged) {
    refuse_damaged(files[walked.file].name.get());
  }
  return {walked.end, walked.file};
}

}  // namespace

std::unique_ptr<JoinBuffer> new_join_buffer() {
  try {
    return std::make_unique<JoinBuffer>();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

DigestWalk walk_file_digests(const TokenTable& table, const unsigned char* payload,
                             std::ptrdiff_t records, const JudgedPackage& judged,
                             const std::vector<char>* picked) {
  const std::unique_ptr<JoinBuffer> buffer = new_join_buffer();
  if (!buffer) return {DigestWalkEnd::kNoMemory, 0};
  const DigestSources from_package{table, payload, records, judged, picked};
  const size_t count = judged.files.size();
  // A tree's files are walked on two threads, the second half of their
  // records on a helper; the first that does not match is reported, as
  // when one thread walks them all in order.
  const size_t half = second_half(from_package);
  if (half > 0) {
    HelperWalk helper(from_package, half, count);
    if (helper.start()) {
      const WalkedFiles mine = walk_files(from_package, 0, half, *buffer, false, nullptr);
      const WalkedFiles& theirs = helper.finish(mine.end != DigestWalkEnd::kMatched);
      if (mine.end != DigestWalkEnd::kMatched) return reported(mine, judged.files);
      if (theirs.end != DigestWalkEnd::kNoMemory) return reported(theirs, judged.files);
      return reported(walk_files(from_package, theirs.file, count, *buffer, true, nullptr),
                      judged.files);
    }
  }
  return reported(walk_files(from_package, 0, count, *buffer, true, nullptr), judged.files);
}

}  // namespace ormek
