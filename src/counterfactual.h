#ifndef MORVATEL_COUNTERFACTUAL_H_
#define MORVATEL_COUNTERFACTUAL_H_

// What-if questions about one request, answered by running the real kernel
// on private copies of the snapshot in which one model is changed, and
// searching for the lever value at which the outcome flips. There is no
// second formula to drift away from the kernel's.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

// A new snapshot value with the same parameters and a copy of the catalogue
// whose entry at `index` is `model`. Nothing is re-sorted or validated; the
// catalogue maxima are recomputed, as for every value, so the kernel's
// 64-bit proofs hold for the changed model too. `index` must name an entry.
PolicySnapshot with_model(const PolicySnapshot& snapshot, size_t index, const KernelModel& model);

enum class Lever : uint8_t {
  QualityBps = 0,
  P95LatencyMs = 1,
  PriceScalePpm = 2,  // both prices scaled, in parts per million
  RiskCeilingBps = 3,
  Enabled = 4,
};

std::string_view lever_name(Lever lever);

struct Requirement {
  Lever lever;
  uint64_t current;
  uint64_t boundary;
  // The model's cost at the boundary scale; only for PriceScalePpm.
  std::optional<uint64_t> cost_at_boundary;

  bool operator==(const Requirement&) const = default;
};

struct WinRequirements {
  uint32_t model_id;
  uint32_t selected_model_id;  // 0 when the request was rejected
  // RiskHardLimit or ConfidenceHardLimit when the request itself is refused.
  std::optional<KernelReason> blocked_by_request;
  std::vector<Requirement> levers;
};

struct DecisionMargin {
  uint32_t model_id;
  std::vector<Requirement> levers;
};

// Price scaled by `scale_ppm`: floor(price * scale / 1000000), exactly, and
// 18446744073709551615 when that does not fit.
uint64_t scaled_price(uint64_t price, uint64_t scale_ppm);

// What the model would need, one lever at a time, to be selected; nothing
// when it is not in the catalogue. The caller has applied validate_input.
std::optional<WinRequirements> what_would_win(const PolicySnapshot& snapshot,
                                              const KernelInput& input, uint32_t model_id);

// How far each lever of the selected model can move before it loses;
// nothing when the request is rejected.
std::optional<DecisionMargin> decision_margin(const PolicySnapshot& snapshot,
                                              const KernelInput& input);

}  // namespace morvatel

#endif  // MORVATEL_COUNTERFACTUAL_H_
