#ifndef MORVATEL_KERNEL_EVALUATE_H_
#define MORVATEL_KERNEL_EVALUATE_H_

// The one per-model evaluation of a request: gates in their fixed order,
// cost, and the utility with its parts. The prescription, the explanation,
// the per-model utility and the counterfactual probes all go through
// evaluate_model, so they cannot disagree about any model.
//
// Everything that depends only on the request (its value, the risk penalty,
// and which products provably fit 64 bits for every catalogue model) is
// worked out once in RequestContext. The proofs use the snapshot's
// catalogue maxima, which every snapshot value recomputes when it is built.

#include <cstdint>
#include <limits>

#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

using u128 = unsigned __int128;
using i128 = __int128;

// What evaluation made of one model. The first eight are the gates in the
// order they are applied; their values are the gate codes shown to callers.
enum class Verdict : uint8_t {
  Disabled = 0,
  Quality = 1,
  Latency = 2,
  Capability = 3,
  ProviderUnrepresentable = 4,
  ProviderNotAllowed = 5,
  Region = 6,
  RiskCeiling = 7,
  OverBudget = 8,
  NonPositiveUtility = 9,
  Eligible = 10,
};
inline constexpr size_t kVerdictCount = 11;

inline constexpr bool is_gate(Verdict v) { return v <= Verdict::RiskCeiling; }

// Which arithmetic a request may use. kWide forces exact 128-bit arithmetic
// everywhere; it exists so the fast paths can be checked against it.
enum class ArithmeticPath : uint8_t { kFastest, kWide };

struct RequestContext {
  const KernelInput* input;
  uint64_t value;             // business value, negatives counted as 0
  u128 risk_penalty;          // the same for every model
  uint64_t value_confidence;  // value * confidence_bps, valid when quality_fast
  uint64_t latency_penalty_per_ms;
  uint32_t latency_limit;     // the request's limit, with "none" as the largest value
  bool risk_fast;             // risk_penalty fits 64 bits
  bool quality_fast;
  bool cost_fast;
  bool latency_fast;
  bool all_fast() const { return risk_fast && quality_fast && cost_fast && latency_fast; }
};

RequestContext make_request_context(const PolicySnapshot& snapshot, const KernelInput& input,
                                    ArithmeticPath path = ArithmeticPath::kFastest);

// The fields past the verdict are meaningful from OverBudget on (cost) and
// from NonPositiveUtility on (the rest).
struct Evaluation {
  Verdict verdict;
  uint64_t cost;
  int64_t utility;
  u128 quality_adjusted;
  u128 latency_penalty;
};

namespace evaluate_detail {

inline constexpr uint64_t kMicro = 1000000;
inline constexpr uint64_t kBpsSquared = 100000000;
inline constexpr uint64_t kAllBits = std::numeric_limits<uint64_t>::max();
inline constexpr uint64_t kI64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

// The first gate that refuses the model, or Eligible when none does. Plain
// branches: in real catalogues a gate's outcome is steady across models,
// so they predict well and cost less than computing every gate.
inline Verdict first_gate(const RequestContext& ctx, const KernelModel& m) {
  const KernelInput& in = *ctx.input;
  if (m.enabled == 0) return Verdict::Disabled;
  if (m.quality_bps < in.minimum_quality_bps) return Verdict::Quality;
  if (m.p95_latency_ms > ctx.latency_limit) return Verdict::Latency;
  if ((in.required_capabilities & ~m.capabilities) != 0) return Verdict::Capability;
  if (m.provider_id > kMaxProviderId) return Verdict::ProviderUnrepresentable;
  // A mask of all ones has every provider's bit set, so "all providers"
  // needs no case of its own.
  if (((in.allowed_provider_mask >> m.provider_id) & 1) == 0) return Verdict::ProviderNotAllowed;
  if (in.required_region_mask != 0 && (in.required_region_mask & m.region_mask) == 0) {
    return Verdict::Region;
  }
  if (in.risk_bps > m.risk_ceiling_bps) return Verdict::RiskCeiling;
  return Verdict::Eligible;
}

inline uint64_t cost_fast(const KernelInput& in, const KernelModel& m) {
  uint64_t a = uint64_t{in.input_tokens} * m.input_cost_microunits_per_million_tokens;
  uint64_t b = uint64_t{in.output_tokens} * m.output_cost_microunits_per_million_tokens;
  return (a + (kMicro - 1)) / kMicro + (b + (kMicro - 1)) / kMicro;
}

inline uint64_t cost_wide(const KernelInput& in, const KernelModel& m) {
  u128 a = u128{in.input_tokens} * m.input_cost_microunits_per_million_tokens;
  u128 b = u128{in.output_tokens} * m.output_cost_microunits_per_million_tokens;
  u128 sum = (a + (kMicro - 1)) / kMicro + (b + (kMicro - 1)) / kMicro;
  return sum > kAllBits ? kAllBits : static_cast<uint64_t>(sum);
}

// gain - loss, exactly, clamped to the signed 64-bit range.
inline int64_t clamp_utility(u128 gain, u128 loss) {
  if (gain >= loss) {
    u128 d = gain - loss;
    return d > kI64Max ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
  }
  u128 d = loss - gain;
  return d > u128{kI64Max} + 1 ? std::numeric_limits<int64_t>::min()
                               : static_cast<int64_t>(u128{0} - d);
}

}  // namespace evaluate_detail

