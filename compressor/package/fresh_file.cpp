// Fresh files put in place (see fresh_file.hpp).
#include "compressor/package/fresh_file.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "compressor/package/file_time.hpp"

namespace ormek {

namespace {

std::atomic<unsigned> g_temp_counter{0};
// Room for the suffix within the 255 bytes a file name may have.
constexpr size_t kTempStemBytes = 200;

// A fresh file is never anything that was there before, nor a link.
constexpr int kFreshFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kPrivateMode = 0600;

// The process id, asked of the system once rather than for every fresh
// name (a restored tree makes one per file), and asked again in the child
// of a fork, which has another.
std::atomic<pid_t> g_process_id{0};

pid_t process_id() {
  static const bool forks_seen = pthread_atfork(nullptr, nullptr, [] {
                                   g_process_id.store(0, std::memory_order_relaxed);
                                 }) == 0;
  pid_t pid = g_process_id.load(std::memory_order_relaxed);
  if (pid != 0 && forks_seen) return pid;
  pid = getpid();
  g_process_id.store(pid, std::memory_order_relaxed);
  return pid;
}

}  // namespace

std::string temporary_name_beside(std::string_view base_name) {
  const unsigned serial = g_temp_counter.fetch_add(1, std::memory_order_relaxed);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lx-%x.tmp", static_cast<unsigned long>(process_id()),
                serial);
  return std::string(base_name.substr(0, kTempStemBytes)) + suffix;
}

mode_t final_mode(int dir_fd, const char* name, const FinalAttributes& attributes) {
  constexpr mode_t kPermissionBits = 0777;
  if (attributes.stored_mode) return restored_mode(*attributes.stored_mode, attributes.umask);
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
    return st.st_mode & kPermissionBits;
  }
  return 0666 & ~attributes.umask & kPermissionBits;
}

mode_t process_umask() {
  // Linux tells it in /proc; elsewhere it is read by setting it, which
  // another thread creating a file at that instant could see.
  if (FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned int mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status)) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask);
  }
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

bool FreshFile::create(int dir_fd, std::string target) {
  discard();
  dir_fd_ = dir_fd;
  target_ = std::move(target);
  const size_t slash = target_.rfind('/');
  const size_t base_at = slash == std::string::npos ? 0 : slash + 1;
  const std::string_view base = std::string_view(target_).substr(base_at);
  for (int attempt = 0; attempt < kTemporaryNameAttempts; attempt++) {
    path_ = target_.substr(0, base_at) + temporary_name_beside(base);
    fd_ = openat(dir_fd_, path_.c_str(), kFreshFileFlags, kPrivateMode);
    if (fd_ >= 0) {
      created_ = true;
      return true;
    }
    if (errno != EEXIST) break;
  }
  return false;
}

// Through the descriptor, never by name: a link put at the fresh name would
// send a change by name to another file. The access time is left as it is.
bool FreshFile::give(const FinalAttributes& attributes) const {
  const bool moded = fchmod(fd_, final_mode(dir_fd_, target_.c_str(), attributes)) == 0;
  if (!moded && attributes.stored_mode) return false;
  if (!attributes.mtime_ns) return true;
  const timespec times[2] = {{0, UTIME_OMIT}, timespec_of(*attributes.mtime_ns)};
  return futimens(fd_, times) == 0;
}

bool FreshFile::close_descriptor() {
  const int closed = close(fd_);
  fd_ = -1;
  return closed == 0;
}

bool FreshFile::rename_unless_taken() {
  if (renameat2(dir_fd_, path_.c_str(), dir_fd_, target_.c_str(), RENAME_NOREPLACE) != 0) {
    return false;
  }
  created_ = false;  // it is the target now
  return true;
}

bool FreshFile::rename_over_target() {
  if (renameat(dir_fd_, path_.c_str(), dir_fd_, target_.c_str()) != 0) return false;
  created_ = false;  // it is the target now
  return true;
}

void FreshFile::discard() {
  if (fd_ >= 0) close_descriptor();
  if (created_) unlinkat(dir_fd_, path_.c_str(), 0);
  created_ = false;
}

}  // namespace ormek
