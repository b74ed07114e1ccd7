#ifndef MORVATEL_BLOCKING_H_
#define MORVATEL_BLOCKING_H_

// A hook around calls that may block for an unbounded time (waiting for a
// file lock another process holds). The core has no idea who calls it; an
// embedding such as an interpreter uses the hook to let its other threads run
// during the wait and to deliver signals that interrupt it.

namespace morvatel {

class BlockingHook {
 public:
  virtual ~BlockingHook() = default;

  // Called right before the blocking system call and right after it returns,
  // in pairs, once per attempt.
  virtual void enter() {}
  virtual void leave() {}

  // Called after an attempt was interrupted by a signal (EINTR), outside
  // enter/leave. Returning true tries again; returning false gives up, and
  // the operation fails with the interruption error.
  virtual bool retry_after_interrupt() { return true; }
};

}  // namespace morvatel

#endif  // MORVATEL_BLOCKING_H_
