// The helper thread of a BackgroundCall (see background_work.hpp).
#include "module/background_work.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace ormek {

// Shared by the caller and the helper. Whoever is the last to let go deletes
// it: the caller once it took the result, or the helper when the caller left.
// The helper's part holds no C++ object with a destructor across the call, so
// a thread ended by the host at shutdown unwinds through nothing that would
// touch the host.
struct BackgroundCall::Job {
  std::atomic<bool> attached{false};
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  bool abandoned = false;
  BackgroundCall::Function function;
  PyObject* args[BackgroundCall::kMaxArgs];  // strong; released by the helper
  size_t nargs = 0;
  PyObject* result = nullptr;
  PyObject* error = nullptr;

  static void run(Job* job) {
    PyGILState_STATE gil = PyGILState_Ensure();
    job->attached.store(true, std::memory_order_release);
    job->attached.notify_one();
    PyObject* result = job->function(job->args);
    PyObject* error = result ? nullptr : PyErr_GetRaisedException();
    for (size_t i = 0; i < job->nargs; i++) Py_DECREF(job->args[i]);
    bool abandoned;
    {
      std::lock_guard<std::mutex> hold(job->mutex);
      abandoned = job->abandoned;
      if (!abandoned) {
        job->result = result;
        job->error = error;
        job->finished = true;
        job->finished_cv.notify_one();
      }
    }
    if (abandoned) {
      Py_XDECREF(result);
      Py_XDECREF(error);
    }
    PyGILState_Release(gil);
    if (abandoned) delete job;
  }
};

bool BackgroundCall::start(Function function, std::initializer_list<PyObject*> args) {
  auto* job = new (std::nothrow) Job();
  if (!job) return false;
  job->function = function;
  for (PyObject* arg : args) job->args[job->nargs++] = Py_NewRef(arg);
  try {
    std::thread(Job::run, job).detach();
  } catch (const std::system_error&) {
    for (size_t i = 0; i < job->nargs; i++) Py_DECREF(job->args[i]);
    delete job;
    return false;
  }
  job_ = job;
  // The call takes the host's lock first: let it in before this thread goes
  // on, or a caller busy in native code would keep the lock, and the call
  // would only begin once the caller waits for it. The call lets go of the
  // lock again while it works.
  Py_BEGIN_ALLOW_THREADS;
  job->attached.wait(false, std::memory_order_acquire);
  Py_END_ALLOW_THREADS;
  return true;
}

Ref BackgroundCall::wait() {
  const bool finished = wait_answering_signals([this] {
    // Let go of the job before taking the host back: the helper takes the
    // job's mutex while it holds the host.
    std::unique_lock<std::mutex> hold(job_->mutex);
    return job_->finished_cv.wait_for(hold, kWaitSlice, [this] { return job_->finished; });
  });
  if (!finished) {
    abandon();
    return Ref();
  }
  Ref result = Ref::steal(job_->result);
  Ref error = Ref::steal(job_->error);
  delete job_;
  job_ = nullptr;
  if (!result) PyErr_SetRaisedException(error.release());
  return result;
}

void BackgroundCall::abandon() {
  if (!job_) return;
  Job* job = job_;
  job_ = nullptr;
  bool finished;
  {
    std::lock_guard<std::mutex> hold(job->mutex);
    finished = job->finished;
    job->abandoned = !finished;
  }
  if (!finished) return;  // the helper deletes the job
  Py_XDECREF(job->result);
  Py_XDECREF(job->error);
  delete job;
}

BackgroundCall::~BackgroundCall() { abandon(); }

namespace {

// Shared by the waiting caller and the thread, which may outlive the wait.
struct NativeJob {
  std::function<void()> work;
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
};

}  // namespace

bool run_native_answering_signals(std::function<void()> work) {
  std::shared_ptr<NativeJob> job;
  try {
    job = std::make_shared<NativeJob>();
    job->work = std::move(work);
    std::thread([job] {
      job->work();
      std::lock_guard<std::mutex> hold(job->mutex);
      job->finished = true;
      job->finished_cv.notify_one();
    }).detach();
  } catch (const std::exception&) {
    std::function<void()>& run = job && job->work ? job->work : work;
    Py_BEGIN_ALLOW_THREADS;
    run();
    Py_END_ALLOW_THREADS;
    return true;
  }
  return wait_answering_signals([&job] {
    std::unique_lock<std::mutex> hold(job->mutex);
    return job->finished_cv.wait_for(hold, kWaitSlice, [&job] { return job->finished; });
  });
}

}  // namespace ormek
