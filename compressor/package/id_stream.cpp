// The id stream's Zstandard frame (see id_stream.hpp).
#include "compressor/package/id_stream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "compressor/package/format.hpp"
#include "compressor/package/zstd_frame.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/original_globals.hpp"
#include "module/signal_checked_file.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

std::atomic<PyObject*> g_compressor_kw{nullptr};

// compressor_class(level=level, threads=threads); null with the exception
// set.
Ref make_compressor(PyObject* compressor_class, PyObject* level, PyObject* threads) {
  PyObject* kwvalues[] = {level, threads};
  PyObject* kwnames = keyword_names(g_compressor_kw, {Str::level, Str::threads});
  if (!kwnames) return Ref();
  return call(compressor_class, kwvalues, 0, kwnames);
}

// compressor_class(level=level, threads=threads).compress(stream); null with
// the exception set.
PyObject* compress_frame(PyObject* compressor_class, PyObject* level, PyObject* threads,
                         PyObject* stream) {
  Ref compressor = make_compressor(compressor_class, level, threads);
  if (!compressor) return nullptr;
  return call_method(compressor.get(), str(Str::compress), &stream, 1).release();
}

// compress_frame for a helper thread. The compressor is made there too: made
// on the calling thread, it raised the peak memory of a 33 MB pack by some
// 20 MB.
PyObject* compress_frame_on_helper(PyObject* const* args) {
  return compress_frame(args[0], args[1], args[2], args[3]);
}

// args[0](args[1]) on a helper thread.
PyObject* call_with_one_argument(PyObject* const* args) {
  return PyObject_CallOneArg(args[0], args[1]);
}

PyObject* call_without_arguments(PyObject* const* args) { return PyObject_CallNoArgs(args[0]); }

}  // namespace

FrameCompression::FrameCompression(PyObject* stream, int32_t level, int32_t threads)
    : stream_(Ref::borrow(stream)) {
  level_ = Ref::steal(PyLong_FromLong(level));
  threads_ = level_ ? Ref::steal(PyLong_FromLong(threads)) : Ref();
  if (!threads_) argument_error_ = Ref::steal(PyErr_GetRaisedException());
}

void FrameCompression::start_early() {
  if (!argument_error_ && PyByteArray_GET_SIZE(stream_.get()) >= kBackgroundStreamBytes &&
      global_is_original(Original::kZstdCompressor) &&
      keyword_names(g_compressor_kw, {Str::level, Str::threads})) {
    background_.start(compress_frame_on_helper, {g_state.original.zstd_compressor, level_.get(),
                                                 threads_.get(), stream_.get()});
  }
  PyErr_Clear();  // a keyword tuple that could not be made is made again by finish()
}

Ref FrameCompression::finish() {
  Ref frame = background_.wait_or([&]() -> Ref {
    if (argument_error_) {
      PyErr_SetRaisedException(argument_error_.release());
      return Ref();
    }
    Ref zstd = get_global(str(Str::zstd));
    Ref compressor_class =
        zstd ? Ref::steal(PyObject_GetAttr(zstd.get(), str(Str::ZstdCompressor))) : Ref();
    if (!compressor_class) return Ref();
    return Ref::steal(
        compress_frame(compressor_class.get(), level_.get(), threads_.get(), stream_.get()));
  });
  stream_ = Ref();  // only the frame is needed from here on
  return frame;
}

bool PieceCompression::streams_in_pieces(Py_ssize_t length) {
  return length >= kBackgroundStreamBytes && global_is_original(Original::kZstdCompressor);
}

bool PieceCompression::begin(int32_t level, int32_t threads, Py_ssize_t length) {
  Ref level_number = Ref::steal(PyLong_FromLong(level));
  Ref thread_count = level_number ? Ref::steal(PyLong_FromLong(threads)) : Ref();
  Ref size =
      thread_count && length != kUnknownLength ? Ref::steal(PyLong_FromSsize_t(length)) : Ref();
  if (!thread_count || (length != kUnknownLength && !size)) return false;
  Ref compressor =
      make_compressor(g_state.original.zstd_compressor, level_number.get(), thread_count.get());
  PyObject* size_argument = size.get();
  if (compressor) {
    compressor_ =
        call_method(compressor.get(), str(Str::compressobj), &size_argument, size ? 1 : 0);
  }
  frame_pieces_ = compressor_ ? Ref::steal(PyList_New(0)) : Ref();
  if (!frame_pieces_) return false;
  piece_.reset(new (std::nothrow) uint8_t[kPieceBytes]);
  if (!piece_) return PyErr_NoMemory() != nullptr;
  if (!size) {
    level_ = std::move(level_number);
    threads_ = std::move(thread_count);
  }
  return true;
}

