// The module state: one process-wide record of the constants, cached built-ins
// and type references that every operation reads its names and literals from.
// It is filled once by start-up and never released.
#pragma once

#include <Python.h>

#include <cstdint>

#include "module/messages.hpp"

namespace ormek {

// String constants: identifier, text, kind. kIdent entries are interned
// identifiers, kText plain text strings.
// clang-format off
#define ORMEK_STRING_TABLE(X)                                                   \
  /* Literals of the compressor's logic and the file-format keys. */           \
  X(token_pattern, "\\S+|\\s+", kText)                                          \
  X(unknown_token, "<UNK>", kText)                                              \
  X(default_dict_path, "larkmoor_dict.bin", kText)                              \
  X(utf_8, "utf-8", kText)                                                      \
  X(mode_r, "r", kIdent)                                                        \
  X(mode_rb, "rb", kIdent)                                                      \
  X(mode_wb, "wb", kIdent)                                                      \
  X(mode_xb, "xb", kIdent)                                                      \
  X(empty, "", kText)                                                           \
  X(compressed, "compressed", kIdent)                                           \
  X(file_boundaries, "file_boundaries", kIdent)                                 \
  X(filenames, "filenames", kIdent)                                             \
  X(global_dict, "global_dict", kIdent)                                         \
  X(file_facts, "file_facts", kIdent)                                           \
  X(version, "version", kIdent)                                                 \
  X(digests, "digests", kIdent)                                                 \
  X(sizes, "sizes", kIdent)                                                     \
  X(modes, "modes", kIdent)                                                     \
  X(mtimes_ns, "mtimes_ns", kIdent)                                             \
  X(empty_dirs, "empty_dirs", kIdent)                                           \
  X(dirs, "dirs", kIdent)                                                       \
  X(dir_modes, "dir_modes", kIdent)                                             \
  X(dir_mtimes_ns, "dir_mtimes_ns", kIdent)                                     \
  X(dir_facts, "dir_facts", kIdent)                                             \
  X(facts_digest, "facts_digest", kIdent)                                       \
  X(checks, "checks", kIdent)                                                   \
  X(dict, "dict", kIdent)                                                       \
  X(next_id, "next_id", kIdent)                                                 \
  /* Module, attribute and keyword names. */                                   \
  X(os, "os", kIdent)                                                           \
  X(path, "path", kIdent)                                                       \
  X(exists, "exists", kIdent)                                                   \
  X(basename, "basename", kIdent)                                               \
  X(join, "join", kIdent)                                                       \
  X(makedirs, "makedirs", kIdent)                                               \
  X(exist_ok, "exist_ok", kIdent)                                               \
  X(re, "re", kIdent)                                                           \
  X(findall, "findall", kIdent)                                                 \
  X(struct_, "struct", kIdent)                                                  \
  X(pickle, "pickle", kIdent)                                                   \
  X(dump, "dump", kIdent)                                                       \
  X(load, "load", kIdent)                                                       \
  X(zstandard, "zstandard", kIdent)                                             \
  X(zstd, "zstd", kIdent)                                                       \
  X(ZstdCompressor, "ZstdCompressor", kIdent)                                   \
  X(ZstdDecompressor, "ZstdDecompressor", kIdent)                               \
  X(compress, "compress", kIdent)                                               \
  X(compressobj, "compressobj", kIdent)                                         \
  X(decompress, "decompress", kIdent)                                           \
  X(decompressobj, "decompressobj", kIdent)                                     \
  X(stream_reader, "stream_reader", kIdent)                                     \
  X(readinto, "readinto", kIdent)                                               \
  X(close, "close", kIdent)                                                     \
  X(level, "level", kIdent)                                                     \
  X(threads, "threads", kIdent)                                                 \
  X(follow_links, "follow_links", kIdent)                                       \
  X(package_dict, "package_dict", kIdent)                                       \
  X(whole, "whole", kIdent)                                                     \
  X(used, "used", kIdent)                                                       \
  X(own, "own", kIdent)                                                         \
  X(write, "write", kIdent)                                                     \
  X(read, "read", kIdent)                                                       \
  X(flush, "flush", kIdent)                                                     \
  X(fileno, "fileno", kIdent)                                                   \
  X(closefd, "closefd", kIdent)                                                 \
  X(raw, "raw", kIdent)                                                         \
  X(encoding, "encoding", kIdent)                                               \
  X(get, "get", kIdent)                                                         \
  X(items, "items", kIdent)                                                     \
  X(update, "update", kIdent)                                                   \
  X(dunder_enter, "__enter__", kIdent)                                          \
  X(dunder_exit, "__exit__", kIdent)                                            \
  X(dunder_dict, "__dict__", kIdent)                                            \
  X(dunder_getstate, "__getstate__", kIdent)                                    \
  X(dunder_setstate, "__setstate__", kIdent)                                    \
  X(dunder_reduce, "__reduce__", kIdent)                                        \
  X(dunder_reduce_ex, "__reduce_ex__", kIdent)                                  \
  X(reduce_cython, "__reduce_cython__", kIdent)                                 \
  X(setstate_cython, "__setstate_cython__", kIdent)                             \
  X(unpickle_compressor, "__pyx_unpickle_OrmekCompressor", kIdent)              \
  X(unpickle_enum, "__pyx_unpickle_Enum", kIdent)                               \
  X(use_setstate, "use_setstate", kIdent)                                       \
  X(state, "state", kIdent)                                                     \
  X(under_dict, "_dict", kIdent)                                                \
  X(dunder_name, "__name__", kIdent)                                            \
  X(dunder_test, "__test__", kIdent)                                            \
  X(dunder_spec, "__spec__", kIdent)                                            \
  X(initializing, "_initializing", kIdent)                                      \
  X(dunder_set_name, "__set_name__", kIdent)                                    \
  X(dunder_vtable, "__pyx_vtable__", kIdent)                                    \
  X(dunder_new, "__new__", kIdent)                                              \
  X(dunder_debug, "__debug__", kIdent)                                          \
  /* The class, its fields and methods. */                                     \
  X(OrmekCompressor, "OrmekCompressor", kIdent)                                 \
  X(dict_path, "dict_path", kIdent)                                             \
  X(load_dict, "load_dict", kIdent)                                             \
  X(tokenize, "tokenize", kIdent)                                               \
  X(detokenize, "detokenize", kIdent)                                           \
  /* Parameter and local names (compressor/function_table.hpp). */                     \
  X(self, "self", kIdent)                                                       \
  X(filepaths, "filepaths", kIdent)                                             \
  X(output_path, "output_path", kIdent)                                         \
  X(zstd_level, "zstd_level", kIdent)                                           \
  X(package_path, "package_path", kIdent)                                       \
  X(count_tokens, "count_tokens", kIdent)                                       \
  X(records, "records", kIdent)                                                 \
  X(size, "size", kIdent)                                                       \
  X(digest, "digest", kIdent)                                                   \
  X(output_dir, "output_dir", kIdent)                                           \
  X(use_zstd, "use_zstd", kIdent)                                               \
  X(text, "text", kIdent)                                                       \
  X(tokens, "tokens", kIdent)                                                   \
  X(f, "f", kIdent)                                                             \
  X(data, "data", kIdent)                                                       \
  X(k, "k", kIdent)                                                             \
  X(v, "v", kIdent)                                                             \
  X(all_tokens, "all_tokens", kIdent)                                           \
  X(packed_tokens, "packed_tokens", kIdent)                                     \
  X(packed_view, "packed_view", kIdent)                                         \
  X(offset, "offset", kIdent)                                                   \
  X(token_id, "token_id", kIdent)                                               \
  X(token, "token", kIdent)                                                     \
  X(package, "package", kIdent)                                                 \
  X(num_tokens, "num_tokens", kIdent)                                           \
  X(restored_tokens, "restored_tokens", kIdent)                                 \
  X(i, "i", kIdent)                                                             \
  X(start_idx, "start_idx", kIdent)                                             \
  X(boundary, "boundary", kIdent)                                               \
  X(filename, "filename", kIdent)                                               \
  X(entries, "entries", kIdent)                                                 \
  X(paths, "paths", kIdent)                                                     \
  X(name, "name", kIdent)                                                       \
  X(names, "names", kIdent)                                                     \
  X(pyx_state, "__pyx_state", kIdent)                                           \
  X(pyx_type, "__pyx_type", kIdent)                                             \
  X(pyx_checksum, "__pyx_checksum", kIdent)                                     \
  X(pyx_PickleError, "__pyx_PickleError", kIdent)                               \
  X(pyx_result, "__pyx_result", kIdent)                                         \
  /* Module and error-message names. */                                         \
  X(module_name, "ormek_compressor", kIdent)                                    \
  X(incompatible_checksums, msg::kIncompatibleChecksums, kText)                 \
  X(incompatible_enum_checksums, msg::kIncompatibleEnumChecksums, kText)        \
  X(PickleError, "PickleError", kIdent)                                         \
  X(enum_name, "name", kText)
// clang-format on

enum class Str : int {
#define ORMEK_STRING_ENUM(id, text, kind) id,
  ORMEK_STRING_TABLE(ORMEK_STRING_ENUM)
#undef ORMEK_STRING_ENUM
      count
};

// Integer constants: identifier, value.
#define ORMEK_INT_TABLE(X)       \
  X(one, 1)                      \
  X(four, 4)                     \
  X(six, 6)                      \
  X(eight, 8)                    \
  X(sixteen, 16)                 \
  X(twenty_four, 24)             \
  X(checksum_18c54b4, 0x18c54b4) \
  X(checksum_3e12e10, 0x3e12e10) \
  X(checksum_6ae9995, 0x6ae9995) \
  X(checksum_7d3093e, 0x7d3093e) \
  X(checksum_82a3537, 0x82a3537) \
  X(checksum_b068931, 0xb068931)

enum class Int : int {
#define ORMEK_INT_ENUM(id, value) id,
  ORMEK_INT_TABLE(ORMEK_INT_ENUM)
#undef ORMEK_INT_ENUM
      count
};

// The built-ins start-up looks up, in this order; the first one missing fails
// start-up with NameError. KEPT(identifier, name) entries are cached for the
// operations; CHECKED(name) entries are looked up only for that failure, and
// their values are not kept.
#define ORMEK_BUILTIN_TABLE(KEPT, CHECKED) \
  KEPT(open, "open")                       \
  CHECKED("range")                         \
  KEPT(zip, "zip")                         \
  CHECKED("__import__")                    \
  CHECKED("ValueError")                    \
  CHECKED("MemoryError")                   \
  CHECKED("enumerate")                     \
  CHECKED("TypeError")                     \
  CHECKED("AssertionError")                \
  CHECKED("Ellipsis")                      \
  CHECKED("id")                            \
  CHECKED("IndexError")

enum class Builtin : int {
#define ORMEK_BUILTIN_ENUM(id, name) id,
#define ORMEK_BUILTIN_NONE(name)
  ORMEK_BUILTIN_TABLE(ORMEK_BUILTIN_ENUM, ORMEK_BUILTIN_NONE)
#undef ORMEK_BUILTIN_ENUM
#undef ORMEK_BUILTIN_NONE
      count
};

struct ModuleState {
  PyObject* module_dict = nullptr;
  PyObject* builtins = nullptr;

  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;

