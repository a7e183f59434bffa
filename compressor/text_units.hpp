// A str's code units in their own width, for the native loops that read text
// without making a host object per piece.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace ormek {

// fn(units, length) with units a const uint8_t*, uint16_t* or uint32_t*.
template <typename Fn>
auto with_text_units(PyObject* text, Fn&& fn) {
  const void* data = PyUnicode_DATA(text);
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return fn(static_cast<const uint8_t*>(data), length);
    case PyUnicode_2BYTE_KIND:
      return fn(static_cast<const uint16_t*>(data), length);
    default:
      return fn(static_cast<const uint32_t*>(data), length);
  }
}

}  // namespace ormek
