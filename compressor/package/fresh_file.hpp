// The one way this module puts a file it writes in place: a package, a
// dictionary file, a restored file. Free of host objects.
//
// - The text goes to a fresh file beside the target, created exclusively and
//   without following a link (O_CREAT | O_EXCL | O_NOFOLLOW): whatever stands
//   at the fresh name already, a crashed run's leftover or a link another
//   user planted, is never opened, let alone written through.
// - The fresh file is created with the owner's permissions only (0600) and
//   keeps them until it is complete: a descriptor keeps the right it was
//   opened with, so a file made readable by others at first and narrowed
//   later would have let them read all its text while it was written.
// - It gets its final mode through its descriptor (fchmod), never by name:
//   between the creation and the change of mode, a user who can write the
//   directory could put a link to any file at the fresh name, and a change
//   by name would change that file, with the writer's rights.
// - The final mode holds permission bits only (at most 0777): the new file
//   belongs to whoever writes it, so a set-user-id, set-group-id or sticky
//   bit taken over from the replaced file, another owner's maybe, would hand
//   the writer's rights to that file's users (see final_mode).
// - Then it is renamed over the target, which replaces whatever stands at
//   the target's name (a link included) instead of writing through it; a
//   failure anywhere removes the fresh file and leaves the target alone.
//
// Times, where a file is given them, go through the descriptor as well
// (futimens); nothing here or in its users changes a mode, an owner or a
// time by name.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace ormek {

// The name of a fresh file beside the file `base_name` (a name within one
// directory, in the file system's encoding): the name's first bytes, the
// process id and a serial number, ending in ".tmp". Unique within the process;
// another process has another id.
std::string temporary_name_beside(std::string_view base_name);
// How often a writer tries a fresh name when the one it picked is taken (a
// stale file of a crashed run, or a concurrent writer's pick).
inline constexpr int kTemporaryNameAttempts = 100;

// The mode a file this module puts in place is given, from the bits it
// carries over: those of the regular file it replaces, a restored file's
// stored bits less the umask, or for a new file 0666 less the umask (what
// open would have given it). Permission bits only: never set-user-id,
// set-group-id or sticky, whoever owned the file replaced.
constexpr mode_t final_mode(mode_t carried) { return carried & 0777; }

// final_mode for a file that takes the place of `name` in `dir_fd` (a
// descriptor or AT_FDCWD): the regular file standing there (not followed
// if a link), or a new file under the process umask `umask`.
mode_t final_mode_replacing(int dir_fd, const char* name, mode_t umask);

// The process umask, read without changing it where the system tells it.
mode_t process_umask();

class FreshFile {
 public:
  FreshFile() = default;
  FreshFile(const FreshFile&) = delete;
  FreshFile& operator=(const FreshFile&) = delete;
  ~FreshFile() { discard(); }

  // Creates the fresh file beside `target` (a path relative to `dir_fd`, or
  // AT_FDCWD; its last part is the file's name), 0600, trying other names
  // while the one picked is taken. False with errno set.
  bool create(int dir_fd, std::string target);
  int fd() const { return fd_; }
  // The fresh file's path, relative to dir_fd as the target's is.
  const std::string& path() const { return path_; }
  const std::string& target() const { return target_; }
  // Gives the written file its final mode (see final_mode). False with errno.
  bool set_mode(mode_t mode) const;
  // Closes the descriptor; false with errno (the file stays, for discard).
  bool close_descriptor();
  // Renames the closed fresh file over the target; false with errno. Once
  // done, the file is the target's and nothing is removed.
  bool put_in_place();
  // Closes and removes the fresh file, if there is one.
  void discard();

 private:
  int dir_fd_ = AT_FDCWD;
  std::string target_;
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
};

}  // namespace ormek
