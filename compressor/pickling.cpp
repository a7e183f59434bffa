// Pickling support: the class's __reduce__/__setstate__ set-up, the reduce and
// set-state methods, and the module-level reconstructors the pickle stream
// names (__pyx_unpickle_OrmekCompressor and the typed-buffer enumeration's
// __pyx_unpickle_Enum).
#include "compressor/pickling.hpp"

#include "compressor/function_table.hpp"
#include "compressor/object.hpp"
#include "compressor/package/pickle_snapshot.hpp"
#include "module/binding.hpp"
#include "module/host_calls.hpp"
#include "module/messages.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

namespace {

PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

// ---------------------------------------------------------------------------
// Start-up set-up

// meth.__name__ == name; any error counts as "no".
bool is_named(PyObject* meth, Str name) {
  PyObject* meth_name = nullptr;
  if (PyObject_GetOptionalAttr(meth, str(Str::dunder_name), &meth_name) < 0) {
    PyErr_Clear();
    return false;
  }
  if (!meth_name) return false;
  Ref held = Ref::steal(meth_name);
  int equal = PyObject_RichCompareBool(meth_name, str(name), Py_EQ);
  if (equal < 0) PyErr_Clear();
  return equal > 0;
}

// Moves `from` of the type's dictionary to `to`.
bool move_class_attribute(PyTypeObject* type, PyObject* value, Str to, Str from) {
  if (PyDict_SetItem(type->tp_dict, str(to), value) < 0) return false;
  return PyDict_DelItem(type->tp_dict, str(from)) == 0;
}

int setup_pickling_steps(PyTypeObject* type) {
  PyObject* type_obj = as_object(type);
  PyObject* object_type = as_object(&PyBaseObject_Type);
  if (_PyType_Lookup(type, str(Str::dunder_getstate)) !=
      _PyType_Lookup(&PyBaseObject_Type, str(Str::dunder_getstate))) {
    return 0;
  }
  Ref reduce_ex = Ref::steal(PyObject_GetAttr(type_obj, str(Str::dunder_reduce_ex)));
  if (!reduce_ex) return -1;
  Ref object_reduce_ex = Ref::steal(PyObject_GetAttr(object_type, str(Str::dunder_reduce_ex)));
  if (!object_reduce_ex) return -1;
  if (reduce_ex.get() != object_reduce_ex.get()) return 0;

  Ref reduce = Ref::steal(PyObject_GetAttr(type_obj, str(Str::dunder_reduce)));
  if (!reduce) return -1;
  Ref object_reduce = Ref::steal(PyObject_GetAttr(object_type, str(Str::dunder_reduce)));
  if (!object_reduce) return -1;
  if (reduce.get() != object_reduce.get() && !is_named(reduce.get(), Str::reduce_cython)) {
    return 0;
  }
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(type_obj, str(Str::reduce_cython), &found) < 0) return -1;
  Ref reduce_cython = Ref::steal(found);
  if (reduce_cython) {
    if (!move_class_attribute(type, reduce_cython.get(), Str::dunder_reduce, Str::reduce_cython)) {
      return -1;
    }
  } else if (reduce.get() == object_reduce.get()) {
    return -1;
  }

  found = nullptr;
  if (PyObject_GetOptionalAttr(type_obj, str(Str::dunder_setstate), &found) < 0) PyErr_Clear();
  Ref setstate = Ref::steal(found);
  if (!setstate || is_named(setstate.get(), Str::setstate_cython)) {
    found = nullptr;
    if (PyObject_GetOptionalAttr(type_obj, str(Str::setstate_cython), &found) < 0) return -1;
    Ref setstate_cython = Ref::steal(found);
    if (setstate_cython) {
      if (!move_class_attribute(type, setstate_cython.get(), Str::dunder_setstate,
                                Str::setstate_cython)) {
        return -1;
      }
    } else if (!setstate) {
      return -1;
    }
  }
  PyType_Modified(type);
  return 0;
}

// ---------------------------------------------------------------------------
// __reduce_cython__

constexpr const FunctionRow& kReduceCythonRow = function_row("__reduce_cython__");

// __reduce_cython__'s statements, at the lines of their traceback entries.
constexpr struct ReduceCythonLines {
  int state = 5, dict_lookup = 6, add_dict = 8, with_setstate = 13, without_setstate = 15;
} kReduceCythonLines{};

constexpr Trace kReduceCythonTrace = kReduceCythonRow.trace();

