#ifndef MORVATEL_PY_POLICY_VERIFY_H_
#define MORVATEL_PY_POLICY_VERIFY_H_

// The verification and audit methods of PolicySnapshot (verify,
// verify_status, audit_bundle, verified_audit_bundle, proof_envelope) and
// the dict form of an audit bundle, which the state-aware bundle and the
// audited log reuse.

#include "lib/py.h"
#include "verify.h"

namespace morvatel::py {

// METH_FASTCALL | METH_KEYWORDS methods of PolicySnapshot; `self` is the
// snapshot. Each takes (input, decision).
PyObject* snapshot_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* snapshot_verify_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* snapshot_audit_bundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* snapshot_verified_audit_bundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);
PyObject* snapshot_proof_envelope(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// A new dict of the ten bundle fields in declaration order.
PyObject* audit_bundle_to_dict(const AuditBundle& bundle);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_POLICY_VERIFY_H_
