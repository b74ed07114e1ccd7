#ifndef MORVATEL_KERNEL_PRESCRIBE_H_
#define MORVATEL_KERNEL_PRESCRIBE_H_

// The decision kernel: one request against one policy gives one decision and
// the per-gate refusal counts. Pure, allocation-free and bit-for-bit
// repeatable; replay, receipts and the audited log run it again and compare.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernel/evaluate.h"
#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

// How many catalogue entries each gate refused in one run; a model counts
// once, under the first gate that refused it.
struct GateTrace {
  uint16_t disabled = 0;
  uint16_t quality = 0;
  uint16_t risk_ceiling = 0;
  uint16_t latency = 0;
  uint16_t capability = 0;
  uint16_t provider = 0;
  uint16_t region = 0;
  uint16_t budget = 0;
  uint16_t utility = 0;

  bool operator==(const GateTrace&) const = default;
};

struct Prescription {
  KernelDecision decision;
  GateTrace trace;
};

// The caller has applied validate_input. `path` exists for tests that check
// the 64-bit fast paths against exact 128-bit arithmetic.
Prescription prescribe_inner(const PolicySnapshot& snapshot, const KernelInput& input,
                             ArithmeticPath path = ArithmeticPath::kFastest);

// prescribe_inner over each input in order; `out` has one slot per input.
// It allocates nothing and cannot fail, so it may run without the
// interpreter lock.
void prescribe_batch(const PolicySnapshot& snapshot, std::span<const KernelInput> inputs,
                     std::span<KernelDecision> out) noexcept;

// The utility of one named model for the request, as prescribe_inner would
// compute it; nothing when the request is refused outright, the model is not
// in the catalogue, a gate or the budget refuses it, or it is not positive.
std::optional<int64_t> utility_for_model(const PolicySnapshot& snapshot, const KernelInput& input,
                                         uint32_t model_id,
                                         ArithmeticPath path = ArithmeticPath::kFastest);

// Index of the first catalogue entry with this id.
std::optional<size_t> find_model(const PolicySnapshot& snapshot, uint32_t model_id);

// The rejection of a request refused at the hard risk limit or the minimum
// confidence, or nothing when the request passes both.
inline std::optional<KernelReason> hard_limit_refusal(const PolicyParams& params,
                                                      const KernelInput& input) {
  if (input.risk_bps >= params.hard_risk_limit_bps) return KernelReason::RiskHardLimit;
  if (input.confidence_bps < params.minimum_confidence_bps)
    return KernelReason::ConfidenceHardLimit;
  return std::nullopt;
}

}  // namespace morvatel

#endif  // MORVATEL_KERNEL_PRESCRIBE_H_
