#ifndef MORVATEL_KERNEL_EVALUATE_H_
#define MORVATEL_KERNEL_EVALUATE_H_

// The one per-model evaluation of a request: gates in their fixed order,
// cost, and the utility with its parts. The prescription, the explanation,
// the per-model utility and the counterfactual probes all go through
// gate_refusals and evaluate_admitted (evaluate_model is the two in turn),
// so they cannot disagree about any model. The prescription works out the
// gates of four models at once, with the same definition, from the
// snapshot's gate columns.
//
// Everything that depends only on the request (its value, the risk penalty,
// and which products provably fit 64 bits for every catalogue model) is
// worked out once in RequestContext. The proofs use the snapshot's
// catalogue maxima, which every snapshot value recomputes when it is built.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "kernel/policy.h"
#include "kernel/records.h"

namespace morvatel {

using u128 = unsigned __int128;

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

// A 64-bit mask as two 32-bit halves. The gates test masks half by half,
// so that a loop over many models needs no 64-bit vector lanes, which not
// every target's baseline instruction set can compare.
struct Mask64 {
  uint32_t lo;
  uint32_t hi;
};

inline constexpr Mask64 halves(uint64_t m) {
  return Mask64{static_cast<uint32_t>(m), static_cast<uint32_t>(m >> 32)};
}

// What the gates read from a request, by value, so that a loop over many
// models keeps it in registers. Every field is a 32-bit lane, as the gate
// columns are.
struct GateRequest {
  uint32_t minimum_quality_bps;
  uint32_t risk_bps;
  uint32_t latency_limit;  // the request's limit, with "none" as the largest value
  Mask64 required_capabilities;
  Mask64 allowed_provider_mask;
  Mask64 required_region_mask;
  uint32_t region_refusal;  // the Region bit when a region is required, else 0
};

// Refers to the request it was made from, which must outlive it.
struct RequestContext {
  const KernelInput* input;
  uint64_t value;             // business value, negatives counted as 0
  u128 risk_penalty;          // the same for every model
  uint64_t value_confidence;  // value * confidence_bps, valid when quality_fast
  uint64_t latency_penalty_per_ms;
  bool risk_fast;             // risk_penalty fits 64 bits
  bool quality_fast;
  bool cost_fast;
  bool latency_fast;
  // Every model's risk penalty + cost + latency penalty fits 64 bits, so a
  // positive utility is a plain 64-bit difference.
  bool utility_fast;
  bool all_fast() const {
    return risk_fast && quality_fast && cost_fast && latency_fast && utility_fast;
  }
};

// Worked out once per request: the request's value and risk penalty, and
// which products provably fit 64 bits for every catalogue model.
inline RequestContext make_request_context(const PolicySnapshot& snapshot, const KernelInput& input,
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

inline constexpr unsigned gate_bit(Verdict gate) { return static_cast<unsigned>(gate); }

// Made where it is used, straight from the request, so that it stays in
// registers.
inline GateRequest gate_request(const KernelInput& in) {
  return GateRequest{
      .minimum_quality_bps = in.minimum_quality_bps,
      .risk_bps = in.risk_bps,
      .latency_limit = in.max_p95_latency_ms != 0 ? in.max_p95_latency_ms : UINT32_MAX,
      .required_capabilities = halves(in.required_capabilities),
      .allowed_provider_mask = halves(in.allowed_provider_mask),
      .required_region_mask = halves(in.required_region_mask),
      .region_refusal = in.required_region_mask != 0 ? 1u << gate_bit(Verdict::Region) : 0u,
  };
}

// The gate inputs of a model that do not depend on the request: the
// refusal bits of the two gates that are fixed by the model alone, and the
// model's bit in a provider mask (none for a provider past the largest id).
struct FixedGates {
  uint32_t refusals;
  Mask64 provider_bit;
};

inline FixedGates fixed_gates(const KernelModel& m) {
  const bool unrepresentable = m.provider_id > kMaxProviderId;
  return FixedGates{(uint32_t{m.enabled == 0} << gate_bit(Verdict::Disabled)) |
                        (uint32_t{unrepresentable} << gate_bit(Verdict::ProviderUnrepresentable)),
                    halves(unrepresentable ? 0 : uint64_t{1} << m.provider_id)};
}

// Four 32-bit lanes, a model in each: the compiler's generic vector type,
// which it turns into the target's vector instructions (SSE2, NEON) or into
// plain scalar code on a target without them.
using Lanes = uint32_t __attribute__((vector_size(16)));
using SignedLanes = int32_t __attribute__((vector_size(16)));

namespace evaluate_detail {

// A comparison's outcome as all ones (true) or zero, per lane.
inline uint32_t as_mask(bool b) { return 0u - static_cast<uint32_t>(b); }
inline Lanes as_mask(SignedLanes m) { return std::bit_cast<Lanes>(m); }

inline int32_t as_signed(uint32_t v) { return static_cast<int32_t>(v); }
inline SignedLanes as_signed(Lanes v) { return std::bit_cast<SignedLanes>(v); }

}  // namespace evaluate_detail

// The gate inputs of a model, each a 32-bit value, 64-bit masks in two
// halves.
enum GateColumn : size_t {
  kFixed,
  kQuality,
  kLatency,
  kCapabilitiesLo,
  kCapabilitiesHi,
  kProviderLo,
  kProviderHi,
  kRegionLo,
  kRegionHi,
  kRiskCeiling,
  kGateColumns,
};

// A model's gate inputs by column. A single model's gates and the gate
// columns both take them from here, so the two cannot disagree.
inline std::array<uint32_t, kGateColumns> gate_row(const KernelModel& m) {
  const FixedGates f = fixed_gates(m);
  const Mask64 caps = halves(m.capabilities);
  const Mask64 region = halves(m.region_mask);
  std::array<uint32_t, kGateColumns> row;
  row[kFixed] = f.refusals;
  row[kQuality] = m.quality_bps;
  row[kLatency] = m.p95_latency_ms;
  row[kCapabilitiesLo] = caps.lo;
  row[kCapabilitiesHi] = caps.hi;
  row[kProviderLo] = f.provider_bit.lo;
  row[kProviderHi] = f.provider_bit.hi;
  row[kRegionLo] = region.lo;
  row[kRegionHi] = region.hi;
  row[kRiskCeiling] = m.risk_ceiling_bps;
  return row;
}

// One bit per gate that refuses the model, at the bit named by the gate's
// verdict. Every gate is worked out, without a branch: on a catalogue whose
// gate outcomes vary from model to model a branch per gate is mispredicted
// often. The one definition serves a single model (L = uint32_t) and four
// models at once (L = Lanes); col(c) gives the inputs of column c. A
// provider without a bit is refused as unrepresentable, which comes first;
// a mask of all ones has every provider's bit set, so "all providers" needs
// no case of its own.
template <typename L, typename Col>
inline L gate_refusals(const GateRequest& q, Col col) {
  using evaluate_detail::as_mask;
  using evaluate_detail::as_signed;
  auto when = [](auto refused, Verdict gate) -> L {
    return as_mask(refused) & (uint32_t{1} << gate_bit(gate));
  };
  // Basis points are 16-bit values in their lanes, so a signed compare,
  // which every vector unit has, orders them as an unsigned one would.
  auto below = [](L a, uint32_t b) { return as_signed(a) < as_signed(b); };
  const L missing_capability = (q.required_capabilities.lo & ~col(kCapabilitiesLo)) |
                               (q.required_capabilities.hi & ~col(kCapabilitiesHi));
  const L allowed_provider = (q.allowed_provider_mask.lo & col(kProviderLo)) |
                             (q.allowed_provider_mask.hi & col(kProviderHi));
  const L required_region = (q.required_region_mask.lo & col(kRegionLo)) |
                            (q.required_region_mask.hi & col(kRegionHi));
  return col(kFixed) | when(below(col(kQuality), q.minimum_quality_bps), Verdict::Quality) |
         when(col(kLatency) > q.latency_limit, Verdict::Latency) |
         when(missing_capability != 0, Verdict::Capability) |
         when(allowed_provider == 0, Verdict::ProviderNotAllowed) |
         (when(required_region == 0, Verdict::Region) & q.region_refusal) |
         when(below(col(kRiskCeiling), q.risk_bps), Verdict::RiskCeiling);
}

inline uint32_t gate_refusals(const RequestContext& ctx, const KernelModel& m) {
  const std::array<uint32_t, kGateColumns> row = gate_row(m);
  return gate_refusals<uint32_t>(gate_request(*ctx.input), [&](GateColumn c) { return row[c]; });
}

// The catalogue's gate inputs by groups of kGroup models, each group's
// columns side by side (the columns of models 0-3, then those of 4-7, ...):
// the gates of a group are then a few vector operations on loads at fixed
// offsets. The last group is padded. Built once for each snapshot value.
struct GateColumns {
  static constexpr size_t kGroup = sizeof(Lanes) / sizeof(uint32_t);

  std::vector<uint32_t> values;

  explicit GateColumns(std::span<const KernelModel> models)
      : values((models.size() + kGroup - 1) / kGroup * kGroup * kGateColumns) {
    // Padding is refused as disabled, so that a loop over whole groups never
    // admits it; the loop takes it off the disabled count.
    for (size_t i = models.size(); i % kGroup != 0; ++i) {
      values[(i - i % kGroup) * kGateColumns + i % kGroup] = 1u << gate_bit(Verdict::Disabled);
    }
    for (size_t i = 0; i < models.size(); ++i) {
      const std::array<uint32_t, kGateColumns> row = gate_row(models[i]);
      uint32_t* group = values.data() + (i - i % kGroup) * kGateColumns;
      for (size_t c = 0; c < kGateColumns; ++c) group[c * kGroup + i % kGroup] = row[c];
    }
  }

  // gate_refusals of the group of models from `first`, a whole number of
  // groups, padding included.
  void group_refusals(const GateRequest& q, size_t first, uint32_t (&out)[kGroup]) const {
    const uint32_t* group = values.data() + first * kGateColumns;
    const Lanes r = gate_refusals<Lanes>(q, [&](GateColumn c) {
      Lanes v;
      std::memcpy(&v, group + c * kGroup, sizeof v);
      return v;
    });
    std::memcpy(out, &r, sizeof r);
  }
};

// The first gate, in gate order, that refuses: the lowest refusal bit, with
// Eligible's bit as the stop when none does.
inline Verdict first_refusal(uint32_t refusals) {
  return static_cast<Verdict>(std::countr_zero(refusals | (1u << gate_bit(Verdict::Eligible))));
}

inline Verdict first_gate(const RequestContext& ctx, const KernelModel& m) {
  return first_refusal(gate_refusals(ctx, m));
}

namespace evaluate_detail {

inline constexpr uint64_t kMicro = 1000000;
inline constexpr uint64_t kBpsSquared = 100000000;
inline constexpr uint64_t kAllBits = std::numeric_limits<uint64_t>::max();
inline constexpr uint64_t kI64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

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

// Evaluates a model that every gate admits: cost, then the utility and its
// parts. kFast promises ctx.all_fast(), which lets the hot loop drop the
// choice of arithmetic per product; otherwise each product takes the path
// its context flag chose. Both give the same results.
template <bool kFast = false>
inline Evaluation evaluate_admitted(const RequestContext& ctx, const KernelModel& m) {
  using namespace evaluate_detail;
  const KernelInput& in = *ctx.input;
  Evaluation e{};
  e.verdict = Verdict::Eligible;
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
    const uint64_t loss = static_cast<uint64_t>(ctx.risk_penalty) + e.cost + latency;
    if (gain > loss) [[likely]] {
      e.utility = static_cast<int64_t>(gain - loss);
      return e;
    }
    e.utility = clamp_utility(gain, loss);
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

// Evaluates one model: gates, cost, then the utility and its parts.
template <bool kFast = false>
inline Evaluation evaluate_model(const RequestContext& ctx, const KernelModel& m) {
  const Verdict gate = first_gate(ctx, m);
  if (gate != Verdict::Eligible) return Evaluation{gate, 0, 0, 0, 0};
  return evaluate_admitted<kFast>(ctx, m);
}

namespace evaluate_detail {

inline bool mul_fits(uint64_t a, uint64_t b, uint64_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}
inline bool add_fits(uint64_t a, uint64_t b, uint64_t* out) {
  return !__builtin_add_overflow(a, b, out);
}

}  // namespace evaluate_detail

inline RequestContext make_request_context(const PolicySnapshot& snapshot, const KernelInput& input,
                                           ArithmeticPath path) {
  using namespace evaluate_detail;
  const PolicyParams& p = snapshot.params();
  const CatalogMaxima& max = snapshot.maxima();
  const bool allow_fast = path == ArithmeticPath::kFastest;

  RequestContext ctx{};
  ctx.input = &input;
  ctx.value = input.business_value_microunits > 0
                  ? static_cast<uint64_t>(input.business_value_microunits)
                  : 0;
  ctx.latency_penalty_per_ms = p.latency_penalty_microunits_per_ms;

  uint64_t vr = 0, vrm = 0;
  if (allow_fast && mul_fits(ctx.value, input.risk_bps, &vr) &&
      mul_fits(vr, p.risk_penalty_multiplier_bps, &vrm)) {
    ctx.risk_penalty = vrm / kBpsSquared;
    ctx.risk_fast = true;
  } else {
    ctx.risk_penalty = u128{ctx.value} * input.risk_bps * p.risk_penalty_multiplier_bps /
                       kBpsSquared;
  }

  uint64_t vcq = 0;
  ctx.quality_fast = allow_fast &&
                     mul_fits(ctx.value, input.confidence_bps, &ctx.value_confidence) &&
                     mul_fits(ctx.value_confidence, max.quality_bps, &vcq);

  uint64_t a = 0, b = 0, ar = 0, br = 0, sum = 0;
  ctx.cost_fast = allow_fast &&
                  mul_fits(input.input_tokens, max.input_cost_microunits_per_million_tokens, &a) &&
                  mul_fits(input.output_tokens, max.output_cost_microunits_per_million_tokens,
                           &b) &&
                  add_fits(a, kMicro - 1, &ar) && add_fits(b, kMicro - 1, &br) &&
                  add_fits(ar, br, &sum);

  uint64_t lp = 0;
  ctx.latency_fast = allow_fast &&
                     mul_fits(max.p95_latency_ms, p.latency_penalty_microunits_per_ms, &lp);

  // The largest possible loss over the whole catalogue, from the same
  // maxima. (The gain needs no bound of its own: when quality_fast holds it
  // is below 2^64 / 10^8, far inside the signed range.)
  uint64_t loss_bound;
  ctx.utility_fast = ctx.risk_fast && ctx.cost_fast && ctx.latency_fast && ctx.quality_fast &&
                     add_fits(static_cast<uint64_t>(ctx.risk_penalty), ar / kMicro + br / kMicro,
                              &loss_bound) &&
                     add_fits(loss_bound, lp, &loss_bound);
  return ctx;
}

}  // namespace morvatel

#endif  // MORVATEL_KERNEL_EVALUATE_H_
