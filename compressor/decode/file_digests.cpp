// The walk over the files' digests (see file_digests.hpp).
#include "compressor/decode/file_digests.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "compressor/decode/native_package.hpp"
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

// What a walk reads, none of it changed while it runs: host-free. With
// `progress`, the records are those of a stream still being made, read
// only once it holds them.
struct DigestSources {
  const TokenTable& table;
  const unsigned char* payload;
  std::ptrdiff_t records;
  const JudgedPackage& judged;
  const std::vector<char>* picked;
  const StreamProgress* progress = nullptr;

  bool picks(size_t i) const { return !picked || (*picked)[i]; }
  // The file's records, clamped as the file loop clamps them.
  std::ptrdiff_t records_of(size_t i, std::ptrdiff_t& from, std::ptrdiff_t& to) const {
    from = i ? judged.files[i - 1].boundary : 0;
    to = judged.files[i].boundary;
    package::clamp_slice(records, from, to);
    return to - from;
  }
};

// A followed stream is read a slice of a file's records at a time: some
// milliseconds of the walk, against a wait of microseconds.
inline constexpr std::ptrdiff_t kFollowedRecords = std::ptrdiff_t{1} << 16;

enum class Copied { kText, kNotText, kStopped };

// The text of records [from, to) handed to `hash`, as copy_text does (over
// two threads with `share`): while the stream is being made, a slice at a
// time once it holds it (on one thread, the decompression having the
// other core); kStopped when it is abandoned first.
template <typename Hash>
Copied copy_records(const DigestSources& from_package, std::ptrdiff_t from, std::ptrdiff_t to,
                    Hash& hash, const JoinBuffer& buffer, bool share) {
  const TokenTable& table = from_package.table;
  const unsigned char* payload = from_package.payload;
  const StreamProgress* progress = from_package.progress;
  for (; progress && from < to && !progress->whole();
       from = std::min(to, from + kFollowedRecords)) {
    const std::ptrdiff_t slice_end = std::min(to, from + kFollowedRecords);
    if (!progress->wait_for(static_cast<size_t>(slice_end) * package::kRecordSize)) {
      return Copied::kStopped;
    }
    if (!copy_text(table, payload, from, slice_end, hash, buffer)) return Copied::kNotText;
  }
  return (share ? copy_text_on_two_threads(table, payload, from, to, hash, buffer)
                : copy_text(table, payload, from, to, hash, buffer))
             ? Copied::kText
             : Copied::kNotText;
}

// Walks the picked files of [first, last) in order until one does not
// match, or `stop` is set or the stream followed abandoned (then ending at
// the file it would walk next, or at the one it walked, with kMatched).
// Host-free: nothing is reported, the caller says what ended it.
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
    const Copied copied = copy_records(from_package, from, to, hash, buffer, share_big_files);
    if (copied == Copied::kStopped) return {DigestWalkEnd::kMatched, i};
    if (copied == Copied::kNotText) return {DigestWalkEnd::kNotText, i};
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

// Every picked file walked with `buffer`, a tree's on two threads (the
// second half of their records on a helper); the first that does not match
// is where it ends, as when one thread walks them all in order.
WalkedFiles walk_all_files(const DigestSources& from_package, const JoinBuffer& buffer) {
  const size_t count = from_package.judged.files.size();
  const size_t half = second_half(from_package);
  if (half > 0) {
    HelperWalk helper(from_package, half, count);
    if (helper.start()) {
      const WalkedFiles mine = walk_files(from_package, 0, half, buffer, false, nullptr);
      const WalkedFiles& theirs = helper.finish(mine.end != DigestWalkEnd::kMatched);
      if (mine.end != DigestWalkEnd::kMatched) return mine;
      if (theirs.end != DigestWalkEnd::kNoMemory) return theirs;
      return walk_files(from_package, theirs.file, count, buffer, true, nullptr);
    }
  }
  return walk_files(from_package, 0, count, buffer, true, nullptr);
}

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
  return reported(walk_all_files(from_package, *buffer), judged.files);
}

// The walk over the stream as it is made, on a thread of its own (and its
// helper's): it waits for the stream to begin, then walks its records.
// `walked` is read once joined: kNoMemory at file 0 when the stream never
// began (the caller walks the files then).
struct StreamDigestWalk::Follower {
  const TokenTable& table;
  const JudgedPackage& judged;
  const std::vector<char>* picked;
  const StreamProgress& progress;
  JoinBuffer buffer;
  WalkedFiles walked{DigestWalkEnd::kNoMemory, 0};
  std::thread thread;

  void walk() {
    if (!progress.wait_begun()) return;
    const DigestSources from_package{
        table,
        progress.bytes(),
        static_cast<std::ptrdiff_t>(progress.length() / package::kRecordSize),
        judged,
        picked,
        &progress};
    walked = walk_all_files(from_package, buffer);
  }
};

StreamDigestWalk::StreamDigestWalk(PackageFile& file) : file_(file) {}

StreamDigestWalk::~StreamDigestWalk() { stop(); }

void StreamDigestWalk::follow(const TokenTable& table, const JudgedPackage& judged,
                              const std::vector<char>* picked) {
  followed_ = &payload_followed(file_, own_);
  try {
    follower_.reset(new Follower{table, judged, picked, followed_->progress, JoinBuffer()});
    follower_->thread = std::thread([follower = follower_.get()] { follower->walk(); });
  } catch (const std::exception&) {  // no memory or no thread: the walk comes after
    follower_.reset();
  }
}

Ref StreamDigestWalk::stream() {
  Ref data = payload_stream_in_pieces(file_, own_);
  if (data || PyErr_Occurred()) return data;
  // Made from the frame read whole: the walk that followed the pieces is
  // not wanted, nor the bytes they made (their maker is done with them).
  stop();
  payload_followed(file_, own_).stream = Ref();
  return payload_stream_whole(file_);
}

DigestWalk StreamDigestWalk::walk(const TokenTable& table, const unsigned char* payload,
                                  std::ptrdiff_t records, const JudgedPackage& judged,
                                  const std::vector<char>* picked, PyObject* data) {
  if (follower_ && followed_->made(data)) {
    Py_BEGIN_ALLOW_THREADS;
    follower_->thread.join();
    Py_END_ALLOW_THREADS;
    const WalkedFiles walked = follower_->walked;
    follower_.reset();
    // The walk's helpers took their buffers from heaps of their own, which
    // the write pass's threads may not take again: given back before it.
    give_back_freed_heap();
    followed_->stream = Ref();  // `data` holds it; its maker is done with it
    if (walked.end != DigestWalkEnd::kNoMemory) return reported(walked, judged.files);
  }
  stop();
  return walk_file_digests(table, payload, records, judged, picked);
}

// The walk told to stop (the stream abandoned to it) and joined. The
// stream's bytes stay where they are kept: an early decompression left
// behind when a signal handler raised may still be making them.
void StreamDigestWalk::stop() {
  if (!follower_) return;
  followed_->progress.abandon();
  Py_BEGIN_ALLOW_THREADS;
  follower_->thread.join();
  Py_END_ALLOW_THREADS;
  follower_.reset();
}

}  // namespace ormek
