// A string's code units in their own width, for the native loops that read
// text without making a host object per piece: the one place that switches
// on a width (1, 2 or 4 bytes a unit).
//
// with_units is free of host objects, for the host-free units and their C++
// tests; with_text_units, over a host str, is there wherever the host's
// headers are (every source of the module includes <Python.h> first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ormek {

// fn(units, length) with units a uint8_t*, uint16_t* or uint32_t* (const
// when `data` is), for `length` units of `kind` bytes each (1, 2 or 4).
template <typename Void, typename Fn>
requires std::is_void_v<Void>
auto with_units(Void* data, int kind, size_t length, Fn&& fn) {
  auto as = [data]<typename Unit>() {
    return static_cast<std::conditional_t<std::is_const_v<Void>, const Unit, Unit>*>(data);
  };
  switch (kind) {
    case 1:
      return fn(as.template operator()<uint8_t>(), length);
    case 2:
      return fn(as.template operator()<uint16_t>(), length);
    default:
      return fn(as.template operator()<uint32_t>(), length);
  }
}

#ifdef Py_PYTHON_H
// with_units over a str's own code units.
template <typename Fn>
auto with_text_units(PyObject* text, Fn&& fn) {
  return with_units(static_cast<const void*>(PyUnicode_DATA(text)), PyUnicode_KIND(text),
                    static_cast<size_t>(PyUnicode_GET_LENGTH(text)), fn);
}
#endif

}  // namespace ormek
