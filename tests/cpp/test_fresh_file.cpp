// Checks of the final modes and times of fresh files (no set-id bits; a
// stored mode less the umask; a time before 1970) and of links at the
// target, neither followed nor written through.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "compressor/package/file_time.hpp"
#include "compressor/package/fresh_file.hpp"
#include "tests/cpp/check.hpp"

namespace {

using ormek::FinalAttributes;
using ormek::test::check;

void check_times() {
  using ormek::nanoseconds_of;
  using ormek::timespec_of;
  const int64_t times[] = {0, -1, 1, -1000000000, 1700000000123456789, INT64_MAX, INT64_MIN};
  for (int64_t ns : times) {
    const timespec t = timespec_of(ns);
    check(t.tv_nsec >= 0 && t.tv_nsec < 1000000000 && nanoseconds_of(t) == ns,
          "a time there and back: " + std::to_string(ns));
  }
  check(timespec_of(-1).tv_sec == -1 && timespec_of(-1).tv_nsec == 999999999, "-1 ns");
  check(nanoseconds_of({INT64_MAX / 2, 0}) == INT64_MAX, "beyond the range, kept at its end");
}

}  // namespace

int main() {
  check_times();
  char dir_template[] = "/tmp/fresh-file-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string target = dir + "/out", elsewhere = dir + "/elsewhere";
  struct stat st;
  check(ormek::final_mode(AT_FDCWD, target.c_str(), {.umask = 027}) == 0640, "a new file's mode");
  close(open(elsewhere.c_str(), O_WRONLY | O_CREAT, 0600));
  check(chmod(elsewhere.c_str(), 04755) == 0 &&
            ormek::final_mode(AT_FDCWD, elsewhere.c_str(), {.umask = 0}) == 0755,
        "set-id dropped");
  check(
      ormek::final_mode(AT_FDCWD, elsewhere.c_str(), {.stored_mode = 07764, .umask = 022}) == 0744,
      "a stored mode less the umask, permission bits only");
  check(symlink(elsewhere.c_str(), target.c_str()) == 0 &&
            ormek::final_mode(AT_FDCWD, target.c_str(), {.umask = 077}) == 0600,
        "a link not followed");
  ormek::FreshFile fresh;
  const FinalAttributes stored{.stored_mode = 06777, .mtime_ns = -1};
  check(fresh.create(AT_FDCWD, target) &&
            fresh.put_in_place(stored, [] { return true; }) == ormek::FreshFile::Placed::kDone &&
            lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0777,
        "the link replaced, permission bits only");
  check(st.st_mtim.tv_sec == -1 && st.st_mtim.tv_nsec == 999999999, "a time before 1970");
  check(stat(elsewhere.c_str(), &st) == 0 && (st.st_mode & 07777) == 04755, "its file untouched");
  check(fresh.create(AT_FDCWD, target) &&
            fresh.put_in_place({}, [] { return false; }) == ormek::FreshFile::Placed::kNotWanted &&
            (fresh.discard(), lstat(target.c_str(), &st) == 0) && st.st_mtim.tv_sec == -1,
        "not wanted: the target stays as it was");
  unlink(target.c_str());
  unlink(elsewhere.c_str());
  rmdir(dir.c_str());
  return ormek::test::report();
}
