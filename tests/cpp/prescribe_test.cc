#include "kernel/prescribe.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "evaluation_match.h"

namespace morvatel {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

PolicySnapshot snapshot_of(const PolicyParams& p, std::vector<KernelModel> models) {
  auto built = try_new_trusted(p, std::move(models));
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message());
  return *built;
}

KernelModel plain_model(uint32_t id) {
  return KernelModel{id, 1, 9000, 10000, 1, 100, 0, 0, 1000, 1000};
}

KernelInput plain_input() {
  return KernelInput{1, 0, 1000, 1000, 1000000, 1000000, 0, 10000, 0, 0, 0, kU64Max, 0};
}

const PolicyParams kParams{1, 2, 10000, 0, 10000, 1};

// Values whose products with a partner sit just below, at and just above
// 2^64, so every fast-path proof is exercised on both of its sides.
class BoundaryValues {
 public:
  explicit BoundaryValues(uint64_t seed) : rng_(seed) {}

  uint64_t any64() {
    switch (pick(6)) {
      case 0: return 0;
      case 1: return 1 + pick(1000);
      case 2: return kU64Max - pick(3);
      case 3: return rng_();
      case 4: return rng_() >> pick(64);
      default: return uint64_t{1} << pick(64);
    }
  }
  // A value v with v * partner near 2^64 (or near 2^64 - 999999).
  uint64_t near_product_limit(uint64_t partner) {
    if (partner == 0) return any64();
    uint64_t limit = pick(2) == 0 ? kU64Max : kU64Max - 999999;
    uint64_t base = limit / partner;
    int delta = static_cast<int>(pick(5)) - 2;
    if (delta < 0 && base < static_cast<uint64_t>(-delta)) return 0;
    if (delta > 0 && base > kU64Max - delta) return kU64Max;
    return base + delta;
  }
  uint64_t pick(uint64_t n) { return rng_() % n; }

 private:
  std::mt19937_64 rng_;
};

TEST(Prescribe, FastPathsAgreeWithExactArithmetic) {
  BoundaryValues r(20240601);
  size_t fast_counts[3] = {};
  size_t wide_counts[3] = {};
  size_t selections = 0;
  for (int round = 0; round < 20000; ++round) {
    KernelInput in = plain_input();
    in.request_sequence = round;
    in.input_tokens = static_cast<uint32_t>(r.pick(4) == 0 ? 0xFFFFFFFF : r.any64() & 0xFFFFFFFF);
    in.output_tokens = static_cast<uint32_t>(r.any64() & 0xFFFFFFFF);
    in.business_value_microunits = static_cast<int64_t>(r.any64());
    in.budget_limit_microunits = r.pick(3) == 0 ? kU64Max : r.any64();
    in.risk_bps = static_cast<uint16_t>(r.pick(10001));
    in.confidence_bps = static_cast<uint16_t>(r.pick(4) == 0 ? 10000 : r.pick(10001));
    in.requested_model_id = static_cast<uint32_t>(r.pick(10));

    PolicyParams p = kParams;
    p.risk_penalty_multiplier_bps = static_cast<uint16_t>(r.pick(50001));
    p.latency_penalty_microunits_per_ms = r.any64();

    if (r.pick(3) == 0) p.latency_penalty_microunits_per_ms = r.pick(1000);
    std::vector<KernelModel> models;
    size_t n = 1 + r.pick(8);
    auto cheap_or_any = [&](uint64_t small) { return r.pick(2) == 0 ? r.pick(small) : r.any64(); };
    for (uint32_t id = 1; id <= n; ++id) {
      KernelModel m = plain_model(id);
      m.quality_bps = static_cast<uint16_t>(r.pick(10001));
      m.p95_latency_ms = static_cast<uint32_t>(cheap_or_any(1000));
      m.input_cost_microunits_per_million_tokens = cheap_or_any(100000);
      m.output_cost_microunits_per_million_tokens = cheap_or_any(100000);
      models.push_back(m);
    }
    // Each maximum may be set close to its overflow boundary, each by a
    // model of its own, so the others' terms do not always drown it.
    if (r.pick(2) == 0) {
      KernelModel& m = models[r.pick(n)];
      m.input_cost_microunits_per_million_tokens = r.near_product_limit(in.input_tokens);
      if (r.pick(2) == 0) {
        m.output_cost_microunits_per_million_tokens = r.near_product_limit(in.output_tokens);
      }
    }
    if (r.pick(2) == 0 && p.latency_penalty_microunits_per_ms != 0) {
      models[r.pick(n)].p95_latency_ms = static_cast<uint32_t>(std::min<uint64_t>(
          r.near_product_limit(p.latency_penalty_microunits_per_ms), 0xFFFFFFFF));
    }
    if (r.pick(2) == 0 && in.confidence_bps != 0) {
      KernelModel& m = models[r.pick(n)];
      m.quality_bps = static_cast<uint16_t>(1 + r.pick(10000));
      uint64_t v = r.near_product_limit(uint64_t{in.confidence_bps} * m.quality_bps);
      in.business_value_microunits = static_cast<int64_t>(std::min<uint64_t>(v, INT64_MAX));
    }
    PolicySnapshot s = snapshot_of(p, models);

    RequestContext ctx = make_request_context(s, in);
    bool flags[3] = {ctx.quality_fast, ctx.cost_fast, ctx.latency_fast};
    for (int f = 0; f < 3; ++f) ++(flags[f] ? fast_counts : wide_counts)[f];

    Prescription fast = prescribe_inner(s, in);
    Prescription wide = prescribe_inner(s, in, ArithmeticPath::kWide);
    ASSERT_EQ(fast.decision, wide.decision) << "round " << round;
    ASSERT_EQ(fast.trace, wide.trace) << "round " << round;
    selections += fast.decision.action != KernelAction::Reject;
    // Every part of every model, not only the ones that decide.
    RequestContext exact = make_request_context(s, in, ArithmeticPath::kWide);
    for (const KernelModel& m : s.models()) {
      Evaluation a = ctx.all_fast() ? evaluate_model<true>(ctx, m) : evaluate_model(ctx, m);
      Evaluation b = evaluate_model(exact, m);
      ASSERT_NO_FATAL_FAILURE(expect_same_evaluation(a, b, round));
      ASSERT_EQ(utility_for_model(s, in, m.model_id),
                utility_for_model(s, in, m.model_id, ArithmeticPath::kWide));
    }
  }
  for (int f = 0; f < 3; ++f) {
    EXPECT_GT(fast_counts[f], 1000u) << f;
    EXPECT_GT(wide_counts[f], 1000u) << f;
  }
  EXPECT_GT(selections, 1000u);
}

