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

#include <cstdint>
#include <optional>
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

// What a written file is given before it takes its target's place: its
// permission bits and, for a restored file, its modification time.
struct FinalAttributes {
  // A restored file's stored permission bits; without them, those of the
  // regular file it replaces, or a new file's.
  std::optional<mode_t> stored_mode;
  std::optional<int64_t> mtime_ns;  // a restored file's stored time
  mode_t umask = 0;                 // the process umask
};

// The mode a file this module puts in place at `name` in `dir_fd` (a
// descriptor or AT_FDCWD) is given: the `stored_mode` less the umask when
// there is one, else that of the regular file standing there (not followed
// if a link), or for a new file 0666 less the umask (what open would have
// given it). Permission bits only: never set-user-id, set-group-id or
// sticky, whoever owned the file replaced.
mode_t final_mode(int dir_fd, const char* name, const FinalAttributes& attributes);

// The mode a restored file or directory is given from its `stored` bits:
// less the umask, permission bits only.
constexpr mode_t restored_mode(mode_t stored, mode_t umask) { return stored & ~umask & 0777; }

// The process umask, read without changing it where the system tells it.
mode_t process_umask();

class FreshFile {
  struct CallDirectly {
    bool operator()(auto&& rename) const { return rename(); }
  };

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
  // Where put_in_place stopped: kDone, or the step that failed (with errno
  // set, but for kNotWanted).
  enum class Placed { kDone, kAttributes, kClose, kNotWanted, kRename };
  // Puts the written file in place: gives it its final mode (final_mode) and
  // time through its descriptor, closes it, and once `still_wanted()` agrees,
  // renames it over the target. Stored attributes that cannot be given fail
  // the step; carried-over permission bits are given where the file system
  // takes them, the text counting for more. On any failure the fresh file
  // stays, for discard; once done, it is the target's and nothing is removed.
  // The rename runs as `renaming(rename)`, which calls `rename()` (true when
  // done, else false with errno): a caller may let other threads run
  // meanwhile.
  template <typename StillWanted, typename Renaming = CallDirectly>
  Placed put_in_place(const FinalAttributes& attributes, StillWanted&& still_wanted,
                      Renaming&& renaming = {}) {
    if (!give(attributes)) return Placed::kAttributes;
    if (!close_descriptor()) return Placed::kClose;
    if (!still_wanted()) return Placed::kNotWanted;
    return renaming([this] { return rename_over_target(); }) ? Placed::kDone : Placed::kRename;
  }
  // Closes and removes the fresh file, if there is one.
  void discard();
  // Renames the fresh file to the target only where nothing stands at its
  // name: false with errno (EEXIST, or what tells that the file system
  // cannot) otherwise, the fresh file staying. One call where a look at the
  // target and a rename would be two, for a caller that refuses some
  // targets (inside put_in_place's `renaming`, its look and rename left for
  // a false).
  bool rename_unless_taken();

 private:
  bool give(const FinalAttributes& attributes) const;
  bool close_descriptor();
  bool rename_over_target();

  int dir_fd_ = AT_FDCWD;
  std::string target_;
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
};

}  // namespace ormek
