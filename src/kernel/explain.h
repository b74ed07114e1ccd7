#ifndef MORVATEL_KERNEL_EXPLAIN_H_
#define MORVATEL_KERNEL_EXPLAIN_H_

// What the kernel made of every catalogue model for one request: the gate
// that refused it (with what was measured against which limit), the budget,
// a non-positive utility, or eligibility with the utility's parts. It runs
// the prescription's own per-model evaluation, so a model reported eligible
// here is exactly one the prescription ranked.

#include <cstdint>
#include <string_view>
#include <vector>

#include "kernel/evaluate.h"
#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

// The gates, with the codes of their Verdict values.
enum class GateKind : uint8_t {
  Disabled = 0,
  Quality = 1,
  Latency = 2,
  Capability = 3,
  ProviderUnrepresentable = 4,
  ProviderNotAllowed = 5,
  Region = 6,
  RiskCeiling = 7,
};

std::string_view gate_name(GateKind gate);

struct UtilityBreakdown {
  u128 quality_adjusted = 0;
  u128 risk_penalty = 0;  // the request's, the same for every model
  u128 latency_penalty = 0;
  uint64_t cost = 0;
  int64_t utility = 0;
};

enum class CandidateStatus : uint8_t {
  Rejected = 0,
  OverBudget = 1,
  NonPositiveUtility = 2,
  Eligible = 3,
};

std::string_view status_name(CandidateStatus status);

// One model's verdict. Which fields mean something depends on `status`:
// gate, measured and limit for Rejected; cost and budget for OverBudget;
// breakdown for the two utility shapes.
struct CandidateExplanation {
  uint32_t model_id = 0;
  uint16_t model_index = 0;
  CandidateStatus status = CandidateStatus::Rejected;
  GateKind gate = GateKind::Disabled;
  uint64_t measured = 0;
  uint64_t limit = 0;
  uint64_t cost = 0;
  uint64_t budget = 0;
  UtilityBreakdown breakdown;
};

struct Explanation {
  KernelDecision decision;
  // Empty when the request was refused at a hard limit.
  std::vector<CandidateExplanation> candidates;
};

// The caller has applied validate_input.
Explanation explain(const PolicySnapshot& snapshot, const KernelInput& input);

}  // namespace morvatel

#endif  // MORVATEL_KERNEL_EXPLAIN_H_
