// The plain-data load of packages (see safe_load.hpp).
#include "compressor/package/safe_load.hpp"

#include <Python.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "compressor/package/pickle_opcode_scan.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/original_globals.hpp"
#include "module/signal_checked_file.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// A package written by encode_files from a dict-based dictionary holds only
// dicts, lists, str, bytes and ints. While pickle.load is still the host's own,
// the package is therefore loaded so that no class or function can be
// reached: the opcode scan of pickle_opcode_scan.hpp refuses extension codes and
// oversized memo indices, and an unpickler whose find_class knows only the
// few globals that rebuild plain data in old protocols refuses every other
// global. A user who replaced pickle or its load gets exactly what they
// installed, unrestricted.

PyObject* safe_loader_error();

// Raised for every refusal, so callers catch one type whatever was refused.
PyObject* refuse_arguments(const char* what) {
  PyErr_Format(safe_loader_error(), msg::kRefusedArguments, what);
  return nullptr;
}

bool is_latin1_name(PyObject* name) {
  return PyUnicode_CheckExact(name) &&
         (PyUnicode_EqualToUTF8(name, "latin1") || PyUnicode_EqualToUTF8(name, "latin-1"));
}

// (text, "latin1"): how protocols 0 to 2 carry the bytes of bytes and bytearray.
bool is_latin1_text(PyObject* const* args, Py_ssize_t nargs) {
  return nargs == 2 && PyUnicode_CheckExact(args[0]) && is_latin1_name(args[1]);
}

// Stand-ins for the callables find_class hands out. Each rebuilds only the
// argument shapes that pickling plain data writes (bytes(), bytearray(),
// bytearray(b"..."), _codecs.encode("...", "latin1"), and the text shape for
// the two types): an int argument would make a zero-filled buffer of its
// value, and any other encoding would run the host's codec search, which
// registered search functions (user code) take part in.
PyObject* rebuild_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs == 0) return PyBytes_FromStringAndSize(nullptr, 0);
  if (nargs == 1 && (PyBytes_CheckExact(args[0]) || PyByteArray_CheckExact(args[0]))) {
    return PyBytes_FromObject(args[0]);
  }
  if (is_latin1_text(args, nargs)) return PyUnicode_AsLatin1String(args[0]);
  return refuse_arguments("builtins.bytes");
}

PyObject* rebuild_bytearray(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs == 0) return PyByteArray_FromStringAndSize(nullptr, 0);
  if (nargs == 1 && (PyBytes_CheckExact(args[0]) || PyByteArray_CheckExact(args[0]))) {
    return PyByteArray_FromObject(args[0]);
  }
  if (is_latin1_text(args, nargs)) {
    Ref bytes = Ref::steal(PyUnicode_AsLatin1String(args[0]));
    return bytes ? PyByteArray_FromObject(bytes.get()) : nullptr;
  }
  return refuse_arguments("builtins.bytearray");
}

PyObject* encode_latin1(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (is_latin1_text(args, nargs)) return PyUnicode_AsLatin1String(args[0]);
  return refuse_arguments("_codecs.encode");
}

PyMethodDef kRebuildBytesDef = {"bytes", reinterpret_cast<PyCFunction>(rebuild_bytes),
                                METH_FASTCALL, nullptr};
PyMethodDef kRebuildBytearrayDef = {"bytearray", reinterpret_cast<PyCFunction>(rebuild_bytearray),
                                    METH_FASTCALL, nullptr};
PyMethodDef kEncodeLatin1Def = {"encode", reinterpret_cast<PyCFunction>(encode_latin1),
                                METH_FASTCALL, nullptr};

// What the safe load needs, made on first use and kept for the process.
struct SafeLoader {
  Ref unpickler_type;   // the host's Unpickler with the find_class below
  Ref error;            // pickle.UnpicklingError
  Ref bytes_io;         // io.BytesIO
  Ref buffered_reader;  // io.BufferedReader
  Ref rebuild_bytes;
  Ref rebuild_bytearray;
  Ref encode_latin1;
};

std::atomic<SafeLoader*> g_safe_loader{nullptr};

PyObject* safe_loader_error() { return g_safe_loader.load(std::memory_order_acquire)->error.get(); }

// Unpickler.find_class(module, name): the allow-list. Protocols 0 to 2 name
// the built-ins "__builtin__" (fix_imports), later ones "builtins"; set and
// frozenset are handed out as the types themselves (their constructors only
// iterate what the stream built), the rest as the stand-ins above.
PyObject* find_class(PyObject*, PyObject* args) {
  PyObject* module;
  PyObject* name;
  if (!PyArg_UnpackTuple(args, "find_class", 2, 2, &module, &name)) return nullptr;
  const SafeLoader& loader = *g_safe_loader.load(std::memory_order_acquire);
  if (PyUnicode_CheckExact(module) && PyUnicode_CheckExact(name)) {
    if (PyUnicode_EqualToUTF8(module, "builtins") || PyUnicode_EqualToUTF8(module, "__builtin__")) {
      if (PyUnicode_EqualToUTF8(name, "set")) return Py_NewRef(&PySet_Type);
      if (PyUnicode_EqualToUTF8(name, "frozenset")) return Py_NewRef(&PyFrozenSet_Type);
      if (PyUnicode_EqualToUTF8(name, "bytes")) return loader.rebuild_bytes.new_ref();
      if (PyUnicode_EqualToUTF8(name, "bytearray")) return loader.rebuild_bytearray.new_ref();
    } else if (PyUnicode_EqualToUTF8(module, "_codecs") && PyUnicode_EqualToUTF8(name, "encode")) {
      return loader.encode_latin1.new_ref();
    }
  }
  PyErr_Format(loader.error.get(), msg::kRefusedGlobal, module, name);
  return nullptr;
}

