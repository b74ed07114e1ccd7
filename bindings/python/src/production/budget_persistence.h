#ifndef MORVATEL_PY_PRODUCTION_BUDGET_PERSISTENCE_H_
#define MORVATEL_PY_PRODUCTION_BUDGET_PERSISTENCE_H_

// BudgetEngine's snapshot-file methods (checkpoint, checkpoint_with_wal,
// restore and the static migrate_legacy_snapshot_file), entered from the
// class's method table. Every argument is converted before anything else
// happens, so a bad argument consumes no allocator value and touches no
// file; failures raise PersistenceError; results are the snapshot as a dict
// in the file's key order. The interpreter lock is held throughout, file
// I/O included, except while a save waits for the target's sibling lock.

#include "lib/py.h"

namespace morvatel::py {

PyObject* budget_checkpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* budget_checkpoint_with_wal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);
PyObject* budget_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
// Static: `self` is null.
PyObject* budget_migrate_legacy_snapshot_file(PyObject* self, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_BUDGET_PERSISTENCE_H_
