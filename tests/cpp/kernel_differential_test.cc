// The kernel against the model-at-a-time kernel it replaced, kept here as
// the reference: gates as a chain of branches, cost and utility with early
// returns, and one pass that ranks and counts. Decisions, traces and every
// per-model evaluation must agree on random catalogues whose values sit on
// and around each gate's boundary and each fast path's overflow limit.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <random>
#include <vector>

#include "evaluation_match.h"
#include "kernel/prescribe.h"

namespace morvatel {
namespace {

namespace reference {

using namespace evaluate_detail;

Verdict branchy_first_gate(const RequestContext& ctx, const KernelModel& m) {
  const KernelInput& in = *ctx.input;
  if (m.enabled == 0) return Verdict::Disabled;
  if (m.quality_bps < in.minimum_quality_bps) return Verdict::Quality;
  const uint32_t latency_limit = in.max_p95_latency_ms != 0 ? in.max_p95_latency_ms : UINT32_MAX;
  if (m.p95_latency_ms > latency_limit) return Verdict::Latency;
  if ((in.required_capabilities & ~m.capabilities) != 0) return Verdict::Capability;
  if (m.provider_id > kMaxProviderId) return Verdict::ProviderUnrepresentable;
  if (((in.allowed_provider_mask >> m.provider_id) & 1) == 0) return Verdict::ProviderNotAllowed;
  if (in.required_region_mask != 0 && (in.required_region_mask & m.region_mask) == 0) {
    return Verdict::Region;
  }
  if (in.risk_bps > m.risk_ceiling_bps) return Verdict::RiskCeiling;
  return Verdict::Eligible;
}

template <bool kFast>
Evaluation branchy_evaluate(const RequestContext& ctx, const KernelModel& m) {
  const KernelInput& in = *ctx.input;
  Evaluation e{};
  e.verdict = branchy_first_gate(ctx, m);
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
    const uint64_t loss = static_cast<uint64_t>(ctx.risk_penalty) + e.cost + latency;
    if (gain > loss) {
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

struct Candidate {
  int64_t utility = 0;
  uint64_t cost = 0;
  size_t index = 0;
};

struct Ranking {
  std::span<const KernelModel> models;
  Candidate best;
  Candidate second;

  bool ranks_above(const Candidate& a, const Candidate& b) const {
    if (a.utility != b.utility) return a.utility > b.utility;
    if (a.cost != b.cost) return a.cost < b.cost;
    const KernelModel& ma = models[a.index];
    const KernelModel& mb = models[b.index];
    if (ma.quality_bps != mb.quality_bps) return ma.quality_bps > mb.quality_bps;
    return ma.model_id < mb.model_id;
  }
  void offer(const Candidate& c) {
    if (ranks_above(c, best)) {
      second = best;
      best = c;
    } else if (ranks_above(c, second)) {
      second = c;
    }
  }
};

uint16_t saturate16(uint64_t v) { return static_cast<uint16_t>(std::min<uint64_t>(v, 65535)); }

KernelReason rejection_reason(const GateTrace& t) {
  struct Step {
    uint16_t count;
    KernelReason reason;
  };
  const Step walk[] = {
      {t.capability, KernelReason::CapabilityConstraint},
      {t.region, KernelReason::RegionConstraint},
      {t.provider, KernelReason::ProviderConstraint},
      {t.quality, KernelReason::QualityConstraint},
      {t.risk_ceiling, KernelReason::RiskCeilingConstraint},
      {t.latency, KernelReason::LatencyConstraint},
      {t.budget, KernelReason::BudgetConstraint},
      {t.utility, KernelReason::NonPositiveUtility},
      {t.disabled, KernelReason::NoEnabledModel},
  };
  Step choice = walk[0];
  for (const Step& s : walk) {
    if (s.count >= choice.count) choice = s;
  }
  return choice.count != 0 ? choice.reason : KernelReason::NoEnabledModel;
}

Prescription prescribe(const PolicySnapshot& snapshot, const KernelInput& input,
                       ArithmeticPath path) {
  const PolicyParams& p = snapshot.params();
  KernelDecision d;
  d.request_sequence = input.request_sequence;
  d.action = KernelAction::Reject;
  d.selected_model_index = kNoSelectedIndex;
  d.policy_epoch = p.policy_epoch;
  d.catalog_epoch = p.catalog_epoch;
  if (auto refusal = hard_limit_refusal(p, input)) {
    d.reason = *refusal;
    return Prescription{d, GateTrace{}};
  }
  const RequestContext ctx = make_request_context(snapshot, input, path);
  const std::span<const KernelModel> models = snapshot.models();
  uint64_t counts[kVerdictCount] = {};
  Ranking ranking{models, {}, {}};
  for (size_t i = 0; i < models.size(); ++i) {
    const Evaluation e = ctx.all_fast() ? branchy_evaluate<true>(ctx, models[i])
                                        : branchy_evaluate<false>(ctx, models[i]);
    ++counts[static_cast<size_t>(e.verdict)];
    if (e.verdict == Verdict::Eligible) ranking.offer(Candidate{e.utility, e.cost, i});
  }
  auto count = [&](Verdict v) { return saturate16(counts[static_cast<size_t>(v)]); };
  const GateTrace trace{
      .disabled = count(Verdict::Disabled),
      .quality = count(Verdict::Quality),
      .risk_ceiling = count(Verdict::RiskCeiling),
      .latency = count(Verdict::Latency),
      .capability = count(Verdict::Capability),
      .provider = saturate16(uint64_t{count(Verdict::ProviderUnrepresentable)} +
                             count(Verdict::ProviderNotAllowed)),
      .region = count(Verdict::Region),
      .budget = count(Verdict::OverBudget),
      .utility = count(Verdict::NonPositiveUtility),
  };
  d.evaluated_models = saturate16(models.size());
  if (ranking.best.utility <= 0) {
    d.reason = rejection_reason(trace);
    return Prescription{d, trace};
  }
  const Candidate& best = ranking.best;
  const Candidate& second = ranking.second;
  const uint32_t best_id = models[best.index].model_id;
  const bool requested = best_id == input.requested_model_id;
  d.action = requested ? KernelAction::ExecuteRequested : KernelAction::Substitute;
  d.reason = requested ? KernelReason::RequestedModelMaximizesUtility
                       : KernelReason::AlternativeMaximizesUtility;
  d.selected_model_id = best_id;
  d.selected_model_index = saturate16(best.index);
  d.estimated_cost_microunits = best.cost;
  d.expected_utility_microunits = best.utility;
  d.counterfactual_model_id = second.utility > 0 ? models[second.index].model_id : 0;
  d.counterfactual_utility_microunits = second.utility;
  d.eligible_models = count(Verdict::Eligible);
  return Prescription{d, trace};
}

}  // namespace reference

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// Requests and catalogues drawn so that every gate both admits and refuses,
// often on its exact boundary, masks differ in either 32-bit half, and the
// arithmetic runs into its 64-bit limits now and then.
class Draw {
 public:
  explicit Draw(uint64_t seed) : rng_(seed) {}

  uint64_t pick(uint64_t n) { return rng_() % n; }
  bool one_in(uint64_t n) { return pick(n) == 0; }

  uint64_t mask() {
    switch (pick(6)) {
      case 0: return 0;
      case 1: return kU64Max;
      case 2: return uint64_t{1} << pick(64);
      case 3: return (uint64_t{1} << pick(64)) | (uint64_t{1} << pick(64));
      case 4: return rng_() & rng_();
      default: return rng_();
    }
  }
  // Near `edge` (within 1) or anywhere up to `max`.
  uint64_t around(uint64_t edge, uint64_t max) {
    if (one_in(3)) return pick(max + 1);
    const uint64_t d = pick(3);
    if (d == 0) return edge == 0 ? 0 : edge - 1;
    return std::min(max, edge + d - 1);
  }
  uint64_t money() {
    switch (pick(5)) {
      case 0: return 0;
      case 1: return kU64Max - pick(2);
      case 2: return rng_() >> pick(64);
      default: return pick(100000);
    }
  }

  KernelInput input(uint64_t seq) {
    KernelInput in;
    in.request_sequence = seq;
    in.requested_model_id = static_cast<uint32_t>(pick(40));
    in.input_tokens = static_cast<uint32_t>(one_in(4) ? 0xFFFFFFFF : pick(5000));
    in.output_tokens = static_cast<uint32_t>(one_in(4) ? 0xFFFFFFFF : pick(5000));
    in.business_value_microunits = one_in(8)   ? -static_cast<int64_t>(pick(1000))
                                   : one_in(3) ? static_cast<int64_t>(money() >> 1)
                                               : static_cast<int64_t>(pick(1000000000));
    in.budget_limit_microunits = one_in(2) ? kU64Max : one_in(2) ? money() : pick(20000);
    in.risk_bps = static_cast<uint16_t>(one_in(3) ? pick(10001) : pick(1000));
    in.confidence_bps = static_cast<uint16_t>(pick(10001));
    in.minimum_quality_bps = static_cast<uint16_t>(pick(10001));
    in.max_p95_latency_ms = static_cast<uint32_t>(one_in(4) ? 0 : around(500, 0xFFFFFFFF));
    in.required_capabilities = one_in(2) ? 0 : mask();
    in.allowed_provider_mask = one_in(3) ? kU64Max : mask();
    in.required_region_mask = one_in(2) ? 0 : mask();
    return in;
  }

  // One of the set bits of a nonzero mask.
  uint64_t some_bit(uint64_t m) {
    for (;;) {
      const uint64_t b = uint64_t{1} << pick(64);
      if (m & b) return b;
    }
  }

  // A model for `in` that each gate refuses one time in eight, on the
  // gate's boundary or past it, and admits otherwise, often exactly on the
  // boundary.
  KernelModel model(uint32_t id, const KernelInput& in) {
    KernelModel m;
    m.model_id = id;
    auto refuse = [&] { return one_in(8); };
    auto edge = [&](uint64_t v, uint64_t limit, bool up) -> uint64_t {
      // v itself, or a step inside the admitted side.
      if (one_in(2)) return v;
      return up ? std::min(limit, v + 1 + pick(3)) : (v == 0 ? 0 : v - 1);
    };
    m.enabled = static_cast<uint8_t>(refuse() ? 0 : 1 + (one_in(10) ? 1 : 0));
    m.quality_bps = static_cast<uint16_t>(refuse() && in.minimum_quality_bps > 0
                                              ? pick(in.minimum_quality_bps)
                                              : edge(in.minimum_quality_bps, 10000, true));
    const uint32_t limit = in.max_p95_latency_ms == 0 ? 0xFFFFFFFF : in.max_p95_latency_ms;
    m.p95_latency_ms = static_cast<uint32_t>(
        refuse() && limit < 0xFFFFFFFF ? limit + 1 + pick(2) : edge(limit, limit, false));
    m.capabilities = in.required_capabilities | mask();
    if (refuse() && in.required_capabilities != 0) {
      m.capabilities &= ~some_bit(in.required_capabilities);
    }
    if (one_in(20)) {
      m.provider_id = static_cast<uint16_t>(64 + pick(2000));
    } else if (refuse() || in.allowed_provider_mask == 0) {
      m.provider_id = static_cast<uint16_t>(pick(64));
    } else {
      m.provider_id = static_cast<uint16_t>(std::countr_zero(some_bit(in.allowed_provider_mask)));
    }
    m.region_mask = mask();
    if (in.required_region_mask != 0) {
      if (refuse()) {
        m.region_mask &= ~in.required_region_mask;
      } else {
        m.region_mask |= some_bit(in.required_region_mask);
      }
    }
    m.risk_ceiling_bps = static_cast<uint16_t>(
        refuse() && in.risk_bps > 0 ? in.risk_bps - 1 : edge(in.risk_bps, 10000, true));
    m.input_cost_microunits_per_million_tokens = one_in(4) ? money() : pick(1000);
    m.output_cost_microunits_per_million_tokens = one_in(4) ? money() : pick(1000);
    return m;
  }

 private:
  std::mt19937_64 rng_;
};

// Catalogue lengths around the gate groups and runs, built without
// validation so that out-of-range providers, an enabled flag of 2 and
// repeated ids reach the kernel too.
TEST(KernelDifferential, MatchesTheModelAtATimeKernel) {
  Draw r(107);
  const size_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 31, 127, 128, 129, 255, 256, 257, 300};
  size_t selections = 0, refusals = 0;
  for (int round = 0; round < 6000; ++round) {
    KernelInput in = r.input(static_cast<uint64_t>(round));
    const size_t n = r.one_in(4) ? lengths[r.pick(std::size(lengths))] : 1 + r.pick(12);
    std::vector<KernelModel> models;
    for (size_t i = 0; i < n; ++i) {
      models.push_back(r.model(static_cast<uint32_t>(r.one_in(30) ? 1 + r.pick(n) : i + 1), in));
    }
    PolicyParams p{1,
                   2,
                   static_cast<uint16_t>(r.one_in(10) ? r.pick(10001) : 10000),
                   static_cast<uint16_t>(r.one_in(10) ? r.pick(10001) : 0),
                   static_cast<uint16_t>(r.one_in(3) ? r.pick(50001) : r.pick(10001)),
                   r.one_in(3) ? r.pick(1000) : r.money()};
    const PolicySnapshot s =
        PolicySnapshot::new_unchecked(p, std::make_shared<const std::vector<KernelModel>>(models));
    for (ArithmeticPath path : {ArithmeticPath::kFastest, ArithmeticPath::kWide}) {
      const Prescription want = reference::prescribe(s, in, path);
      const Prescription got = prescribe_inner(s, in, path);
      ASSERT_EQ(got.decision, want.decision) << "round " << round;
      ASSERT_EQ(got.trace, want.trace) << "round " << round;
      selections += want.decision.action != KernelAction::Reject;
      refusals += want.decision.action == KernelAction::Reject;

      const RequestContext ctx = make_request_context(s, in, path);
      for (const KernelModel& m : s.models()) {
        expect_same_evaluation(evaluate_model(ctx, m), reference::branchy_evaluate<false>(ctx, m),
                               round);
        if (ctx.all_fast()) {
          expect_same_evaluation(evaluate_model<true>(ctx, m),
                                 reference::branchy_evaluate<true>(ctx, m), round);
        }
      }
    }
  }
  EXPECT_GT(selections, 1000u);
  EXPECT_GT(refusals, 1000u);
}

// A catalogue past 65535 entries, whose counts saturate at 16 bits.
TEST(KernelDifferential, SaturatedCountsOfAHugeCatalogue) {
  Draw r(65536);
  KernelInput in = r.input(1);
  in.budget_limit_microunits = kU64Max;
  std::vector<KernelModel> models;
  for (uint32_t id = 1; id <= 70000; ++id) models.push_back(r.model(id, in));
  const PolicySnapshot s = PolicySnapshot::new_unchecked(
      PolicyParams{1, 2, 10000, 0, 10000, 1},
      std::make_shared<const std::vector<KernelModel>>(std::move(models)));
  for (int k = 0; k < 8; ++k) {
    in = r.input(static_cast<uint64_t>(k));
    const Prescription want = reference::prescribe(s, in, ArithmeticPath::kFastest);
    const Prescription got = prescribe_inner(s, in);
    EXPECT_EQ(got.decision, want.decision);
    EXPECT_EQ(got.trace, want.trace);
  }
}

}  // namespace
}  // namespace morvatel
