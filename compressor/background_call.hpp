// A host call run on a thread of its own while the caller waits for it, ready
// to stop waiting when a signal handler raises.
//
// The one-shot Zstandard calls (compress in encode_files, decompress in
// decode_package) run for seconds on a big corpus, with the host's lock
// released, and while they run the calling thread cannot run the handler of a
// signal: Ctrl-C, or a program's SIGTERM handler, would wait until they end.
// Run on a helper thread instead, the call is waited for in short slices, and
// the pending signal handlers run between them. When one raises
// (KeyboardInterrupt, or whatever a program's handler raises), wait() returns
// that exception at once and the call is left to finish on its own: the
// helper owns references to everything the call uses, drops its result and
// ends. Nothing the call produces is written anywhere, so walking away from
// it loses nothing.
//
// Only calls that run no code of the user's are moved here (the binding's own
// methods, as the callers check): user code keeps running on the caller's
// thread. Signal handlers run only on the main thread; elsewhere wait() simply
// waits for the call.
#pragma once

#include <Python.h>

#include "module/ref.hpp"

namespace ormek {

class BackgroundCall {
 public:
  BackgroundCall() = default;
  BackgroundCall(const BackgroundCall&) = delete;
  BackgroundCall& operator=(const BackgroundCall&) = delete;
  // A call still running is left to finish alone.
  ~BackgroundCall();

  // Starts callable(arg) on a helper thread. False (with nothing set) when no
  // thread could be started: the caller then makes the call itself.
  bool start(PyObject* callable, PyObject* arg);

  // The call's result, or null with its exception set, or with the exception
  // a signal handler raised meanwhile.
  Ref wait();

 private:
  struct Job;
  void abandon();

  Job* job_ = nullptr;
};

// Runs the pending signal handlers now and then during a long stretch of work
// on the calling thread: 0, or -1 with the exception a handler raised. Cheap
// enough to call once per item; it looks at the signals once per `interval`
// calls.
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
