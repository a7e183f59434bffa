// The native package pickler (see package_pickler.hpp).
#include "compressor/package/package_pickler.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "compressor/package/pickle_emitter.hpp"
#include "module/host_calls.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// The pickle's bytes to `file`.write, a frame (or a long payload) at a
// time; the pending signal handlers run before each write.
struct FileSink {
  PyObject* file;
  bool write(const unsigned char* data, size_t size) {
    if (size == 0) return true;
    if (PyErr_CheckSignals() < 0) return false;
    // A view of the bytes, not a copy: a long payload is written in place.
    Ref view =
        Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(data)),
                                           static_cast<Py_ssize_t>(size), PyBUF_READ));
    PyObject* arg = view.get();
    return view && call_method(file, str(Str::write), &arg, 1);
  }
};

// The pickle's bytes kept in memory, but for the stand-in stream's, whose
// place is noted instead; a write that would take the image past its bound
// is refused.
struct ImageSink {
  std::vector<unsigned char>& bytes;
  const unsigned char* stand_in;
  size_t stand_in_size;
  size_t& stream_at;
  bool write(const unsigned char* data, size_t size) {
    if (data == stand_in && size == stand_in_size) {
      stream_at = bytes.size();
      return true;
    }
    if (size > PackageImage::kMaxBytes - bytes.size()) return false;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
};

// The opcode and length that stand before a stream of `size` bytes, outside
// the frames (kFrameTarget bytes or more); how many bytes they take.
size_t stream_header(uint64_t size, unsigned char (&header)[9]) {
  const int width = size <= pickle_layout::kLongLength ? 4 : 8;
  header[0] = width == 4 ? pickle_layout::kBinBytes : pickle_layout::kBinBytes8;
  pickle_layout::store_little_endian(header + 1, size, width);
  return 1 + static_cast<size_t>(width);
}

bool is_plain(PyObject* obj, PyObject* stand_in, std::unordered_set<PyObject*>& path) {
  if (obj == stand_in || PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj)) return true;
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0;
  }
  const bool is_list = PyList_CheckExact(obj);
  if (!is_list && !PyDict_CheckExact(obj)) return false;
  if (!path.insert(obj).second) return false;  // a container within itself
  bool plain = true;
  if (is_list) {
    for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(obj); i++) {
      plain = is_plain(PyList_GET_ITEM(obj, i), stand_in, path);
    }
  } else {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (plain && PyDict_Next(obj, &pos, &key, &value)) {
      plain = is_plain(key, stand_in, path) && is_plain(value, stand_in, path);
    }
  }
  path.erase(obj);
  return plain;
}

// Saves the objects of a package as the host's pickler does, remembering
// which memo index each memoized object took.
template <typename Sink>
class PackageWalk {
 public:
  PackageWalk(PickleEmitter<Sink>& emitter, PyObject* stand_in, const TokenDictionary& tokens)
      : emitter_(emitter), stand_in_(stand_in), tokens_(tokens) {}

  void save(PyObject* obj) {
    if (!emitter_.ok()) return;
    if (obj == stand_in_) return save_tokens();
    if (PyLong_CheckExact(obj)) return emitter_.save_int(PyLong_AsLongLong(obj));
    if (const auto seen = memo_.find(obj); seen != memo_.end()) {
      return emitter_.save_memo_reference(seen->second);
    }
    uint64_t index;
    if (PyUnicode_CheckExact(obj)) {
      index = emitter_.save_text(PyUnicode_DATA(obj), PyUnicode_KIND(obj),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
    } else if (PyBytes_CheckExact(obj)) {
      index =
          emitter_.save_bytes(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    } else if (PyList_CheckExact(obj)) {
      index = emitter_.save_list(static_cast<size_t>(PyList_GET_SIZE(obj)),
                                 [&](size_t i) { save(PyList_GET_ITEM(obj, i)); });
    } else {
      Py_ssize_t pos = 0;
      index = emitter_.save_dict(static_cast<size_t>(PyDict_GET_SIZE(obj)), [&](size_t) {
        PyObject* key;
        PyObject* value;
        if (!PyDict_Next(obj, &pos, &key, &value)) return;
        save(key);
        save(value);
      });
    }
    memo_.emplace(obj, index);
  }

 private:
  // The token dictionary: each key a fresh str but for the host's shared
  // one-character strs, each value an int.
  void save_tokens() {
    emitter_.save_dict(tokens_.size(), [&](size_t k) {
      if (!emitter_.ok()) return;
      const TokenEntry entry = tokens_.entry(k);
      save_token(entry);
      emitter_.save_int(entry.id);
    });
  }

  void save_token(const TokenEntry& entry) {
    const uint32_t first = entry.length != 1 ? 0x100
                           : entry.kind == 1 ? *static_cast<const uint8_t*>(entry.units)
                           : entry.kind == 2 ? *static_cast<const uint16_t*>(entry.units)
                                             : *static_cast<const uint32_t*>(entry.units);
    if (first >= 0x100) {
      emitter_.save_text(entry.units, entry.kind, entry.length);
      return;
    }
    // The host's own str for the character (immortal: no reference kept).
    Ref shared = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(first)));
    if (const auto seen = memo_.find(shared.get()); seen != memo_.end()) {
      emitter_.save_memo_reference(seen->second);
      return;
    }
    memo_.emplace(shared.get(), emitter_.save_text(entry.units, entry.kind, entry.length));
  }