PyObject* reduce_body(CompressorObject* self) {
  Ref next_id = Ref::steal(PyLong_FromLong(self->next_id));
  if (!next_id) return kReduceCythonTrace.fail(kReduceCythonLines.state);
  // The state is pickled after the call lock is released: see pickle_snapshot.
  // The copies stand in only when no other field is the same dict.
  Ref global_dict = Ref::borrow(self->global_dict);
  Ref inverse_dict = Ref::borrow(self->inverse_dict);
  if (self->global_dict != self->inverse_dict && self->dict_path != self->global_dict &&
      self->dict_path != self->inverse_dict) {
    global_dict = pickle_snapshot(self->global_dict, true);
    if (!global_dict) return kReduceCythonTrace.fail(kReduceCythonLines.state);
    inverse_dict = pickle_snapshot(self->inverse_dict, false);
    if (!inverse_dict) return kReduceCythonTrace.fail(kReduceCythonLines.state);
  }
  Ref state = Ref::steal(
      PyTuple_Pack(4, self->dict_path, global_dict.get(), inverse_dict.get(), next_id.get()));
  if (!state) return kReduceCythonTrace.fail(kReduceCythonLines.state);

  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(self), str(Str::dunder_dict), &found) <
      0) {
    return kReduceCythonTrace.fail(kReduceCythonLines.dict_lookup);
  }
  Ref instance_dict = Ref::steal(found);
  bool use_setstate;
  if (instance_dict && instance_dict.get() != Py_None) {
    Ref tail = Ref::steal(PyTuple_Pack(1, instance_dict.get()));
    if (!tail) return kReduceCythonTrace.fail(kReduceCythonLines.add_dict);
    state = Ref::steal(PyNumber_InPlaceAdd(state.get(), tail.get()));
    if (!state) return kReduceCythonTrace.fail(kReduceCythonLines.add_dict);
    use_setstate = true;
  } else {
    use_setstate =
        self->dict_path != Py_None || self->global_dict != Py_None || self->inverse_dict != Py_None;
  }

  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject* checksum = integer(Int::checksum_3e12e10);
  const int shape_line =
      use_setstate ? kReduceCythonLines.with_setstate : kReduceCythonLines.without_setstate;
  Ref reconstructor = get_global(str(Str::unpickle_compressor));
  if (!reconstructor) return kReduceCythonTrace.fail(shape_line);
  if (use_setstate) {
    Ref args = Ref::steal(PyTuple_Pack(3, type, checksum, Py_None));
    if (!args) return kReduceCythonTrace.fail(shape_line);
    Ref value = Ref::steal(PyTuple_Pack(3, reconstructor.get(), args.get(), state.get()));
    if (!value) return kReduceCythonTrace.fail(shape_line);
    return value.release();
  }
  Ref args = Ref::steal(PyTuple_Pack(3, type, checksum, state.get()));
  if (!args) return kReduceCythonTrace.fail(shape_line);
  Ref value = Ref::steal(PyTuple_Pack(2, reconstructor.get(), args.get()));
  if (!value) return kReduceCythonTrace.fail(shape_line);
  return value.release();
}

// ---------------------------------------------------------------------------
// The set-state routine

// Both set-state routines' statements (the compressor's and the enumeration's).
constexpr struct SetStateLines {
  int fields = 12, has_dict = 13, update_dict = 14;
} kSetStateLines{};

constexpr Trace kUnpickleCompressorSetStateTrace{
    "ormek_compressor.__pyx_unpickle_OrmekCompressor__set_state", kFileStringsource};

// state[i] of an exact tuple: read directly inside it, through the host's item
// access (and its IndexError) past its end.
Ref tuple_item(PyObject* tuple, Py_ssize_t i) {
  if (i < PyTuple_GET_SIZE(tuple)) return Ref::borrow(PyTuple_GET_ITEM(tuple, i));
  return Ref::steal(PySequence_GetItem(tuple, i));
}

// The last step of both set-state routines, for the item after the fields:
// if len(state) > index and hasattr(obj, "__dict__"):
//     obj.__dict__.update(state[index])
// `state` is an exact tuple. False with the exception set and the entry added.
bool update_instance_dict(const Trace& trace, PyObject* obj, PyObject* state, Py_ssize_t index) {
  if (PyTuple_GET_SIZE(state) <= index) return true;
  int has_dict = PyObject_HasAttrWithError(obj, str(Str::dunder_dict));
  if (has_dict < 0) return trace.fail(kSetStateLines.has_dict);
  if (!has_dict) return true;
  Ref instance_dict = Ref::steal(PyObject_GetAttr(obj, str(Str::dunder_dict)));
  Ref extra = instance_dict ? tuple_item(state, index) : Ref();
  PyObject* arg = extra.get();
  Ref updated = extra ? call_method(instance_dict.get(), str(Str::update), &arg, 1) : Ref();
  if (!updated) return trace.fail(kSetStateLines.update_dict);
  return true;
}

