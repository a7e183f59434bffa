// check_package: whether a package restores, and restores what was packed,
// found without writing anything. The package is read natively, its token
// table straight from the pickled dictionary (native_package.hpp), or else
// loaded as plain data (as decode_package loads it); its id stream is
// decompressed, and each file's text made in memory, as UTF-8, straight
// into its digest (content_digest.hpp), which is compared with the
// package's "file_facts" when it carries them. It answers the stored names
// and how far the package's checks reach (ChecksReach, file_facts.hpp), as
// judge_package does without restoring. Without them it checks what
// restoring would refuse: the layout, the stored names, ids beyond the id
// range and tokens that are not text.
//
// The compressor is neither read nor changed, so no call lock is taken.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "compressor/decode/file_digests.hpp"
#include "compressor/decode/native_package.hpp"
#include "compressor/decode/tokens_by_id.hpp"
#include "compressor/function_table.hpp"
#include "compressor/package/file_facts.hpp"
#include "compressor/package/format.hpp"
#include "compressor/package/id_stream.hpp"
#include "compressor/package/judged_package.hpp"
#include "compressor/package/safe_load.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kCheckPackageRow = function_row("check_package");

// check_package's statements, at the lines of their traceback entries.
constexpr struct CheckPackageLines {
  int binding = kCheckPackageRow.first_line;
  int open_package = 186, load_package = 187, decompress = 189, restore = 191;
} kCheckPackageLines{};

constexpr Trace kCheckPackageTrace = kCheckPackageRow.trace();

bool not_a_package(const char* what) {
  PyErr_Format(PyExc_ValueError, msg::kNotAPackage, what);
  return false;
}

// The parts of a package that restoring reads, each of the type the encoder
// writes.
struct PackageParts {
  PyObject* compressed = nullptr;
  PyObject* boundaries = nullptr;
  PyObject* names = nullptr;
  PyObject* dictionary = nullptr;
};

bool take_parts(PyObject* package, PackageParts& parts) {
  if (!PyDict_CheckExact(package)) return not_a_package(msg::kNotAPackageNotADict);
  auto get = [package](Str key) { return PyDict_GetItemWithError(package, str(key)); };
  parts.compressed = get(Str::compressed);
  parts.boundaries = parts.compressed ? get(Str::file_boundaries) : nullptr;
  parts.names = parts.boundaries ? get(Str::filenames) : nullptr;
  parts.dictionary = parts.names ? get(Str::global_dict) : nullptr;
  if (PyErr_Occurred()) return false;
  if (!parts.names) return not_a_package(msg::kNotAPackageKeyMissing);
  if (!PyBytes_CheckExact(parts.compressed) && !PyByteArray_CheckExact(parts.compressed)) {
    return not_a_package(msg::kNotAPackageCompressed);
  }
  if (!PyList_CheckExact(parts.boundaries) || !PyList_CheckExact(parts.names)) {
    return not_a_package(msg::kNotAPackageLists);
  }
  if (parts.dictionary && !PyDict_CheckExact(parts.dictionary)) {
    return not_a_package(msg::kNotAPackageGlobalDict);
  }
  return true;
}

// The id stream: "compressed" itself, or its decompressed content.
Ref id_stream(PyObject* compressed, bool use_zstd) {
  if (!use_zstd) return Ref::steal(PyBytes_FromObject(compressed));
  Ref data = decompress_stream(compressed);
  if (data && !PyBytes_CheckExact(data.get())) {
    Ref bytes = Ref::steal(PyBytes_FromObject(data.get()));
    data = bytes;
  }
  return data;
}

// Restoring makes the inverse dict, which hashes every id: an id that cannot
// be hashed (a list, say) fails there, so it fails the check too.
bool ids_hash(PyObject* global_dict) {
  if (!global_dict) return true;
  bool hashed = true;
  Py_BEGIN_CRITICAL_SECTION(global_dict);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (hashed && PyDict_Next(global_dict, &pos, &key, &value)) {
    hashed = PyLong_CheckExact(value) || PyObject_Hash(value) != -1;
  }
  Py_END_CRITICAL_SECTION();
  return hashed;
}