  PickleEmitter<Sink>& emitter_;
  PyObject* stand_in_;
  const TokenDictionary& tokens_;
  std::unordered_map<PyObject*, uint64_t> memo_;
};

// The host's default protocol: what pickle.dump writes without one.
constexpr int kHostProtocol = PY_VERSION_HEX >= 0x030E0000 ? 5 : 4;

// The dict `tokens` describes, as host objects: what the host's pickler is
// given in place of the stand-in.
Ref token_dict_object(const TokenDictionary& tokens) {
  Ref dict = Ref::steal(PyDict_New());
  for (size_t k = 0; dict && k < tokens.size(); k++) {
    const TokenEntry entry = tokens.entry(k);
    Ref key = Ref::steal(
        PyUnicode_FromKindAndData(entry.kind, entry.units, static_cast<Py_ssize_t>(entry.length)));
    Ref id = key ? Ref::steal(PyLong_FromLong(entry.id)) : Ref();
    if (!id || PyDict_SetItem(dict.get(), key.get(), id.get()) < 0) return Ref();
  }
  return dict;
}

}  // namespace

void NativePackageDump::pickle_ahead(PyObject* package, PyObject* stream_stand_in,
                                     size_t expected_bytes, PackageImage& image) const {
  if (!PyDict_CheckExact(package)) return;
  std::vector<unsigned char>& bytes = image.bytes_;
  try {
    std::unordered_set<PyObject*> path;
    if (!is_plain(package, stand_in_, path)) return;
    bytes.reserve(std::min(expected_bytes, PackageImage::kMaxBytes));
    size_t stream_at = std::numeric_limits<size_t>::max();
    const auto stand_in_size = static_cast<size_t>(PyBytes_GET_SIZE(stream_stand_in));
    ImageSink sink{bytes,
                   reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(stream_stand_in)),
                   stand_in_size, stream_at};
    PickleEmitter<ImageSink> emitter(sink);
    PackageWalk<ImageSink> walk(emitter, stand_in_, tokens_);
    emitter.begin(kHostProtocol);
    walk.save(package);
    unsigned char header[9];
    const size_t header_bytes = stream_header(stand_in_size, header);
    if (emitter.finish() && stream_at != std::numeric_limits<size_t>::max() &&
        stream_at >= header_bytes &&
        std::equal(header, header + header_bytes, bytes.begin() + (stream_at - header_bytes))) {
      image.head_ = stream_at - header_bytes;
      image.tail_at_ = stream_at;
      image.package_ = package;
      return;
    }
  } catch (const std::bad_alloc&) {
  }
  std::vector<unsigned char>().swap(bytes);
}

// The image written with `stream` where its stand-in stood.
bool NativePackageDump::write_image(const PackageImage& image, PyObject* stream, PyObject* file) {
  FileSink sink{file};
  const std::vector<unsigned char>& bytes = image.bytes_;
  unsigned char header[9];
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(stream));
  return sink.write(bytes.data(), image.head_) && sink.write(header, stream_header(size, header)) &&
         sink.write(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(stream)), size) &&
         sink.write(bytes.data() + image.tail_at_, bytes.size() - image.tail_at_);
}

bool NativePackageDump::dump(PyObject* dump, bool dump_is_original, PyObject* package,
                             PyObject* file, PyObject* host_target) const {
  bool native = false;
  if (dump_is_original && PyDict_CheckExact(package)) {
    try {
      std::unordered_set<PyObject*> path;
      native = is_plain(package, stand_in_, path);
    } catch (const std::bad_alloc&) {
      native = false;  // the host's pickler, then
    }
  }
  if (native && image_ && image_->package_ == package) {
    PyObject* stream = PyDict_GetItemWithError(package, str(Str::compressed));
    if (stream && PyBytes_CheckExact(stream) &&
        static_cast<size_t>(PyBytes_GET_SIZE(stream)) >= pickle_layout::kFrameTarget) {
      return write_image(*image_, stream, file);
    }
    if (PyErr_Occurred()) return false;
  }
  if (native) {
    try {
      FileSink sink{file};
      PickleEmitter<FileSink> emitter(sink);
      PackageWalk<FileSink> walk(emitter, stand_in_, tokens_);
      emitter.begin(kHostProtocol);
      walk.save(package);
      return emitter.finish();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
  }
  // The stand-in's key keeps its place in the package.
  Ref tokens = token_dict_object(tokens_);
  if (!tokens || PyDict_SetItem(package, str(Str::global_dict), tokens.get()) < 0) return false;
  return static_cast<bool>(call2(dump, package, host_target));
}

}  // namespace ormek