// Evaluates one model: gates, cost, then the utility and its parts.
// kFast promises ctx.all_fast(), which lets the hot loop drop the choice of
// arithmetic per product; otherwise each product takes the path its context
// flag chose. Both give the same results.
template <bool kFast = false>
inline Evaluation evaluate_model(const RequestContext& ctx, const KernelModel& m) {
  using namespace evaluate_detail;
  const KernelInput& in = *ctx.input;
  Evaluation e{};
  e.verdict = first_gate(ctx, m);
  if (e.verdict != Verdict::Eligible) return e;
  e.cost = (kFast || ctx.cost_fast) ? cost_fast(in, m) : cost_wide(in, m);
  if (e.cost > in.budget_limit_microunits) {
    e.verdict = Verdict::OverBudget;
    return e;
  }
  if constexpr (kFast) {
    const uint64_t gain = ctx.value_confidence * m.quality_bps / kBpsSquared;
    const uint64_t latency = uint64_t{m.p95_latency_ms} * ctx.latency_penalty_per_ms;
    e.quality_adjusted = gain;
    e.latency_penalty = latency;
    // Every term fits 64 bits here; a loss that does not fit exceeds any
    // gain, and a positive utility is then a plain 64-bit difference.
    uint64_t partial, loss;
    const bool wraps =
        __builtin_add_overflow(static_cast<uint64_t>(ctx.risk_penalty), e.cost, &partial) |
        __builtin_add_overflow(partial, latency, &loss);
    if (!wraps && gain > loss) [[likely]] {
      const uint64_t d = gain - loss;
      e.utility = d > kI64Max ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
      return e;
    }
    e.utility = clamp_utility(gain, ctx.risk_penalty + e.cost + latency);
    e.verdict = Verdict::NonPositiveUtility;
    return e;
  } else {
    if (ctx.quality_fast) {
      e.quality_adjusted = ctx.value_confidence * m.quality_bps / kBpsSquared;
    } else {
      e.quality_adjusted = u128{ctx.value} * in.confidence_bps * m.quality_bps / kBpsSquared;
    }
    if (ctx.latency_fast) {
      e.latency_penalty = uint64_t{m.p95_latency_ms} * ctx.latency_penalty_per_ms;
    } else {
      e.latency_penalty = u128{m.p95_latency_ms} * ctx.latency_penalty_per_ms;
    }
    e.utility = clamp_utility(e.quality_adjusted, ctx.risk_penalty + e.cost + e.latency_penalty);
    e.verdict = e.utility > 0 ? Verdict::Eligible : Verdict::NonPositiveUtility;
    return e;
  }
}

}  // namespace morvatel

#endif  // MORVATEL_KERNEL_EVALUATE_H_
