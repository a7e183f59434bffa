// The replace-on-success writer of pickle streams (see pickle_writer.hpp).
#include "compressor/package/pickle_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "compressor/package/fresh_file.hpp"
#include "module/background_work.hpp"
#include "module/host_calls.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/signal_checked_file.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// Where a safe write goes. Only regular files (or a path that does not exist
// yet) are replaced by rename: a directory, a device or a FIFO keeps the
// plain in-place write, whose open reports or handles them itself (renaming
// over /dev/null would replace the device node).
struct Target {
  Ref fspath;  // os.fspath(path): str or bytes, as open reports it
  bool is_text = false;
  std::string path;  // the file-system encoded path that is replaced
  bool exists = false;
};

enum class WriteMode { kInPlace, kReplace };

// Decides between the safe write and the plain in-place write. Anything that
// open would refuse, or that is not a plain path to a (future) regular file,
// takes the in-place write, so that open raises exactly what it raises for
// the path (None, an int file descriptor, an embedded NUL, a directory).
// Returns -1 only when the path's __fspath__ fails with anything but
// TypeError (open would fail the same way).
int choose_write_mode(PyObject* path, Target& target, WriteMode& mode) {
  mode = WriteMode::kInPlace;
  target.fspath = Ref::steal(PyOS_FSPath(path));
  if (!target.fspath) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  target.is_text = PyUnicode_Check(target.fspath.get());
  Ref encoded = target.is_text ? Ref::steal(PyUnicode_EncodeFSDefault(target.fspath.get()))
                               : Ref::borrow(target.fspath.get());
  if (!encoded) {
    PyErr_Clear();
    return 0;
  }
  const char* bytes = PyBytes_AS_STRING(encoded.get());
  Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
  if (size == 0 || std::strlen(bytes) != static_cast<size_t>(size)) return 0;
  std::string file_path(bytes, static_cast<size_t>(size));

  struct stat st;
  if (lstat(file_path.c_str(), &st) != 0) {
    if (errno != ENOENT) return 0;
    target.path = std::move(file_path);
    mode = WriteMode::kReplace;
    return 0;
  }
  if (S_ISLNK(st.st_mode)) {
    // Writing through a link updates the file it names; replacing the link
    // itself would cut it off. A dangling link keeps the in-place write,
    // which creates the file the link names.
    char* real = realpath(file_path.c_str(), nullptr);
    if (!real) return 0;
    file_path = real;
    std::free(real);
    if (stat(file_path.c_str(), &st) != 0) return 0;
  }
  if (!S_ISREG(st.st_mode)) return 0;
  target.path = std::move(file_path);
  target.exists = true;
  mode = WriteMode::kReplace;
  return 0;
}

// The fresh file's path as open is given paths: str or bytes, as `target`'s.
Ref shown_path(const Target& target, const std::string& fs_path) {
  const auto size = static_cast<Py_ssize_t>(fs_path.size());
  return Ref::steal(target.is_text ? PyUnicode_DecodeFSDefaultAndSize(fs_path.data(), size)
                                   : PyBytes_FromStringAndSize(fs_path.data(), size));
}

// The fresh file (fresh_file.hpp) as the file object the pickler writes to.
// Its descriptor is made natively and handed to the builtin open with
// closefd=False: it stays the writer's, outlives the `with` block to be given
// its final mode once everything is written, and is closed before the rename.
// To a dump the object is what open(<fresh path>, "xb") gives: the same mode,
// the fresh path as its name. Null with the exception set; an OSError of the
// creation names the user's path (the fresh file lies in its directory, so a
// missing directory, a refused permission or a full disk are the same
// diagnosis).
Ref open_fresh(const Target& target, FreshFile& fresh, Ref& fresh_name) {
  if (!fresh.create(AT_FDCWD, target.path)) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target.fspath.get());
    return Ref();
  }
  fresh_name = shown_path(target, fresh.path());
  Ref fd = fresh_name ? Ref::steal(PyLong_FromLong(fresh.fd())) : Ref();
  Ref kwnames = fd ? Ref::steal(PyTuple_Pack(1, str(Str::closefd))) : Ref();
  if (!kwnames) return Ref();
  PyObject* args[] = {fd.get(), str(Str::mode_xb), Py_False};
  Ref file = call(builtin(Builtin::open), args, 2, kwnames.get());
  Ref raw = file ? Ref::steal(PyObject_GetAttr(file.get(), str(Str::raw))) : Ref();
  if (!raw || PyObject_SetAttr(raw.get(), str(Str::name), fresh_name.get()) < 0) return Ref();
  return file;
}

