// The id stream's Zstandard frame (see id_stream.hpp).
#include "compressor/package/id_stream.hpp"

#include <atomic>
#include <cstring>
#include <new>

#include "compressor/package/format.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/original_globals.hpp"
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
  Ref size = thread_count ? Ref::steal(PyLong_FromSsize_t(length)) : Ref();
  if (!size) return false;
  Ref compressor =
      make_compressor(g_state.original.zstd_compressor, level_number.get(), thread_count.get());
  PyObject* size_argument = size.get();
  if (compressor) {
    compressor_ = call_method(compressor.get(), str(Str::compressobj), &size_argument, 1);
  }
  frame_pieces_ = compressor_ ? Ref::steal(PyList_New(0)) : Ref();
  if (!frame_pieces_) return false;
  piece_.reset(new (std::nothrow) uint8_t[kPieceBytes]);
  if (!piece_) PyErr_NoMemory();
  return static_cast<bool>(piece_);
}

uint8_t* PieceCompression::room(size_t bytes) {
  if (filled_ + bytes > kPieceBytes && !compress_piece()) return nullptr;
  uint8_t* at = piece_.get() + filled_;
  filled_ += bytes;
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
  return out && keep_frame_piece(std::move(out)) && PyErr_CheckSignals() == 0;
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

// The pieces are joined into one bytes object, each given back once copied.
Ref PieceCompression::finish() {
  const bool compressed = compress_piece();
  piece_.reset();
  Ref last = compressed ? call_method(compressor_.get(), str(Str::flush), nullptr, 0) : Ref();
  compressor_ = Ref();
  if (!last || !keep_frame_piece(std::move(last))) return Ref();
  Ref pieces = std::move(frame_pieces_);
  PyObject* list = pieces.get();
  if (PyList_GET_SIZE(list) == 1) return Ref::borrow(PyList_GET_ITEM(list, 0));
  Ref frame = Ref::steal(PyBytes_FromStringAndSize(nullptr, frame_bytes_));
  if (!frame) return Ref();
  char* out = PyBytes_AS_STRING(frame.get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    PyObject* piece = PyList_GET_ITEM(list, i);
    const Py_ssize_t size = PyBytes_GET_SIZE(piece);
    std::memcpy(out, PyBytes_AS_STRING(piece), static_cast<size_t>(size));
    out += size;
    PyList_SetItem(list, i, Py_NewRef(Py_None));  // given back once copied
  }
  return frame;
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

Py_ssize_t records_in_stream(Py_ssize_t length) {
  const Py_ssize_t count = length / package::kRecordSize;
  if (count <= package::kMaxRecords) return count;
  PyErr_Format(PyExc_OverflowError, msg::kPayloadTooLarge, count, package::kMaxRecords);
  return -1;
}

}  // namespace ormek