TEST(Prescribe, SaturatedCostAndClampedUtility) {
  KernelModel m = plain_model(1);
  m.input_cost_microunits_per_million_tokens = kU64Max;
  const PolicySnapshot s = snapshot_of(kParams, {m});
  KernelInput in = plain_input();
  in.input_tokens = 0xFFFFFFFF;
  in.budget_limit_microunits = kU64Max;
  auto [d, t] = prescribe_inner(s, in);
  EXPECT_EQ(d.reason, KernelReason::NonPositiveUtility);
  EXPECT_EQ(t.utility, 1);
  in.budget_limit_microunits = kU64Max - 1;
  EXPECT_EQ(prescribe_inner(s, in).decision.reason, KernelReason::BudgetConstraint);

  // A latency penalty far beyond 64 bits clamps to the minimum utility.
  PolicyParams p = kParams;
  p.latency_penalty_microunits_per_ms = kU64Max;
  m = plain_model(1);
  m.p95_latency_ms = 0xFFFFFFFF;
  const PolicySnapshot slow = snapshot_of(p, {m});
  const KernelInput slow_in = plain_input();
  const Evaluation e = evaluate_model(make_request_context(slow, slow_in), slow.models()[0]);
  EXPECT_EQ(e.verdict, Verdict::NonPositiveUtility);
  EXPECT_EQ(e.utility, INT64_MIN);
  EXPECT_EQ(e.latency_penalty, u128{0xFFFFFFFF} * kU64Max);

  // And a value so large that the utility clamps at the top, even with a
  // confidence beyond 10000 that the request check would refuse: the kernel
  // does not rely on that check.
  m = KernelModel{1, 1, 10000, 10000, 1, 0, 0, 0, 0, 0};
  const PolicySnapshot free = snapshot_of(kParams, {m});
  KernelInput rich = plain_input();
  for (auto [value, confidence] : {std::pair{INT64_MAX, 10000}, {INT64_MAX / 2, 65535}}) {
    rich.business_value_microunits = value;
    rich.confidence_bps = static_cast<uint16_t>(confidence);
    const KernelDecision fast = prescribe_inner(free, rich).decision;
    EXPECT_EQ(fast.expected_utility_microunits, INT64_MAX);
    EXPECT_EQ(fast, prescribe_inner(free, rich, ArithmeticPath::kWide).decision);
  }
}

TEST(Prescribe, MaximaAreRecomputedForEveryValue) {
  std::vector<KernelModel> models = {plain_model(1), plain_model(2)};
  models[1].p95_latency_ms = 777;
  models[0].input_cost_microunits_per_million_tokens = 5;
  models[1].output_cost_microunits_per_million_tokens = 9;
  const PolicySnapshot s = snapshot_of(kParams, models);
  const CatalogMaxima& got = s.maxima();
  EXPECT_EQ(std::tuple(got.p95_latency_ms, got.quality_bps,
                       got.input_cost_microunits_per_million_tokens,
                       got.output_cost_microunits_per_million_tokens),
            std::tuple(777u, 9000, 1000u, 1000u));
  PolicySnapshot empty = PolicySnapshot::new_unchecked(kParams, nullptr);
  EXPECT_EQ(empty.maxima().input_cost_microunits_per_million_tokens, 0u);
}

}  // namespace
}  // namespace morvatel