// Restores each file into its digest and compares it with its facts, when
// the package carries them (file_digests.hpp): over `data`, the stream
// whose records are at `payload`, as `streamed` walked it while it was
// made, if it did. `tokens` are the tokens by id as restoring looks them up
// (tokens_by_id.hpp): filled from the package's "global_dict" unless it was
// read natively.
bool check_files(const PackageParts& parts, const JudgedPackage& judged, PyObject* data,
                 const unsigned char* payload, Py_ssize_t num_tokens, TokensById& tokens,
                 bool native, StreamDigestWalk& streamed) {
  if (!native && (!ids_hash(parts.dictionary) || !tokens.fill_from_tokens(parts.dictionary))) {
    return false;
  }
  return streamed.walk(tokens.table(), payload, num_tokens, judged, nullptr, data).end ==
         DigestWalkEnd::kMatched;
}

}  // namespace

PyObject* check_package_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  BoundArguments bound;
  if (!kCheckPackageRow.bind(args, nargs, kwnames, bound)) return nullptr;
  const int use_zstd = truth_value(bound[1]);
  if (use_zstd < 0) return kCheckPackageTrace.fail(kCheckPackageLines.binding);
  if (!check_exact_type(bound[0], &PyUnicode_Type, Str::package_path)) return nullptr;
  // package = pickle.load(f): natively where that applies (native_package.hpp).
  Ref package;
  TokensById tokens;
  PackageFile file;
  const NativeRead native = read_package_natively(bound[0], use_zstd != 0, file, package, tokens);
  if (native == NativeRead::kFailed) {
    kCheckPackageTrace.add(kCheckPackageLines.load_package);
    return kCheckPackageTrace.fail(kCheckPackageLines.open_package);
  }
  if (native == NativeRead::kPlain &&
      load_package_file(bound[0], kCheckPackageTrace, kCheckPackageLines.open_package,
                        kCheckPackageLines.load_package, package) == BlockEnd::kFailed) {
    return nullptr;
  }
  if (!package) {
    PyErr_Format(PyExc_UnboundLocalError, msg::kUnboundLocal, "package");
    return kCheckPackageTrace.fail(kCheckPackageLines.load_package);
  }
  PackageParts parts;
  if (!take_parts(package.get(), parts))
    return kCheckPackageTrace.fail(kCheckPackageLines.load_package);
  // The package judged as restoring judges it (judged_package.hpp).
  JudgedPackage judged;
  if (!judge_package(package.get(), false, judged)) {
    return kCheckPackageTrace.fail(kCheckPackageLines.load_package);
  }

  // A stream left in the file is walked while it is decompressed.
  StreamDigestWalk streamed(file);
  if (file.payload_left()) streamed.follow(tokens.table(), judged, nullptr);
  Ref data = file.payload_left() ? streamed.stream() : id_stream(parts.compressed, use_zstd != 0);
  if (!data) return kCheckPackageTrace.fail(kCheckPackageLines.decompress);
  const Py_ssize_t num_tokens = records_in_stream(PyBytes_GET_SIZE(data.get()));
  if (num_tokens < 0) return kCheckPackageTrace.fail(kCheckPackageLines.decompress);
  const auto* payload = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.get()));
  if (package::has_oversized_record(payload, num_tokens)) {
    PyErr_SetString(PyExc_ValueError, msg::kIdOutOfRange);
    return kCheckPackageTrace.fail(kCheckPackageLines.restore);
  }
  if (!check_files(parts, judged, data.get(), payload, num_tokens, tokens,
                   native == NativeRead::kRead, streamed)) {
    return kCheckPackageTrace.fail(kCheckPackageLines.restore);
  }
  return checks_answer(parts.names, judged);
}

}  // namespace ormek