  PyTypeObject* function_type = nullptr;

  PyObject* strings[static_cast<int>(Str::count)] = {};
  PyObject* ints[static_cast<int>(Int::count)] = {};
  PyObject* builtin_objects[static_cast<int>(Builtin::count)] = {};

  // Constant tuples.
  PyObject* enum_checksums = nullptr;       // (0x82a3537, 0x6ae9995, 0xb068931)
  PyObject* next_id_lookup_args = nullptr;  // ("next_id", 1)
  PyObject* state_checksums = nullptr;      // (0x3e12e10, 0x7d3093e, 0x18c54b4)

  // The objects start-up found behind the module globals. Fast paths ask
  // about them only through original_globals.hpp.
  struct {
    PyObject* os_path_join = nullptr;
    PyObject* re = nullptr;
    PyObject* re_findall = nullptr;
    PyObject* pickle = nullptr;
    PyObject* pickle_load = nullptr;
    PyObject* pickle_dump = nullptr;
    PyObject* zstd = nullptr;
    PyObject* zstd_compressor = nullptr;
    PyObject* zstd_decompressor = nullptr;
  } original;
};

extern ModuleState g_state;

inline PyObject* str(Str s) { return g_state.strings[static_cast<int>(s)]; }
inline PyObject* integer(Int i) { return g_state.ints[static_cast<int>(i)]; }
inline PyObject* builtin(Builtin b) { return g_state.builtin_objects[static_cast<int>(b)]; }

// Start-up pieces that fill the state (each returns 0, or -1 with an exception).
int make_empty_constants();
int make_string_and_int_constants();
// Looks up the built-in __debug__ and tests its truth, only so that start-up
// fails when that test raises; nothing reads the answer.
int check_debug_flag();
int cache_builtins();
int make_constant_tuples();

}  // namespace ormek