// `state` is None or an exact tuple (the callers test it). False with the
// exception set and this routine's entry added.
bool set_state(CompressorObject* self, PyObject* state) {
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, msg::kNoneNotSubscriptable);
    return kUnpickleCompressorSetStateTrace.fail(kSetStateLines.fields);
  }
  PyObject* CompressorObject::*const fields[] = {&CompressorObject::dict_path,
                                                 &CompressorObject::global_dict,
                                                 &CompressorObject::inverse_dict};
  for (Py_ssize_t i = 0; i < 3; i++) {
    Ref item = tuple_item(state, i);
    if (!item) return kUnpickleCompressorSetStateTrace.fail(kSetStateLines.fields);
    replace_field(self->*fields[i], std::move(item));
  }
  Ref item = tuple_item(state, 3);
  int32_t next_id = item ? as_int32(item.get()) : -1;
  if (next_id == -1 && PyErr_Occurred()) {
    return kUnpickleCompressorSetStateTrace.fail(kSetStateLines.fields);
  }
  self->next_id = next_id;

  return update_instance_dict(kUnpickleCompressorSetStateTrace, reinterpret_cast<PyObject*>(self),
                              state, 4);
}

// ---------------------------------------------------------------------------
// __setstate_cython__

constexpr const FunctionRow& kSetstateCythonRow = function_row("__setstate_cython__");

// __setstate_cython__'s one statement.
constexpr struct SetstateCythonLines { int body = 17; } kSetstateCythonLines{};

constexpr Trace kSetstateCythonTrace = kSetstateCythonRow.trace();

// ---------------------------------------------------------------------------
// The reconstructors

constexpr const FunctionRow& kUnpickleCompressorRow =
    function_row("__pyx_unpickle_OrmekCompressor");

// Both reconstructors' statements (they stand at the same lines).
constexpr struct ReconstructorLines {
  int binding = kUnpickleCompressorRow.first_line;
  int checksum = 4, import_error = 5, raise_error = 6, make_instance = 7, state = 9;
} kReconstructorLines{};

constexpr Trace kUnpickleCompressorTrace = kUnpickleCompressorRow.trace();

constexpr Trace kUnpickleEnumTrace{"View.MemoryView.__pyx_unpickle_Enum", kFileStringsource};
constexpr Trace kUnpickleEnumSetStateTrace{"View.MemoryView.__pyx_unpickle_Enum__set_state",
                                           kFileStringsource};
constexpr Param kUnpickleEnumParams[] = {{Str::pyx_type}, {Str::pyx_checksum}, {Str::pyx_state}};
constexpr Signature kUnpickleEnumSignature{"__pyx_unpickle_Enum", kUnpickleEnumParams};

// from pickle import PickleError
Ref import_pickle_error() {
  Ref from_list = Ref::steal(PyTuple_Pack(1, str(Str::PickleError)));
  if (!from_list) return Ref();
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return Ref();
  Ref module = Ref::steal(PyImport_ImportModuleLevelObject(str(Str::pickle), g_state.module_dict,
                                                           locals.get(), from_list.get(), 0));
  if (!module) return Ref();
  Ref value = Ref::steal(PyObject_GetAttr(module.get(), str(Str::PickleError)));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    // A submodule of that name that is imported but not bound as an attribute.
    PyErr_Clear();
    if (const char* module_name = PyModule_GetName(module.get())) {
      Ref full_name = Ref::steal(PyUnicode_FromFormat("%s.%U", module_name, str(Str::PickleError)));
      if (full_name) value = Ref::steal(PyImport_GetModule(full_name.get()));
    }
  }
  if (!value) PyErr_Format(PyExc_ImportError, msg::kCannotImportName, str(Str::PickleError));
  return value;
}

// The checksum test both reconstructors open with: true when `checksum` is one
// of `accepted`; otherwise (or on failure) false with the exception set and
// the entry added.
bool accept_checksum(const Trace& trace, long checksum, PyObject* accepted, Str message_format) {
  Ref value = Ref::steal(PyLong_FromLong(checksum));
  if (!value) return trace.fail(kReconstructorLines.checksum);
  int found = PySequence_Contains(accepted, value.get());
  if (found < 0) return trace.fail(kReconstructorLines.checksum);
  if (found) return true;
  Ref pickle_error = import_pickle_error();
  if (!pickle_error) return trace.fail(kReconstructorLines.import_error);
  Ref message = Ref::steal(PyUnicode_Format(str(message_format), value.get()));
  if (message) raise_exception(pickle_error.get(), message.get());
  return trace.fail(kReconstructorLines.raise_error);
}

// cls.__new__(type): an instance made without __init__.
Ref new_instance(const Trace& trace, PyObject* cls, PyObject* type) {
  Ref result = call_method(cls, str(Str::dunder_new), &type, 1);
  if (!result) return trace.fail(kReconstructorLines.make_instance);
  return result;
}

