// Owning reference to a Python object.
//
// Every strong reference the module holds on the C++ side lives in a Ref, so
// error paths release what they own by going out of scope. Ownership changes
// have names: Ref::steal() adopts a new reference returned by the C API,
// Ref::borrow() takes an extra reference to a borrowed pointer, and release()
// hands the reference back to the caller (for returning it to the host).
#pragma once

#include <Python.h>

#include <utility>

namespace ormek {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref& other) : ptr_(Py_XNewRef(other.ptr_)) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~Ref() { Py_XDECREF(ptr_); }

  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  // Adopts a new reference (may be null, which marks a failed call).
  [[nodiscard]] static Ref steal(PyObject* ptr) { return Ref(ptr); }
  // Takes a new reference to a borrowed pointer.
  [[nodiscard]] static Ref borrow(PyObject* ptr) { return Ref(Py_XNewRef(ptr)); }

  PyObject* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() { return std::exchange(ptr_, nullptr); }
  // Returns a new reference for the caller while this Ref keeps its own.
  [[nodiscard]] PyObject* new_ref() const { return Py_XNewRef(ptr_); }

 private:
  explicit Ref(PyObject* ptr) : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// Stores `value` (a new reference is taken) into an object field and only then
// releases the old value, so code run by that release never sees a freed
// object in the field.
inline void replace_field(PyObject*& field, PyObject* value) {
  PyObject* old = field;
  field = Py_NewRef(value);
  Py_XDECREF(old);
}

// Same, adopting a reference the caller already owns.
inline void replace_field(PyObject*& field, Ref&& value) {
  PyObject* old = field;
  field = value.release();
  Py_XDECREF(old);
}

}  // namespace ormek
