#include "module/binding.hpp"

#include <climits>

#include "module/messages.hpp"

namespace ormek {

namespace {

void raise_arity(const char* name, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
  const char* more_or_less;
  Py_ssize_t expected;
  if (min == max) {
    more_or_less = msg::kArityExactly;
    expected = min;
  } else if (given < min) {
    more_or_less = msg::kArityAtLeast;
    expected = min;
  } else {
    more_or_less = msg::kArityAtMost;
    expected = max;
  }
  PyErr_Format(PyExc_TypeError, msg::kArity, name, more_or_less, expected, expected == 1 ? "" : "s",
               given);
}

// Equality of an exact str keyword with an interned parameter name, the cheap
// tests first.
bool same_text(PyObject* key, PyObject* name) {
  if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return false;
  Py_hash_t key_hash = PyObject_Hash(key);
  if (key_hash != -1 && key_hash != PyObject_Hash(name)) return false;
  if (PyUnicode_KIND(key) != PyUnicode_KIND(name)) return false;
  return PyUnicode_Compare(key, name) == 0;
}

// Binds one keyword. Returns 0 when stored, -1 with an exception set.
int bind_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* key, PyObject* value,
                 BoundArguments& out) {
  for (Py_ssize_t i = nargs; i < sig.count; i++) {
    if (key == str(sig.params[i].name)) {
      out.values[i] = Ref::borrow(value);
      return 0;
    }
  }
  if (PyUnicode_CheckExact(key)) {
    for (Py_ssize_t i = nargs; i < sig.count; i++) {
      if (same_text(key, str(sig.params[i].name))) {
        out.values[i] = Ref::borrow(value);
        return 0;
      }
    }
    for (Py_ssize_t i = 0; i < nargs && i < sig.count; i++) {
      if (same_text(key, str(sig.params[i].name))) {
        PyErr_Format(PyExc_TypeError, msg::kMultipleValues, sig.name, key);
        return -1;
      }
    }
  } else if (PyUnicode_Check(key)) {
    for (Py_ssize_t i = nargs; i < sig.count; i++) {
      int eq = PyObject_RichCompareBool(key, str(sig.params[i].name), Py_EQ);
      if (eq < 0) return -1;
      if (eq) {
        out.values[i] = Ref::borrow(value);
        return 0;
      }
    }
    for (Py_ssize_t i = 0; i < nargs && i < sig.count; i++) {
      int eq = PyObject_RichCompareBool(key, str(sig.params[i].name), Py_EQ);
      if (eq < 0) return -1;
      if (eq) {
        PyErr_Format(PyExc_TypeError, msg::kMultipleValues, sig.name, key);
        return -1;
      }
    }
  } else {
    PyErr_Format(PyExc_TypeError, msg::kKeywordsNotStrings, sig.name);
    return -1;
  }
  PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, sig.name, key);
  return -1;
}

// Whether `key` names a parameter from `nargs` onward (the keys the dictionary
// lookup already consumed). Errors are raised for the first key that is not.
int check_leftover_key(const Signature& sig, Py_ssize_t nargs, PyObject* key) {
  BoundArguments scratch;
  return bind_keyword(sig, nargs, key, Py_None, scratch);
}

int finish_binding(const Signature& sig, Py_ssize_t nargs, BoundArguments& out) {
  for (Py_ssize_t i = nargs; i < sig.required; i++) {
    if (!out.values[i]) {
      raise_arity(sig.name, sig.required, sig.positional, i);
      return -1;
    }
  }
  for (Py_ssize_t i = sig.required; i < sig.count; i++) {
    if (!out.values[i]) out.values[i] = Ref::borrow(sig.params[i].value.object());
  }
  return 0;
}

}  // namespace

PyObject* Default::object() const {
  switch (kind_) {
    case Kind::integer:
      return integer(static_cast<Int>(index_));
    case Kind::string:
      return str(static_cast<Str>(index_));
    case Kind::true_value:
      return Py_True;
    case Kind::false_value:
      return Py_False;
    case Kind::none_value:
      return Py_None;
    case Kind::none:
      break;
  }
  return nullptr;
}

int bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& out) {
  if (nargs > sig.positional) {
    raise_arity(sig.name, sig.required, sig.positional, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; i++) out.values[i] = Ref::borrow(args[i]);
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
      if (bind_keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out) < 0) {
        return -1;
      }
    }
  }
  return finish_binding(sig, nargs, out);
}

int bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwds, BoundArguments& out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.positional) {
    raise_arity(sig.name, sig.required, sig.positional, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; i++) out.values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
  if (kwds && PyDict_GET_SIZE(kwds) > 0) {
    if (!PyArg_ValidateKeywordArguments(kwds)) return -1;
    Py_ssize_t wanted = PyDict_GET_SIZE(kwds);
    Py_ssize_t found = 0;
    for (Py_ssize_t i = nargs; i < sig.count && found < wanted; i++) {
      PyObject* value = nullptr;
      if (PyDict_GetItemRef(kwds, str(sig.params[i].name), &value) < 0) return -1;
      if (value) {
        out.values[i] = Ref::steal(value);
        found++;
      }
    }
    if (found < wanted) {
      // Some key is not a parameter from nargs onward: report the first such
      // key in the dictionary's order.
      int result = 0;
      Py_BEGIN_CRITICAL_SECTION(kwds);
      Py_ssize_t pos = 0;
      PyObject* key;
      PyObject* value;
      while (PyDict_Next(kwds, &pos, &key, &value)) {
        Ref held = Ref::borrow(key);  // the check may run code that changes the dict
        result = check_leftover_key(sig, nargs, held.get());
        if (result < 0) break;
      }
      Py_END_CRITICAL_SECTION();
      if (result < 0) return -1;
    }
  }
  return finish_binding(sig, nargs, out);
}

int check_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 0) {
    raise_arity(name, 0, 0, nargs);
    return -1;
  }
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, name, PyTuple_GET_ITEM(kwnames, 0));
    return -1;
  }
  return 0;
}

namespace {

// An int, or the result of the type's __int__ slot, as a new reference.
Ref as_int_object(PyObject* obj) {
  if (PyLong_Check(obj)) return Ref::borrow(obj);
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (!nb || !nb->nb_int) {
    PyErr_SetString(PyExc_TypeError, msg::kIntegerRequired);
    return Ref();
  }
  Ref result = Ref::steal(nb->nb_int(obj));
  if (!result) return result;
  if (PyLong_CheckExact(result.get())) return result;
  if (PyLong_Check(result.get())) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, msg::kIntReturnedIntSubclass,
                         Py_TYPE(result.get())->tp_name) < 0) {
      return Ref();
    }
    return result;
  }
  PyErr_Format(PyExc_TypeError, msg::kIntReturnedNonInt, Py_TYPE(result.get())->tp_name);
  return Ref();
}

bool convert_to_long(PyObject* obj, long& out) {
  Ref number = as_int_object(obj);
  if (!number) return false;
  out = PyLong_AsLong(number.get());
  return !(out == -1 && PyErr_Occurred());
}

}  // namespace

int32_t as_int32(PyObject* obj) {
  long value;
  if (!convert_to_long(obj, value)) return -1;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, msg::kValueTooLargeForInt);
    return -1;
  }
  return static_cast<int32_t>(value);
}

long as_long_checked(PyObject* obj) {
  // The checksum is a signed 32-bit value: one outside that range cannot be
  // any layout's checksum and is refused as an overflow (beyond the machine
  // long range the host's own OverflowError stands).
  long value;
  if (!convert_to_long(obj, value)) return -1;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, msg::kValueTooLargeForLong);
    return -1;
  }
  return value;
}

bool check_exact_type(PyObject* obj, PyTypeObject* expected, Str param_name) {
  if (obj == Py_None || Py_TYPE(obj) == expected) return true;
  PyErr_Format(PyExc_TypeError, msg::kIncorrectArgumentType, PyUnicode_AsUTF8(str(param_name)),
               expected->tp_name, Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace ormek
