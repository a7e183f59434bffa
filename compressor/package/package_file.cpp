// A package file read natively (see package_file.hpp).
#include "compressor/package/package_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "module/messages.hpp"
#include "module/original_globals.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

using Kind = PickledValue::Kind;

// Values nested deeper than this (a package's facts nest three levels) are
// left to the host's way, which makes any depth without recursing.
constexpr int kDeepest = 32;

// The unpickler's own decoding of a pickled str.
Ref make_str(std::string_view bytes) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass"));
}

}  // namespace

PackageFile::~PackageFile() {
  if (fd_ >= 0) close(fd_);
}

// Reads at an offset, answering signals first: a handler that raises ends
// the walk as the unpickler's signal-checked reads end a load. A walk
// detached from the host attaches for the signals alone.
int64_t PackageFile::read_at(void* self, uint64_t at, unsigned char* into, size_t size) {
  auto* file = static_cast<PackageFile*>(self);
  if (file->detached_) PyEval_RestoreThread(file->detached_);
  const bool interrupted = PyErr_CheckSignals() < 0;
  if (file->detached_) file->detached_ = PyEval_SaveThread();
  if (interrupted) {
    file->interrupted_ = true;
    return -1;
  }
  for (;;) {
    const ssize_t got = pread(file->fd_, into, size, static_cast<off_t>(at));
    if (got >= 0) return got;
    if (errno != EINTR) {
      file->read_errno_ = errno;
      return -1;
    }
  }
}

void PackageFile::decompress_early(const PickledValue& payload) {
  early_frame_.start(fd_, payload.at, payload.size);
  if (early_payload_started() && !detached_) detached_ = PyEval_SaveThread();
}

NativeRead PackageFile::read(PyObject* path, DictionarySink& sink) {
  // The host's way loads through pickle.load; a replaced one is called as it is.
  if (!PyUnicode_CheckExact(path) || !global_is_original(Original::kPickleLoad)) {
    return PyErr_Occurred() ? NativeRead::kFailed : NativeRead::kPlain;
  }
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path, &encoded)) {
    PyErr_Clear();  // the host's open() gives this path's error
    return NativeRead::kPlain;
  }
  Ref name = Ref::steal(encoded);
  fd_ = open(PyBytes_AS_STRING(name.get()), O_RDONLY | O_CLOEXEC);
  return fd_ < 0 ? NativeRead::kPlain : walk_file(walk_, sink);
}

NativeRead PackageFile::walk_again(DictionarySink& sink) {
  PackageWalk again;
  const NativeRead read = walk_file(again, sink);
  if (read != NativeRead::kRead) return read;
  return again.dictionary_entries() == walk_.dictionary_entries() &&
                 again.value_count() == walk_.value_count()
             ? NativeRead::kRead
             : NativeRead::kPlain;
}

// The open file walked from its start with `walk`.
NativeRead PackageFile::walk_file(PackageWalk& walk, DictionarySink& sink) {
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return NativeRead::kPlain;
  ByteWindow window(read_at, this, static_cast<uint64_t>(st.st_size));
  WalkEnd end = WalkEnd::kOtherShape;
  try {
    sink.expect(static_cast<uint64_t>(st.st_size));
    end = walk.walk(window, sink);
  } catch (const std::bad_alloc&) {
    end = WalkEnd::kOtherShape;  // the host's way says how it runs out of memory
  }
  if (detached_) PyEval_RestoreThread(std::exchange(detached_, nullptr));
  if (interrupted_) return NativeRead::kFailed;
  return end == WalkEnd::kRead ? NativeRead::kRead : NativeRead::kPlain;
}

Ref PackageFile::value(uint32_t index) {
  if (made_.empty()) {
    try {
      made_.resize(walk_.value_count());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return Ref();
    }
  }
  return make(index, 0);
}

Ref PackageFile::make(uint32_t index, int depth) {
  if (made_[index]) return Ref::borrow(made_[index].get());
  if (depth > kDeepest) {
    PyErr_SetString(PyExc_RecursionError, "nested too deep for the native reader");
    return Ref();
  }
  const PickledValue& v = walk_.value(index);
  Ref made;
  switch (v.kind) {
    case Kind::kStr:
      made = make_str(walk_.bytes(v));
      break;
    case Kind::kBytes:
    case Kind::kPayload:  // its first bytes: the outline's
      made = Ref::steal(PyBytes_FromStringAndSize(walk_.bytes(v).data(),
                                                  static_cast<Py_ssize_t>(walk_.bytes(v).size())));
      break;
    case Kind::kInt:
      made = Ref::steal(PyLong_FromLongLong(v.value));
      break;
    case Kind::kWideInt:
      made = Ref::steal(PyLong_FromNativeBytes(walk_.bytes(v).data(), walk_.bytes(v).size(),
                                               Py_ASNATIVEBYTES_LITTLE_ENDIAN));
      break;
    case Kind::kDictionary:  // its entries went to the sink
      made = Ref::steal(PyDict_New());
      break;
    case Kind::kList:
    case Kind::kDict:
      made = make_container(v, depth);
      break;
  }
  if (made) made_[index] = Ref::borrow(made.get());
  return made;
}

