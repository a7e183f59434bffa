// Checks of the final modes of fresh files (no set-id bits) and of links at
// the target, neither followed nor written through.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "compressor/package/fresh_file.hpp"
#include "tests/cpp/check.hpp"

int main() {
  using ormek::test::check;
  char dir_template[] = "/tmp/fresh-file-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string target = dir + "/out", elsewhere = dir + "/elsewhere";
  struct stat st;
  check(ormek::final_mode_replacing(AT_FDCWD, target.c_str(), 027) == 0640, "a new file's mode");
  close(open(elsewhere.c_str(), O_WRONLY | O_CREAT, 0600));
  check(chmod(elsewhere.c_str(), 04755) == 0 &&
            ormek::final_mode_replacing(AT_FDCWD, elsewhere.c_str(), 0) == 0755,
        "set-id dropped");
  check(symlink(elsewhere.c_str(), target.c_str()) == 0 &&
            ormek::final_mode_replacing(AT_FDCWD, target.c_str(), 077) == 0600,
        "a link not followed");
  ormek::FreshFile fresh;
  check(fresh.create(AT_FDCWD, target) && fresh.set_mode(06777) && fresh.close_descriptor() &&
            fresh.put_in_place() && lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            (st.st_mode & 07777) == 0777,
        "the link replaced, permission bits only");
  check(stat(elsewhere.c_str(), &st) == 0 && (st.st_mode & 07777) == 04755, "its file untouched");
  unlink(target.c_str());
  unlink(elsewhere.c_str());
  rmdir(dir.c_str());
  return ormek::test::report();
}
