#ifndef MORVATEL_PROOF_H_
#define MORVATEL_PROOF_H_

// The proof envelope: a flat summary of one decision with its three digests
// and its replay verdict, for callers that want one record to file away.

#include <cstdint>
#include <optional>
#include <string>

#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

struct ProofEnvelope {
  uint16_t proof_version = 0;
  std::string policy_digest_hex;
  std::string input_digest_hex;
  std::string decision_digest_hex;
  bool replay_valid = false;
  // Slots for a log position, a budget snapshot version and a ledger
  // digest. Nothing fills them yet; they are always absent.
  std::optional<uint64_t> wal_sequence;
  std::optional<std::string> wal_entry_hash;
  std::optional<uint64_t> budget_snapshot_version;
  std::optional<std::string> ledger_digest_hex;
  std::string action;  // snake_case text
  std::string reason;  // snake_case text
  uint32_t selected_model_id = 0;
  uint32_t counterfactual_model_id = 0;
  uint64_t estimated_cost_microunits = 0;
  int64_t expected_utility_microunits = 0;

  bool operator==(const ProofEnvelope&) const = default;
};

// Builds the envelope of a supplied decision; the verdict comes from
// verify_decision, the action, reason and numbers from the supplied
// decision. Never fails. The caller has applied validate_input.
ProofEnvelope seal(const PolicySnapshot& snapshot, const KernelInput& input,
                   const KernelDecision& decision);

}  // namespace morvatel

#endif  // MORVATEL_PROOF_H_
