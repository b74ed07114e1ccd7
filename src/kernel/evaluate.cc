#include "kernel/evaluate.h"

namespace morvatel {

namespace {

bool mul_fits(uint64_t a, uint64_t b, uint64_t* out) { return !__builtin_mul_overflow(a, b, out); }
bool add_fits(uint64_t a, uint64_t b, uint64_t* out) { return !__builtin_add_overflow(a, b, out); }

}  // namespace

RequestContext make_request_context(const PolicySnapshot& snapshot, const KernelInput& input,
                                    ArithmeticPath path) {
  using evaluate_detail::kBpsSquared;
  using evaluate_detail::kMicro;
  const PolicyParams& p = snapshot.params();
  const CatalogMaxima& max = snapshot.maxima();
  const bool allow_fast = path == ArithmeticPath::kFastest;

  RequestContext ctx{};
  ctx.input = &input;
  ctx.value = input.business_value_microunits > 0
                  ? static_cast<uint64_t>(input.business_value_microunits)
                  : 0;
  ctx.latency_penalty_per_ms = p.latency_penalty_microunits_per_ms;
  ctx.latency_limit =
      input.max_p95_latency_ms != 0 ? input.max_p95_latency_ms : UINT32_MAX;

  uint64_t vr, vrm;
  if (allow_fast && mul_fits(ctx.value, input.risk_bps, &vr) &&
      mul_fits(vr, p.risk_penalty_multiplier_bps, &vrm)) {
    ctx.risk_penalty = vrm / kBpsSquared;
    ctx.risk_fast = true;
  } else {
    ctx.risk_penalty = u128{ctx.value} * input.risk_bps * p.risk_penalty_multiplier_bps / kBpsSquared;
  }

  uint64_t vcq;
  ctx.quality_fast = allow_fast && mul_fits(ctx.value, input.confidence_bps, &ctx.value_confidence) &&
                     mul_fits(ctx.value_confidence, max.quality_bps, &vcq);

  uint64_t a, b, ar, br, sum;
  ctx.cost_fast = allow_fast &&
                  mul_fits(input.input_tokens, max.input_cost_microunits_per_million_tokens, &a) &&
                  mul_fits(input.output_tokens, max.output_cost_microunits_per_million_tokens, &b) &&
                  add_fits(a, kMicro - 1, &ar) && add_fits(b, kMicro - 1, &br) &&
                  add_fits(ar, br, &sum);

  uint64_t lp;
  ctx.latency_fast = allow_fast && mul_fits(max.p95_latency_ms, p.latency_penalty_microunits_per_ms, &lp);
  return ctx;
}

}  // namespace morvatel
