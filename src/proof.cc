#include "proof.h"

#include "digest.h"
#include "kernel/prescribe.h"
#include "verify.h"

namespace morvatel {

ProofEnvelope seal(const PolicySnapshot& snapshot, const KernelInput& input,
                   const KernelDecision& decision) {
  ProofEnvelope e;
  // verify_decision's verdict without its two extra decision digests: the
  // digest covers exactly the 13 fields, so equal fields are Valid. The
  // envelope then hashes no more than the three digests it reports.
  e.replay_valid = prescribe_inner(snapshot, input).decision == decision;
  e.proof_version = kProofVersion;
  e.policy_digest_hex = bytes_to_hex(policy_digest(snapshot));
  e.input_digest_hex = bytes_to_hex(input_digest(input));
  e.decision_digest_hex = bytes_to_hex(decision_digest(decision));
  e.action = text(decision.action);
  e.reason = text(decision.reason);
  e.selected_model_id = decision.selected_model_id;
  e.counterfactual_model_id = decision.counterfactual_model_id;
  e.estimated_cost_microunits = decision.estimated_cost_microunits;
  e.expected_utility_microunits = decision.expected_utility_microunits;
  return e;
}

}  // namespace morvatel
