// The dictionary file: load_dict reads the token dictionary at dict_path into
// the compressor, save_dict writes it there. The file is one pickle stream of
// {"dict": global_dict, "next_id": next_id}.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compressor/inverse_dict.hpp"
#include "compressor/object.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

CompressorObject* as_compressor(PyObject* op) { return reinterpret_cast<CompressorObject*>(op); }

// ---------------------------------------------------------------------------
// load_dict

namespace line {
constexpr int kLoadExists = 22;
constexpr int kLoadOpen = 23;
constexpr int kLoadPickle = 24;
constexpr int kLoadGlobalDict = 25;
constexpr int kLoadInverseDict = 26;
constexpr int kLoadNextId = 27;
}  // namespace line

constexpr Trace kLoadTrace{"ormek_compressor.OrmekCompressor.load_dict", kFileCompressor};

// The body of the `with` block over the open file; 0, or the line of the
// failing statement with the exception pending.
int load_from_file(CompressorObject* self, PyObject* file) {
  Ref pickle = get_global(str(Str::pickle));
  if (!pickle) return line::kLoadPickle;
  Ref load = Ref::steal(PyObject_GetAttr(pickle.get(), str(Str::load)));
  if (!load) return line::kLoadPickle;
  Ref data = call1(load.get(), file);
  if (!data) return line::kLoadPickle;

  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return line::kLoadGlobalDict;
  PyObject* get_args[] = {str(Str::dict), empty.get()};
  Ref global_dict = call_method(data.get(), str(Str::get), get_args, 2);
  if (!global_dict) return line::kLoadGlobalDict;
  replace_field(self->global_dict, std::move(global_dict));

  Ref inverse_dict = build_inverse_dict(self->global_dict);
  if (!inverse_dict) return line::kLoadInverseDict;
  replace_field(self->inverse_dict, std::move(inverse_dict));

  Ref get = Ref::steal(PyObject_GetAttr(data.get(), str(Str::get)));
  if (!get) return line::kLoadNextId;
  PyObject* next_id_args[] = {PyTuple_GET_ITEM(g_state.next_id_lookup_args, 0),
                              PyTuple_GET_ITEM(g_state.next_id_lookup_args, 1)};
  Ref next_id = call(get.get(), next_id_args, 2);
  if (!next_id) return line::kLoadNextId;
  int32_t value = as_int32(next_id.get());
  if (value == -1 && PyErr_Occurred()) return line::kLoadNextId;
  self->next_id = value;
  return 0;
}

PyObject* load_dict_body(CompressorObject* self) {
  const Trace& tb = kLoadTrace;
  {
    Ref os = get_global(str(Str::os));
    if (!os) return tb.fail(line::kLoadExists);
    Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), str(Str::path)));
    if (!os_path) return tb.fail(line::kLoadExists);
    Ref dict_path = Ref::borrow(self->dict_path);
    PyObject* arg = dict_path.get();
    Ref exists = call_method(os_path.get(), str(Str::exists), &arg, 1);
    if (!exists) return tb.fail(line::kLoadExists);
    int found = truth_value(exists.get());
    if (found < 0) return tb.fail(line::kLoadExists);
    if (!found) Py_RETURN_NONE;
  }
  Ref dict_path = Ref::borrow(self->dict_path);
  Ref file = call2(builtin(Builtin::open), dict_path.get(), str(Str::mode_rb));
  if (!file) return tb.fail(line::kLoadOpen);
  WithBlock blk;
  if (!blk.enter(file.get())) return tb.fail(line::kLoadOpen);
  if (int failed_line = load_from_file(self, blk.value())) {
    tb.add(failed_line);
    if (blk.leave_with_pending() == 0) return tb.fail(line::kLoadOpen);
    Py_RETURN_NONE;  // __exit__ swallowed it: the fields stay as far as the steps got
  }
  if (!blk.leave_normally()) return tb.fail(line::kLoadOpen);
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// save_dict
//
// Writing the file in place would truncate the user's dictionary before the
// new stream exists, so a failing dump (an unpicklable value, a full disk)
// would lose it. Instead the stream goes to a fresh file beside the target,
// which replaces the target (rename, atomic on one file system) only once the
// dump, the sync to disk and the close have all succeeded; any failure removes
// the fresh file and leaves the old dictionary as it was. The file format,
// the messages and the traceback lines stay those of the in-place write.

