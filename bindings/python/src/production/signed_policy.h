#ifndef MORVATEL_PY_PRODUCTION_SIGNED_POLICY_H_
#define MORVATEL_PY_PRODUCTION_SIGNED_POLICY_H_

// Signed policy provenance at the Python boundary: the class SignedPolicy,
// PolicySnapshot.sign_policy that makes one, and the module function
// public_key_from_signing_key.

#include "lib/py.h"
#include "provenance.h"

namespace morvatel::py {

// The class (borrowed; created on first use; null with an exception set if
// creation fails).
PyTypeObject* signed_policy_type();

// PolicySnapshot.sign_policy(signing_key_bytes, signer_id,
// signed_at_epoch_ms), for the snapshot's method table (METH_FASTCALL |
// METH_KEYWORDS).
PyObject* snapshot_sign_policy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// Raises ProvenanceError with the error's text; returns nullptr.
std::nullptr_t provenance_error(const provenance::ProvenanceError& error);

// A new built-in function public_key_from_signing_key bound to `module`;
// null with an exception set on failure.
PyObject* new_public_key_from_signing_key(PyObject* module);

}  // namespace morvatel::py

#endif  // MORVATEL_PY_PRODUCTION_SIGNED_POLICY_H_
