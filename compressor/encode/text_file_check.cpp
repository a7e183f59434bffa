#include "compressor/encode/text_file_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "compressor/encode/input_file.hpp"

namespace ormek {

namespace {

// Reads the open regular file to its end, checking its bytes as they come.
// A read that returns less than was asked for is not taken for the end: the
// end is the read that returns nothing, as the host's reading of the file
// finds it (a file still being written, or one on a network file system,
// may give less and then more).
void check_text(int fd, utf8::Bytes& room, TextFileCheck& check) {
  uint8_t* const bytes = room.data.get();
  size_t carried = 0;   // the start of a sequence that the next read finishes
  uint64_t offset = 0;  // of bytes[0] in the file
  for (;;) {
    const ssize_t n = InputFile::read_from(fd, bytes + carried, room.size - carried);
    if (n < 0) {
      check.read_error = errno;
      return;
    }
    const size_t count = carried + static_cast<size_t>(n);
    const bool at_end = n == 0;
    const size_t valid = utf8::checked_prefix(bytes, count, at_end, check.fault);
    if (check.fault != utf8::Fault::kNone) {
      check.fault_at = offset + valid;
      return;
    }
    if (at_end) return;
    carried = count - valid;
    std::memmove(bytes, bytes + valid, carried);
    offset += valid;
  }
}

}  // namespace

TextFileCheck check_text_file(const char* path, utf8::Bytes& room) {
  TextFileCheck check;
  int fd;
  do {
    fd = ::open(path, InputFile::open_flags(false));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    check.open_error = errno;
    return check;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    check.read_error = errno;
  } else {
    check.device = st.st_dev;
    check.inode = st.st_ino;
    check.mode = st.st_mode;
    check.size = st.st_size;
    if (S_ISREG(st.st_mode)) check_text(fd, room, check);
  }
  ::close(fd);
  return check;
}

bool TextFileChecks::check_next(utf8::Bytes& room) {
  if (stopped_) return false;
  const size_t i = next_.fetch_add(1);
  if (i >= paths_.size()) return false;
  results_[i] = check_text_file(paths_[i].c_str(), room);
  return true;
}

void TextFileChecks::check_on_helper() {
  utf8::Bytes room(kCheckReadSize);
  while (check_next(room)) {
  }
  std::lock_guard<std::mutex> hold(mutex_);
  helper_done_ = true;
  helper_done_cv_.notify_one();
}

void TextFileChecks::without_helper() {
  std::lock_guard<std::mutex> hold(mutex_);
  helper_done_ = true;
}

bool TextFileChecks::check_for(std::chrono::milliseconds slice, utf8::Bytes& room) {
  const auto until = std::chrono::steady_clock::now() + slice;
  while (std::chrono::steady_clock::now() < until) {
    if (!check_next(room)) {
      std::unique_lock<std::mutex> hold(mutex_);
      return helper_done_cv_.wait_until(hold, until, [this] { return helper_done_; });
    }
  }
  return false;
}

}  // namespace ormek
