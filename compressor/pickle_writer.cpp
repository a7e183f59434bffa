// The replace-on-success writer of pickle streams (see pickle_writer.hpp).
#include "compressor/pickle_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "compressor/background_work.hpp"
#include "compressor/signal_checked_file.hpp"
#include "module/host_calls.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

std::atomic<unsigned> g_temp_counter{0};
// Room for the suffix within the 255 bytes a file name may have.
constexpr size_t kTempStemBytes = 200;

// Where a safe write goes. Only regular files (or a path that does not exist
// yet) are replaced by rename: a directory, a device or a FIFO keeps the
// plain in-place write, whose open reports or handles them itself (renaming
// over /dev/null would replace the device node).
struct Target {
  Ref fspath;  // os.fspath(path): str or bytes, as open reports it
  bool is_text = false;
  std::string path;  // the file-system encoded path that is replaced
  bool exists = false;
  mode_t mode = 0;  // permission bits of the file being replaced
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
  target.mode = st.st_mode & 07777;
  mode = WriteMode::kReplace;
  return 0;
}

// The fresh file beside the target; removed on destruction unless committed.
struct TempFile {
  std::string path;
  Ref name;  // the same path as open is given it (str or bytes)
  bool armed = false;

  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (armed) unlink(path.c_str());
  }
};

// Reports an open failure as open would for the path itself: the fresh file
// lies in the path's directory, so a missing directory, a refused permission
// or a full disk are the same diagnosis.
void name_user_path_in_error(PyObject* fspath) {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
  PyObject* exc = PyErr_GetRaisedException();
  if (PyObject_SetAttr(exc, str(Str::filename), fspath) < 0) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

// open(<fresh name>, "xb"); null with the exception set on failure.
Ref open_temp(const Target& target, TempFile& temp) {
  const size_t slash = target.path.rfind('/');
  const size_t base_at = slash == std::string::npos ? 0 : slash + 1;
  for (int attempt = 1;; attempt++) {
    temp.path = target.path.substr(0, base_at) +
                temporary_name_beside(std::string_view(target.path).substr(base_at));
    temp.name = target.is_text ? Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
                                     temp.path.data(), static_cast<Py_ssize_t>(temp.path.size())))
                               : Ref::steal(PyBytes_FromStringAndSize(
                                     temp.path.data(), static_cast<Py_ssize_t>(temp.path.size())));
    if (!temp.name) return Ref();
    Ref file = call2(builtin(Builtin::open), temp.name.get(), str(Str::mode_xb));
    if (file) {
      temp.armed = true;
      return file;
    }
    if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt == kTemporaryNameAttempts) {
      return Ref();
    }
    PyErr_Clear();
  }
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
};

// The `with` block: pickle.dump(data, f), written and closed when completed.
BlockEnd dump_block(PyObject* file, PyObject* data, bool sync, const Site& site) {
  auto body = [data, sync](PyObject* f, int&) {
    Ref pickle = get_global(str(Str::pickle));
    Ref dump = pickle ? Ref::steal(PyObject_GetAttr(pickle.get(), str(Str::dump))) : Ref();
    // The host's own dump writes through a stand-in that answers signals.
    Ref target =
        is_original(Original::kPickleDump, dump.get()) ? signal_checked_writer(f) : Ref::borrow(f);
    Ref result = dump && target ? call2(dump.get(), data, target.get()) : Ref();
    return result && (!sync || sync_to_disk(f));
  };
  return run_with_block(file, site.trace, site.open_line, site.dump_line, body);
}

// The plain write: open(path, "wb") truncates the file first.
BlockEnd dump_in_place(PyObject* path, PyObject* data, const Site& site) {
  Ref file = call2(builtin(Builtin::open), path, str(Str::mode_wb));
  if (!file) return site.trace.fail(site.open_line);
  return dump_block(file.get(), data, false, site);
}

BlockEnd dump_replacing(PyObject* path, const Target& target, PyObject* data, const Site& site) {
  TempFile temp;
  Ref file = open_temp(target, temp);
  if (!file) {
    // A directory we may not write to while the file itself is writable: the
    // fresh file cannot exist there, and refusing to write would be worse
    // than the in-place write the caller could always do.
    if (target.exists && PyErr_ExceptionMatches(PyExc_PermissionError) &&
        access(target.path.c_str(), W_OK) == 0) {
      PyErr_Clear();
      return dump_in_place(path, data, site);
    }
    name_user_path_in_error(target.fspath.get());
    return site.trace.fail(site.open_line);
  }
  // The new file keeps the old file's permissions (best effort: a file
  // system that refuses chmod still gets the new content).
  if (target.exists) chmod(temp.path.c_str(), target.mode);
  const BlockEnd written = dump_block(file.get(), data, true, site);
  if (written != BlockEnd::kCompleted) return written;  // swallowed: nothing complete to install
  if (PyErr_CheckSignals() < 0) return site.trace.fail(site.open_line);
  PyThreadState* released = PyEval_SaveThread();
  int rc = rename(temp.path.c_str(), target.path.c_str());
  PyEval_RestoreThread(released);
  if (rc != 0) {
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, temp.name.get(), target.fspath.get());
    return site.trace.fail(site.open_line);
  }
  temp.armed = false;
  return BlockEnd::kCompleted;
}

}  // namespace

std::string temporary_name_beside(std::string_view base_name) {
  const unsigned serial = g_temp_counter.fetch_add(1, std::memory_order_relaxed);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lx-%x.tmp", static_cast<unsigned long>(getpid()), serial);
  return std::string(base_name.substr(0, kTempStemBytes)) + suffix;
}

BlockEnd dump_pickle_replacing(PyObject* path, PyObject* data, const Trace& trace, int open_line,
                               int dump_line) {
  const Site site{trace, open_line, dump_line};
  Target target;
  WriteMode mode;
  if (choose_write_mode(path, target, mode) < 0) return trace.fail(open_line);
  if (mode == WriteMode::kInPlace) return dump_in_place(path, data, site);
  return dump_replacing(path, target, data, site);
}

}  // namespace ormek
