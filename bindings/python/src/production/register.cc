// The production layer's registration: the exception hierarchy, then the
// production classes, then the module functions.

#include "lib/module.h"
#include "production/audited_wal.h"
#include "production/decision_receipt.h"
#include "production/exceptions.h"
#include "production/plan_recovery.h"
#include "production/receipt_anchors.h"
#include "production/signed_policy.h"
#include "production/state_classes.h"
#include "production/wal_anchor.h"
#include "production/wal_verify.h"

namespace morvatel::py {

bool register_production(PyObject* module) {
  for (ErrorClass c : kAllErrorClasses) {
    PyObject* cls = exception_class(c);
    if (cls == nullptr) return false;
    Py_INCREF(cls);
    if (!add_name(module, exception_name(c), cls)) return false;
  }
  bool ok = add_class(module, "StateTransition", state_transition_type()) &&
            add_class(module, "StatefulAuditBundle", stateful_audit_bundle_type()) &&
            add_class(module, "StateChain", state_chain_type()) &&
            add_class(module, "ReceiptState", receipt_state_type()) &&
            add_class(module, "ReceiptWal", receipt_wal_type()) &&
            add_class(module, "SignedPolicy", signed_policy_type()) &&
            add_class(module, "DecisionReceipt", decision_receipt_type()) &&
            add_class(module, "WalAnchor", wal_anchor_type()) &&
            add_class(module, "WalEntry", wal_entry_type()) &&
            add_class(module, "AuditedWal", audited_wal_type()) && add_verify_audited_wal(module) &&
            add_replay_verify_audited_wal(module) &&
            add_name(module, "verify_state_trajectory", new_verify_state_trajectory(module)) &&
            add_name(module, "verify_complete_state_trajectory",
                     new_verify_complete_state_trajectory(module)) &&
            add_name(module, "verify_state_trajectory_fragment",
                     new_verify_state_trajectory_fragment(module)) &&
            add_plan_recovery(module) &&
            add_name(module, "public_key_from_signing_key",
                     new_public_key_from_signing_key(module));
  return ok;
}

}  // namespace morvatel::py
