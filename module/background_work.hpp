// Work that runs on threads of its own while the caller waits for it, ready
// to stop waiting when a signal handler raises.
//
// While a thread runs a long stretch of native work, or a long call that
// releases the host's lock (the one-shot Zstandard compress in encode_files
// and decompress in decode_package run for seconds on a big corpus), it cannot
// run the handler of a signal: Ctrl-C, or a program's SIGTERM handler, would
// wait until the work ends. Run on other threads instead, the work is waited
// for in short slices, and the pending signal handlers run between them; a
// slice bounds how often the waiting thread takes the host back, whatever
// the work does. When a handler raises (KeyboardInterrupt, or whatever a
// program's handler raises), the exception is returned at once:
//
// - BackgroundCall: a host call is left to finish on its own. The helper owns
//   references to everything the call uses, drops its result and ends.
//   Nothing the call produces is written anywhere, so walking away from it
//   loses nothing. Only calls that run no code of the user's are moved here
//   (the binding's own methods, as the callers check): user code keeps
//   running on the caller's thread.
// - The encoder's numbering thread (compressor/encode/numbering_thread.hpp) is waited for the
//   same way, and told to stop.
//
// Signal handlers run only on the main thread; elsewhere the waiting simply
// waits.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <initializer_list>

#include "module/ref.hpp"

namespace ormek {

// How often a waiting caller looks for signals: well within the second a
// user waits for Ctrl-C to take effect, rare enough to cost nothing.
inline constexpr std::chrono::milliseconds kWaitSlice{20};

class BackgroundCall {
 public:
  BackgroundCall() = default;
  BackgroundCall(const BackgroundCall&) = delete;
  BackgroundCall& operator=(const BackgroundCall&) = delete;
  // A call still running is left to finish alone.
  ~BackgroundCall();

  // What runs on the helper thread, attached to the host: a new reference, or
  // null with the exception set. It is given the references start() was.
  using Function = PyObject* (*)(PyObject* const* args);
  static constexpr size_t kMaxArgs = 4;

  // Starts function(args) on a helper thread, which owns new references to
  // the (at most kMaxArgs) args from here on. False (with nothing set) when
  // no thread could be started: the caller then does the work itself.
  bool start(Function function, std::initializer_list<PyObject*> args);

  // The call's result, or null with its exception set, or with the exception
  // a signal handler raised meanwhile.
  Ref wait();

  // The one way to finish a call that may have been moved to a helper: its
  // result there when start() succeeded, else `here()` run on this thread.
  template <typename Here>
  Ref wait_or(Here&& here) {
    return job_ ? wait() : here();
  }

 private:
  struct Job;
  void abandon();

  Job* job_ = nullptr;
};

// Runs `work`, native work that touches no host object (a system call that
// may take seconds, such as fsync), on a thread of its own and waits for it
// answering signals. `work` owns what it uses: when a handler raises, it is
// left to finish alone. When no thread can be started it runs here, detached
// from the host. True when it ran to its end; false with the exception a
// handler raised.
bool run_native_answering_signals(std::function<void()> work);

// Waits until wait_slice() says the work is done. It is called detached from
// the host and waits at most kWaitSlice each time; the pending signal
// handlers run between calls. True when done; false with the exception a
// handler raised (the caller then stops or leaves the work).
template <typename WaitSlice>
bool wait_answering_signals(WaitSlice&& wait_slice) {
  for (;;) {
    bool done;
    Py_BEGIN_ALLOW_THREADS;
    done = wait_slice();
    Py_END_ALLOW_THREADS;
    if (done) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// Runs the pending signal handlers now and then during a long loop on the
// calling thread, which holds the host: 0, or -1 with the exception a handler
// raised. Cheap enough to call once per item; it looks at the signals once
// per `interval` calls.
class SignalPoll {
 public:
  explicit SignalPoll(unsigned interval) : interval_(interval) {}
  int operator()() {
    if (++count_ < interval_) return 0;
    count_ = 0;
    return PyErr_CheckSignals();
  }

 private:
  unsigned interval_;
  unsigned count_ = 0;
};

}  // namespace ormek
