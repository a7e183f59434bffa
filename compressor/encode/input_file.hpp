// An input file that the encoder opens and reads itself, by its bytes.
//
// The open never blocks: a FIFO or a device opens at once and is then seen
// not to be a regular file, before anything waits for a writer. Asked not to
// follow links, it refuses a link at the last part of the path (the command
// checked each file as it walked the tree, and a link planted since must not
// be read in its place). A regular file is then read like any other, in
// blocking mode.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace ormek {

class InputFile {
 public:
  enum class Opened { kRegular, kNotRegular, kFailed };

  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { close(); }

  // How an input is opened: never waiting, and, not following links, never
  // through a link at the last part of the path.
  static constexpr int open_flags(bool follow_links) {
    return O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW);
  }

  // kFailed leaves the cause in error(); kNotRegular leaves the file open
  // for the caller to close or hand on.
  Opened open(const char* path, bool follow_links) {
    fd_ = ::open(path, open_flags(follow_links));
    if (fd_ < 0) return failed();
    struct stat st;
    if (fstat(fd_, &st) != 0) return failed();
    if (!S_ISREG(st.st_mode)) return Opened::kNotRegular;
    const int status = fcntl(fd_, F_GETFL);
    if (status < 0 || fcntl(fd_, F_SETFL, status & ~O_NONBLOCK) < 0) return failed();
    return Opened::kRegular;
  }

  // Up to `count` bytes: how many were read, 0 at the end, -1 with errno set.
  ssize_t read(void* into, size_t count) { return read_from(fd_, into, count); }
  // read(2) on `fd`, again when a signal interrupted it.
  static ssize_t read_from(int fd, void* into, size_t count) {
    for (;;) {
      const ssize_t n = ::read(fd, into, count);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  bool rewind() { return lseek(fd_, 0, SEEK_SET) == 0; }
  int descriptor() const { return fd_; }
  // The descriptor, no longer closed by this object.
  int release() { return std::exchange(fd_, -1); }
  void close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }
  int error() const { return error_; }

 private:
  Opened failed() {
    error_ = errno;
    close();
    return Opened::kFailed;
  }

  int fd_ = -1;
  int error_ = 0;
};

}  // namespace ormek
