// Writing the files of a package so that nothing outside the output directory
// is touched and no half file is left behind.
//
// Opening each output path for writing would follow a symbolic link standing
// there (out/a.txt -> /etc/passwd would be rewritten) and truncate the old
// file before the new text exists (a full disk would leave a cut-off file
// where a complete one had been). Instead:
//
// - Before output_dir is made, every target is looked at (check_in_the_way):
//   a part of a stored name that exists as a symbolic link or as anything but
//   a directory, or a file that exists as anything but a regular file (a
//   link, dangling or not, a directory, a FIFO, a device), refuses the whole
//   package with an OSError naming the path, before anything is written.
// - Each file is written to a fresh file in its own directory and renamed
//   over the target once complete (fresh_file.hpp: private while written,
//   its mode set through its descriptor; no fsync: a package can always be
//   restored again). A failure removes the fresh file, so the target is
//   either the old file or the whole new one. Files restored before the
//   failure stay.
// - Between that look and the write, the tree may change. The directories of
//   a name are therefore opened one part at a time from output_dir, never
//   following a link (a part planted as a link is refused), the fresh file is
//   created exclusively, and the rename replaces whatever stands at the
//   target's name instead of writing through it; a target that turned into a
//   directory or a special file meanwhile is refused. The directories of the
//   last file stay open, and a file in a directory near it opens only the
//   parts that differ (a tree's files would otherwise open every directory
//   of a name again for each directory of the tree): a file goes to the
//   directory that was made or found when it was opened, wherever it has
//   been moved since, never where a link put in its place points.
//
// This is how a target is found while os.path.join is the module's own; a
// join the user replaced decides the path itself, and the file is then
// written at that path, through a fresh file beside it, with no directories
// made (begin_at).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compressor/package/file_facts.hpp"
#include "compressor/package/fresh_file.hpp"
#include "compressor/package/judged_package.hpp"
#include "module/ref.hpp"

namespace ormek {

// Where a write failed: in the text (encoding or writing it) or around it
// (the directories, the fresh file, the rename).
enum class WriteFailure { kNone, kText, kFile };

class FileRestorer {
 public:
  // `output_dir`: the exact str decode_package was given.
  explicit FileRestorer(PyObject* output_dir) : output_dir_(output_dir) {}
  FileRestorer(const FileRestorer&) = delete;
  FileRestorer& operator=(const FileRestorer&) = delete;
  ~FileRestorer();

  // Before output_dir is made: false with FileExistsError or
  // NotADirectoryError set when something other than a directory or a
  // regular file stands in the way of a picked file of `judged` (one flag
  // each in `files`), or something other than a directory in the way of a
  // picked empty directory (`dirs`). Anything that cannot be judged yet (a
  // name the file system encoding cannot hold, an output_dir that is not a
  // directory) is left to the steps that report it in their own words. Each
  // name and each directory on the way is looked at once, however often the
  // package refers to it.
  bool check_in_the_way(const JudgedPackage& judged, const std::vector<char>& files,
                        const std::vector<char>& dirs);
  // Makes the directory `name` (a safe stored name) under output_dir, part by
  // part, without following a link. False with the exception set.
  bool make_directory(PyObject* name);
  // Gives the directory `dir.name` under output_dir, opened as make_directory
  // opens it, its stored permission bits (less the umask) and modification
  // time through its descriptor. False with the exception set.
  bool settle_directory(const DirFacts& dir);

  // Opens the fresh file of the safe stored name `name` under output_dir,
  // making its directories. `path` is what os.path.join made of them, for
  // messages. False with the exception set.
  bool begin(PyObject* name, PyObject* path);
  // Opens the fresh file for `path` as given (a replaced os.path.join made it).
  bool begin_at(PyObject* path);
  // After begin: the bytes written must be what the file stored under
  // `name` (an exact str, whose UTF-8 is `name_bytes`, as stored_names_host.hpp
  // keeps it) held when it was packed, by its `facts`, before
  // the file replaces anything (a mismatch gives it up with the
  // damaged-package error); the file then takes their permission bits (less
  // the umask, see final_mode) and modification time. Without facts it
  // takes the permission bits of the regular file it replaces, or a new
  // file's. `verified`: the text to be written was found to match them
  // beforehand (file_digests.hpp), so it is not digested again.
  void expect(PyObject* name, std::string_view name_bytes, const FileFacts& facts, bool verified);
  // Writes `text` (a str) as UTF-8 into the fresh file, which then replaces
  // the target.
  WriteFailure finish(PyObject* text);
  // Or the text's UTF-8 bytes given piece by piece: false with the error set
  // (the fresh file is then given up); then finish_written().
  bool write_bytes(const void* data, size_t size);
  // The fresh file, all written, replaces the target.
  WriteFailure finish_written();
  // Removes the fresh file unwritten.
  void discard();

 private:
  bool check_target(PyObject* name, const NameTree& tree, NameTree::Node node, bool directory);
  bool fs_bytes(PyObject* text, std::string& out);
  int check_directories_of(const std::string& relative, const NameTree& tree,
                           const std::vector<NameTree::Node>& directories);
  WriteFailure give_up(WriteFailure failure);
  bool encode_output_dir();
  int open_output_dir();
  int open_directory(const std::string& directory);
  bool lies_in_current(const std::string& directory, size_t end) const;
  void close_directories(size_t kept);
  int raise_directory_failure(int error_number, const std::string& part_path);
  bool open_fresh_file(int dir_fd, bool own_dir_fd, std::string file_name, PyObject* path);
  void close_fresh_file();
  mode_t umask_once();

  PyObject* output_dir_;  // borrowed from the caller
  bool output_dir_encoded_ = false;
  std::string output_dir_fs_;  // in the file system's encoding
  int output_dir_fd_ = -1;
  std::string current_dir_;  // the directory of the last file, within output_dir
  int current_dir_fd_ = -1;  // open on it, or -1
  // The directories current_dir_ lies in, and it, open, outermost first, at
  // most kKeptDirectories of them (a deeper one's parts are opened on the
  // way and closed): `end` is where its path ends in current_dir_.
  struct OpenDirectory {
    size_t end;
    int fd;
  };
  static constexpr size_t kKeptDirectories = 32;
  std::vector<OpenDirectory> open_dirs_;
  // What each node of the stored names' tree is on disk, when looked at.
  enum DirState : uint8_t { kUnlooked, kDirectory, kMissing };
  std::vector<uint8_t> dir_states_;
  int umask_ = -1;                         // read when first needed (umask_once)
  bool targets_new_ = true;                // no target found taken yet (finish_written)
  std::unique_ptr<ContentDigest> digest_;  // made when first needed

  // The file being written.
  struct Restoring {
    int dir_fd = -1;
    bool own_dir_fd = false;  // opened for it alone (begin_at)
    FreshFile file;           // beside its target, a name in dir_fd
    Ref path;
    Ref name;                          // with facts (expect)
    const FileFacts* facts = nullptr;  // the package's, for this file
    bool verified = false;             // its text matched them beforehand
  } fresh_;
};

}  // namespace ormek
