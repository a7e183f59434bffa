// Owning reference to a Python object, and the rules every reference in the
// module follows.
//
// The rules:
// - A new reference (what most C API calls return; null marks a failure) is
//   adopted at once: `Ref x = Ref::steal(PyList_New(0));`. From then on the
//   Ref owns it and every path out of the scope releases it.
// - A borrowed pointer (an argument, PyDict_GetItemWithError, a field read)
//   is used as it is while its owner surely lives; kept beyond that, it is
//   owned through `Ref::borrow(p)`.
// - A reference is handed over by name: `x.release()` where the receiver
//   steals it (a return value to the host, PyTuple_SET_ITEM, PyList_SET_ITEM,
//   PyModule_Add), `x.new_ref()` where the receiver wants one of its own and
//   the Ref keeps its.
// - A field (of an object the host can see, or of the module state) is
//   written only through replace_field: the new value is stored first and the
//   old one released after, since that release can run arbitrary code that
//   may read the field. Clearing a field in tp_clear or a deallocator is
//   Py_CLEAR's job.
// - Collections of owned references are std::vector<Ref>, never a vector of
//   raw pointers released by hand.
// Counting by hand (Py_INCREF, Py_DECREF) stays only where a Ref cannot say
// it: deallocators and clear functions, a reference taken inside a critical
// section (adopted by a Ref right after it), a C array of references (the
// traceback cache), an atomic published once, and the references a job
// carries to a helper thread, which that thread releases itself
// (background_work.cpp).
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

// Stores borrowed `value` (a new reference is taken; null empties the field)
// into a field and only then releases the old value, so code run by that
// release never sees a freed object in the field.
inline void replace_field(PyObject*& field, PyObject* value) {
  PyObject* old = field;
  field = Py_XNewRef(value);
  Py_XDECREF(old);
}

// Same, adopting a reference the caller already owns.
inline void replace_field(PyObject*& field, Ref&& value) {
  PyObject* old = field;
  field = value.release();
  Py_XDECREF(old);
}

}  // namespace ormek