// A list or dict, its items made (and shared) as the unpickler makes them.
Ref PackageFile::make_container(const PickledValue& v, int depth) {
  const std::vector<uint32_t>& items = walk_.items(v);
  if (v.kind == Kind::kList) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; list && i < items.size(); i++) {
      Ref item = make(items[i], depth + 1);
      if (!item) return Ref();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
  }
  Ref dict = Ref::steal(PyDict_New());
  for (size_t i = 0; dict && i < items.size(); i += 2) {
    Ref key = make(items[i], depth + 1);
    Ref value = key ? make(items[i + 1], depth + 1) : Ref();
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return Ref();
  }
  return dict;
}

Ref PackageFile::outline() {
  Ref package = Ref::steal(PyDict_New());
  for (int entry = 0; package && entry < PackageWalk::kEntries; entry++) {
    const uint32_t index = walk_.entry(static_cast<PackageWalk::Entry>(entry));
    if (index == PackageWalk::kNone) break;
    Ref key = make_str(PackageWalk::entry_key(static_cast<PackageWalk::Entry>(entry)));
    Ref item = key ? value(index) : Ref();
    if (item && entry == PackageWalk::kCompressed) {  // its first bytes alone, whatever its size
      item = Ref::steal(PyBytes_FromStringAndSize(
          PyBytes_AS_STRING(item.get()),
          std::min<Py_ssize_t>(PyBytes_GET_SIZE(item.get()), PackageWalk::kHeadBytes)));
    }
    if (!item || PyDict_SetItem(package.get(), key.get(), item.get()) < 0) return Ref();
  }
  return package;
}

Ref PackageFile::package(bool payload_later) {
  Ref package = outline();
  if (!package) return Ref();
  const uint32_t index = walk_.entry(PackageWalk::kCompressed);
  const bool apart = walk_.value(index).kind == Kind::kPayload;
  if (apart && payload_later) {
    payload_left_ = true;
    return package;
  }
  Ref payload = apart ? read_payload() : value(index);
  if (!payload || PyDict_SetItem(package.get(), str(Str::compressed), payload.get()) < 0) {
    return Ref();
  }
  return package;
}

// The located payload's bytes, read in pieces so that a signal is answered
// between them.
Ref PackageFile::read_payload() {
  const PickledValue& stored = walk_.value(walk_.entry(PackageWalk::kCompressed));
  Ref payload =
      Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(stored.size)));
  if (!payload) return Ref();
  auto* into = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(payload.get()));
  constexpr uint64_t kPiece = uint64_t{1} << 23;
  for (uint64_t done = 0; done < stored.size;) {
    const size_t piece = static_cast<size_t>(std::min(kPiece, stored.size - done));
    const int64_t got = read_at(this, stored.at + done, into + done, piece);
    if (interrupted_) return Ref();
    if (got <= 0) {  // the file failed, or was cut, since the walk
      PyErr_SetString(PyExc_OSError, msg::kPackageChangedWhileRead);
      return Ref();
    }
    done += static_cast<uint64_t>(got);
  }
  return payload;
}

int64_t PackageFile::read_payload_at(void* self, uint64_t at, unsigned char* into, size_t size) {
  auto* file = static_cast<PackageFile*>(self);
  const PickledValue& stored = file->walk_.value(file->walk_.entry(PackageWalk::kCompressed));
  if (at >= stored.size) return 0;
  return read_at(self, stored.at + at, into,
                 static_cast<size_t>(std::min<uint64_t>(size, stored.size - at)));
}

EarlyFrame* PackageFile::early_payload() {
  const uint32_t index = walk_.entry(PackageWalk::kCompressed);
  if (index == PackageWalk::kNone) return nullptr;
  const PickledValue& stored = walk_.value(index);
  return early_frame_.started_for(stored.at, stored.size) ? &early_frame_ : nullptr;
}

uint64_t PackageFile::payload_size() const {
  const PickledValue& payload = walk_.value(walk_.entry(PackageWalk::kCompressed));
  return payload.kind == Kind::kPayload ? payload.size : walk_.bytes(payload).size();
}

}  // namespace ormek
