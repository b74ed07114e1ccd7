#ifndef MORVATEL_PY_PRODUCTION_PLAN_RECOVERY_H_
#define MORVATEL_PY_PRODUCTION_PLAN_RECOVERY_H_

// The module function plan_recovery: how many audited-log entries lie
// beyond a snapshot's watermark, after proving the snapshot and the log
// sound. It reads only; it writes, creates and locks nothing.

#include "lib/py.h"

namespace morvatel::py {

// Adds the function to the module (bound to it, listed in __all__). False
// with an exception set on failure.
bool add_plan_recovery(PyObject* module);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_PLAN_RECOVERY_H_
