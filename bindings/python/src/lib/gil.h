#ifndef MORVATEL_PY_GIL_H_
#define MORVATEL_PY_GIL_H_

// Letting other Python threads run while the core waits.

#include "blocking.h"
#include "lib/py.h"

namespace morvatel::py {

// Releases the interpreter lock for the lifetime of the object. Nothing in
// its scope may touch a Python object.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// The core's blocking hook for a call made with the interpreter lock held:
// the lock is released for each blocking attempt, and after a signal
// interrupts one, the interpreter runs its signal handlers. When a handler
// raises (Ctrl-C gives KeyboardInterrupt) the wait is given up and the
// exception stays set: after the core call fails, check exception_pending()
// and return the failure value without raising anything else.
class PythonBlockingHook final : public BlockingHook {
 public:
  void enter() override { state_ = PyEval_SaveThread(); }
  void leave() override {
    PyEval_RestoreThread(state_);
    state_ = nullptr;
  }
  bool retry_after_interrupt() override {
    if (PyErr_CheckSignals() != 0) {
      pending_ = true;
      return false;
    }
    return true;
  }
  bool exception_pending() const { return pending_; }

 private:
  PyThreadState* state_ = nullptr;
  bool pending_ = false;
};

}  // namespace morvatel::py

#endif  // MORVATEL_PY_GIL_H_
