// A str's code units in their own width, for the native loops that read text
// without making a host object per piece.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace ormek {

// fn(units, length) with units a const uint8_t*, uint16_t* or uint32_t*, for
// `length` units of `kind` bytes each (1, 2 or 4).
template <typename Fn>
auto with_units(const void* data, int kind, size_t length, Fn&& fn) {
  switch (kind) {
    case 1:
      return fn(static_cast<const uint8_t*>(data), length);
    case 2:
      return fn(static_cast<const uint16_t*>(data), length);
    default:
      return fn(static_cast<const uint32_t*>(data), length);
  }
}

// with_units over a str's own code units.
template <typename Fn>
auto with_text_units(PyObject* text, Fn&& fn) {
  return with_units(PyUnicode_DATA(text), PyUnicode_KIND(text),
                    static_cast<size_t>(PyUnicode_GET_LENGTH(text)), fn);
}

}  // namespace ormek
