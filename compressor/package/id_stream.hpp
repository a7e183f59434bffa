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
//
// A package that numbers its own tokens need not hold its stream whole: its
// records are compressed piece by piece as they are made (PieceCompression),
// so that only the frame is held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "compressor/package/byte_window.hpp"
#include "compressor/package/stream_progress.hpp"
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

// The frame of a stream made piece by piece: zstd.ZstdCompressor(level=level,
// threads=threads).compressobj(length) fed kPieceBytes at a time, then
// flushed. Told the stream's length up front, the binding states it in the
// frame's header, as its one-shot compression does, so that one-shot
// decompression (which sizes its output by that field) restores the frame;
// and no call is given more than a piece, whatever the stream's length.
// Only for the module's own binding (streams_in_pieces): a replaced one gets
// the one-shot call over the whole stream, as the plain way makes it.
//
// A stream whose length is not known yet (its records are still being made)
// is begun without it, and its frame is given the header the length makes
// once the last piece is in (zstd_frame::sized_header): the same frame.
class PieceCompression {
 public:
  static constexpr size_t kPieceBytes = size_t{1} << 20;
  static constexpr Py_ssize_t kUnknownLength = -1;

  // Whether a stream of `length` bytes is made this way: the binding is the
  // module's own and the stream big enough for pieces to save memory.
  static bool streams_in_pieces(Py_ssize_t length);

  // Begins the frame of a stream of `length` bytes (kUnknownLength: its
  // size is stated at finish()); false with the exception set (the caller
  // adds its traceback entry).
  bool begin(int32_t level, int32_t threads, Py_ssize_t length);
  // Room for the next `bytes` (at most kPieceBytes) of the stream, which
  // the caller fills; the full piece before them is compressed first (and a
  // signal answered, unless the caller answers them itself). Null with the
  // exception set.
  uint8_t* room(size_t bytes);
  void answer_signals(bool answer) { answers_signals_ = answer; }
  // Once every byte of the stream was given: the last piece compressed, and
  // the binding's flush begun on a helper thread (it runs no code of the
  // user's), so that the caller may go on with other work while the end of
  // the frame is made. False with the exception set; finish() is then not
  // called. Only for callers with such work: on the free-threaded host a
  // flush on a helper raised a 300 MiB log's pack peak by 25 to 45 MB.
  bool begin_flush();
  // The whole frame once every byte of the stream was given (flushed here
  // unless begin_flush() began it), or null with the exception set.
  Ref finish();

 private:
  bool compress_piece();
  bool compress_last_piece();
  bool keep_frame_piece(Ref piece);
  Ref joined_frame(const unsigned char* head = nullptr, size_t head_bytes = 0, size_t skip = 0);
  Ref sized_frame();

  Ref compressor_;
  Ref level_;  // kept when the size is stated at the end
  Ref threads_;
  Py_ssize_t stream_bytes_ = 0;  // given so far
  bool answers_signals_ = true;
  std::unique_ptr<uint8_t[]> piece_;
  size_t filled_ = 0;
  Ref frame_pieces_;  // a list of the bytes the compressor gave back
  Py_ssize_t frame_bytes_ = 0;
  bool flushing_ = false;
  BackgroundCall flush_;  // not started: flushed on the caller's thread
};

// zstd.ZstdDecompressor().decompress(data); null with the exception set (the
// caller adds its traceback entry).
Ref decompress_stream(PyObject* data);

// The stream of the frame whose `size` bytes `read` gives (a ByteWindow
// source, such as a package file's payload where it stands), made without
// holding the frame: the module's own binding's stream_reader is handed the
// frame a piece at a time and decompresses straight into a buffer of the
// size the frame's header states. It stands in for decompress_stream over
// the frame's bytes, whose one-shot call sizes its output the same way, only
// where that call would make the same bytes: the bytes are one frame exactly
// (walked by its blocks' headers) whose header states its size, and the
// reader makes that many bytes and reaches the frame's end. Null with
// nothing set where it does not apply or the reader fails: the caller then
// makes the one-shot call over the whole frame, which gives that frame's
// result or error. Null with the exception set when a signal handler raised.
//
// With `followed`, the stream's bytes are published there as they are made
// (a megabyte at a time), and the stream is abandoned there when it is not
// made whole.
struct FollowedStream;
Ref decompress_frame_in_pieces(ByteWindow::ReadAt read, void* source, uint64_t size,
                               FollowedStream* followed = nullptr);

// A stream decompressed while other threads read it (StreamProgress). The
// bytes object is kept here from the moment it is begun, so that it stays
// until the readers are done, whatever becomes of the call that made it
// (one that fails drops its own reference).
struct FollowedStream {
  StreamProgress progress;
  Ref stream;

  // Whether `data` is this stream, made whole: what the readers found holds
  // for it.
  bool made(PyObject* data) const { return data && data == stream.get() && progress.whole(); }
};

// decompress_frame_in_pieces over the `size` bytes at `at` of an open file,
// begun on a helper thread while the caller reads on (the package's
// dictionary), through a descriptor of its own, so that the helper reads
// nothing of the caller's once left. Only the module's own binding runs
// there, which calls no code of the user's; the caller takes the stream
// once it would decompress the same bytes.
class EarlyFrame {
 public:
  EarlyFrame() = default;
  EarlyFrame(const EarlyFrame&) = delete;
  EarlyFrame& operator=(const EarlyFrame&) = delete;
  // A frame not taken stops at its next piece.
  ~EarlyFrame() { stop(); }

  // Begins on a helper thread; nothing begun (and nothing set) when no
  // descriptor or thread could be had.
  void start(int fd, uint64_t at, uint64_t size);
  // Tells a frame begun to stop at its next piece, its stream not wanted.
  void stop();
  bool started() const { return static_cast<bool>(source_); }
  bool started_for(uint64_t at, uint64_t size) const {
    return source_ && at_ == at && size_ == size;
  }
  // Once started_for the frame to decompress: its stream, or null with
  // nothing set where the piece way did not apply or failed (the caller then
  // makes the one-shot call), or null with the exception a signal handler
  // raised while waiting.
  Ref finish();
  // Once started: the stream as it is made, kept until this frame goes.
  FollowedStream& followed() const;

 private:
  Ref source_;  // a capsule: the descriptor and where to stop
  BackgroundCall call_;
  uint64_t at_ = 0;
  uint64_t size_ = 0;
};

// The number of records in a loaded package's id stream of `length` bytes
// (len(data) // 4); -1 with OverflowError when it passes the layout's record
// limit (the caller adds its traceback entry). Such a stream would wrap the
// 32-bit record count, so it is refused before anything is restored.
Py_ssize_t records_in_stream(Py_ssize_t length);

}  // namespace ormek