// flush() and fsync(fileno()): the data is on disk before the rename makes it
// the file, so a crash right after leaves either the old or the new file.
bool sync_to_disk(PyObject* file) {
  Ref flushed = call_method(file, str(Str::flush), nullptr, 0);
  if (!flushed) return false;
  Ref fileno = call_method(file, str(Str::fileno), nullptr, 0);
  if (!fileno) return false;
  int fd = PyLong_AsInt(fileno.get());
  if (fd == -1 && PyErr_Occurred()) return false;
  // Syncing a big file can take seconds on a busy disk: it runs on a thread
  // of its own, so that a signal is answered meanwhile. The thread syncs and
  // closes a duplicate of the descriptor, which stays valid if the caller
  // gives up and closes the file.
  std::shared_ptr<int> error;
  try {
    error = std::make_shared<int>(0);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  if (!run_native_answering_signals([copy, error] {
        if (fsync(copy) != 0) *error = errno;
        close(copy);
      })) {
    return false;
  }
  if (*error != 0) {
    errno = *error;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  return true;
}

struct Site {
  const Trace& trace;
  int open_line;
  int dump_line;
  const NativePackageDump* native;
};

// The `with` block: pickle.dump(data, f), written and closed when completed.
BlockEnd dump_block(PyObject* file, PyObject* data, bool sync, const Site& site) {
  auto body = [data, sync, native = site.native](PyObject* f, int&) {
    Ref pickle = get_global(str(Str::pickle));
    Ref dump = pickle ? Ref::steal(PyObject_GetAttr(pickle.get(), str(Str::dump))) : Ref();
    // The host's own dump writes through a stand-in that answers signals.
    const bool original = is_original(Original::kPickleDump, dump.get());
    Ref target = original ? signal_checked_writer(f) : Ref::borrow(f);
    if (!dump || !target) return false;
    const bool dumped = native ? native->dump(dump.get(), original, data, f, target.get())
                               : static_cast<bool>(call2(dump.get(), data, target.get()));
    return dumped && (!sync || sync_to_disk(f));
  };
  return run_with_block(file, site.trace, site.open_line, site.dump_line, body);
}

// The plain write: open(path, "wb") truncates the file first.
BlockEnd dump_in_place(PyObject* path, PyObject* data, const Site& site) {
  Ref file = call2(builtin(Builtin::open), path, str(Str::mode_wb));
  if (!file) return site.trace.fail(site.open_line);
  return dump_block(file.get(), data, false, site);
}

// The written file put in place (fresh_file.hpp): the permission bits of the
// file it replaces, or a new file's, closed and renamed over the target
// (with the thread detached), unless a signal arrived meanwhile.
BlockEnd replace_target(FreshFile& fresh, const Target& target, PyObject* fresh_name,
                        const Site& site) {
  const FinalAttributes attributes{.umask = process_umask()};
  auto detached = [](auto&& rename) {
    PyThreadState* released = PyEval_SaveThread();
    const bool placed = rename();
    const int error_number = errno;
    PyEval_RestoreThread(released);
    errno = error_number;
    return placed;
  };
  switch (fresh.put_in_place(
      attributes, [] { return PyErr_CheckSignals() == 0; }, detached)) {
    case FreshFile::Placed::kDone:
      return BlockEnd::kCompleted;
    case FreshFile::Placed::kNotWanted:
      break;
    case FreshFile::Placed::kAttributes:  // carried-over bits are not required
    case FreshFile::Placed::kClose:
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target.fspath.get());
      break;
    case FreshFile::Placed::kRename:
      PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, fresh_name, target.fspath.get());
      break;
  }
  return site.trace.fail(site.open_line);
}

BlockEnd dump_replacing(PyObject* path, const Target& target, PyObject* data, const Site& site) {
  FreshFile fresh;
  Ref fresh_name;
  Ref file = open_fresh(target, fresh, fresh_name);
  if (!file) {
    // A directory we may not write to while the file itself is writable: the
    // fresh file cannot exist there, and refusing to write would be worse
    // than the in-place write the caller could always do.
    if (target.exists && PyErr_ExceptionMatches(PyExc_PermissionError) &&
        access(target.path.c_str(), W_OK) == 0) {
      PyErr_Clear();
      return dump_in_place(path, data, site);
    }
    return site.trace.fail(site.open_line);
  }
  const BlockEnd written = dump_block(file.get(), data, true, site);
  if (written != BlockEnd::kCompleted) return written;  // swallowed: nothing complete to install
  return replace_target(fresh, target, fresh_name.get(), site);
}

}  // namespace

BlockEnd dump_pickle_replacing(PyObject* path, PyObject* data, const Trace& trace, int open_line,
                               int dump_line, const NativePackageDump* native) {
  const Site site{trace, open_line, dump_line, native};
  Target target;
  WriteMode mode;
  if (choose_write_mode(path, target, mode) < 0) return trace.fail(open_line);
  if (mode == WriteMode::kInPlace) return dump_in_place(path, data, site);
  return dump_replacing(path, target, data, site);
}

}  // namespace ormek
