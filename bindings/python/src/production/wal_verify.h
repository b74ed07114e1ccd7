#ifndef MORVATEL_PY_PRODUCTION_WAL_VERIFY_H_
#define MORVATEL_PY_PRODUCTION_WAL_VERIFY_H_

// The module functions verify_audited_wal and replay_verify_audited_wal:
// read-only checks of a log file, which never write and take no lock.

#include "lib/py.h"

namespace morvatel::py {

// Add the function to the module (bound to it, listed in __all__). False
// with an exception set on failure.
bool add_verify_audited_wal(PyObject* module);
bool add_replay_verify_audited_wal(PyObject* module);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_WAL_VERIFY_H_
