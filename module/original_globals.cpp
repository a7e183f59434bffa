// The originals of the module globals and the question asked of them (see
// original_globals.hpp).
#include "module/original_globals.hpp"

#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"

namespace ormek {

namespace {

// Where start-up keeps the original of `which` and of the module global it
// lives on (null for os.path.join, whose module is reached through `os`).
struct Recorded {
  PyObject* module;
  PyObject* attribute;
};

Recorded recorded(Original which) {
  const auto& o = g_state.original;
  switch (which) {
    case Original::kReFindall:
      return {o.re, o.re_findall};
    case Original::kPickleLoad:
      return {o.pickle, o.pickle_load};
    case Original::kPickleDump:
      return {o.pickle, o.pickle_dump};
    case Original::kZstdCompressor:
      return {o.zstd, o.zstd_compressor};
    case Original::kZstdDecompressor:
      return {o.zstd, o.zstd_decompressor};
    case Original::kOsPathJoin:
      return {nullptr, o.os_path_join};
  }
  return {nullptr, nullptr};
}

// The module global and attribute names of `which`.
struct Names {
  Str module;
  Str attribute;
};

Names names(Original which) {
  switch (which) {
    case Original::kReFindall:
      return {Str::re, Str::findall};
    case Original::kPickleLoad:
      return {Str::pickle, Str::load};
    case Original::kPickleDump:
      return {Str::pickle, Str::dump};
    case Original::kZstdCompressor:
      return {Str::zstd, Str::ZstdCompressor};
    case Original::kZstdDecompressor:
      return {Str::zstd, Str::ZstdDecompressor};
    case Original::kOsPathJoin:
      return {Str::os, Str::join};
  }
  return {Str::os, Str::join};
}

}  // namespace

bool is_original(Original which, PyObject* attribute, PyObject* module) {
  const Recorded original = recorded(which);
  return attribute && attribute == original.attribute && (!module || module == original.module);
}

bool global_is_original(Original which) {
  if (which == Original::kOsPathJoin) {
    Ref join = os_path_attribute(Str::join);
    if (!join) PyErr_Clear();
    return is_original(which, join.get());
  }
  const Names name = names(which);
  Ref module = get_global(str(name.module));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (module.get() != recorded(which).module) return false;
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(module.get(), str(name.attribute), &value) < 0) PyErr_Clear();
  Ref attribute = Ref::steal(value);
  return is_original(which, attribute.get(), module.get());
}

int record_original_globals() {
  auto global = [](Str name) { return PyDict_GetItemWithError(g_state.module_dict, str(name)); };
  auto keep = [](PyObject*& slot, PyObject* value) {
    if (!value) return false;
    replace_field(slot, value);
    return true;
  };
  auto keep_attr = [](PyObject*& slot, PyObject* owner, Str name) {
    Ref value = Ref::steal(PyObject_GetAttr(owner, str(name)));
    if (!value) return false;
    replace_field(slot, std::move(value));
    return true;
  };
  auto& o = g_state.original;
  Ref os = Ref::borrow(global(Str::os));
  if (!os || !keep(o.re, global(Str::re)) || !keep(o.pickle, global(Str::pickle)) ||
      !keep(o.zstd, global(Str::zstd))) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, msg::kModuleGlobalMissing);
    return -1;
  }
  Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), str(Str::path)));
  if (!os_path || !keep_attr(o.os_path_join, os_path.get(), Str::join)) return -1;
  if (!keep_attr(o.re_findall, o.re, Str::findall) ||
      !keep_attr(o.pickle_load, o.pickle, Str::load) ||
      !keep_attr(o.pickle_dump, o.pickle, Str::dump) ||
      !keep_attr(o.zstd_compressor, o.zstd, Str::ZstdCompressor) ||
      !keep_attr(o.zstd_decompressor, o.zstd, Str::ZstdDecompressor)) {
    return -1;
  }
  return 0;
}

}  // namespace ormek
