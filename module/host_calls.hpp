// Calls into the host, as the statements of the module's own source make
// them: calls, global lookup, `with` blocks, truth values and unpacking, and
// the errors they raise.
#pragma once

#include <Python.h>

#include <atomic>
#include <initializer_list>

#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/traceback.hpp"

namespace ormek {

// `raise type, value` with the semantics of a raise statement.
void raise_exception(PyObject* type, PyObject* value);

// `import name` as a module statement does it, stored in the module namespace
// under `store_as`. 0, or -1 with an exception set.
int import_statement(Str name, Str store_as);

// Module global (module namespace first, then built-ins), looked up at each use.
Ref get_global(PyObject* name);

// os.path.<name>, looked up at each use as the module's statements do.
Ref os_path_attribute(Str name);

// The value errors of unpacking a fixed-size sequence.
void raise_need_more_values(Py_ssize_t found);
void raise_too_many_values(Py_ssize_t expected);
// Unpacks `item` into exactly two values the way `a, b = item` does: an exact
// tuple or list by index, anything else through its iterator.
bool unpack_two(PyObject* item, Ref& first, Ref& second);

// Sets TypeError "Expected %s, got %.200s".
void raise_expected_type(const char* expected, PyObject* got);

// Calls `callable` like a Python call statement: a null result without an
// exception becomes SystemError, and the recursion limit is honoured.
Ref call(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr);
inline Ref call0(PyObject* callable) { return call(callable, nullptr, 0); }
inline Ref call1(PyObject* callable, PyObject* arg) { return call(callable, &arg, 1); }
inline Ref call2(PyObject* callable, PyObject* a, PyObject* b) {
  PyObject* args[] = {a, b};
  return call(callable, args, 2);
}
// The keyword-name tuple of a call a module statement makes, made once into
// `slot` and kept for the process: a borrowed reference, or null with the
// exception set. With the GIL off two calls may make one at once: the first
// to publish it wins.
PyObject* keyword_names(std::atomic<PyObject*>& slot, std::initializer_list<Str> names);

// obj.name(*args)
Ref call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t nargs,
                PyObject* kwnames = nullptr);

// Looks `name` up on the type of `obj`, bound through its descriptor; a missing
// one raises AttributeError with the name as its value.
Ref lookup_special(PyObject* obj, PyObject* name);

// Truth value of an object: True/False/None directly, anything else asked.
int truth_value(PyObject* obj);

// How a `with` block (and the operations made of one) ended.
enum class BlockEnd {
  kFailed,     // with the exception set and the traceback entries added
  kCompleted,  // the body ran to its end and the block was left
  kSwallowed,  // the body failed and __exit__ swallowed the error
};

// A `with` block over a context manager. enter() looks up __exit__ and then
// __enter__ on the manager's type and calls __enter__; leave_normally() calls
// __exit__(None, None, None); leave_with_pending() hands the pending exception
// to __exit__ and tells whether __exit__ swallowed it or the exception (or one
// raised by __exit__) is pending again. The thread's handled-exception
// state is kept aside for the duration of the block.
class WithBlock {
 public:
  enum class Exit { kSwallowed, kPending };

  WithBlock() = default;
  WithBlock(const WithBlock&) = delete;
  WithBlock& operator=(const WithBlock&) = delete;
  ~WithBlock();

  bool enter(PyObject* manager);
  PyObject* value() const { return value_.get(); }
  bool leave_normally();
  Exit leave_with_pending();

 private:
  Ref exit_;
  Ref value_;
  PyObject* saved_handled_ = nullptr;
  bool saved_ = false;
};

// with <manager> as f: <body>, reported under `trace`. `body(f, running_line)`
// runs the statements of the block; `running_line` is the line of the
// statement running now (it starts at `body_line`, and a body of several
// statements sets it ahead of each), and the body returns false with the
// exception set when that statement fails. A failing body adds the running
// line, hands the exception to __exit__ and, unless __exit__ swallows it,
// adds `with_line`; a failure entering or leaving the block adds `with_line`.
template <typename Body>
BlockEnd run_with_block(PyObject* manager, const Trace& trace, int with_line, int body_line,
                        Body&& body) {
  WithBlock block;
  if (!block.enter(manager)) return trace.fail(with_line);
  int running_line = body_line;
  if (!body(block.value(), running_line)) {
    trace.add(running_line);
    if (block.leave_with_pending() == WithBlock::Exit::kPending) return trace.fail(with_line);
    return BlockEnd::kSwallowed;
  }
  if (!block.leave_normally()) return trace.fail(with_line);
  return BlockEnd::kCompleted;
}

}  // namespace ormek