uint8_t* PieceCompression::room(size_t bytes) {
  if (filled_ + bytes > kPieceBytes && !compress_piece()) return nullptr;
  uint8_t* at = piece_.get() + filled_;
  filled_ += bytes;
  stream_bytes_ += static_cast<Py_ssize_t>(bytes);
  return at;
}

// The filled piece through the compressor; what it gives back is kept. The
// binding takes the piece's bytes in before its call returns, so the piece
// is filled again afterwards.
bool PieceCompression::compress_piece() {
  Ref view = Ref::steal(
      PyMemoryView_FromMemory(reinterpret_cast<char*>(piece_.get()), filled_, PyBUF_READ));
  PyObject* view_argument = view.get();
  Ref out = view ? call_method(compressor_.get(), str(Str::compress), &view_argument, 1) : Ref();
  filled_ = 0;
  return out && keep_frame_piece(std::move(out)) &&
         (!answers_signals_ || PyErr_CheckSignals() == 0);
}

bool PieceCompression::keep_frame_piece(Ref piece) {
  if (!PyBytes_Check(piece.get())) {
    PyErr_SetString(PyExc_TypeError, msg::kFramePieceNotBytes);
    return false;
  }
  if (PyBytes_GET_SIZE(piece.get()) == 0) return true;
  frame_bytes_ += PyBytes_GET_SIZE(piece.get());
  return PyList_Append(frame_pieces_.get(), piece.get()) == 0;
}

bool PieceCompression::compress_last_piece() {
  const bool compressed = compress_piece();
  piece_.reset();
  return compressed;
}

bool PieceCompression::begin_flush() {
  if (!compress_last_piece()) return false;
  flushing_ = true;
  Ref flush = Ref::steal(PyObject_GetAttr(compressor_.get(), str(Str::flush)));
  if (!flush) return false;
  flush_.start(call_without_arguments, {flush.get()});
  return true;
}

Ref PieceCompression::finish() {
  if (!flushing_ && !compress_last_piece()) return Ref();
  Ref last =
      flush_.wait_or([&] { return call_method(compressor_.get(), str(Str::flush), nullptr, 0); });
  compressor_ = Ref();
  if (!last || !keep_frame_piece(std::move(last))) return Ref();
  return level_ ? sized_frame() : joined_frame();
}

// The pieces joined into one bytes object after `head`, their first `skip`
// bytes left out, each given back once copied.
Ref PieceCompression::joined_frame(const unsigned char* head, size_t head_bytes, size_t skip) {
  Ref pieces = std::move(frame_pieces_);
  PyObject* list = pieces.get();
  if (PyList_GET_SIZE(list) == 1 && head_bytes == 0 && skip == 0) {
    return Ref::borrow(PyList_GET_ITEM(list, 0));
  }
  Ref frame = Ref::steal(PyBytes_FromStringAndSize(
      nullptr, frame_bytes_ + static_cast<Py_ssize_t>(head_bytes) - static_cast<Py_ssize_t>(skip)));
  if (!frame) return Ref();
  char* out = PyBytes_AS_STRING(frame.get());
  if (head_bytes) std::memcpy(out, head, head_bytes);
  out += head_bytes;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    PyObject* piece = PyList_GET_ITEM(list, i);
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(piece));
    const size_t skipped = std::min(skip, size);
    std::memcpy(out, PyBytes_AS_STRING(piece) + skipped, size - skipped);
    out += size - skipped;
    skip -= skipped;
    PyList_SetItem(list, i, Py_NewRef(Py_None));  // given back once copied
  }
  return frame;
}

