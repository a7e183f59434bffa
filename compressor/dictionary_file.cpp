// The dictionary file: load_dict reads the token dictionary at dict_path into
// the compressor, save_dict writes it there. The file is one pickle stream of
// {"dict": global_dict, "next_id": next_id}.
#include "compressor/function_table.hpp"
#include "compressor/inverse_dict.hpp"
#include "compressor/object.hpp"
#include "compressor/package/pickle_snapshot.hpp"
#include "compressor/package/pickle_writer.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/original_globals.hpp"
#include "module/ref.hpp"
#include "module/signal_checked_file.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

constexpr const FunctionRow& kLoadDictRow = function_row("load_dict");
constexpr const FunctionRow& kSaveDictRow = function_row("save_dict");

// load_dict's statements, at the lines of their traceback entries.
constexpr struct LoadDictLines {
  int exists = 22, open = 23, pickle = 24, global_dict = 25, inverse_dict = 26, next_id = 27;
} kLoadDictLines{};
// save_dict's statements.
constexpr struct SaveDictLines {
  int dict = 31, next_id = 32, open = 34, dump = 35;
} kSaveDictLines{};

constexpr Trace kLoadDictTrace = kLoadDictRow.trace();
constexpr Trace kSaveDictTrace = kSaveDictRow.trace();

// ---------------------------------------------------------------------------
// load_dict

// The body of the `with` block over the open file (see run_with_block).
bool load_from_file(CompressorObject* self, PyObject* file, int& running_line) {
  running_line = kLoadDictLines.pickle;
  Ref pickle = get_global(str(Str::pickle));
  if (!pickle) return false;
  Ref load = Ref::steal(PyObject_GetAttr(pickle.get(), str(Str::load)));
  if (!load) return false;
  // The host's own load reads through a stand-in that answers signals.
  Ref source = is_original(Original::kPickleLoad, load.get()) ? signal_checked_reader(file)
                                                              : Ref::borrow(file);
  Ref data = source ? call1(load.get(), source.get()) : Ref();
  if (!data) return false;

  running_line = kLoadDictLines.global_dict;
  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return false;
  PyObject* get_args[] = {str(Str::dict), empty.get()};
  Ref global_dict = call_method(data.get(), str(Str::get), get_args, 2);
  if (!global_dict) return false;
  replace_field(self->global_dict, std::move(global_dict));

  running_line = kLoadDictLines.inverse_dict;
  Ref inverse_dict = build_inverse_dict(self->global_dict);
  if (!inverse_dict) return false;
  replace_field(self->inverse_dict, std::move(inverse_dict));

  running_line = kLoadDictLines.next_id;
  Ref get = Ref::steal(PyObject_GetAttr(data.get(), str(Str::get)));
  if (!get) return false;
  PyObject* next_id_args[] = {PyTuple_GET_ITEM(g_state.next_id_lookup_args, 0),
                              PyTuple_GET_ITEM(g_state.next_id_lookup_args, 1)};
  Ref next_id = call(get.get(), next_id_args, 2);
  if (!next_id) return false;
  int32_t value = as_int32(next_id.get());
  if (value == -1 && PyErr_Occurred()) return false;
  self->next_id = value;
  return true;
}

PyObject* load_dict_body(CompressorObject* self) {
  {
    Ref exists_function = os_path_attribute(Str::exists);
    if (!exists_function) return kLoadDictTrace.fail(kLoadDictLines.exists);
    Ref dict_path = Ref::borrow(self->dict_path);
    Ref exists = call1(exists_function.get(), dict_path.get());
    if (!exists) return kLoadDictTrace.fail(kLoadDictLines.exists);
    int found = truth_value(exists.get());
    if (found < 0) return kLoadDictTrace.fail(kLoadDictLines.exists);
    if (!found) Py_RETURN_NONE;
  }
  Ref dict_path = Ref::borrow(self->dict_path);
  Ref file = call2(builtin(Builtin::open), dict_path.get(), str(Str::mode_rb));
  if (!file) return kLoadDictTrace.fail(kLoadDictLines.open);
  // When __exit__ swallows a failure, the fields stay as far as the steps got.
  auto body = [self](PyObject* f, int& running_line) {
    return load_from_file(self, f, running_line);
  };
  if (run_with_block(file.get(), kLoadDictTrace, kLoadDictLines.open, kLoadDictLines.pickle,
                     body) == BlockEnd::kFailed) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// save_dict
//
// The stream goes through the replace-on-success writer of pickle_writer.hpp,
// so a failing dump never costs the old dictionary.

PyObject* save_dict_body(CompressorObject* self) {
  Ref data = Ref::steal(PyDict_New());
  if (!data) return kSaveDictTrace.fail(kSaveDictLines.dict);
  Ref dumped_dict = dumped_global_dict(self->global_dict);
  if (!dumped_dict || PyDict_SetItem(data.get(), str(Str::dict), dumped_dict.get()) < 0) {
    return kSaveDictTrace.fail(kSaveDictLines.dict);
  }
  Ref next_id = Ref::steal(PyLong_FromLong(self->next_id));
  if (!next_id) return kSaveDictTrace.fail(kSaveDictLines.next_id);
  if (PyDict_SetItem(data.get(), str(Str::next_id), next_id.get()) < 0) {
    return kSaveDictTrace.fail(kSaveDictLines.dict);
  }
  Ref dict_path = Ref::borrow(self->dict_path);
  if (dump_pickle_replacing(dict_path.get(), data.get(), kSaveDictTrace, kSaveDictLines.open,
                            kSaveDictLines.dump) == BlockEnd::kFailed) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* load_dict_wrapper(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (check_no_arguments(kLoadDictRow.name, nargs, kwnames) < 0) return nullptr;
  CallGuard guard(call_lock_of(self));
  return load_dict_body(as_compressor(self));
}

PyObject* save_dict_wrapper(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (check_no_arguments(kSaveDictRow.name, nargs, kwnames) < 0) return nullptr;
  CallGuard guard(call_lock_of(self));
  return save_dict_body(as_compressor(self));
}

}  // namespace ormek
