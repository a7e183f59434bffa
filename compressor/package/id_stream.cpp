// The id stream's Zstandard frame (see id_stream.hpp).
#include "compressor/package/id_stream.hpp"

#include <atomic>

#include "compressor/package/format.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/original_globals.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

std::atomic<PyObject*> g_compressor_kw{nullptr};

// compressor_class(level=level, threads=threads).compress(stream); null with
// the exception set.
PyObject* compress_frame(PyObject* compressor_class, PyObject* level, PyObject* threads,
                         PyObject* stream) {
  PyObject* kwvalues[] = {level, threads};
  PyObject* kwnames = keyword_names(g_compressor_kw, {Str::level, Str::threads});
  if (!kwnames) return nullptr;
  Ref compressor = call(compressor_class, kwvalues, 0, kwnames);
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