// The frame of a stream begun without its length, with the header that
// length makes in place of the unsized one. Should the binding have written
// another header, the frame is made again in one call from the stream it
// holds, as a stream of known length is.
Ref PieceCompression::sized_frame() {
  PyObject* list = frame_pieces_.get();
  unsigned char unsized[zstd_frame::kUnsizedHeader];
  size_t have = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list) && have < sizeof unsized; i++) {
    PyObject* piece = PyList_GET_ITEM(list, i);
    const size_t take =
        std::min(sizeof unsized - have, static_cast<size_t>(PyBytes_GET_SIZE(piece)));
    std::memcpy(unsized + have, PyBytes_AS_STRING(piece), take);
    have += take;
  }
  unsigned char header[zstd_frame::kLongestHeader];
  const size_t header_bytes =
      have == sizeof unsized
          ? zstd_frame::sized_header(unsized, static_cast<uint64_t>(stream_bytes_), header)
          : 0;
  if (header_bytes) return joined_frame(header, header_bytes, sizeof unsized);
  Ref frame = joined_frame();
  Ref decompressor = frame ? call0(g_state.original.zstd_decompressor) : Ref();
  Ref unpacking =
      decompressor ? call_method(decompressor.get(), str(Str::decompressobj), nullptr, 0) : Ref();
  PyObject* frame_argument = frame.get();
  Ref stream =
      unpacking ? call_method(unpacking.get(), str(Str::decompress), &frame_argument, 1) : Ref();
  if (!stream) return Ref();
  return Ref::steal(
      compress_frame(g_state.original.zstd_compressor, level_.get(), threads_.get(), stream.get()));
}

Ref decompress_stream(PyObject* data) {
  Ref zstd = get_global(str(Str::zstd));
  if (!zstd) return Ref();
  Ref decompressor_type = Ref::steal(PyObject_GetAttr(zstd.get(), str(Str::ZstdDecompressor)));
  if (!decompressor_type) return Ref();
  Ref decompressor = call0(decompressor_type.get());
  if (!decompressor) return Ref();
  Ref decompress = Ref::steal(PyObject_GetAttr(decompressor.get(), str(Str::decompress)));
  if (!decompress) return Ref();
  BackgroundCall background;
  if (is_original(Original::kZstdDecompressor, decompressor_type.get(), zstd.get()) &&
      PyBytes_CheckExact(data) && PyBytes_GET_SIZE(data) >= kBackgroundStreamBytes) {
    background.start(call_with_one_argument, {decompress.get(), data});
  }
  return background.wait_or([&] { return call1(decompress.get(), data); });
}

namespace {

// The frame's bytes as the binding's reader takes them, a piece per read().
// Owned by the capsule that is the read method's self; `read` is cleared
// once the frame is decompressed, so that a reader kept alive reads nothing
// more.
struct FramePieces {
  ByteWindow::ReadAt read;
  void* source;
  uint64_t size;
  uint64_t given = 0;
  bool failed = false;       // a read failed, or was asked for a size that is no size
  bool interrupted = false;  // a signal handler raised
};

constexpr const char kFramePiecesName[] = "ormek.frame_pieces";

void forget_pieces(PyObject* capsule) {
  delete static_cast<FramePieces*>(PyCapsule_GetPointer(capsule, kFramePiecesName));
}

// The source's read(n): the frame's next (at most n) bytes, b"" at its end.
// A failed read ends the frame short (and the caller takes the one-shot
// way); a signal handler's exception ends the reader's call.
PyObject* read_frame_piece(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs) {
  auto* pieces = static_cast<FramePieces*>(PyCapsule_GetPointer(capsule, kFramePiecesName));
  if (!pieces) return nullptr;
  if (PyErr_CheckSignals() < 0) {
    pieces->interrupted = true;
    return nullptr;
  }
  const Py_ssize_t asked = nargs == 1 ? PyLong_AsSsize_t(args[0]) : -1;
  if (asked < 0 || !pieces->read) {
    PyErr_Clear();
    pieces->failed = true;
    return PyBytes_FromStringAndSize(nullptr, 0);
  }
  const auto want = static_cast<Py_ssize_t>(
      std::min<uint64_t>(static_cast<uint64_t>(asked), pieces->size - pieces->given));
  Ref piece = Ref::steal(PyBytes_FromStringAndSize(nullptr, want));
  auto* into = piece ? reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(piece.get())) : nullptr;
  for (Py_ssize_t done = 0; piece && done < want;) {
    const int64_t got =
        pieces->read(pieces->source, pieces->given, into + done, static_cast<size_t>(want - done));
    if (got <= 0) {
      pieces->interrupted = PyErr_Occurred() != nullptr;
      if (pieces->interrupted) return nullptr;
      pieces->failed = true;
      return PyBytes_FromStringAndSize(nullptr, 0);
    }
    done += got;
    pieces->given += static_cast<uint64_t>(got);
  }
  return piece.release();
}