PyMethodDef kUnpicklerMethods[] = {
    {"find_class", reinterpret_cast<PyCFunction>(find_class), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot kUnpicklerSlots[] = {
    {Py_tp_methods, kUnpicklerMethods},
    {0, nullptr},
};
PyType_Spec kUnpicklerSpec = {"ormek_compressor.PackageUnpickler", 0, 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kUnpicklerSlots};

// The Unpickler of the module that provides the original load (the host's
// native one), not whatever pickle.Unpickler names now.
Ref host_unpickler_type() {
  PyObject* load = g_state.original.pickle_load;
  PyObject* owner = PyCFunction_Check(load) ? PyCFunction_GetSelf(load) : nullptr;
  if (!owner || !PyModule_Check(owner)) owner = g_state.original.pickle;
  Ref type = Ref::steal(PyObject_GetAttrString(owner, "Unpickler"));
  if (type && !PyType_Check(type.get())) {
    raise_expected_type("type", type.get());
    return Ref();
  }
  return type;
}

const SafeLoader* safe_loader() {
  if (const SafeLoader* made = g_safe_loader.load(std::memory_order_acquire)) return made;
  auto* loader = new (std::nothrow) SafeLoader();
  if (!loader) {
    PyErr_NoMemory();
    return nullptr;
  }
  auto give_up = [loader]() -> const SafeLoader* {
    delete loader;
    return nullptr;
  };
  Ref base = host_unpickler_type();
  if (!base) return give_up();
  loader->unpickler_type = Ref::steal(PyType_FromSpecWithBases(&kUnpicklerSpec, base.get()));
  loader->error = Ref::steal(PyObject_GetAttrString(g_state.original.pickle, "UnpicklingError"));
  Ref io = Ref::steal(PyImport_ImportModule("io"));
  if (io) {
    loader->bytes_io = Ref::steal(PyObject_GetAttrString(io.get(), "BytesIO"));
    loader->buffered_reader = Ref::steal(PyObject_GetAttrString(io.get(), "BufferedReader"));
  }
  loader->rebuild_bytes = Ref::steal(PyCFunction_New(&kRebuildBytesDef, nullptr));
  loader->rebuild_bytearray = Ref::steal(PyCFunction_New(&kRebuildBytearrayDef, nullptr));
  loader->encode_latin1 = Ref::steal(PyCFunction_New(&kEncodeLatin1Def, nullptr));
  if (!loader->unpickler_type || !loader->error || !loader->bytes_io || !loader->buffered_reader ||
      !loader->rebuild_bytes || !loader->rebuild_bytearray || !loader->encode_latin1) {
    return give_up();
  }
  // Two threads may both get here (the GIL can be off): the first one to
  // publish wins, the other frees its copy.
  SafeLoader* expected = nullptr;
  if (!g_safe_loader.compare_exchange_strong(expected, loader, std::memory_order_acq_rel)) {
    delete loader;
    return expected;
  }
  return loader;
}

// The first read asks for the whole of a regular file (one read, no growing
// buffer); anything else (a pipe, a device) is read in growing pieces as far
// as the scan needs, so a stream that never ends is not read whole first.
constexpr Py_ssize_t kFirstPiece = Py_ssize_t{1} << 16;
constexpr Py_ssize_t kLargestPiece = Py_ssize_t{1} << 26;

Py_ssize_t first_read_size(PyObject* file) {
  int fd = PyObject_AsFileDescriptor(file);
  if (fd < 0) {
    PyErr_Clear();
    return kFirstPiece;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      st.st_size >= PY_SSIZE_T_MAX) {
    return kFirstPiece;
  }
  return static_cast<Py_ssize_t>(st.st_size) + 1;  // + 1: the read meets the end at once
}

// A copy of `stream` whose last, unfinished counted opcode claims one byte
// more than the stream still holds.
Ref with_short_claim(PyObject* stream, const PickleScan& scan) {
  const Py_ssize_t size = PyBytes_GET_SIZE(stream);
  Ref copy = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(stream), size));
  if (!copy) return Ref();
  auto* data = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(copy.get()));
  const size_t count_at = scan.position + 1;
  uint64_t claim = static_cast<size_t>(size) - (count_at + scan.count_width) + 1;
  for (int i = 0; i < scan.count_width; i++, claim >>= 8) {
    data[count_at + i] = static_cast<unsigned char>(claim & 0xff);
  }
  return copy;
}

