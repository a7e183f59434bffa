// A package read natively for checking or restoring it: its values as the
// host's unpickler makes them (package_file.hpp), its payload read from the
// file where it stands, and its id -> UTF-8 table filled straight from the
// pickled dictionary's bytes (pickled_tokens.hpp), with no host object per
// token and no "global_dict" made.
//
// It stands in for the package = pickle.load(f) of check_package and of the
// decoding methods that need not fill the object's dictionaries; where it
// does not apply it answers kPlain and the caller loads the package the
// host's way, which gives that package's result or error exactly. It does
// not apply to a package in a shape the walk does not take, whose keys may
// repeat, whose keys hold a lone surrogate, or whose tokens do not fit the
// table, nor once the user replaced pickle.load or, when the payload is to
// be decompressed, zstd.ZstdDecompressor: a replaced one is called as the
// host's way calls it.
#pragma once

#include <Python.h>

#include "compressor/decode/tokens_by_id.hpp"
#include "compressor/package/package_file.hpp"
#include "module/ref.hpp"

namespace ormek {

// kRead with `package` (its "global_dict" an empty dict) and `tokens` set;
// kPlain with nothing set; kFailed with a signal handler's exception set.
// The package is read through `file`, which the caller keeps: with
// `use_zstd`, a payload that stands apart is left in the file
// (file.payload_left()) for payload_stream to decompress.
NativeRead read_package_natively(PyObject* path, bool use_zstd, PackageFile& file, Ref& package,
                                 TokensById& tokens);

// The id stream of the payload read_package_natively left in `file`, as
// zstd.ZstdDecompressor().decompress(payload) makes it, in two steps. First
// decompressed from the file a piece at a time where that makes the same
// bytes (decompress_frame_in_pieces), so that the frame is never held
// whole: by the decompression begun early, when one was, or here. Its bytes
// are published as they are made to payload_followed(file, own). Null with
// nothing set where that does not apply or failed; null with a signal
// handler's exception set.
Ref payload_stream_in_pieces(PackageFile& file, FollowedStream& own);
// Then, where the first step gave nothing, that call over the payload read
// whole, which gives its result or error. Null with the exception set (the
// caller adds its traceback entry).
Ref payload_stream_whole(PackageFile& file);
// Gives the pages of the C heap's freed memory back to the system (in
// every heap of the allocator's, one per thread that used one).
void give_back_freed_heap();

// Where payload_stream_in_pieces publishes the stream's bytes: the early
// decompression's, else `own`.
FollowedStream& payload_followed(PackageFile& file, FollowedStream& own);

}  // namespace ormek