PyMethodDef kReadFramePieceDef = {"read", reinterpret_cast<PyCFunction>(read_frame_piece),
                                  METH_FASTCALL, nullptr};

// The content size of the frame whose `size` bytes `read` gives, when they
// are one frame exactly and its header states a size a bytes object holds;
// 0 otherwise (and with the exception set when a signal handler raised).
uint64_t whole_frame_content(ByteWindow::ReadAt read, void* source, uint64_t size) {
  const auto head_bytes = static_cast<size_t>(std::min<uint64_t>(size, zstd_frame::kLongestHeader));
  ByteWindow head(read, source, size, zstd_frame::kLongestHeader);
  uint64_t content = 0;
  if (!head.have(head_bytes) || !zstd_frame::stated_content_size(head.at(), head_bytes, content) ||
      content == 0 || content > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    return 0;
  }
  // A small window: the walk reads a block's 3-byte header and skips its body.
  ByteWindow blocks(read, source, size, 16);
  return zstd_frame::walk_frame(blocks) == size ? content : 0;
}

// ZstdDecompressor().stream_reader(source, read_size, read_across_frames=
// False, closefd=False) with the module's own binding, `source` an object
// whose read method gives the frame's pieces; null with the exception set.
Ref frame_reader(PyObject* capsule) {
  Ref methods = Ref::steal(PyDict_New());
  Ref read = methods ? Ref::steal(PyCFunction_New(&kReadFramePieceDef, capsule)) : Ref();
  if (!read || PyDict_SetItem(methods.get(), str(Str::read), read.get()) < 0) return Ref();
  Ref source = simple_namespace(methods.get());
  Ref read_size = source ? Ref::steal(PyLong_FromSize_t(ByteWindow::kWindow)) : Ref();
  Ref decompressor = read_size ? call0(g_state.original.zstd_decompressor) : Ref();
  if (!decompressor) return Ref();
  PyObject* reader_args[] = {source.get(), read_size.get(), Py_False, Py_False};
  return call_method(decompressor.get(), str(Str::stream_reader), reader_args, 4);
}

// The stream is made, and published to its readers, a megabyte at a time.
constexpr Py_ssize_t kPublishedBytes = Py_ssize_t{1} << 20;

// reader.readinto() of the `room` bytes at `at`: the count made, 0 at the
// frame's end, -1 with the exception set.
Py_ssize_t read_into(PyObject* reader, char* at, Py_ssize_t room) {
  Ref view = Ref::steal(PyMemoryView_FromMemory(at, room, PyBUF_WRITE));
  PyObject* view_argument = view.get();
  Ref made = view ? call_method(reader, str(Str::readinto), &view_argument, 1) : Ref();
  return made ? PyLong_AsSsize_t(made.get()) : -1;
}

// reader.readinto() over the stream's bytes, a piece at a time (each
// published to `progress` when given), then one more readinto to see the
// frame end: whether the reader made stream's bytes exactly from all of the
// frame. The reader is closed either way: one left open short of the
// frame's end (a failed read) keeps the last piece it was given.
bool read_frame_into(PyObject* capsule, FramePieces& pieces, PyObject* stream,
                     StreamProgress* progress) {
  Ref reader = frame_reader(capsule);
  if (!reader) return false;
  const Py_ssize_t length = PyBytes_GET_SIZE(stream);
  char* const bytes = PyBytes_AS_STRING(stream);
  Py_ssize_t made = 0;
  while (made < length) {
    const Py_ssize_t got =
        read_into(reader.get(), bytes + made, std::min(length - made, kPublishedBytes));
    if (got <= 0) break;
    made += got;
    if (progress) progress->publish(static_cast<size_t>(made));
  }
  char after_end = 0;
  const bool made_all = made == length && read_into(reader.get(), &after_end, 1) == 0;
  PyObject* failure = PyErr_GetRaisedException();
  if (!call_method(reader.get(), str(Str::close), nullptr, 0)) PyErr_Clear();
  PyErr_SetRaisedException(failure);  // null: none
  return made_all && pieces.given == pieces.size && !pieces.failed;
}

