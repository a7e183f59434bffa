// Serialises whole calls on one OrmekCompressor.
//
// The module declares that it needs the GIL, but a free-threaded interpreter
// can be told to keep running without one, and services share objects by
// mistake. Field reads under a critical section are not enough there: a
// critical section is suspended whenever its thread blocks (file I/O, the
// Zstandard call), and the host's own pickler is not safe against a dict that
// grows under it. So every operation on an object holds the object's call
// lock for its whole run. The lock is re-entrant for the thread that holds it
// (an overriding tokenize may call back into the object), and a thread that
// has to wait for it detaches its thread state meanwhile (PyMutex does), so a
// waiting thread never holds up the holder or a stop-the-world pause.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace ormek {

class CallLock {
 public:
  void acquire() {
    unsigned long me = PyThread_get_thread_ident();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    PyMutex_Lock(&mutex_);
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }

  void release() {
    if (--depth_ == 0) {
      owner_.store(0, std::memory_order_relaxed);
      PyMutex_Unlock(&mutex_);
    }
  }

 private:
  PyMutex mutex_{};
  // Only the holder writes these; another thread reading owner_ can only see
  // a value other than its own ident.
  std::atomic<unsigned long> owner_{0};
  uint32_t depth_ = 0;
};

// Holds an object's call lock for a scope.
class CallGuard {
 public:
  explicit CallGuard(CallLock& lock) : lock_(lock) { lock_.acquire(); }
  ~CallGuard() { lock_.release(); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  CallLock& lock_;
};

}  // namespace ormek
