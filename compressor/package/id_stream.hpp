// The id stream in and out of its Zstandard frame: the encoder compresses it
// once every id is known, decode_package and check_package decompress it and
// count its records.
//
// Both directions go through the module globals (`zstd.ZstdCompressor`,
// `zstd.ZstdDecompressor`) as the module's own statements do. While those are
// the module's own binding, which runs no code of the user's, a big stream is
// compressed or decompressed on a helper thread (module/background_work.hpp):
// a signal is answered meanwhile, and the encoder enters its new tokens while
// the frame is made.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/background_work.hpp"
#include "module/ref.hpp"

namespace ormek {

// From this many bytes of stream on, the module's own binding compresses or
// decompresses on a helper thread. Below it, starting a thread costs more
// than it saves.
inline constexpr Py_ssize_t kBackgroundStreamBytes = Py_ssize_t{1} << 18;

// zstd.ZstdCompressor(level=level, threads=threads).compress(stream), begun
// early on a helper thread where that runs no code of the user's.
class FrameCompression {
 public:
  // `stream`: the filled bytearray of records, held until finish().
  FrameCompression(PyObject* stream, int32_t level, int32_t threads);

  // Starts the compression on a helper thread when the stream is big and the
  // binding the module's own; otherwise finish() compresses here.
  void start_early();
  // The frame, or null with the exception set (the caller adds its traceback
  // entry): a failure to make the level and thread count is raised here, as
  // the compressor's call would have raised it.
  Ref finish();

 private:
  Ref stream_;
  Ref level_;
  Ref threads_;
  Ref argument_error_;
  BackgroundCall background_;
};

// zstd.ZstdDecompressor().decompress(data); null with the exception set (the
// caller adds its traceback entry).
Ref decompress_stream(PyObject* data);

// The number of records in a loaded package's id stream of `length` bytes
// (len(data) // 4); -1 with OverflowError when it passes the layout's record
// limit (the caller adds its traceback entry). Such a stream would wrap the
// 32-bit record count, so it is refused before anything is restored.
Py_ssize_t records_in_stream(Py_ssize_t length);

}  // namespace ormek
