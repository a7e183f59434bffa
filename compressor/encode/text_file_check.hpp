// The check the command's tree walk makes of every file it finds, before
// anything is packed: open it without following a link and without waiting,
// look at what it is, and read a regular file to its end to find whether it
// is UTF-8 text, and if not, where and why (as the host's strict decoder
// says it). The files of a tree are checked on two threads, the caller's and
// a helper, each taking the next unchecked file; a file is open only during
// its own check, and the results stand in the order of the paths.
//
// Host-free: the caller waits with the host detached (check_text_files.cpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "compressor/text/utf8_cutter.hpp"

namespace ormek {

struct TextFileCheck {
  int open_error = 0;  // the errno of a failed open (nothing else is set)
  int read_error = 0;  // the errno of a failed fstat or read
  uint64_t device = 0;
  uint64_t inode = 0;
  uint32_t mode = 0;
  int64_t size = 0;
  // Only a regular file is read: its first fault and the byte it starts at.
  utf8::Fault fault = utf8::Fault::kNone;
  uint64_t fault_at = 0;
};

// The most a check reads at once: a large file that is not text is seldom
// read far before its first fault.
inline constexpr size_t kCheckReadSize = size_t{1} << 20;

// One file's check, reading into `room` (kCheckReadSize bytes).
TextFileCheck check_text_file(const char* path, utf8::Bytes& room);

// The checks of a list of paths, shared by the threads that make them; when
// the caller stops waiting (a signal handler raised), the helper owns it and
// stops after the file in hand.
class TextFileChecks {
 public:
  explicit TextFileChecks(std::vector<std::string> paths)
      : paths_(std::move(paths)), results_(paths_.size()) {}

  // The helper's part: files until none is left (or stop()), then done.
  void check_on_helper();
  // When no helper could be started: the caller checks every file.
  void without_helper();
  // The caller's part for at most `slice`: true once every file is checked.
  bool check_for(std::chrono::milliseconds slice, utf8::Bytes& room);
  void stop() { stopped_ = true; }

  size_t size() const { return paths_.size(); }
  const TextFileCheck& operator[](size_t i) const { return results_[i]; }

 private:
  // Checks the next unchecked file: false when none is left.
  bool check_next(utf8::Bytes& room);

  std::vector<std::string> paths_;
  std::vector<TextFileCheck> results_;
  std::atomic<size_t> next_{0};
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::condition_variable helper_done_cv_;
  bool helper_done_ = false;
};

}  // namespace ormek
