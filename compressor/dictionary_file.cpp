// The dictionary file: load_dict reads the token dictionary at dict_path into
// the compressor, save_dict writes it there. The file is one pickle stream of
// {"dict": global_dict, "next_id": next_id}.
#include "compressor/atomic_file.hpp"
#include "compressor/inverse_dict.hpp"
#include "compressor/object.hpp"
#include "compressor/pickle_snapshot.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

CompressorObject* as_compressor(PyObject* op) { return reinterpret_cast<CompressorObject*>(op); }

// ---------------------------------------------------------------------------
// load_dict

namespace line {
constexpr int kLoadExists = 22;
constexpr int kLoadOpen = 23;
constexpr int kLoadPickle = 24;
constexpr int kLoadGlobalDict = 25;
constexpr int kLoadInverseDict = 26;
constexpr int kLoadNextId = 27;
}  // namespace line

constexpr Trace kLoadTrace{"ormek_compressor.OrmekCompressor.load_dict", kFileCompressor};

// The body of the `with` block over the open file; 0, or the line of the
// failing statement with the exception pending.
int load_from_file(CompressorObject* self, PyObject* file) {
  Ref pickle = get_global(str(Str::pickle));
  if (!pickle) return line::kLoadPickle;
  Ref load = Ref::steal(PyObject_GetAttr(pickle.get(), str(Str::load)));
  if (!load) return line::kLoadPickle;
  Ref data = call1(load.get(), file);
  if (!data) return line::kLoadPickle;

  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return line::kLoadGlobalDict;
  PyObject* get_args[] = {str(Str::dict), empty.get()};
  Ref global_dict = call_method(data.get(), str(Str::get), get_args, 2);
  if (!global_dict) return line::kLoadGlobalDict;
  replace_field(self->global_dict, std::move(global_dict));

  Ref inverse_dict = build_inverse_dict(self->global_dict);
  if (!inverse_dict) return line::kLoadInverseDict;
  replace_field(self->inverse_dict, std::move(inverse_dict));

  Ref get = Ref::steal(PyObject_GetAttr(data.get(), str(Str::get)));
  if (!get) return line::kLoadNextId;
  PyObject* next_id_args[] = {PyTuple_GET_ITEM(g_state.next_id_lookup_args, 0),
                              PyTuple_GET_ITEM(g_state.next_id_lookup_args, 1)};
  Ref next_id = call(get.get(), next_id_args, 2);
  if (!next_id) return line::kLoadNextId;
  int32_t value = as_int32(next_id.get());
  if (value == -1 && PyErr_Occurred()) return line::kLoadNextId;
  self->next_id = value;
  return 0;
}

PyObject* load_dict_body(CompressorObject* self) {
  const Trace& tb = kLoadTrace;
  {
    Ref os = get_global(str(Str::os));
    if (!os) return tb.fail(line::kLoadExists);
    Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), str(Str::path)));
    if (!os_path) return tb.fail(line::kLoadExists);
    Ref dict_path = Ref::borrow(self->dict_path);
    PyObject* arg = dict_path.get();
    Ref exists = call_method(os_path.get(), str(Str::exists), &arg, 1);
    if (!exists) return tb.fail(line::kLoadExists);
    int found = truth_value(exists.get());
    if (found < 0) return tb.fail(line::kLoadExists);
    if (!found) Py_RETURN_NONE;
  }
  Ref dict_path = Ref::borrow(self->dict_path);
  Ref file = call2(builtin(Builtin::open), dict_path.get(), str(Str::mode_rb));
  if (!file) return tb.fail(line::kLoadOpen);
  WithBlock blk;
  if (!blk.enter(file.get())) return tb.fail(line::kLoadOpen);
  if (int failed_line = load_from_file(self, blk.value())) {
    tb.add(failed_line);
    if (blk.leave_with_pending() == 0) return tb.fail(line::kLoadOpen);
    Py_RETURN_NONE;  // __exit__ swallowed it: the fields stay as far as the steps got
  }
  if (!blk.leave_normally()) return tb.fail(line::kLoadOpen);
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// save_dict
//
// The stream goes through the replace-on-success writer of atomic_file.hpp,
// so a failing dump never costs the old dictionary.

namespace line {
constexpr int kSaveDict = 31;
constexpr int kSaveNextId = 32;
constexpr int kSaveOpen = 34;
constexpr int kSaveDump = 35;
}  // namespace line

constexpr Trace kSaveTrace{"ormek_compressor.OrmekCompressor.save_dict", kFileCompressor};

PyObject* save_dict_body(CompressorObject* self) {
  const Trace& tb = kSaveTrace;
  Ref data = Ref::steal(PyDict_New());
  if (!data) return tb.fail(line::kSaveDict);
  Ref dumped_dict = dumped_global_dict(self->global_dict);
  if (!dumped_dict || PyDict_SetItem(data.get(), str(Str::dict), dumped_dict.get()) < 0) {
    return tb.fail(line::kSaveDict);
  }
  Ref next_id = Ref::steal(PyLong_FromLong(self->next_id));
  if (!next_id) return tb.fail(line::kSaveNextId);
  if (PyDict_SetItem(data.get(), str(Str::next_id), next_id.get()) < 0) {
    return tb.fail(line::kSaveDict);
  }
  Ref dict_path = Ref::borrow(self->dict_path);
  int written =
      dump_pickle_replacing(dict_path.get(), data.get(), tb, line::kSaveOpen, line::kSaveDump);
  if (written < 0) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* load_dict_wrapper(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (check_no_arguments("load_dict", nargs, kwnames) < 0) return nullptr;
  CallGuard guard(call_lock_of(self));
  return load_dict_body(as_compressor(self));
}

PyObject* save_dict_wrapper(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (check_no_arguments("save_dict", nargs, kwnames) < 0) return nullptr;
  CallGuard guard(call_lock_of(self));
  return save_dict_body(as_compressor(self));
}

}  // namespace ormek