namespace line {
constexpr int kSaveDict = 31;
constexpr int kSaveNextId = 32;
constexpr int kSaveOpen = 34;
constexpr int kSaveDump = 35;
}  // namespace line

constexpr Trace kSaveTrace{"ormek_compressor.OrmekCompressor.save_dict", kFileCompressor};

// Retries when a temporary name is taken (a stale file of a crashed run, or a
// concurrent writer that happens to pick the same name).
constexpr int kTempNameAttempts = 100;
std::atomic<unsigned> g_temp_counter{0};

// Where a safe save writes. Only regular files (or a path that does not exist
// yet) are replaced by rename: a directory, a device or a FIFO keeps the
// plain in-place write, whose open reports or handles them as it always did
// (renaming over /dev/null would replace the device node).
struct SaveTarget {
  Ref fspath;  // os.fspath(dict_path): str or bytes, as open reports it
  bool is_text = false;
  std::string path;  // the file-system encoded path that is replaced
  bool exists = false;
  mode_t mode = 0;  // permission bits of the file being replaced
};

enum class SaveMode { kInPlace, kReplace };

// Decides between the safe save and the plain in-place write. Anything that
// open would refuse, or that is not a plain path to a (future) regular file,
// takes the in-place write, so that open raises exactly what it raises for
// dict_path (None, an int file descriptor, an embedded NUL, a directory).
// Returns -1 only when dict_path's __fspath__ fails with anything but
// TypeError (open would fail the same way).
int choose_save_mode(PyObject* dict_path, SaveTarget& target, SaveMode& mode) {
  mode = SaveMode::kInPlace;
  target.fspath = Ref::steal(PyOS_FSPath(dict_path));
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
  std::string path(bytes, static_cast<size_t>(size));

  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return 0;
    target.path = std::move(path);
    mode = SaveMode::kReplace;
    return 0;
  }
  if (S_ISLNK(st.st_mode)) {
    // Writing through a link updates the file it names; replacing the link
    // itself would cut it off. A dangling link keeps the in-place write,
    // which creates the file the link names.
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return 0;
    path = real;
    std::free(real);
    if (stat(path.c_str(), &st) != 0) return 0;
  }
  if (!S_ISREG(st.st_mode)) return 0;
  target.path = std::move(path);
  target.exists = true;
  target.mode = st.st_mode & 07777;
  mode = SaveMode::kReplace;
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

// Reports an open failure as open would for dict_path itself: the fresh file
// lies in dict_path's directory, so a missing directory, a refused permission
// or a full disk are the same diagnosis.
void name_user_path_in_error(PyObject* fspath) {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return;
  PyObject* exc = PyErr_GetRaisedException();
  if (PyObject_SetAttr(exc, str(Str::filename), fspath) < 0) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

// open(<fresh name>, "xb"); null with the exception set on failure.
Ref open_temp(const SaveTarget& target, TempFile& temp) {
  for (int attempt = 1;; attempt++) {
    unsigned serial = g_temp_counter.fetch_add(1, std::memory_order_relaxed);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%lx-%x.tmp", static_cast<unsigned long>(getpid()),
                  serial);
    temp.path = target.path + suffix;
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
    if (!PyErr_ExceptionMatches(PyExc_FileExistsError) || attempt == kTempNameAttempts) {
      return Ref();
    }
    PyErr_Clear();
  }
}