PyObject* unpickle_compressor_body(PyObject* type, long checksum, PyObject* state) {
  if (!accept_checksum(kUnpickleCompressorTrace, checksum, g_state.state_checksums,
                       Str::incompatible_checksums)) {
    return nullptr;
  }
  Ref result = new_instance(kUnpickleCompressorTrace, as_object(&CompressorType), type);
  if (!result) return nullptr;
  if (state != Py_None) {
    if (!PyTuple_CheckExact(state)) {
      raise_expected_type("tuple", state);
      return kUnpickleCompressorTrace.fail(kReconstructorLines.state);
    }
    // OrmekCompressor.__new__ only makes instances of the class or its
    // subclasses; checked anyway, since set_state writes the record directly.
    if (!is_compressor(result.get())) {
      raise_expected_type(CompressorType.tp_name, result.get());
      return kUnpickleCompressorTrace.fail(kReconstructorLines.state);
    }
    if (!set_state(as_compressor(result.get()), state)) {
      return kUnpickleCompressorTrace.fail(kReconstructorLines.state);
    }
  }
  return result.release();
}

// The enumeration's state is (name,) or (name, __dict__).
bool set_enum_state(PyObject* result, PyObject* state) {
  Ref name = tuple_item(state, 0);
  if (!name || PyObject_SetAttr(result, str(Str::enum_name), name.get()) < 0) {
    return kUnpickleEnumSetStateTrace.fail(kSetStateLines.fields);
  }
  return update_instance_dict(kUnpickleEnumSetStateTrace, result, state, 1);
}

// The typed-buffer enumeration type is not built by this module, so the
// reconstructor works on whatever class the stream names: it makes
// type.__new__(type) and restores the enumeration's state onto it.
PyObject* unpickle_enum_body(PyObject* type, long checksum, PyObject* state) {
  if (!accept_checksum(kUnpickleEnumTrace, checksum, g_state.enum_checksums,
                       Str::incompatible_enum_checksums)) {
    return nullptr;
  }
  Ref result = new_instance(kUnpickleEnumTrace, type, type);
  if (!result) return nullptr;
  if (state != Py_None) {
    if (!PyTuple_CheckExact(state)) {
      raise_expected_type("tuple", state);
      return kUnpickleEnumTrace.fail(kReconstructorLines.state);
    }
    if (!set_enum_state(result.get(), state))
      return kUnpickleEnumTrace.fail(kReconstructorLines.state);
  }
  return result.release();
}

using ReconstructorBody = PyObject* (*)(PyObject* type, long checksum, PyObject* state);

PyObject* bind_reconstructor(const Signature& sig, const Trace& trace, ReconstructorBody body,
                             PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BoundArguments bound;
  if (bind_vectorcall(sig, args, nargs, kwnames, bound) < 0) {
    return trace.fail(kReconstructorLines.binding);
  }
  long checksum = as_long_checked(bound[1]);
  if (checksum == -1 && PyErr_Occurred()) return trace.fail(kReconstructorLines.binding);
  return body(bound[0], checksum, bound[2]);
}

PyObject* unpickle_enum_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return bind_reconstructor(kUnpickleEnumSignature, kUnpickleEnumTrace, unpickle_enum_body, args,
                            nargs, kwnames);
}

}  // namespace

PyMethodDef unpickle_enum_def = {
    "__pyx_unpickle_Enum",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(unpickle_enum_wrapper)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

int setup_pickling(PyTypeObject* type) {
  if (setup_pickling_steps(type) == 0) return 0;
  if (!PyErr_Occurred()) PyErr_Format(PyExc_RuntimeError, msg::kPicklingSetup, type->tp_name);
  return -1;
}

PyObject* reduce_cython_wrapper(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                PyObject* kwnames) {
  if (check_no_arguments(kReduceCythonRow.name, nargs, kwnames) < 0) return nullptr;
  CallGuard guard(call_lock_of(self));
  return reduce_body(as_compressor(self));
}

PyObject* setstate_cython_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  CallGuard guard(call_lock_of(self));
  BoundArguments bound;
  if (!kSetstateCythonRow.bind(args, nargs, kwnames, bound)) return nullptr;
  PyObject* state = bound[0];
  if (state != Py_None && !PyTuple_CheckExact(state)) {
    raise_expected_type("tuple", state);
    return kSetstateCythonTrace.fail(kSetstateCythonLines.body);
  }
  if (!set_state(as_compressor(self), state))
    return kSetstateCythonTrace.fail(kSetstateCythonLines.body);
  Py_RETURN_NONE;
}

PyObject* unpickle_compressor_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return bind_reconstructor(kUnpickleCompressorRow.signature(), kUnpickleCompressorTrace,
                            unpickle_compressor_body, args, nargs, kwnames);
}

}  // namespace ormek
