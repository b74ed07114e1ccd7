#ifndef MORVATEL_PY_PRODUCTION_DECISION_RECEIPT_H_
#define MORVATEL_PY_PRODUCTION_DECISION_RECEIPT_H_

// The Python class DecisionReceipt (properties, signing, verification and
// the JSON form) and PolicySnapshot.issue_receipt, which makes one.

#include "lib/py.h"

namespace morvatel::py {

// The class (borrowed; created on first use; null with an exception set if
// creation fails).
PyTypeObject* decision_receipt_type();

// PolicySnapshot.issue_receipt(input, decision, *, state=None, wal=None).
PyObject* snapshot_issue_receipt(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_DECISION_RECEIPT_H_