// Reads the stream from `file` as far as the scan takes it and checks it;
// the bytes read, or null with the refusal (or the read's error) set.
Ref read_checked_stream(PyObject* file, const SafeLoader& loader) {
  PickleScanner scanner;
  Ref stream;
  Py_ssize_t ask = first_read_size(file);
  for (;;) {
    Ref size_arg = Ref::steal(PyLong_FromSsize_t(ask));
    if (!size_arg) return Ref();
    PyObject* read_args[] = {size_arg.get()};
    Ref piece = call_method(file, str(Str::read), read_args, 1);
    if (!piece) return Ref();
    if (!PyBytes_Check(piece.get())) {
      raise_expected_type("bytes", piece.get());
      return Ref();
    }
    const bool at_end = PyBytes_GET_SIZE(piece.get()) == 0;
    if (!stream) {
      stream = std::move(piece);
    } else if (!at_end) {
      PyObject* joined = stream.release();
      PyBytes_Concat(&joined, piece.get());
      stream = Ref::steal(joined);
      if (!stream) return Ref();
    }
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(stream.get()));
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(stream.get()));
    const PickleScan scan = scanner.scan(data, size);
    switch (scan.verdict) {
      case PickleVerdict::kComplete:
      case PickleVerdict::kLeftToHost:
        return stream;
      case PickleVerdict::kExtensionCode:
        PyErr_Format(loader.error.get(), msg::kRefusedExtensionCode,
                     static_cast<unsigned long long>(scan.value), pickle_opcode_name(scan.opcode),
                     scan.position);
        return Ref();
      case PickleVerdict::kMemoIndex:
        PyErr_Format(loader.error.get(), msg::kRefusedMemoIndex,
                     static_cast<unsigned long long>(scan.value), pickle_opcode_name(scan.opcode),
                     scan.position, size);
        return Ref();
      case PickleVerdict::kNeedMore:
        if (!at_end) break;
        // The stream ends inside a counted opcode. The host would first make
        // a buffer of the length it claims (a flipped byte claims exabytes,
        // and the failure path of a bytearray that size frees a half-made
        // object) and only then find the data missing. The copy it is given
        // claims one byte more than remains instead: everything before runs
        // as it would, and the host reports the truncation in its own words.
        if (scan.count_width > 1) return with_short_claim(stream.get(), scan);
        return stream;  // ends between opcodes or inside a line: the host says so
    }
    const Py_ssize_t have = static_cast<Py_ssize_t>(size);
    const Py_ssize_t step = std::clamp(have, kFirstPiece, kLargestPiece);
    ask = scan.needed > size ? std::min(static_cast<Py_ssize_t>(scan.needed - size), step) : step;
  }
}

// pickle.load(f) restricted to plain data: the checked bytes go to the
// restricted unpickler with the defaults of load (fix_imports, "ASCII",
// "strict"), so every error the host would raise for them stays its own.
// They are read through a buffered reader as the package file is: the host's
// unpickler prefetches from a reader that can peek, and a malformed frame
// fails differently (or not at all) without one.
Ref load_plain_data(PyObject* file) {
  const SafeLoader* loader = safe_loader();
  if (!loader) return Ref();
  Ref stream = read_checked_stream(file, *loader);
  if (!stream) return Ref();
  Ref memory = call1(loader->bytes_io.get(), stream.get());
  if (!memory) return Ref();
  Ref buffer = call1(loader->buffered_reader.get(), memory.get());
  if (!buffer) return Ref();
  stream = Ref();
  Ref reader = signal_checked_reader(buffer.get());
  if (!reader) return Ref();
  Ref unpickler = call1(loader->unpickler_type.get(), reader.get());
  if (!unpickler) return Ref();
  return call_method(unpickler.get(), str(Str::load), nullptr, 0);
}

// The restricted load stands in for pickle.load only while both are the
// host's own: a replaced module or function is called as it is.
bool plain_data_load_applies(PyObject* pickle, PyObject* load) {
  return is_original(Original::kPickleLoad, load, pickle);
}

}  // namespace

// package = pickle.load(f)
Ref load_package(PyObject* file) {
  Ref pickle = get_global(str(Str::pickle));
  if (!pickle) return Ref();
  Ref load = Ref::steal(PyObject_GetAttr(pickle.get(), str(Str::load)));
  if (!load) return Ref();
  if (plain_data_load_applies(pickle.get(), load.get())) return load_plain_data(file);
  return call1(load.get(), file);
}

BlockEnd load_package_file(PyObject* path, const Trace& trace, int open_line, int load_line,
                           Ref& package) {
  Ref file = call2(builtin(Builtin::open), path, str(Str::mode_rb));
  if (!file) return trace.fail(open_line);
  auto body = [&package](PyObject* f, int&) {
    package = load_package(f);
    return static_cast<bool>(package);
  };
  return run_with_block(file.get(), trace, open_line, load_line, body);
}

}  // namespace ormek
