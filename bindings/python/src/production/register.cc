// The production layer's registration: the exception hierarchy, then the
// production classes, then the module functions.

#include "lib/module.h"
#include "production/decision_receipt.h"
#include "production/exceptions.h"
#include "production/receipt_anchors.h"
#include "production/signed_policy.h"
#include "production/state_classes.h"

namespace morvatel::py {

bool register_production(PyObject* module) {
  for (ErrorClass c : kAllErrorClasses) {
    PyObject* cls = exception_class(c);
    if (cls == nullptr) return false;
    Py_INCREF(cls);
    if (!add_name(module, exception_name(c), cls)) return false;
  }
  if (!add_class(module, "StateTransition", state_transition_type())) return false;
  if (!add_class(module, "StatefulAuditBundle", stateful_audit_bundle_type())) return false;
  if (!add_class(module, "StateChain", state_chain_type())) return false;
  if (!add_class(module, "ReceiptState", receipt_state_type())) return false;
  if (!add_class(module, "ReceiptWal", receipt_wal_type())) return false;
  if (!add_class(module, "SignedPolicy", signed_policy_type())) return false;
  if (!add_class(module, "DecisionReceipt", decision_receipt_type())) return false;
  if (!add_name(module, "verify_state_trajectory", new_verify_state_trajectory(module))) {
    return false;
  }
  if (!add_name(module, "verify_complete_state_trajectory",
                new_verify_complete_state_trajectory(module))) {
    return false;
  }
  if (!add_name(module, "verify_state_trajectory_fragment",
                new_verify_state_trajectory_fragment(module))) {
    return false;
  }
  if (!add_name(module, "public_key_from_signing_key", new_public_key_from_signing_key(module))) {
    return false;
  }
  return true;
}

}  // namespace morvatel::py