// flush() and fsync(fileno()): the data is on disk before the rename makes it
// the dictionary, so a crash right after leaves either the old or the new file.
bool sync_to_disk(PyObject* file) {
  Ref flushed = call_method(file, str(Str::flush), nullptr, 0);
  if (!flushed) return false;
  Ref fileno = call_method(file, str(Str::fileno), nullptr, 0);
  if (!fileno) return false;
  int fd = PyLong_AsInt(fileno.get());
  if (fd == -1 && PyErr_Occurred()) return false;
  PyThreadState* released = PyEval_SaveThread();
  int rc = fsync(fd);
  PyEval_RestoreThread(released);
  if (rc != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  return true;
}

// The `with` block: pickle.dump(data, f). Returns 1 when written and closed,
// 0 when the body failed and __exit__ swallowed the error, -1 on failure with
// the traceback entries added.
int dump_block(PyObject* file, PyObject* data, bool sync) {
  const Trace& tb = kSaveTrace;
  WithBlock blk;
  if (!blk.enter(file)) return tb.fail_status(line::kSaveOpen);
  bool written = false;
  {
    Ref pickle = get_global(str(Str::pickle));
    Ref dump = pickle ? Ref::steal(PyObject_GetAttr(pickle.get(), str(Str::dump))) : Ref();
    Ref result = dump ? call2(dump.get(), data, blk.value()) : Ref();
    written = result && (!sync || sync_to_disk(blk.value()));
  }
  if (!written) {
    tb.add(line::kSaveDump);
    if (blk.leave_with_pending() == 0) return tb.fail_status(line::kSaveOpen);
    return 0;
  }
  if (!blk.leave_normally()) return tb.fail_status(line::kSaveOpen);
  return 1;
}

// The plain write: open(dict_path, "wb") truncates the file first.
PyObject* save_in_place(PyObject* dict_path, PyObject* data) {
  Ref file = call2(builtin(Builtin::open), dict_path, str(Str::mode_wb));
  if (!file) return kSaveTrace.fail(line::kSaveOpen);
  if (dump_block(file.get(), data, false) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* save_replacing(PyObject* dict_path, const SaveTarget& target, PyObject* data) {
  const Trace& tb = kSaveTrace;
  TempFile temp;
  Ref file = open_temp(target, temp);
  if (!file) {
    // A directory we may not write to while the file itself is writable: the
    // fresh file cannot exist there, and refusing to save would be worse than
    // the in-place write the caller could always do.
    if (target.exists && PyErr_ExceptionMatches(PyExc_PermissionError) &&
        access(target.path.c_str(), W_OK) == 0) {
      PyErr_Clear();
      return save_in_place(dict_path, data);
    }
    name_user_path_in_error(target.fspath.get());
    return tb.fail(line::kSaveOpen);
  }
  // The new dictionary keeps the old file's permissions (best effort: a
  // file system that refuses chmod still gets the dictionary).
  if (target.exists) chmod(temp.path.c_str(), target.mode);
  int written = dump_block(file.get(), data, true);
  if (written < 0) return nullptr;
  if (written == 0) Py_RETURN_NONE;  // swallowed: nothing complete to install
  PyThreadState* released = PyEval_SaveThread();
  int rc = rename(temp.path.c_str(), target.path.c_str());
  PyEval_RestoreThread(released);
  if (rc != 0) {
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, temp.name.get(), target.fspath.get());
    return tb.fail(line::kSaveOpen);
  }
  temp.armed = false;
  Py_RETURN_NONE;
}

PyObject* save_dict_body(CompressorObject* self) {
  const Trace& tb = kSaveTrace;
  Ref data = Ref::steal(PyDict_New());
  if (!data) return tb.fail(line::kSaveDict);
  if (PyDict_SetItem(data.get(), str(Str::dict), self->global_dict) < 0) {
    return tb.fail(line::kSaveDict);
  }
  Ref next_id = Ref::steal(PyLong_FromLong(self->next_id));
  if (!next_id) return tb.fail(line::kSaveNextId);
  if (PyDict_SetItem(data.get(), str(Str::next_id), next_id.get()) < 0) {
    return tb.fail(line::kSaveDict);
  }
  Ref dict_path = Ref::borrow(self->dict_path);
  SaveTarget target;
  SaveMode mode;
  if (choose_save_mode(dict_path.get(), target, mode) < 0) return tb.fail(line::kSaveOpen);
  if (mode == SaveMode::kInPlace) return save_in_place(dict_path.get(), data.get());
  return save_replacing(dict_path.get(), target, data.get());
}

}  // namespace

PyObject* load_dict_wrapper(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (check_no_arguments("load_dict", nargs, kwnames) < 0) return nullptr;
  return load_dict_body(as_compressor(self));
}

PyObject* save_dict_wrapper(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (check_no_arguments("save_dict", nargs, kwnames) < 0) return nullptr;
  return save_dict_body(as_compressor(self));
}

}  // namespace ormek