// decompress_frame_in_pieces, the stream kept and begun in `followed` when
// given.
Ref frame_in_pieces(ByteWindow::ReadAt read, void* source, uint64_t size,
                    FollowedStream* followed) {
  if (!global_is_original(Original::kZstdDecompressor)) return Ref();
  const uint64_t content = whole_frame_content(read, source, size);
  if (content == 0) return Ref();
  auto* pieces = new (std::nothrow) FramePieces{read, source, size};
  Ref capsule = pieces ? Ref::steal(PyCapsule_New(pieces, kFramePiecesName, forget_pieces)) : Ref();
  if (!capsule) {
    delete pieces;
    PyErr_Clear();
    return Ref();
  }
  Ref stream = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(content)));
  if (stream && followed) {
    followed->stream = Ref::borrow(stream.get());
    followed->progress.begin(
        reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(stream.get())),
        static_cast<size_t>(content));
  }
  const bool made = stream && read_frame_into(capsule.get(), *pieces, stream.get(),
                                              followed ? &followed->progress : nullptr);
  pieces->read = nullptr;
  if (made) return stream;
  // A signal handler's exception stands; any other failure is the one-shot
  // call's to report (or not) in its own words.
  if (!pieces->interrupted) PyErr_Clear();
  return Ref();
}

}  // namespace

Ref decompress_frame_in_pieces(ByteWindow::ReadAt read, void* source, uint64_t size,
                               FollowedStream* followed) {
  Ref stream = frame_in_pieces(read, source, size, followed);
  if (!stream && followed) followed->progress.abandon();
  return stream;
}

namespace {

// The file an EarlyFrame's helper reads: a descriptor of its own, closed
// with the capsule, where the frame stands, whether the caller still wants
// its stream, and the stream as it is made.
struct FrameFile {
  int fd;
  uint64_t at;
  uint64_t size;
  std::atomic<bool> stopped{false};
  FollowedStream followed;
};

constexpr const char kFrameFileName[] = "ormek.frame_file";

FrameFile* frame_file(PyObject* capsule) {
  return static_cast<FrameFile*>(PyCapsule_GetPointer(capsule, kFrameFileName));
}

void close_frame_file(PyObject* capsule) {
  FrameFile* file = frame_file(capsule);
  close(file->fd);
  delete file;
}

// A ByteWindow source over the frame's bytes; fails once stopped.
int64_t read_frame_file(void* self, uint64_t at, unsigned char* into, size_t size) {
  auto* file = static_cast<FrameFile*>(self);
  if (at >= file->size) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, file->size - at));
  for (;;) {
    if (file->stopped.load(std::memory_order_relaxed)) return -1;
    ssize_t got;
    Py_BEGIN_ALLOW_THREADS;
    got = pread(file->fd, into, size, static_cast<off_t>(file->at + at));
    Py_END_ALLOW_THREADS;
    if (got >= 0 || errno != EINTR) return got;
  }
}

// decompress_frame_in_pieces over the capsule's file, on the helper: the
// stream, or None where it did not apply or failed (a helper thread runs no
// signal handler, so nothing else is raised there).
PyObject* frame_file_stream(PyObject* const* args) {
  FrameFile* file = frame_file(args[0]);
  Ref stream = decompress_frame_in_pieces(read_frame_file, file, file->size, &file->followed);
  if (stream) return stream.release();
  PyErr_Clear();
  Py_RETURN_NONE;
}

}  // namespace

void EarlyFrame::start(int fd, uint64_t at, uint64_t size) {
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return;
  auto* file = new (std::nothrow) FrameFile{own, at, size};
  Ref capsule = file ? Ref::steal(PyCapsule_New(file, kFrameFileName, close_frame_file)) : Ref();
  if (!capsule) {
    delete file;
    close(own);
    PyErr_Clear();
    return;
  }
  if (!call_.start(frame_file_stream, {capsule.get()})) return;
  source_ = std::move(capsule);
  at_ = at;
  size_ = size;
}

void EarlyFrame::stop() {
  if (source_) frame_file(source_.get())->stopped.store(true, std::memory_order_relaxed);
}

// The capsule stays until this frame goes: its stream's readers may still
// read it (followed()).
Ref EarlyFrame::finish() {
  Ref made = call_.wait();
  if (!made) stop();  // a signal handler raised: the stream is not wanted
  if (made.get() == Py_None) return Ref();
  return made;
}

FollowedStream& EarlyFrame::followed() const { return frame_file(source_.get())->followed; }

Py_ssize_t records_in_stream(Py_ssize_t length) {
  const Py_ssize_t count = length / package::kRecordSize;
  if (count <= package::kMaxRecords) return count;
  PyErr_Format(PyExc_OverflowError, msg::kPayloadTooLarge, count, package::kMaxRecords);
  return -1;
}

}  // namespace ormek
