// Safe writes of restored files (see file_restorer.hpp).
#include "compressor/decode/file_restorer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "compressor/package/file_time.hpp"
#include "module/messages.hpp"

namespace ormek {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// OSError subclass `type` as the host makes it from (errno, strerror,
// filename), so that its text names the path.
void raise_in_the_way(PyObject* type, int error_number, const char* what, PyObject* path) {
  Ref error = Ref::steal(PyObject_CallFunction(type, "isO", error_number, what, path));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

void raise_from_errno(int error_number, PyObject* path) {
  errno = error_number;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// `relative` under `directory` as the host's path join puts them together.
std::string joined(const std::string& directory, const std::string& relative) {
  if (directory.empty()) return relative;
  if (directory.back() == '/') return directory + relative;
  return directory + '/' + relative;
}

// A path in the file system's encoding, as a str for messages.
Ref shown(const std::string& fs_path) {
  return Ref::steal(
      PyUnicode_DecodeFSDefaultAndSize(fs_path.data(), static_cast<Py_ssize_t>(fs_path.size())));
}

void close_quietly(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace

FileRestorer::~FileRestorer() {
  close_fresh_file();
  close_directories(0);
  close_quietly(output_dir_fd_);
}

// The file system's bytes of a str or bytes path; false with the error open
// would raise for it (an unencodable character, an embedded NUL).
bool FileRestorer::fs_bytes(PyObject* text, std::string& out) {
  Ref encoded =
      PyUnicode_Check(text) ? Ref::steal(PyUnicode_EncodeFSDefault(text)) : Ref::borrow(text);
  if (!encoded) return false;
  const char* data = PyBytes_AS_STRING(encoded.get());
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
  if (std::memchr(data, '\0', size)) {
    PyErr_SetString(PyExc_ValueError, msg::kEmbeddedNull);
    return false;
  }
  out.assign(data, size);
  return true;
}

// output_dir_fs_, made on first use; false with the error set.
bool FileRestorer::encode_output_dir() {
  if (!output_dir_encoded_) output_dir_encoded_ = fs_bytes(output_dir_, output_dir_fs_);
  return output_dir_encoded_;
}

// The directories of `relative` (each part before a "/"), which are the
// nodes `directories` of `tree`, outermost first: -1 with NotADirectoryError
// when one exists as anything but a directory, 0 when one is missing (or
// tells nothing yet), 1 when all are directories. Each node is looked at on
// disk once.
int FileRestorer::check_directories_of(const std::string& relative, const NameTree& tree,
                                       const std::vector<NameTree::Node>& directories) {
  if (dir_states_.size() < tree.size()) dir_states_.resize(tree.size(), kUnlooked);
  struct stat st;
  size_t part = 0;
  for (size_t slash = relative.find('/'); slash != std::string::npos && part < directories.size();
       slash = relative.find('/', slash + 1)) {
    const NameTree::Node node = directories[part++];
    if (dir_states_[node] == kDirectory) continue;
    if (dir_states_[node] == kMissing) return 0;
    const std::string path = joined(output_dir_fs_, relative.substr(0, slash));
    if (lstat(path.c_str(), &st) != 0) {
      dir_states_[node] = kMissing;  // and so is everything in it
      return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (Ref where = shown(path)) {
        raise_in_the_way(PyExc_NotADirectoryError, ENOTDIR, msg::kPathPartNotDirectory,
                         where.get());
      }
      return -1;
    }
    dir_states_[node] = kDirectory;
  }
  return 1;
}

bool FileRestorer::check_in_the_way(const JudgedPackage& judged, const std::vector<char>& files,
                                    const std::vector<char>& dirs) {
  const NameTree& tree = judged.names.tree();
  try {
    std::vector<char> looked(tree.size(), 0);
    auto check = [&](PyObject* name, NameTree::Node node, bool directory) {
      if (node == NameTree::kNoNode || looked[node]) return true;
      looked[node] = 1;
      return check_target(name, tree, node, directory);
    };
    for (size_t i = 0; i < files.size(); i++) {
      if (files[i] && !check(judged.files[i].name.get(), judged.files[i].where.node, false)) {
        return false;
      }
    }
    PyObject* empty_dirs = judged.facts.empty_dirs.get();
    for (size_t i = 0; i < dirs.size(); i++) {
      if (dirs[i] && !check(PyList_GET_ITEM(empty_dirs, static_cast<Py_ssize_t>(i)),
                            judged.facts.dirs[i].node, true)) {
        return false;
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// The stored file (or, with `directory`, the empty directory) `name` at
// `node`: every directory on its way, then the file itself. Throws
// std::bad_alloc.
bool FileRestorer::check_target(PyObject* name, const NameTree& tree, NameTree::Node node,
                                bool directory) {
  std::string relative;
  if (!encode_output_dir() || !fs_bytes(name, relative)) {
    PyErr_Clear();
    return true;
  }
  std::vector<NameTree::Node> on_the_way;
  tree.each_directory(node, [&on_the_way](NameTree::Node up) {
    on_the_way.push_back(up);
    return true;
  });
  if (directory) {
    on_the_way.push_back(node);
    relative += '/';
  }
  const int directories = check_directories_of(relative, tree, on_the_way);
  if (directories <= 0 || directory) return directories >= 0;
  struct stat st;
  const std::string path = joined(output_dir_fs_, relative);
  if (lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
  if (Ref where = shown(path)) {
    raise_in_the_way(PyExc_FileExistsError, EEXIST, msg::kTargetNotRegularFile, where.get());
  }
  return false;
}

bool FileRestorer::make_directory(PyObject* name) {
  if (open_output_dir() < 0) return false;
  std::string relative;
  return fs_bytes(name, relative) && open_directory(relative) >= 0;
}

bool FileRestorer::settle_directory(const DirFacts& dir) {
  if (open_output_dir() < 0) return false;
  std::string relative;
  if (!fs_bytes(dir.name, relative)) return false;
  const int fd = open_directory(relative);
  if (fd < 0) return false;
  const struct timespec times[2] = {{0, UTIME_OMIT}, timespec_of(dir.mtime_ns)};
  if (fchmod(fd, restored_mode(static_cast<mode_t>(dir.mode), umask_once())) != 0 ||
      futimens(fd, times) != 0) {
    const int error_number = errno;
    Ref where = shown(joined(output_dir_fs_, relative));
    if (where) raise_from_errno(error_number, where.get());
    return false;
  }
  return true;
}

// output_dir itself may be a link: it is where the caller asked for the files.
int FileRestorer::open_output_dir() {
  if (output_dir_fd_ >= 0) return output_dir_fd_;
  if (!encode_output_dir()) return -1;
  output_dir_fd_ = open(output_dir_fs_.c_str(), kDirectoryFlags);
  if (output_dir_fd_ < 0) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, output_dir_);
  return output_dir_fd_;
}

// Whether `directory` lies in (or is) the first `end` bytes of current_dir_.
bool FileRestorer::lies_in_current(const std::string& directory, size_t end) const {
  return directory.size() >= end && directory.compare(0, end, current_dir_, 0, end) == 0 &&
         (directory.size() == end || directory[end] == '/');
}

// Closes the open directories from the `kept`th on, and current_dir_fd_.
void FileRestorer::close_directories(size_t kept) {
  const bool current_held = !open_dirs_.empty() && current_dir_fd_ == open_dirs_.back().fd;
  if (!current_held && current_dir_fd_ != output_dir_fd_) close_quietly(current_dir_fd_);
  current_dir_fd_ = -1;
  while (open_dirs_.size() > kept) {
    close_quietly(open_dirs_.back().fd);
    open_dirs_.pop_back();
  }
}

// The directory `directory` (parts joined by "/") under output_dir, made where
// missing and opened one part at a time without following a link. Files of
// one directory come together and directories of one tree near each other,
// so the directories of the last file stay open (the first kKeptDirectories
// of them) and only the parts that differ are opened.
int FileRestorer::open_directory(const std::string& directory) {
  if (current_dir_fd_ >= 0 && current_dir_ == directory) return current_dir_fd_;
  size_t kept = 0;
  while (kept < open_dirs_.size() && lies_in_current(directory, open_dirs_[kept].end)) kept++;
  close_directories(kept);
  current_dir_ = directory;  // its first `kept` parts are those still open
  int parent = kept ? open_dirs_.back().fd : output_dir_fd_;
  bool parent_held = true;  // by open_dirs_, or output_dir
  for (size_t start = kept ? open_dirs_.back().end + 1 : 0; start <= directory.size();) {
    size_t end = directory.find('/', start);
    if (end == std::string::npos) end = directory.size();
    const std::string part = directory.substr(start, end - start);
    int fd = openat(parent, part.c_str(), kDirectoryFlags | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
      if (mkdirat(parent, part.c_str(), 0777) == 0 || errno == EEXIST) {
        fd = openat(parent, part.c_str(), kDirectoryFlags | O_NOFOLLOW);
      }
    }
    const int error_number = errno;
    if (!parent_held) close(parent);
    if (fd < 0) return raise_directory_failure(error_number, directory.substr(0, end));
    parent_held = open_dirs_.size() < kKeptDirectories;
    if (parent_held) open_dirs_.push_back({end, fd});
    parent = fd;
    start = end + 1;
  }
  current_dir_fd_ = parent;
  return parent;
}

// -1, with the error of a part of a directory that could not be made or
// opened: in the way when it is a link or no directory.
int FileRestorer::raise_directory_failure(int error_number, const std::string& part_path) {
  Ref where = shown(joined(output_dir_fs_, part_path));
  if (!where) return -1;
  if (error_number == ELOOP || error_number == ENOTDIR) {
    raise_in_the_way(PyExc_NotADirectoryError, ENOTDIR, msg::kPathPartNotDirectory, where.get());
  } else {
    raise_from_errno(error_number, where.get());
  }
  return -1;
}

bool FileRestorer::begin(PyObject* name, PyObject* path) {
  if (open_output_dir() < 0) return false;
  std::string relative;
  if (!fs_bytes(name, relative)) return false;
  const size_t slash = relative.rfind('/');
  if (slash == std::string::npos) return open_fresh_file(output_dir_fd_, false, relative, path);
  const int dir_fd = open_directory(relative.substr(0, slash));
  if (dir_fd < 0) return false;
  return open_fresh_file(dir_fd, false, relative.substr(slash + 1), path);
}

bool FileRestorer::begin_at(PyObject* path) {
  Ref fspath = Ref::steal(PyOS_FSPath(path));
  std::string target;
  if (!fspath || !fs_bytes(fspath.get(), target)) return false;
  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : target.substr(0, slash);
  std::string file_name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (file_name.empty()) {
    raise_from_errno(EISDIR, path);
    return false;
  }
  const int dir_fd = open(directory.c_str(), kDirectoryFlags);
  if (dir_fd < 0) {
    raise_from_errno(errno, path);
    return false;
  }
  return open_fresh_file(dir_fd, true, std::move(file_name), path);
}

bool FileRestorer::open_fresh_file(int dir_fd, bool own_dir_fd, std::string file_name,
                                   PyObject* path) {
  fresh_.dir_fd = dir_fd;
  fresh_.own_dir_fd = own_dir_fd;
  fresh_.path = Ref::borrow(path);
  if (!fresh_.file.create(dir_fd, std::move(file_name))) {
    raise_from_errno(errno, path);
    close_fresh_file();
    return false;
  }
  return true;
}

void FileRestorer::close_fresh_file() {
  fresh_.file.discard();
  if (fresh_.own_dir_fd) close_quietly(fresh_.dir_fd);
  fresh_.dir_fd = -1;
  fresh_.own_dir_fd = false;
  fresh_.path = Ref();
  fresh_.name = Ref();
  fresh_.facts = nullptr;
  fresh_.verified = false;
}

mode_t FileRestorer::umask_once() {
  if (umask_ < 0) umask_ = static_cast<int>(process_umask());
  return static_cast<mode_t>(umask_);
}

void FileRestorer::discard() { close_fresh_file(); }

void FileRestorer::expect(PyObject* name, std::string_view name_bytes, const FileFacts& facts,
                          bool verified) {
  fresh_.name = Ref::borrow(name);
  fresh_.facts = &facts;
  fresh_.verified = verified;
  if (verified) return;
  if (!digest_) digest_ = std::make_unique<ContentDigest>();
  digest_->begin_utf8(name_bytes.data(), name_bytes.size());
}

WriteFailure FileRestorer::finish(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) {
    close_fresh_file();
    return WriteFailure::kText;
  }
  if (!write_bytes(data, static_cast<size_t>(size))) return WriteFailure::kText;
  return finish_written();
}

bool FileRestorer::write_bytes(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  int write_error = 0;
  const int fd = fresh_.file.fd();
  ContentDigest* digest = fresh_.facts && !fresh_.verified ? digest_.get() : nullptr;
  Py_BEGIN_ALLOW_THREADS;
  if (digest) digest->add_bytes(bytes, size);
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      write_error = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  Py_END_ALLOW_THREADS;
  if (write_error) {
    raise_from_errno(write_error, fresh_.path.get());
    close_fresh_file();
    return false;
  }
  return true;
}

// With facts, the bytes written must be those packed before the file gets
// the stored mode and time and replaces anything. A signal that arrived
// meanwhile ends the restore before this file replaces anything, and so
// does a target that turned into something other than a regular file.
// Where nothing stands at the target's name (a fresh tree's files), a rename
// that replaces nothing is the look and the rename in one call; once one
// finds the name taken, or the file system cannot make it, each file is
// looked at and renamed over its target.
WriteFailure FileRestorer::finish_written() {
  PyObject* path = fresh_.path.get();
  FreshFile& file = fresh_.file;
  FinalAttributes attributes{.umask = umask_once()};
  if (fresh_.facts) {
    if (!fresh_.verified && !check_restored(*digest_, *fresh_.facts, fresh_.name.get()))
      return give_up(WriteFailure::kText);
    attributes.stored_mode = static_cast<mode_t>(fresh_.facts->mode);
    attributes.mtime_ns = fresh_.facts->mtime_ns;
  }
  bool in_the_way = false;
  auto renaming = [&](auto&& rename) {
    if (targets_new_ && file.rename_unless_taken()) return true;
    targets_new_ = false;
    struct stat st;
    if (fstatat(fresh_.dir_fd, file.target().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(st.st_mode)) {
      in_the_way = true;
      return false;
    }
    return rename();
  };
  switch (file.put_in_place(
      attributes, [] { return PyErr_CheckSignals() == 0; }, renaming)) {
    case FreshFile::Placed::kDone:
      close_fresh_file();
      return WriteFailure::kNone;
    case FreshFile::Placed::kAttributes:
      raise_from_errno(errno, path);
      return give_up(WriteFailure::kText);
    case FreshFile::Placed::kNotWanted:
      return give_up(WriteFailure::kFile);
    case FreshFile::Placed::kClose:
    case FreshFile::Placed::kRename:
      break;
  }
  if (in_the_way) {
    raise_in_the_way(PyExc_FileExistsError, EEXIST, msg::kTargetNotRegularFile, path);
  } else {
    raise_from_errno(errno, path);
  }
  return give_up(WriteFailure::kFile);
}

WriteFailure FileRestorer::give_up(WriteFailure failure) {
  close_fresh_file();
  return failure;
}

}  // namespace ormek
